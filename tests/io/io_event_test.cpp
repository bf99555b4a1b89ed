// Kernel events: both kinds, time-outs, a wake-up across threads, and the waits that are refused.
#include <cstring>
#include <thread>

#include "io/io_test_support.h"

namespace {

using iotest::IoTest;
using KernelEvent = IoTest;

LARGE_INTEGER Relative100ns(LONGLONG units)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -units;
    return timeout;
}

TEST_F(KernelEvent, NotificationStaysSetWhileSynchronizationIsTakenByOneWaitOrTimesOut)
{
    LARGE_INTEGER poll = Relative100ns(0);
    KEVENT notification;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    EXPECT_EQ(KeReadStateEvent(&notification), 0);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&notification, EVENT_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&notification, EVENT_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Suspended, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Suspended, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&notification), 1);
    EXPECT_EQ(KeResetEvent(&notification), 0);

    KEVENT synchronization;
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    KeSetEvent(&synchronization, EVENT_INCREMENT, FALSE);
    KeClearEvent(&synchronization);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);

    // Relative and absolute time-outs end a wait on an event nobody sets.
    LARGE_INTEGER relative = Relative100ns(20 * 1000 * 10); // 20 ms
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &relative), STATUS_TIMEOUT);
    LARGE_INTEGER absolute;
    absolute.QuadPart = 1; // long past
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);

    // A waiter wakes when another thread sets the event, which the wait takes.
    std::thread setter([&synchronization] { KeSetEvent(&synchronization, EVENT_INCREMENT, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Suspended, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    setter.join();
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
}

TEST_F(KernelEvent, WaitsThatWouldHangAMachineAreRefused)
{
    kemu::ScopedViolationRecording recording;
    KEVENT never;
    std::memset(&never, 0, sizeof never);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kEventUninitialised});

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    kemu::ScopedIrql dispatch(DISPATCH_LEVEL);
    LARGE_INTEGER poll = Relative100ns(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_TRUE(recording.TakeRules().empty()) << "a zero time-out is allowed at DISPATCH_LEVEL";
    // Without a time-out it would never return on a real processor; here it looks once.
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kWaitAtDispatch});
}

} // namespace
