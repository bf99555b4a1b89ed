// The log line, the level test and the one-line-at-a-time rule of SHOWDEBUG.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "debug_fixture.h"

namespace {

using dvtest::DebugLogTest;
using Lines = std::vector<std::string>;

class ShowDebug : public DebugLogTest {};

// Fills the stack below the caller with non-zero bytes, so that a line left unterminated runs on.
__attribute__((noinline)) void DirtyStack()
{
    volatile char junk[16384];
    for (size_t i = 0; i < sizeof(junk); ++i) {
        junk[i] = 'Z';
    }
}

TEST_F(ShowDebug, LevelRulesDecideWhatIsShownAndAMessageNotShownCostsOnlyTheLevelTest)
{
    // A module's own level and below shows; level 0 shows whatever the module's level.
    DebugIdArray[QVDBG_MODULE_STREAM].nDebugLevel = 8;
    for (int level : {8, 9, 0xFFFF}) {
        SHOWDEBUG(QVDBG_MODULE_STREAM, level, "stream %d", level);
    }
    SHOWDEBUG(QVDBG_MODULE_CONSUMER_INFO, 0, "consumer 0");
    SHOWDEBUG(QVDBG_MODULE_CONSUMER_INFO, 1, "consumer 1");
    EXPECT_EQ(Shown(), (Lines{"123456 [8]DEVIDIDI-STREAM:stream 8", "123456 [0]DEVIDIDI-CONSUMER_INFO:consumer 0"}));
    kemu::DebugService::Clear();
    DebugIdArray[QVDBG_MODULE_STREAM].nDebugLevel = 1;
    int argumentEvaluations = 0;
    int moduleEvaluations = 0;
    auto module = [&] {
        ++moduleEvaluations;
        return QVDBG_MODULE_STREAM;
    };
    SHOWDEBUG(module(), 2, "%d", ++argumentEvaluations);
    EXPECT_EQ(argumentEvaluations, 0);
    EXPECT_EQ(moduleEvaluations, 1);
    SHOWDEBUG(module(), 1, "%d", ++argumentEvaluations);
    EXPECT_EQ(argumentEvaluations, 1);
    EXPECT_EQ(moduleEvaluations, 2);
    EXPECT_EQ(Shown(), Lines{"123456 [1]DEVIDIDI-STREAM:1"});
    // Nothing is sent before the output service has answered.
    kemu::DebugService::Clear();
    gfDebugVxdUp = 0;
    SHOWDEBUG(QVDBG_MODULE_ENTRY, 0, "lost");
    EXPECT_TRUE(Shown().empty());
    gfDebugVxdUp = 1;
    SHOWDEBUG(QVDBG_MODULE_ENTRY, 0, "kept");
    EXPECT_EQ(Shown(), Lines{"123456 [0]DEVIDIDI-ENTRY:kept"});
}

TEST_F(ShowDebug, LineIsCutAt1198Characters)
{
    DebugIdArray[QVDBG_MODULE_ENTRY].nDebugLevel = 7;
    const std::string prefix = "123456 [7]DEVIDIDI-ENTRY:";
    const size_t room = 1198 - prefix.size();
    std::string text;
    for (size_t i = 0; i < 3000; ++i) {
        text.push_back(static_cast<char>('a' + i % 26));
    }
    for (size_t length : {room - 1, room, room + 1, room + 2, text.size()}) {
        SCOPED_TRACE(length);
        kemu::DebugService::Clear();
        const std::string message = text.substr(0, length);
        DirtyStack();
        SHOWDEBUG(QVDBG_MODULE_ENTRY, 7, "%s", message.c_str());
        ASSERT_EQ(Shown().size(), 1u);
        EXPECT_EQ(Shown()[0], prefix + message.substr(0, room));
    }
    // A conversion that straddles the limit is cut inside its digits.
    kemu::DebugService::Clear();
    const std::string filler = text.substr(0, room - 3);
    DirtyStack();
    SHOWDEBUG(QVDBG_MODULE_ENTRY, 7, "%s%d", filler.c_str(), 123456789);
    EXPECT_EQ(Shown(), Lines{prefix + filler + "123"});
}

TEST_F(ShowDebug, TickCountIsItsLow32BitsAsASignedNumberAndTornReadsAreReadAgain)
{
    DebugIdArray[QVDBG_MODULE_ENTRY].nDebugLevel = 1;
    const std::vector<std::pair<uint64_t, std::string>> cases = {
        {2147483648ull, "-2147483648"}, {4294967295ull, "-1"}, {(uint64_t(3) << 32) + 42, "42"}};
    Lines expected;
    for (const auto &c : cases) {
        kemu::SetTickCount(c.first);
        SHOWDEBUG(QVDBG_MODULE_ENTRY, 1, "t");
        expected.push_back(c.second + " [1]DEVIDIDI-ENTRY:t");
    }
    EXPECT_EQ(Shown(), expected);
    kemu::DebugService::Clear();
    kemu::SetTickCount((uint64_t(1) << 32) - 1);
    kemu::InjectTornTickReads(3); // one whole reading (High1Time, LowPart, High2Time) caught mid-update
    SHOWDEBUG(QVDBG_MODULE_ENTRY, 1, "t");
    EXPECT_EQ(Shown(), Lines{"-1 [1]DEVIDIDI-ENTRY:t"});
    // A reader that skipped a word or did not read again has left torn copies behind.
    volatile KSYSTEM_TIME *after = &KeTickCount;
    EXPECT_EQ(after->High1Time, after->High2Time);
}

// From the output path itself or from another thread, a message while a line is produced is dropped.
TEST_F(ShowDebug, MessageLoggedWhileALineIsProducedIsDropped)
{
    DebugIdArray[QVDBG_MODULE_STREAM].nDebugLevel = 8;
    std::mutex mutex;
    std::condition_variable changed;
    bool otherReturned = false;
    std::thread other;
    kemu::DebugService::SetSink([&](const std::string &line) {
        if (line.find(":first") == std::string::npos) {
            return;
        }
        SHOWDEBUG(QVDBG_MODULE_STREAM, 0, "nested");
        other = std::thread([&] {
            SHOWDEBUG(QVDBG_MODULE_STREAM, 1, "second");
            std::lock_guard<std::mutex> lock(mutex);
            otherReturned = true;
            changed.notify_all();
        });
        // Bounded only so that a call which waits for the first fails the test instead of hanging it.
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return otherReturned; }))
            << "the other thread's call did not return while the first line was being produced";
    });
    SHOWDEBUG(QVDBG_MODULE_STREAM, 1, "first");
    other.join();
    SHOWDEBUG(QVDBG_MODULE_STREAM, 1, "after");
    EXPECT_EQ(Shown(), (Lines{"123456 [1]DEVIDIDI-STREAM:first", "123456 [1]DEVIDIDI-STREAM:after"}));
}

// Loggers racing a level writer (a ThreadSanitizer run checks the level's stores): every line is whole.
TEST_F(ShowDebug, ConcurrentCallersAndLevelChangesLeaveEveryLineWhole)
{
    std::atomic<bool> stop{false};
    std::thread levelWriter([&] {
        for (ULONG i = 0; !stop; ++i) {
            UpdateDebugIdArray("STREAM", (i % 2) ? 8 : 0);
        }
    });
    std::vector<std::thread> loggers;
    for (int t = 0; t < 3; ++t) {
        loggers.emplace_back([] {
            for (int i = 0; i < 300; ++i) {
                SHOWDEBUG(QVDBG_MODULE_STREAM, 1, "message %03d", i);
            }
        });
    }
    for (std::thread &logger : loggers) {
        logger.join();
    }
    stop = true;
    levelWriter.join();
    for (const std::string &line : Shown()) {
        EXPECT_EQ(line.substr(0, 34), "123456 [1]DEVIDIDI-STREAM:message ") << line;
        EXPECT_EQ(line.size(), 37u) << line;
    }
}

} // namespace
