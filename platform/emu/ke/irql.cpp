// Interrupt levels, spin locks and the interlocked list operations, checked as a verifier would.
//
// The level is per thread: each thread of the emulation stands for a processor. A spin lock is a
// real lock across threads: its word holds 0 when free and the owner's token while held, so that
// a second acquire by the owner and a release by anyone else are caught instead of hanging.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "emu/internal/core.h"
#include "emu/kemu/core.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KEMU_CPU_PAUSE() _mm_pause()
#else
#define KEMU_CPU_PAUSE() ((void)0)
#endif

using kemu::detail::Hex;

namespace {

// Owner tokens carry a fixed low byte, so that garbage in an uninitialised lock word is almost
// never taken for an owner (and such a lock is reported instead of spun on forever).
constexpr ULONG_PTR kTokenMark = 0x5A;
std::atomic<ULONG_PTR> g_nextTokenNumber{1};

bool IsOwnerToken(ULONG_PTR value)
{
    return (value & 0xFF) == kTokenMark && (value >> 8) != 0 &&
           (value >> 8) < g_nextTokenNumber.load(std::memory_order_relaxed);
}

enum class HowTaken { Raise, AtDpcLevel, Interlocked };

struct HeldLock {
    PKSPIN_LOCK lock;
    KIRQL restoreTo;  // what the acquire returned (or the level at the time, for the other forms)
    HowTaken how;
};

const char *HowName(HowTaken how)
{
    switch (how) {
    case HowTaken::Raise: return "KfAcquireSpinLock";
    case HowTaken::AtDpcLevel: return "KefAcquireSpinLockAtDpcLevel";
    case HowTaken::Interlocked: return "an interlocked list operation";
    }
    return "?";
}

std::string Level(KIRQL irql) { return std::to_string(unsigned(irql)); }

// The locks a thread holds, innermost last. An acquire and its release cost no allocation while a
// thread holds at most kInline locks (the driver nests two); deeper nesting spills to the heap.
class HeldStack {
public:
    size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }
    HeldLock &operator[](size_t i) { return i < kInline ? m_inline[i] : m_spill[i - kInline]; }
    const HeldLock &operator[](size_t i) const { return i < kInline ? m_inline[i] : m_spill[i - kInline]; }
    void push_back(const HeldLock &h)
    {
        if (m_count < kInline) {
            m_inline[m_count] = h;
        } else {
            m_spill.push_back(h);
        }
        ++m_count;
    }
    void erase(size_t index)
    {
        for (size_t i = index; i + 1 < m_count; ++i) {
            (*this)[i] = (*this)[i + 1];
        }
        --m_count;
        if (m_count >= kInline) {
            m_spill.pop_back();
        }
    }
    void clear()
    {
        m_count = 0;
        m_spill.clear();
    }

private:
    static constexpr size_t kInline = 8;
    size_t m_count = 0;
    HeldLock m_inline[kInline];
    std::vector<HeldLock> m_spill;
};

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    ULONG_PTR token = 0;
    HeldStack held;

    ULONG_PTR Token()
    {
        if (token == 0) {
            token = (g_nextTokenNumber.fetch_add(1) << 8) | kTokenMark;
        }
        return token;
    }

    // A thread that ends holding a lock leaves every other thread that wants it spinning forever.
    ~ThreadState()
    {
        for (size_t i = 0; i < held.size(); ++i) {
            const HeldLock &h = held[i];
            kemu::ReportViolation("thread ended holding a spin lock",
                                  "lock " + Hex(h.lock) + " taken by " + HowName(h.how) + " was never released");
            __atomic_store_n(h.lock, ULONG_PTR(0), __ATOMIC_RELEASE);
        }
    }
};

thread_local ThreadState t_state;
// Stands for the thread's kernel object: only its address is used, so it needs no destructor (and
// its access no guard).
thread_local char t_threadObject;

std::string HeldList(const ThreadState &t)
{
    std::string s;
    for (size_t i = 0; i < t.held.size(); ++i) {
        s += (s.empty() ? "" : ", ") + Hex(t.held[i].lock);
    }
    return s;
}

int FindHeld(const ThreadState &t, PKSPIN_LOCK lock)
{
    for (size_t i = t.held.size(); i-- > 0;) {
        if (t.held[i].lock == lock) {
            return int(i);
        }
    }
    return -1;
}

// Takes the lock word for the calling thread, or reports why it cannot.
void AcquireWord(ThreadState &t, PKSPIN_LOCK lock, KIRQL restoreTo, HowTaken how)
{
    const ULONG_PTR me = t.Token();
    int index = FindHeld(t, lock);
    if (index >= 0 || __atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
        std::string where = index >= 0 ? std::string(" (taken by ") + HowName(t.held[size_t(index)].how) + ")" : "";
        kemu::StopViolation("spin lock acquired twice", "lock " + Hex(lock) + " is already held by this thread" + where +
                                                            ", acquired again by " + HowName(how) + " at IRQL " +
                                                            Level(t.irql) + "; a real processor would spin forever");
    }
    // The wait is timed from its first pause only: a clock read costs more than an uncontended
    // acquire (tens of nanoseconds on a virtual machine's clock).
    std::chrono::steady_clock::time_point start;
    bool timing = false;
    bool warned = false;
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR value = __atomic_load_n(lock, __ATOMIC_RELAXED);
        if (value == 0) {
            if (__atomic_compare_exchange_n(lock, &value, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
                break;
            }
            continue;
        }
        if (!IsOwnerToken(value)) {
            kemu::ReportViolation("spin lock not initialised",
                                  "lock " + Hex(lock) + " holds " + Hex(value) +
                                      ", which is no owner: KeInitializeSpinLock was not called or the word was "
                                      "overwritten");
            if (__atomic_compare_exchange_n(lock, &value, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
                break;
            }
            continue;
        }
        if (!timing) {
            start = std::chrono::steady_clock::now();
            timing = true;
        }
        KEMU_CPU_PAUSE();
        // Threads here can be descheduled while they hold a lock, unlike a processor at DISPATCH_LEVEL.
        if (spins % 64 == 63) {
            std::this_thread::yield();
        }
        if (!warned && spins % 4096 == 4095 && std::chrono::steady_clock::now() - start > std::chrono::seconds(10)) {
            warned = true;
            std::fprintf(stderr, "kemu: still waiting after 10 s for spin lock %s held by owner token %s\n",
                         Hex(lock).c_str(), Hex(value).c_str());
        }
    }
    t.held.push_back({lock, restoreTo, how});
}

// A release by a thread that does not hold the lock: say whose it is.
void ReportBadRelease(const ThreadState &t, PKSPIN_LOCK lock, const char *by)
{
    ULONG_PTR value = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (value != 0 && IsOwnerToken(value)) {
        kemu::ReportViolation("spin lock released by a thread that does not hold it",
                              "lock " + Hex(lock) + " is held by owner token " + Hex(value) + ", released by " + by +
                                  " on the thread with token " + Hex(t.token));
    } else {
        kemu::ReportViolation("spin lock released while not held",
                              "lock " + Hex(lock) + " released by " + by + " holds " + Hex(value) +
                                  (value == 0 ? " (free)" : " (no owner: not initialised?)"));
    }
}

// Gives the word back.
void ReleaseWord(ThreadState &t, size_t index)
{
    HeldLock h = t.held[index];
    t.held.erase(index);
    // Nobody but the holder may write a held word, so a check followed by a plain store releases it
    // as the kernel does, without a second locked instruction on every lock round trip.
    const ULONG_PTR found = __atomic_load_n(h.lock, __ATOMIC_RELAXED);
    if (found != t.token) {
        kemu::ReportViolation("spin lock word changed while held",
                              "lock " + Hex(h.lock) + " should hold this thread's token " + Hex(t.token) +
                                  " but holds " + Hex(found) + " (re-initialised or overwritten while held)");
    }
    __atomic_store_n(h.lock, ULONG_PTR(0), __ATOMIC_RELEASE);
}

// Sets a lower level and checks that no spin lock is still held below DISPATCH_LEVEL.
void LowerTo(ThreadState &t, KIRQL level, const char *by)
{
    t.irql = level;
    if (level < DISPATCH_LEVEL && !t.held.empty()) {
        kemu::ReportViolation("IRQL lowered below DISPATCH_LEVEL while holding a spin lock",
                              std::string(by) + " lowered to IRQL " + Level(level) + " while holding " + HeldList(t));
    }
}

bool ValidLevel(KIRQL level, const char *by)
{
    if (level > HIGH_LEVEL) {
        kemu::ReportViolation("invalid IRQL", std::string(by) + " was given IRQL " + Level(level) +
                                                  " (HIGH_LEVEL is " + Level(HIGH_LEVEL) + ")");
        return false;
    }
    return true;
}

bool NotNull(PKSPIN_LOCK lock, const char *by)
{
    if (lock == nullptr) {
        kemu::ReportViolation("NULL spin lock", std::string(by) + " was given a NULL lock");
        return false;
    }
    return true;
}

// With the verifier's checks off: the lock word alone, as a production kernel has it. The owner's
// token still goes into the word, so that a checked acquire spinning on it later knows it for one.
inline void AcquireWordUnchecked(ThreadState &t, PKSPIN_LOCK lock)
{
    const ULONG_PTR me = t.Token();
    ULONG_PTR value = 0;
    if (__atomic_compare_exchange_n(lock, &value, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        return;
    }
    for (unsigned spins = 0;; ++spins) {
        KEMU_CPU_PAUSE();
        if (spins % 64 == 63) {
            std::this_thread::yield(); // the holder may have been descheduled
        }
        value = 0;
        if (__atomic_load_n(lock, __ATOMIC_RELAXED) == 0 &&
            __atomic_compare_exchange_n(lock, &value, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            return;
        }
    }
}

void ReleaseWordUnchecked(PKSPIN_LOCK lock) { __atomic_store_n(lock, ULONG_PTR(0), __ATOMIC_RELEASE); }

} // namespace

extern "C" {

KIRQL KeGetCurrentIrql(void) { return t_state.irql; }

PKTHREAD KeGetCurrentThread(void) { return reinterpret_cast<PKTHREAD>(&t_threadObject); }

KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    KemuMaybePreempt();
    ThreadState &t = t_state;
    KIRQL old = t.irql;
    if (!kemu::detail::ChecksOn()) {
        t.irql = NewIrql;
        return old;
    }
    if (!ValidLevel(NewIrql, "KfRaiseIrql")) {
        return old;
    }
    if (NewIrql < old) {
        // Record mode keeps the level: the caller's KfLowerIrql(old) then goes on without a second report.
        kemu::ReportViolation("IRQL raised to a lower level",
                              "KfRaiseIrql(" + Level(NewIrql) + ") called at IRQL " + Level(old));
        return old;
    }
    t.irql = NewIrql;
    return old;
}

VOID KfLowerIrql(KIRQL NewIrql)
{
    KemuMaybePreempt();
    ThreadState &t = t_state;
    if (!kemu::detail::ChecksOn()) {
        t.irql = NewIrql;
        return;
    }
    if (!ValidLevel(NewIrql, "KfLowerIrql")) {
        return;
    }
    if (NewIrql > t.irql) {
        kemu::ReportViolation("IRQL lowered to a higher level",
                              "KfLowerIrql(" + Level(NewIrql) + ") called at IRQL " + Level(t.irql));
        return;
    }
    LowerTo(t, NewIrql, "KfLowerIrql");
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    if (!NotNull(SpinLock, "KeInitializeSpinLock")) {
        return;
    }
    ThreadState &t = t_state;
    int index = FindHeld(t, SpinLock);
    if (index >= 0) {
        kemu::ReportViolation("spin lock initialised while held",
                              "lock " + Hex(SpinLock) + " is held by this thread (taken by " +
                                  HowName(t.held[size_t(index)].how) + ")");
        return;
    }
    __atomic_store_n(SpinLock, ULONG_PTR(0), __ATOMIC_RELEASE);
}

} // extern "C"

// The checked forms stand apart, so that the unchecked path pays for none of their frame.
__attribute__((noinline)) static KIRQL AcquireSpinLockChecked(PKSPIN_LOCK SpinLock)
{
    KemuMaybePreempt();
    ThreadState &t = t_state;
    KIRQL old = t.irql;
    if (!NotNull(SpinLock, "KfAcquireSpinLock")) {
        return old;
    }
    if (old > DISPATCH_LEVEL) {
        // An interrupt at that level may come in on the lock's holder: the processor spins for ever.
        kemu::StopViolation("spin lock acquired above DISPATCH_LEVEL",
                            "KfAcquireSpinLock(" + Hex(SpinLock) + ") called at IRQL " + Level(old));
    }
    t.irql = DISPATCH_LEVEL;
    AcquireWord(t, SpinLock, old, HowTaken::Raise);
    return old;
}

__attribute__((noinline)) static void ReleaseSpinLockChecked(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    KemuMaybePreempt();
    ThreadState &t = t_state;
    if (!NotNull(SpinLock, "KfReleaseSpinLock") || !ValidLevel(NewIrql, "KfReleaseSpinLock")) {
        return;
    }
    int index = FindHeld(t, SpinLock);
    if (index < 0) {
        ReportBadRelease(t, SpinLock, "KfReleaseSpinLock");
        if (NewIrql <= t.irql) {
            t.irql = NewIrql;
        }
        return;
    }
    const HeldLock h = t.held[size_t(index)];
    if (t.irql < DISPATCH_LEVEL) {
        kemu::ReportViolation("spin lock released below DISPATCH_LEVEL",
                              "lock " + Hex(SpinLock) + " released at IRQL " + Level(t.irql));
    }
    if (NewIrql != h.restoreTo) {
        // Record mode restores what the acquire returned, so that the thread goes on at the right level.
        kemu::ReportViolation("spin lock released with a level other than its acquire returned",
                              "lock " + Hex(SpinLock) + ": " + HowName(h.how) + " returned IRQL " + Level(h.restoreTo) +
                                  ", KfReleaseSpinLock was given IRQL " + Level(NewIrql));
        NewIrql = h.restoreTo;
    }
    ReleaseWord(t, size_t(index));
    if (NewIrql > t.irql) {
        t.irql = NewIrql; // only after a reported mistake: never lower the level by raising it
    } else {
        LowerTo(t, NewIrql, "KfReleaseSpinLock");
    }
}

extern "C" {

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    if (kemu::detail::ChecksOn()) {
        return AcquireSpinLockChecked(SpinLock);
    }
    ThreadState &t = t_state;
    KIRQL old = t.irql;
    t.irql = DISPATCH_LEVEL;
    AcquireWordUnchecked(t, SpinLock);
    return old;
}

VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    if (kemu::detail::ChecksOn()) {
        ReleaseSpinLockChecked(SpinLock, NewIrql);
        return;
    }
    ReleaseWordUnchecked(SpinLock);
    t_state.irql = NewIrql;
}

VOID KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    KemuMaybePreempt();
    ThreadState &t = t_state;
    if (!kemu::detail::ChecksOn()) {
        AcquireWordUnchecked(t, SpinLock);
        return;
    }
    if (!NotNull(SpinLock, "KefAcquireSpinLockAtDpcLevel")) {
        return;
    }
    if (t.irql < DISPATCH_LEVEL) {
        kemu::ReportViolation("spin lock acquired at DPC level from below DISPATCH_LEVEL",
                              "KefAcquireSpinLockAtDpcLevel(" + Hex(SpinLock) + ") called at IRQL " + Level(t.irql));
    }
    AcquireWord(t, SpinLock, t.irql, HowTaken::AtDpcLevel);
}

VOID KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    KemuMaybePreempt();
    if (!kemu::detail::ChecksOn()) {
        ReleaseWordUnchecked(SpinLock);
        return;
    }
    ThreadState &t = t_state;
    if (!NotNull(SpinLock, "KefReleaseSpinLockFromDpcLevel")) {
        return;
    }
    int index = FindHeld(t, SpinLock);
    if (index < 0) {
        ReportBadRelease(t, SpinLock, "KefReleaseSpinLockFromDpcLevel");
        return;
    }
    if (t.irql < DISPATCH_LEVEL) {
        kemu::ReportViolation("spin lock released below DISPATCH_LEVEL",
                              "lock " + Hex(SpinLock) + " released by KefReleaseSpinLockFromDpcLevel at IRQL " +
                                  Level(t.irql));
    }
    ReleaseWord(t, size_t(index));
}

} // extern "C"

// Both insertions return the entry that stood at the end they insert at, or NULL for an empty list.
static PLIST_ENTRY InterlockedInsert(const char *who, bool atTail, PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                     PKSPIN_LOCK Lock)
{
    KemuMaybePreempt();
    ThreadState &t = t_state;
    const bool checks = kemu::detail::ChecksOn();
    if (checks && !NotNull(Lock, who)) {
        return nullptr;
    }
    if (checks) {
        AcquireWord(t, Lock, t.irql, HowTaken::Interlocked);
    } else {
        AcquireWordUnchecked(t, Lock);
    }
    PLIST_ENTRY end = atTail ? ListHead->Blink : ListHead->Flink;
    PLIST_ENTRY previous = end == ListHead ? nullptr : end;
    if (atTail) {
        InsertTailList(ListHead, ListEntry);
    } else {
        InsertHeadList(ListHead, ListEntry);
    }
    if (checks) {
        ReleaseWord(t, size_t(FindHeld(t, Lock)));
    } else {
        ReleaseWordUnchecked(Lock);
    }
    return previous;
}

extern "C" {

PLIST_ENTRY ExfInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    return InterlockedInsert("ExfInterlockedInsertTailList", true, ListHead, ListEntry, Lock);
}

PLIST_ENTRY ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    return InterlockedInsert("ExfInterlockedInsertHeadList", false, ListHead, ListEntry, Lock);
}

PLIST_ENTRY ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock)
{
    KemuMaybePreempt();
    ThreadState &t = t_state;
    const bool checks = kemu::detail::ChecksOn();
    if (checks && !NotNull(Lock, "ExfInterlockedRemoveHeadList")) {
        return nullptr;
    }
    if (checks) {
        AcquireWord(t, Lock, t.irql, HowTaken::Interlocked);
    } else {
        AcquireWordUnchecked(t, Lock);
    }
    PLIST_ENTRY removed = ListHead->Flink == ListHead ? nullptr : RemoveHeadList(ListHead);
    if (checks) {
        ReleaseWord(t, size_t(FindHeld(t, Lock)));
    } else {
        ReleaseWordUnchecked(Lock);
    }
    return removed;
}

} // extern "C"

namespace kemu {

void SetCurrentIrql(KIRQL level) { t_state.irql = level; }

ScopedIrql::ScopedIrql(KIRQL level) : m_previous(t_state.irql) { t_state.irql = level; }
ScopedIrql::~ScopedIrql() { t_state.irql = m_previous; }

size_t HeldSpinLocks() { return t_state.held.size(); }

ULONG_PTR CurrentThreadLockToken() { return t_state.Token(); }

bool HoldsSpinLock(const KSPIN_LOCK *lock) { return FindHeld(t_state, const_cast<PKSPIN_LOCK>(lock)) >= 0; }

ScopedReturnCheck::ScopedReturnCheck(std::string routine)
    : m_routine(std::move(routine)), m_level(t_state.irql), m_locks(t_state.held.size())
{
}

ScopedReturnCheck::~ScopedReturnCheck()
{
    const ThreadState &t = t_state;
    if (!kemu::detail::ChecksOn()) {
        return;
    }
    if (t.irql != m_level) {
        kemu::ReportViolation(rule::kReturnedAtOtherLevel, m_routine + " was called at IRQL " + Level(m_level) +
                                                               " and returned at IRQL " + Level(t.irql));
    }
    if (t.held.size() != m_locks) {
        kemu::ReportViolation(rule::kReturnedWithOtherLocks,
                              m_routine + " was called holding " + std::to_string(m_locks) +
                                  " spin lock(s) and returned holding " + std::to_string(t.held.size()) +
                                  (t.held.empty() ? "" : " (" + HeldList(t) + ")"));
    }
}

namespace detail {
// The locks are forgotten, not released: their memory may already be gone.
void ResetThreadLevelAndLocks()
{
    ThreadState &t = t_state;
    if (!t.held.empty()) {
        std::fprintf(stderr, "kemu: reset: this thread still held spin lock(s) %s; forgotten\n", HeldList(t).c_str());
    }
    t.held.clear();
    t.irql = PASSIVE_LEVEL;
}
} // namespace detail

} // namespace kemu
