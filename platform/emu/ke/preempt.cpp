// Randomized preemption: at kernel-call boundaries a thread may give up its processor for a moment,
// so that interleavings which a quiet machine almost never produces come up in every stress run.
//
// Each thread draws its decisions from its own sequence, derived from the seed and the order in
// which threads first reach a point after SetRandomPreemption. The same seed therefore makes the
// same decisions at the same calls of the same thread; which interleaving follows still depends on
// the host's scheduler, so a seed that failed once is a strong hint, not a guarantee, for a replay.
//
// A forced schedule is the exact replay: the driver's named points (KX_SCHEDULING_POINT) hold a
// thread at one point until another reaches a second, so a test names the interleaving it needs.
//
// The spin watchdog: a thread that passes the same named point again and again, with no other
// point between, for longer than the limit is spinning for something that never comes (a client
// that registers on a stream from a callback the stream's gate is held for, say). A real processor
// spins there for ever; the run stops, naming the point, the code and the level.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emu/internal/core.h"
#include "emu/kemu/core.h"

// Read inline by the interlocked operations of ddk/base.h: one load when preemption is off.
// Bit 0: randomized preemption; bit 1: a forced schedule; bit 2: the spin watchdog (on with the
// verifier's checks, which start on).
extern "C" {
int KemuPreemptionArmed = 4;
}

namespace {

struct Settings {
    std::atomic<uint64_t> generation{0}; // changes with every SetRandomPreemption
    std::atomic<uint64_t> seed{0};
    std::atomic<uint64_t> nextThread{0};
    // Probabilities as thresholds on a 64-bit draw.
    std::atomic<uint64_t> yieldBelow{0};
    std::atomic<uint64_t> sleepBelow{0};
    std::atomic<unsigned> maxSleepMicroseconds{1};
    std::atomic<uint64_t> points{0}, yields{0}, sleeps{0};
};

Settings g_settings;

// Plain data, so that a thread-local needs no guard and no destructor.
struct ThreadDraws {
    uint64_t generation;
    uint64_t state;
};
thread_local ThreadDraws t_draws{0, 0};

uint64_t SplitMix(uint64_t &state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t Threshold(double probability)
{
    if (!(probability > 0)) {
        return 0;
    }
    if (probability >= 1) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(probability * 18446744073709551616.0);
}

constexpr int kRandomBit = 1;
constexpr int kScheduleBit = 2;
constexpr int kSpinWatchBit = 4;

constexpr long long kDefaultSpinLimitMs = 10000;
std::atomic<long long> g_spinLimitMs{kDefaultSpinLimitMs};

// The point this thread passed last, how often in a row, and since when (taken only every
// kSpinCheckEvery passes, so that a point costs a compare and an increment).
constexpr uint32_t kSpinCheckEvery = 4096;
struct SpinWatch {
    const char *point;
    uint32_t passes;
    long long since; // steady-clock milliseconds at the first check, 0 before it
};
thread_local SpinWatch t_spin{nullptr, 0, 0};

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void WatchSpin(const char *point, uintptr_t caller)
{
    SpinWatch &w = t_spin;
    if (w.point != point) {
        w = SpinWatch{point, 1, 0};
        return;
    }
    if (++w.passes % kSpinCheckEvery != 0) {
        return;
    }
    const long long now = NowMs();
    if (w.since == 0) {
        w.since = now;
        return;
    }
    const long long limit = g_spinLimitMs.load(std::memory_order_relaxed);
    if (limit <= 0 || now - w.since < limit) {
        return;
    }
    kemu::FaultText code;
    kemu::DescribeCode(caller, code);
    const long long spun = now - w.since;
    w = SpinWatch{nullptr, 0, 0};
    // Attributed like every stop: the driver that called in, and the code names.
    kemu::StopViolation(kemu::rule::kSpinWithoutProgress,
                        std::string(code.Text()) + " passed its point " + point + " for " + std::to_string(spun) +
                            " ms at IRQL " + std::to_string(KeGetCurrentIrql()) +
                            ", waiting for something that never came");
}

struct Step {
    kemu::ScheduleStep names;
    bool used = false;
};

struct Schedule {
    std::mutex lock;
    std::condition_variable reached;
    std::vector<Step> steps;
    std::map<std::string, uint64_t> hits;
    std::vector<std::string> misses;
    std::chrono::milliseconds patience{2000};
    uint64_t generation = 0; // a new or stopped schedule lets every held thread go
};

Schedule &TheSchedule()
{
    static Schedule schedule;
    return schedule;
}

void Arm(int bit, bool on)
{
    if (on) {
        __atomic_fetch_or(&KemuPreemptionArmed, bit, __ATOMIC_SEQ_CST);
    } else {
        __atomic_fetch_and(&KemuPreemptionArmed, ~bit, __ATOMIC_SEQ_CST);
    }
}

void FollowSchedule(const char *point)
{
    Schedule &schedule = TheSchedule();
    std::unique_lock<std::mutex> guard(schedule.lock);
    ++schedule.hits[point];
    schedule.reached.notify_all();
    for (Step &step : schedule.steps) {
        if (step.used || step.names.at != point) {
            continue;
        }
        step.used = true;
        const std::string until = step.names.until;
        const uint64_t before = schedule.hits[until];
        const uint64_t generation = schedule.generation;
        if (!schedule.reached.wait_for(guard, schedule.patience, [&] {
                return schedule.hits[until] > before || schedule.generation != generation;
            })) {
            schedule.misses.push_back("held at " + std::string(point) + ", " + until + " never came");
        }
        return; // the steps may have changed while this thread was held
    }
}

} // namespace

extern "C" void KemuNamedSchedulingPoint(const char *pszPoint)
{
    const int armed = __atomic_load_n(&KemuPreemptionArmed, __ATOMIC_RELAXED);
    if (armed & kSpinWatchBit) {
        WatchSpin(pszPoint, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
    }
    if (armed & kScheduleBit) {
        FollowSchedule(pszPoint);
    }
    if (armed & kRandomBit) {
        KemuPreemptionPoint();
    }
}

extern "C" void KemuPreemptionPoint(void)
{
    Settings &s = g_settings;
    const uint64_t generation = s.generation.load(std::memory_order_acquire);
    if (t_draws.generation != generation) {
        t_draws.generation = generation;
        t_draws.state = s.seed.load(std::memory_order_relaxed) ^ (s.nextThread.fetch_add(1) * 0xD1B54A32D192ED03ull);
    }
    s.points.fetch_add(1, std::memory_order_relaxed);
    const uint64_t draw = SplitMix(t_draws.state);
    const uint64_t yieldBelow = s.yieldBelow.load(std::memory_order_relaxed);
    if (draw < yieldBelow) {
        s.yields.fetch_add(1, std::memory_order_relaxed);
        std::this_thread::yield();
    } else if (draw - yieldBelow < s.sleepBelow.load(std::memory_order_relaxed)) {
        s.sleeps.fetch_add(1, std::memory_order_relaxed);
        const unsigned longest = s.maxSleepMicroseconds.load(std::memory_order_relaxed);
        std::this_thread::sleep_for(std::chrono::microseconds(1 + SplitMix(t_draws.state) % longest));
    }
}

namespace kemu {

void SetRandomPreemption(uint64_t seed, const PreemptionOptions &options)
{
    Settings &s = g_settings;
    Arm(kRandomBit, false);
    s.seed = seed;
    s.nextThread = 0;
    s.yieldBelow = Threshold(options.yieldProbability);
    s.sleepBelow = Threshold(options.sleepProbability);
    s.maxSleepMicroseconds = options.maxSleepMicroseconds == 0 ? 1 : options.maxSleepMicroseconds;
    s.points = 0;
    s.yields = 0;
    s.sleeps = 0;
    s.generation.fetch_add(1, std::memory_order_release);
    Arm(kRandomBit, true);
}

void StopRandomPreemption() { Arm(kRandomBit, false); }

void SetSpinWatchdog(std::chrono::milliseconds limit)
{
    g_spinLimitMs.store(limit.count(), std::memory_order_relaxed);
    Arm(kSpinWatchBit, limit.count() > 0 && VerifierChecks());
}

std::chrono::milliseconds SpinWatchdog() { return std::chrono::milliseconds(g_spinLimitMs.load()); }

namespace detail {
void ArmSpinWatchdog(bool checks) { Arm(kSpinWatchBit, checks && g_spinLimitMs.load() > 0); }
} // namespace detail

bool RandomPreemptionActive() { return (__atomic_load_n(&KemuPreemptionArmed, __ATOMIC_RELAXED) & kRandomBit) != 0; }

void ForceSchedule(const std::vector<ScheduleStep> &steps, std::chrono::milliseconds patience)
{
    Schedule &schedule = TheSchedule();
    {
        std::lock_guard<std::mutex> guard(schedule.lock);
        schedule.steps.clear();
        for (const ScheduleStep &step : steps) {
            schedule.steps.push_back(Step{step, false});
        }
        schedule.hits.clear();
        schedule.misses.clear();
        schedule.patience = patience;
        ++schedule.generation;
    }
    schedule.reached.notify_all();
    Arm(kScheduleBit, true);
}

void StopForcedSchedule()
{
    Arm(kScheduleBit, false);
    Schedule &schedule = TheSchedule();
    std::lock_guard<std::mutex> guard(schedule.lock);
    schedule.steps.clear();
    ++schedule.generation;
    schedule.reached.notify_all();
}

std::vector<std::string> ForcedScheduleMisses()
{
    Schedule &schedule = TheSchedule();
    std::lock_guard<std::mutex> guard(schedule.lock);
    return schedule.misses;
}

uint64_t SchedulingPointHits(const std::string &point)
{
    Schedule &schedule = TheSchedule();
    std::lock_guard<std::mutex> guard(schedule.lock);
    const auto found = schedule.hits.find(point);
    return found == schedule.hits.end() ? 0 : found->second;
}

PreemptionStats RandomPreemptionStats()
{
    const Settings &s = g_settings;
    return PreemptionStats{s.points.load(), s.yields.load(), s.sleeps.load()};
}

namespace detail {
void ResetPreemption()
{
    StopRandomPreemption();
    StopForcedSchedule();
    g_spinLimitMs.store(kDefaultSpinLimitMs);
    ArmSpinWatchdog(ChecksOn());
}
} // namespace detail

} // namespace kemu
