// The price of the data path: OnProvideData through the real entry point, with 1 to 64 consumers
// that each get a new-data callback and report the block processed, against (a) a bare memcpy of the
// same blocks into the driver's own ring at the same places, and (b) one lock-free single-producer
// queue per consumer pushed the same bytes. The three run interleaved, repetition by repetition, and
// every ratio is the median of the per-repetition ratios, so that drift of the machine cancels.
//
// The driver is loaded through the emulated I/O manager and its clients join through real control
// requests, with every debug level at 0, as in production, and the emulation's verifier checks
// off, as on a production machine; one line per consumer count is measured with them on. The main
// table runs in one thread, like the provider's call itself: the consumers acknowledge from inside
// their new-data callback. The two-thread table moves the consumers' side to a second thread: the
// callbacks only queue what they were told, and that thread makes the reports (or, for the peer,
// pops the queues).
#include <benchmark/benchmark.h>

#include <boost/lockfree/spsc_queue.hpp>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pthread.h>
#include <sched.h>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver_rig.h"

namespace {

using dvbench::DriverConsumer;
using dvbench::DriverRig;
using dvbench::Fail;
using dvbench::kRingSize;
using dvbench::kStream;
using dvbench::Report;
using dvbench::ReportQueue;

constexpr int kConsumerCounts[] = {1, 4, 16, 64};
constexpr ULONG kBlockSizes[] = {188, 1400, 4096, 65536, 460800};
constexpr ULONG kLargestBlock = 460800;
// The block the verifier-on lines use: the one where the fixed price of a block shows most.
constexpr ULONG kVerifierBlock = 188;
// The two-thread cases, and the blocks one timed section of them provides: few enough that the
// reporting thread can never fall a ring behind (1,000 blocks of 1,400 B are a third of the ring).
constexpr int kTwoThreadConsumers[] = {1, 4, 16};
constexpr ULONG kTwoThreadBlocks[] = {188, 1400};
constexpr size_t kTwoThreadSection = 1000;

using Clock = std::chrono::steady_clock;

// ---- Where it runs ---------------------------------------------------------------------------------

// The two processors of this project's machine differ by up to 2x for the same binary, and a thread
// that moves between them mixes their figures into one median. So each measuring thread is pinned,
// the provider's to the first processor the program may use, the consumers' to the next one, and
// the run says which and what they are.
std::vector<int> AllowedProcessors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> allowed;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &set)) {
                allowed.push_back(cpu);
            }
        }
    }
    return allowed;
}

std::string ProcessorModel(int cpu)
{
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    int current = -1;
    while (std::getline(info, line)) {
        if (line.rfind("processor", 0) == 0) {
            current = std::atoi(line.substr(line.find(':') + 1).c_str());
        } else if (current == cpu && line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "model unknown";
}

// Pins the calling thread and says so; false (and said) when the system refuses.
bool PinTo(int cpu, const char *who)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (pthread_setaffinity_np(pthread_self(), sizeof set, &set) != 0) {
        std::printf("%s: not pinned (processor %d refused)\n", who, cpu);
        return false;
    }
    std::printf("%s: pinned to processor %d (%s)\n", who, cpu, ProcessorModel(cpu).c_str());
    return true;
}

// Short sections and many repetitions: on a shared machine a section that the scheduler interrupts
// is an outlier that the medians drop, and a short one is seldom interrupted. Each case repeats
// until its time is used up, so that the cheap cases gather more repetitions against the noise.
struct Options {
    double caseSeconds = 4.0; // time given to one case, calibration aside
    int minRepetitions = 31;
    int maxRepetitions = 2001;
    double sectionMs = 0.3;   // aimed length of the driver's timed section in one repetition
};
Options g_options;

// ---- (a) the physical limit: memcpy into the driver's own ring, where the driver writes ---------

// The copy writes the same bytes to the same addresses as the driver's section of the same
// repetition, starting at the tail the driver starts from. With a ring of its own the two copies
// met different pages (their own backing, their own TLB reach) and different cache histories, and
// at 64 KiB and 460,800 B that difference outweighed the driver's own work: the plain copy came out
// up to 1.29x slower than the driver that contains it. Over the same memory the copy is a floor.
class MemcpyRing {
public:
    void Place(uint8_t *driverRing) { m_ring = driverRing; }
    // The driver's tail where its section of this repetition starts.
    void StartAt(ULONG tail) { m_tail = tail; }
    void Put(const uint8_t *p, ULONG n)
    {
        ULONG room = kRingSize - m_tail;
        if (n <= room) {
            std::memcpy(m_ring + m_tail, p, n);
            m_tail += n;
            if (m_tail == kRingSize) {
                m_tail = 0;
            }
        } else {
            std::memcpy(m_ring + m_tail, p, room);
            std::memcpy(m_ring, p + room, n - room);
            m_tail = n - room;
        }
        benchmark::ClobberMemory();
    }
    ULONG Tail() const { return m_tail; }

private:
    uint8_t *m_ring = nullptr;
    ULONG m_tail = 0;
};

// ---- (b) the peer: one lock-free single-producer queue of bytes per consumer --------------------

// The consumer acknowledges popped bytes without copying them out (it would read them in place), as
// the driver's consumers do: the cheapest pop the queue offers.
struct DiscardBytes {
    using iterator_category = std::output_iterator_tag;
    using value_type = void;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = void;
    DiscardBytes &operator*() { return *this; }
    DiscardBytes &operator++() { return *this; }
    DiscardBytes operator++(int) { return *this; }
    DiscardBytes &operator=(uint8_t) { return *this; }
};

class QueuePeer {
public:
    using Queue = boost::lockfree::spsc_queue<uint8_t>;

    void SetConsumers(size_t n)
    {
        while (m_queues.size() < n) {
            // Each consumer gets the slack the driver's ring gives it: 4 MiB.
            m_queues.push_back(std::make_unique<Queue>(kRingSize));
            // Touch its pages once, so that page faults stay out of the timing.
            std::vector<uint8_t> fill(kRingSize - 1, 0);
            m_queues.back()->push(fill.data(), fill.size());
            m_queues.back()->pop(DiscardBytes());
        }
        m_active = n;
        m_popped.assign(n, 0);
        m_shortPushes = 0;
    }
    // The provider pushes the block to every consumer's queue; then each consumer takes it.
    void Put(const uint8_t *p, ULONG n)
    {
        Push(p, n);
        PopAll();
    }
    // The two halves, for the two-thread form: the provider's side and the consumers' side.
    void Push(const uint8_t *p, ULONG n)
    {
        for (size_t i = 0; i < m_active; ++i) {
            if (m_queues[i]->push(p, n) != n) {
                ++m_shortPushes;
            }
        }
    }
    uint64_t PopAll()
    {
        uint64_t bytes = 0;
        for (size_t i = 0; i < m_active; ++i) {
            size_t n = m_queues[i]->pop(DiscardBytes());
            m_popped[i] += n;
            bytes += n;
        }
        return bytes;
    }
    uint64_t Popped(size_t i) const { return m_popped[i]; }
    uint64_t ShortPushes() const { return m_shortPushes; }

private:
    std::vector<std::unique_ptr<Queue>> m_queues;
    size_t m_active = 0;
    std::vector<uint64_t> m_popped;
    uint64_t m_shortPushes = 0;
};

// ---- The consumers' thread of the two-thread form ----------------------------------------------

// Drains, on its own thread, what the provider's side left: the reports the driver's callbacks
// queued (made through OnDataProcessed from here), or the bytes in the peer's queues.
class ConsumerThread {
public:
    // Parked it sleeps (the one-thread cases run meanwhile); idle it spins, ready for a section.
    enum Mode { kParked, kIdle, kDriver, kPeer, kStop };

    void Start(ReportQueue *reports, QueuePeer *peer, int cpu)
    {
        m_reports = reports;
        m_peer = peer;
        m_thread = std::thread([this, cpu] {
            if (cpu >= 0) {
                PinTo(cpu, "consumers' thread (two-thread table)");
            }
            Run();
        });
    }
    void Stop()
    {
        m_mode.store(kStop, std::memory_order_release);
        m_thread.join();
    }
    void SetMode(Mode mode) { m_mode.store(mode, std::memory_order_release); }
    // Reports made and peer bytes popped so far.
    uint64_t Done(Mode mode) const
    {
        return (mode == kDriver ? m_reportsDone : m_bytesDone).load(std::memory_order_acquire);
    }

private:
    void Run()
    {
        for (;;) {
            Mode mode = m_mode.load(std::memory_order_acquire);
            if (mode == kStop) {
                return;
            }
            if (mode == kParked) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            uint64_t done = 0;
            if (mode == kDriver) {
                Report r;
                while (m_reports->pop(r)) {
                    r.consumer->pfnDataProcessed(r.consumer->hStream, r.consumer, r.dwSize);
                    ++done;
                }
                if (done != 0) {
                    m_reportsDone.fetch_add(done, std::memory_order_release);
                }
            } else if (mode == kPeer) {
                done = m_peer->PopAll();
                if (done != 0) {
                    m_bytesDone.fetch_add(done, std::memory_order_release);
                }
            }
            if (done == 0) {
                std::this_thread::yield();
            }
        }
    }

    ReportQueue *m_reports = nullptr;
    QueuePeer *m_peer = nullptr;
    std::thread m_thread;
    std::atomic<Mode> m_mode{kParked};
    alignas(64) std::atomic<uint64_t> m_reportsDone{0};
    alignas(64) std::atomic<uint64_t> m_bytesDone{0};
};

// ---- Cases, goals and results -----------------------------------------------------------------

struct Goal {
    std::string text;
    bool met = false;
};

enum class Form { kOneThread, kVerifierOn, kTwoThreads };

struct Result {
    Form form = Form::kOneThread;
    int consumers = 0;
    ULONG blockSize = 0;
    size_t blocksPerSection = 0;
    int repetitions = 0;
    double memcpyNs = 0, driverNs = 0, queueNs = 0; // medians, ns per block (provider's side)
    double ratioA = 0, ratioB = 0;                  // medians of per-repetition ratios
    double ratioALow = 0, ratioAHigh = 0;           // quartiles of ratio a
    double driverLagUs = 0, queueLagUs = 0;         // two threads: consumers' side done after the provider
    std::vector<Goal> goals;
};

struct Rig {
    DriverRig driver;
    MemcpyRing mirror;
    QueuePeer peer;
    ReportQueue reports{64 * kTwoThreadSection};
    ConsumerThread consumerThread;
    std::vector<uint8_t> source;
    std::vector<Result> results;
    uint64_t logLinesBefore = 0;
};
Rig *g_rig = nullptr;

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Quantile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    double at = q * double(v.size() - 1);
    size_t lo = size_t(at);
    size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (at - double(lo));
}

enum Variant { kMemcpy, kDriver, kQueue };

double TimeSection(Variant variant, size_t blocks, ULONG size)
{
    Rig &rig = *g_rig;
    const uint8_t *src = rig.source.data();
    Clock::time_point start = Clock::now();
    switch (variant) {
    case kMemcpy:
        for (size_t i = 0; i < blocks; ++i) {
            rig.mirror.Put(src, size);
        }
        break;
    case kDriver:
        for (size_t i = 0; i < blocks; ++i) {
            rig.driver.Provide(src, size);
        }
        break;
    case kQueue:
        for (size_t i = 0; i < blocks; ++i) {
            rig.peer.Put(src, size);
        }
        break;
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

// The provider's side alone, with the consumers' side on the other thread; the time that thread
// still needs after the provider's last block is the consumers' lag.
double TimeTwoThreadSection(Variant variant, size_t blocks, ULONG size, int consumers, double *lagNs)
{
    Rig &rig = *g_rig;
    if (variant == kMemcpy) {
        *lagNs = 0;
        return TimeSection(kMemcpy, blocks, size);
    }
    const uint8_t *src = rig.source.data();
    const ConsumerThread::Mode mode = variant == kDriver ? ConsumerThread::kDriver : ConsumerThread::kPeer;
    const uint64_t target = rig.consumerThread.Done(mode) +
                            uint64_t(blocks) * uint64_t(consumers) * (variant == kDriver ? 1 : uint64_t(size));
    rig.consumerThread.SetMode(mode);
    Clock::time_point start = Clock::now();
    if (variant == kDriver) {
        for (size_t i = 0; i < blocks; ++i) {
            rig.driver.Provide(src, size);
        }
    } else {
        for (size_t i = 0; i < blocks; ++i) {
            rig.peer.Push(src, size);
        }
    }
    Clock::time_point end = Clock::now();
    while (rig.consumerThread.Done(mode) < target) {
        std::this_thread::yield();
    }
    *lagNs = std::chrono::duration<double, std::nano>(Clock::now() - end).count();
    rig.consumerThread.SetMode(ConsumerThread::kIdle);
    return std::chrono::duration<double, std::nano>(end - start).count();
}

const Result *Find(const std::vector<Result> &results, Form form, int consumers, ULONG block)
{
    for (const Result &r : results) {
        if (r.form == form && r.consumers == consumers && r.blockSize == block) {
            return &r;
        }
    }
    return nullptr;
}

// The goals of one case, verifier off; the two-thread goal compares with the one-thread case.
std::vector<Goal> GoalsOf(const Result &r, const std::vector<Result> &all)
{
    std::vector<Goal> goals;
    char text[96];
    const double perBlock = r.driverNs - r.memcpyNs;
    const double perConsumer = perBlock / r.consumers;
    if (r.form == Form::kVerifierOn) {
        return goals;
    }
    if (r.form == Form::kTwoThreads) {
        if (r.consumers == 4 && r.blockSize == 1400) {
            if (const Result *one = Find(all, Form::kOneThread, 4, 1400)) {
                std::snprintf(text, sizeof text, "<= 1.5x one thread (%.1f ns)", one->driverNs);
                goals.push_back({text, r.driverNs <= 1.5 * one->driverNs});
            }
            goals.push_back({"b > 1", r.ratioB > 1.0});
        }
        return goals;
    }
    if ((r.blockSize == 188 || r.blockSize == 1400) && r.consumers >= 4) {
        goals.push_back({"<= 10 ns/cons", perConsumer <= 10.0});
    }
    if (r.blockSize == 188 && r.consumers == 1) {
        goals.push_back({"<= 25 ns/blk above a", perBlock <= 25.0});
    }
    auto ratioAtLeast = [&](double limit) {
        std::snprintf(text, sizeof text, "a >= %.2f", limit);
        goals.push_back({text, r.ratioA >= limit});
    };
    if (r.blockSize == 460800 && r.consumers <= 16) {
        ratioAtLeast(0.97);
    }
    if (r.blockSize == 65536) {
        ratioAtLeast(r.consumers <= 4 ? 0.95 : r.consumers == 16 ? 0.90 : 0.80);
    }
    if (r.consumers >= 4) {
        goals.push_back({"b > 1", r.ratioB > 1.0});
    } else if (r.blockSize == 188) {
        goals.push_back({"b >= 1/3", r.ratioB >= 1.0 / 3.0});
    }
    return goals;
}

// One case: the same blocks through the three variants, interleaved per repetition. The queues go
// first: with many consumers their pass drives the ring out of the caches, so the plain copy and
// the driver then start from the same state, over the same addresses; the two swap places every
// repetition.
void RunCase(benchmark::State &state, Form form)
{
    Rig &rig = *g_rig;
    const int consumers = int(state.range(0));
    const ULONG size = ULONG(state.range(1));
    const bool twoThreads = form == Form::kTwoThreads;

    rig.driver.SetConsumers(size_t(consumers));
    rig.peer.SetConsumers(size_t(consumers));
    rig.mirror.StartAt(rig.driver.Tail());
    std::vector<uint64_t> blocksBefore;
    for (const auto &c : rig.driver.Consumers()) {
        blocksBefore.push_back(c->nBlocks);
    }
    uint64_t completedBefore = rig.driver.Completions();
    uint64_t provided = 0;
    dvbench::g_reportQueue = twoThreads ? &rig.reports : nullptr;
    if (twoThreads) {
        rig.consumerThread.SetMode(ConsumerThread::kIdle);
    }

    // The verifier-on form times the driver twice per repetition, with the checks off and on, in
    // place of the queues.
    auto section = [&](Variant v, size_t blocks, double *lagNs) {
        *lagNs = 0;
        if (form == Form::kVerifierOn && v == kQueue) {
            if (!kemu::SetVerifierChecks(true)) {
                Fail("the verifier's checks could not be switched on");
            }
            double ns = TimeSection(kDriver, blocks, size);
            if (!kemu::SetVerifierChecks(false)) {
                Fail("the verifier's checks could not be switched off");
            }
            provided += blocks;
            return ns;
        }
        return twoThreads ? TimeTwoThreadSection(v, blocks, size, consumers, lagNs) : TimeSection(v, blocks, size);
    };

    // Calibration, which also warms caches and pages; then as many blocks per section as make the
    // driver's section last about sectionMs (the two-thread sections are a fixed count).
    const size_t wrap = (kRingSize + size - 1) / size + 1;
    size_t probe = twoThreads ? kTwoThreadSection : std::max<size_t>(8, std::min<size_t>(wrap, 20000));
    double probeNs = 0, lag = 0;
    for (Variant v : {kMemcpy, kQueue, kDriver}) {
        rig.mirror.StartAt(rig.driver.Tail());
        double ns = section(v, probe, &lag);
        if (v == kDriver) {
            probeNs = ns;
            provided += probe;
        }
    }
    size_t blocks = twoThreads ? kTwoThreadSection
                               : std::max<size_t>(1, size_t(g_options.sectionMs * 1e6 /
                                                            std::max(1.0, probeNs / double(probe))));

    // Whichever of the plain copy and the driver runs right after the queues pays for the lines the
    // queues left dirty, and at 64 KiB and more that price outweighs the driver's own work: per
    // repetition the ratio then swings between two modes, and a median can land above 1. So the
    // figures come from pairs of repetitions, one in each order, where both pay it once.
    std::vector<double> a, d, b, ra, rb, lagD, lagB;
    double first[3] = {0, 0, 0};
    for (auto _ : state) {
        const Clock::time_point caseStart = Clock::now();
        double driverNs = 0;
        for (int repetition = 0; repetition < g_options.maxRepetitions || repetition % 2 != 0; ++repetition) {
            if (repetition % 2 == 0 && repetition >= g_options.minRepetitions &&
                std::chrono::duration<double>(Clock::now() - caseStart).count() >
                    g_options.caseSeconds * (form == Form::kOneThread ? 1.0 : 0.5)) {
                break;
            }
            double t[3] = {0, 0, 0};
            double lags[3] = {0, 0, 0};
            static const Variant orders[2][3] = {{kQueue, kMemcpy, kDriver}, {kQueue, kDriver, kMemcpy}};
            ULONG pairTail = 0;
            for (Variant v : orders[repetition % 2]) {
                if (v == kMemcpy) {
                    rig.mirror.StartAt(pairTail);
                }
                t[v] = section(v, blocks, &lags[v]);
                if (v == kQueue) {
                    pairTail = rig.driver.Tail(); // the verifier form's first slot moved it
                }
            }
            provided += blocks;
            driverNs += t[kDriver];
            lagD.push_back(lags[kDriver]);
            lagB.push_back(lags[kQueue]);
            if (repetition % 2 == 0) {
                std::copy(std::begin(t), std::end(t), std::begin(first));
                continue;
            }
            const double pairA = first[kMemcpy] + t[kMemcpy], pairD = first[kDriver] + t[kDriver];
            const double pairB = first[kQueue] + t[kQueue];
            a.push_back(pairA / double(2 * blocks));
            d.push_back(pairD / double(2 * blocks));
            b.push_back(pairB / double(2 * blocks));
            ra.push_back(pairA / pairD);
            rb.push_back(pairB / pairD);
        }
        state.SetIterationTime(driverNs * 1e-9);
    }
    dvbench::g_reportQueue = nullptr;
    rig.consumerThread.SetMode(ConsumerThread::kParked);

    // The driver really did the work: every consumer told of every block, nothing lost, every buffer
    // handed back, and its ring holds what the plain copy holds.
    for (size_t i = 0; i < rig.driver.Consumers().size(); ++i) {
        const DriverConsumer &c = *rig.driver.Consumers()[i];
        if (c.nBlocks - blocksBefore[i] != provided || c.nLostNotices != 0 || c.dwLastSize != size) {
            Fail("consumer " + std::to_string(i) + " was told of " + std::to_string(c.nBlocks - blocksBefore[i]) +
                 " of " + std::to_string(provided) + " blocks, lost-bytes notices " + std::to_string(c.nLostNotices));
        }
    }
    if (rig.driver.Completions() - completedBefore != provided) {
        Fail("the provider got " + std::to_string(rig.driver.Completions() - completedBefore) + " of " +
             std::to_string(provided) + " buffers back");
    }
    bool lastBlockThere = true;
    for (ULONG i = 0; i < size; ++i) {
        lastBlockThere &= rig.driver.Ring()[(rig.driver.Tail() + kRingSize - size + i) % kRingSize] == rig.source[i];
    }
    if (rig.driver.Tail() != rig.mirror.Tail() || !lastBlockThere) {
        Fail("the driver's ring does not end with the last block where the plain copy put it");
    }
    if (rig.peer.ShortPushes() != 0) {
        Fail("a queue refused bytes");
    }

    Result r;
    r.form = form;
    r.consumers = consumers;
    r.blockSize = size;
    r.blocksPerSection = blocks;
    r.repetitions = int(2 * d.size());
    r.memcpyNs = Median(a);
    r.driverNs = Median(d);
    r.queueNs = Median(b);
    r.ratioA = Median(ra);
    r.ratioB = Median(rb);
    r.ratioALow = Quantile(ra, 0.25);
    r.ratioAHigh = Quantile(ra, 0.75);
    r.driverLagUs = Median(lagD) / 1000;
    r.queueLagUs = Median(lagB) / 1000;
    rig.results.push_back(r);

    state.SetItemsProcessed(int64_t(blocks) * int64_t(d.size()));
    state.counters["a_ns"] = r.memcpyNs;
    state.counters["drv_ns"] = r.driverNs;
    state.counters["b_ns"] = r.queueNs;
    state.counters["ratio_a"] = r.ratioA;
    state.counters["ratio_b"] = r.ratioB;
}

void BM_DataPath(benchmark::State &state) { RunCase(state, Form::kOneThread); }
void BM_DataPathVerifierOn(benchmark::State &state) { RunCase(state, Form::kVerifierOn); }
void BM_DataPathTwoThreads(benchmark::State &state) { RunCase(state, Form::kTwoThreads); }

std::string GoalText(const std::vector<Goal> &goals, int &met, int &missed)
{
    std::string text;
    for (const Goal &g : goals) {
        text += (text.empty() ? "" : ", ") + g.text + (g.met ? " met" : " MISSED");
        (g.met ? met : missed) += 1;
    }
    return text;
}

void PrintTable(std::vector<Result> &results)
{
    int met = 0, missed = 0;
    for (Result &r : results) {
        r.goals = GoalsOf(r, results);
    }

    std::printf("\nData path, 4 MiB ring, one thread, verifier checks OFF; medians of the paired repetitions (reps).\n");
    std::printf("ns/blk: per provided block. ns/cons: driver's cost above the plain copy, per consumer.\n");
    std::printf("ratio a = time(memcpy)/time(driver) [quartiles]; ratio b = time(queues)/time(driver).\n\n");
    std::printf("%5s %8s %5s | %10s %10s %10s | %8s | %7s %15s %8s | %s\n", "cons", "block", "reps", "a ns/blk",
                "drv ns/blk", "b ns/blk", "ns/cons", "ratio a", "", "ratio b", "goals");
    for (const Result &r : results) {
        if (r.form != Form::kOneThread) {
            continue;
        }
        char quartiles[32];
        std::snprintf(quartiles, sizeof quartiles, "[%.3f-%.3f]", r.ratioALow, r.ratioAHigh);
        std::printf("%5d %8lu %5d | %10.1f %10.1f %10.1f | %8.2f | %7.3f %15s %8.2f | %s\n", r.consumers,
                    static_cast<unsigned long>(r.blockSize), r.repetitions, r.memcpyNs, r.driverNs, r.queueNs,
                    (r.driverNs - r.memcpyNs) / r.consumers, r.ratioA, quartiles, r.ratioB,
                    GoalText(r.goals, met, missed).c_str());
    }

    std::printf("\nThe driver with the verifier checks OFF and ON (the emulation's lock, level and pool bookkeeping),\n");
    std::printf("timed in the same repetitions; on/off: median of time(on)/time(off).\n\n");
    std::printf("%5s %8s %5s | %10s %10s %10s | %8s %8s | %6s\n", "cons", "block", "reps", "a ns/blk", "off ns/blk",
                "on ns/blk", "off/cons", "on/cons", "on/off");
    for (const Result &r : results) {
        if (r.form != Form::kVerifierOn) {
            continue;
        }
        std::printf("%5d %8lu %5d | %10.1f %10.1f %10.1f | %8.2f %8.2f | %6.2f\n", r.consumers,
                    static_cast<unsigned long>(r.blockSize), r.repetitions, r.memcpyNs, r.driverNs, r.queueNs,
                    (r.driverNs - r.memcpyNs) / r.consumers, (r.queueNs - r.memcpyNs) / r.consumers, r.ratioB);
    }

    std::printf("\nTwo threads, verifier checks OFF: the provider on one, the consumers' reports (driver) or pops\n");
    std::printf("(queues) on another; ns/blk on the provider's side, lag: the consumers' side still busy after the\n");
    std::printf("provider's last block of a %zu-block section.\n\n", kTwoThreadSection);
    std::printf("%5s %8s %5s | %10s %10s %10s | %8s | %11s %11s | %s\n", "cons", "block", "reps", "a ns/blk",
                "drv ns/blk", "b ns/blk", "ratio b", "drv lag us", "b lag us", "goals");
    for (const Result &r : results) {
        if (r.form != Form::kTwoThreads) {
            continue;
        }
        std::printf("%5d %8lu %5d | %10.1f %10.1f %10.1f | %8.2f | %11.1f %11.1f | %s\n", r.consumers,
                    static_cast<unsigned long>(r.blockSize), r.repetitions, r.memcpyNs, r.driverNs, r.queueNs,
                    r.ratioB, r.driverLagUs, r.queueLagUs, GoalText(r.goals, met, missed).c_str());
    }
    std::printf("\nGoals met: %d, missed: %d.\n", met, missed);
}

} // namespace

int main(int argc, char **argv)
{
    dvbench::g_program = "dv_data_path_bench";
    // The program's own options through CLI11; Google Benchmark's --benchmark_* go to it unread.
    bool quick = false;
    CLI::App app("dv_data_path_bench: the data path's figures, against their goals.", "dv_data_path_bench");
    app.add_flag("--quick", quick, "a short run: 0.3 s per case, at least 15 repetitions")->disable_flag_override();
    app.footer("Google Benchmark's own options (--benchmark_filter=REGEX, --benchmark_format=json, ...) pass through.");
    app.allow_windows_style_options(false);
    std::vector<std::string> own;
    std::vector<char *> args{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--benchmark_", 12) == 0) {
            args.push_back(argv[i]);
        } else {
            own.insert(own.begin(), argv[i]); // CLI11 takes them last first
        }
    }
    try {
        app.parse(own);
    } catch (const CLI::CallForHelp &) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError &error) {
        const bool extra = dynamic_cast<const CLI::ExtrasError *>(&error) != nullptr && !app.remaining().empty();
        std::fprintf(stderr, "dv_data_path_bench: %s: besides Google Benchmark's options only --quick is known\n",
                     extra ? ("unknown argument '" + app.remaining().front() + "'").c_str() : error.what());
        return 2;
    }
    if (quick) {
        g_options.caseSeconds = 0.3;
        g_options.minRepetitions = 15;
    }
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        std::fprintf(stderr, "dv_data_path_bench: besides Google Benchmark's options only --quick is known\n");
        return 2;
    }

    auto add = [](const char *name, void (*fn)(benchmark::State &), int consumers, ULONG size) {
        benchmark::RegisterBenchmark(name, fn)
            ->Args({consumers, long(size)})
            ->ArgNames({"consumers", "block"})
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
    };
    for (int consumers : kConsumerCounts) {
        for (ULONG size : kBlockSizes) {
            add("DataPath", BM_DataPath, consumers, size);
        }
    }
    for (int consumers : kConsumerCounts) {
        add("DataPathVerifierOn", BM_DataPathVerifierOn, consumers, kVerifierBlock);
    }
    for (int consumers : kTwoThreadConsumers) {
        for (ULONG size : kTwoThreadBlocks) {
            add("DataPathTwoThreads", BM_DataPathTwoThreads, consumers, size);
        }
    }

    Rig rig;
    g_rig = &rig;
    rig.source.resize(kLargestBlock);
    for (size_t i = 0; i < rig.source.size(); ++i) {
        rig.source[i] = uint8_t(i * 131 + 7);
    }
    rig.driver.Start();
    rig.mirror.Place(rig.driver.Ring());
    // As on a production machine: no verifier. Loading and joining above ran with it.
    if (!kemu::SetVerifierChecks(false)) {
        Fail("the verifier's checks could not be switched off");
    }
    // The provider's thread on the first processor allowed, the consumers' on the next (or the same).
    const std::vector<int> cpus = AllowedProcessors();
    if (!cpus.empty()) {
        PinTo(cpus[0], "measuring thread");
    }
    rig.consumerThread.Start(&rig.reports, &rig.peer, cpus.empty() ? -1 : cpus[cpus.size() > 1 ? 1 : 0]);

    benchmark::RunSpecifiedBenchmarks();

    rig.consumerThread.Stop();
    // With every level at 0 the data path writes no log line at all.
    size_t logLines = kemu::DebugService::Lines().size();
    kemu::SetVerifierChecks(true);
    rig.driver.Stop();
    PrintTable(rig.results);
    std::printf("Log lines written by the driver during the run: %zu.\n", logLines);
    benchmark::Shutdown();
    g_rig = nullptr;
    return 0;
}
