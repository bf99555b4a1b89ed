// Deferred procedure calls: queued once at a time, run at DISPATCH_LEVEL, checked on return.
#include "platform/emu/core_test_support.h"

#include <thread>

namespace {

struct Runs {
    int count = 0;
    KIRQL level = PASSIVE_LEVEL;
    PVOID argument = nullptr;
    std::thread::id thread;
    KSPIN_LOCK *leaveHeld = nullptr; // the routine takes this lock and does not release it
};

VOID NTAPI Record(PKDPC, PVOID context, PVOID argument1, PVOID)
{
    Runs &runs = *static_cast<Runs *>(context);
    ++runs.count;
    runs.level = KeGetCurrentIrql();
    runs.argument = argument1;
    runs.thread = std::this_thread::get_id();
    if (runs.leaveHeld != nullptr) KeAcquireSpinLockAtDpcLevel(runs.leaveHeld);
}

class Dpc : public CoreTest {
protected:
    void TearDown() override
    {
        EXPECT_EQ(kemu::ResetDpcs(), 0u);
        CoreTest::TearDown();
    }
    Runs runs;
    KDPC dpc;
};

TEST_F(Dpc, QueuedOnceRunsOnceAtDispatchWithTheFirstArgumentsAndCanBeTakenBack)
{
    kemu::SetDpcMode(kemu::DpcMode::Manual);
    KeInitializeDpc(&dpc, Record, &runs);
    int first = 1, second = 2;
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, &first, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, &second, nullptr));
    EXPECT_EQ(kemu::RunQueuedDpcs(), 1u);
    EXPECT_EQ(runs.count, 1);
    EXPECT_EQ(runs.level, DISPATCH_LEVEL);
    EXPECT_EQ(runs.argument, &first);
    EXPECT_EQ(runs.thread, std::this_thread::get_id()); // in Manual mode, never the DPC thread
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    EXPECT_EQ(kemu::RunQueuedDpcs(), 0u);
    EXPECT_EQ(runs.count, 1);
}

// Queued in Manual mode, then the thread's: the DPC thread runs them (RunQueuedDpcs would wait for ever).
TEST_F(Dpc, ASwitchOfModeTakesEffectWithDpcsWaiting)
{
    kemu::SetDpcMode(kemu::DpcMode::Manual);
    KeInitializeDpc(&dpc, Record, &runs);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    kemu::SetDpcMode(kemu::DpcMode::Thread);
    kemu::RunQueuedDpcs();
    EXPECT_EQ(runs.count, 1);
    EXPECT_EQ(runs.level, DISPATCH_LEVEL);
    EXPECT_NE(runs.thread, std::this_thread::get_id());
}

TEST_F(Dpc, UninitialisedOrReturningWithALockHeldIsReported)
{
    kemu::SetDpcMode(kemu::DpcMode::Manual);
    kemu::ScopedViolationRecording recording;
    KDPC raw{};
    EXPECT_FALSE(KeInsertQueueDpc(&raw, nullptr, nullptr));
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    runs.leaveHeld = &lock;
    KeInitializeDpc(&dpc, Record, &runs);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    kemu::RunQueuedDpcs();
    EXPECT_EQ(recording.TakeRules(),
              (std::vector<std::string>{kemu::rule::kDpcUninitialised, kemu::rule::kDpcHoldsSpinLock}));
    {
        kemu::ScopedIrql dispatch(DISPATCH_LEVEL);
        KeReleaseSpinLockFromDpcLevel(&lock);
    }
}

} // namespace
