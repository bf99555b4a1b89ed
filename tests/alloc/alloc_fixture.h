// Start state of the tests over traced allocation: tracing started, ENTRY lines shown at every level.
#pragma once

#include <cstdio>

#include "debug/debug_fixture.h"
#include "newdel.h"

namespace dvtest {

constexpr ULONG kTracedTag = KX_POOL_TAG('T', 'r', 'c', 'd');
constexpr ULONG kListTag = KX_POOL_TAG('W', 'd', 'm', ' ');

// "0x%08x" of the low 32 bits, as the driver prints addresses.
inline std::string Hex08(const void *p)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%08x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

inline PTRACED_BLOCK_HEADER HeaderOf(void *p) { return static_cast<PTRACED_BLOCK_HEADER>(p) - 1; }

class TracedAllocationTest : public DebugLogTest {
protected:
    // entryLevel: the ENTRY module's level (0 keeps the allocator's lines out of the way).
    explicit TracedAllocationTest(LONG entryLevel = QVDBG_MAX_LEVEL) : m_entryLevel(entryLevel) {}
    void SetUp() override
    {
        DebugLogTest::SetUp();
        DebugIdArray[QVDBG_MODULE_ENTRY].nDebugLevel = m_entryLevel;
        kemu::SetTickCount(1000);
        InitNewDel();
    }
    void TearDown() override
    {
        TermNewDel();
        EXPECT_EQ(kemu::LivePoolBlocks().size(), 0u) << kemu::PoolLeakReport();
        DebugLogTest::TearDown();
    }
    static std::string Line(int level, const std::string &text)
    {
        return "1000 [" + std::to_string(level) + "]DEVIDIDI-ENTRY:" + text;
    }
    static LONG Current() { return __atomic_load_n(&g_nCurrentAllocations, __ATOMIC_RELAXED); }
    static LONG Total() { return __atomic_load_n(&g_nTotalAllocations, __ATOMIC_RELAXED); }

private:
    LONG m_entryLevel;
};

} // namespace dvtest
