// The bandwidth query: ten timed runs of the busy loop, with scripted counter readings.
#include "entry_fixture.h"

namespace {

using namespace dvtest;

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

class GetBandwidthTest : public DriverFrameTest {
protected:
    void SetUp() override
    {
        DriverFrameTest::SetUp();
        Load();
        ClearLog();
    }
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
