// Common start state of the debug log tests: every level 0, the output service answered, a known tick.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emu/kemu/kemu.h"
#include "krnl_dbg.h"

namespace dvtest {

inline void SetAllDebugLevels(LONG level)
{
    for (DEBUG_ID_ENTRY &entry : DebugIdArray) {
        entry.nDebugLevel = level;
    }
}

inline std::vector<LONG> DebugLevels()
{
    std::vector<LONG> levels;
    for (const DEBUG_ID_ENTRY &entry : DebugIdArray) {
        levels.push_back(entry.nDebugLevel);
    }
    return levels;
}

class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kemu::ResetCore();
        SetAllDebugLevels(0);
        gfDebugVxdUp = 1;
        kemu::SetTickCount(123456);
    }
    void TearDown() override
    {
        kemu::DebugService::SetSink({});
        SetAllDebugLevels(0);
        gfDebugVxdUp = 0;
        kemu::ResetCore();
    }
    static std::vector<std::string> Shown() { return kemu::DebugService::Lines(); }
};

} // namespace dvtest
