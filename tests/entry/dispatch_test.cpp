// The control requests: codes, registration wrappers and refusals, printouts, the ORB driver query.
#include <memory>
#include <thread>

#include "entry_fixture.h"

namespace {

using namespace dvtest;

class Dispatch : public DriverFrameTest {
protected:
    void SetUp() override
    {
        DriverFrameTest::SetUp();
        SetLevel("STREAM", 1); // only the frame lines of the stream reports
        Load();
        ClearLog();
    }
    // Sends one request straight to the dispatch routine; returns its final status.
    static NTSTATUS Send(ULONG code, void *buffer = nullptr, ULONG inputLength = 0, ULONG outputLength = 0)
    {
        kemu::TestRequest request(code, buffer, inputLength, outputLength);
        const NTSTATUS returned = request.Dispatch(STREAMER_Dispatch);
        EXPECT_TRUE(request.Completed());
        EXPECT_EQ(request.Status(), returned);
        EXPECT_EQ(request.Information(), 0u);
        return returned;
    }
    static Lines Framed(const Lines &lines)
    {
        Lines framed{"[7]STREAMER_Dispatch --- Start"};
        framed.insert(framed.end(), lines.begin(), lines.end());
        framed.push_back("[7]STREAMER_Dispatch --- End");
        return framed;
    }
};

std::vector<ULONG> g_orbAnswers;
kemu::TestRequest *g_orbQuery = nullptr;
VOID STREAMER_CALL OrbListener(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID)
{
    if (dwType == STREAMERNOTIFY_IS_ORBDRV_ACTIVE) {
        // The query must be finished before stream 1 hears of it.
        EXPECT_TRUE(g_orbQuery->Completed());
        EXPECT_EQ(g_orbQuery->Status(), STATUS_SUCCESS);
        g_orbAnswers.push_back(pParam->fOrbDrvActive);
    }
}

STREAMER_SRV_PARAM Consumer(ULONG hStream, ULONG_PTR hConsumer)
{
    STREAMER_SRV_PARAM record = ConsumerRecord(hStream, hConsumer);
    record.RegisterConsumer.pfnNotify = OrbListener;
    return record;
}

TEST_F(Dispatch, UnknownCodesAndMajorFunctionsSucceed)
{
    for (ULONG code : {0x00222030u, 0x00222014u, 0x00222018u, 0x0022201Cu}) {
        ClearLog();
        EXPECT_EQ(Send(code), STATUS_SUCCESS);
        char line[80];
        std::snprintf(line, sizeof line, "[1]STREAMER_Dispatch: ERROR --- Got unknown IOCTL code 0x%08X", code & 0xFFFF);
        EXPECT_EQ(Entry(), Framed({line}));
    }
    ClearLog();
    kemu::TestRequest read(kemu::TestRequest::Major{IRP_MJ_READ});
    EXPECT_EQ(read.Dispatch(STREAMER_Dispatch), STATUS_SUCCESS);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", "[1]STREAMER_Dispatch: ERROR --- Got unexpected MajorFunction",
                              "[7]STREAMER_Dispatch --- End"}));
}

TEST_F(Dispatch, PrintoutsClipTheirRangeToTheTable)
{
    // The status print covers streams 0 to 8 whatever the buffer holds.
    STREAMER_PRINT_RANGE range = {100, 200};
    EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STATUS, &range, sizeof range), STATUS_SUCCESS);
    EXPECT_EQ(Count("[1]Dispatch: From = 0    To = 8"), 1u);
    // A range reaching outside the table is clipped to it with a warning; a short input is refused.
    auto labels = [] { return Entry({"Stream"}); };
    ClearLog();
    range = {250, 300};
    EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range), STATUS_SUCCESS);
    EXPECT_EQ(Count("[2]STREAMER_Dispatch: WARNING --- Print range clipped to the streams 0 to 255"), 1u);
    EXPECT_EQ(labels().size(), 6u);
    EXPECT_EQ(labels().back(), "[1]Stream number 255");
    // The table's last stream is inside it; one past it is not.
    for (LONG to : {255, 256}) {
        ClearLog();
        range = {254, to};
        EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range), STATUS_SUCCESS);
        EXPECT_EQ(Count("[2]STREAMER_Dispatch: WARNING --- Print range clipped to the streams 0 to 255"),
                  to == 256 ? 1u : 0u) << to;
        EXPECT_EQ(labels().size(), 2u);
    }
    ClearLog();
    range = {-3, 1};
    EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range), STATUS_SUCCESS);
    EXPECT_EQ(labels(), (Lines{"[1]Stream (COMMANDS) number 0", "[1]Stream (NOTIFICATIONS) number 1"}));
    for (STREAMER_PRINT_RANGE outside : {STREAMER_PRINT_RANGE{INT32_MIN, INT32_MAX}, STREAMER_PRINT_RANGE{256, 1000}}) {
        ClearLog();
        EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STREAMS, &outside, sizeof outside), STATUS_SUCCESS);
        EXPECT_EQ(labels().size(), outside.nFrom < 0 ? 256u : 0u);
    }
    ClearLog();
    auto fourBytes = std::make_unique<LONG>(7); // reading nTo would run past them
    EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STREAMS, fourBytes.get(), sizeof(LONG)), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STREAMS), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Entry({"STREAMER_Dispatch: ERROR"}),
              (Lines{"[1]STREAMER_Dispatch: ERROR --- STREAMER_IOCTL_PRINT_STREAMS needs 8 bytes of input, got 4",
                     "[1]STREAMER_Dispatch: ERROR --- STREAMER_IOCTL_PRINT_STREAMS needs 8 bytes of input, got 0"}));
}

TEST_F(Dispatch, ProviderWrappersSelectTheStreamByTheLowByteAndMapRefusals)
{
    STREAMER_SRV_PARAM record = ProviderRecord(0x00000305);
    EXPECT_EQ(Send(STREAMER_REGISTER_PROVIDER, &record, sizeof record), STATUS_SUCCESS);
    EXPECT_NE(pDeVididiArray[5].m_pProviderInfo, nullptr);
    EXPECT_EQ(Entry(), Framed({"[3]STREAMER_Dispatch: Got STREAMER_REGISTER_PROVIDER.", "[7]RegisterProvider --- Start",
                               "[6]RegisterProvider: Got a register request from DeVididi 773 (index=5)",
                               "[7]RegisterProvider --- End (With 0)"}));
    ClearLog();
    record = ProviderRecord(0x00000105);
    EXPECT_EQ(Send(STREAMER_REGISTER_PROVIDER, &record, sizeof record), STATUS_ALREADY_COMMITTED);
    EXPECT_EQ(Count("[7]RegisterProvider --- End (With c0000021)"), 1u);
    record = ProviderRecord(6, 0); // the stream refuses a ring of 0 bytes
    EXPECT_EQ(Send(STREAMER_REGISTER_PROVIDER, &record, sizeof record), STATUS_UNSUCCESSFUL);
    ClearLog();
    record.UnRegisterProvider.hStream = 0x705;
    EXPECT_EQ(Send(STREAMER_UNREGISTER_PROVIDER, &record, sizeof record.UnRegisterProvider), STATUS_SUCCESS);
    EXPECT_EQ(Send(STREAMER_UNREGISTER_PROVIDER, &record, sizeof record.UnRegisterProvider), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Entry({"UnRegisterProvider"}),
              (Lines{"[7]UnRegisterProvider --- Start",
                     "[6]UnRegisterProvider: Got an Unregister request from DeVididi (index=5)",
                     "[4]UnRegisterProvider: Unregister provider 5 has completed.", "[7]UnRegisterProvider --- End (With 0)",
                     "[7]UnRegisterProvider --- Start",
                     "[6]UnRegisterProvider: Got an Unregister request from DeVididi (index=5)",
                     "[1]UnRegisterProvider: ERROR --- There is no provider for DeVididi 5",
                     "[3]UnRegisterProvider --- End (With STATUS_UNSUCCESSFUL)"}));
}

TEST_F(Dispatch, ConsumerBeforeItsProviderPendsUntilTheProviderArrives)
{
    STREAMER_SRV_PARAM first = Consumer(3, 0x301);
    kemu::TestRequest waiting(STREAMER_REGISTER_CONSUMER, &first, sizeof first);
    EXPECT_EQ(waiting.Dispatch(STREAMER_Dispatch), STATUS_PENDING);
    EXPECT_FALSE(waiting.Completed());
    EXPECT_TRUE(waiting.MarkedPending());
    EXPECT_EQ(Entry(), Framed({"[3]STREAMER_Dispatch: Got STREAMER_REGISTER_CONSUMER.", "[7]RegisterConsumer --- Start)",
                               "[6]RegisterConsumer: Got a register request from DeVididi (index=3)",
                               "[4]RegisterConsumer: Start registering Consumer to DeVididi 3",
                               "[7]RegisterConsumer --- End (With 259))"}));
    STREAMER_SRV_PARAM provider = ProviderRecord(3);
    EXPECT_EQ(Send(STREAMER_REGISTER_PROVIDER, &provider, sizeof provider), STATUS_SUCCESS);
    EXPECT_EQ(waiting.Status(), STATUS_SUCCESS);
    // A refusal of the stream reaches the sender unchanged.
    EXPECT_EQ(Send(STREAMER_REGISTER_CONSUMER, &first, sizeof first), STATUS_ADDRESS_ALREADY_ASSOCIATED);
    ClearLog();
    STREAMER_SRV_PARAM leaving = ConsumerRecord(3, 0x301, true);
    EXPECT_EQ(Send(STREAMER_UNREGISTER_CONSUMER, &leaving, sizeof leaving.UnRegisterConsumer), STATUS_SUCCESS);
    EXPECT_EQ(Send(STREAMER_UNREGISTER_CONSUMER, &leaving, sizeof leaving.UnRegisterConsumer), STATUS_NOT_FOUND);
    EXPECT_EQ(Entry({"UnRegisterConsumer"}),
              (Lines{"[7]UnRegisterConsumer --- Start",
                     "[6]UnRegisterConsumer: Got an Unregister request from DeVididi (index=3)",
                     "[4]UnRegisterConsumer: Start Unregistering Consumer from DeVididi 3",
                     "[7]UnRegisterConsumer --- End (With 0)", "[7]UnRegisterConsumer --- Start",
                     "[6]UnRegisterConsumer: Got an Unregister request from DeVididi (index=3)",
                     "[4]UnRegisterConsumer: Start Unregistering Consumer from DeVididi 3",
                     "[7]UnRegisterConsumer --- End (With c0000225)"}));
}

TEST_F(Dispatch, WrappersRefuseMissingRequestsMissingRecordsAndShortRecords)
{
    EXPECT_EQ(RegisterProvider(nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(UnRegisterProvider(nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RegisterConsumer(nullptr), STATUS_INVALID_PARAMETER_1);
    EXPECT_EQ(UnRegisterConsumer(nullptr), STATUS_INVALID_PARAMETER_1);
    EXPECT_EQ(Entry({"RegisterProvider:", "UnRegisterProvider:", "RegisterConsumer:", "UnRegisterConsumer:"}),
              (Lines{"[1]RegisterProvider: CRITICAL ERROR --- pIrp is NULL",
                     "[1]UnRegisterProvider: CRITICAL ERROR --- pIrp is NULL", "[1]RegisterConsumer: ERROR --- pIrp is NULL",
                     "[1]UnRegisterConsumer: ERROR --- pIrp is NULL"}));
    EXPECT_EQ(Count("[3]RegisterConsumer --- End (With STATUS_INVALID_PARAMETER_1)"), 1u);
    const std::vector<std::tuple<ULONG, std::string, size_t>> wrappers = {
        {STREAMER_REGISTER_PROVIDER, "RegisterProvider", sizeof(STREAMER_SRV_PARAM::RegisterProvider)},
        {STREAMER_UNREGISTER_PROVIDER, "UnRegisterProvider", sizeof(STREAMER_SRV_PARAM::UnRegisterProvider)},
        {STREAMER_REGISTER_CONSUMER, "RegisterConsumer", sizeof(STREAMER_SRV_PARAM::RegisterConsumer)},
        {STREAMER_UNREGISTER_CONSUMER, "UnRegisterConsumer", sizeof(STREAMER_SRV_PARAM::UnRegisterConsumer)}};
    for (const auto &[code, name, needed] : wrappers) {
        SCOPED_TRACE(name);
        ClearLog();
        EXPECT_EQ(Send(code), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(Entry({name + ":", name + " --- End"}), (Lines{"[1]" + name + ": ERROR --- pStreamerSrvParam is NULL",
                                                               "[3]" + name + " --- End (With STATUS_UNSUCCESSFUL)"}));
        // Exactly the bytes the sender gave: a read past them shows under the address sanitizer.
        ClearLog();
        std::vector<UCHAR> bytes(needed - 1, 0x11);
        // A short record is answered as a missing one, the only refusal a client of these requests knows.
        EXPECT_EQ(Send(code, bytes.data(), static_cast<ULONG>(bytes.size())), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(Entry({name + ":", name + " --- End"}),
                  (Lines{"[1]" + name + ": ERROR --- Input buffer holds " + std::to_string(needed - 1) +
                             " bytes, the record needs " + std::to_string(needed),
                         "[1]" + name + ": ERROR --- pStreamerSrvParam is NULL",
                         "[3]" + name + " --- End (With STATUS_UNSUCCESSFUL)"}));
    }
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(pDeVididiArray[i].m_pProviderInfo, nullptr);
        EXPECT_EQ(pDeVididiArray[i].m_Consumers.m_nCount, 0);
    }
}

TEST_F(Dispatch, OrbDriverQueryIsCompletedBeforeStreamOneHearsOfIt)
{
    g_orbAnswers.clear();
    STREAMER_SRV_PARAM listener = Consumer(1, 0x101);
    kemu::TestRequest waiting(STREAMER_REGISTER_CONSUMER, &listener, sizeof listener);
    ASSERT_EQ(waiting.Dispatch(STREAMER_Dispatch), STATUS_PENDING);
    ClearLog();
    for (int round = 0; round < 2; ++round) {
        kemu::TestRequest query(STREAMER_IOCTL_IS_ORBDRV_ACTIVE);
        g_orbQuery = &query;
        EXPECT_EQ(query.Dispatch(STREAMER_Dispatch), STATUS_SUCCESS);
        g_orbQuery = nullptr;
        // Then a provider comes to the notifications stream.
        STREAMER_SRV_PARAM provider = ProviderRecord(1);
        EXPECT_EQ(Send(STREAMER_REGISTER_PROVIDER, &provider, sizeof provider), round == 0 ? STATUS_SUCCESS
                                                                                           : STATUS_ALREADY_COMMITTED);
    }
    EXPECT_EQ(g_orbAnswers, (std::vector<ULONG>{0, 1}));
    EXPECT_EQ(Entry({"STREAMER_Dispatch: Got STREAMER_IOCTL_IS_ORBDRV_ACTIVE", "STREAMER_Dispatch: Start handling"}),
              (Lines{"[3]STREAMER_Dispatch: Got STREAMER_IOCTL_IS_ORBDRV_ACTIVE.",
                     "[3]STREAMER_Dispatch: Start handling STREAMER_IOCTL_IS_ORBDRV_ACTIVE",
                     "[3]STREAMER_Dispatch: Got STREAMER_IOCTL_IS_ORBDRV_ACTIVE.",
                     "[3]STREAMER_Dispatch: Start handling STREAMER_IOCTL_IS_ORBDRV_ACTIVE"}));
}

TEST_F(Dispatch, WaitingConsumerCompletedBeforeItsDispatchReturnsIsNotTouchedAgain)
{
    // A provider on another thread completes (and frees) the waiting request at the wrapper's end
    // line, before the consumer's dispatch returns: a later touch shows under the sanitizers.
    PDEVICE_OBJECT device = ControlDevice();
    STREAMER_SRV_PARAM joining = Consumer(12, 0x1201);
    STREAMER_SRV_PARAM provider = ProviderRecord(12);
    NTSTATUS providerStatus = STATUS_UNSUCCESSFUL;
    kemu::DebugService::SetSink([&](const std::string &line) {
        if (line.find("RegisterConsumer --- End (With 259))") != std::string::npos) {
            std::thread([&] {
                providerStatus = ClientCall(device, STREAMER_REGISTER_PROVIDER, &provider, sizeof provider).Wait();
            }).join();
        }
    });
    ClientCall consumer(device, STREAMER_REGISTER_CONSUMER, &joining, sizeof joining);
    kemu::DebugService::SetSink({});
    EXPECT_EQ(consumer.returned, STATUS_PENDING);
    EXPECT_EQ(providerStatus, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&consumer.done), 1);
    EXPECT_EQ(consumer.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(kemu::ViolationCount(), 0u);
    EXPECT_EQ(kemu::LiveRequestCount(), 0u);
}

} // namespace
