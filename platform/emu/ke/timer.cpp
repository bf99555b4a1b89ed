// Kernel timers: one table of the timers that are set, on the clock's interrupt time (clock.cpp).
// ExpireTimers fires what is due: the timer is signalled, its DPC queued, a periodic one set again
// from now. In real time a platform thread calls it at the earliest due time; while a test or a
// script holds the tick count, only the clock's setters call it, so a run is the same every time.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "emu/ddk/io.h"
#include "emu/internal/core.h"
#include "emu/kemu/core.h"

namespace {

// 1970-01-01 in the kernel's system time: 100 ns units since 1601-01-01.
constexpr long long kEpochDifference100ns = 116444736000000000LL;

struct TimerTable {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<PKTIMER> set; // in the order they were set: equal due times fire in that order
    bool workerStarted = false;
};

TimerTable &Table()
{
    static TimerTable *table = new TimerTable; // never destroyed: its thread outlives main
    return *table;
}

LONGLONG SystemTime()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() * 10 + kEpochDifference100ns;
}

bool CheckTimer(PKTIMER timer, const char *routine)
{
    using namespace kemu;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        ReportViolation(rule::kTimerAboveDispatch, std::string(routine) + " on timer " + detail::Hex(timer) +
                                                       " at IRQL " + std::to_string(KeGetCurrentIrql()));
    }
    if (timer == nullptr || (timer->Header.Type != TimerNotificationObject &&
                             timer->Header.Type != TimerSynchronizationObject)) {
        ReportViolation(rule::kTimerUninitialised, std::string(routine) + " on timer " + detail::Hex(timer));
        return false;
    }
    return true;
}

// Takes the timer out of the table; the table's lock held.
bool Unlink(TimerTable &table, PKTIMER timer)
{
    if (!timer->Inserted) {
        return false;
    }
    table.set.erase(std::remove(table.set.begin(), table.set.end(), timer), table.set.end());
    timer->Inserted = FALSE;
    return true;
}

// Fires the due timers in order of due time; the table's lock held. The DPCs are queued under it,
// so that a timer cancelled or an image unloaded afterwards cannot leave one half fired.
void FireDue(TimerTable &table, uint64_t now)
{
    std::vector<PKTIMER> due;
    for (PKTIMER timer : table.set) {
        if (timer->DueTime <= now) {
            due.push_back(timer);
        }
    }
    std::stable_sort(due.begin(), due.end(), [](PKTIMER a, PKTIMER b) { return a->DueTime < b->DueTime; });
    const LONGLONG systemTime = SystemTime();
    for (PKTIMER timer : due) {
        if (timer->Period > 0) {
            timer->DueTime = now + uint64_t(timer->Period) * 10000;
        } else {
            Unlink(table, timer);
        }
        // The DPC first: a waiter woken by the signal finds it queued already, as on the kernel,
        // where both happen before any waiter runs.
        if (timer->Dpc != nullptr) {
            KeInsertQueueDpc(timer->Dpc, reinterpret_cast<PVOID>(ULONG_PTR(ULONG(systemTime))),
                             reinterpret_cast<PVOID>(ULONG_PTR(ULONG(uint64_t(systemTime) >> 32))));
        }
        kemu::detail::ExchangeSignalState(&timer->Header, 1);
    }
}

// The real-time side: sleeps until the earliest due time, or until the table or the clock changes.
void WorkerLoop()
{
    TimerTable &table = Table();
    std::unique_lock<std::mutex> guard(table.lock);
    for (;;) {
        if (table.set.empty() || kemu::detail::TickCountHeld()) {
            table.changed.wait(guard);
            continue;
        }
        uint64_t earliest = UINT64_MAX;
        for (PKTIMER timer : table.set) {
            earliest = std::min<uint64_t>(earliest, timer->DueTime);
        }
        const uint64_t now = kemu::detail::InterruptTime();
        if (earliest <= now) {
            FireDue(table, now);
        } else {
            // At most an hour at a time: a due time at the end of time must not overflow the wait.
            const uint64_t ahead = std::min<uint64_t>(earliest - now, 36'000'000'000ULL);
            table.changed.wait_for(guard, std::chrono::nanoseconds(ahead * 100));
        }
    }
}

} // namespace

namespace kemu {

namespace detail {

void ExpireTimers()
{
    TimerTable &table = Table();
    {
        std::lock_guard<std::mutex> guard(table.lock);
        FireDue(table, InterruptTime());
    }
    table.changed.notify_all();
}

void ResetTimers()
{
    TimerTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    table.set.clear(); // the objects themselves may be gone: not written
}

} // namespace detail

size_t SetTimerCount()
{
    TimerTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.set.size();
}

std::vector<std::string> CancelTimersOf(const std::function<bool(const void *)> &inImage)
{
    TimerTable &table = Table();
    std::vector<std::string> cancelled;
    std::lock_guard<std::mutex> guard(table.lock);
    for (size_t i = 0; i < table.set.size();) {
        PKTIMER timer = table.set[i];
        const void *routine = timer->Dpc != nullptr ? reinterpret_cast<const void *>(timer->Dpc->DeferredRoutine) : nullptr;
        if (inImage(timer) || (timer->Dpc != nullptr && (inImage(timer->Dpc) || inImage(routine)))) {
            cancelled.push_back(std::string(timer->Period > 0 ? "periodic timer " : "timer ") + detail::Hex(timer) +
                                (routine != nullptr ? " (DPC routine " + detail::Hex(routine) + ")" : ""));
            Unlink(table, timer);
        } else {
            ++i;
        }
    }
    return cancelled;
}

} // namespace kemu

extern "C" {

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    kemu::detail::InitializeDispatcherHeader(
        &Timer->Header, Type == SynchronizationTimer ? TimerSynchronizationObject : TimerNotificationObject, 0);
    Timer->DueTime = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Period = 0;
    Timer->Inserted = FALSE;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    using namespace kemu;
    if (!CheckTimer(Timer, "KeSetTimerEx")) {
        return FALSE;
    }
    if (Period < 0) {
        ReportViolation(rule::kTimerNegativePeriod, "KeSetTimerEx on timer " + detail::Hex(Timer) + ": period " +
                                                        std::to_string(Period) + " ms, taken as one-shot");
        Period = 0;
    }
    TimerTable &table = Table();
    bool fireNow;
    BOOLEAN wasSet;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        wasSet = Unlink(table, Timer) ? TRUE : FALSE;
        detail::ExchangeSignalState(&Timer->Header, 0);
        const uint64_t now = detail::InterruptTime();
        if (DueTime.QuadPart < 0) {
            // Far enough is never: kept from wrapping past the end of time.
            const uint64_t wait = DueTime.QuadPart == INT64_MIN ? uint64_t(INT64_MAX) : uint64_t(-DueTime.QuadPart);
            Timer->DueTime = now + std::min<uint64_t>(wait, UINT64_MAX / 2 - now);
        } else {
            const LONGLONG ahead = DueTime.QuadPart - SystemTime();
            Timer->DueTime = ahead > 0 ? now + uint64_t(ahead) : now;
        }
        Timer->Dpc = Dpc;
        Timer->Period = Period;
        Timer->Inserted = TRUE;
        table.set.push_back(Timer);
        fireNow = Timer->DueTime <= now;
        if (!table.workerStarted) {
            table.workerStarted = true;
            std::thread(WorkerLoop).detach();
        }
    }
    if (fireNow) {
        detail::ExpireTimers(); // a due time already past fires at once, as the kernel's does
    } else {
        table.changed.notify_all();
    }
    return wasSet;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    if (!CheckTimer(Timer, "KeCancelTimer")) {
        return FALSE;
    }
    TimerTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    return Unlink(table, Timer) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer)
{
    if (!CheckTimer(Timer, "KeReadStateTimer")) {
        return FALSE;
    }
    return kemu::detail::ReadSignalState(&Timer->Header) != 0 ? TRUE : FALSE;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    using namespace kemu;
    if (KeGetCurrentIrql() > APC_LEVEL) {
        ReportViolation(rule::kDelayAboveApc, "KeDelayExecutionThread at IRQL " + std::to_string(KeGetCurrentIrql()));
        return STATUS_SUCCESS; // a real processor would hang; the emulation goes on
    }
    if (detail::MovesHeldClock() && Interval->QuadPart != 0) {
        const std::string code = CurrentCodeName();
        FaultText caller;
        DescribeCode(reinterpret_cast<uintptr_t>(__builtin_return_address(0)), caller);
        Stop("wait made no progress: " + std::string(caller.Text()) +
             " called KeDelayExecutionThread on the thread that moves the held tick count, which no other "
             "thread moves: it would wait for ever" + (code.empty() ? "" : " [in " + code + "]"));
    }
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, *Interval, nullptr);
    const NTSTATUS status = KeWaitForSingleObject(&timer, Executive, WaitMode, Alertable, nullptr);
    KeCancelTimer(&timer); // set still only when the wait ended otherwise (a stop's report)
    return status;
}

} // extern "C"
