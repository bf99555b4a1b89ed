// Kernel events: the waits that are refused.
#include <cstring>

#include "platform/emu/io/io_test_support.h"

namespace {

using iotest::IoTest;
using KernelEvent = IoTest;

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
    LARGE_INTEGER poll{}; // a zero time-out
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_TRUE(recording.TakeRules().empty()) << "a zero time-out is allowed at DISPATCH_LEVEL";
    // Without a time-out it would never return on a real processor; here it looks once.
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kWaitAtDispatch});
}

} // namespace
