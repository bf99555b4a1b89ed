// The installation files in package/: syntax, structure, and that they install and configure
// this driver. Also that the checker refuses the faults it is there to find.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "krnl_dbg.h"
#include "ntbuild/pkgcheck.h"

namespace {

using pkgcheck::Inf;
using pkgcheck::RegValue;

std::string ReadPackageFile(const std::string &name)
{
    std::ifstream in(std::string(DV_SOURCE_DIR) + "/package/" + name, std::ios::binary);
    EXPECT_TRUE(in) << "cannot read package/" << name;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Joined(const std::vector<std::string> &problems)
{
    std::string out;
    for (const std::string &p : problems) {
        out += p + "\n";
    }
    return out;
}

TEST(PackageFiles, InfInstallsTheDriverAsADemandStartKernelServiceOnBothFamilies)
{
    const std::string text = ReadPackageFile("devididi.inf");
    EXPECT_EQ(text.find("\r\n"), text.find('\n') - 1) << "the INF is a Windows text file (CR LF)";
    std::vector<std::string> problems;
    const Inf inf = Inf::Parse(text, problems);
    ASSERT_TRUE(problems.empty()) << Joined(problems);
    problems = pkgcheck::CheckDriverInf(inf);
    ASSERT_TRUE(problems.empty()) << Joined(problems);

    EXPECT_EQ(inf.Value("Version", "Class"), "System");
    EXPECT_EQ(inf.Value("Version", "ClassGuid"), "{4D36E97D-E325-11CE-BFC1-08002BE10318}");
    const std::string models = inf.Value("Manufacturer", inf.Section("Manufacturer")->entries[0].key);
    const pkgcheck::InfEntry &model = inf.Section(models)->entries.at(0);
    EXPECT_EQ(model.values.at(1), "ROOT\\DEVIDIDI") << "a root-enumerated device";

    const std::string install = model.values.at(0);
    const auto adds = inf.Entries(install + ".NT.Services", "AddService");
    ASSERT_EQ(adds.size(), 1u);
    EXPECT_EQ(adds[0]->values.at(0), "DeVididi");
    const std::string service = adds[0]->values.at(2);
    EXPECT_EQ(inf.Value(service, "ServiceType"), "1") << "kernel driver";
    EXPECT_EQ(inf.Value(service, "StartType"), "3") << "demand start";
    EXPECT_EQ(inf.Value(service, "ServiceBinary"), "%12%\\devididi.sys");
}

TEST(PackageFiles, RegFileGivesEveryModuleOfTheDebugLogAValidLevel)
{
    const std::string text = ReadPackageFile("devididi-debug.reg");
    EXPECT_EQ(text.find("\r\n"), text.find('\n') - 1) << "the .reg file is a Windows text file (CR LF)";
    std::vector<std::string> problems;
    const pkgcheck::RegFile reg = pkgcheck::ParseReg(text, problems);
    ASSERT_TRUE(problems.empty()) << Joined(problems);
    EXPECT_EQ(reg.header, "REGEDIT4") << "the only header that 98/Me's registry editor reads";

    // One key per module of the driver's own table, named exactly like it, each with a level that
    // the refresh accepts: a key without one would end the refresh for every key after it.
    const std::string container = "HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV\\debug\\krnl\\" +
                                  std::string(DebugIdArray[0].szModuleName);
    std::vector<std::string> moduleKeys;
    for (const std::string &key : reg.keys) {
        if (key != container) {
            moduleKeys.push_back(key);
        }
    }
    ASSERT_EQ(moduleKeys.size(), static_cast<size_t>(QVDBG_NUM_MODULES));
    for (int i = 0; i < QVDBG_NUM_MODULES; ++i) {
        const std::string key = container + "\\" + DebugIdArray[i].szModuleName;
        EXPECT_EQ(moduleKeys[i], key);
        int nLevels = 0;
        for (const RegValue &value : reg.values) {
            if (value.key == key) {
                ++nLevels;
                EXPECT_EQ(value.name, "DebugLevel") << key;
                EXPECT_EQ(value.kind, RegValue::Kind::Dword) << key;
                EXPECT_LE(value.dwData, static_cast<uint32_t>(QVDBG_MAX_LEVEL)) << key;
            }
        }
        EXPECT_EQ(nLevels, 1) << key;
    }
}

TEST(PackageChecker, RefusesMalformedInfText)
{
    const std::string good = ReadPackageFile("devididi.inf");
    struct Case {
        std::string from, to, problem;
    };
    const Case cases[] = {
        {"[Strings]", "[Strings", "malformed section header"},
        {"ServiceBinary=%12%\\devididi.sys", "ServiceBinary=%12%\\devididi.sys\r\n[DeVididi_Service]", "appears again"},
        {"Provider=%Provider%", "Provider=%Vendor%", "%Vendor% is not defined"},
        {"DiskName=\"DeVididi installation disk\"", "DiskName=\"DeVididi installation disk", "quote is not closed"},
        {"AddService=DeVididi,0x00000002,DeVididi_Service", "AddService=DeVididi,0x00000002,DeVididi_Svc", "[DeVididi_Svc], which does not exist"},
        {"AddService=DeVididi,0x00000002,", "AddService=DeVididi,0x00000000,", "exactly one service with flag 0x2"},
        {"StartType=3\r\n", "", "has no StartType"},
        {"devididi.sys=1", "devididi.sys=2", "on disk 2, which [SourceDisksNames] does not list"},
        {"HKR,,DevLoader,,*ntkern", "HKR,,DevLoader,,*vxd", "DevLoader,,*ntkern"},
        {"[DeVididi_Install.NT]", "[DeVididi_Setup.NT]", "no NT-family install section"},
        {"DriverVer=12/05/2026", "DriverVer=2026-12-05", "DriverVer must be"},
        {"Signature=\"$CHICAGO$\"", "Signature=\"$Linux$\"", "Signature must be"},
        {"\r\n[DestinationDirs]", "\n[DestinationDirs]", "bare LF"},
    };
    for (const Case &c : cases) {
        std::string text = good;
        const size_t at = text.find(c.from);
        ASSERT_NE(at, std::string::npos) << c.from;
        text.replace(at, c.from.size(), c.to);
        std::vector<std::string> problems;
        const Inf inf = Inf::Parse(text, problems);
        for (const std::string &p : pkgcheck::CheckDriverInf(inf)) {
            problems.push_back(p);
        }
        EXPECT_NE(Joined(problems).find(c.problem), std::string::npos)
            << "after replacing " << c.from << " with " << c.to << " expected \"" << c.problem
            << "\", got:\n" << Joined(problems);
    }
}

TEST(PackageChecker, RefusesMalformedRegText)
{
    const std::pair<std::string, std::string> cases[] = {
        {"REGEDIT5\r\n", "first line must be"},
        {"REGEDIT4\r\n\r\n\"DebugLevel\"=dword:00000001\r\n", "value before any key"},
        {"REGEDIT4\r\n\r\n[HKLM\\SOFTWARE\\NRV]\r\n", "a key line is [ROOT\\path]"},
        {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\\\NRV]\r\n", "empty name in key path"},
        {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV]\r\n\"DebugLevel\"=dword:1\r\n", "dword:8 hex digits"},
        {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV]\r\n\"DebugLevel=dword:00000001\r\n", "neither a key"},
        {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV]\r\n\"Name\"=\"open\r\n", "one quoted text"},
        {"REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV]\r\n\"DebugLevel\"=dword:00000001\r\n", "being deleted"},
    };
    for (const auto &[text, problem] : cases) {
        std::vector<std::string> problems;
        pkgcheck::ParseReg(text, problems);
        EXPECT_NE(Joined(problems).find(problem), std::string::npos)
            << text << "expected \"" << problem << "\", got:\n" << Joined(problems);
    }
    // The forms the checker must accept.
    std::vector<std::string> problems;
    const pkgcheck::RegFile reg = pkgcheck::ParseReg(
        "REGEDIT4\r\n\r\n; comment\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\NRV]\r\n@=\"default\"\r\n\"Path\"=\"C:\\\\x \\\"y\\\"\"\r\n"
        "\"Bytes\"=hex:01,02,\\\r\n  03\r\n\"Old\"=-\r\n\"Level\"=dword:0000000A\r\n",
        problems);
    EXPECT_TRUE(problems.empty()) << Joined(problems);
    ASSERT_EQ(reg.values.size(), 5u);
    EXPECT_EQ(reg.values[1].text, "C:\\x \"y\"");
    EXPECT_EQ(reg.values[4].dwData, 10u);
}

}  // namespace
