// System threads: run at PASSIVE_LEVEL, end by PsTerminateSystemThread or by returning, and are
// waited on through the object their handle references.
#include "platform/emu/core_test_support.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Work {
    std::atomic<int> steps{0};
    KIRQL level = HIGH_LEVEL;
    bool terminate = false;
    bool leaveRaised = false;
    KEVENT go;
};

VOID NTAPI Body(PVOID context)
{
    Work &work = *static_cast<Work *>(context);
    work.level = KeGetCurrentIrql();
    KeWaitForSingleObject(&work.go, Executive, KernelMode, FALSE, nullptr);
    LARGE_INTEGER interval;
    interval.QuadPart = -10 * 10000; // 10 ms: one tick of the held clock
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    ++work.steps;
    if (work.leaveRaised) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
    if (work.terminate) {
        PsTerminateSystemThread(STATUS_SUCCESS);
        ++work.steps; // never reached
    }
}

class SystemThread : public CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        kemu::SetTickCount(0);
        KeInitializeEvent(&work.go, NotificationEvent, FALSE);
    }
    // Starts the body and takes a reference to its object; the handle is closed at once.
    PVOID Start()
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Body, &work),
                  STATUS_SUCCESS);
        PVOID object = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
                  STATUS_INVALID_HANDLE);
        return object;
    }
    // Until the body's delay has set its timer: the clock may move only then.
    static void InItsDelay()
    {
        while (kemu::SetTimerCount() == 0) std::this_thread::yield();
    }
    Work work;
};

TEST_F(SystemThread, RunsAtPassiveDelaysOnTheHeldClockAndEndsByTerminateOrReturnAsItsWaitSees)
{
    for (bool terminate : {true, false}) {
        work.steps = 0;
        work.terminate = terminate;
        KeClearEvent(&work.go);
        PVOID thread = Start();
        LARGE_INTEGER poll;
        poll.QuadPart = 0;
        KeSetEvent(&work.go, IO_NO_INCREMENT, FALSE);
        InItsDelay();
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
        EXPECT_EQ(work.steps, 0); // still in its delay: the clock has not moved
        kemu::AdvanceTicks(1);
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
        EXPECT_EQ(work.steps, 1);
        EXPECT_EQ(work.level, PASSIVE_LEVEL);
        ObDereferenceObject(thread);
    }
}

// A wait that sees the thread's end is the proof a driver's unload relies on: from then on the thread
// runs none of its image's code, and the unload's check must not find it still running.
VOID NTAPI Quick(PVOID) {}

TEST_F(SystemThread, OnceItsWaitSeesItsEndTheThreadIsNoLongerRunning)
{
    const auto any = [](const void *) { return true; };
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    for (int i = 0; i < 300; ++i) {
        HANDLE handle = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Quick, nullptr),
                  STATUS_SUCCESS);
        PVOID thread = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
                  STATUS_SUCCESS);
        ZwClose(handle);
        while (KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll) == STATUS_TIMEOUT) {
        }
        ASSERT_EQ(kemu::RunningThreadsOf(any), std::vector<std::string>{}) << "after " << i << " threads";
        ObDereferenceObject(thread);
    }
}

TEST_F(SystemThread, AThreadEndingRaisedAndATerminateOutsideOneAreReported)
{
    kemu::ScopedViolationRecording recording;
    work.leaveRaised = true;
    KeSetEvent(&work.go, IO_NO_INCREMENT, FALSE);
    PVOID thread = Start();
    InItsDelay();
    kemu::AdvanceTicks(1);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
    ExpectViolations(recording, {{kemu::rule::kThreadNotPassive, "ended at IRQL 2"},
                                 {kemu::rule::kTerminateOutsideThread, "PsTerminateSystemThread(0x0)"}});
}

} // namespace
