// The kernel image loader: reading, mapping, relocation, binding and the service-call sites,
// checked against the real devididi.sys, and each refusal on an image altered in one place.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include "emu/kemu/kemu.h"
#include "emu/kemu/ldr.h"

#if DV_IMAGES_BUILT
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
        ASSERT_TRUE(in) << DV_IMAGE << " is not built";
        m_file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        ASSERT_TRUE(ReadImage(m_file, &m_info, &m_error)) << m_error;
        m_original = m_file;
    }
    // Reads the file (altered by the test) again and maps it; false with m_error on a refusal.
    bool Load(uint32_t base)
    {
        ImageInfo info;
        if (!ReadImage(m_file, &info, &m_error)) return false;
        m_mapped.assign(info.imageSize, 0);
        MapImage(m_file, info, m_mapped.data());
        return RelocateImage(m_mapped.data(), info, base, &m_error) &&
               BindImports(m_mapped.data(), info, FakeResolve, &m_error);
    }
    size_t Offset(uint32_t rva) const
    {
        for (const Section &s : m_info.sections) {
            if (rva >= s.rva && rva < s.rva + s.rawSize) return s.rawOffset + (rva - s.rva);
        }
        ADD_FAILURE() << "rva not in the file";
        return 0;
    }
    // Loading the altered file fails naming the reason; the file is restored for the next change.
    testing::AssertionResult Refused(const std::string &reason, uint32_t base = 0x400000)
    {
        m_lastError = Load(base) ? "loaded" : m_error;
        m_file = m_original;
        if (m_lastError.find(reason) != std::string::npos) return testing::AssertionSuccess();
        return testing::AssertionFailure() << m_lastError << ", not refused for " << reason;
    }
    size_t Find(const std::string &text) const
    {
        auto at = std::search(m_file.begin(), m_file.end(), text.begin(), text.end());
        EXPECT_NE(at, m_file.end()) << text;
        return size_t(at - m_file.begin());
    }
    std::vector<uint8_t> m_file, m_original, m_mapped;
    ImageInfo m_info;
    std::string m_error, m_lastError;
};

TEST_F(ImageTest, RelocationAtAnotherBaseMovesOnlyTheRelocatedWordsByTheDistance)
{
    ASSERT_TRUE(Load(m_info.preferredBase)) << m_error;
    const std::vector<uint8_t> atPreferred = m_mapped;
    const uint32_t base = 0x12340000;
    ASSERT_TRUE(Load(base)) << m_error;
    // Every HIGHLOW word the image's own blocks list moves by the distance; no other byte changes.
    std::vector<bool> relocated(m_mapped.size(), false);
    size_t highLow = 0;
    for (uint32_t at = m_info.relocRva; at + 8 <= m_info.relocRva + m_info.relocSize;) {
        const uint32_t page = Get32(&atPreferred[at]), blockSize = Get32(&atPreferred[at + 4]);
        ASSERT_GE(blockSize, 8u);
        for (uint32_t entry = at + 8; entry + 2 <= at + blockSize; entry += 2) {
            if ((atPreferred[entry + 1] >> 4) != 3) continue; // not IMAGE_REL_BASED_HIGHLOW
            const uint32_t rva = page + (atPreferred[entry] | (atPreferred[entry + 1] & 0x0f) << 8);
            ++highLow;
            EXPECT_EQ(Get32(&m_mapped[rva]) - Get32(&atPreferred[rva]), base - m_info.preferredBase) << rva;
            std::fill(relocated.begin() + rva, relocated.begin() + rva + 4, true);
        }
        at += blockSize;
    }
    EXPECT_GT(highLow, 100u);
    for (size_t at = 0; at < m_mapped.size(); ++at) {
        ASSERT_TRUE(relocated[at] || m_mapped[at] == atPreferred[at]) << "byte at " << at << " changed by no relocation";
    }
}

// Each import's address lands in its own slot of the address table, found by module and name.
TEST_F(ImageTest, EveryImportIsBoundAndTheServiceCallsAreFound)
{
    ASSERT_TRUE(Load(0x400000)) << m_error;
    ASSERT_FALSE(m_info.imports.empty());
    for (const Import &i : m_info.imports) {
        uint32_t expected = 0;
        ASSERT_TRUE(FakeResolve(i.module, i.name, &expected)) << i.name;
        EXPECT_EQ(Get32(&m_mapped[i.thunkRva]), expected) << i.module << "!" << i.name;
    }
    // The three debug service calls are found.
    std::vector<uint32_t> sites = FindServiceCalls(m_mapped.data(), m_info);
    ASSERT_EQ(sites.size(), 3u);
    std::multiset<uint16_t> services;
    for (uint32_t site : sites) services.insert(uint16_t(m_mapped[site + 2] | m_mapped[site + 3] << 8));
    EXPECT_EQ(services, (std::multiset<uint16_t>{0, 1, 1}));
}

TEST_F(ImageTest, EachImageTheEmulationCannotRunIsRefusedWithItsReason)
{
    const size_t pe = Get32(&m_file[0x3c]);
    m_file[pe + 4] = 0x64; // machine 0x8664
    m_file[pe + 5] = 0x86;
    EXPECT_TRUE(Refused("machine type 0x8664"));
    m_file[pe + 24 + 68] = 2; // a Windows GUI program
    EXPECT_TRUE(Refused("not native"));
    const Import &first = m_info.imports.front();
    const size_t thunk = Offset(first.thunkRva);
    m_file[thunk + 3] |= 0x80;
    // The lookup table, if any, is read instead of the thunks: mark both.
    for (size_t at = 0; at + 4 <= m_file.size(); at += 4) {
        if (Get32(&m_file[at]) == Get32(&m_original[thunk]) && at != thunk) m_file[at + 3] |= 0x80;
    }
    EXPECT_TRUE(Refused("import by ordinal"));
    m_file[Find("HAL.dll") + 2] = 'X';
    EXPECT_TRUE(Refused("HAX.dll!KfAcquireSpinLock"));
    EXPECT_NE(m_lastError.find("HAX.dll!KeQueryPerformanceCounter"), std::string::npos) << "every import named";
    m_file[Find("memset") + 5] = 'x';
    EXPECT_TRUE(Refused("ntoskrnl.exe!memsex"));
    const size_t relocations = Offset(m_info.relocRva);
    m_file[relocations + 9] = uint8_t((m_file[relocations + 9] & 0x0f) | 0xa0); // DIR64
    EXPECT_TRUE(Refused("relocation type 10"));
}

// Each image altered in one field as a hostile or careless author could: refused with the cause
// before any of its values is used to write, never a write outside the mapping or a loop.
TEST_F(ImageTest, CraftedImagesAreRefusedBeforeTheyCanWriteOutsideTheirSections)
{
    const size_t pe = Get32(&m_file[0x3c]), opt = pe + 24, dir = opt + 96;
    auto put = [&](size_t at, uint32_t v) { std::memcpy(&m_file[at], &v, 4); };
    const size_t imports = Offset(Get32(&m_file[dir + 8]));
    put(imports + 16, 0xfffffffc); // the address table 4 bytes before the image
    EXPECT_TRUE(Refused("import address table of"));
    put(imports + 16, 0); // over the headers
    EXPECT_TRUE(Refused("outside the image's sections"));
    const size_t relocations = Offset(m_info.relocRva);
    put(relocations, 0xfffff000); // a page whose last word wraps to the start of the image
    m_file[relocations + 8] = 0xfc;
    m_file[relocations + 9] = 0x3f;
    EXPECT_TRUE(Refused("relocation at 0xfffff000+0xffc"));
    put(relocations + 4, 0xfffffff8); // a block size that a 32-bit sum would turn into a step backwards
    EXPECT_TRUE(Refused("malformed relocation block"));
    put(dir + 40, 0); // no relocation directory: it can only be loaded where it was linked
    put(dir + 44, 0);
    EXPECT_TRUE(Refused("no relocations"));
    put(dir + 40, 0);
    put(dir + 44, 0);
    EXPECT_TRUE(Load(m_info.preferredBase)) << m_error;
    m_file = m_original;
    put(opt + 92, 0); // NumberOfRvaAndSizes: neither imports nor relocations
    EXPECT_TRUE(Refused("no relocations"));
    for (const Section &s : m_info.sections) {
        if (!(s.characteristics & 0x20000000)) {
            put(opt + 16, s.rva);
            EXPECT_TRUE(Refused("not in an executable section")) << s.name;
        }
    }
    put(opt + 16, m_info.imageSize);
    EXPECT_TRUE(Refused("entry point"));
}

TEST(ExportList, ConventionsAndArgumentBytesMatchTheImportLibrariesDecoratedNames)
{
    // The kernel's import libraries declare each routine decorated: _Name@N for stdcall, @Name@N
    // for fastcall, _Name for cdecl and data (nm lists the import thunk as __imp_<decorated>).
    std::set<std::string> decorated;
    std::ifstream in(DV_IMPORT_NAMES);
    ASSERT_TRUE(in) << DV_IMPORT_NAMES << " was not written";
    for (std::string word; in >> word;) {
        if (word.rfind("__imp_", 0) == 0) {
            decorated.insert(word.substr(6));
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

} // namespace
#endif
