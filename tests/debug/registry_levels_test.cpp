// The refresh of the module levels from the registry and the module table lookup behind it.
#include <string>
#include <vector>

#include "debug_fixture.h"

namespace {

using dvtest::DebugLevels;
using Lines = std::vector<std::string>;
using Levels = std::vector<LONG>;

const std::string kContainer = "\\Registry\\Machine\\SOFTWARE\\NRV\\debug\\krnl\\DEVIDIDI";
const std::string kTooLongLine = "krnl_dbg: dbg_UpdateAllDebugLevels - Error information requires more space than we "
                                 "allocated. container=" +
                                 kContainer + "\n";

std::string Nonexistent(const std::string &name)
{
    return "krnl_dbg: Error in UpdateDebugIdArray. Module=" + name + " nonexistent? \n";
}

std::string Invalid(const std::string &name) { return "krnl_dbg: Module=" + name + " has invalid debugLevel!\n"; }

void SetLevel(const std::string &module, uint32_t level)
{
    kemu::SetRegistryDword(kContainer + "\\" + module, "DebugLevel", level);
}

class LevelRefresh : public dvtest::DebugLogTest {
protected:
    void SetUp() override
    {
        DebugLogTest::SetUp();
        kemu::ResetRegistry();
        gfDebugVxdUp = 0;
    }
    void TearDown() override
    {
        // Every refresh leaves no handle open and gives back its scratch buffer and converted names.
        EXPECT_EQ(kemu::OpenRegistryHandles(), 0u);
        EXPECT_EQ(kemu::LivePoolBlocks().size(), 0u) << kemu::PoolLeakReport();
        kemu::ResetRegistry();
        DebugLogTest::TearDown();
    }
};

// The service is probed even without a container key, and its flag is never cleared again.
TEST_F(LevelRefresh, WithoutTheContainerReturnsZeroAfterProbingTheService)
{
    DebugIdArray[QVDBG_MODULE_STREAM].nDebugLevel = 4;
    kemu::SetRegistryDword("\\Registry\\Machine\\SOFTWARE\\NRV\\debug\\krnl\\OTHER\\STREAM", "DebugLevel", 7);
    EXPECT_EQ(dbg_UpdateAllDebugLevels(), 0u);
    EXPECT_EQ(gfDebugVxdUp, 1u);
    EXPECT_EQ(DebugLevels(), (Levels{0, 0, 0, 0, 0, 0, 0, 0, 4}));
    EXPECT_TRUE(kemu::DbgPrintLines().empty());
    kemu::DebugService::SetPresent(false);
    dbg_UpdateAllDebugLevels();
    EXPECT_EQ(gfDebugVxdUp, 1u);
}

TEST_F(LevelRefresh, OnlyTheFirstDataByteCountsAndAboveEightBecomesZero)
{
    for (int module : {1, 5, 6, 7, 8}) {
        DebugIdArray[module].nDebugLevel = 6;
    }
    kemu::SetRegistryString(kContainer + "\\CONSUMER_INFO", "DebugLevel", "5"); // the digit, 0x35
    SetLevel("ENTRY", 8);
    SetLevel("OAPI_CONSUMER", 0x107);
    kemu::SetRegistryBinary(kContainer + "\\PROVIDER_INFO", "DebugLevel", {2, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(dbg_UpdateAllDebugLevels(), 1u);
    EXPECT_EQ(DebugLevels(), (Levels{0, 8, 0, 0, 0, 7, 2, 0, 6}));
    EXPECT_EQ(kemu::DbgPrintLines(), Lines{Invalid("CONSUMER_INFO")});
}

// A subkey without a usable DebugLevel value, or with a name too long for the scratch buffer, ends
// the refresh: the subkey after it is not read.
TEST_F(LevelRefresh, SubkeysWithoutAUsableValueOrWithNamesTooLongEndTheRefresh)
{
    struct Case {
        std::string name;
        std::vector<uint8_t> level; // empty: no value at all
        bool goesOn;
        Lines printed;
    };
    const std::string a82(82, 'A'), a83(83, 'A'), a84(84, 'A'), a85(85, 'A');
    const Case cases[] = {
        {"CONSUMER_INFO", {}, false, {}},
        {"CONSUMER_INFO", {1, 0, 0, 0, 0}, false, {}},
        {a82, {1, 0, 0, 0}, true, {Nonexistent(a82)}},
        {a83, {1, 0, 0, 0}, false, {kTooLongLine}},
        {a84, {1, 0, 0, 0}, false, {kTooLongLine}},
        {a85, {1, 0, 0, 0}, false, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(&c - cases);
        kemu::ResetRegistry();
        kemu::ClearDbgPrint();
        dvtest::SetAllDebugLevels(0);
        kemu::CreateRegistryKey(kContainer + "\\" + c.name);
        if (!c.level.empty()) {
            kemu::SetRegistryBinary(kContainer + "\\" + c.name, "DebugLevel", c.level);
        }
        SetLevel("STREAM", 7);
        EXPECT_EQ(dbg_UpdateAllDebugLevels(), 1u);
        EXPECT_EQ(DebugIdArray[QVDBG_MODULE_STREAM].nDebugLevel, c.goesOn ? 7 : 0);
        EXPECT_EQ(kemu::DbgPrintLines(), c.printed);
    }
}

// No scratch buffer: the refresh returns 0; a name that fails conversion is reported and skipped.
TEST_F(LevelRefresh, AllocationFailuresEndOrSkipOnlyWhatTheyHit)
{
    SetLevel("ENTRY", 3);
    SetLevel("STREAM", 7);
    kemu::FailNthAllocation(1, KX_POOL_TAG('W', 'd', 'm', ' '));
    EXPECT_EQ(dbg_UpdateAllDebugLevels(), 0u);
    EXPECT_EQ(gfDebugVxdUp, 1u);
    EXPECT_EQ(DebugLevels(), (Levels{0, 0, 0, 0, 0, 0, 0, 0, 0}));
    kemu::FailNthAllocation(2); // the scratch buffer, then the first name's conversion
    EXPECT_EQ(dbg_UpdateAllDebugLevels(), 1u);
    EXPECT_EQ(DebugLevels(), (Levels{0, 0, 0, 0, 0, 0, 0, 0, 7}));
    EXPECT_EQ(kemu::DbgPrintLines(),
              Lines{"krnl_dbg: dbg_UpdateAllDebugLevels - Error converting subkey name to text. index=0 container=" +
                    kContainer + "\n"});
}

class ModuleTable : public dvtest::DebugLogTest {};

TEST_F(ModuleTable, OnlyTheExactNameIsFoundAndAnInvalidLevelStillCountsAsFound)
{
    EXPECT_EQ(UpdateDebugIdArray("ENTRY", 4), 1u);
    for (const char *name : {"ENTR", "ENTRY ", "entry", "", "ENTRYX"}) {
        EXPECT_EQ(UpdateDebugIdArray(name, 6), 0u) << name;
    }
    EXPECT_EQ(UpdateDebugIdArray("DEVIDIDI", 2), 1u);
    EXPECT_EQ(DebugLevels(), (Levels{2, 4, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(kemu::DbgPrintLines().empty());
    EXPECT_EQ(UpdateDebugIdArray("STREAM", 8), 1u);
    EXPECT_EQ(DebugIdArray[QVDBG_MODULE_STREAM].nDebugLevel, 8);
    EXPECT_EQ(UpdateDebugIdArray("STREAM", 9), 1u);
    EXPECT_EQ(DebugIdArray[QVDBG_MODULE_STREAM].nDebugLevel, 0);
    DebugIdArray[QVDBG_MODULE_STREAM].nDebugLevel = 5;
    EXPECT_EQ(UpdateDebugIdArray("STREAM", 0xFFFFFFFFu), 1u);
    EXPECT_EQ(DebugIdArray[QVDBG_MODULE_STREAM].nDebugLevel, 0);
    EXPECT_EQ(kemu::DbgPrintLines(), (Lines{Invalid("STREAM"), Invalid("STREAM")}));
}

} // namespace
