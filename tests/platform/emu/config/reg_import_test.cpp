// Loading .reg files of the registry editor into the emulated registry.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "emu/kemu/kemu.h"
#include "kernel.h"

namespace {

const std::string kNrv = "\\Registry\\Machine\\SOFTWARE\\NRV";

std::vector<uint8_t> Bytes(std::initializer_list<int> list) { return std::vector<uint8_t>(list.begin(), list.end()); }

std::vector<uint8_t> ValueData(const std::string &key, const std::string &name)
{
    auto value = kemu::GetRegistryValue(key, name);
    return value ? value->data : std::vector<uint8_t>{0xBA, 0xD0};
}

uint32_t ValueType(const std::string &key, const std::string &name)
{
    auto value = kemu::GetRegistryValue(key, name);
    return value ? value->type : 0xFFFFFFFFu;
}

// UTF-16LE with its byte-order mark, from text that is ASCII apart from \u escapes in the source.
std::string Utf16File(const std::u16string &text)
{
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes.push_back(char(c & 0xFF));
        bytes.push_back(char(c >> 8));
    }
    return bytes;
}

class RegImport : public ::testing::Test {
protected:
    void SetUp() override { kemu::ResetRegistry(); }
    void TearDown() override
    {
        for (const auto &path : m_files) std::remove(path.c_str());
        kemu::ResetRegistry();
    }
    std::string WriteFile(const std::string &bytes)
    {
        const std::string path = ::testing::TempDir() + "kemu_" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                                 std::to_string(getpid()) + "_" + std::to_string(m_files.size()) + ".reg";
        std::ofstream(path, std::ios::binary) << bytes;
        m_files.push_back(path);
        return path;
    }

private:
    std::vector<std::string> m_files;
};

TEST_F(RegImport, LoadsAVersion5FileInUtf16WithEveryValueForm)
{
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n"
        u"\r\n"
        u"; levels of the kernel log\r\n"
        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV\\debug\\krnl\\DEVIDIDI\\ENTRY]\r\n"
        u"\"DebugLevel\"=dword:0000000a\r\n"
        u"@=\"C:\\\\Program Files\\\\\\\"NRV\\\" caf\u00E9\"\r\n"
        u"\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
        u"  16,17,FF\r\n"
        u"\"Long\"=hex(4):01,02,03,04,05\r\n"
        u"\"Empty\"=hex(0):\r\n"
        u"\r\n"
        u"[HKEY_USERS\\.DEFAULT\\Software\\NRV]\r\n"
        u"\"Mode\"=dword:FFFFFFFE\r\n";
    const std::string path = WriteFile(Utf16File(text));
    const kemu::RegImportResult result = kemu::ImportRegFile(path);
    ASSERT_TRUE(result.ok) << result.message();
    const std::string entry = kNrv + "\\debug\\krnl\\DEVIDIDI\\ENTRY";
    EXPECT_EQ(ValueType(entry, "DebugLevel"), uint32_t(REG_DWORD));
    EXPECT_EQ(ValueData(entry, "DebugLevel"), Bytes({10, 0, 0, 0}));
    const std::string utf16 = Utf16File(std::u16string(u"C:\\Program Files\\\"NRV\" caf\u00E9") + u'\0').substr(2);
    EXPECT_EQ(ValueType(entry, ""), uint32_t(REG_SZ));
    EXPECT_EQ(ValueData(entry, ""), std::vector<uint8_t>(utf16.begin(), utf16.end()));
    std::vector<uint8_t> blob;
    for (int i = 0; i <= 0x17; ++i) blob.push_back(uint8_t(i));
    blob.push_back(0xFF);
    EXPECT_EQ(ValueData(entry, "Blob"), blob);
    EXPECT_EQ(ValueType(entry, "Long"), uint32_t(REG_DWORD));
    EXPECT_EQ(ValueData(entry, "Long"), Bytes({1, 2, 3, 4, 5}));
    EXPECT_EQ(ValueType(entry, "Empty"), uint32_t(REG_NONE));
    EXPECT_TRUE(ValueData(entry, "Empty").empty());
    EXPECT_EQ(ValueData("\\Registry\\User\\.DEFAULT\\Software\\NRV", "Mode"), Bytes({0xFE, 0xFF, 0xFF, 0xFF}));
    // REGEDIT4 in plain ASCII is the golden runs' (examples/odd-levels.reg); here UTF-8 after its mark.
    const kemu::RegImportResult utf8 = kemu::ImportRegText(
        "\xEF\xBB\xBFREGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV]\n\"Name\"=\"Z\xC3\xBCrich\"\n", "utf8.reg");
    ASSERT_TRUE(utf8.ok) << utf8.message();
    EXPECT_EQ(ValueData(kNrv, "name"), Bytes({'Z', 0, 0xFC, 0, 'r', 0, 'i', 0, 'c', 0, 'h', 0, 0, 0}));
}

TEST_F(RegImport, MinusFormsDeleteKeyTreesAndValues)
{
    kemu::SetRegistryDword(kNrv + "\\Old\\Deep", "x", 1);
    kemu::SetRegistryDword(kNrv, "Keep", 1);
    kemu::SetRegistryDword(kNrv, "Drop", 2);
    const kemu::RegImportResult result = kemu::ImportRegText("Windows Registry Editor Version 5.00\n"
                                                             "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV\\Old]\n"
                                                             "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV\\NeverThere]\n"
                                                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV]\n"
                                                             "\"drop\"=-\n"
                                                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV\\New]\n",
                                                             "minus.reg");
    ASSERT_TRUE(result.ok) << result.message();
    EXPECT_FALSE(kemu::RegistryKeyExists(kNrv + "\\Old"));
    EXPECT_TRUE(kemu::RegistryKeyExists(kNrv + "\\New"));
    EXPECT_TRUE(kemu::GetRegistryValue(kNrv, "Keep").has_value());
    EXPECT_FALSE(kemu::GetRegistryValue(kNrv, "Drop").has_value());
    kemu::SetRegistryDword(kNrv + "\\Old", "Level", 4);
    const std::string before = kemu::DumpRegistry();
    const std::string path = WriteFile("Windows Registry Editor Version 5.00\n"
                                       "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV\\Old]\n"
                                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV\\New]\n"
                                       "\"Level\"=dword:00000003\n"
                                       "\"Bad\"=dword:3\n");
    const kemu::RegImportResult bad = kemu::ImportRegFile(path);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.message(), path + ":5: dword value must have 8 hex digits");
    EXPECT_EQ(kemu::DumpRegistry(), before);
    const kemu::RegImportResult missing = kemu::ImportRegFile("/nonexistent/levels.reg");
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.message().rfind("/nonexistent/levels.reg: cannot open the file: ", 0), 0u) << missing.message();
}

TEST_F(RegImport, MalformedFilesAreRefusedWithTheLineAndTheReason)
{
    const std::string v5 = "Windows Registry Editor Version 5.00\n";
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV]\n";
    struct Case {
        std::string text;
        int line;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"Windows Registry Editor Version 4.00\n" + key, 1,
         "first line must be \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\""},
        {"", 0, "empty file"},
        {v5 + "\n" + key + "\"a\"=dword:1\n", 4, "dword value must have 8 hex digits"},
        {v5 + "[HKLM\\SOFTWARE\\NRV]\n", 2,
         "the abbreviation HKLM is not valid in .reg files; write the root in full, e.g. HKEY_LOCAL_MACHINE"},
        {v5 + "[HKEY_CURRENT_USER\\Software]\n", 2,
         "HKEY_CURRENT_USER is not emulated; only HKEY_LOCAL_MACHINE and HKEY_USERS are"},
        {v5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\n", 2, "key line must end with ]"},
        {v5 + "[HKEY_LOCAL_MACHINE\\\\SOFTWARE]\n", 2, "empty key name in the path"},
        {v5 + "[-HKEY_LOCAL_MACHINE]\n", 2, "a root key cannot be deleted"},
        {v5 + "\"a\"=dword:00000001\n", 2, "value line before the first [key] line"},
        {v5 + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV]\n\"a\"=-\n", 3, "value line under a key that is being deleted"},
        {v5 + key + "\"a\"=\"x\n", 3, "string value lacks its closing quote"},
        {v5 + key + "\"a\"=\"x\\n\"\n", 3, "unknown escape \\n in string value (only \\\\ and \\\" are known)"},
        {v5 + key + "\"a\"=\"x\" trailing\n", 3, "unexpected text after the closing quote of the string value"},
        {v5 + key + "\"a\"=qword:0000000000000001\n", 3,
         "unknown value data; expected \"text\", dword:, hex:, hex(type): or -"},
        {v5 + key + "\"a\"=hex(z):00\n", 3, "value type in hex(...) must be a hexadecimal number of 1 to 8 digits"},
        {v5 + key + "\"a\"=hex:01,02,\\\n  03,4\n", 4, "hex bytes must be two hex digits separated by commas, found \"4\""},
        {v5 + key + "\"a\"=hex:01,02,\\", 3, "the file ends inside a value continued with \\"},
        {v5 + key + "junk\n", 3, "expected a [key] line, a value line beginning with \" or @, or a ; comment"},
        {v5 + key + "\"ok\"=\"\xC3\xA9\"\n\"bad\"=\"\xC3(\"\n", 4,
         "text is not valid UTF-8; save the file as UTF-8 or UTF-16LE"},
        {"\xFE\xFF", 0, "UTF-16 big-endian text is not supported; save the file as UTF-16LE or UTF-8"},
        {std::string("W\0i\0", 4), 0, "the text looks like UTF-16 without its byte-order mark; save it with one"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const kemu::RegImportResult result = kemu::ImportRegText(c.text, "bad.reg");
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.line, c.line);
        EXPECT_EQ(result.reason, c.reason);
    }
}

} // namespace
