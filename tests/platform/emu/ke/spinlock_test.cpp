// Interrupt levels, spin locks and the interlocked list operations.
#include "platform/emu/core_test_support.h"

#include <cstring>
#include <thread>
#include <vector>

namespace {

class Irql : public CoreTest {};
class SpinLock : public CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        KeInitializeSpinLock(&lock);
    }
    KSPIN_LOCK lock;
};
class SpinLockDeathTest : public CoreTest {};
class InterlockedList : public SpinLock {};

TEST_F(Irql, EachThreadStartsAtPassiveAndMovesOnlyInTheRightDirection)
{
    EXPECT_EQ(KfRaiseIrql(APC_LEVEL), PASSIVE_LEVEL);
    EXPECT_EQ(KfRaiseIrql(DISPATCH_LEVEL), APC_LEVEL);
    KIRQL other = HIGH_LEVEL;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL);
    kemu::ScopedViolationRecording recording;
    EXPECT_EQ(KfRaiseIrql(PASSIVE_LEVEL), DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL); // refused: the level stays
    KfLowerIrql(APC_LEVEL);
    KfLowerIrql(DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    ExpectViolations(recording, {{"IRQL raised to a lower level", "KfRaiseIrql(0) called at IRQL 2"},
                                 {"IRQL lowered to a higher level", "KfLowerIrql(2) called at IRQL 1"}});
    KfLowerIrql(PASSIVE_LEVEL);
}

// Locks taken at DISPATCH_LEVEL return it, and more locks than the held list keeps without
// allocating are each tracked when released out of order.
TEST_F(SpinLock, AcquireRaisesToDispatchAndReleaseRestoresTheReturnedLevel)
{
    KIRQL first = KfAcquireSpinLock(&lock);
    EXPECT_EQ(first, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(lock, kemu::CurrentThreadLockToken());
    KfReleaseSpinLock(&lock, first);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(lock, 0u);
    constexpr size_t kLocks = 12;
    KSPIN_LOCK locks[kLocks];
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    for (KSPIN_LOCK &each : locks) {
        KeInitializeSpinLock(&each);
        EXPECT_EQ(KfAcquireSpinLock(&each), DISPATCH_LEVEL);
    }
    EXPECT_EQ(kemu::HeldSpinLocks(), kLocks);
    const size_t order[kLocks] = {2, 9, 0, 11, 10, 8, 7, 6, 5, 4, 3, 1};
    for (size_t n = 0; n < kLocks; ++n) {
        KfReleaseSpinLock(&locks[order[n]], DISPATCH_LEVEL);
        EXPECT_EQ(kemu::HeldSpinLocks(), kLocks - n - 1);
        for (size_t m = 0; m < kLocks; ++m)
            EXPECT_EQ(locks[order[m]] == 0, m <= n) << "lock " << order[m] << " after releasing " << order[n];
    }
    KfLowerIrql(old);
}

// What hangs or bugchecks a real processor stops the run, even while a test records reports.
TEST_F(SpinLockDeathTest, ABreachAMachineCannotSurviveStops)
{
    // qemu-user (the 32-bit build) cannot re-execute the program; with no other thread, forking is as safe.
#if defined(__i386__)
    GTEST_FLAG_SET(death_test_style, "fast");
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
    kemu::ScopedViolationRecording recording;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_EXIT(
        {
            KfAcquireSpinLock(&lock);
            KfAcquireSpinLock(&lock);
        },
        ::testing::ExitedWithCode(3),
        "\\*\\*\\* STOP: spin lock acquired twice: lock 0x[0-9a-f]+ is already held by this thread");
    EXPECT_EXIT(
        {
            KfAcquireSpinLock(&lock);
            LIST_ENTRY head;
            InitializeListHead(&head);
            ExInterlockedRemoveHeadList(&head, &lock);
        },
        ::testing::ExitedWithCode(3), "STOP: spin lock acquired twice: .*acquired again by an interlocked list operation");
    EXPECT_EXIT(
        {
            kemu::ScopedIrql high(HIGH_LEVEL);
            KfAcquireSpinLock(&lock);
        },
        ::testing::ExitedWithCode(3), "STOP: spin lock acquired above DISPATCH_LEVEL: KfAcquireSpinLock\\(0x[0-9a-f]+\\) called at IRQL 31");
}

// A foreign or spare release is reported and leaves the lock alone.
TEST_F(SpinLock, ForeignAndSpareReleasesAreRecordedAndTheTestGoesOn)
{
    kemu::ScopedViolationRecording recording;
    KIRQL old = KfAcquireSpinLock(&lock);
    std::thread([&] { KfReleaseSpinLock(&lock, PASSIVE_LEVEL); }).join();
    EXPECT_EQ(lock, kemu::CurrentThreadLockToken());
    KfReleaseSpinLock(&lock, old);
    KfReleaseSpinLock(&lock, PASSIVE_LEVEL);
    const std::string at = HexOf(&lock);
    ExpectViolations(recording, {{"spin lock released by a thread that does not hold it", "lock " + at + " is held by owner token"},
                                 {"spin lock released while not held", at + " released by KfReleaseSpinLock holds 0x0 (free)"}});
}

TEST_F(SpinLock, WrongLevelsAroundALockAreReported)
{
    kemu::ScopedViolationRecording recording;
    KIRQL old = KfAcquireSpinLock(&lock);
    KfReleaseSpinLock(&lock, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), old); // what the acquire returned, not what was asked
    ExpectOneViolation(recording, "spin lock released with a level other than its acquire returned",
                       "lock " + HexOf(&lock) + ": KfAcquireSpinLock returned IRQL 0, KfReleaseSpinLock was given IRQL 1");
    old = KfAcquireSpinLock(&lock);
    KfLowerIrql(PASSIVE_LEVEL);
    KfReleaseSpinLock(&lock, old);
    EXPECT_EQ(recording.TakeRules(), (std::vector<std::string>{"IRQL lowered below DISPATCH_LEVEL while holding a spin lock",
                                                               "spin lock released below DISPATCH_LEVEL"}));
    std::memset(&lock, kemu::kPoolFreshFill, sizeof lock);
    KfReleaseSpinLock(&lock, KfAcquireSpinLock(&lock));
    ExpectOneViolation(recording, "spin lock not initialised", HexOf(&lock) + " holds 0xcdcdcdcd");
    old = KfAcquireSpinLock(&lock);
    lock = 0x1234;
    KfReleaseSpinLock(&lock, old);
    EXPECT_EQ(lock, 0u);
    ExpectOneViolation(recording, "spin lock word changed while held", "but holds 0x1234");
    std::thread([&] { KfAcquireSpinLock(&lock); }).join();
    EXPECT_EQ(lock, 0u);
    ExpectOneViolation(recording, "thread ended holding a spin lock", HexOf(&lock));
}

// Without the verifier's checks (the benchmarks' production-like emulation) the lock still
// excludes and the pool, used outside it, keeps exact accounts; no rule is seen until the next
// reset. With the checks, the preempted simulator runs and the exchange's concurrency tests show it.
TEST_F(SpinLock, ChecksOffKeepOnlyTheLockAndTheLevelUntilTheNextReset)
{
    KIRQL old = KfAcquireSpinLock(&lock);
    EXPECT_FALSE(kemu::SetVerifierChecks(false)) << "refused while this thread holds a lock";
    KfReleaseSpinLock(&lock, old);
    ASSERT_TRUE(kemu::SetVerifierChecks(false));
    kemu::ScopedViolationRecording recording;
    const ULONG tag = KX_POOL_TAG('M', 'u', 't', 'x');
    constexpr int kThreads = 4, kRounds = 20000;
    long counter = 0; // deliberately plain: only the lock protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                void *block = ExAllocatePoolWithTag(NonPagedPool, size_t(i % 32), tag);
                KIRQL level = KfAcquireSpinLock(&lock);
                long seen = counter;
                if (i % 16 == 0) std::this_thread::yield(); // a holder descheduled: others must wait
                counter = seen + 1;
                KfReleaseSpinLock(&lock, level);
                ExFreePool(block);
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(counter, long(kThreads) * kRounds);
    const kemu::PoolTagStats s = kemu::PoolStats(tag);
    EXPECT_EQ(s.allocations, uint64_t(kThreads) * kRounds);
    EXPECT_EQ(s.frees, s.allocations);
    EXPECT_EQ(s.liveBytes, 0u);
    old = KfAcquireSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KfLowerIrql(PASSIVE_LEVEL); // a rule broken unseen, as on a machine without a verifier
    KfReleaseSpinLock(&lock, old);
    EXPECT_EQ(lock, 0u);
    EXPECT_TRUE(recording.Take().empty());
    kemu::ResetCore();
    EXPECT_TRUE(kemu::VerifierChecks());
}

TEST_F(InterlockedList, OperationsReturnThePreviousEndOrNullWhenEmpty)
{
    struct Item {
        LIST_ENTRY link;
        int value;
    } a{{}, 1}, b{{}, 2}, c{{}, 3};
    LIST_ENTRY head;
    InitializeListHead(&head);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &a.link, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &b.link, &lock), &a.link);
    EXPECT_EQ(ExInterlockedInsertHeadList(&head, &c.link, &lock), &a.link);
    EXPECT_EQ(lock, 0u);
    std::vector<int> order;
    while (PLIST_ENTRY e = ExInterlockedRemoveHeadList(&head, &lock))
        order.push_back(CONTAINING_RECORD(e, Item, link)->value);
    EXPECT_EQ(order, (std::vector<int>{3, 1, 2}));
    EXPECT_TRUE(IsListEmpty(&head));
}

} // namespace
