// Shared by the base-service tests: a fixture that starts and leaves every test with a clean
// emulation, and small helpers.
#ifndef DEVIDIDI_TESTS_PLATFORM_EMU_CORE_TEST_SUPPORT_H
#define DEVIDIDI_TESTS_PLATFORM_EMU_CORE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
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

// Exactly one violation was recorded, with this rule and a detail holding this part.
inline void ExpectOneViolation(kemu::ScopedViolationRecording &recording, const std::string &rule,
                               const std::string &detailPart)
{
    std::vector<kemu::Violation> v = recording.Take();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].rule, rule);
    EXPECT_TRUE(Contains(v[0].detail, detailPart)) << v[0].detail;
}

#endif
