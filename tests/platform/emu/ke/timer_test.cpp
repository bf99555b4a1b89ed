// Kernel timers on the held tick count (10 ms a tick) and in real time: when they fire, what a
// wait on them sees, and a thread's delay.
#include "platform/emu/core_test_support.h"

#include <cstring>
#include <thread>

namespace {

VOID NTAPI Count(PKDPC, PVOID context, PVOID, PVOID) { ++*static_cast<int *>(context); }

LARGE_INTEGER InMs(LONGLONG ms)
{
    LARGE_INTEGER due;
    due.QuadPart = -ms * 10000;
    return due;
}

class Timer : public CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        kemu::SetDpcMode(kemu::DpcMode::Manual);
        kemu::SetTickCount(0);
        KeInitializeTimer(&oneShot);
        KeInitializeTimer(&periodic);
        KeInitializeDpc(&oneShotDpc, Count, &oneShotRuns);
        KeInitializeDpc(&periodicDpc, Count, &periodicRuns);
    }
    void TearDown() override
    {
        KeCancelTimer(&oneShot);
        KeCancelTimer(&periodic);
        EXPECT_EQ(kemu::ResetDpcs(), 0u);
        CoreTest::TearDown();
    }
    KTIMER oneShot, periodic;
    KDPC oneShotDpc, periodicDpc;
    int oneShotRuns = 0, periodicRuns = 0;
};

TEST_F(Timer, TheHeldClockFiresOneShotOnceAndPeriodicEachPeriodOnlyWhenMovedToTheDueTick)
{
    EXPECT_FALSE(KeSetTimer(&oneShot, InMs(25), &oneShotDpc));
    EXPECT_FALSE(KeSetTimerEx(&periodic, InMs(20), 20, &periodicDpc));
    kemu::AdvanceTicks(1);
    EXPECT_EQ(kemu::RunQueuedDpcs(), 0u);
    kemu::AdvanceTicks(1); // 20 ms: the periodic one only
    EXPECT_EQ(kemu::RunQueuedDpcs(), 1u);
    EXPECT_EQ(periodicRuns, 1);
    EXPECT_FALSE(KeReadStateTimer(&oneShot));
    kemu::SetTickCount(3); // 30 ms: the one-shot one, rounded up to the tick after its due time
    EXPECT_EQ(kemu::RunQueuedDpcs(), 1u);
    EXPECT_EQ(oneShotRuns, 1);
    EXPECT_TRUE(KeReadStateTimer(&oneShot));
    kemu::SetTickCount(4); // 40 ms: the periodic one again, the one-shot one never again
    kemu::SetTickCount(10);
    EXPECT_EQ(kemu::RunQueuedDpcs(), 1u); // fired twice before its DPC ran: the DPC runs once
    EXPECT_EQ(periodicRuns, 2);
    EXPECT_EQ(oneShotRuns, 1);
    // The jump from 40 to 100 ms fired it once; it is due again 20 ms after that.
    kemu::SetTickCount(11);
    EXPECT_EQ(kemu::RunQueuedDpcs(), 0u);
    kemu::SetTickCount(12);
    EXPECT_EQ(kemu::RunQueuedDpcs(), 1u);
}

TEST_F(Timer, SetAndCancelSayWhetherItWasSetAndACancelledTimerNeverFires)
{
    EXPECT_FALSE(KeCancelTimer(&oneShot));
    EXPECT_FALSE(KeSetTimer(&oneShot, InMs(10), &oneShotDpc));
    EXPECT_TRUE(KeSetTimer(&oneShot, InMs(30), &oneShotDpc)); // set again, from now
    kemu::SetTickCount(2);
    EXPECT_EQ(kemu::RunQueuedDpcs(), 0u);
    EXPECT_TRUE(KeCancelTimer(&oneShot));
    EXPECT_FALSE(KeCancelTimer(&oneShot));
    kemu::SetTickCount(100);
    EXPECT_EQ(kemu::RunQueuedDpcs(), 0u);
    EXPECT_EQ(kemu::SetTimerCount(), 0u);
    // A due time already past fires at once, on the caller's thread.
    LARGE_INTEGER past;
    past.QuadPart = 1;
    KeSetTimer(&oneShot, past, &oneShotDpc);
    EXPECT_TRUE(KeReadStateTimer(&oneShot));
    EXPECT_EQ(kemu::RunQueuedDpcs(), 1u);
}

TEST_F(Timer, AWaitEndsWhenTheClockReachesTheDueTimeAndTakesBackOnlyASynchronizationTimer)
{
    KTIMER sync;
    KeInitializeTimerEx(&sync, SynchronizationTimer);
    KeSetTimer(&sync, InMs(10), nullptr);
    KeSetTimer(&oneShot, InMs(10), nullptr);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    std::thread ticker([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        kemu::SetTickCount(1);
    });
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ticker.join();
    EXPECT_FALSE(KeReadStateTimer(&sync));
    EXPECT_EQ(KeWaitForSingleObject(&oneShot, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_TRUE(KeReadStateTimer(&oneShot));
}

TEST_F(Timer, InRealTimeATimerFiresByItselfAndADelayLastsItsInterval)
{
    kemu::UseRealTimeTicks();
    kemu::SetDpcMode(kemu::DpcMode::Thread);
    const auto start = std::chrono::steady_clock::now();
    KeSetTimer(&oneShot, InMs(20), &oneShotDpc);
    EXPECT_EQ(KeWaitForSingleObject(&oneShot, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    kemu::RunQueuedDpcs();
    EXPECT_EQ(oneShotRuns, 1);
    LARGE_INTEGER interval = InMs(15);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(15));
}

TEST_F(Timer, MisuseIsReported)
{
    kemu::ScopedViolationRecording recording;
    KTIMER never;
    std::memset(&never, 0, sizeof never);
    EXPECT_FALSE(KeSetTimer(&never, InMs(10), nullptr));
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER interval = InMs(10);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    KeLowerIrql(old);
    ExpectViolations(recording, {{kemu::rule::kTimerUninitialised, "KeSetTimerEx on timer " + HexOf(&never)},
                                 {kemu::rule::kDelayAboveApc, "at IRQL 2"}});
}

// The script's own thread delaying on the clock only it moves would hang the run: a stop instead.
TEST(TimerDeathTest, ADelayOnTheThreadThatMovesTheHeldClockStops)
{
    kemu::ResetCore();
    kemu::SetTickCount(0);
    LARGE_INTEGER interval = InMs(10);
    EXPECT_EXIT(KeDelayExecutionThread(KernelMode, FALSE, &interval), testing::ExitedWithCode(3),
                "STOP: wait made no progress: .* called KeDelayExecutionThread on the thread that moves the held "
                "tick count");
    kemu::ResetCore();
}

} // namespace
