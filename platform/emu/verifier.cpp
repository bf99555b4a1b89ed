// Rule violations: reported like a kernel verifier would, then abort or record.
#include "emu/kemu_core.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace kemu {
namespace {
std::mutex g_mutex;
std::vector<Violation> g_recorded;
std::atomic<ViolationMode> g_mode{ViolationMode::Abort};
std::atomic<size_t> g_count{0};
} // namespace

void SetViolationMode(ViolationMode mode) { g_mode = mode; }
ViolationMode GetViolationMode() { return g_mode; }

void ReportViolation(const std::string &rule, const std::string &detail)
{
    ++g_count;
    if (g_mode == ViolationMode::Abort) {
        std::fprintf(stderr, "KERNEL RULE VIOLATION: %s: %s\n", rule.c_str(), detail.c_str());
        std::fflush(stderr);
        std::abort();
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    g_recorded.push_back({rule, detail});
}

std::vector<Violation> TakeViolations()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<Violation> out;
    out.swap(g_recorded);
    return out;
}

size_t ViolationCount() { return g_count; }

} // namespace kemu
