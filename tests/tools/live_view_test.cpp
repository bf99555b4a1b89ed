// The live view: what a refresh shows, and how it redraws on a terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "live_view.h"

namespace sim {
namespace {

ViewSnapshot TwoStreams()
{
    StreamRow audio{2, "LOCAL AUDIO", "mic", 8000, true, 160, 4000,
                    {{"audio-tx", "joined", 4000, 16000, 16000, 0}, {"recorder", "joined", -80, 11840, 12160, 4320}}};
    StreamRow idle{9, "", "-", 0, false, 0, 0, {}};
    return ViewSnapshot{2.04, 5, {audio, idle}, {"ORB driver query: 2 sent"}};
}

TEST(LiveRun, ConservationHoldsOnlyWhenEveryByteProvidedWasAnnouncedOrLostAndNoMoreProcessed)
{
    // Told of stream positions 1000..5000 (3000 announced, 1000 lost), but the stream took 200 bytes
    // more before the consumer left, of which it was never told.
    const ConsumerSums sums = SumConsumer(true, 1000, 5000, 500, 5200, 3200, 1000, 3500);
    EXPECT_EQ(sums.unannounced, 200u);
    EXPECT_FALSE(sums.held) << "bytes never announced";
    // Never told of anything, while the stream took 100 bytes.
    EXPECT_FALSE(SumConsumer(false, 0, 0, 500, 600, 0, 0, 0).held);
}

TEST(LiveView, EachConsumerHasItsLineUnderItsStreamWithinEightyColumns)
{
    std::vector<std::string> lines = RenderView(TwoStreams());
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "DeVididi terminal  2.0 s of 5 s");
    EXPECT_EQ(lines[3].rfind("2 LOCAL AUDIO", 0), 0u);
    EXPECT_NE(lines[3].find("mic"), std::string::npos);
    EXPECT_NE(lines[3].find("8000 B/s"), std::string::npos);
    EXPECT_NE(lines[3].find("160/4000"), std::string::npos);
    EXPECT_EQ(lines[4].rfind("  audio-tx", 0), 0u);
    EXPECT_EQ(lines[5].rfind("  recorder", 0), 0u);
    EXPECT_NE(lines[5].find("-80"), std::string::npos) << "a consumer that lost bytes shows negative space";
    EXPECT_NE(lines[5].find("4320 B"), std::string::npos);
    EXPECT_EQ(lines[6].rfind("9 ", 0), 0u);
    EXPECT_NE(lines[6].find(" - "), std::string::npos) << "no write position without a consumer";
    EXPECT_EQ(lines[7], "ORB driver query: 2 sent");
    for (const std::string &line : lines) {
        EXPECT_LE(line.size(), 80u) << line;
    }
}

TEST(LiveView, OnATerminalARefreshRedrawsTheBlockInPlaceElsewhereItIsPlainLines)
{
    for (bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal" : "plain");
        char *buffer = nullptr;
        size_t length = 0;
        std::FILE *file = open_memstream(&buffer, &length);
        ASSERT_NE(file, nullptr);
        LiveView view(file, terminal);
        view.Show(TwoStreams());
        ViewSnapshot shorter = TwoStreams();
        shorter.notes.clear();
        view.Show(shorter);
        std::fclose(file);
        const std::string text(buffer, length);
        std::free(buffer);
        if (terminal) {
            EXPECT_EQ(text.find("\x1b[8F"), text.find("\x1b[2KDeVididi terminal", 1) - 4)
                << "the second refresh starts by moving up over the eight lines of the first";
            EXPECT_NE(text.find("\x1b[J"), std::string::npos) << "a shorter block clears what is left below it";
        } else {
            EXPECT_EQ(text.find('\x1b'), std::string::npos);
            EXPECT_NE(text.find("DeVididi terminal"), text.rfind("DeVididi terminal"));
        }
    }
}

} // namespace
} // namespace sim
