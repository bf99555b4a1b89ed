// Requests: the completion walk through a device stack, the pending mark, the verifier's checks, the
// test requests that unit tests hand to driver code, and the kernel event waits that are refused.
#include <cstdio>
#include <thread>

#include "platform/emu/io/io_test_support.h"

namespace {

using iotest::Behavior;
using iotest::Complete;
using iotest::IoTest;
using CompletionWalk = IoTest;
using RequestChecks = IoTest;
using TestRequests = IoTest;
using KernelEvent = IoTest;

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

// How request checks write a request's address: all its digits.
std::string AddressText(const void *p)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llx", int(2 * sizeof(void *)), (unsigned long long)uintptr_t(p));
    return text;
}

struct Trace {
    std::vector<PDEVICE_OBJECT> devices;
    std::vector<bool> pendingReturned;
};

// Completion routines record who ran, with which device, and whether the mark had come up.
template <NTSTATUS Result>
NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *trace = static_cast<Trace *>(context);
    trace->devices.push_back(device);
    trace->pendingReturned.push_back(irp->PendingReturned != FALSE);
    return Result;
}

// A device-control request without buffers, built by the I/O manager.
PIRP Ioctl(PDEVICE_OBJECT device, IO_STATUS_BLOCK *iosb)
{
    return IoBuildDeviceIoControlRequest(kCode, device, nullptr, 0, nullptr, 0, FALSE, nullptr, iosb);
}

// A stack of `count` devices of one driver, bottom first.
struct Stack {
    PDRIVER_OBJECT driver = iotest::LoadRouteDriver();
    std::vector<Behavior> behaviors;
    std::vector<PDEVICE_OBJECT> devices;
    explicit Stack(size_t count) : behaviors(count)
    {
        for (size_t i = 0; i < count; ++i) {
            devices.push_back(iotest::MakeDevice(driver, &behaviors[i]));
            if (i > 0) {
                EXPECT_EQ(IoAttachDeviceToDeviceStack(devices[i], devices[0]), devices[i - 1]);
            }
        }
    }
    ~Stack()
    {
        for (size_t i = devices.size(); i-- > 1;) IoDetachDevice(devices[i - 1]);
        for (PDEVICE_OBJECT device : devices) IoDeleteDevice(device);
        kemu::UnloadDriver(driver);
    }
    PDEVICE_OBJECT Top() const { return devices.back(); }
};

TEST_F(CompletionWalk, RoutinesRunBottomUpAndMoreProcessingHandsTheRequestBack)
{
    Stack stack(3);
    Trace middleTrace, senderTrace, topTrace;
    stack.behaviors[0].handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, STATUS_SUCCESS, 7);
    };
    // The middle driver takes the request back, changes the result and completes it again.
    stack.behaviors[1].handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, &Record<STATUS_MORE_PROCESSING_REQUIRED>, &middleTrace, TRUE, TRUE, TRUE);
        EXPECT_EQ(IofCallDriver(stack.devices[0], irp), STATUS_SUCCESS);
        EXPECT_EQ(middleTrace.devices.size(), 1u) << "the routine ran inside the lower driver's completion";
        irp->IoStatus.Information = 9;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    // The top driver asks to be called on errors only: a success passes it by.
    stack.behaviors[2].handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, &Record<STATUS_SUCCESS>, &topTrace, FALSE, TRUE, FALSE);
        return IofCallDriver(stack.devices[1], irp);
    };
    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->CurrentLocation, 4) << "a fresh request stands above its first location";
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, &Record<STATUS_MORE_PROCESSING_REQUIRED>, &senderTrace, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_SUCCESS);
    EXPECT_EQ(middleTrace.devices, std::vector<PDEVICE_OBJECT>{stack.devices[1]});
    EXPECT_TRUE(topTrace.devices.empty());
    EXPECT_EQ(senderTrace.devices, std::vector<PDEVICE_OBJECT>{nullptr}) << "the sender's routine has no device";
    EXPECT_EQ(irp->IoStatus.Information, 9u);
    EXPECT_EQ(irp->CurrentLocation, 4);
    IoFreeIrp(irp);
}

TEST_F(RequestChecks, CompletionFaultsAreReportedWithTheRequestAddress)
{
    kemu::ScopedViolationRecording recording;
    {
        kemu::TestRequest request(kCode);
        PIRP irp = request.Irp();
        irp->IoStatus.Status = STATUS_PENDING;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        ExpectViolations(recording, {{kemu::rule::kIrpCompletedWithPending, AddressText(irp)},
                                     {kemu::rule::kIrpCompletedTwice, AddressText(irp)}});
    }
    // A built request is freed by its completion: a second one must be caught without touching it.
    Stack stack(1);
    stack.behaviors[0].handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(IofCallDriver(stack.Top(), Ioctl(stack.Top(), &iosb)), STATUS_SUCCESS);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kIrpCompletedTwice});
}

TEST_F(RequestChecks, PendingReturnedAndThePendingMarkMustAgree)
{
    kemu::ScopedViolationRecording recording;
    {
        kemu::TestRequest request(kCode);
        EXPECT_EQ(request.Dispatch([](PDEVICE_OBJECT, PIRP) NTAPI { return STATUS_PENDING; }), STATUS_PENDING);
        EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kIrpPendingNotMarked});
        request.Irp()->IoStatus.Status = STATUS_CANCELLED;
        IofCompleteRequest(request.Irp(), IO_NO_INCREMENT);
    }
    {
        kemu::TestRequest request(kCode);
        request.Dispatch([](PDEVICE_OBJECT, PIRP irp) NTAPI {
            IoMarkIrpPending(irp);
            return Complete(irp);
        });
        EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kIrpMarkedNotPending});
    }
    // Passing the lower driver's STATUS_PENDING up is allowed only if the mark follows it up: here the
    // completion routine forgets to, which shows when the request completes.
    Stack stack(2);
    Trace trace;
    PIRP held = nullptr;
    stack.behaviors[0].handlers[IRP_MJ_DEVICE_CONTROL] = [&held](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
    stack.behaviors[1].handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, &Record<STATUS_SUCCESS>, &trace, TRUE, TRUE, TRUE);
        return IofCallDriver(stack.devices[0], irp);
    };
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(IofCallDriver(stack.Top(), Ioctl(stack.Top(), &iosb)), STATUS_PENDING);
    EXPECT_TRUE(recording.TakeRules().empty()) << "not known yet when the dispatch routine returns";
    Complete(held);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kIrpPendingNotMarked});
    // Without a routine the walk itself carries the mark up to the sender's, from another thread.
    stack.behaviors[1].handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IofCallDriver(stack.devices[0], irp);
    };
    Trace sender;
    PIRP irp = Ioctl(stack.Top(), &iosb);
    IoSetCompletionRoutine(irp, &Record<STATUS_SUCCESS>, &sender, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_PENDING);
    std::thread([held] { Complete(held); }).join();
    EXPECT_EQ(sender.pendingReturned, std::vector<bool>{true});
    EXPECT_TRUE(recording.TakeRules().empty());
    // A lower driver that does not pass anything down has no excuse.
    stack.behaviors[0].handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP request) {
        held = request;
        return STATUS_PENDING;
    };
    EXPECT_EQ(IofCallDriver(stack.devices[0], Ioctl(stack.devices[0], &iosb)), STATUS_PENDING);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kIrpPendingNotMarked});
    IofCompleteRequest(held, IO_NO_INCREMENT);
}

TEST_F(RequestChecks, TouchingACompletedRequestIsReportedAndNeverDereferenced)
{
    kemu::ScopedViolationRecording recording;
    Stack stack(1);
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_NE(IoGetCurrentIrpStackLocation(irp), nullptr);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kIrpNoStackLocation})
        << "a request not yet sent has no current location";
    IoFreeIrp(irp);
    // Freed by its completion: every routine must see that from its table, not from the memory.
    IO_STATUS_BLOCK iosb{};
    irp = Ioctl(stack.Top(), &iosb);
    EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_SUCCESS);
    EXPECT_NE(IoGetCurrentIrpStackLocation(irp), nullptr);
    IoGetNextIrpStackLocation(irp);
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSkipCurrentIrpStackLocation(irp);
    IoSetCompletionRoutine(irp, &Record<STATUS_SUCCESS>, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>(7, kemu::rule::kIrpTouchedAfterCompletion));
}

TEST_F(TestRequests, OneDroppedWhileStillHeldPendingIsReported)
{
    // Completion from another thread while the sender waits: CompletionWalk proves it.
    kemu::ScopedViolationRecording recording;
    {
        kemu::TestRequest request(kemu::TestRequest::Major{IRP_MJ_PNP, IRP_MN_START_DEVICE});
        EXPECT_EQ(IoGetCurrentIrpStackLocation(request.Irp())->MinorFunction, IRP_MN_START_DEVICE);
        request.Dispatch([](PDEVICE_OBJECT, PIRP irp) NTAPI {
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        });
        EXPECT_FALSE(request.WaitForCompletion(std::chrono::milliseconds(10)));
    }
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kTestRequestHeldPending});
}

TEST_F(KernelEvent, WaitsThatWouldHangAMachineAreRefused)
{
    kemu::ScopedViolationRecording recording;
    KEVENT never{};
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kEventUninitialised});
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    kemu::ScopedIrql dispatch(DISPATCH_LEVEL);
    LARGE_INTEGER poll{}; // a zero time-out
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_TRUE(recording.TakeRules().empty()) << "a zero time-out is allowed at DISPATCH_LEVEL";
    // Without a time-out it would never return on a real processor: the run stops.
#if defined(__i386__)
    GTEST_FLAG_SET(death_test_style, "fast");
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
    EXPECT_EXIT(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), ::testing::ExitedWithCode(3),
                "\\*\\*\\* STOP: wait with a time-out at DISPATCH_LEVEL: KeWaitForSingleObject on 0x[0-9a-f]+ at IRQL 2");
}

} // namespace
