/*
 * Control of the emulation's base services for tests and tools (C++17): rule violations, interrupt
 * levels and spin locks, pool, clock, performance counter, debug print and the debug output
 * service. Driver sources never include this; they see only kernel.h.
 */
#ifndef DEVIDIDI_EMU_KEMU_CORE_H
#define DEVIDIDI_EMU_KEMU_CORE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "../ddk/base.h"

namespace kemu {

// ---- Rule violations -------------------------------------------------------------------------

// What happens when code breaks a rule the kernel enforces (a verifier's job).
enum class ViolationMode {
    Abort,  // print the report to stderr and abort: the default, as a real machine would hang or crash
    Record, // keep the report for the test to read and carry on where that is possible
};

struct Violation {
    std::string rule;   // short name of the rule broken, e.g. "spin lock acquired twice"
    std::string detail; // where: addresses, levels, tags
};

void SetViolationMode(ViolationMode mode);
ViolationMode GetViolationMode();
// Reports a broken rule. In Abort mode it does not return.
void ReportViolation(const std::string &rule, const std::string &detail);
// A broken rule the machine cannot go on from (a spin lock taken twice, a spin lock or a wait above
// its level): the observer sees it, then it is a stop (kemu::Stop) "<rule>: <detail>", in either mode.
[[noreturn]] void StopViolation(const std::string &rule, const std::string &detail);
// Every report and stop names the driver at fault: the innermost return address on the reporting
// thread's stack that lies in an open driver module, as ", by <driver>+0x<offset>" after the detail.
// The frames of the serving driver (one whose entry points other drivers call directly, such as an
// exchange) are passed over while another driver's code is further out on the stack: that driver
// called in, and the serving driver's own code is named only when no other driver's is there
// ("by <serving>+0x<offset>", or "through <serving>+0x<offset>" after the caller's). Not reset by
// ResetCore; "" names none.
void SetServingDriver(const std::string &name);
// The driver at fault as the reports name it ("" when no driver module's code is on the stack).
std::string DriverAtFault();
// The reports recorded so far, oldest first; the list is emptied.
std::vector<Violation> TakeViolations();
// Number of reports since start or the last ResetCore (recorded or not yet taken).
size_t ViolationCount();
// Hands every report to this function as it is made, before Abort or Record mode acts on it (an
// empty function stops it): for a tool that must see the reports that other code takes away. It
// runs under the verifier's lock, so it must not report itself.
void SetViolationObserver(std::function<void(const Violation &)> observer);

// Record mode for the life of the object; the previous mode comes back at its end. Reports not
// taken stay in the list for TakeViolations.
class ScopedViolationRecording {
public:
    ScopedViolationRecording();
    ~ScopedViolationRecording();
    ScopedViolationRecording(const ScopedViolationRecording &) = delete;
    ScopedViolationRecording &operator=(const ScopedViolationRecording &) = delete;
    std::vector<Violation> Take() { return TakeViolations(); }
    // The rules of the reports taken, in order (handy for EXPECT_EQ).
    std::vector<std::string> TakeRules();

private:
    ViolationMode m_previous;
};

// ---- Who runs: names for the reports -------------------------------------------------------

// Names what the calling thread runs for the life of the object, e.g. "client 2: new-data callback
// of stream 0x3"; names nest. Every violation the thread reports meanwhile ends with
// " [in <outermost> > ... > <innermost>]", and the wait watchdog names the waiter so. A test or tool
// that drives several client drivers on one thread tells with it whose code broke a rule.
// `caller`, when given, is the code address of the call that began this code, as DriverAtFault
// names it ("\Driver\x+0x1f"): a walk that finds only the serving driver's code, because it
// cannot unwind that driver's frames (a PE image has no unwind tables), names the innermost such
// caller, "through" the serving driver's outermost frame it found.
class ScopedCodeName {
public:
    explicit ScopedCodeName(std::string name, std::string caller = {});
    ~ScopedCodeName();
    ScopedCodeName(const ScopedCodeName &) = delete;
    ScopedCodeName &operator=(const ScopedCodeName &) = delete;
};
// The calling thread's names, outermost first, joined by " > " ("" when none).
std::string CurrentCodeName();

// ---- Returns across a driver boundary --------------------------------------------------------

namespace rule {
inline constexpr char kReturnedAtOtherLevel[] = "routine returned at another IRQL than it was called at";
inline constexpr char kReturnedWithOtherLocks[] = "routine returned holding other spin locks than it was called with";
} // namespace rule

// What a verifier checks at the return of a routine that one driver calls in another (an entry
// point handed out, a callback): at the end of the object's life the calling thread must be back
// at the level and hold as many spin locks as at its start; otherwise a report names `routine`.
class ScopedReturnCheck {
public:
    explicit ScopedReturnCheck(std::string routine);
    ~ScopedReturnCheck();
    ScopedReturnCheck(const ScopedReturnCheck &) = delete;
    ScopedReturnCheck &operator=(const ScopedReturnCheck &) = delete;

private:
    std::string m_routine;
    KIRQL m_level;
    size_t m_locks;
};

// ---- The wait watchdog -----------------------------------------------------------------------

// A KeWaitForSingleObject without a time-out (or with one longer than `limit`) that is not
// satisfied within `limit` is taken for a hang: a stop (kemu::Stop) naming the wait, the waiter
// (the code that called, and CurrentCodeName) and the event it waits for, instead of a process that
// never ends. Zero, the start value and the value after every ResetCore, leaves such waits alone.
// A wait inside a DriverUnload keeps its own limit (SetUnloadWaitLimit) and report.
void SetWaitWatchdog(std::chrono::milliseconds limit);
std::chrono::milliseconds WaitWatchdog();

// The spin watchdog: a thread that passes one of the driver's named scheduling points again and
// again, with no other point between, for longer than `limit` spins for something that never comes
// (a registration from a callback its own stream's gate is held for). A stop names the point, the
// code, the level and CurrentCodeName. Works while the verifier's checks are on; 10 s at the start
// and after every ResetCore; zero switches it off.
void SetSpinWatchdog(std::chrono::milliseconds limit);
std::chrono::milliseconds SpinWatchdog();
namespace rule {
inline constexpr char kSpinWithoutProgress[] = "spin made no progress";
} // namespace rule

// ---- The verifier's checks, on or off --------------------------------------------------------

// On by default and after every ResetCore: tests, the simulator and fuzzing run with them. Off, the
// spin locks, interrupt levels and pool do only what a production kernel without a driver verifier
// does (a lock word, a level, a block): no held-lock bookkeeping, no level rules, no fill patterns,
// guards or quarantine; what is left costs one predictable branch. Meant for benchmarks. Switch
// only while no thread holds a spin lock: a lock taken on one side of the switch and released on
// the other is not tracked. Returns false, and changes nothing, when the calling thread holds one.
bool SetVerifierChecks(bool on);
bool VerifierChecks();

// ---- Interrupt levels and spin locks (per thread) --------------------------------------------

// Sets the calling thread's level without any check (tests and tools only; driver code must use
// KfRaiseIrql/KfLowerIrql).
void SetCurrentIrql(KIRQL level);

// Runs the rest of a scope at the given level and puts the previous one back at its end.
class ScopedIrql {
public:
    explicit ScopedIrql(KIRQL level);
    ~ScopedIrql();
    ScopedIrql(const ScopedIrql &) = delete;
    ScopedIrql &operator=(const ScopedIrql &) = delete;

private:
    KIRQL m_previous;
};

// Number of spin locks the calling thread holds (KfAcquireSpinLock and KefAcquireSpinLockAtDpcLevel
// not yet released).
size_t HeldSpinLocks();
// The value a KSPIN_LOCK holds while the calling thread owns it (0 means free).
ULONG_PTR CurrentThreadLockToken();
// True when the calling thread holds this spin lock (the word is not read: it may be gone).
bool HoldsSpinLock(const KSPIN_LOCK *lock);

// ---- Randomized preemption ------------------------------------------------------------------

// At every spin lock acquire and release, level change, interlocked operation and pool call, the
// calling thread yields with one probability or sleeps up to maxSleepMicroseconds with another.
// Each thread draws from its own sequence, fixed by the seed and the order in which threads reach
// their first point, so a seed that broke a run is worth trying again (the host's scheduler still
// has a say in the interleaving).
struct PreemptionOptions {
    double yieldProbability = 0.05;
    double sleepProbability = 0.005;
    unsigned maxSleepMicroseconds = 100;
};
struct PreemptionStats {
    uint64_t points = 0; // kernel calls that drew
    uint64_t yields = 0;
    uint64_t sleeps = 0;
};
// Starts (or restarts, with fresh sequences and statistics) randomized preemption.
void SetRandomPreemption(uint64_t seed, const PreemptionOptions &options = PreemptionOptions());
void StopRandomPreemption();
bool RandomPreemptionActive();
PreemptionStats RandomPreemptionStats();

// ---- Forced interleavings --------------------------------------------------------------------

// The driver names its scheduling points (KX_SCHEDULING_POINT in platform/kernel.h: before each
// locked operation and shared-word access of the stream rundown and the stream gate). A forced
// schedule lets a test name the interleaving it needs: each step holds the first thread that
// reaches `at` until another thread reaches `until` after it, or until `patience` has passed (the
// step is then a miss, and the held thread goes on). Each step holds once; the steps are
// independent. The same steps make the same interleaving every run. A new schedule replaces the
// old; randomized preemption also draws at every named point.
struct ScheduleStep {
    std::string at;
    std::string until;
};
void ForceSchedule(const std::vector<ScheduleStep> &steps,
                   std::chrono::milliseconds patience = std::chrono::milliseconds(2000));
void StopForcedSchedule();
// One line a missed step: "held at <at>, <until> never came".
std::vector<std::string> ForcedScheduleMisses();
// How often a named point was reached since the schedule was set.
uint64_t SchedulingPointHits(const std::string &point);

// ---- Pool -----------------------------------------------------------------------------------

// Every fresh block is filled with this byte and every freed block with the other, so that reading
// uninitialised or freed pool memory shows. A freed block waits a while before the host gets it
// back; its pattern is checked then, and a write after the free is reported.
constexpr unsigned char kPoolFreshFill = 0xCD;
constexpr unsigned char kPoolFreedFill = 0xDD;
// Requests above this size fail as an exhausted pool would (the kernel's own pools were smaller).
constexpr size_t kPoolMaxAllocation = size_t(256) << 20;

struct PoolBlock {
    const void *address = nullptr;
    size_t size = 0;
    ULONG tag = 0;
    POOL_TYPE type = NonPagedPool;
    uint64_t sequence = 0; // 1 for the first allocation of the process, then counting up
    std::string note;      // what the allocating thread's PoolNoteScope said, if any
};

struct PoolTagStats {
    size_t liveBlocks = 0;
    size_t liveBytes = 0;
    size_t peakBytes = 0;        // highest liveBytes seen
    uint64_t allocations = 0;    // successful allocations
    uint64_t frees = 0;          // accepted frees
    uint64_t failedAllocations = 0; // injected or refused
};

// Statistics of one tag (zeros for a tag never seen) and of every tag seen, since the last
// ResetCore. Blocks still live at a ResetCore are not counted any more.
PoolTagStats PoolStats(ULONG tag);
std::map<ULONG, PoolTagStats> PoolStatsAll();
// Live blocks, oldest first; the lookup of one block (also an address inside it).
std::vector<PoolBlock> LivePoolBlocks();
std::optional<PoolBlock> FindPoolBlock(const void *address);
// The special pool, as a driver verifier's: every block of this tag allocated from now on ends
// against an inaccessible page (0: none, as after ResetCore), so that a read or write past its end
// stops at once (kemu::Stop) naming the block and the code that went past it. Its bytes are then
// eight-byte aligned and may end up to seven bytes before the page. A freed block's pages stay
// reserved and inaccessible (the last 1,024 freed blocks, and every block that had views, below,
// for the rest of the run), so that a read or write after the free stops too, naming the block,
// where it was allocated, the code that freed it and the code that touched it. 4,096 blocks can be
// live in the special pool at once; running out is said on standard error, and the blocks beyond
// come from the ordinary pool until some are freed. Its pages lie in one memory file, so that a
// block can be seen through views (OpenPoolView); when the file fails (said once), blocks have none.
// A forked process (a death test) gets copies of the live blocks of its own, as with private memory.
void SetSpecialPoolTag(ULONG tag);
// Also every block that a client driver's code allocates (code in an open driver module other than
// the serving driver's, see SetServingDriver), whatever its tag, until ResetCore: a read past one,
// by the client or by the driver it hands the block to, stops naming the block and its allocator.
void SetSpecialPoolForClients(bool on);
// A view of a live special-pool block: the same bytes at a second address, with an inaccessible page
// after them as the block has, for one user of the block to read it through. Returns the address in
// the view that stands for `address`, or null when `address` lies in no live special-pool block or no
// view can be had (1,024 a run; running out is said once on standard error). `object` names what the
// block holds in the reports ("the ring of stream 2"). Views stay reserved until the process ends.
void *OpenPoolView(const void *address, const char *object);
// Closes the view that `address` lies in: from then on a read or write through it stops (kemu::Stop)
// as "read of <object> <why>: pool block 0x... 'Trcd' 1040 bytes, byte 24, ..., by code at ...". Once
// the block is freed, each of its views is inaccessible too, and a use through one is reported as the
// freed block's.
void ClosePoolView(const void *address, const char *why);
namespace rule {
inline constexpr char kReadPastPoolBlock[] = "read past the end of a pool block";
inline constexpr char kWritePastPoolBlock[] = "write past the end of a pool block";
inline constexpr char kReadFreedPoolBlock[] = "read of a freed pool block";
inline constexpr char kWriteFreedPoolBlock[] = "write to a freed pool block";
} // namespace rule
// Text put together without allocation, locks or stdio, for what runs inside the fault handler.
// What does not fit is cut off.
class FaultText {
public:
    FaultText &Add(const char *text)
    {
        while (text != nullptr && *text != '\0' && m_length + 1 < sizeof m_text) {
            m_text[m_length++] = *text++;
        }
        m_text[m_length] = '\0';
        return *this;
    }
    FaultText &Dec(unsigned long long value)
    {
        char digits[24];
        size_t n = 0;
        do {
            digits[n++] = char('0' + value % 10);
            value /= 10;
        } while (value != 0);
        return Reversed(digits, n);
    }
    FaultText &Hex(unsigned long long value) // "0x" and lower-case digits
    {
        char digits[24];
        size_t n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value & 15];
            value >>= 4;
        } while (value != 0);
        digits[n++] = 'x';
        digits[n++] = '0';
        return Reversed(digits, n);
    }
    const char *Text() const { return m_text; }
    size_t Length() const { return m_length; }
    bool Empty() const { return m_length == 0; }

private:
    FaultText &Reversed(const char *digits, size_t n)
    {
        char text[24];
        for (size_t i = 0; i < n; ++i) {
            text[i] = digits[n - 1 - i];
        }
        text[n] = '\0';
        return Add(text);
    }
    char m_text[1024] = {};
    size_t m_length = 0;
};
// Names a block's allocator in those reports (e.g. from a header the allocator writes into it) by
// adding to `name`; nothing added, or no namer, names the routine that called ExAllocatePoolWithTag.
// It runs inside the fault handler: it must not allocate, lock or print. For a freed block, whose
// pages are inaccessible, `block` is a copy of its first kPoolNamerBytes bytes (or fewer, as many as
// it had), taken at the free: the namer must read no further.
constexpr size_t kPoolNamerBytes = 64;
using PoolBlockNamer = void (*)(const void *block, size_t size, ULONG tag, FaultText &name);
void SetPoolBlockNamer(PoolBlockNamer namer);
// Human-readable list of the live blocks ("" when none), one line per block, tags as 4 characters.
std::string PoolLeakReport();
// Checks every freed block still waiting for its return to the host (and returns them): each one
// written after its free is reported. ResetCore does the same.
void CheckFreedPool();
// A tag as its four characters in memory order: 'Trcd' -> "Trcd"; unprintable bytes as '.'.
std::string TagText(ULONG tag);

// Attaches a note to every block the calling thread allocates while the object lives.
class PoolNoteScope {
public:
    explicit PoolNoteScope(std::string note);
    ~PoolNoteScope();
    PoolNoteScope(const PoolNoteScope &) = delete;
    PoolNoteScope &operator=(const PoolNoteScope &) = delete;

private:
    std::string m_previous;
};

// Low-resources simulation. Only allocations whose tag matches count (0 = every tag); a failed
// allocation returns NULL as an exhausted pool does, and is counted.
// The k-th next matching allocation fails (k = 1: the very next one); k = 0 disarms.
void FailNthAllocation(uint64_t k, ULONG onlyTag = 0);
// Each matching allocation fails with probability p (reproducible from the seed), at most maxTimes.
void FailAllocationsWithProbability(double p, uint64_t seed, uint64_t maxTimes = UINT64_MAX,
                                    ULONG onlyTag = 0);
void ClearAllocationFailures();
uint64_t InjectedAllocationFailures();
// Allocation requests seen since the last ResetCore, failed ones included: a run of a scenario
// gives the range over which to loop FailNthAllocation.
uint64_t PoolAllocationAttempts();

// ---- Tick count and performance counter ------------------------------------------------------

// One tick is 10 ms (100 Hz); KeQueryTimeIncrement answers the same in 100 ns units.
constexpr std::chrono::milliseconds kTickInterval{10};

// The emulated tick count, as a consistent 64-bit value.
uint64_t TickCount();
// Freezes the count at a value; it then moves only by AdvanceTicks or another SetTickCount.
void SetTickCount(uint64_t ticks);
// Moves the count forward (in either mode).
void AdvanceTicks(uint64_t ticks);
// The count follows real time again, going on from its present value.
void UseRealTimeTicks();
// The next n refreshes of KeTickCount (any thread) show High1Time != High2Time, as if the clock
// interrupt came between the words, before the copies settle.
void InjectTornTickReads(unsigned n);

// Real counter: std::chrono::steady_clock at this frequency.
constexpr int64_t kPerformanceFrequency = 10'000'000;
// The next calls of KeQueryPerformanceCounter return these readings in order, with this frequency.
// Once they are used up the counter goes on from the last reading with real time (at the scripted
// frequency), so it never stands still and a wait for time to pass ends.
void ScriptPerformanceCounter(std::vector<int64_t> readings, int64_t frequency);
void UseRealPerformanceCounter();
size_t ScriptedReadingsLeft();

// ---- DbgPrint --------------------------------------------------------------------------------

// The kernel's DbgPrint cuts each message at 512 characters; so does the emulation.
constexpr size_t kDbgPrintMaxChars = 512;

// Every message printed since the last clear, in order, as formatted.
std::vector<std::string> DbgPrintLines();
void ClearDbgPrint();
// Copies each message to stderr as it comes (off by default).
void SetDbgPrintEcho(bool echo);
// Also hands each message to this function (an empty function stops it).
void SetDbgPrintSink(std::function<void(const std::string &)> sink);

// ---- Debug output service (virtual device 0x0327) --------------------------------------------

constexpr USHORT kDebugServiceDevice = 0x0327;
// Present by default, answering this version: the driver's home systems have the service installed.
constexpr ULONG kDebugServiceDefaultVersion = 0x0400;

namespace DebugService {
void SetPresent(bool present);
bool IsPresent();
void SetVersion(ULONG version);
// The lines shown since the last clear, in order.
std::vector<std::string> Lines();
void Clear();
// Lines offered while the service is absent (they are not shown).
uint64_t DroppedLines();
// Hands each shown line to this function (an empty function stops it).
void SetSink(std::function<void(const std::string &)> sink);
// Writes each shown line, with a newline, to a file (truncated at the start; "" stops), or to an
// open stream the caller keeps (nullptr stops). False when the file cannot be opened.
bool ForwardToFile(const std::string &path);
void ForwardToStream(std::FILE *stream);
} // namespace DebugService

// ---- Stops -----------------------------------------------------------------------------------

// A fault the machine cannot go on from (a call into an unloaded driver, an unload that waits for
// ever), as a bugcheck is: the report goes to stderr as "*** STOP: <report>", then to the stop
// handler (a tool's summary, a test's failure), and the process ends with exit status 3.
[[noreturn]] void Stop(const std::string &report);
// The function a stop calls before the process ends (an empty function: none).
void SetStopHandler(std::function<void(const std::string &)> handler);

// ---- Reset -----------------------------------------------------------------------------------

// Puts every base service back to its start state for the next test: violation mode Abort, no
// reports and no observer, the calling thread at PASSIVE_LEVEL holding no spin lock, no allocation failures armed
// and fresh pool statistics, real tick count and performance counter, no timer set (the timers'
// memory is not touched), no captured output, no
// sinks, the debug service present with the default version, no randomized preemption, the wait watchdog off. Live pool
// blocks are not freed (code may still use them): they are listed on stderr and left out of later
// statistics and reports; freeing them later is still accepted. Freed blocks are checked as by CheckFreedPool, after the
// mode is back to Abort. Returns the number of live blocks set aside.
size_t ResetCore();

// ---- Deferred procedure calls ----------------------------------------------------------------

namespace rule {
inline constexpr char kDpcUninitialised[] = "DPC queued without KeInitializeDpc";
inline constexpr char kDpcAboveDispatch[] = "DPC queued above DISPATCH_LEVEL";
inline constexpr char kDpcLevelChanged[] = "DPC routine returned at another IRQL";
inline constexpr char kDpcHoldsSpinLock[] = "DPC routine returned holding a spin lock";
inline constexpr char kDpcLeftAtUnload[] = "driver unloaded while a DPC of its image is still queued";
} // namespace rule

enum class DpcMode {
    Thread, // the platform's DPC thread runs each queued DPC as soon as it can (the default)
    Manual, // queued DPCs wait for RunQueuedDpcs: one thread, the same order every run
};
void SetDpcMode(DpcMode mode);
// Runs every queued DPC on the calling thread at DISPATCH_LEVEL, those queued meanwhile included;
// returns how many ran. In Thread mode it waits for the DPC thread to run them instead.
size_t RunQueuedDpcs();
// DPCs queued and not yet run.
size_t QueuedDpcCount();
// Waits for the queue to drain, stops the DPC thread and goes back to Thread mode; DPCs still queued
// in Manual mode are dropped, and their number returned.
size_t ResetDpcs();
// Takes out of the queue every DPC whose object or routine `inImage` says lies in an image being
// unloaded, so that none runs in unmapped code; returns each one described for a report.
std::vector<std::string> RemoveDpcsOf(const std::function<bool(const void *)> &inImage);

// ---- Timers and system threads ---------------------------------------------------------------

// Timers run on the emulated clock: in real time a platform thread fires them when due; while the
// tick count is held (SetTickCount) only SetTickCount and AdvanceTicks fire them, on the calling
// thread, in order of due time, each queuing its DPC (run in Manual mode by RunQueuedDpcs).
namespace rule {
inline constexpr char kTimerUninitialised[] = "timer used without KeInitializeTimer";
inline constexpr char kTimerNegativePeriod[] = "timer set with a negative period";
inline constexpr char kTimerAboveDispatch[] = "timer routine called above DISPATCH_LEVEL";
inline constexpr char kTimerLeftAtUnload[] = "driver unloaded while a timer of its image is still set";
inline constexpr char kDelayAboveApc[] = "KeDelayExecutionThread called above APC_LEVEL";
inline constexpr char kThreadNotPassive[] = "system thread created or ended above PASSIVE_LEVEL";
inline constexpr char kThreadHoldsSpinLock[] = "system thread ended holding a spin lock";
inline constexpr char kTerminateOutsideThread[] = "PsTerminateSystemThread called outside a system thread";
inline constexpr char kThreadLeftAtUnload[] = "driver unloaded while a system thread of its image is still running";
} // namespace rule
// Timers set now.
size_t SetTimerCount();
// Cancels every set timer whose object, DPC object or DPC routine `inImage` says lies in an image
// being unloaded, so that none fires into unmapped memory; returns each one described for a report.
std::vector<std::string> CancelTimersOf(const std::function<bool(const void *)> &inImage);
// System threads whose start routine lies in the image and that have not ended, each described.
std::vector<std::string> RunningThreadsOf(const std::function<bool(const void *)> &inImage);

} // namespace kemu

#endif
