// The emulated tick count and performance counter.
#include "platform/emu/core_test_support.h"

namespace {

class TickCount : public CoreTest {};
class PerformanceCounter : public CoreTest {};

TEST_F(TickCount, FrozenCountReadsAsOneValueThroughTornCopies)
{
    // Torn copies settle, and the high-word protocol sees through them.
    kemu::SetTickCount(0x300000010ull);
    EXPECT_EQ(KeTickCount.LowPart, 0x10u);
    EXPECT_EQ(KeTickCount.High1Time, 3);
    kemu::InjectTornTickReads(2);
    EXPECT_NE(KeTickCount.High1Time, KeTickCount.High2Time); // both reads torn
    EXPECT_EQ(KeTickCount.High1Time, KeTickCount.High2Time); // settled
    // KeQueryTickCount repeats its read until the two high words agree.
    LARGE_INTEGER count;
    for (unsigned torn = 1; torn <= 7; ++torn) {
        kemu::InjectTornTickReads(torn);
        KeQueryTickCount(&count);
        EXPECT_EQ(count.QuadPart, 0x300000010ll) << torn << " torn reads";
    }
}

// A script's order and frequency show in GetBandwidthTest's figures; here what follows its end.
TEST_F(PerformanceCounter, ScriptedReadingsComeInOrderThenTheCounterGoesOnFromTheLast)
{
    kemu::ScriptPerformanceCounter({400}, 1000);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, 400);
    LARGE_INTEGER frequency;
    LONGLONG after = KeQueryPerformanceCounter(&frequency).QuadPart;
    EXPECT_GE(after, 400);
    EXPECT_GE(KeQueryPerformanceCounter(nullptr).QuadPart, after);
    EXPECT_EQ(frequency.QuadPart, 1000);
    kemu::UseRealPerformanceCounter();
    KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, kemu::kPerformanceFrequency);
}

} // namespace
