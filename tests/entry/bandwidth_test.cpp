// The bandwidth query: ten timed runs of the busy loop, with scripted counter readings.
#include "entry_fixture.h"

namespace {

using namespace dvtest;

// With this frequency a counter reading is already in 0.1 ms units.
constexpr int64_t kTenthsOfMs = 10000;

// Ten trials whose times average exactly `average`: alternately 5 above and 5 below it.
std::vector<int64_t> TrialsAveraging(int64_t average, int64_t start = 1000000)
{
    std::vector<int64_t> readings;
    for (int i = 0; i < 10; ++i) {
        const int64_t time = average + (i % 2 ? -5 : 5);
        readings.push_back(start);
        readings.push_back(start + time);
        start += 100000;
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

    struct Measured {
        NTSTATUS status;
        ULONG_PTR information;
        STREAMER_BANDWIDTH_PARAM param;
    };
    Measured Measure(LONG mode, const std::vector<int64_t> &readings, int64_t frequency = kTenthsOfMs,
                     ULONG inputLength = sizeof(STREAMER_BANDWIDTH_PARAM), ULONG outputLength = 4)
    {
        kemu::ScriptPerformanceCounter(readings, frequency);
        STREAMER_BANDWIDTH_PARAM param = {0xAAAAAAAA, 0xBBBBBBBB, mode};
        kemu::TestRequest request(STREAMER_IOCTL_GET_BANDWIDTH, &param, inputLength, outputLength);
        const NTSTATUS returned = request.Dispatch(STREAMER_Dispatch, ControlDevice());
        EXPECT_TRUE(request.Completed());
        EXPECT_EQ(request.Status(), returned);
        return {returned, request.Information(), param};
    }
};

TEST_F(GetBandwidthTest, BandEdgesInBothTables)
{
    struct Edge {
        int64_t average;
        ULONG fiveBands;
        ULONG fourBands;
    };
    const Edge edges[] = {{289, 1536, 1536}, {290, 1280, 1024}, {389, 1280, 1024}, {390, 1024, 768},
                          {519, 1024, 768},  {520, 768, 512},   {649, 768, 512},   {650, 512, 512}};
    for (const Edge &edge : edges) {
        SCOPED_TRACE(edge.average);
        Measured five = Measure(1, TrialsAveraging(edge.average));
        EXPECT_EQ(five.status, STATUS_SUCCESS);
        EXPECT_EQ(five.param.dwBandwidth, edge.fiveBands);
        Measured four = Measure(2, TrialsAveraging(edge.average));
        EXPECT_EQ(four.param.dwBandwidth, edge.fourBands);
    }
    // Every mode but 1 takes the four bands.
    EXPECT_EQ(Measure(0, TrialsAveraging(390)).param.dwBandwidth, 768u);
    EXPECT_EQ(Measure(-1, TrialsAveraging(290)).param.dwBandwidth, 1024u);
    EXPECT_EQ(kemu::ScriptedReadingsLeft(), 0u);
}

TEST_F(GetBandwidthTest, ReportsEachTrialAndEndsWithoutTheDispatchEndLine)
{
    const Measured measured = Measure(1, TrialsAveraging(300));
    EXPECT_EQ(measured.status, STATUS_SUCCESS);
    EXPECT_EQ(measured.information, 4u);
    EXPECT_EQ(measured.param.dwBandwidth, 1280u);
    EXPECT_EQ(measured.param.dwReserved, 0xBBBBBBBBu);
    EXPECT_EQ(measured.param.nMode, 1);

    Lines expected = {"[7]STREAMER_Dispatch --- Start"};
    for (int trial = 1; trial <= 10; ++trial) {
        expected.push_back("[3]GetBandwidth :" + std::to_string(trial) + ". Time Pass : " +
                           std::to_string(trial % 2 ? 305 : 295) + " ");
    }
    expected.insert(expected.end(), {"[3]GetBandwidth : nRate = 10000 ", "[3]GetBandwidth : Average Time is : 300 ",
                                     "[3]GetBandwidth : Min Time is : 295 ", "[3]GetBandwidth : The Bandwidth is : 1280 "});
    EXPECT_EQ(Entry(), expected);
}

TEST_F(GetBandwidthTest, TrialAcrossTheUpperWordIsRunAgain)
{
    // In 0.1 ms units the first trial starts just below 2^32 and ends above it.
    std::vector<int64_t> readings = {0xFFFFFF00LL, 0x100000010LL};
    const std::vector<int64_t> counted = TrialsAveraging(400, 0x100000100LL);
    readings.insert(readings.end(), counted.begin(), counted.end());

    const Measured measured = Measure(2, readings);
    EXPECT_EQ(measured.status, STATUS_SUCCESS);
    EXPECT_EQ(measured.param.dwBandwidth, 768u);
    EXPECT_EQ(kemu::ScriptedReadingsLeft(), 0u);
    Lines times;
    for (const std::string &line : Entry()) {
        if (line.find("Time Pass") != std::string::npos) {
            times.push_back(line);
        }
    }
    ASSERT_EQ(times.size(), 10u);
    EXPECT_EQ(times.front(), "[3]GetBandwidth :1. Time Pass : 405 ");
    EXPECT_EQ(times.back(), "[3]GetBandwidth :10. Time Pass : 395 ");
    EXPECT_EQ(CountEntry("[3]GetBandwidth : Average Time is : 400 "), 1u);
}

TEST_F(GetBandwidthTest, ReadingsAreConvertedWithTheirFrequencyAndTruncated)
{
    // At 1193182 counts per second: 1193182 -> 10000.0, 1227859 -> 10290.6 (truncated to 10290).
    std::vector<int64_t> readings;
    for (int i = 0; i < 10; ++i) {
        readings.push_back(1193182);
        readings.push_back(1227859);
    }
    const Measured measured = Measure(1, readings, 1193182);
    EXPECT_EQ(measured.param.dwBandwidth, 1280u);
    EXPECT_EQ(CountEntry("[3]GetBandwidth : Average Time is : 290 "), 1u);
    EXPECT_EQ(CountEntry("[3]GetBandwidth : nRate = 1193182 "), 1u);
}

TEST_F(GetBandwidthTest, MissingOrShortBuffersAreRefusedWithoutWriting)
{
    kemu::ScriptPerformanceCounter(TrialsAveraging(300), kTenthsOfMs);
    kemu::TestRequest bare(STREAMER_IOCTL_GET_BANDWIDTH);
    EXPECT_EQ(bare.Dispatch(STREAMER_Dispatch, ControlDevice()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare.Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare.Information(), 0u);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Dispatch --- Start", "[1]ERROR : GetBandwidth: Can not open system buffer"}));
    EXPECT_EQ(kemu::ScriptedReadingsLeft(), 20u);

    // nMode would lie past an 8-byte input; the figure past a 2-byte output.
    for (auto [in, out] : {std::pair<ULONG, ULONG>{8, 4}, std::pair<ULONG, ULONG>{12, 2}}) {
        ClearLog();
        const Measured measured = Measure(1, TrialsAveraging(300), kTenthsOfMs, in, out);
        EXPECT_EQ(measured.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(measured.information, 0u);
        EXPECT_EQ(measured.param.dwBandwidth, 0xAAAAAAAAu);
        EXPECT_EQ(Entry()[1], "[1]ERROR : GetBandwidth: Buffer too small (input " + std::to_string(in) +
                                  " bytes, output " + std::to_string(out) + " bytes; needs 12 and 4)");
    }
}

} // namespace
