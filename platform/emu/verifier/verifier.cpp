// Rule violations: reported like a kernel verifier would, then abort or record. Also the reset of
// every base service between tests.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <execinfo.h>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "emu/internal/core.h"
#include "emu/kemu/core.h"

namespace kemu {
namespace {
struct Verifier {
    std::mutex mutex;
    std::vector<Violation> recorded;
    std::atomic<ViolationMode> mode{ViolationMode::Abort};
    std::atomic<size_t> count{0};
    std::function<void(const Violation &)> observer;
    std::atomic<long long> watchdogMs{0};
    std::string serving; // under mutex
};

// The calling thread's ScopedCodeName names and callers, outermost first.
struct CodeName {
    std::string name, caller;
};
thread_local std::vector<CodeName> t_codeNames;

// Never destroyed: a thread that exits late may still report.
Verifier &TheVerifier()
{
    static Verifier *verifier = new Verifier;
    return *verifier;
}
} // namespace

namespace detail {
std::atomic<bool> g_verifierChecks{true};
} // namespace detail

bool SetVerifierChecks(bool on)
{
    if (HeldSpinLocks() != 0) {
        std::fprintf(stderr, "kemu: the verifier's checks were not switched %s: this thread holds %zu spin lock(s)\n",
                     on ? "on" : "off", HeldSpinLocks());
        return false;
    }
    detail::g_verifierChecks.store(on, std::memory_order_relaxed);
    detail::ArmSpinWatchdog(on);
    return true;
}

bool VerifierChecks() { return detail::ChecksOn(); }

void SetViolationMode(ViolationMode mode) { TheVerifier().mode = mode; }
ViolationMode GetViolationMode() { return TheVerifier().mode; }

ScopedCodeName::ScopedCodeName(std::string name, std::string caller)
{
    t_codeNames.push_back({std::move(name), std::move(caller)});
}
ScopedCodeName::~ScopedCodeName() { t_codeNames.pop_back(); }

std::string CurrentCodeName()
{
    std::string joined;
    for (const CodeName &code : t_codeNames) {
        joined += (joined.empty() ? "" : " > ") + code.name;
    }
    return joined;
}

void SetWaitWatchdog(std::chrono::milliseconds limit) { TheVerifier().watchdogMs = limit.count(); }
std::chrono::milliseconds WaitWatchdog() { return std::chrono::milliseconds(TheVerifier().watchdogMs.load()); }

void SetServingDriver(const std::string &name)
{
    Verifier &v = TheVerifier();
    std::lock_guard<std::mutex> lock(v.mutex);
    v.serving = name;
}

bool IsServingDriver(const char *name)
{
    Verifier &v = TheVerifier();
    std::lock_guard<std::mutex> lock(v.mutex);
    return !v.serving.empty() && v.serving == name;
}

std::string DriverAtFault()
{
    std::string serving;
    {
        Verifier &v = TheVerifier();
        std::lock_guard<std::mutex> lock(v.mutex);
        serving = v.serving;
    }
    // Return addresses, innermost first; a lookup takes the address before one, inside the call,
    // so that a call that ends its module is still the module's.
    void *frames[128];
    const int count = backtrace(frames, 128);
    FaultText inner, outer; // the serving driver's innermost and outermost frames passed over
    for (int i = 1; i < count; ++i) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(frames[i]);
        const char *name = nullptr;
        uintptr_t base = 0;
        if (at == 0 || !FindModuleCode(at - 1, &name, &base)) {
            continue;
        }
        FaultText code;
        code.Add(name).Add("+").Hex(at - base);
        if (serving.empty() || std::strcmp(name, serving.c_str()) != 0) {
            return std::string(code.Text()) + (outer.Empty() ? "" : std::string(" through ") + outer.Text());
        }
        outer = code;
        if (inner.Empty()) {
            inner = code;
        }
    }
    if (!outer.Empty()) {
        for (auto it = t_codeNames.rbegin(); it != t_codeNames.rend(); ++it) {
            if (!it->caller.empty()) {
                return it->caller + " through " + outer.Text();
            }
        }
    }
    return inner.Text();
}

namespace {
// The detail as reported: the driver at fault and the code names added.
std::string Attributed(const std::string &reported)
{
    const std::string guilty = DriverAtFault();
    const std::string who = CurrentCodeName();
    return reported + (guilty.empty() ? "" : ", by " + guilty) + (who.empty() ? "" : " [in " + who + "]");
}

void Observe(Verifier &v, const std::string &rule, const std::string &detail)
{
    ++v.count;
    std::lock_guard<std::mutex> lock(v.mutex);
    if (v.observer) {
        v.observer(Violation{rule, detail});
    }
}
} // namespace

void StopViolation(const std::string &rule, const std::string &reported)
{
    const std::string detail = Attributed(reported);
    Observe(TheVerifier(), rule, detail);
    Stop(rule + ": " + detail);
}

void ReportViolation(const std::string &rule, const std::string &reported)
{
    const std::string detail = Attributed(reported);
    Verifier &v = TheVerifier();
    Observe(v, rule, detail);
    if (v.mode == ViolationMode::Abort) {
        std::fprintf(stderr, "KERNEL RULE VIOLATION: %s: %s\n", rule.c_str(), detail.c_str());
        std::fflush(stderr);
        std::abort();
    }
    std::lock_guard<std::mutex> lock(v.mutex);
    v.recorded.push_back({rule, detail});
}

std::vector<Violation> TakeViolations()
{
    Verifier &v = TheVerifier();
    std::lock_guard<std::mutex> lock(v.mutex);
    std::vector<Violation> out;
    out.swap(v.recorded);
    return out;
}

size_t ViolationCount() { return TheVerifier().count; }

void SetViolationObserver(std::function<void(const Violation &)> observer)
{
    Verifier &v = TheVerifier();
    std::lock_guard<std::mutex> lock(v.mutex);
    v.observer = std::move(observer);
}

ScopedViolationRecording::ScopedViolationRecording() : m_previous(GetViolationMode())
{
    SetViolationMode(ViolationMode::Record);
}

ScopedViolationRecording::~ScopedViolationRecording() { SetViolationMode(m_previous); }

std::vector<std::string> ScopedViolationRecording::TakeRules()
{
    std::vector<std::string> rules;
    for (Violation &v : TakeViolations()) {
        rules.push_back(std::move(v.rule));
    }
    return rules;
}

size_t ResetCore()
{
    detail::ResetViolations();
    detail::ResetThreadLevelAndLocks();
    detail::ResetClock();
    detail::ResetDebugOutput();
    detail::ResetPreemption();
    return detail::ResetPool();
}

namespace detail {

void ResetViolations()
{
    Verifier &v = TheVerifier();
    std::lock_guard<std::mutex> lock(v.mutex);
    v.recorded.clear();
    v.observer = nullptr;
    v.count = 0;
    v.watchdogMs = 0;
    v.mode = ViolationMode::Abort;
    g_verifierChecks.store(true, std::memory_order_relaxed);
}

std::string Hex(ULONG_PTR value)
{
    char text[2 + 2 * sizeof(ULONG_PTR) + 1];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Hex(const void *p) { return Hex(reinterpret_cast<ULONG_PTR>(p)); }

} // namespace detail
} // namespace kemu
