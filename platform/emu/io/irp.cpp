// Requests: IRPs with their stack locations, delivery to drivers, the completion walk, and the
// checks a verifier makes on them. Every live request is in one table; a pointer that is not in it
// is never dereferenced by these routines.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "emu/kemu/ldr.h"

#include "emu/io/internal.h"
#include "emu/kemu/core.h"

struct kemu::TestRequest::State {
    std::mutex lock;
    std::condition_variable done;
    bool completed = false;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool passedPending = false; // the walk found the mark at the location; under StateLock
};

namespace kemu::io {
namespace {

// One call of a dispatch routine with a request, from delivery until the routine returns; kept
// longer when its check has to wait for the completion walk (see RunDispatch).
struct Frame {
    CHAR location = 0;
    bool marked = false;       // the location carried SL_PENDING_RETURNED during the call
    bool passed = false;       // the completion walk went past the location
    bool childPending = false; // a call made from this one returned STATUS_PENDING
    bool returned = false;     // the routine has returned; the frame waits for the walk
    std::shared_ptr<Frame> parent;
    std::string who;
};

struct IrpRecord {
    uint64_t id = 0;
    IrpKind kind = IrpKind::Built;
    PVOID output = nullptr;
    ULONG outputLength = 0;
    bool bufferedOutput = false;
    bool ownsSystemBuffer = false;
    std::vector<std::shared_ptr<Frame>> frames;
    std::shared_ptr<TestRequest::State> test;
    PDRIVER_OBJECT sender = nullptr; // the driver whose code built it
};

std::unordered_map<PIRP, std::unique_ptr<IrpRecord>> g_live;
// Addresses of requests finished lately, to tell a second completion from a stray pointer.
std::unordered_set<const void *> g_finished;
std::deque<const void *> g_finishedOrder;
constexpr size_t kFinishedRemembered = 4096;
uint64_t g_nextId = 1;

// What an invalid location query gets, so that a test in Record mode can go on.
thread_local IO_STACK_LOCATION t_scratch;

// How long the platform waits for a request of its own before it calls the request lost.
constexpr LONGLONG kPlatformWait100ns = 30LL * 10 * 1000 * 1000;

PIO_STACK_LOCATION Stack(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

PIO_STACK_LOCATION Scratch()
{
    t_scratch = IO_STACK_LOCATION{};
    return &t_scratch;
}

void RememberFinished(PIRP irp)
{
    if (g_finished.insert(irp).second) {
        g_finishedOrder.push_back(irp);
        if (g_finishedOrder.size() > kFinishedRemembered) {
            g_finished.erase(g_finishedOrder.front());
            g_finishedOrder.pop_front();
        }
    }
}

IrpRecord *FindLive(PIRP irp)
{
    auto it = g_live.find(irp);
    return it == g_live.end() ? nullptr : it->second.get();
}

// The record of a live request, or a report of what the pointer is instead.
IrpRecord *LiveOrReport(PIRP irp, const char *routine, bool completing = false)
{
    if (IrpRecord *record = FindLive(irp)) {
        return record;
    }
    if (irp != nullptr && g_finished.count(irp) != 0) {
        ReportViolation(completing ? rule::kIrpCompletedTwice : rule::kIrpTouchedAfterCompletion,
                        "request " + Hex(irp) + " in " + routine);
    } else {
        ReportViolation(rule::kIrpUnknown, std::string(routine) + " with " + Hex(irp));
    }
    return nullptr;
}

bool LocationExists(PIRP irp, int location) { return location >= 1 && location <= irp->StackCount; }

bool CheckLocation(PIRP irp, int location, const char *routine, const char *which)
{
    if (LocationExists(irp, location)) {
        return true;
    }
    ReportViolation(rule::kIrpNoStackLocation, std::string(routine) + ": request " + Hex(irp) + " has no " +
                                                   which + " location (at " + std::to_string(irp->CurrentLocation) +
                                                   " of " + std::to_string(irp->StackCount) + ")");
    return false;
}

void MarkPendingLocked(PIRP irp, IrpRecord *record)
{
    irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
    for (auto &frame : record->frames) {
        if (frame->location == irp->CurrentLocation) {
            frame->marked = true;
        }
    }
}

std::shared_ptr<Frame> PushFrame(IrpRecord *record, CHAR location, std::string who)
{
    auto frame = std::make_shared<Frame>();
    frame->location = location;
    frame->who = std::move(who);
    // The innermost call still running with this request is the one that made this call.
    for (auto it = record->frames.rbegin(); it != record->frames.rend(); ++it) {
        if (!(*it)->returned) {
            frame->parent = *it;
            break;
        }
    }
    record->frames.push_back(frame);
    return frame;
}

void EraseFrame(IrpRecord *record, const std::shared_ptr<Frame> &frame)
{
    for (auto it = record->frames.begin(); it != record->frames.end(); ++it) {
        if (*it == frame) {
            record->frames.erase(it);
            return;
        }
    }
}

IrpRecord *SameRecord(PIRP irp, uint64_t id)
{
    IrpRecord *record = FindLive(irp);
    return record != nullptr && record->id == id ? record : nullptr;
}

void CheckIrqlKept(KIRQL before, const std::string &who)
{
    const KIRQL after = KeGetCurrentIrql();
    if (after != before) {
        ReportViolation(rule::kIrqlNotRestored, who + " entered at IRQL " + std::to_string(before) +
                                                    " and returned at " + std::to_string(after));
    }
}

// Calls the routine and checks the pending mark against its return. A routine that passes the
// request down and returns the lower driver's STATUS_PENDING may leave the mark to its completion
// routine, which runs later: its check then waits until the walk reaches its location.
NTSTATUS RunDispatch(PDRIVER_DISPATCH routine, PDEVICE_OBJECT device, PIRP irp, const std::shared_ptr<Frame> &frame,
                     uint64_t id)
{
    const KIRQL before = KeGetCurrentIrql();
    const NTSTATUS status = routine != nullptr ? routine(device, irp) : DefaultRefusal(device, irp);
    CheckIrqlKept(before, frame->who);

    std::lock_guard<std::mutex> lock(StateLock());
    // The request may be gone by now (completed and freed): only the frame is read.
    IrpRecord *record = SameRecord(irp, id);
    frame->returned = true;
    bool keep = false;
    // Code built against the kernel's headers marks a request inline, setting only the bit.
    if (status == STATUS_PENDING && !frame->marked && record != nullptr && !frame->passed &&
        LocationExists(irp, frame->location) && (Stack(irp)[frame->location - 1].Control & SL_PENDING_RETURNED)) {
        frame->marked = true;
    }
    if (status == STATUS_PENDING) {
        if (!frame->marked) {
            if (frame->childPending && !frame->passed && record != nullptr) {
                keep = true;
            } else {
                ReportViolation(rule::kIrpPendingNotMarked, "request " + Hex(irp) + " from " + frame->who);
            }
        }
        if (frame->parent) {
            frame->parent->childPending = true;
        }
    } else if (frame->marked) {
        ReportViolation(rule::kIrpMarkedNotPending, "request " + Hex(irp) + " from " + frame->who +
                                                        " returned " + HexStatus(status));
    }
    if (record != nullptr && !keep) {
        EraseFrame(record, frame);
    }
    return status;
}

// One step of the completion walk, taken under the lock that IoMarkIrpPending and the other
// routines take: the request moves up one location, whose completion routine is taken out and
// cleared, and the calls made at that location learn whether it carried the pending mark.
struct Step {
    bool done = false; // past the top: the walk is over
    bool pending = false;
    PIO_COMPLETION_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    UCHAR control = 0;
    PDEVICE_OBJECT device = nullptr; // for the routine: the device one location up, none for the sender
};

Step StepUp(PIRP irp)
{
    std::lock_guard<std::mutex> lock(StateLock());
    Step step;
    if (irp->CurrentLocation > irp->StackCount) {
        step.done = true;
        return step;
    }
    PIO_STACK_LOCATION location = irp->Tail.Overlay.CurrentStackLocation;
    const CHAR index = irp->CurrentLocation;
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    step.pending = (location->Control & SL_PENDING_RETURNED) != 0;
    step.routine = location->CompletionRoutine;
    step.context = location->Context;
    step.control = location->Control;
    location->Control = 0;
    location->CompletionRoutine = nullptr;
    location->Context = nullptr;
    irp->PendingReturned = step.pending ? TRUE : FALSE;
    step.device = irp->CurrentLocation > irp->StackCount ? nullptr
                                                         : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    if (IrpRecord *record = FindLive(irp)) {
        if (record->test) {
            record->test->passedPending = step.pending;
        }
        for (auto it = record->frames.begin(); it != record->frames.end();) {
            Frame &frame = **it;
            if (frame.location != index) {
                ++it;
                continue;
            }
            frame.marked = frame.marked || step.pending;
            frame.passed = true;
            if (frame.returned) {
                if (!frame.marked) {
                    ReportViolation(rule::kIrpPendingNotMarked,
                                    "request " + Hex(irp) + " from " + frame.who + " (seen at its completion)");
                }
                it = record->frames.erase(it);
            } else {
                ++it;
            }
        }
    }
    return step;
}

// The end of a completion that no routine stopped: the sender's side of the request.
void Finish(PIRP irp)
{
    std::unique_ptr<IrpRecord> record;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        auto it = g_live.find(irp);
        if (it == g_live.end()) {
            return; // reported by whoever ended it early
        }
        record = std::move(it->second);
        g_live.erase(it);
        RememberFinished(irp);
    }
    switch (record->kind) {
    case IrpKind::Built: {
        const NTSTATUS status = irp->IoStatus.Status;
        ULONG_PTR length = irp->IoStatus.Information;
        if (record->bufferedOutput && !NT_ERROR(status) && record->output != nullptr && length > 0 &&
            irp->AssociatedIrp.SystemBuffer != nullptr) {
            if (length > record->outputLength) {
                ReportViolation(rule::kOutputTooLarge, "request " + Hex(irp) + ": information " +
                                                           std::to_string(length) + ", output buffer " +
                                                           std::to_string(record->outputLength));
                length = record->outputLength;
            }
            std::memcpy(record->output, irp->AssociatedIrp.SystemBuffer, length);
        }
        if (irp->UserIosb != nullptr) {
            irp->UserIosb->Status = status;
            irp->UserIosb->Information = irp->IoStatus.Information;
        }
        if (record->ownsSystemBuffer && irp->AssociatedIrp.SystemBuffer != nullptr) {
            ExFreePool(irp->AssociatedIrp.SystemBuffer);
        }
        if (irp->MdlAddress != nullptr) {
            ExFreePool(irp->MdlAddress);
        }
        PKEVENT event = irp->UserEvent;
        std::free(irp);
        if (event != nullptr) {
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        }
        break;
    }
    case IrpKind::Allocated:
        ReportViolation(rule::kAllocatedIrpRanOut,
                        "request " + Hex(irp) + ": no completion routine took it back; freed");
        std::free(irp);
        break;
    case IrpKind::Test: {
        std::lock_guard<std::mutex> lock(record->test->lock);
        record->test->completed = true;
        record->test->status = irp->IoStatus.Status;
        record->test->information = irp->IoStatus.Information;
        record->test->done.notify_all();
        break;
    }
    }
}

void CompleteWalk(PIRP irp, uint64_t id)
{
    for (Step step = StepUp(irp); !step.done; step = StepUp(irp)) {
        const NTSTATUS status = irp->IoStatus.Status;
        const bool invoke = step.routine != nullptr &&
                            ((NT_SUCCESS(status) && (step.control & SL_INVOKE_ON_SUCCESS)) ||
                             (!NT_SUCCESS(status) && (step.control & SL_INVOKE_ON_ERROR)) ||
                             (irp->Cancel && (step.control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            const KIRQL before = KeGetCurrentIrql();
            const NTSTATUS result = step.routine(step.device, irp, step.context);
            CheckIrqlKept(before, "completion routine " + Hex(reinterpret_cast<void *>(step.routine)));
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                return; // the request belongs to the routine's owner again: hands off
            }
            std::lock_guard<std::mutex> lock(StateLock());
            if (SameRecord(irp, id) == nullptr) {
                ReportViolation(rule::kIrpCompletedTwice,
                                "request " + Hex(irp) + " ended inside completion routine " +
                                    Hex(reinterpret_cast<void *>(step.routine)) +
                                    ", which did not return STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
        } else if (step.pending) {
            // Without a routine to do it, the pending mark travels up by itself.
            std::lock_guard<std::mutex> lock(StateLock());
            IrpRecord *record = FindLive(irp);
            if (record != nullptr && irp->CurrentLocation <= irp->StackCount) {
                MarkPendingLocked(irp, record);
            }
        }
    }
    Finish(irp);
}

} // namespace

PIRP NewIrp(CCHAR stackSize, IrpKind kind, const void *caller)
{
    // CurrentLocation must hold StackCount + 1 in a CHAR.
    if (stackSize < 1 || stackSize > 100) {
        std::fprintf(stderr, "kemu: a request cannot have %d stack locations\n", int(stackSize));
        return nullptr;
    }
    const size_t size = IoSizeOfIrp(stackSize);
    auto irp = static_cast<PIRP>(std::calloc(1, size));
    if (irp == nullptr) {
        return nullptr;
    }
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = Stack(irp) + stackSize;
    irp->RequestorMode = KernelMode;

    auto record = std::make_unique<IrpRecord>();
    record->kind = kind;
    record->sender = CallingDriver() != nullptr ? CallingDriver() : DriverOfCode(caller);
    std::lock_guard<std::mutex> lock(StateLock());
    record->id = g_nextId++;
    irp->EmuState = record.get();
    g_finished.erase(irp);
    g_live[irp] = std::move(record);
    return irp;
}

std::vector<std::string> LiveRequestsSentBy(PDRIVER_OBJECT driver)
{
    std::vector<std::string> found;
    for (const auto &entry : g_live) {
        if (entry.second->sender == driver) {
            found.push_back("request " + Hex(entry.first) + " (control code " +
                            HexStatus(static_cast<NTSTATUS>(Stack(entry.first)->Parameters.DeviceIoControl.IoControlCode)) +
                            ")");
        }
    }
    return found;
}

std::vector<std::string> DetachRequestsFromImage(const std::function<bool(const void *)> &inImage)
{
    std::vector<std::string> detached;
    std::lock_guard<std::mutex> lock(StateLock());
    for (const auto &entry : g_live) {
        PIRP irp = entry.first;
        bool found = inImage(irp->UserEvent) || inImage(irp->UserIosb);
        for (int i = 0; i < irp->StackCount; ++i) {
            found |= inImage(reinterpret_cast<const void *>(Stack(irp)[i].CompletionRoutine));
        }
        if (!found) {
            continue;
        }
        // Its completion must then neither call nor write into the unmapped image.
        for (int i = 0; i < irp->StackCount; ++i) {
            if (inImage(reinterpret_cast<const void *>(Stack(irp)[i].CompletionRoutine))) {
                Stack(irp)[i].CompletionRoutine = nullptr;
                Stack(irp)[i].Control = 0;
            }
        }
        if (inImage(irp->UserEvent)) {
            irp->UserEvent = nullptr;
        }
        if (inImage(irp->UserIosb)) {
            irp->UserIosb = nullptr;
        }
        detached.push_back("request " + Hex(irp) + " (control code " +
                           HexStatus(static_cast<NTSTATUS>(Stack(irp)->Parameters.DeviceIoControl.IoControlCode)) + ")");
    }
    return detached;
}

void SetBufferedOutput(PIRP irp, PVOID output, ULONG length, bool ownsSystemBuffer)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (IrpRecord *record = FindLive(irp)) {
        record->output = output;
        record->outputLength = length;
        record->bufferedOutput = output != nullptr;
        record->ownsSystemBuffer = ownsSystemBuffer;
    }
}

NTSTATUS CallDispatch(PDRIVER_DISPATCH routine, PDEVICE_OBJECT device, PIRP irp, const std::string &who)
{
    std::shared_ptr<Frame> frame;
    uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        IrpRecord *record = LiveOrReport(irp, who.c_str());
        if (record == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if (!CheckLocation(irp, irp->CurrentLocation, who.c_str(), "current")) {
            return STATUS_INVALID_PARAMETER;
        }
        irp->Tail.Overlay.CurrentStackLocation->DeviceObject = device;
        frame = PushFrame(record, irp->CurrentLocation, who);
        id = record->id;
    }
    return RunDispatch(routine, device, irp, frame, id);
}

NTSTATUS NTAPI DefaultRefusal(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, PFILE_OBJECT file, NTSTATUS initialStatus,
                     const char *what)
{
    // On the heap: a request that never comes back may still write here later.
    struct Wait {
        KEVENT event;
        IO_STATUS_BLOCK iosb;
    };
    auto wait = std::make_unique<Wait>();
    KeInitializeEvent(&wait->event, NotificationEvent, FALSE);
    wait->iosb.Status = STATUS_PENDING;
    wait->iosb.Information = 0;

    PIRP irp = NewIrp(target->StackSize, IrpKind::Built);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->UserEvent = &wait->event;
    irp->UserIosb = &wait->iosb;
    irp->IoStatus.Status = initialStatus;
    PIO_STACK_LOCATION next = Stack(irp) + (irp->StackCount - 1);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->FileObject = file;

    const NTSTATUS returned = IofCallDriver(target, irp);
    if (returned != STATUS_PENDING) {
        if (KeReadStateEvent(&wait->event) == 0) {
            std::lock_guard<std::mutex> lock(StateLock());
            ReportViolation(rule::kRequestNotCompleted, std::string(what) + " to " + DescribeDevice(target) +
                                                            " returned " + HexStatus(returned));
            wait.release(); // the request is still out there
            return returned;
        }
        return wait->iosb.Status;
    }
    LARGE_INTEGER limit;
    limit.QuadPart = -kPlatformWait100ns;
    if (KeWaitForSingleObject(&wait->event, Executive, KernelMode, FALSE, &limit) != STATUS_SUCCESS) {
        {
            std::lock_guard<std::mutex> lock(StateLock());
            ReportViolation(rule::kRequestNeverCompleted,
                            std::string(what) + " to " + DescribeDevice(target) + " still pending after 30 s");
        }
        wait.release();
        return STATUS_TIMEOUT;
    }
    return wait->iosb.Status;
}

size_t ResetRequests()
{
    std::vector<std::pair<PIRP, std::unique_ptr<IrpRecord>>> left;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        for (auto it = g_live.begin(); it != g_live.end();) {
            if (it->second->kind == IrpKind::Test) {
                ++it; // its TestRequest object frees it
                continue;
            }
            ReportViolation(rule::kLeftoverAtReset, "request " + Hex(it->first) + " never finished");
            RememberFinished(it->first);
            left.emplace_back(it->first, std::move(it->second));
            it = g_live.erase(it);
        }
    }
    for (auto &[irp, record] : left) {
        if (record->ownsSystemBuffer && irp->AssociatedIrp.SystemBuffer != nullptr) {
            ExFreePool(irp->AssociatedIrp.SystemBuffer);
        }
        if (record->kind == IrpKind::Built && irp->MdlAddress != nullptr) {
            ExFreePool(irp->MdlAddress);
        }
        std::free(irp);
    }
    return left.size();
}

} // namespace kemu::io

using namespace kemu::io;
using kemu::ReportViolation;
namespace rule = kemu::rule;

extern "C" {

PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (LiveOrReport(Irp, "IoGetCurrentIrpStackLocation") == nullptr ||
        !CheckLocation(Irp, Irp->CurrentLocation, "IoGetCurrentIrpStackLocation", "current")) {
        return Scratch();
    }
    return Irp->Tail.Overlay.CurrentStackLocation;
}

PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (LiveOrReport(Irp, "IoGetNextIrpStackLocation") == nullptr ||
        !CheckLocation(Irp, Irp->CurrentLocation - 1, "IoGetNextIrpStackLocation", "next")) {
        return Scratch();
    }
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

VOID IoSetNextIrpStackLocation(PIRP Irp)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (LiveOrReport(Irp, "IoSetNextIrpStackLocation") != nullptr &&
        CheckLocation(Irp, Irp->CurrentLocation - 1, "IoSetNextIrpStackLocation", "next")) {
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
    }
}

VOID IoMarkIrpPending(PIRP Irp)
{
    std::lock_guard<std::mutex> lock(StateLock());
    IrpRecord *record = LiveOrReport(Irp, "IoMarkIrpPending");
    if (record != nullptr && CheckLocation(Irp, Irp->CurrentLocation, "IoMarkIrpPending", "current")) {
        MarkPendingLocked(Irp, record);
    }
}

VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (LiveOrReport(Irp, "IoCopyCurrentIrpStackLocationToNext") == nullptr ||
        !CheckLocation(Irp, Irp->CurrentLocation, "IoCopyCurrentIrpStackLocationToNext", "current") ||
        !CheckLocation(Irp, Irp->CurrentLocation - 1, "IoCopyCurrentIrpStackLocationToNext", "next")) {
        return;
    }
    PIO_STACK_LOCATION current = Irp->Tail.Overlay.CurrentStackLocation;
    PIO_STACK_LOCATION next = current - 1;
    std::memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}

VOID IoSkipCurrentIrpStackLocation(PIRP Irp)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (LiveOrReport(Irp, "IoSkipCurrentIrpStackLocation") != nullptr &&
        CheckLocation(Irp, Irp->CurrentLocation, "IoSkipCurrentIrpStackLocation", "current")) {
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
    }
}

VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (LiveOrReport(Irp, "IoSetCompletionRoutine") == nullptr ||
        !CheckLocation(Irp, Irp->CurrentLocation - 1, "IoSetCompletionRoutine", "next")) {
        return;
    }
    PIO_STACK_LOCATION next = Irp->Tail.Overlay.CurrentStackLocation - 1;
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = static_cast<UCHAR>((InvokeOnSuccess ? SL_INVOKE_ON_SUCCESS : 0) |
                                       (InvokeOnError ? SL_INVOKE_ON_ERROR : 0) |
                                       (InvokeOnCancel ? SL_INVOKE_ON_CANCEL : 0));
}

namespace {
std::mutex g_observerLock;
std::function<void(const kemu::RequestEvent &)> g_observer;

void Observe(const kemu::RequestEvent &event)
{
    std::function<void(const kemu::RequestEvent &)> observer;
    {
        std::lock_guard<std::mutex> lock(g_observerLock);
        observer = g_observer;
    }
    if (observer) {
        observer(event);
    }
}
} // namespace

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const KIRQL irql = KeGetCurrentIrql();
    PDRIVER_DISPATCH routine = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    std::shared_ptr<Frame> frame;
    uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        IrpRecord *record = LiveOrReport(Irp, "IofCallDriver");
        if (record == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if (DeviceObject == nullptr || !DeviceIsLive(DeviceObject)) {
            ReportViolation(rule::kUnknownDevice,
                            "IofCallDriver with request " + Hex(Irp) + " to device " + Hex(DeviceObject));
            return STATUS_NO_SUCH_DEVICE;
        }
        if (irql > DISPATCH_LEVEL) {
            ReportViolation(rule::kDriverCalledAboveDispatch, "IofCallDriver with request " + Hex(Irp) +
                                                                  " at IRQL " + std::to_string(irql));
        }
        if (!CheckLocation(Irp, Irp->CurrentLocation - 1, "IofCallDriver", "next")) {
            return STATUS_INVALID_PARAMETER;
        }
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
        PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
        location->DeviceObject = DeviceObject;
        const UCHAR major = location->MajorFunction;
        driver = DeviceObject->DriverObject;
        if (major <= IRP_MJ_MAXIMUM_FUNCTION && driver != nullptr) {
            routine = driver->MajorFunction[major];
        }
        char majorText[8];
        std::snprintf(majorText, sizeof majorText, "0x%02x", major);
        frame = PushFrame(record, Irp->CurrentLocation,
                          "dispatch routine " + Hex(reinterpret_cast<void *>(routine)) + " of " +
                              DescribeDriver(driver) + " for major function " + majorText);
        id = record->id;
    }
    Observe({kemu::RequestEvent::Sent, DeviceObject, Irp, STATUS_PENDING});
    // From here the device may be deleted by its own driver (a removal): it is not read again.
    EnterDispatch(driver);
    const NTSTATUS status = RunDispatch(routine, DeviceObject, Irp, frame, id);
    LeaveDispatch(driver);
    Observe({kemu::RequestEvent::Returned, DeviceObject, Irp, status});
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    const KIRQL irql = KeGetCurrentIrql();
    uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        IrpRecord *record = LiveOrReport(Irp, "IofCompleteRequest", true);
        if (record == nullptr) {
            return;
        }
        id = record->id;
        if (irql > DISPATCH_LEVEL) {
            ReportViolation(rule::kIrpCompletedAboveDispatch,
                            "request " + Hex(Irp) + " at IRQL " + std::to_string(irql));
        }
        if (Irp->IoStatus.Status == STATUS_PENDING) {
            ReportViolation(rule::kIrpCompletedWithPending, "request " + Hex(Irp) + " in IofCompleteRequest");
        }
    }
    Observe({kemu::RequestEvent::Completed, nullptr, Irp, Irp->IoStatus.Status});
    CompleteWalk(Irp, id);
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    return NewIrp(StackSize, IrpKind::Allocated, __builtin_return_address(0));
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    std::unique_ptr<IrpRecord> record;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        if (LiveOrReport(Irp, "IoFreeIrp") == nullptr) {
            return;
        }
        auto it = g_live.find(Irp);
        if (it->second->kind == IrpKind::Test) {
            ReportViolation(rule::kUnknownObject, "IoFreeIrp on test request " + Hex(Irp) + "; its object frees it");
            return;
        }
        record = std::move(it->second);
        g_live.erase(it);
        RememberFinished(Irp);
    }
    if (record->ownsSystemBuffer && Irp->AssociatedIrp.SystemBuffer != nullptr) {
        ExFreePool(Irp->AssociatedIrp.SystemBuffer);
    }
    std::free(Irp);
}

} // extern "C"

namespace kemu {

PDRIVER_DISPATCH DefaultDispatch() { return &io::DefaultRefusal; }

size_t LiveRequestCount()
{
    std::lock_guard<std::mutex> lock(io::StateLock());
    size_t count = 0;
    for (const auto &entry : io::g_live) {
        count += entry.second->kind != io::IrpKind::Test ? 1 : 0;
    }
    return count;
}

// ---- TestRequest ----

TestRequest::TestRequest(ULONG ioControlCode, void *systemBuffer, ULONG inputLength, ULONG outputLength)
{
    Build(IRP_MJ_DEVICE_CONTROL, 0, ioControlCode, systemBuffer, inputLength, outputLength);
}

TestRequest::TestRequest(Major function) { Build(function.major, function.minor, 0, nullptr, 0, 0); }

void TestRequest::Build(UCHAR major, UCHAR minor, ULONG ioControlCode, void *systemBuffer, ULONG inputLength,
                        ULONG outputLength)
{
    m_state = std::make_shared<State>();
    m_irp = io::NewIrp(1, io::IrpKind::Test);
    if (m_irp == nullptr) {
        throw std::bad_alloc();
    }
    std::lock_guard<std::mutex> lock(io::StateLock());
    io::FindLive(m_irp)->test = m_state;
    // As if IofCallDriver had just delivered it: at its only location.
    m_irp->CurrentLocation = 1;
    m_irp->Tail.Overlay.CurrentStackLocation = io::Stack(m_irp);
    PIO_STACK_LOCATION location = io::Stack(m_irp);
    location->MajorFunction = major;
    location->MinorFunction = minor;
    if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        location->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
        location->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        location->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    }
    m_irp->AssociatedIrp.SystemBuffer = systemBuffer;
}

TestRequest::~TestRequest()
{
    bool heldPending = false;
    {
        std::lock_guard<std::mutex> lock(io::StateLock());
        auto it = io::g_live.find(m_irp);
        if (it != io::g_live.end() && it->second->test == m_state) {
            heldPending = (io::Stack(m_irp)->Control & SL_PENDING_RETURNED) != 0;
            io::g_live.erase(it);
        }
        io::RememberFinished(m_irp);
    }
    if (heldPending) {
        ReportViolation(rule::kTestRequestHeldPending, "request " + io::Hex(m_irp));
    }
    std::free(m_irp);
}

void TestRequest::SetDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(io::StateLock());
    if (io::LiveOrReport(m_irp, "TestRequest::SetDevice") != nullptr) {
        io::Stack(m_irp)->DeviceObject = device;
    }
}

NTSTATUS TestRequest::Dispatch(PDRIVER_DISPATCH routine, PDEVICE_OBJECT device)
{
    return io::CallDispatch(routine, device, m_irp,
                            "dispatch routine " + io::Hex(reinterpret_cast<void *>(routine)) + " (test request)");
}

bool TestRequest::Completed() const
{
    std::lock_guard<std::mutex> lock(m_state->lock);
    return m_state->completed;
}

NTSTATUS TestRequest::Status() const
{
    std::lock_guard<std::mutex> lock(m_state->lock);
    return m_state->completed ? m_state->status : m_irp->IoStatus.Status;
}

ULONG_PTR TestRequest::Information() const
{
    std::lock_guard<std::mutex> lock(m_state->lock);
    return m_state->completed ? m_state->information : m_irp->IoStatus.Information;
}

bool TestRequest::MarkedPending() const
{
    // The walk clears the location and keeps what it found under the same lock.
    std::lock_guard<std::mutex> lock(io::StateLock());
    return (io::Stack(m_irp)->Control & SL_PENDING_RETURNED) != 0 || m_state->passedPending;
}

bool TestRequest::WaitForCompletion(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_state->lock);
    return m_state->done.wait_for(lock, timeout, [this] { return m_state->completed; });
}

void SetRequestObserver(std::function<void(const RequestEvent &)> observer)
{
    std::lock_guard<std::mutex> lock(g_observerLock);
    g_observer = std::move(observer);
}

} // namespace kemu
