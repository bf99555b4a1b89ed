// What is left of an unloaded module: its address range, reserved and inaccessible, so that a call
// or access into it faults; the fault handler turns that into a stop naming the driver, the offset
// and the caller. A stop ends the run: the machine cannot go on from it.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <mutex>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include "core_internal.h"
#include "kemu_core.h"
#include "kemu_ldr.h"

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

std::string Hex(uintptr_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return text;
}

void OnFault(int signal, siginfo_t *info, void *context);

} // namespace

// A code address as a reader wants it: the driver and offset, else the routine, else the file.
std::string DescribeCode(uintptr_t address)
{
    std::string module = ModuleOfCode(reinterpret_cast<const void *>(address));
    if (!module.empty()) {
        return module;
    }
    Dl_info found{};
    if (dladdr(reinterpret_cast<void *>(address), &found) == 0) {
        return Hex(address);
    }
    if (found.dli_sname != nullptr) {
        int status = 0;
        char *plain = abi::__cxa_demangle(found.dli_sname, nullptr, nullptr, &status);
        std::string name = status == 0 && plain != nullptr ? plain : found.dli_sname;
        std::free(plain);
        return name.substr(0, name.find('(')) + "+" + Hex(address - uintptr_t(found.dli_saddr));
    }
    const char *file = found.dli_fname != nullptr ? std::strrchr(found.dli_fname, '/') : nullptr;
    return std::string(file != nullptr ? file + 1 : "?") + "+" + Hex(address - uintptr_t(found.dli_fbase));
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
    if (hit == nullptr) {
        const std::string block = SpecialPoolFault(info->si_addr);
        if (!block.empty()) {
            Stop(std::string(write ? rule::kWritePastPoolBlock : rule::kReadPastPoolBlock) + ": " + block +
                 ", by code at " + DescribeCode(pc));
        }
    }
    if (hit == nullptr) {
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
    const std::string where = std::string(hit->name) + " at offset " + Hex(address - hit->base);
    if (pc == address && sp != 0) {
        // Executing there: the call's return address is on top of the stack.
        Stop(std::string(rule::kCallIntoUnloadedDriver) + ": " + where + ", called from " +
             DescribeCode(*reinterpret_cast<const uintptr_t *>(sp)));
    }
    Stop(std::string(rule::kAccessToUnloadedDriver) + ": " + where + ", by code at " + DescribeCode(pc));
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
