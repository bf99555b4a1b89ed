// Randomized preemption: at kernel-call boundaries a thread may give up its processor for a moment,
// so that interleavings which a quiet machine almost never produces come up in every stress run.
//
// Each thread draws its decisions from its own sequence, derived from the seed and the order in
// which threads first reach a point after SetRandomPreemption. The same seed therefore makes the
// same decisions at the same calls of the same thread; which interleaving follows still depends on
// the host's scheduler, so a seed that failed once is a strong hint, not a guarantee, for a replay.
#include <atomic>
#include <chrono>
#include <thread>

#include "emu/internal/core.h"
#include "emu/kemu/core.h"

// Read inline by the interlocked operations of ddk/base.h: one load when preemption is off.
extern "C" {
int KemuPreemptionArmed = 0;
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

} // namespace

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
    __atomic_store_n(&KemuPreemptionArmed, 0, __ATOMIC_SEQ_CST);
    s.seed = seed;
    s.nextThread = 0;
    s.yieldBelow = Threshold(options.yieldProbability);
    s.sleepBelow = Threshold(options.sleepProbability);
    s.maxSleepMicroseconds = options.maxSleepMicroseconds == 0 ? 1 : options.maxSleepMicroseconds;
    s.points = 0;
    s.yields = 0;
    s.sleeps = 0;
    s.generation.fetch_add(1, std::memory_order_release);
    __atomic_store_n(&KemuPreemptionArmed, 1, __ATOMIC_SEQ_CST);
}

void StopRandomPreemption() { __atomic_store_n(&KemuPreemptionArmed, 0, __ATOMIC_SEQ_CST); }

bool RandomPreemptionActive() { return __atomic_load_n(&KemuPreemptionArmed, __ATOMIC_RELAXED) != 0; }

PreemptionStats RandomPreemptionStats()
{
    const Settings &s = g_settings;
    return PreemptionStats{s.points.load(), s.yields.load(), s.sleeps.load()};
}

namespace detail {
void ResetPreemption() { StopRandomPreemption(); }
} // namespace detail

} // namespace kemu
