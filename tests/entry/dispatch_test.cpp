// The control requests: codes, registration wrappers and refusals, printouts, the ORB driver query,
// and the bandwidth query: ten timed runs of the busy loop, with scripted counter readings.
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
};

int g_orbHeard = 0;
kemu::TestRequest *g_orbQuery = nullptr;
VOID STREAMER_CALL OrbListener(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM, PVOID)
{
    if (dwType == STREAMERNOTIFY_IS_ORBDRV_ACTIVE) {
        // The query must be finished before stream 1 hears of it.
        EXPECT_TRUE(g_orbQuery->Completed());
        EXPECT_EQ(g_orbQuery->Status(), STATUS_SUCCESS);
        ++g_orbHeard;
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
    for (ULONG code : {0x00222014u, 0x00222018u, 0x0022201Cu}) {
        ClearLog();
        EXPECT_EQ(Send(code), STATUS_SUCCESS);
        char line[80];
        std::snprintf(line, sizeof line, "[1]STREAMER_Dispatch: ERROR --- Got unknown IOCTL code 0x%08X", code & 0xFFFF);
        EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", line, "[7]STREAMER_Dispatch --- End"}));
    }
    ClearLog();
    kemu::TestRequest read(kemu::TestRequest::Major{IRP_MJ_READ});
    EXPECT_EQ(read.Dispatch(STREAMER_Dispatch), STATUS_SUCCESS);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", "[1]STREAMER_Dispatch: ERROR --- Got unexpected MajorFunction",
                              "[7]STREAMER_Dispatch --- End"}));
}

TEST_F(Dispatch, PrintoutsClipTheirRangeToTheTable)
{
    // A range reaching outside the table is clipped to it with a warning; 255 is still inside.
    const std::tuple<STREAMER_PRINT_RANGE, size_t, bool> ranges[] = {
        {{250, 300}, 6, true},  {{254, 255}, 2, false},           {{254, 256}, 2, true},
        {{-3, 1}, 2, true},     {{INT32_MIN, INT32_MAX}, 256, true}, {{256, 1000}, 0, true}};
    for (auto [range, labels, clipped] : ranges) {
        SCOPED_TRACE(::testing::Message() << range.nFrom << ".." << range.nTo);
        ClearLog();
        EXPECT_EQ(Send(STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range), STATUS_SUCCESS);
        EXPECT_EQ(Count("[2]STREAMER_Dispatch: WARNING --- Print range clipped to the streams 0 to 255"), clipped ? 1u : 0u);
        EXPECT_EQ(Entry({"Stream"}).size(), labels);
    }
}

TEST_F(Dispatch, ProviderWrappersSelectTheStreamByTheLowByteAndMapRefusals)
{
    STREAMER_SRV_PARAM record = ProviderRecord(0x00000305);
    EXPECT_EQ(Send(STREAMER_REGISTER_PROVIDER, &record, sizeof record), STATUS_SUCCESS);
    EXPECT_NE(pDeVididiArray[5].m_pProviderInfo, nullptr);
    EXPECT_EQ(Count("[6]RegisterProvider: Got a register request from DeVididi 773 (index=5)"), 1u);
    EXPECT_EQ(Count("[7]RegisterProvider --- End (With 0)"), 1u);
    record = ProviderRecord(0x00000105);
    EXPECT_EQ(Send(STREAMER_REGISTER_PROVIDER, &record, sizeof record), STATUS_ALREADY_COMMITTED);
    EXPECT_EQ(Count("[7]RegisterProvider --- End (With c0000021)"), 1u);
    record = ProviderRecord(6, 0); // the stream refuses a ring of 0 bytes
    EXPECT_EQ(Send(STREAMER_REGISTER_PROVIDER, &record, sizeof record), STATUS_UNSUCCESSFUL);
    ClearLog();
    record.UnRegisterProvider.hStream = 0x705;
    EXPECT_EQ(Send(STREAMER_UNREGISTER_PROVIDER, &record, sizeof record.UnRegisterProvider), STATUS_SUCCESS);
    EXPECT_EQ(Send(STREAMER_UNREGISTER_PROVIDER, &record, sizeof record.UnRegisterProvider), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Count("[4]UnRegisterProvider: Unregister provider 5 has completed."), 1u);
    EXPECT_EQ(Count("[1]UnRegisterProvider: ERROR --- There is no provider for DeVididi 5"), 1u);
    EXPECT_EQ(Count("[3]UnRegisterProvider --- End (With STATUS_UNSUCCESSFUL)"), 1u);
}

TEST_F(Dispatch, ConsumerBeforeItsProviderPendsUntilTheProviderArrives)
{
    STREAMER_SRV_PARAM first = Consumer(3, 0x301);
    kemu::TestRequest waiting(STREAMER_REGISTER_CONSUMER, &first, sizeof first);
    EXPECT_EQ(waiting.Dispatch(STREAMER_Dispatch), STATUS_PENDING);
    EXPECT_FALSE(waiting.Completed());
    EXPECT_TRUE(waiting.MarkedPending());
    EXPECT_EQ(Count("[6]RegisterConsumer: Got a register request from DeVididi (index=3)"), 1u);
    EXPECT_EQ(Entry({"RegisterConsumer ---"}),
              (Lines{"[7]RegisterConsumer --- Start)", "[7]RegisterConsumer --- End (With 259))"}));
    STREAMER_SRV_PARAM provider = ProviderRecord(3);
    EXPECT_EQ(Send(STREAMER_REGISTER_PROVIDER, &provider, sizeof provider), STATUS_SUCCESS);
    EXPECT_EQ(waiting.Status(), STATUS_SUCCESS);
    // A refusal of the stream reaches the sender unchanged.
    EXPECT_EQ(Send(STREAMER_REGISTER_CONSUMER, &first, sizeof first), STATUS_ADDRESS_ALREADY_ASSOCIATED);
    ClearLog();
    STREAMER_SRV_PARAM leaving = ConsumerRecord(3, 0x301, true);
    EXPECT_EQ(Send(STREAMER_UNREGISTER_CONSUMER, &leaving, sizeof leaving.UnRegisterConsumer), STATUS_SUCCESS);
    EXPECT_EQ(Send(STREAMER_UNREGISTER_CONSUMER, &leaving, sizeof leaving.UnRegisterConsumer), STATUS_NOT_FOUND);
    EXPECT_EQ(Count("[4]UnRegisterConsumer: Start Unregistering Consumer from DeVididi 3"), 2u);
    EXPECT_EQ(Count("[7]UnRegisterConsumer --- End (With c0000225)"), 1u);
}

TEST_F(Dispatch, WrappersRefuseMissingAndShortRecords)
{
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
    STREAMER_SRV_PARAM listener = Consumer(1, 0x101);
    kemu::TestRequest waiting(STREAMER_REGISTER_CONSUMER, &listener, sizeof listener);
    ASSERT_EQ(waiting.Dispatch(STREAMER_Dispatch), STATUS_PENDING);
    kemu::TestRequest query(STREAMER_IOCTL_IS_ORBDRV_ACTIVE);
    g_orbQuery = &query;
    EXPECT_EQ(query.Dispatch(STREAMER_Dispatch), STATUS_SUCCESS);
    g_orbQuery = nullptr;
    EXPECT_EQ(g_orbHeard, 1); // the answers themselves are pinned by golden.orb-query
    STREAMER_SRV_PARAM provider = ProviderRecord(1); // lets the listener's request complete
    EXPECT_EQ(Send(STREAMER_REGISTER_PROVIDER, &provider, sizeof provider), STATUS_SUCCESS);
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

// At this frequency a counter reading is already in 0.1 ms units.
constexpr int64_t kTenthsOfMs = 10000;

// Ten trials averaging `average`: alternately 5 above and 5 below it.
std::vector<int64_t> TrialsAveraging(int64_t average, int64_t start = 1000000)
{
    std::vector<int64_t> readings;
    for (int i = 0; i < 10; ++i, start += 100000) {
        readings.push_back(start);
        readings.push_back(start + average + (i % 2 ? -5 : 5));
    }
    return readings;
}

class GetBandwidthTest : public Dispatch {
protected:
    // The request's status and its buffer afterwards; IoStatus.Information must say what came back.
    std::pair<NTSTATUS, STREAMER_BANDWIDTH_PARAM> Measure(LONG mode, const std::vector<int64_t> &readings,
                                                          int64_t frequency = kTenthsOfMs, ULONG inLength = 12,
                                                          ULONG outLength = 4)
    {
        kemu::ScriptPerformanceCounter(readings, frequency);
        STREAMER_BANDWIDTH_PARAM param = {0xAAAAAAAA, 0xBBBBBBBB, mode};
        kemu::TestRequest request(STREAMER_IOCTL_GET_BANDWIDTH, &param, inLength, outLength);
        const NTSTATUS status = request.Dispatch(STREAMER_Dispatch);
        EXPECT_EQ(request.Status(), status);
        EXPECT_EQ(request.Information(), status == STATUS_SUCCESS ? 4u : 0u);
        EXPECT_EQ(param.dwReserved, 0xBBBBBBBBu);
        return {status, param};
    }
};

TEST_F(GetBandwidthTest, BandEdgesInBothTables)
{
    const std::tuple<int64_t, ULONG, ULONG> edges[] = {{289, 1536, 1536}, {290, 1280, 1024}, {389, 1280, 1024},
                                                       {390, 1024, 768},  {519, 1024, 768},  {520, 768, 512},
                                                       {649, 768, 512},   {650, 512, 512}};
    for (const auto &[average, fiveBands, fourBands] : edges) {
        SCOPED_TRACE(average);
        EXPECT_EQ(Measure(1, TrialsAveraging(average)).second.dwBandwidth, fiveBands);
        EXPECT_EQ(Measure(2, TrialsAveraging(average)).second.dwBandwidth, fourBands);
    }
    EXPECT_EQ(Measure(0, TrialsAveraging(390)).second.dwBandwidth, 768u);
    EXPECT_EQ(kemu::ScriptedReadingsLeft(), 0u);
}

TEST_F(GetBandwidthTest, LogsEachTrialAndTheResultButNoDispatchEndLineAndConvertsWithTheFrequency)
{
    auto [status, param] = Measure(1, TrialsAveraging(300));
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(param.dwBandwidth, 1280u);
    EXPECT_EQ(param.nMode, 1);
    // The trials' lines are pinned by golden.control-requests; here the frame: a start, no end.
    const Lines lines = Entry();
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines.front(), "[7]STREAMER_Dispatch --- Start");
    EXPECT_EQ(lines.back(), "[3]GetBandwidth : The Bandwidth is : 1280 ");
    // Readings are converted with their frequency and truncated: at 1193182 counts per second
    // 1193182 is 10000.0 and 1227859 is 10290.6, truncated to 10290.
    std::vector<int64_t> readings;
    for (int i = 0; i < 10; ++i) {
        readings.insert(readings.end(), {1193182, 1227859});
    }
    EXPECT_EQ(Measure(1, readings, 1193182).second.dwBandwidth, 1280u);
    EXPECT_EQ(Count("[3]GetBandwidth : Average Time is : 290 "), 1u);
    EXPECT_EQ(Count("[3]GetBandwidth : nRate = 1193182 "), 1u);
}

TEST_F(GetBandwidthTest, TrialAcrossTheUpperWordIsRunAgain)
{
    // In 0.1 ms units the first trial starts just below 2^32 and ends above it.
    std::vector<int64_t> readings = {0xFFFFFF00LL, 0x100000010LL};
    const std::vector<int64_t> counted = TrialsAveraging(400, 0x100000100LL);
    readings.insert(readings.end(), counted.begin(), counted.end());
    EXPECT_EQ(Measure(2, readings).second.dwBandwidth, 768u);
    EXPECT_EQ(kemu::ScriptedReadingsLeft(), 0u);
    EXPECT_EQ(Count("[3]GetBandwidth :1. Time Pass : 405 "), 1u);
    EXPECT_EQ(Count("[3]GetBandwidth :10. Time Pass : 395 "), 1u);
}

// The figure's word and nMode must lie inside the buffer: a shorter one is refused untouched.
TEST_F(GetBandwidthTest, MissingOrShortBuffersAreRefusedWithoutWriting)
{
    kemu::ScriptPerformanceCounter(TrialsAveraging(300), kTenthsOfMs);
    kemu::TestRequest bare(STREAMER_IOCTL_GET_BANDWIDTH);
    EXPECT_EQ(bare.Dispatch(STREAMER_Dispatch), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare.Information(), 0u);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", "[1]ERROR : GetBandwidth: Can not open system buffer"}));
    EXPECT_EQ(kemu::ScriptedReadingsLeft(), 20u);
    for (auto [in, out] : {std::pair<ULONG, ULONG>{8, 4}, std::pair<ULONG, ULONG>{12, 2}}) {
        ClearLog();
        auto [status, param] = Measure(1, TrialsAveraging(300), kTenthsOfMs, in, out);
        EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(param.dwBandwidth, 0xAAAAAAAAu);
        EXPECT_EQ(Entry()[1], "[1]ERROR : GetBandwidth: Buffer too small (input " + std::to_string(in) +
                                  " bytes, output " + std::to_string(out) + " bytes; needs 12 and 4)");
    }
}

} // namespace
