// Shared by the fuzz targets: the emulation's rule violations are findings, so each input runs in
// Record mode and a violation stops the run with its report and the input's size.
#ifndef DEVIDIDI_TESTS_FUZZ_SUPPORT_H
#define DEVIDIDI_TESTS_FUZZ_SUPPORT_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "emu/kemu/kemu.h"

namespace dvfuzz {

// The input, read a byte at a time; past its end every byte reads 0.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : m_data(data), m_left(size) {}
    bool Empty() const { return m_left == 0; }
    uint8_t Byte()
    {
        if (m_left == 0) {
            return 0;
        }
        --m_left;
        return *m_data++;
    }
    uint16_t U16() { return uint16_t(Byte() | Byte() << 8); }
    uint32_t U32() { return uint32_t(U16()) | uint32_t(U16()) << 16; }
    void Fill(void *to, size_t n)
    {
        auto *bytes = static_cast<uint8_t *>(to);
        for (size_t i = 0; i < n; ++i) {
            bytes[i] = Byte();
        }
    }
    // One of the choices, by the next byte.
    template <typename T, size_t N>
    const T &Pick(const T (&choices)[N])
    {
        return choices[Byte() % N];
    }

private:
    const uint8_t *m_data;
    size_t m_left;
};

// A finding: said on stderr, then an abort, so that libFuzzer saves the input.
[[noreturn]] __attribute__((format(printf, 1, 2))) inline void Finding(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
    std::abort();
}

// Every violation of the current input, also those that the code under test takes away itself.
class ViolationLog {
public:
    // Record mode, and the observer that fills the log (ResetCore removes both).
    void Start()
    {
        m_seen.clear();
        kemu::SetViolationMode(kemu::ViolationMode::Record);
        kemu::SetViolationObserver([this](const kemu::Violation &v) { m_seen.push_back(v); });
    }
    // Aborts (a crash, the input saved) on a broken kernel rule that accounted() does not name as
    // meant; returns how many it named.
    template <typename Accounted>
    size_t FailOnViolations(const char *target, size_t inputSize, Accounted accounted)
    {
        std::vector<kemu::Violation> findings;
        size_t named = 0;
        for (const kemu::Violation &v : m_seen) {
            if (accounted(v)) {
                std::fprintf(stderr, "%s: accounted for: %s: %s\n", target, v.rule.c_str(), v.detail.c_str());
                ++named;
            } else {
                findings.push_back(v);
            }
        }
        if (findings.empty()) {
            return named;
        }
        std::fprintf(stderr, "%s: the input (%zu bytes) broke %zu kernel rule(s):\n", target, inputSize,
                     findings.size());
        for (const kemu::Violation &v : findings) {
            std::fprintf(stderr, "  KERNEL RULE VIOLATION: %s: %s\n", v.rule.c_str(), v.detail.c_str());
        }
        std::fflush(stderr);
        std::abort();
    }
    void FailOnViolations(const char *target, size_t inputSize)
    {
        FailOnViolations(target, inputSize, [](const kemu::Violation &) { return false; });
    }
private:
    std::vector<kemu::Violation> m_seen;
};

// Aborts when the input left pool blocks behind although nothing was made to fail.
inline void FailOnLeaks(const char *target, size_t inputSize)
{
    const std::string leaks = kemu::PoolLeakReport();
    if (!leaks.empty()) {
        Finding("%s: the input (%zu bytes) left pool blocks behind:\n%s", target, inputSize, leaks.c_str());
    }
}

} // namespace dvfuzz

#endif
