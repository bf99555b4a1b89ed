// The loader against images a hostile author crafts: a small valid image built here, altered in one
// place per case, must be refused naming the cause, in bounded time and memory. Each load runs in a
// child process, so that a loop or a crash fails its case by name instead of the test program.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

#include "emu/kemu/ldr.h"

namespace {

using namespace kemu::ldr;

// Headers (0x200 bytes), .text at 0x1000 (the entry and one relocated word, 0x100 bytes of 0x200 in
// the file), .idata at 0x2000 (one import of ntoskrnl.exe), .reloc filling the image's last page.
struct Crafted {
    static constexpr size_t kOpt = 0x98, kDir = kOpt + 96, kSection = kOpt + 0xe0;
    static constexpr uint32_t kBase = 0x400000, kText = 0x1000, kIdata = 0x2000;
    static constexpr uint32_t kLookup = 0x2040, kThunk = 0x2050, kModule = 0x2070, kName = 0x2080;
    uint32_t idataRaw, reloc;
    std::vector<uint8_t> file;

    explicit Crafted(uint32_t raw = 0x200, uint32_t size = 0x200)
        : idataRaw(raw), reloc(kIdata + ((size + 0xfff) & ~0xfffu)), file(0x600 + raw)
    {
        file[0] = 'M';
        file[1] = 'Z';
        Put32(0x3c, 0x80);
        std::memcpy(&file[0x80], "PE\0\0", 4);
        Put16(0x84, 0x14c);
        Put16(0x86, 3);
        Put16(0x94, 0xe0);
        Put16(kOpt, 0x10b);
        Put32(kOpt + 16, kText);
        Put32(kOpt + 28, kBase);
        Put32(kOpt + 56, reloc + 0x1000);
        Put32(kOpt + 60, 0x200);
        Put16(kOpt + 68, 1);
        Put32(kOpt + 92, 16);
        Put32(kDir + 8, kIdata);
        Put32(kDir + 12, 40);
        Put32(kDir + 40, reloc);
        Put32(kDir + 44, 12);
        SetSection(0, ".text", kText, 0x100, 0x200, 0x200, 0x60000020);
        SetSection(1, ".idata", kIdata, size, raw, 0x400, 0xc0000040);
        SetSection(2, ".reloc", reloc, 0x1000, 0x200, 0x400 + raw, 0x42000040);
        file[0x200] = 0xc3;
        Put32(At(kText + 0x10), kBase + kText);
        Descriptor(0, kLookup, kModule, kThunk);
        Put32(At(kLookup), kName);
        Put32(At(kThunk), kName);
        Text(kModule, "ntoskrnl.exe");
        Text(kName + 2, "KeBugCheck");
        Put32(At(reloc), kText);
        Put32(At(reloc + 4), 12);
        Put16(At(reloc + 8), 0x3010);
    }
    void Put16(size_t at, uint32_t v) { file.at(at + 1) = uint8_t(v >> 8), file.at(at) = uint8_t(v); }
    void Put32(size_t at, uint32_t v) { Put16(at + 2, v >> 16), Put16(at, v); }
    void SetSection(int i, const char *name, uint32_t rva, uint32_t size, uint32_t raw, uint32_t offset, uint32_t flags)
    {
        const size_t at = kSection + 40 * i;
        std::memcpy(&file[at], name, std::strlen(name));
        Put32(at + 8, size);
        Put32(at + 12, rva);
        Put32(at + 16, raw);
        Put32(at + 20, offset);
        Put32(at + 36, flags);
    }
    size_t At(uint32_t rva) const
    {
        return rva < kIdata ? rva - kText + 0x200 : rva < reloc ? rva - kIdata + 0x400 : rva - reloc + 0x400 + idataRaw;
    }
    void Descriptor(uint32_t i, uint32_t lookup, uint32_t module, uint32_t thunk)
    {
        Put32(At(kIdata + 20 * i), lookup);
        Put32(At(kIdata + 20 * i + 12), module);
        Put32(At(kIdata + 20 * i + 16), thunk);
    }
    void Text(uint32_t rva, const std::string &text) { std::memcpy(&file[At(rva)], text.data(), text.size()); }
};

bool ResolveAll(const std::string &, const std::string &, uint32_t *address)
{
    *address = 0x70000000;
    return true;
}

// Reads, maps, relocates 0x10000000 away and binds: "loaded", the refusal, or what ended the child.
std::string Outcome(const std::vector<uint8_t> &file)
{
    int ends[2];
    if (pipe(ends) != 0) return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        alarm(10);
        ImageInfo info;
        std::string error;
        bool loaded = false;
        if (ReadImage(file, &info, &error)) {
            std::vector<uint8_t> image(info.imageSize);
            MapImage(file, info, image.data());
            loaded = RelocateImage(image.data(), info, info.preferredBase + 0x10000000, &error) &&
                     BindImports(image.data(), info, ResolveAll, &error);
        }
        const std::string outcome = loaded ? "loaded" : error;
        _exit(write(ends[1], outcome.data(), outcome.size()) == ssize_t(outcome.size()) ? 0 : 1);
    }
    close(ends[1]);
    std::string outcome;
    char buffer[4096];
    for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;) outcome.append(buffer, size_t(n));
    close(ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        return signal == SIGALRM ? "no answer within 10 s" : "ended by signal " + std::to_string(signal);
    }
    return outcome;
}

struct Case {
    const char *what;
    std::function<void(Crafted &)> change;
    const char *refusal;
};

template <size_t N>
void ExpectRefusals(const Case (&cases)[N], const Crafted &original)
{
    for (const Case &row : cases) {
        Crafted image = original;
        row.change(image);
        const std::string outcome = Outcome(image.file);
        EXPECT_EQ(outcome.find(row.refusal), 0u) << row.what << ": " << outcome.substr(0, 200);
    }
}

TEST(CraftedImage, EachHostileImageIsRefusedWithItsCause)
{
    const Case cases[] = {
        {"a relocation block of 0 bytes", [](Crafted &c) { c.Put32(c.At(c.reloc + 4), 0); },
         "malformed relocation block at 0x3000"},
        {"a relocation block of 6 bytes", [](Crafted &c) { c.Put32(c.At(c.reloc + 4), 6); },
         "malformed relocation block at 0x3000"},
        {"a relocation block past its directory", [](Crafted &c) { c.Put32(c.At(c.reloc + 4), 16); },
         "malformed relocation block at 0x3000"},
        {"a relocation directory past the image", [](Crafted &c) { c.Put32(Crafted::kDir + 40, c.reloc + 0xffc); },
         "relocation directory outside the image"},
        {"a relocation in the headers", [](Crafted &c) { c.Put32(c.At(c.reloc), 0); },
         "relocation at 0x0+0x10 outside the image's sections"},
        {"a relocation in the gap after .text", [](Crafted &c) { c.Put16(c.At(c.reloc + 8), 0x3200); },
         "relocation at 0x1000+0x200 outside the image's sections"},
        {"a relocated word straddling the end of .text", [](Crafted &c) { c.Put16(c.At(c.reloc + 8), 0x30fe); },
         "relocation at 0x1000+0xfe outside the image's sections"},
        {"a relocated word straddling the image's end",
         [](Crafted &c) { c.Put32(c.At(c.reloc), c.reloc), c.Put16(c.At(c.reloc + 8), 0x3ffe); },
         "relocation at 0x3000+0xffe outside the image's sections"},
        {"a relocation just past the image",
         [](Crafted &c) { c.Put32(c.At(c.reloc), c.reloc + 0x1000), c.Put16(c.At(c.reloc + 8), 0x3000); },
         "relocation at 0x4000+0x0 outside the image's sections"},
        {"a section whose end in the image wraps in 32 bits",
         [](Crafted &c) { c.SetSection(1, ".idata", Crafted::kIdata, 0xffffe100, 0x200, 0x400, 0xc0000040); },
         "section .idata lies outside the file or the image"},
        {"a section whose end in the file wraps in 32 bits",
         [](Crafted &c) { c.SetSection(2, ".reloc", c.reloc, 0x1000, 0x200, 0xffffff00, 0x42000040); },
         "section .reloc lies outside the file or the image"},
        {"an import descriptor straddling the end of its section",
         [](Crafted &c) { c.Put32(Crafted::kDir + 8, 0x21f6); },
         "import directory outside the image's sections"},
        {"a lookup entry straddling the end of its section",
         [](Crafted &c) { c.Descriptor(0, 0x21fe, Crafted::kModule, Crafted::kThunk); },
         "import table of ntoskrnl.exe outside the image"},
        {"an address table whose last slot straddles the end of its section",
         [](Crafted &c) { c.Descriptor(0, Crafted::kLookup, Crafted::kModule, 0x21fa); },
         "import address table of ntoskrnl.exe at 0x21fa outside the image's sections"},
        {"an import name running to the end of its section",
         [](Crafted &c) { c.Text(0x21fa, "ABCDEF"), c.Put32(c.At(Crafted::kLookup), 0x21f8); },
         "import name outside the image in ntoskrnl.exe"},
        {"a module name running to the end of its section",
         [](Crafted &c) { c.Text(0x21fa, "ABCDEF"), c.Descriptor(0, Crafted::kLookup, 0x21fa, Crafted::kThunk); },
         "import module name outside the image"},
        // What bounds the loader's work: names, sections and the image they cover.
        {"an import name of 300 bytes", [](Crafted &c) { c.Text(Crafted::kName + 2, std::string(300, 'n')); },
         "import name longer than 256 bytes in ntoskrnl.exe"},
        {"a module name of 300 bytes", [](Crafted &c) { c.Text(Crafted::kModule, std::string(300, 'm')); },
         "import module name longer than 256 bytes"},
        {"a section over the next one",
         [](Crafted &c) { c.SetSection(0, ".text", Crafted::kText, 0x1100, 0x200, 0x200, 0x60000020); },
         "section .idata overlaps .text"},
        {"97 sections", [](Crafted &c) { c.Put16(0x86, 97); }, "97 sections: a kernel image has at most 96"},
    };
    ExpectRefusals(cases, Crafted());
}

// Import tables shared between descriptors would record every import once per descriptor: a
// thousand descriptors over one table of a thousand imports make a million.
TEST(CraftedImage, ImportTablesThatDescriptorsShareAreRefusedBeforeTheyMultiply)
{
    constexpr uint32_t kCount = 1000, kTable = 0x7000, kZeroFill = 0xa000, kModule = 0x9f00, kName = 0x9f20;
    // Descriptor i reads its imports at `lookup` (or its address table) and binds them at thunk + i * step.
    auto many = [](uint32_t lookup, uint32_t thunk, uint32_t step) {
        return [=](Crafted &c) {
            c.Text(kModule, "ntoskrnl.exe");
            c.Text(kName + 2, "KeBugCheck");
            for (uint32_t i = 0; i < kCount; ++i) {
                c.Descriptor(i, lookup, kModule, thunk + i * step);
                c.Put32(c.At(kTable + 4 * i), kName);
            }
        };
    };
    const Case cases[] = {
        {"every descriptor on one address table", many(0, kTable, 0),
         "import address table of ntoskrnl.exe at 0x7000 overlaps another import's at 0x7000"},
        {"each descriptor's table two bytes into the last one's", many(0, kTable, 2),
         "import address table of ntoskrnl.exe at 0x7002 overlaps another import's at 0x7002"},
        {"one lookup table for a thousand address tables", many(kTable, kZeroFill, 4 * (kCount + 1)),
         "import lookup table of ntoskrnl.exe at 0x7000 overlaps another import's at 0x7000"},
    };
    ExpectRefusals(cases, Crafted(0x8000, 0x400000));
}

TEST(CraftedImage, TheUnchangedImageLoadsAndFileBytesPastASectionsVirtualSizeMapAsZeros)
{
    Crafted image;
    std::fill(image.file.begin() + 0x300, image.file.begin() + 0x400, 0xaa); // .text's file padding
    ASSERT_EQ(Outcome(image.file), "loaded");
    ImageInfo info;
    std::string error;
    ASSERT_TRUE(ReadImage(image.file, &info, &error)) << error;
    std::vector<uint8_t> mapped(info.imageSize, 0xff);
    MapImage(image.file, info, mapped.data());
    EXPECT_EQ(std::count(mapped.begin() + 0x1100, mapped.begin() + 0x2000, 0), 0xf00);
}

} // namespace
