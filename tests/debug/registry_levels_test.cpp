// The refresh of the module levels from the registry and the module table lookup behind it.
#include <cstring>
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
    kemu::DebugService::SetPresent(false);
    EXPECT_EQ(dbg_UpdateAllDebugLevels(), 0u);
    EXPECT_EQ(gfDebugVxdUp, 0u);
    kemu::DebugService::SetPresent(true);
    EXPECT_EQ(dbg_UpdateAllDebugLevels(), 0u);
    EXPECT_EQ(gfDebugVxdUp, 1u);
    EXPECT_EQ(DebugLevels(), (Levels{0, 0, 0, 0, 0, 0, 0, 0, 4}));
    EXPECT_TRUE(kemu::DbgPrintLines().empty());
    kemu::DebugService::SetPresent(false);
    dbg_UpdateAllDebugLevels();
    EXPECT_EQ(gfDebugVxdUp, 1u);
}

TEST_F(LevelRefresh, ListedModulesAreSetAndTheOthersKeepTheirLevels)
{
    DebugIdArray[QVDBG_MODULE_CONSUMER_INFO].nDebugLevel = 5;
    SetLevel("ENTRY", 3);
    SetLevel("STREAM", 7);
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(dbg_UpdateAllDebugLevels(), 1u);
        EXPECT_EQ(DebugLevels(), (Levels{0, 3, 0, 0, 0, 0, 0, 5, 7}));
    }
    EXPECT_TRUE(kemu::DbgPrintLines().empty());
    // Once the service has answered, the new levels reach it.
    SHOWDEBUG(QVDBG_MODULE_STREAM, 7, "StreamLevel");
    EXPECT_EQ(Shown(), Lines{"123456 [7]DEVIDIDI-STREAM:StreamLevel"});
}

TEST_F(LevelRefresh, UnknownOrMiscasedNamesAreReportedAndSkipped)
{
    SetLevel("Entry", 3);
    SetLevel("NOSUCH", 4);
    SetLevel("STREAM", 6);
    ASSERT_EQ(kemu::ListRegistrySubkeys(kContainer), (Lines{"Entry", "NOSUCH", "STREAM"}));
    EXPECT_EQ(dbg_UpdateAllDebugLevels(), 1u);
    EXPECT_EQ(DebugLevels(), (Levels{0, 0, 0, 0, 0, 0, 0, 0, 6}));
    EXPECT_EQ(kemu::DbgPrintLines(), (Lines{Nonexistent("Entry"), Nonexistent("NOSUCH")}));
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
    SetLevel("STREAM", 9);
    ASSERT_EQ(kemu::ListRegistrySubkeys(kContainer),
              (Lines{"CONSUMER_INFO", "ENTRY", "OAPI_CONSUMER", "PROVIDER_INFO", "STREAM"}));
    EXPECT_EQ(dbg_UpdateAllDebugLevels(), 1u);
    EXPECT_EQ(DebugLevels(), (Levels{0, 8, 0, 0, 0, 7, 2, 0, 0}));
    EXPECT_EQ(kemu::DbgPrintLines(), (Lines{Invalid("CONSUMER_INFO"), Invalid("STREAM")}));
}

TEST_F(LevelRefresh, SubkeyWithoutAUsableValueEndsTheRefresh)
{
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> unusable = {
        {"missing", {}},
        {"five bytes", {1, 0, 0, 0, 0}},
    };
    for (const auto &[what, data] : unusable) {
        SCOPED_TRACE(what);
        kemu::ResetRegistry();
        dvtest::SetAllDebugLevels(0);
        kemu::CreateRegistryKey(kContainer + "\\CONSUMER_INFO");
        if (!data.empty()) {
            kemu::SetRegistryBinary(kContainer + "\\CONSUMER_INFO", "DebugLevel", data);
        }
        SetLevel("ENTRY", 3);
        SetLevel("STREAM", 7);
        EXPECT_EQ(dbg_UpdateAllDebugLevels(), 1u);
        EXPECT_EQ(DebugLevels(), (Levels{0, 0, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_TRUE(kemu::DbgPrintLines().empty());
    }
}

TEST_F(LevelRefresh, SubkeyNamesTooLongForTheScratchBufferEndTheRefresh)
{
    struct Case {
        size_t length;
        bool reported;   // the "requires more space" line
        bool goesOn;     // the subkey after it is still read
    };
    for (const Case &c : {Case{82, false, true}, Case{83, true, false}, Case{84, true, false}, Case{85, false, false}}) {
        SCOPED_TRACE(c.length);
        kemu::ResetRegistry();
        kemu::ClearDbgPrint();
        dvtest::SetAllDebugLevels(0);
        const std::string name(c.length, 'A');
        SetLevel(name, 1);
        SetLevel("STREAM", 7);
        EXPECT_EQ(dbg_UpdateAllDebugLevels(), 1u);
        EXPECT_EQ(DebugIdArray[QVDBG_MODULE_STREAM].nDebugLevel, c.goesOn ? 7 : 0);
        if (c.reported) {
            EXPECT_EQ(kemu::DbgPrintLines(), Lines{kTooLongLine});
        } else if (c.goesOn) {
            EXPECT_EQ(kemu::DbgPrintLines(), Lines{Nonexistent(name)});
        } else {
            EXPECT_TRUE(kemu::DbgPrintLines().empty());
        }
    }
}

// No scratch buffer: the refresh returns 0; a name that fails conversion is reported and skipped.
TEST_F(LevelRefresh, AllocationFailuresEndOrSkipOnlyWhatTheyHit)
{
    SetLevel("ENTRY", 3);
    SetLevel("STREAM", 7);
    kemu::FailNthAllocation(1, KX_POOL_TAG('W', 'd', 'm', ' '));
    EXPECT_EQ(dbg_UpdateAllDebugLevels(), 0u);
    EXPECT_EQ(kemu::InjectedAllocationFailures(), 1u);
    EXPECT_EQ(gfDebugVxdUp, 1u);
    EXPECT_EQ(DebugLevels(), (Levels{0, 0, 0, 0, 0, 0, 0, 0, 0}));
    kemu::FailNthAllocation(2); // the scratch buffer, then the first name's conversion
    EXPECT_EQ(dbg_UpdateAllDebugLevels(), 1u);
    EXPECT_EQ(kemu::InjectedAllocationFailures(), 2u);
    EXPECT_EQ(DebugLevels(), (Levels{0, 0, 0, 0, 0, 0, 0, 0, 7}));
    EXPECT_EQ(kemu::DbgPrintLines(),
              Lines{"krnl_dbg: dbg_UpdateAllDebugLevels - Error converting subkey name to text. index=0 container=" +
                    kContainer + "\n"});
}

class ModuleTable : public dvtest::DebugLogTest {
protected:
    void SetUp() override
    {
        DebugLogTest::SetUp();
        std::memcpy(m_saved, DebugIdArray, sizeof(m_saved));
    }
    void TearDown() override
    {
        std::memcpy(DebugIdArray, m_saved, sizeof(m_saved));
        QVDBG_TOTAL_NUM_MODULES = QVDBG_NUM_MODULES;
        DebugLogTest::TearDown();
    }
    static void Rename(int module, const char *name)
    {
        std::strncpy(DebugIdArray[module].szModuleName, name, QVDBG_MODULE_NAME_SIZE - 1);
    }
    DEBUG_ID_ENTRY m_saved[QVDBG_NUM_MODULES];
};

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

TEST_F(ModuleTable, SearchStopsAtLastAndAtTheModuleCount)
{
    Rename(3, "LAST");
    EXPECT_EQ(UpdateDebugIdArray("PROVIDER_CLIENT", 1), 1u);
    EXPECT_EQ(UpdateDebugIdArray("OAPI_PROVIDER", 1), 0u);
    EXPECT_EQ(UpdateDebugIdArray("LAST", 1), 0u);
    QVDBG_TOTAL_NUM_MODULES = 8;
    EXPECT_EQ(UpdateDebugIdArray("CONSUMER_INFO", 1), 0u); // behind LAST
    Rename(3, "CONSUMER_CLIENT");
    EXPECT_EQ(UpdateDebugIdArray("CONSUMER_INFO", 1), 1u);
    EXPECT_EQ(UpdateDebugIdArray("STREAM", 1), 0u); // beyond the count
    Rename(0, "LAST");
    EXPECT_EQ(UpdateDebugIdArray("ENTRY", 1), 0u);
    EXPECT_EQ(DebugLevels(), (Levels{0, 0, 1, 0, 0, 0, 0, 1, 0}));
}

} // namespace
