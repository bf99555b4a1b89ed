// The emulated tick count and performance counter.
#include "platform/emu/core_test_support.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace {

class TickCount : public CoreTest {};
class PerformanceCounter : public CoreTest {};

TEST_F(TickCount, FrozenCountReadsAsOneValueThroughTornCopies)
{
    kemu::SetTickCount(0x100000005ull);
    EXPECT_EQ(KeTickCount.LowPart, 5u);
    EXPECT_EQ(KeTickCount.High1Time, 1);
    LARGE_INTEGER count;
    KeQueryTickCount(&count);
    EXPECT_EQ(count.QuadPart, 0x100000005ll);
    EXPECT_EQ(kemu::TickCount(), 0x100000005ull);
    // Torn copies settle, and the high-word protocol sees through them.
    kemu::SetTickCount(0x300000010ull);
    kemu::InjectTornTickReads(2);
    EXPECT_NE(KeTickCount.High1Time, KeTickCount.High2Time); // both reads torn
    EXPECT_EQ(KeTickCount.High1Time, KeTickCount.High2Time); // settled
    // A reader that skips the check is fooled; KeQueryTickCount, which repeats, is not.
    kemu::InjectTornTickReads(1);
    LONG high = KeTickCount.High1Time;
    ULONG low = KeTickCount.LowPart;
    LONGLONG naive = (LONGLONG(high) << 32) | low;
    EXPECT_NE(naive, 0x300000010ll);
    for (unsigned torn = 1; torn <= 7; ++torn) {
        kemu::InjectTornTickReads(torn);
        KeQueryTickCount(&count);
        EXPECT_EQ(count.QuadPart, 0x300000010ll) << torn << " torn reads";
    }
}

TEST_F(PerformanceCounter, ScriptedReadingsComeInOrderThenTheCounterGoesOnFromTheLast)
{
    kemu::ScriptPerformanceCounter({100, 250, 400}, 1000);
    LARGE_INTEGER frequency;
    EXPECT_EQ(KeQueryPerformanceCounter(&frequency).QuadPart, 100);
    EXPECT_EQ(frequency.QuadPart, 1000);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, 250);
    EXPECT_EQ(kemu::ScriptedReadingsLeft(), 1u);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, 400);
    LONGLONG after = KeQueryPerformanceCounter(&frequency).QuadPart;
    EXPECT_GE(after, 400);
    EXPECT_GE(KeQueryPerformanceCounter(nullptr).QuadPart, after);
    EXPECT_EQ(frequency.QuadPart, 1000);
    kemu::UseRealPerformanceCounter();
    LONGLONG real = KeQueryPerformanceCounter(&frequency).QuadPart;
    EXPECT_EQ(frequency.QuadPart, kemu::kPerformanceFrequency);
    EXPECT_GE(KeQueryPerformanceCounter(nullptr).QuadPart, real);
    std::vector<int64_t> script(1000), got[4];
    for (size_t i = 0; i < script.size(); ++i) script[i] = int64_t(i) * 3;
    kemu::ScriptPerformanceCounter(script, 1000);
    std::vector<std::thread> threads;
    for (std::vector<int64_t> &mine : got) {
        threads.emplace_back([&mine] {
            for (int i = 0; i < 250; ++i) mine.push_back(KeQueryPerformanceCounter(nullptr).QuadPart);
        });
    }
    std::vector<int64_t> all;
    for (size_t t = 0; t < threads.size(); ++t) {
        threads[t].join();
        all.insert(all.end(), got[t].begin(), got[t].end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, script);
}

} // namespace
