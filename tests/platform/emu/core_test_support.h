// Shared by the base-service tests: a fixture that starts and leaves every test with a clean
// emulation, and small helpers.
#ifndef DEVIDIDI_TESTS_PLATFORM_EMU_CORE_TEST_SUPPORT_H
#define DEVIDIDI_TESTS_PLATFORM_EMU_CORE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "emu/kemu/core.h"
#include "kernel.h"

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override { kemu::ResetCore(); }
    void TearDown() override
    {
        EXPECT_EQ(kemu::HeldSpinLocks(), 0u);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(kemu::PoolLeakReport(), "");
        EXPECT_TRUE(kemu::TakeViolations().empty());
        kemu::ResetCore();
    }
};

// How violation details write an address.
inline std::string HexOf(const void *p)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

inline bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The violations recorded since the last take, in order: each rule, and a detail containing each part.
inline void ExpectViolations(kemu::ScopedViolationRecording &recording,
                             const std::vector<std::pair<std::string, std::string>> &expected)
{
    std::vector<kemu::Violation> v = recording.Take();
    ASSERT_EQ(v.size(), expected.size());
    for (size_t i = 0; i < v.size(); ++i) {
        EXPECT_EQ(v[i].rule, expected[i].first);
        EXPECT_TRUE(Contains(v[i].detail, expected[i].second)) << v[i].detail;
    }
}

inline void ExpectOneViolation(kemu::ScopedViolationRecording &recording, const std::string &rule,
                               const std::string &detailPart)
{
    ExpectViolations(recording, {{rule, detailPart}});
}

#endif
