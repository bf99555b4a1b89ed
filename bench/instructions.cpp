// The data path's price in instructions: fixed runs that repeat exactly, for callgrind, whose counts
// do not move with the processor a run lands on or with the machine's neighbours, as times do.
//
//   dv_instructions --run        under callgrind (scripts/instructions.sh runs it so): each case
//                                provides N and then 2N blocks of 188 bytes, one dump each
//   dv_instructions --read FILE... reads those dumps and prints a line per case
//
// Every debug level is 0 and the verifier's checks are off, as on a production machine. The cases:
// 1, 4 and 16 consumers that report each block from their new-data callback, and 4 consumers whose
// callbacks queue the report for a thread of their own, which reports; for those only the reporting
// thread is counted. A block's price is the difference between the 2N and the N run, divided by
// N, so that what a run costs once (the loop, the dump) drops out; a further consumer's is the
// difference to the one-consumer case per consumer added.
//
// Locked instructions (a lock prefix, or an exchange with memory, which locks without one) are
// found by reading each counted instruction of this program's own code at its address: the program
// is linked at a fixed address, so that the addresses in the dumps are its addresses when it reads
// them. Code of the system's libraries (memcpy) is counted in the totals but not searched for locks:
// the data path calls nothing there that locks.
#include <valgrind/callgrind.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "driver_rig.h"

namespace {

using dvbench::DriverConsumer;
using dvbench::DriverRig;
using dvbench::Fail;

constexpr ULONG kBlock = 188;
constexpr size_t kBlocks = 1000;  // N
constexpr size_t kWarmUp = 200;
constexpr int kCallbackConsumers[] = {1, 4, 16};
constexpr int kThreadConsumers = 4;

std::string DumpName(const std::string &form, int consumers, size_t blocks)
{
    return form + " " + std::to_string(consumers) + " " + std::to_string(blocks);
}

void ProvideBlocks(DriverRig &rig, const std::vector<UCHAR> &block, size_t blocks)
{
    for (size_t i = 0; i < blocks; ++i) {
        rig.Provide(block.data(), kBlock);
    }
}

// The consumers' own thread: on each request it reports everything queued, counted.
class Reporter {
public:
    explicit Reporter(dvbench::ReportQueue &queue) : m_queue(queue), m_thread([this] { Main(); }) {}
    ~Reporter()
    {
        Ask(Job::Stop);
        m_thread.join();
    }
    // Reports what is queued, counted under the dump's name (or uncounted with an empty name).
    void ReportQueued(const std::string &dumpName)
    {
        m_dumpName = dumpName;
        Ask(Job::Report);
    }

private:
    enum class Job { None, Report, Stop };
    void Ask(Job job)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_job = job;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_job == Job::None || (m_job == Job::Stop && m_stopped); });
    }
    void Main()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            m_changed.wait(lock, [this] { return m_job != Job::None; });
            if (m_job == Job::Stop) {
                m_stopped = true;
                m_changed.notify_all();
                return;
            }
            // The provider's thread sleeps on the condition meanwhile: only this thread runs.
            const bool counted = !m_dumpName.empty();
            if (counted) {
                CALLGRIND_ZERO_STATS;
                CALLGRIND_TOGGLE_COLLECT;
            }
            dvbench::Report report;
            while (m_queue.pop(report)) {
                report.consumer->pfnDataProcessed(report.consumer->hStream, report.consumer, report.dwSize);
            }
            if (counted) {
                CALLGRIND_TOGGLE_COLLECT;
                CALLGRIND_DUMP_STATS_AT(m_dumpName.c_str());
            }
            m_job = Job::None;
            m_changed.notify_all();
        }
    }
    dvbench::ReportQueue &m_queue;
    std::mutex m_lock;
    std::condition_variable m_changed;
    Job m_job = Job::None;
    bool m_stopped = false;
    std::string m_dumpName;
    std::thread m_thread;
};

int Run()
{
    DriverRig rig;
    rig.Start();
    if (!kemu::SetVerifierChecks(false)) {
        Fail("the verifier's checks could not be switched off");
    }
    std::vector<UCHAR> block(kBlock);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = UCHAR(i * 131 + 7);
    }
    for (int consumers : kCallbackConsumers) {
        rig.SetConsumers(size_t(consumers));
        ProvideBlocks(rig, block, kWarmUp);
        for (size_t blocks : {kBlocks, 2 * kBlocks}) {
            // Named: the request reads the text after the statement that hands it over.
            const std::string dumpName = DumpName("callbacks", consumers, blocks);
            CALLGRIND_ZERO_STATS;
            CALLGRIND_TOGGLE_COLLECT;
            ProvideBlocks(rig, block, blocks);
            CALLGRIND_TOGGLE_COLLECT;
            CALLGRIND_DUMP_STATS_AT(dumpName.c_str());
        }
    }
    rig.SetConsumers(size_t(kThreadConsumers));
    dvbench::ReportQueue queue(kThreadConsumers * (2 * kBlocks + kWarmUp));
    dvbench::g_reportQueue = &queue;
    {
        Reporter reporter(queue);
        ProvideBlocks(rig, block, kWarmUp);
        reporter.ReportQueued("");
        for (size_t blocks : {kBlocks, 2 * kBlocks}) {
            ProvideBlocks(rig, block, blocks);
            reporter.ReportQueued(DumpName("thread", kThreadConsumers, blocks));
        }
    }
    dvbench::g_reportQueue = nullptr;
    for (const auto &consumer : rig.Consumers()) {
        if (consumer->nLostNotices != 0) {
            Fail("a consumer lost bytes: the runs would not be the data path's usual one");
        }
    }
    kemu::SetVerifierChecks(true);
    rig.Stop();
    return 0;
}

// ---- Reading the dumps ----------------------------------------------------------------------------

// An instruction that locks the bus: a lock prefix among its prefixes, or xchg with a memory operand.
bool LocksAt(uintptr_t address)
{
    const auto *p = reinterpret_cast<const uint8_t *>(address);
    for (int i = 0; i < 14; ++i, ++p) {
        const uint8_t b = *p;
        if (b == 0xF0) {
            return true;
        }
        const bool legacyPrefix = b == 0x26 || b == 0x2E || b == 0x36 || b == 0x3E || b == 0x64 || b == 0x65 ||
                                  b == 0x66 || b == 0x67 || b == 0xF2 || b == 0xF3;
        if (!legacyPrefix) {
            break;
        }
    }
    if (sizeof(void *) == 8 && (*p & 0xF0) == 0x40) {
        ++p; // REX
    }
    return (p[0] == 0x86 || p[0] == 0x87) && (p[1] & 0xC0) != 0xC0;
}

struct Dump {
    uint64_t instructions = 0;
    uint64_t locked = 0;
};

// A dump written with --dump-instr=yes --dump-line=no --compress-pos=no --compress-strings=no: each cost line is
// "0xADDRESS COUNT"; the line after "calls=" is the call's inclusive cost and is not the caller's own.
bool ReadDump(const std::string &path, const std::string &self, std::string &name, Dump &dump)
{
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    const std::string trigger = "desc: Trigger: Client Request: ";
    std::string line, object;
    bool callCost = false;
    while (std::getline(in, line)) {
        if (line.rfind(trigger, 0) == 0) {
            name = line.substr(trigger.size());
        } else if (line.rfind("ob=", 0) == 0) {
            object = line.substr(3);
        } else if (line.rfind("calls=", 0) == 0) {
            callCost = true;
        } else if (line.rfind("0x", 0) == 0) {
            if (callCost) {
                callCost = false;
                continue;
            }
            std::istringstream fields(line);
            std::string at;
            uint64_t count = 0;
            fields >> at >> count;
            dump.instructions += count;
            if (object == self && LocksAt(uintptr_t(std::stoull(at, nullptr, 16)))) {
                dump.locked += count;
            }
        }
    }
    return true;
}

int Read(const std::vector<std::string> &paths)
{
    char selfPath[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", selfPath, sizeof selfPath - 1);
    if (length <= 0) {
        Fail("cannot tell where this program lies");
    }
    std::map<std::string, Dump> dumps;
    for (const std::string &path : paths) {
        std::string name;
        Dump dump;
        if (!ReadDump(path, selfPath, name, dump)) {
            Fail("cannot read " + path);
        }
        if (!name.empty()) {
            dumps[name] = dump;
        }
    }
    // Per block (or per report): the 2N run less the N run, over N.
    auto per = [&](const std::string &form, int consumers, bool locked) {
        auto small = dumps.find(DumpName(form, consumers, kBlocks));
        auto large = dumps.find(DumpName(form, consumers, 2 * kBlocks));
        if (small == dumps.end() || large == dumps.end()) {
            Fail("no dump of " + form + " with " + std::to_string(consumers) + " consumers");
        }
        const double a = double(locked ? small->second.locked : small->second.instructions);
        const double b = double(locked ? large->second.locked : large->second.instructions);
        return (b - a) / double(kBlocks);
    };
    const double one = per("callbacks", 1, false);
    for (int consumers : kCallbackConsumers) {
        const double block = per("callbacks", consumers, false);
        char further[32] = "-";
        if (consumers > 1) {
            std::snprintf(further, sizeof further, "%.0f", (block - one) / double(consumers - 1));
        }
        std::printf("instructions: consumers %d block %lu: per block %.0f, per further consumer %s, locked per block %.0f\n",
                    consumers, static_cast<unsigned long>(kBlock), block, further, per("callbacks", consumers, true));
    }
    // The thread's run reports every consumer's share of each block: one report per block and consumer.
    std::printf("instructions: consumers %d block %lu reporting from another thread: per report %.0f, locked per report %.0f\n",
                kThreadConsumers, static_cast<unsigned long>(kBlock), per("thread", kThreadConsumers, false) / kThreadConsumers,
                per("thread", kThreadConsumers, true) / kThreadConsumers);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    dvbench::g_program = "dv_instructions";
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--run" && argc == 2) {
        return Run();
    }
    if (mode == "--read" && argc > 2) {
        return Read(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "usage: dv_instructions --run | --read CALLGRIND-DUMP...\n"
                         "  (scripts/instructions.sh runs it under callgrind and reads what it wrote)\n");
    return 2;
}
