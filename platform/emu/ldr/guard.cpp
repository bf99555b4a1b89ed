// What is left of an unloaded module: its address range, reserved and inaccessible, so that a call
// or access into it faults; the fault handler turns that into a stop naming the driver, the offset
// and the caller. A stop ends the run: the machine cannot go on from it.
//
// The handler itself only reads tables written before the fault (the unloaded ranges here, the open
// modules and special pool slots in their own sources), formats into a static buffer and write(2)s
// it: no allocation, no stdio, no lock. The rest of the stop (the tool's summary) runs after the
// handler returns, in a call the handler makes the faulting thread take.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include "emu/internal/core.h"
#include "emu/kemu/core.h"
#include "emu/kemu/ldr.h"

namespace kemu {
namespace {

// Written before the range is protected, read by the fault handler without a lock.
struct Guarded {
    uintptr_t begin, end, base;
    char name[120];
};
constexpr size_t kMaxGuarded = 256;
Guarded g_guarded[kMaxGuarded];
std::atomic<size_t> g_guardedCount{0};
std::mutex g_guardLock;
struct sigaction g_previous;
std::function<void(const std::string &)> g_stopHandler;
std::mutex g_stopLock;
// The report of the fault being stopped, from the handler to the rest of the stop.
FaultText g_faultReport;

void OnFault(int signal, siginfo_t *info, void *context);

void WriteAll(const char *text, size_t length)
{
    while (length != 0) {
        const ssize_t n = write(STDERR_FILENO, text, length);
        if (n <= 0) {
            return;
        }
        text += n;
        length -= size_t(n);
    }
}

// What the handler leaves to ordinary code: the stop handler (which may allocate) and the exit.
[[noreturn]] void FinishFaultStop()
{
    std::fflush(stdout);
    std::function<void(const std::string &)> handler;
    if (g_stopLock.try_lock()) {
        handler = g_stopHandler;
        g_stopLock.unlock();
    }
    if (handler) {
        handler(g_faultReport.Text());
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(3);
}

// Reports the stop and sends the faulting thread into FinishFaultStop, on its own stack below
// the faulting frame (and its red zone), as if called from there.
void StopFromHandler(const FaultText &report, void *context)
{
    FaultText line;
    line.Add("*** STOP: ").Add(report.Text()).Add("\n");
    WriteAll(line.Text(), line.Length());
    g_faultReport = report;
    auto *uc = static_cast<ucontext_t *>(context);
#if defined(__x86_64__)
    const uintptr_t sp = ((uintptr_t(uc->uc_mcontext.gregs[REG_RSP]) - 1024) & ~uintptr_t(15)) - sizeof(void *);
    uc->uc_mcontext.gregs[REG_RSP] = greg_t(sp);
    uc->uc_mcontext.gregs[REG_RIP] = greg_t(reinterpret_cast<uintptr_t>(&FinishFaultStop));
#elif defined(__i386__)
    const uintptr_t sp = ((uintptr_t(uc->uc_mcontext.gregs[REG_ESP]) - 1024) & ~uintptr_t(15)) - sizeof(void *);
    uc->uc_mcontext.gregs[REG_ESP] = greg_t(sp);
    uc->uc_mcontext.gregs[REG_EIP] = greg_t(reinterpret_cast<uintptr_t>(&FinishFaultStop));
#else
    (void)uc;
    std::_Exit(3); // no way to leave the handler elsewhere: the report above is all there is
#endif
}

} // namespace

void DescribeCode(uintptr_t address, FaultText &text)
{
    if (DescribeModuleCode(address, text)) {
        return;
    }
    // The dynamic linker's lock is recursive: the faulting thread cannot block on itself here.
    Dl_info found{};
    if (dladdr(reinterpret_cast<void *>(address), &found) == 0) {
        text.Hex(address);
        return;
    }
    if (found.dli_sname != nullptr) {
        text.Add(found.dli_sname).Add("+").Hex(address - uintptr_t(found.dli_saddr));
        return;
    }
    const char *file = found.dli_fname != nullptr ? std::strrchr(found.dli_fname, '/') : nullptr;
    text.Add(file != nullptr ? file + 1 : "?").Add("+").Hex(address - uintptr_t(found.dli_fbase));
}

void InstallFaultHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = &OnFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &g_previous);
    });
}

namespace {

// A fault in a routine outside every driver (a library's copy, say) is its caller's: the first word
// just above the stack pointer that lies in a driver module names it. Leaf routines keep their
// caller's return address there; the window is small enough to stay inside the caller's frame. The
// words are raw stack, red zones of the address sanitizer included: read them unchecked.
__attribute__((no_sanitize_address)) void AddDriverCaller(uintptr_t pc, uintptr_t sp, FaultText &report)
{
    const char *name = nullptr;
    uintptr_t base = 0;
    if (sp == 0 || FindModuleCode(pc, &name, &base)) {
        return;
    }
    constexpr size_t kWords = 32;
    const auto *words = reinterpret_cast<const uintptr_t *>(sp);
    for (size_t i = 0; i < kWords; ++i) {
        if (words[i] != 0 && FindModuleCode(words[i] - 1, &name, &base)) {
            report.Add(", called from ").Add(name).Add("+").Hex(words[i] - base);
            return;
        }
    }
}

void OnFault(int signal, siginfo_t *info, void *context)
{
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    const Guarded *hit = nullptr;
    for (size_t i = 0, n = g_guardedCount.load(std::memory_order_acquire); i < n; ++i) {
        if (address >= g_guarded[i].begin && address < g_guarded[i].end) {
            hit = &g_guarded[i];
        }
    }
    const auto *uc = static_cast<const ucontext_t *>(context);
#if defined(__x86_64__)
    const uintptr_t pc = uc->uc_mcontext.gregs[REG_RIP], sp = uc->uc_mcontext.gregs[REG_RSP];
    const bool write = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#elif defined(__i386__)
    const uintptr_t pc = uc->uc_mcontext.gregs[REG_EIP], sp = uc->uc_mcontext.gregs[REG_ESP];
    const bool write = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#else
    const uintptr_t pc = 0, sp = 0;
    const bool write = false;
#endif
    FaultText report;
    if (hit == nullptr) {
        FaultText block;
        if (const char *broken = SpecialPoolFault(info->si_addr, write, block)) {
            report.Add(broken).Add(": ").Add(block.Text());
            report.Add(", by code at ");
            DescribeCode(pc, report);
            AddDriverCaller(pc, sp, report);
            StopFromHandler(report, context);
            return;
        }
        // Not ours: whoever handled the signal before (a sanitizer, the default crash) does.
        if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
            g_previous.sa_sigaction(signal, info, context);
        } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
            g_previous.sa_handler(signal);
        } else {
            std::signal(signal, SIG_DFL); // the faulting instruction runs again and ends the process
        }
        return;
    }
    if (pc == address && sp != 0) {
        // Executing there: the call's return address is on top of the stack.
        report.Add(rule::kCallIntoUnloadedDriver).Add(": ").Add(hit->name).Add(" at offset ").Hex(address - hit->base);
        report.Add(", called from ");
        DescribeCode(*reinterpret_cast<const uintptr_t *>(sp), report);
    } else {
        report.Add(rule::kAccessToUnloadedDriver).Add(": ").Add(hit->name).Add(" at offset ").Hex(address - hit->base);
        report.Add(", by code at ");
        DescribeCode(pc, report);
    }
    StopFromHandler(report, context);
}

} // namespace
void GuardUnloadedRange(const void *begin, const void *end, const void *base, const std::string &name)
{
    std::lock_guard<std::mutex> lock(g_guardLock);
    const size_t n = g_guardedCount.load(std::memory_order_relaxed);
    if (n == kMaxGuarded) {
        return; // only the reports of later unloads go; the ranges stay reserved all the same
    }
    InstallFaultHandler();
    Guarded &g = g_guarded[n];
    g.begin = uintptr_t(begin);
    g.end = uintptr_t(end);
    g.base = uintptr_t(base);
    std::snprintf(g.name, sizeof g.name, "%s (unloaded)", name.c_str());
    g_guardedCount.store(n + 1, std::memory_order_release);
}

void SetStopHandler(std::function<void(const std::string &)> handler)
{
    std::lock_guard<std::mutex> lock(g_stopLock);
    g_stopHandler = std::move(handler);
}

void Stop(const std::string &report)
{
    std::fflush(stdout);
    std::fprintf(stderr, "*** STOP: %s\n", report.c_str());
    std::fflush(stderr);
    std::function<void(const std::string &)> handler;
    if (g_stopLock.try_lock()) {
        handler = g_stopHandler;
        g_stopLock.unlock();
    }
    if (handler) {
        handler(report);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(3);
}

} // namespace kemu
