// The kernel-image loader on any bytes: a refusal says why; an accepted image maps, relocates and
// binds inside its own mapping and keeps its entry point and bound addresses in place.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "emu/kemu/ldr.h"
#include "fuzz_support.h"

namespace {

bool Resolve(const std::string &module, const std::string &name, uint32_t *address)
{
    uint32_t index = 0;
    for (const kemu::ldr::Export &e : kemu::ldr::ExportList()) {
        ++index;
        if (kemu::ldr::SameModule(module, e.module) && name == e.name) {
            *address = 0x70000000 + 16 * index;
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace kemu::ldr;
    const std::vector<uint8_t> file(data, data + size);
    ImageInfo info;
    std::string error;
    if (!ReadImage(file, &info, &error)) {
        if (error.empty()) {
            dvfuzz::Finding("fuzz_ldr: refused without a reason: %zu bytes\n", size);
        }
        return 0;
    }
    if (info.entryRva >= info.imageSize) {
        dvfuzz::Finding("fuzz_ldr: entry point outside the image: %u\n", unsigned(info.entryRva));
    }
    // Exactly the image's size, so that the sanitizer catches a write one byte past it.
    std::vector<uint8_t> mapped(info.imageSize);
    MapImage(file, info, mapped.data());
    // Once where it was linked and once elsewhere: both paths of the relocation.
    for (uint32_t base : {info.preferredBase, info.preferredBase + 0x12340000u}) {
        std::string relocError, bindError;
        if (!RelocateImage(mapped.data(), info, base, &relocError)) {
            if (relocError.empty()) {
                dvfuzz::Finding("fuzz_ldr: relocation refused without a reason\n");
            }
            continue;
        }
        if (!BindImports(mapped.data(), info, Resolve, &bindError)) {
            if (bindError.empty()) {
                dvfuzz::Finding("fuzz_ldr: binding refused without a reason\n");
            }
            continue;
        }
        // No two imports share a slot: each holds the address bound for it.
        for (const Import &import : info.imports) {
            uint32_t expected = 0, bound;
            Resolve(import.module, import.name, &expected);
            std::memcpy(&bound, &mapped[import.thunkRva], 4);
            if (bound != expected) {
                dvfuzz::Finding("fuzz_ldr: an import's address was not where it was bound: %s!%s\n",
                                import.module.c_str(), import.name.c_str());
            }
        }
    }
    for (uint32_t site : FindServiceCalls(mapped.data(), info)) {
        if (uint64_t{site} + 6 > info.imageSize) {
            dvfuzz::Finding("fuzz_ldr: a service call site past the image: %u\n", unsigned(site));
        }
    }
    return 0;
}
