// The control requests: every code, the registration wrappers, the printouts, the ORB driver query,
// short buffers, and requests that arrive after a removal has destroyed the stream table.
#include <memory>
#include <thread>

#include "entry_fixture.h"

namespace {

using namespace dvtest;

class DispatchTest : public DriverFrameTest {
protected:
    void SetUp() override
    {
        DriverFrameTest::SetUp();
        SetLevel("STREAM", 1); // the frame lines of the status report, nothing else of the streams
        Load();
        ClearLog();
    }

    struct Sent {
        NTSTATUS returned;
        bool completed;
        NTSTATUS status;
        ULONG_PTR information;
    };
    // Sends one request straight to the dispatch routine and reports what became of it.
    Sent Send(ULONG code, void *buffer = nullptr, ULONG inputLength = 0, ULONG outputLength = 0)
    {
        kemu::TestRequest request(code, buffer, inputLength, outputLength);
        const NTSTATUS returned = request.Dispatch(STREAMER_Dispatch, ControlDevice());
        return {returned, request.Completed(), request.Status(), request.Information()};
    }
};

STREAMER_SRV_PARAM Provider(ULONG hStream, ULONG size = 64)
{
    STREAMER_SRV_PARAM record;
    std::memset(&record, 0, sizeof record);
    record.RegisterProvider.hStream = hStream;
    record.RegisterProvider.dwBufferSize = size;
    return record;
}

std::vector<std::pair<ULONG, PSTREAMER_NOTIFICATION_PARAM>> g_notifications;
std::vector<bool> g_orbRequestCompletedWhenNotified;
kemu::TestRequest *g_orbRequest = nullptr;
ULONG g_orbAnswer = 0xFFFFFFFF;

VOID STREAMER_CALL ConsumerNotify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID)
{
    g_notifications.emplace_back(dwType, pParam);
    if (dwType == STREAMERNOTIFY_IS_ORBDRV_ACTIVE) {
        g_orbRequestCompletedWhenNotified.push_back(g_orbRequest != nullptr && g_orbRequest->Completed() &&
                                                    g_orbRequest->Status() == STATUS_SUCCESS);
        g_orbAnswer = pParam->fOrbDrvActive;
    }
}
VOID STREAMER_CALL ConsumerData(ULONG, PVOID) {}

STREAMER_SRV_PARAM Consumer(ULONG hStream, ULONG_PTR hConsumer)
{
    STREAMER_SRV_PARAM record;
    std::memset(&record, 0, sizeof record);
    record.RegisterConsumer.hStream = hStream;
    record.RegisterConsumer.hConsumer = reinterpret_cast<PVOID>(hConsumer);
    record.RegisterConsumer.pfnNewDataReady = ConsumerData;
    record.RegisterConsumer.pfnNotify = ConsumerNotify;
    return record;
}

STREAMER_SRV_PARAM ConsumerLeaving(ULONG hStream, ULONG_PTR hConsumer)
{
    STREAMER_SRV_PARAM record;
    std::memset(&record, 0, sizeof record);
    record.UnRegisterConsumer.hStream = hStream;
    record.UnRegisterConsumer.hConsumer = reinterpret_cast<PVOID>(hConsumer);
    return record;
}

TEST_F(DispatchTest, UnknownCodesAndForeignMajorFunctionsSucceedWithAnErrorLine)
{
    ULONG buffer[4] = {1, 2, 3, 4};
    for (ULONG code : {0x00222030u, 0x00222014u, 0x00222018u, 0x0022201Cu, 0x00000000u}) {
        SCOPED_TRACE(code);
        ClearLog();
        const Sent sent = Send(code, buffer, sizeof buffer, sizeof buffer);
        EXPECT_EQ(sent.returned, STATUS_SUCCESS);
        EXPECT_TRUE(sent.completed);
        EXPECT_EQ(sent.status, STATUS_SUCCESS);
        EXPECT_EQ(sent.information, 0u);
        char line[96];
        std::snprintf(line, sizeof line, "[1]STREAMER_Dispatch: ERROR --- Got unknown IOCTL code 0x%08X", code & 0xFFFF);
        EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", line, "[7]STREAMER_Dispatch --- End"}));
    }
    EXPECT_EQ(CountEntry("[1]STREAMER_Dispatch: ERROR --- Got unknown IOCTL code 0x00002030"), 0u);
    ClearLog();
    Send(0x00222030u);
    EXPECT_EQ(CountEntry("[1]STREAMER_Dispatch: ERROR --- Got unknown IOCTL code 0x00002030"), 1u);

    ClearLog();
    kemu::TestRequest read(kemu::TestRequest::Major{IRP_MJ_READ});
    EXPECT_EQ(read.Dispatch(STREAMER_Dispatch, ControlDevice()), STATUS_SUCCESS);
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", "[1]STREAMER_Dispatch: ERROR --- Got unexpected MajorFunction",
                              "[7]STREAMER_Dispatch --- End"}));

    ClearLog();
    const Sent resync = Send(STREAMER_IOCTL_RESYNC_OAPI_CONSUMER);
    EXPECT_EQ(resync.status, STATUS_SUCCESS);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", "[3]STREAMER_Dispatch: Got STREAMER_IOCTL_RESYNC_OAPI_CONSUMER.",
                              "[7]STREAMER_Dispatch --- End"}));
}

TEST_F(DispatchTest, UpdateDebugLevelsRereadsTheRegistry)
{
    SetLevel("ENTRY", 3);
    SetLevel("STREAM", 6);
    const Sent sent = Send(STREAMER_IOCTL_UPDATE_DEBUG_LEVELS);
    EXPECT_EQ(sent.status, STATUS_SUCCESS);
    EXPECT_EQ(DebugIdArray[QVDBG_MODULE_ENTRY].nDebugLevel, 3);
    EXPECT_EQ(DebugIdArray[QVDBG_MODULE_STREAM].nDebugLevel, 6);
    // The end line (level 7) is now below the threshold.
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", "[0]Streamer: updating all debug levels"}));
}

TEST_F(DispatchTest, PrintStatusCoversStreamsZeroToEightWhateverTheBufferHolds)
{
    STREAMER_PRINT_RANGE range = {100, 200};
    const Sent sent = Send(STREAMER_IOCTL_PRINT_STATUS, &range, sizeof range, 0);
    EXPECT_EQ(sent.status, STATUS_SUCCESS);

    Lines expected = {"[7]DEVIDIDI-ENTRY:STREAMER_Dispatch --- Start", "[0]DEVIDIDI-ENTRY:Streamer: printing status by request",
                      "[1]DEVIDIDI-ENTRY:Dispatch: From = 0    To = 8"};
    const char *labels[] = {"COMMANDS", "NOTIFICATIONS", "LOCAL AUDIO", "REMOTE AUDIO", "LOCAL VIDEO",
                            "LOCAL VIDEO INFO", "REMOTE VIDEO", "LOCAL FECC", "REMOTE FECC"};
    for (int i = 0; i <= 8; ++i) {
        expected.push_back("[1]DEVIDIDI-ENTRY:Stream (" + std::string(labels[i]) + ") number " + std::to_string(i));
        expected.push_back("[1]DEVIDIDI-STREAM:Stream 0 -------------------------------------------------");
        expected.push_back("[1]DEVIDIDI-STREAM:ShowStream -------------------------------------------------");
    }
    expected.push_back("[7]DEVIDIDI-ENTRY:STREAMER_Dispatch --- End");
    EXPECT_EQ(Shown(), expected);
}

TEST_F(DispatchTest, PrintStreamsLabelsItsRangeAndClipsItToTheTable)
{
    auto labelsOf = [] {
        Lines labels;
        for (const std::string &line : Entry()) {
            if (line.rfind("[1]Stream", 0) == 0) {
                labels.push_back(line.substr(3));
            }
        }
        return labels;
    };

    STREAMER_PRINT_RANGE range = {7, 10};
    EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range, 0).status, STATUS_SUCCESS);
    // Each label is followed by that stream's report.
    EXPECT_EQ(Shown(), (Lines{"[7]DEVIDIDI-ENTRY:STREAMER_Dispatch --- Start",
                              "[1]DEVIDIDI-ENTRY:Dispatch: From = 7    To = 10",
                              "[1]DEVIDIDI-ENTRY:Stream (LOCAL FECC) number 7",
                              "[1]DEVIDIDI-STREAM:Stream 0 -------------------------------------------------",
                              "[1]DEVIDIDI-STREAM:ShowStream -------------------------------------------------",
                              "[1]DEVIDIDI-ENTRY:Stream (REMOTE FECC) number 8",
                              "[1]DEVIDIDI-STREAM:Stream 0 -------------------------------------------------",
                              "[1]DEVIDIDI-STREAM:ShowStream -------------------------------------------------",
                              "[1]DEVIDIDI-ENTRY:Stream number 9",
                              "[1]DEVIDIDI-STREAM:Stream 0 -------------------------------------------------",
                              "[1]DEVIDIDI-STREAM:ShowStream -------------------------------------------------",
                              "[1]DEVIDIDI-ENTRY:Stream number 10",
                              "[1]DEVIDIDI-STREAM:Stream 0 -------------------------------------------------",
                              "[1]DEVIDIDI-STREAM:ShowStream -------------------------------------------------",
                              "[7]DEVIDIDI-ENTRY:STREAMER_Dispatch --- End"}));

    ClearLog();
    range = {5, 3};
    EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", "[1]Dispatch: From = 5    To = 3",
                              "[7]STREAMER_Dispatch --- End"}));

    // A range reaching outside the table is clipped to it, with a warning.
    ClearLog();
    range = {250, 300};
    EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(CountEntry("[2]STREAMER_Dispatch: WARNING --- Print range clipped to the streams 0 to 255"), 1u);
    EXPECT_EQ(labelsOf(), (Lines{"Stream number 250", "Stream number 251", "Stream number 252", "Stream number 253",
                                 "Stream number 254", "Stream number 255"}));

    ClearLog();
    range = {-3, 1};
    EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Entry()[1], "[1]Dispatch: From = -3    To = 1");
    EXPECT_EQ(labelsOf(), (Lines{"Stream (COMMANDS) number 0", "Stream (NOTIFICATIONS) number 1"}));

    ClearLog();
    range = {INT32_MIN, INT32_MAX};
    EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(labelsOf().size(), 256u);

    ClearLog();
    range = {256, 1000};
    EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(labelsOf().empty());
}

TEST_F(DispatchTest, PrintStreamsRefusesAnInputShorterThanItsRange)
{
    // Exactly four bytes of memory: reading nTo would run past them.
    auto shortInput = std::make_unique<LONG>(7);
    const Sent sent = Send(STREAMER_IOCTL_PRINT_STREAMS, shortInput.get(), sizeof(LONG), 0);
    EXPECT_EQ(sent.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(sent.information, 0u);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start",
                              "[1]STREAMER_Dispatch: ERROR --- STREAMER_IOCTL_PRINT_STREAMS needs 8 bytes of input, got 4",
                              "[7]STREAMER_Dispatch --- End"}));

    ClearLog();
    EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STREAMS).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(DispatchTest, ProviderRegistrationSelectsTheStreamByTheHandlesLowByte)
{
    STREAMER_SRV_PARAM record = Provider(0x00000305);
    Sent sent = Send(STREAMER_REGISTER_PROVIDER, &record, sizeof record, 0);
    EXPECT_EQ(sent.status, STATUS_SUCCESS);
    EXPECT_NE(pDeVididiArray[5].m_pProviderInfo, nullptr);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", "[3]STREAMER_Dispatch: Got STREAMER_REGISTER_PROVIDER.",
                              "[7]RegisterProvider --- Start",
                              "[6]RegisterProvider: Got a register request from DeVididi 773 (index=5)",
                              "[7]RegisterProvider --- End (With 0)", "[7]STREAMER_Dispatch --- End"}));

    ClearLog();
    record = Provider(0x00000105);
    sent = Send(STREAMER_REGISTER_PROVIDER, &record, sizeof record, 0);
    EXPECT_EQ(sent.status, STATUS_ALREADY_COMMITTED);
    EXPECT_EQ(CountEntry("[7]RegisterProvider --- End (With c0000021)"), 1u);

    // Every other refusal of the stream reaches the sender as STATUS_UNSUCCESSFUL.
    record = Provider(6, 0);
    EXPECT_EQ(Send(STREAMER_REGISTER_PROVIDER, &record, sizeof record, 0).status, STATUS_UNSUCCESSFUL);

    ClearLog();
    STREAMER_SRV_PARAM leaving;
    leaving.UnRegisterProvider.hStream = 0x705;
    sent = Send(STREAMER_UNREGISTER_PROVIDER, &leaving, sizeof leaving.UnRegisterProvider, 0);
    EXPECT_EQ(sent.status, STATUS_SUCCESS);
    EXPECT_EQ(pDeVididiArray[5].m_pProviderInfo, nullptr);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", "[3]STREAMER_Dispatch: Got STREAMER_UNREGISTER_PROVIDER.",
                              "[7]UnRegisterProvider --- Start",
                              "[6]UnRegisterProvider: Got an Unregister request from DeVididi (index=5)",
                              "[4]UnRegisterProvider: Unregister provider 5 has completed.",
                              "[7]UnRegisterProvider --- End (With 0)", "[7]STREAMER_Dispatch --- End"}));

    ClearLog();
    sent = Send(STREAMER_UNREGISTER_PROVIDER, &leaving, sizeof leaving.UnRegisterProvider, 0);
    EXPECT_EQ(sent.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(EntryStartingWith({"UnRegisterProvider"}),
              (Lines{"[7]UnRegisterProvider --- Start",
                     "[6]UnRegisterProvider: Got an Unregister request from DeVididi (index=5)",
                     "[1]UnRegisterProvider: ERROR --- There is no provider for DeVididi 5",
                     "[3]UnRegisterProvider --- End (With STATUS_UNSUCCESSFUL)"}));
}

TEST_F(DispatchTest, ConsumerBeforeItsProviderPendsUntilTheProviderArrives)
{
    g_notifications.clear();
    STREAMER_SRV_PARAM joining = Consumer(3, 0x3301);
    kemu::TestRequest waiting(STREAMER_REGISTER_CONSUMER, &joining, sizeof joining, 0);
    EXPECT_EQ(waiting.Dispatch(STREAMER_Dispatch, ControlDevice()), STATUS_PENDING);
    EXPECT_FALSE(waiting.Completed());
    EXPECT_TRUE(waiting.MarkedPending());
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", "[3]STREAMER_Dispatch: Got STREAMER_REGISTER_CONSUMER.",
                              "[7]RegisterConsumer --- Start)",
                              "[6]RegisterConsumer: Got a register request from DeVididi (index=3)",
                              "[4]RegisterConsumer: Start registering Consumer to DeVididi 3",
                              "[7]RegisterConsumer --- End (With 259))", "[7]STREAMER_Dispatch --- End"}));

    STREAMER_SRV_PARAM provider = Provider(3);
    EXPECT_EQ(Send(STREAMER_REGISTER_PROVIDER, &provider, sizeof provider, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(waiting.Completed());
    EXPECT_EQ(waiting.Status(), STATUS_SUCCESS);

    // A second consumer now joins at once; the same handle a second time is refused unchanged.
    STREAMER_SRV_PARAM second = Consumer(3, 0x3302);
    EXPECT_EQ(Send(STREAMER_REGISTER_CONSUMER, &second, sizeof second, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(STREAMER_REGISTER_CONSUMER, &second, sizeof second, 0).status, STATUS_ADDRESS_ALREADY_ASSOCIATED);

    ClearLog();
    STREAMER_SRV_PARAM leaving = ConsumerLeaving(3, 0x3301);
    EXPECT_EQ(Send(STREAMER_UNREGISTER_CONSUMER, &leaving, sizeof leaving.UnRegisterConsumer, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", "[3]STREAMER_Dispatch: Got STREAMER_UNREGISTER_CONSUMER.",
                              "[7]UnRegisterConsumer --- Start",
                              "[6]UnRegisterConsumer: Got an Unregister request from DeVididi (index=3)",
                              "[4]UnRegisterConsumer: Start Unregistering Consumer from DeVididi 3",
                              "[7]UnRegisterConsumer --- End (With 0)", "[7]STREAMER_Dispatch --- End"}));
    EXPECT_EQ(Send(STREAMER_UNREGISTER_CONSUMER, &leaving, sizeof leaving, 0).status, STATUS_NOT_FOUND);

    leaving = ConsumerLeaving(3, 0x3302);
    EXPECT_EQ(Send(STREAMER_UNREGISTER_CONSUMER, &leaving, sizeof leaving, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(STREAMER_UNREGISTER_PROVIDER, &provider, sizeof provider, 0).status, STATUS_SUCCESS);
}

TEST_F(DispatchTest, WaitingConsumerThatLeavesHasItsRegistrationCancelled)
{
    STREAMER_SRV_PARAM joining = Consumer(9, 0x901);
    kemu::TestRequest waiting(STREAMER_REGISTER_CONSUMER, &joining, sizeof joining, 0);
    ASSERT_EQ(waiting.Dispatch(STREAMER_Dispatch, ControlDevice()), STATUS_PENDING);

    STREAMER_SRV_PARAM leaving = ConsumerLeaving(9, 0x901);
    EXPECT_EQ(Send(STREAMER_UNREGISTER_CONSUMER, &leaving, sizeof leaving, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(waiting.Completed());
    EXPECT_EQ(waiting.Status(), STATUS_CANCELLED);
}

TEST_F(DispatchTest, WrappersRefuseNullRequestsAndMissingRecords)
{
    EXPECT_EQ(RegisterProvider(nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(UnRegisterProvider(nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RegisterConsumer(nullptr), STATUS_INVALID_PARAMETER_1);
    EXPECT_EQ(UnRegisterConsumer(nullptr), STATUS_INVALID_PARAMETER_1);
    EXPECT_EQ(Entry(), (Lines{"[7]RegisterProvider --- Start", "[1]RegisterProvider: CRITICAL ERROR --- pIrp is NULL",
                              "[3]RegisterProvider --- End (With STATUS_UNSUCCESSFUL)",
                              "[7]UnRegisterProvider --- Start", "[1]UnRegisterProvider: CRITICAL ERROR --- pIrp is NULL",
                              "[3]UnRegisterProvider --- End (With STATUS_UNSUCCESSFUL)",
                              "[7]RegisterConsumer --- Start)", "[1]RegisterConsumer: ERROR --- pIrp is NULL",
                              "[3]RegisterConsumer --- End (With STATUS_INVALID_PARAMETER_1)",
                              "[7]UnRegisterConsumer --- Start", "[1]UnRegisterConsumer: ERROR --- pIrp is NULL",
                              "[3]UnRegisterConsumer --- End (With STATUS_INVALID_PARAMETER_1)"}));

    const std::vector<std::pair<ULONG, std::string>> codes = {{STREAMER_REGISTER_PROVIDER, "RegisterProvider"},
                                                              {STREAMER_UNREGISTER_PROVIDER, "UnRegisterProvider"},
                                                              {STREAMER_REGISTER_CONSUMER, "RegisterConsumer"},
                                                              {STREAMER_UNREGISTER_CONSUMER, "UnRegisterConsumer"}};
    for (const auto &[code, name] : codes) {
        SCOPED_TRACE(name);
        ClearLog();
        const Sent sent = Send(code);
        EXPECT_TRUE(sent.completed);
        EXPECT_EQ(sent.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(EntryStartingWith({name + ":", name + " --- End"}),
                  (Lines{"[1]" + name + ": ERROR --- pStreamerSrvParam is NULL",
                         "[3]" + name + " --- End (With STATUS_UNSUCCESSFUL)"}));
    }
}

TEST_F(DispatchTest, RecordsShorterThanTheirRequestAreRefusedBeforeAnyRead)
{
    struct Case {
        ULONG code;
        std::string name;
        size_t needed;
    };
    const std::vector<Case> cases = {
        {STREAMER_REGISTER_PROVIDER, "RegisterProvider", sizeof(STREAMER_SRV_PARAM::RegisterProvider)},
        {STREAMER_UNREGISTER_PROVIDER, "UnRegisterProvider", sizeof(STREAMER_SRV_PARAM::UnRegisterProvider)},
        {STREAMER_REGISTER_CONSUMER, "RegisterConsumer", sizeof(STREAMER_SRV_PARAM::RegisterConsumer)},
        {STREAMER_UNREGISTER_CONSUMER, "UnRegisterConsumer", sizeof(STREAMER_SRV_PARAM::UnRegisterConsumer)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t length : {size_t(0), size_t(3), c.needed - 1}) {
            ClearLog();
            // Exactly the bytes the sender gave: any read past them shows under the address sanitizer.
            std::vector<UCHAR> bytes(std::max<size_t>(length, 1), 0x11);
            const Sent sent = Send(c.code, bytes.data(), static_cast<ULONG>(length), 0);
            EXPECT_TRUE(sent.completed);
            EXPECT_EQ(sent.status, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(EntryStartingWith({c.name + ":", c.name + " --- End"}),
                      (Lines{"[1]" + c.name + ": ERROR --- Input buffer holds " + std::to_string(length) +
                                 " bytes, the record needs " + std::to_string(c.needed),
                             "[3]" + c.name + " --- End (With STATUS_BUFFER_TOO_SMALL)"}));
        }
    }
    // Nothing was registered on the way.
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(pDeVididiArray[i].m_pProviderInfo, nullptr);
        EXPECT_EQ(pDeVididiArray[i].m_Consumers.m_nCount, 0);
    }

    // A record of exactly its member's size is enough.
    auto unregister = std::make_unique<UCHAR[]>(sizeof(STREAMER_SRV_PARAM::UnRegisterConsumer));
    STREAMER_SRV_PARAM leaving = ConsumerLeaving(4, 0x44);
    std::memcpy(unregister.get(), &leaving, sizeof(STREAMER_SRV_PARAM::UnRegisterConsumer));
    EXPECT_EQ(Send(STREAMER_UNREGISTER_CONSUMER, unregister.get(), sizeof(STREAMER_SRV_PARAM::UnRegisterConsumer), 0).status,
              STATUS_NOT_FOUND);
}

TEST_F(DispatchTest, OrbDriverQueryCompletesBeforeStreamOneHearsOfIt)
{
    g_notifications.clear();
    g_orbRequestCompletedWhenNotified.clear();
    STREAMER_SRV_PARAM listener = Consumer(1, 0x101);
    kemu::TestRequest waiting(STREAMER_REGISTER_CONSUMER, &listener, sizeof listener, 0);
    ASSERT_EQ(waiting.Dispatch(STREAMER_Dispatch, ControlDevice()), STATUS_PENDING);

    ClearLog();
    {
        kemu::TestRequest query(STREAMER_IOCTL_IS_ORBDRV_ACTIVE);
        g_orbRequest = &query;
        EXPECT_EQ(query.Dispatch(STREAMER_Dispatch, ControlDevice()), STATUS_SUCCESS);
        g_orbRequest = nullptr;
        EXPECT_EQ(query.Status(), STATUS_SUCCESS);
    }
    EXPECT_EQ(g_orbRequestCompletedWhenNotified, std::vector<bool>{true});
    EXPECT_EQ(g_orbAnswer, 0u);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", "[3]STREAMER_Dispatch: Got STREAMER_IOCTL_IS_ORBDRV_ACTIVE.",
                              "[3]STREAMER_Dispatch: Start handling STREAMER_IOCTL_IS_ORBDRV_ACTIVE",
                              "[7]STREAMER_Dispatch --- End"}));

    // With a provider on the notifications stream the answer is 1.
    STREAMER_SRV_PARAM provider = Provider(1);
    ASSERT_EQ(Send(STREAMER_REGISTER_PROVIDER, &provider, sizeof provider, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(waiting.Completed());
    {
        kemu::TestRequest query(STREAMER_IOCTL_IS_ORBDRV_ACTIVE);
        g_orbRequest = &query;
        EXPECT_EQ(query.Dispatch(STREAMER_Dispatch, ControlDevice()), STATUS_SUCCESS);
        g_orbRequest = nullptr;
    }
    EXPECT_EQ(g_orbRequestCompletedWhenNotified, (std::vector<bool>{true, true}));
    EXPECT_EQ(g_orbAnswer, 1u);
}

TEST_F(DispatchTest, WaitingConsumerCompletedBeforeItsDispatchReturnsIsNotTouchedAgain)
{
    // A provider on another processor may complete a waiting consumer's request as soon as the stream
    // has released its lock, while the consumer's dispatch is still on its way out. The log's output
    // service stops the consumer's thread right there (at the wrapper's end line) until a provider
    // has registered from another thread. The request was built by the I/O manager, so its
    // completion frees it: a later touch shows under the sanitizers and the emulation's checks.
    PDEVICE_OBJECT device = ControlDevice();
    STREAMER_SRV_PARAM joining = Consumer(12, 0x1201);
    STREAMER_SRV_PARAM provider = Provider(12);
    IO_STATUS_BLOCK providerIosb{};
    bool providerRan = false;
    kemu::DebugService::SetSink([&](const std::string &line) {
        if (providerRan || line.find("RegisterConsumer --- End (With 259))") == std::string::npos) {
            return;
        }
        providerRan = true;
        std::thread([&] {
            KEVENT done;
            KeInitializeEvent(&done, NotificationEvent, FALSE);
            PIRP irp = IoBuildDeviceIoControlRequest(STREAMER_REGISTER_PROVIDER, device, &provider, sizeof provider,
                                                     nullptr, 0, FALSE, &done, &providerIosb);
            providerIosb.Status = IoCallDriver(device, irp);
        }).join();
    });

    IO_STATUS_BLOCK consumerIosb{};
    KEVENT consumerDone;
    KeInitializeEvent(&consumerDone, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(STREAMER_REGISTER_CONSUMER, device, &joining, sizeof joining, nullptr, 0,
                                             FALSE, &consumerDone, &consumerIosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    kemu::DebugService::SetSink({});

    EXPECT_TRUE(providerRan);
    EXPECT_EQ(providerIosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&consumerDone), 1);
    EXPECT_EQ(consumerIosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(kemu::ViolationCount(), 0u);
    EXPECT_EQ(kemu::LiveRequestCount(), 0u);
}

// After a removal, handles that are still open keep sending requests. Every request that needs the
// stream table is refused with STATUS_UNSUCCESSFUL and an error line; the others still work.
TEST_F(DispatchTest, RequestsAfterRemovalAreRefusedWithoutTouchingTheTable)
{
    PDEVICE_OBJECT pdo = kemu::CreatePdo(u"DeVididi");
    ASSERT_EQ(kemu::PnpAddDevice(m_driver, pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT control = ControlDevice();
    ASSERT_EQ(kemu::PnpRemoveDevice(pdo), STATUS_SUCCESS);
    ASSERT_EQ(pDeVididiArray, nullptr);

    STREAMER_SRV_PARAM record = Consumer(2, 0x22);
    const std::vector<std::pair<ULONG, std::string>> registrations = {
        {STREAMER_REGISTER_PROVIDER, "RegisterProvider"},
        {STREAMER_UNREGISTER_PROVIDER, "UnRegisterProvider"},
        {STREAMER_REGISTER_CONSUMER, "RegisterConsumer"},
        {STREAMER_UNREGISTER_CONSUMER, "UnRegisterConsumer"}};
    for (const auto &[code, name] : registrations) {
        SCOPED_TRACE(name);
        ClearLog();
        kemu::TestRequest request(code, &record, sizeof record, 0);
        EXPECT_EQ(request.Dispatch(STREAMER_Dispatch, control), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(request.Status(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(EntryStartingWith({name + ": ERROR", name + " --- End"}),
                  (Lines{"[1]" + name + ": ERROR --- pDeVididiArray is NULL.",
                         "[3]" + name + " --- End (With STATUS_UNSUCCESSFUL)"}));
    }

    const std::string noTable = "[1]STREAMER_Dispatch: ERROR --- pDeVididiArray is NULL, no stream to print.";
    ClearLog();
    kemu::TestRequest status(STREAMER_IOCTL_PRINT_STATUS);
    EXPECT_EQ(status.Dispatch(STREAMER_Dispatch, control), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(CountEntry(noTable), 1u);

    ClearLog();
    STREAMER_PRINT_RANGE range = {0, 3};
    kemu::TestRequest streams(STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range, 0);
    EXPECT_EQ(streams.Dispatch(STREAMER_Dispatch, control), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(CountEntry(noTable), 1u);

    ClearLog();
    kemu::TestRequest orb(STREAMER_IOCTL_IS_ORBDRV_ACTIVE);
    EXPECT_EQ(orb.Dispatch(STREAMER_Dispatch, control), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", "[3]STREAMER_Dispatch: Got STREAMER_IOCTL_IS_ORBDRV_ACTIVE.",
                              "[1]STREAMER_Dispatch: ERROR --- pDeVididiArray is NULL, STREAMER_IOCTL_IS_ORBDRV_ACTIVE not handled.",
                              "[7]STREAMER_Dispatch --- End"}));

    // Requests that need no stream still work.
    kemu::TestRequest resync(STREAMER_IOCTL_RESYNC_OAPI_CONSUMER);
    EXPECT_EQ(resync.Dispatch(STREAMER_Dispatch, control), STATUS_SUCCESS);
    kemu::TestRequest update(STREAMER_IOCTL_UPDATE_DEBUG_LEVELS);
    EXPECT_EQ(update.Dispatch(STREAMER_Dispatch, control), STATUS_SUCCESS);
}

} // namespace
