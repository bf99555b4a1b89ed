// Randomized preemption: which kernel calls are points, and that a seed fixes each thread's draws.
#include "platform/emu/core_test_support.h"

#include <chrono>
#include <thread>

namespace {

class RandomPreemption : public CoreTest {};

// Runs n lock round trips on a fresh thread (the first thread to draw under the current seed).
kemu::PreemptionStats RoundTripsOnFreshThread(uint64_t seed, int n)
{
    kemu::SetRandomPreemption(seed, {0.3, 0.01, 5});
    std::thread([n] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        for (int i = 0; i < n; ++i) {
            KIRQL old = KfAcquireSpinLock(&lock);
            KfReleaseSpinLock(&lock, old);
        }
    }).join();
    return kemu::RandomPreemptionStats();
}

TEST_F(RandomPreemption, EveryKernelCallBoundaryIsAPointAndTheSeedFixesTheDraws)
{
    kemu::SetRandomPreemption(1, {0, 0, 1});
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KfReleaseSpinLock(&lock, KfAcquireSpinLock(&lock));    // 1, 2
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);               // 3
    KefAcquireSpinLockAtDpcLevel(&lock);                   // 4
    KefReleaseSpinLockFromDpcLevel(&lock);                 // 5
    KfLowerIrql(old);                                      // 6
    LIST_ENTRY head, entry;
    InitializeListHead(&head);
    ExInterlockedInsertTailList(&head, &entry, &lock);     // 7
    ExInterlockedRemoveHeadList(&head, &lock);             // 8
    volatile LONG counter = 0;
    InterlockedIncrement(&counter);                        // 9
    InterlockedCompareExchange(&counter, 5, 1);            // 10
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, KX_POOL_TAG('T', 'e', 's', 't'))); // 11, 12
    EXPECT_EQ(kemu::RandomPreemptionStats().points, 12u);
    EXPECT_EQ(counter, 5);
    const kemu::PreemptionStats a = RoundTripsOnFreshThread(42, 2000);
    const kemu::PreemptionStats b = RoundTripsOnFreshThread(42, 2000);
    const kemu::PreemptionStats c = RoundTripsOnFreshThread(43, 2000);
    EXPECT_EQ(a.points, 4000u);
    EXPECT_GT(a.yields, 1000u);
    EXPECT_GT(a.sleeps, 10u);
    EXPECT_EQ(a.yields, b.yields);
    EXPECT_EQ(a.sleeps, b.sleeps);
    EXPECT_NE(a.yields, c.yields);
    kemu::ResetCore(); // ends it, as it ends every other test setting
    EXPECT_FALSE(kemu::RandomPreemptionActive());
    InterlockedIncrement(&counter);
    EXPECT_EQ(kemu::RandomPreemptionStats().points, 4000u);
}

} // namespace

// A thread that passes one named point again and again, with no other between, spins for something
// that never comes: past the watchdog's limit the run stops naming the point and the level. Two
// points in turn are progress, and with the verifier's checks off the watchdog is off too.
TEST(SpinWatchdogDeathTest, OnePointPassedForTooLongStopsTheRun)
{
    const auto spin = [](std::chrono::milliseconds lasting, bool alternate) {
        const auto end = std::chrono::steady_clock::now() + lasting;
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        while (std::chrono::steady_clock::now() < end) {
            KemuSchedulingPoint("test.spin");
            if (alternate) {
                KemuSchedulingPoint("test.other");
            }
        }
        KfLowerIrql(old);
    };
    kemu::ResetCore();
    kemu::SetSpinWatchdog(std::chrono::milliseconds(30));
    spin(std::chrono::milliseconds(100), true);
    ASSERT_TRUE(kemu::SetVerifierChecks(false));
    spin(std::chrono::milliseconds(100), false);
    ASSERT_TRUE(kemu::SetVerifierChecks(true));
    EXPECT_EXIT(spin(std::chrono::milliseconds(2000), false), testing::ExitedWithCode(3),
                "spin made no progress: .* passed its point test.spin for [0-9]+ ms at IRQL 2");
    kemu::ResetCore();
    EXPECT_EQ(kemu::SpinWatchdog(), std::chrono::milliseconds(10000));
}
