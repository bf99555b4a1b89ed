// The steps of loading a kernel image: read and check the headers, map, relocate, bind, find the
// virtual-device service calls. Host-independent: they work on bytes and 32-bit addresses only.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <strings.h>

#include "emu/kemu/ldr.h"

namespace kemu::ldr {
namespace {

constexpr uint16_t kMachineI386 = 0x014c;
constexpr uint16_t kMagicPe32 = 0x10b;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kRelAbsolute = 0, kRelHighLow = 3;
constexpr uint32_t kSectionExecutable = 0x20000000;
constexpr uint64_t kMaxImageSize = 256u << 20;
// The most sections the kernel's own loader accepts. They must also lie in order without overlap, so
// that the work over them all (mapping, scanning, each lookup of an address) is bounded by the image.
constexpr uint16_t kMaxSections = 96;
// No name the emulation exports comes near: the memory of each import recorded is bounded by it.
constexpr size_t kMaxName = 256;

uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
void Put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}
std::string Hex(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", v);
    return text;
}

uint32_t MappedSize(const Section &s) { return std::max(s.virtualSize, s.rawSize); }

// Reads a NUL-terminated name of at most kMaxName bytes at an RVA of the file, through the section
// that holds it; else false, with `what` and `where` naming it in *error.
bool NameAt(const std::vector<uint8_t> &file, const ImageInfo &info, uint32_t rva, const char *what,
            const std::string &where, std::string *name, std::string *error)
{
    for (const Section &s : info.sections) {
        if (rva >= s.rva && rva < s.rva + s.rawSize) {
            for (size_t at = s.rawOffset + (rva - s.rva); at < file.size() && at < s.rawOffset + s.rawSize; ++at) {
                if (file[at] == 0) {
                    return true;
                }
                if (name->size() == kMaxName) {
                    *error = std::string(what) + " longer than " + std::to_string(kMaxName) + " bytes" + where;
                    return false;
                }
                name->push_back(static_cast<char>(file[at]));
            }
            break;
        }
    }
    *error = std::string(what) + " outside the image" + where;
    return false;
}
// The file offset of an RVA with at least `bytes` behind it, or SIZE_MAX.
// File values are widened to 64 bits before any sum, so that no sum can wrap.
size_t FileOffset(const std::vector<uint8_t> &file, const ImageInfo &info, uint64_t rva, uint64_t bytes)
{
    for (const Section &s : info.sections) {
        if (rva >= s.rva && rva - s.rva + bytes <= s.rawSize) {
            const uint64_t at = uint64_t{s.rawOffset} + (rva - s.rva);
            return at + bytes <= file.size() ? static_cast<size_t>(at) : SIZE_MAX;
        }
    }
    return SIZE_MAX;
}
// True when [rva, rva + bytes) lies inside one section as mapped (raw data and zero fill).
bool InSection(const ImageInfo &info, uint64_t rva, uint64_t bytes, uint32_t mustHave = 0)
{
    for (const Section &s : info.sections) {
        if (rva >= s.rva && rva + bytes <= uint64_t{s.rva} + MappedSize(s)) {
            return (s.characteristics & mustHave) == mustHave;
        }
    }
    return false;
}

// Claims the 4-byte word at `at` for one import: false when it overlaps a word claimed before.
bool Claim(std::set<uint64_t> *words, uint64_t at)
{
    auto next = words->lower_bound(at < 3 ? 0 : at - 3);
    if (next != words->end() && *next < at + 4) {
        return false;
    }
    words->insert(next, at);
    return true;
}

// Every import has a word of the file of its own to be read from and a slot of its own to be bound
// in: descriptors that share or overlap their tables are refused, so that the imports recorded are
// never more than the file has words.
bool ReadImports(const std::vector<uint8_t> &file, ImageInfo *info, uint32_t importRva, std::string *error)
{
    std::set<uint64_t> read, bound; // file offsets of the entries, RVAs of the slots
    for (uint64_t desc = importRva;; desc += 20) {
        size_t at = FileOffset(file, *info, desc, 20);
        if (at == SIZE_MAX) {
            *error = "import directory outside the image's sections";
            return false;
        }
        uint32_t lookup = Get32(&file[at]), nameRva = Get32(&file[at + 12]), thunk = Get32(&file[at + 16]);
        if (nameRva == 0 && thunk == 0) {
            return true;
        }
        std::string module;
        if (!NameAt(file, *info, nameRva, "import module name", "", &module, error)) {
            return false;
        }
        // Without a lookup table the names are read from the address table itself.
        const uint32_t table = lookup ? lookup : thunk;
        for (uint64_t i = 0;; ++i) {
            size_t entry = FileOffset(file, *info, uint64_t{table} + 4 * i, 4);
            if (entry == SIZE_MAX) {
                *error = "import table of " + module + " outside the image";
                return false;
            }
            // The bound address is written there: never into the headers or past a section.
            const uint64_t slot = uint64_t{thunk} + 4 * i;
            if (!InSection(*info, slot, 4)) {
                *error = "import address table of " + module + " at " + Hex(thunk) + " outside the image's sections";
                return false;
            }
            uint32_t value = Get32(&file[entry]);
            if (value == 0) {
                break;
            }
            if (!Claim(&bound, slot)) {
                *error = "import address table of " + module + " at " + Hex(thunk) + " overlaps another import's at " +
                         Hex(static_cast<uint32_t>(slot));
                return false;
            }
            if (!Claim(&read, entry)) {
                *error = "import lookup table of " + module + " at " + Hex(table) + " overlaps another import's at " +
                         Hex(static_cast<uint32_t>(table + 4 * i));
                return false;
            }
            if (value & 0x80000000u) {
                *error = "import by ordinal " + std::to_string(value & 0xffff) + " from " + module +
                         ": only imports by name can be bound";
                return false;
            }
            Import import{module, "", static_cast<uint32_t>(slot)};
            if (!NameAt(file, *info, value + 2, "import name", " in " + module, &import.name, error)) {
                return false;
            }
            info->imports.push_back(import);
        }
    }
}

} // namespace

bool SameModule(const std::string &a, const std::string &b)
{
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool ReadImage(const std::vector<uint8_t> &file, ImageInfo *info, std::string *error)
{
    *info = ImageInfo{};
    if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') {
        *error = "not a Windows image (no MZ header)";
        return false;
    }
    uint32_t pe = Get32(&file[0x3c]);
    if (pe > file.size() || file.size() - pe < 24 + 96 || std::memcmp(&file[pe], "PE\0\0", 4) != 0) {
        *error = "not a Windows image (no PE header)";
        return false;
    }
    const uint8_t *coff = &file[pe + 4];
    if (Get16(coff) != kMachineI386) {
        *error = "machine type " + Hex(Get16(coff)) + " is not i386 (0x14c)";
        return false;
    }
    uint16_t sections = Get16(coff + 2), optionalSize = Get16(coff + 16);
    const uint8_t *opt = coff + 20;
    size_t optAt = pe + 24;
    if (optionalSize < 96 + 16 * 8 || optAt + optionalSize > file.size() || Get16(opt) != kMagicPe32) {
        *error = "not a PE32 image (optional header)";
        return false;
    }
    if (Get16(opt + 68) != kSubsystemNative) {
        *error = "subsystem " + std::to_string(Get16(opt + 68)) + " is not native (1): not a kernel image";
        return false;
    }
    info->entryRva = Get32(opt + 16);
    info->preferredBase = Get32(opt + 28);
    info->imageSize = Get32(opt + 56);
    info->headerSize = Get32(opt + 60);
    uint32_t directories = Get32(opt + 92);
    const uint8_t *dir = opt + 96;
    uint32_t importRva = directories > 1 ? Get32(dir + 8) : 0;
    info->relocRva = directories > 5 ? Get32(dir + 40) : 0;
    info->relocSize = directories > 5 ? Get32(dir + 44) : 0;
    size_t sectionAt = optAt + optionalSize;
    if (sections > kMaxSections) {
        *error = std::to_string(sections) + " sections: a kernel image has at most " + std::to_string(kMaxSections);
        return false;
    }
    if (sectionAt + 40u * sections > file.size() || info->headerSize > info->imageSize ||
        info->headerSize > file.size() || info->imageSize > kMaxImageSize) {
        *error = "section table or image size out of bounds";
        return false;
    }
    for (uint16_t i = 0; i < sections; ++i) {
        const uint8_t *s = &file[sectionAt + 40u * i];
        Section section;
        section.name.assign(reinterpret_cast<const char *>(s), strnlen(reinterpret_cast<const char *>(s), 8));
        section.virtualSize = Get32(s + 8);
        section.rva = Get32(s + 12);
        section.rawSize = Get32(s + 16);
        section.rawOffset = Get32(s + 20);
        section.characteristics = Get32(s + 36);
        uint32_t mappedSize = std::max(section.virtualSize, section.rawSize);
        if (section.rawOffset + uint64_t{section.rawSize} > file.size() ||
            section.rva + uint64_t{mappedSize} > info->imageSize || section.rva < info->headerSize) {
            *error = "section " + section.name + " lies outside the file or the image";
            return false;
        }
        // Raw data beyond the virtual size is file padding, not part of the image.
        if (section.virtualSize != 0 && section.rawSize > section.virtualSize) {
            section.rawSize = section.virtualSize;
        }
        const Section *previous = info->sections.empty() ? nullptr : &info->sections.back();
        if (previous != nullptr && section.rva < uint64_t{previous->rva} + MappedSize(*previous)) {
            *error = "section " + section.name + " overlaps " + previous->name;
            return false;
        }
        info->sections.push_back(section);
    }
    if (info->entryRva == 0 || info->entryRva >= info->imageSize) {
        *error = "no entry point inside the image";
        return false;
    }
    if (!InSection(*info, info->entryRva, 1, kSectionExecutable)) {
        *error = "entry point " + Hex(info->entryRva) + " is not in an executable section";
        return false;
    }
    return importRva == 0 || ReadImports(file, info, importRva, error);
}

void MapImage(const std::vector<uint8_t> &file, const ImageInfo &info, uint8_t *mapped)
{
    std::memset(mapped, 0, info.imageSize);
    std::memcpy(mapped, file.data(), info.headerSize);
    for (const Section &s : info.sections) {
        std::memcpy(mapped + s.rva, file.data() + s.rawOffset, s.rawSize);
    }
}

bool RelocateImage(uint8_t *mapped, const ImageInfo &info, uint32_t base, std::string *error)
{
    const uint32_t delta = base - info.preferredBase;
    if (info.relocRva == 0 || info.relocSize == 0) {
        if (delta == 0) {
            return true;
        }
        // Its absolute addresses would all point at the preferred base.
        *error = "no relocations, and the image cannot be loaded at its preferred base " + Hex(info.preferredBase);
        return false;
    }
    const uint64_t end = uint64_t{info.relocRva} + info.relocSize;
    if (end > info.imageSize) {
        *error = "relocation directory outside the image";
        return false;
    }
    for (uint64_t block = info.relocRva; block + 8 <= end;) {
        uint32_t page = Get32(mapped + block), size = Get32(mapped + block + 4);
        if (size < 8 || block + size > end) {
            *error = "malformed relocation block at " + Hex(static_cast<uint32_t>(block));
            return false;
        }
        for (uint64_t at = block + 8; at + 2 <= block + size; at += 2) {
            uint16_t entry = Get16(mapped + at);
            uint32_t type = entry >> 12;
            uint64_t rva = uint64_t{page} + (entry & 0xfff);
            if (type == kRelAbsolute) {
                continue;
            }
            if (type != kRelHighLow) {
                *error = "relocation type " + std::to_string(type) + " at " + Hex(static_cast<uint32_t>(rva)) +
                         " is not known (only HIGHLOW)";
                return false;
            }
            // Only a section's words hold addresses; the headers and the gaps between sections do not.
            if (!InSection(info, rva, 4)) {
                *error = "relocation at " + Hex(page) + "+" + Hex(entry & 0xfff) + " outside the image's sections";
                return false;
            }
            Put32(mapped + rva, Get32(mapped + rva) + delta);
        }
        block += size;
    }
    return true;
}

bool BindImports(uint8_t *mapped, const ImageInfo &info, const Resolver &resolve, std::string *error)
{
    std::string missing;
    for (const Import &import : info.imports) {
        uint32_t address = 0;
        if (!InSection(info, import.thunkRva, 4)) {
            *error = "import address of " + import.module + "!" + import.name + " outside the image's sections";
            return false;
        }
        if (!resolve(import.module, import.name, &address)) {
            missing += (missing.empty() ? "" : ", ") + import.module + "!" + import.name;
            continue;
        }
        Put32(mapped + import.thunkRva, address);
    }
    if (!missing.empty()) {
        *error = "imports the emulation does not export: " + missing;
        return false;
    }
    return true;
}

std::vector<uint32_t> FindServiceCalls(const uint8_t *mapped, const ImageInfo &info)
{
    // int 20h, then the service dword: device 0x0327 (the debug output service), service 0 or 1.
    std::vector<uint32_t> sites;
    for (const Section &s : info.sections) {
        if (!(s.characteristics & kSectionExecutable)) {
            continue;
        }
        const uint64_t end = uint64_t{s.rva} + MappedSize(s);
        for (uint64_t at = s.rva; at + 6 <= end; ++at) {
            if (mapped[at] == 0xcd && mapped[at + 1] == 0x20 && Get16(mapped + at + 4) == 0x0327 &&
                Get16(mapped + at + 2) <= 1) {
                sites.push_back(static_cast<uint32_t>(at));
            }
        }
    }
    return sites;
}

const std::vector<Export> &ExportList()
{
    static const std::vector<Export> list{
#define KEMU_EXPORT(module, name, convention, bytes) {module, #name, #convention, bytes},
#define KEMU_EXPORT_SHIM KEMU_EXPORT
#define KEMU_EXPORT_DATA KEMU_EXPORT
#include "emu/ldr/exports.inc"
#undef KEMU_EXPORT
#undef KEMU_EXPORT_SHIM
#undef KEMU_EXPORT_DATA
    };
    return list;
}

} // namespace kemu::ldr
