// The live view: what a refresh shows, and how it redraws on a terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "live_view.h"

namespace sim {
namespace {

ViewSnapshot TwoStreams()
{
    ViewSnapshot view;
    view.elapsed = 2.04;
    view.duration = 5;
    StreamRow audio;
    audio.index = 2;
    audio.label = "LOCAL AUDIO";
    audio.provider = "mic";
    audio.bytesPerSecond = 8000;
    audio.hasWritePosition = true;
    audio.writePosition = 160;
    audio.ringSize = 4000;
    audio.consumers.push_back({"audio-tx", "joined", 4000, 16000, 16000, 0});
    audio.consumers.push_back({"recorder", "joined", -80, 11840, 12160, 4320});
    StreamRow idle;
    idle.index = 9;
    idle.label = "";
    idle.provider = "-";
    view.streams = {audio, idle};
    view.notes = {"ORB driver query: 2 sent"};
    return view;
}

std::string ReadAll(std::FILE *file)
{
    std::rewind(file);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
    }
    return text;
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

TEST(LiveView, ByteCountsReadAsUnits)
{
    EXPECT_EQ(Bytes(512), "512 B");
    EXPECT_EQ(Bytes(9999), "9999 B");
    EXPECT_EQ(Bytes(45600), "45.6 kB");
    EXPECT_EQ(Bytes(1230000), "1.2 MB");
}

TEST(LiveView, OnATerminalARefreshRedrawsTheBlockInPlace)
{
    std::FILE *file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    LiveView view(file, true);
    view.Show(TwoStreams());
    ViewSnapshot shorter = TwoStreams();
    shorter.notes.clear();
    view.Show(shorter);
    const std::string text = ReadAll(file);
    std::fclose(file);
    EXPECT_EQ(text.find("\x1b[8F"), text.find("\x1b[2KDeVididi terminal", 1) - 4)
        << "the second refresh starts by moving up over the eight lines of the first";
    EXPECT_NE(text.find("\x1b[J"), std::string::npos) << "a shorter block clears what is left below it";
}

TEST(LiveView, WithoutATerminalEachRefreshIsPlainLines)
{
    std::FILE *file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    LiveView view(file, false);
    view.Show(TwoStreams());
    view.Show(TwoStreams());
    const std::string text = ReadAll(file);
    std::fclose(file);
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_NE(text.find("DeVididi terminal"), text.rfind("DeVididi terminal"));
}

} // namespace
} // namespace sim
