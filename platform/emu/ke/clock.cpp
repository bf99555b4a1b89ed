// The emulated clock: tick count (KeTickCount) and performance counter, real by default and
// scriptable by tests. The timers (timer.cpp) run on its time: every move of a held count fires
// what fell due, on the thread that moved it.
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "emu/internal/core.h"
#include "emu/kemu/core.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TickClock {
    std::mutex mutex;
    bool frozen = false;
    uint64_t frozenValue = 0;
    uint64_t realBase = 0;       // the count at realOrigin
    Clock::time_point realOrigin = Clock::now();
    std::atomic<unsigned> tornLeft{0};
    std::thread::id mover; // the thread that last set or advanced a held count
};

TickClock &Ticks()
{
    static TickClock *clock = new TickClock;
    return *clock;
}

uint64_t CurrentTicks(TickClock &c)
{
    if (c.frozen) {
        return c.frozenValue;
    }
    return c.realBase + uint64_t((Clock::now() - c.realOrigin) / kemu::kTickInterval);
}

// 100 ns units: the tick count's, plus in real time what has passed of the current tick.
uint64_t CurrentInterruptTime(TickClock &c)
{
    constexpr uint64_t kPerTick = uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(kemu::kTickInterval).count() / 100);
    if (c.frozen) {
        return c.frozenValue * kPerTick;
    }
    return c.realBase * kPerTick + uint64_t((Clock::now() - c.realOrigin) / std::chrono::nanoseconds(100));
}

struct PerformanceCounter {
    std::mutex mutex;
    bool scripted = false;
    std::deque<int64_t> readings;
    int64_t frequency = kemu::kPerformanceFrequency;
    int64_t lastReading = 0;
    Clock::time_point lastTime; // when the last scripted reading was handed out
};

PerformanceCounter &Performance()
{
    static PerformanceCounter *counter = new PerformanceCounter;
    return *counter;
}

int64_t Elapsed(Clock::duration d, int64_t frequency)
{
    // Whole seconds and the rest apart, so that no product overflows 64 bits (and no 128-bit type
    // is needed, which the 32-bit build lacks).
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return ns / 1'000'000'000 * frequency + ns % 1'000'000'000 * frequency / 1'000'000'000;
}

thread_local volatile KSYSTEM_TIME t_tickCount;

// The one copy a kernel image reads as exported data: nobody calls in to refresh it, so the clock's
// setters write it at once and, while the clock runs in real time, a thread every millisecond.
volatile KSYSTEM_TIME g_sharedTickCount;

// Written in the clock interrupt's order: High2Time, LowPart, High1Time. Called with c.mutex held.
void WriteShared(TickClock &c)
{
    const uint64_t value = CurrentTicks(c);
    g_sharedTickCount.High2Time = LONG(value >> 32);
    g_sharedTickCount.LowPart = ULONG(value);
    g_sharedTickCount.High1Time = LONG(value >> 32);
}

} // namespace

extern "C" {

volatile KSYSTEM_TIME *KemuTickCountAccess(void)
{
    TickClock &c = Ticks();
    uint64_t value;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        value = CurrentTicks(c);
    }
    const LONG high = LONG(value >> 32);
    const ULONG low = ULONG(value);
    unsigned torn = c.tornLeft.load();
    while (torn != 0 && !c.tornLeft.compare_exchange_weak(torn, torn - 1)) {
    }
    // The clock interrupt writes High2Time, then LowPart, then High1Time; a torn copy is one caught
    // before its last write, still showing the old high word in High1Time.
    t_tickCount.High2Time = high;
    t_tickCount.LowPart = low;
    t_tickCount.High1Time = torn != 0 ? LONG(ULONG(high) - 1) : high;
    return &t_tickCount;
}

volatile KSYSTEM_TIME *KemuSharedTickCount(void)
{
    static std::once_flag started;
    std::call_once(started, [] {
        std::thread([] {
            TickClock &c = Ticks();
            for (;;) {
                {
                    std::lock_guard<std::mutex> lock(c.mutex);
                    WriteShared(c);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }).detach();
    });
    TickClock &c = Ticks();
    std::lock_guard<std::mutex> lock(c.mutex);
    WriteShared(c);
    return &g_sharedTickCount;
}

ULONG KeQueryTimeIncrement(void)
{
    return ULONG(std::chrono::duration_cast<std::chrono::nanoseconds>(kemu::kTickInterval).count() / 100);
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    PerformanceCounter &pc = Performance();
    LARGE_INTEGER result;
    std::lock_guard<std::mutex> lock(pc.mutex);
    const Clock::time_point now = Clock::now();
    if (!pc.scripted) {
        result.QuadPart = Elapsed(now.time_since_epoch(), pc.frequency);
    } else if (!pc.readings.empty()) {
        pc.lastReading = pc.readings.front();
        pc.readings.pop_front();
        pc.lastTime = now;
        result.QuadPart = pc.lastReading;
    } else {
        result.QuadPart = pc.lastReading + Elapsed(now - pc.lastTime, pc.frequency);
    }
    if (PerformanceFrequency != nullptr) {
        PerformanceFrequency->QuadPart = pc.frequency;
    }
    return result;
}

} // extern "C"

namespace kemu {

uint64_t TickCount()
{
    TickClock &c = Ticks();
    std::lock_guard<std::mutex> lock(c.mutex);
    return CurrentTicks(c);
}

void SetTickCount(uint64_t ticks)
{
    TickClock &c = Ticks();
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        c.frozen = true;
        c.frozenValue = ticks;
        c.mover = std::this_thread::get_id();
        WriteShared(c);
    }
    detail::ExpireTimers();
}

void AdvanceTicks(uint64_t ticks)
{
    TickClock &c = Ticks();
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.frozen) {
            c.frozenValue += ticks;
            c.mover = std::this_thread::get_id();
        } else {
            c.realBase += ticks;
        }
        WriteShared(c);
    }
    detail::ExpireTimers();
}

void UseRealTimeTicks()
{
    TickClock &c = Ticks();
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        c.realBase = CurrentTicks(c);
        c.realOrigin = Clock::now();
        c.frozen = false;
        WriteShared(c);
    }
    detail::ExpireTimers();
}

void InjectTornTickReads(unsigned n) { Ticks().tornLeft = n; }

void ScriptPerformanceCounter(std::vector<int64_t> readings, int64_t frequency)
{
    if (frequency <= 0) {
        throw std::invalid_argument("ScriptPerformanceCounter: the frequency must be positive");
    }
    PerformanceCounter &pc = Performance();
    std::lock_guard<std::mutex> lock(pc.mutex);
    pc.scripted = true;
    pc.readings.assign(readings.begin(), readings.end());
    pc.frequency = frequency;
    pc.lastReading = 0;
    pc.lastTime = Clock::now();
}

void UseRealPerformanceCounter()
{
    PerformanceCounter &pc = Performance();
    std::lock_guard<std::mutex> lock(pc.mutex);
    pc.scripted = false;
    pc.readings.clear();
    pc.frequency = kPerformanceFrequency;
}

size_t ScriptedReadingsLeft()
{
    PerformanceCounter &pc = Performance();
    std::lock_guard<std::mutex> lock(pc.mutex);
    return pc.readings.size();
}

namespace detail {
uint64_t InterruptTime()
{
    TickClock &c = Ticks();
    std::lock_guard<std::mutex> lock(c.mutex);
    return CurrentInterruptTime(c);
}

bool TickCountHeld()
{
    TickClock &c = Ticks();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.frozen;
}

bool MovesHeldClock()
{
    TickClock &c = Ticks();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.frozen && c.mover == std::this_thread::get_id();
}

void ResetClock()
{
    ResetTimers();
    TickClock &c = Ticks();
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        c.frozen = false;
        c.frozenValue = 0;
        c.realBase = 0;
        c.realOrigin = Clock::now();
        WriteShared(c);
    }
    c.tornLeft = 0;
    UseRealPerformanceCounter();
}
} // namespace detail

} // namespace kemu
