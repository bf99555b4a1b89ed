// The key services of the emulated registry and its control API.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "emu/kemu/kemu.h"
#include "kernel.h"

namespace {

const std::string kMachine = "\\Registry\\Machine";
const std::string kContainer = "\\Registry\\Machine\\SOFTWARE\\NRV\\debug\\krnl\\DEVIDIDI";
constexpr ULONG kScratchSize = 184; // the driver's buffer for one subkey record

struct KeyName {
    std::u16string text;
    UNICODE_STRING us{};
    explicit KeyName(const std::string &ascii) : text(ascii.begin(), ascii.end()) { RtlInitUnicodeString(&us, text.c_str()); }
};

NTSTATUS Open(const std::string &path, ACCESS_MASK access, HANDLE *handle, HANDLE root = nullptr)
{
    KeyName name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.us, OBJ_CASE_INSENSITIVE, root, nullptr);
    return ZwOpenKey(handle, access, &oa);
}

HANDLE OpenOrFail(const std::string &path, ACCESS_MASK access)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(Open(path, access, &handle), STATUS_SUCCESS) << path;
    return handle;
}

// The subkeys' names in the kernel's order, enumerated until the first failure, which is kept.
std::vector<std::string> Subkeys(HANDLE key, NTSTATUS *end = nullptr)
{
    std::vector<std::string> names;
    alignas(8) UCHAR buffer[600];
    const auto *info = reinterpret_cast<KEY_BASIC_INFORMATION *>(buffer);
    ULONG result = 0;
    NTSTATUS s;
    while (NT_SUCCESS(s = ZwEnumerateKey(key, ULONG(names.size()), KeyBasicInformation, buffer, sizeof buffer, &result)))
        names.emplace_back(info->Name, info->Name + info->NameLength / 2);
    if (end) *end = s;
    return names;
}

NTSTATUS QueryPartial(HANDLE key, const std::string &valueName, void *buffer, ULONG length, ULONG *result)
{
    KeyName name(valueName);
    return ZwQueryValueKey(key, &name.us, KeyValuePartialInformation, buffer, length, result);
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        kemu::ResetCore();
        kemu::ResetRegistry();
    }
    void TearDown() override { kemu::ResetRegistry(); }
};

TEST_F(Registry, KeysOpenByFullPathInAnyCaseOrRelativeToAKeyHandleAndAbsentOnesAreNameNotFound)
{
    kemu::CreateRegistryKey(kMachine + "\\SOFTWARE\\NRV\\debug");
    HANDLE nrv = OpenOrFail("\\REGISTRY\\machine\\software\\Nrv", KEY_ENUMERATE_SUB_KEYS);
    HANDLE debug = nullptr;
    EXPECT_EQ(Open("DEBUG", KEY_ENUMERATE_SUB_KEYS, &debug, nrv), STATUS_SUCCESS);
    HANDLE rooted = debug;
    EXPECT_EQ(Open("\\debug", KEY_READ, &rooted, nrv), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(rooted, nullptr) << "a failed open leaves no handle behind";
    HANDLE again = nullptr;
    EXPECT_EQ(Open("", KEY_READ, &again, nrv), STATUS_SUCCESS) << "an empty name reopens the root key";
    HANDLE trailing = OpenOrFail(kMachine + "\\SOFTWARE\\", KEY_READ);
    EXPECT_EQ(Subkeys(trailing), std::vector<std::string>{"NRV"});
    EXPECT_EQ(kemu::OpenRegistryHandles(), 4u);
    for (HANDLE h : {nrv, debug, again, trailing}) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    // An absent key is "name not found" wherever the path breaks, as in the kernel, which creates
    // no parents and does not tell a missing parent from a missing key.
    HANDLE handle = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(Open(kMachine + "\\SOFTWARE\\NRV\\debug\\krnl", KEY_READ, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(Open(kContainer, KEY_READ, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    // Only outside the registry is a missing directory a missing path.
    EXPECT_EQ(Open("\\Regisrty\\Machine\\SOFTWARE", KEY_READ, &handle), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open("Registry\\Machine", KEY_READ, &handle), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(kMachine + "\\\\SOFTWARE", KEY_READ, &handle), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(kemu::OpenRegistryHandles(), 0u);
    for (const char *name : {"beta", "Alpha", "GAMMA", "alpha2", "_x"}) kemu::CreateRegistryKey(kContainer + "\\" + name);
    EXPECT_FALSE(kemu::CreateRegistryKey(kContainer + "\\ALPHA")) << "the same key in other letters";
    // Upper-cased comparison puts '_' (0x5F) behind the letters; a case-sensitive or lower-cased
    // order would not.
    HANDLE container = OpenOrFail(kContainer, KEY_ENUMERATE_SUB_KEYS);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(Subkeys(container, &status), (std::vector<std::string>{"Alpha", "alpha2", "beta", "GAMMA", "_x"}));
    EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
    ZwClose(container);
}

// At 83 and 84 characters the record fits the driver's scratch buffer: tests/debug LevelRefresh.
TEST_F(Registry, SubkeyRecordsFollowTheKernelsBufferRulesAtTheDriversScratchSize)
{
    kemu::CreateRegistryKey(kContainer + "\\" + std::string(85, 'N'));
    HANDLE container = OpenOrFail(kContainer, KEY_ENUMERATE_SUB_KEYS);
    alignas(8) UCHAR buffer[kScratchSize + 8];
    std::memset(buffer, 0xEE, sizeof buffer);
    ULONG result = 0;
    EXPECT_EQ(ZwEnumerateKey(container, 0, KeyBasicInformation, buffer, kScratchSize, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 16u + 2 * 85);
    const auto *info = reinterpret_cast<KEY_BASIC_INFORMATION *>(buffer);
    EXPECT_EQ(info->NameLength, 2u * 85) << "the fixed part is written also on overflow";
    EXPECT_EQ(info->Name[0], u'N');
    EXPECT_EQ(buffer[kScratchSize], 0xEE) << "nothing written past the given length";
    // Not even the fixed part fits: nothing is written.
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(ZwEnumerateKey(container, 0, KeyBasicInformation, buffer, 15, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 16u + 2 * 85);
    EXPECT_EQ(buffer[0], 0xEE);
    ZwClose(container);
}

TEST_F(Registry, ValueQueriesFitAFourByteValueInSixteenBytesRefuseLongerOnesAndAlignFullRecords)
{
    const std::string key = kContainer + "\\ENTRY";
    kemu::SetRegistryBinary(key, "Long", {1, 2, 3, 4, 5});
    kemu::SetRegistryString(key, "", "default");
    kemu::SetRegistryBinary(key, "abc", {9, 8, 7});
    HANDLE handle = OpenOrFail(key, KEY_QUERY_VALUE);
    alignas(8) UCHAR buffer[32];
    const auto *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer);
    ULONG result = 0;
    // A DWORD read in sixteen bytes and a five-byte value that overflows them: tests/debug LevelRefresh.
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(QueryPartial(handle, "long", buffer, 11, &result), STATUS_BUFFER_TOO_SMALL) << "in any case";
    EXPECT_EQ(result, 17u);
    EXPECT_EQ(buffer[0], 0xEE) << "not even the fixed part fits: nothing is written";
    EXPECT_EQ(QueryPartial(handle, "Absent", buffer, 16, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(QueryPartial(handle, "", buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(info->Type, ULONG(REG_SZ));
    EXPECT_EQ(info->DataLength, 16u) << "seven characters and the NUL";
    // Full records put the data behind the name on a four-byte boundary.
    KeyName name("abc");
    ASSERT_EQ(ZwQueryValueKey(handle, &name.us, KeyValueFullInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);
    const auto *full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION *>(buffer);
    EXPECT_EQ(full->DataOffset, 28u) << "20 + 6 rounded up to 4";
    EXPECT_EQ(result, 31u);
    EXPECT_EQ(buffer[full->DataOffset + 2], 7);
    EXPECT_EQ(ZwQueryValueKey(handle, &name.us, KEY_VALUE_INFORMATION_CLASS(7), buffer, sizeof buffer, &result),
              STATUS_INVALID_PARAMETER);
    ZwClose(handle);
}

TEST_F(Registry, HandlesAllowOnlyWhatTheyWereOpenedForAndAnswerKeyDeletedOnceTheirKeyIsGone)
{
    kemu::SetRegistryDword(kContainer + "\\ENTRY", "DebugLevel", 1);
    HANDLE enumerate = OpenOrFail(kContainer + "\\ENTRY", KEY_ENUMERATE_SUB_KEYS);
    HANDLE query = OpenOrFail(kContainer + "\\ENTRY", KEY_QUERY_VALUE);
    HANDLE entry = OpenOrFail(kContainer + "\\ENTRY", GENERIC_READ);
    UCHAR buffer[32];
    ULONG result = 0;
    EXPECT_EQ(QueryPartial(enumerate, "DebugLevel", buffer, sizeof buffer, &result), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwEnumerateKey(query, 0, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_ACCESS_DENIED);
    EXPECT_EQ(QueryPartial(query, "DebugLevel", buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(QueryPartial(entry, "DebugLevel", buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(ZwEnumerateKey(entry, 0, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_NO_MORE_ENTRIES);
    for (HANDLE h : {enumerate, query}) ZwClose(h);
    HANDLE container = OpenOrFail(kContainer, KEY_READ);
    EXPECT_TRUE(kemu::DeleteRegistryKey(kMachine + "\\SOFTWARE\\NRV"));
    EXPECT_FALSE(kemu::RegistryKeyExists(kContainer + "\\ENTRY"));
    kemu::SetRegistryDword(kContainer + "\\ENTRY", "DebugLevel", 2); // a new key of the same name
    EXPECT_EQ(ZwEnumerateKey(container, 0, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_KEY_DELETED);
    EXPECT_EQ(QueryPartial(entry, "DebugLevel", buffer, sizeof buffer, &result), STATUS_KEY_DELETED);
    HANDLE relative = nullptr;
    EXPECT_EQ(Open("ENTRY", KEY_READ, &relative, container), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(container), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(entry), STATUS_SUCCESS);
    kemu::ScopedViolationRecording recording;
    kemu::SetRegistryDword(kContainer + "\\ENTRY", "DebugLevel", 1);
    HANDLE handle = OpenOrFail(kContainer, KEY_READ);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_TRUE(recording.TakeRules().empty());
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwEnumerateKey(handle, 0, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(recording.TakeRules(), (std::vector<std::string>{"invalid handle", "invalid handle", "invalid handle"}));
    // A reset closes whatever a test left open, and a handle from before it stays invalid.
    HANDLE left = OpenOrFail(kContainer, KEY_READ);
    kemu::ResetRegistry();
    EXPECT_EQ(kemu::OpenRegistryHandles(), 0u);
    EXPECT_EQ(ZwClose(left), STATUS_INVALID_HANDLE);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{"invalid handle"});
    kemu::SetRegistryDword(kContainer + "\\ENTRY", "DebugLevel", 1);
    handle = OpenOrFail(kContainer + "\\ENTRY", KEY_READ);
    {
        kemu::ScopedIrql apc(APC_LEVEL);
        EXPECT_FALSE(NT_SUCCESS(ZwClose(handle)));
    }
    const std::vector<kemu::Violation> violations = recording.Take();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "registry access above PASSIVE_LEVEL");
    EXPECT_NE(violations[0].detail.find("ZwClose"), std::string::npos) << violations[0].detail;
    EXPECT_EQ(kemu::OpenRegistryHandles(), 1u) << "the refused close left the handle open";
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(Registry, ControlPathsInKernelAndEditorFormNameTheSameKeys)
{
    kemu::SetRegistryDword("HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV", "Level", 5);
    kemu::SetRegistryString("HKEY_USERS\\.DEFAULT\\Console", "Face", "caf\xC3\xA9");
    auto level = kemu::GetRegistryValue("\\registry\\machine\\software\\nrv", "LEVEL");
    ASSERT_TRUE(level.has_value());
    EXPECT_EQ(level->type, kemu::kRegDword);
    EXPECT_EQ(level->data, (std::vector<uint8_t>{5, 0, 0, 0}));
    auto face = kemu::GetRegistryValue("\\Registry\\User\\.DEFAULT\\Console", "Face");
    ASSERT_TRUE(face.has_value());
    EXPECT_EQ(face->data, (std::vector<uint8_t>{'c', 0, 'a', 0, 'f', 0, 0xE9, 0, 0, 0}));
    const std::string dump = kemu::DumpRegistry();
    EXPECT_NE(dump.find("\\REGISTRY\\MACHINE\\SOFTWARE\\NRV\n    \"Level\" = dword:00000005\n"), std::string::npos)
        << dump;
    EXPECT_TRUE(kemu::DeleteRegistryValue(kMachine + "\\SOFTWARE\\NRV", "level"));
    EXPECT_FALSE(kemu::DeleteRegistryValue(kMachine + "\\SOFTWARE\\NRV", "level"));
    EXPECT_TRUE(kemu::DeleteRegistryKey("HKEY_USERS\\.DEFAULT"));
    EXPECT_FALSE(kemu::RegistryKeyExists("\\Registry\\User\\.DEFAULT\\Console"));
    EXPECT_TRUE(kemu::RegistryKeyExists("\\Registry\\User"));
    EXPECT_THROW(kemu::CreateRegistryKey("HKLM\\SOFTWARE"), std::invalid_argument);
    EXPECT_THROW(kemu::CreateRegistryKey("\\Registry\\Software"), std::invalid_argument);
    EXPECT_THROW(kemu::DeleteRegistryKey("HKEY_LOCAL_MACHINE"), std::invalid_argument);
    EXPECT_THROW(kemu::CreateRegistryKey(kMachine + "\\" + std::string(256, 'k')), std::invalid_argument);
}

TEST_F(Registry, ReadersAndWritersOnManyThreadsSeeWholeKeys)
{
    // Run under the thread sanitizer this shows the store's locking; the checks hold in any order.
    constexpr int kRounds = 300;
    std::atomic<int> failures{0};
    std::thread writer([] {
        for (int i = 0; i < kRounds; ++i) {
            kemu::SetRegistryDword(kContainer + "\\K" + std::to_string(i % 7), "DebugLevel", uint32_t(i));
            if (i % 5 == 0) kemu::DeleteRegistryKey(kContainer + "\\K" + std::to_string(i % 7));
        }
    });
    auto reader = [&failures] {
        for (int i = 0; i < kRounds; ++i) {
            HANDLE container = nullptr;
            if (Open(kContainer, KEY_READ, &container) != STATUS_SUCCESS) continue;
            NTSTATUS status = STATUS_SUCCESS;
            for (const std::string &name : Subkeys(container, &status)) failures += name.size() < 2 || name[0] != 'K';
            failures += status != STATUS_NO_MORE_ENTRIES;
            if (ZwClose(container) != STATUS_SUCCESS) ++failures;
        }
    };
    std::thread other(reader);
    reader();
    writer.join();
    other.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(kemu::OpenRegistryHandles(), 0u);
}

} // namespace
