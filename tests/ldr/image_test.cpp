// The kernel image loader: reading, mapping, relocation, binding and the service-call sites,
// checked against the real devididi.sys, and each refusal on an image altered in one place.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "emu/kemu.h"
#include "emu/kemu_ldr.h"

namespace {

using namespace kemu::ldr;

uint32_t Get32(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// An address for every name in the export list, none for the rest.
bool FakeResolve(const std::string &module, const std::string &name, uint32_t *address)
{
    uint32_t index = 0;
    for (const Export &e : ExportList()) {
        ++index;
        if (SameModule(module, e.module) && name == e.name) {
            *address = 0x70000000 + 16 * index;
            return true;
        }
    }
    return false;
}

class ImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::ifstream in(DV_IMAGE, std::ios::binary);
        if (!in) {
            GTEST_SKIP() << DV_IMAGE << " is not built (needs the i686 mingw-w64 cross compiler)";
        }
        m_file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        ASSERT_TRUE(ReadImage(m_file, &m_info, &m_error)) << m_error;
    }
    // Reads the file (altered by the test) again and maps it; false with m_error on a refusal.
    bool Load(uint32_t base)
    {
        ImageInfo info;
        if (!ReadImage(m_file, &info, &m_error)) {
            return false;
        }
        m_mapped.assign(info.imageSize, 0);
        MapImage(m_file, info, m_mapped.data());
        return RelocateImage(m_mapped.data(), info, base, &m_error) &&
               BindImports(m_mapped.data(), info, FakeResolve, &m_error);
    }
    size_t Offset(uint32_t rva) const
    {
        for (const Section &s : m_info.sections) {
            if (rva >= s.rva && rva < s.rva + s.rawSize) {
                return s.rawOffset + (rva - s.rva);
            }
        }
        ADD_FAILURE() << "rva not in the file";
        return 0;
    }
    size_t Find(const std::string &text) const
    {
        auto at = std::search(m_file.begin(), m_file.end(), text.begin(), text.end());
        EXPECT_NE(at, m_file.end()) << text;
        return size_t(at - m_file.begin());
    }

    std::vector<uint8_t> m_file, m_mapped;
    ImageInfo m_info;
    std::string m_error;
};

TEST_F(ImageTest, RelocationAtAnotherBaseMovesOnlyTheRelocatedWordsByTheDistance)
{
    EXPECT_EQ(m_info.preferredBase, 0x10000u);
    ASSERT_TRUE(Load(m_info.preferredBase)) << m_error;
    const std::vector<uint8_t> atPreferred = m_mapped;
    const uint32_t base = 0x12340000;
    ASSERT_TRUE(Load(base)) << m_error;
    size_t moved = 0;
    for (size_t at = 0; at < m_mapped.size();) {
        if (m_mapped[at] == atPreferred[at]) {
            ++at;
            continue;
        }
        // A changed byte belongs to a relocated dword: find its start among the next 4 bytes back.
        bool found = false;
        for (size_t start = at >= 3 ? at - 3 : 0; start <= at && !found; ++start) {
            if (Get32(&m_mapped[start]) - Get32(&atPreferred[start]) == base - m_info.preferredBase) {
                found = true;
                at = start + 4;
                ++moved;
            }
        }
        ASSERT_TRUE(found) << "byte at " << at << " changed by something other than the relocation";
    }
    // Counted from the image's own relocation blocks, so that a change of the driver's code does
    // not break the test: a relocated word may keep every byte, never gain one.
    size_t highLow = 0;
    for (uint32_t at = m_info.relocRva; at + 8 <= m_info.relocRva + m_info.relocSize;) {
        const uint32_t blockSize = Get32(&atPreferred[at + 4]);
        ASSERT_GE(blockSize, 8u);
        for (uint32_t entry = at + 8; entry + 2 <= at + blockSize; entry += 2)
            highLow += (atPreferred[entry + 1] >> 4) == 3; // IMAGE_REL_BASED_HIGHLOW
        at += blockSize;
    }
    EXPECT_GT(moved, highLow * 9 / 10);
    EXPECT_LE(moved, highLow);
}

TEST_F(ImageTest, EveryImportIsBoundByNameToTheExportList)
{
    ASSERT_TRUE(Load(0x400000)) << m_error;
    EXPECT_EQ(m_info.imports.size(), 45u);
    for (const Import &import : m_info.imports) {
        uint32_t expected = 0;
        ASSERT_TRUE(FakeResolve(import.module, import.name, &expected)) << import.name;
        EXPECT_EQ(Get32(&m_mapped[import.thunkRva]), expected) << import.name;
    }
}

TEST_F(ImageTest, TheThreeDebugServiceCallsAreFound)
{
    ASSERT_TRUE(Load(0x400000)) << m_error;
    std::vector<uint32_t> sites = FindServiceCalls(m_mapped.data(), m_info);
    ASSERT_EQ(sites.size(), 3u);
    std::multiset<uint16_t> services;
    for (uint32_t site : sites) {
        services.insert(uint16_t(m_mapped[site + 2] | m_mapped[site + 3] << 8));
    }
    EXPECT_EQ(services, (std::multiset<uint16_t>{0, 1, 1}));
}

TEST_F(ImageTest, EachImageTheEmulationCannotRunIsRefusedWithItsReason)
{
    const std::vector<uint8_t> original = m_file;
    const size_t pe = Get32(&m_file[0x3c]);
    auto refused = [&](const char *what) {
        bool loaded = Load(0x400000);
        m_file = original;
        EXPECT_FALSE(loaded) << what;
        return m_error;
    };

    m_file[pe + 4] = 0x64; // machine 0x8664
    m_file[pe + 5] = 0x86;
    EXPECT_NE(refused("machine").find("machine type 0x8664"), std::string::npos) << m_error;

    m_file[pe + 24 + 68] = 2; // a Windows GUI program
    EXPECT_NE(refused("subsystem").find("not native"), std::string::npos) << m_error;

    const Import &first = m_info.imports.front();
    const size_t thunk = Offset(first.thunkRva);
    m_file[thunk + 3] |= 0x80;
    // The lookup table, if any, is read instead of the thunks: mark both.
    for (size_t at = 0; at + 4 <= m_file.size(); at += 4) {
        if (Get32(&m_file[at]) == Get32(&original[thunk]) && at != thunk) {
            m_file[at + 3] |= 0x80;
        }
    }
    EXPECT_NE(refused("ordinal").find("import by ordinal"), std::string::npos) << m_error;

    const size_t hal = Find("HAL.dll");
    m_file[hal + 2] = 'X';
    std::string error = refused("dll");
    EXPECT_NE(error.find("HAX.dll!KfAcquireSpinLock"), std::string::npos) << error;
    EXPECT_NE(error.find("HAX.dll!KeQueryPerformanceCounter"), std::string::npos) << "every import named";

    m_file[Find("memset") + 5] = 'x';
    EXPECT_NE(refused("name").find("ntoskrnl.exe!memsex"), std::string::npos) << m_error;

    const size_t relocations = Offset(m_info.relocRva);
    m_file[relocations + 9] = uint8_t((m_file[relocations + 9] & 0x0f) | 0xa0); // DIR64
    EXPECT_NE(refused("relocation").find("relocation type 10"), std::string::npos) << m_error;
}

TEST(ExportList, ConventionsAndArgumentBytesMatchTheImportLibrariesDecoratedNames)
{
    // The image build's link map names each import as the import library decorates it: _Name@N
    // for stdcall, @Name@N for fastcall, _Name for cdecl and data.
    // The exchange's map and the sample client driver's, whose imports the list carries too.
    std::set<std::string> decorated;
    for (const std::string &map : {std::string(DV_IMAGE).substr(0, std::string(DV_IMAGE).rfind('/')) + "/devididi.map",
                                  std::string(DV_CLIENT_MAP)}) {
        std::ifstream in(map);
        if (!in) {
            GTEST_SKIP() << map << " is not built";
        }
        // C++ objects list "__imp_<decorated>"; a C object's archive references read
        // "(_imp_<decorated>)".
        for (std::string word; in >> word;) {
            if (word.rfind("__imp_", 0) == 0) {
                decorated.insert(word.substr(6));
            } else if (word.rfind("(_imp_", 0) == 0 && word.back() == ')') {
                decorated.insert(word.substr(6, word.size() - 7));
            }
        }
    }
    for (const Export &e : ExportList()) {
        const std::string convention = e.convention, bytes = "@" + std::to_string(e.argumentBytes);
        const std::string name = convention == "stdcall"    ? "_" + std::string(e.name) + bytes
                                 : convention == "fastcall" ? "@" + std::string(e.name) + bytes
                                                            : "_" + std::string(e.name);
        EXPECT_EQ(decorated.count(name), 1u) << e.name << " as " << name;
    }
}

TEST(ExportList, HoldsExactlyTheImportsTheImageCheckAllows)
{
    // The exchange's imports and those of the sample client driver, which runs beside it.
    std::set<std::string> allowed, exported;
    for (const char *path : {DV_IMPORTS_ALLOW, DV_CLIENT_IMPORTS_ALLOW}) {
        std::ifstream in(path);
        ASSERT_TRUE(in) << path;
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            std::string module, name;
            if (words >> module >> name && module[0] != '#') {
                allowed.insert(module + " " + name);
            }
        }
    }
    for (const Export &e : ExportList()) {
        exported.insert(std::string(e.module) + " " + e.name);
        const std::string convention = e.convention;
        EXPECT_TRUE(convention == "stdcall" || convention == "fastcall" || convention == "cdecl" ||
                    convention == "data") << e.name;
        EXPECT_EQ(e.argumentBytes % 4, 0u) << e.name;
    }
    EXPECT_EQ(allowed, exported);
}

} // namespace
