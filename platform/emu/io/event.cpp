// Kernel events: notification and synchronization events over one process-wide mutex and
// condition variable. SignalState is read and written under that mutex only; timers and system
// threads (ke/timer.cpp, ps/thread.cpp) begin with the same header and go through it too.
#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>

#include "emu/internal/core.h"
#include "emu/io/internal.h"
#include "emu/kemu/core.h"

namespace {

// Written by KeInitializeEvent: a wait on memory that never went through it is refused.
constexpr ULONG kEventMagic = 0x76456b4b; // "KkEv"

// 1970-01-01 in the kernel's system time: 100 ns units since 1601-01-01.
constexpr long long kEpochDifference100ns = 116444736000000000LL;

// Never destroyed: a system thread may still wait on them while the process exits.
std::mutex &g_eventLock = *new std::mutex;
std::condition_variable &g_eventChanged = *new std::condition_variable;

bool IsInitialised(const KEVENT *event) { return event->Magic == kEventMagic; }

// A satisfied wait takes these back to not signalled.
bool ClearedByWait(const KEVENT *object)
{
    return object->Type == SynchronizationEvent || object->Type == TimerSynchronizationObject;
}

std::string Describe(const KEVENT *object)
{
    switch (object->Type) {
    case SynchronizationEvent: return "synchronization event";
    case NotificationEvent: return "notification event";
    case TimerSynchronizationObject: return "synchronization timer";
    case TimerNotificationObject: return "notification timer";
    default: return "system thread";
    }
}

bool CheckEvent(PRKEVENT event, const char *routine)
{
    if (event == nullptr || !IsInitialised(event)) {
        kemu::ReportViolation(kemu::rule::kEventUninitialised,
                              std::string(routine) + " on event " + kemu::io::Hex(event));
        return false;
    }
    return true;
}

} // namespace

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    std::lock_guard<std::mutex> lock(g_eventLock);
    Event->Type = static_cast<UCHAR>(Type);
    Event->Reserved[0] = Event->Reserved[1] = Event->Reserved[2] = 0;
    Event->SignalState = State ? 1 : 0;
    Event->Magic = kEventMagic;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait; // the caller's promise to wait next changes nothing here
    kemu::io::CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(g_eventLock);
        if (!CheckEvent(Event, "KeSetEvent")) {
            return 0;
        }
        previous = Event->SignalState;
        Event->SignalState = 1;
    }
    // The event may be gone as soon as the lock is released (a waiter's stack); only the shared
    // condition variable is touched from here on.
    g_eventChanged.notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    kemu::io::CheckIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
    std::lock_guard<std::mutex> lock(g_eventLock);
    if (CheckEvent(Event, "KeClearEvent")) {
        Event->SignalState = 0;
    }
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    kemu::io::CheckIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard<std::mutex> lock(g_eventLock);
    if (!CheckEvent(Event, "KeResetEvent")) {
        return 0;
    }
    const LONG previous = Event->SignalState;
    Event->SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    kemu::io::CheckIrqlAtMost(DISPATCH_LEVEL, "KeReadStateEvent");
    std::lock_guard<std::mutex> lock(g_eventLock);
    return CheckEvent(Event, "KeReadStateEvent") ? Event->SignalState : 0;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    // No APCs are delivered here, so an alertable wait is an ordinary one.
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    using Clock = std::chrono::steady_clock;
    auto *event = static_cast<PRKEVENT>(Object);

    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !poll)) {
        // The dispatcher cannot switch away from this processor: a real machine bugchecks.
        kemu::StopViolation(kemu::rule::kWaitAtDispatch,
                            "KeWaitForSingleObject on " + kemu::io::Hex(event) + " at IRQL " + std::to_string(irql));
    }

    // How long to wait, in 100 ns units; anything beyond a year is as good as for ever.
    constexpr LONGLONG kForever = 365LL * 24 * 3600 * 10 * 1000 * 1000;
    LONGLONG remaining = kForever;
    if (Timeout != nullptr && Timeout->QuadPart < 0) {
        remaining = Timeout->QuadPart == LLONG_MIN ? kForever : -Timeout->QuadPart;
    } else if (Timeout != nullptr && Timeout->QuadPart > 0) {
        // An absolute system time, against the host's wall clock.
        const LONGLONG now = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                     .count() * 10 + kEpochDifference100ns;
        remaining = Timeout->QuadPart > now ? Timeout->QuadPart - now : 0;
    }
    if (poll) {
        remaining = 0;
    }
    // An unload that waits for ever would hang the system's unloading: bounded, and a stop after.
    PDRIVER_OBJECT unloading = remaining >= kForever ? kemu::io::UnloadingDriver() : nullptr;
    if (unloading != nullptr) {
        remaining = std::chrono::duration_cast<std::chrono::microseconds>(kemu::io::UnloadWaitLimit()).count() * 10;
    }
    // Any other wait longer than the watchdog's limit: bounded, and a stop naming it after.
    const LONGLONG watchdog = std::chrono::duration_cast<std::chrono::microseconds>(kemu::WaitWatchdog()).count() * 10;
    const bool watched = unloading == nullptr && watchdog > 0 && remaining > watchdog;
    if (watched) {
        remaining = watchdog;
    }
    const bool bounded = remaining < kForever;
    const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(std::min(remaining, kForever) / 10);

    std::unique_lock<std::mutex> lock(g_eventLock);
    if (!CheckEvent(event, "KeWaitForSingleObject")) {
        return STATUS_INVALID_PARAMETER;
    }
    for (;;) {
        if (event->SignalState != 0) {
            if (ClearedByWait(event)) {
                event->SignalState = 0;
            }
            return STATUS_SUCCESS;
        }
        if (remaining == 0 || (bounded && Clock::now() >= deadline)) {
            if (unloading != nullptr) {
                lock.unlock();
                std::string who;
                {
                    std::lock_guard<std::mutex> state(kemu::io::StateLock());
                    who = kemu::io::DescribeDriver(unloading);
                }
                const std::string code = kemu::CurrentCodeName();
                kemu::Stop("unload of " + who + " made no progress: its " + kemu::io::UnloadingStep() + " waited " +
                           std::to_string(kemu::io::UnloadWaitLimit().count()) + " ms for " +
                           (event->Type <= SynchronizationEvent ? "event" : Describe(event)) + " " +
                           kemu::io::Hex(event) + ", which nothing set" + (code.empty() ? "" : " [in " + code + "]"));
            }
            if (watched) {
                lock.unlock();
                kemu::FaultText caller;
                kemu::DescribeCode(reinterpret_cast<uintptr_t>(__builtin_return_address(0)), caller);
                const std::string code = kemu::CurrentCodeName();
                kemu::Stop("wait made no progress: " + std::string(caller.Text()) + " waited " +
                           std::to_string(kemu::WaitWatchdog().count()) + " ms in KeWaitForSingleObject at IRQL " +
                           std::to_string(irql) + " for " + Describe(event) + " " + kemu::io::Hex(event) +
                           ", which nothing set" + (code.empty() ? "" : " [in " + code + "]"));
            }
            return STATUS_TIMEOUT;
        }
        if (bounded) {
            g_eventChanged.wait_until(lock, deadline);
        } else {
            g_eventChanged.wait(lock);
        }
    }
}

} // extern "C"

namespace kemu::detail {

void InitializeDispatcherHeader(PRKEVENT header, UCHAR type, LONG state)
{
    std::lock_guard<std::mutex> lock(g_eventLock);
    header->Type = type;
    header->Reserved[0] = header->Reserved[1] = header->Reserved[2] = 0;
    header->SignalState = state;
    header->Magic = kEventMagic;
}

LONG ExchangeSignalState(PRKEVENT header, LONG state)
{
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(g_eventLock);
        previous = header->SignalState;
        header->SignalState = state;
    }
    if (state != 0) {
        g_eventChanged.notify_all();
    }
    return previous;
}

LONG ReadSignalState(PRKEVENT header)
{
    std::lock_guard<std::mutex> lock(g_eventLock);
    return header->SignalState;
}

} // namespace kemu::detail
