/*
 * The emulation's loader (C++17): a driver's code taken from a file, in either of two forms.
 *
 * - A shared object built against this emulation (a `.so`): opened with the dynamic linker,
 *   `DriverEntry` looked up. Its kernel calls bind to the one emulation of the program that opens
 *   it, so the program must export the emulation's symbols (link it with ENABLE_EXPORTS).
 * - A 32-bit Windows kernel image (PE32, i386, native subsystem): mapped at an address the system
 *   picks, relocated, its imports bound by name to the emulation's export table, its virtual-device
 *   service calls (`int 20h`) rewritten into calls of the emulation's service. Only an i386 process
 *   can run it; elsewhere Open refuses it with a clear message.
 *
 * Every Open maps or opens the code anew, so every global of the driver starts as in a fresh load.
 * The object owns the code: destroying it unmaps or closes it, so it must outlive every call into
 * the driver (its unload included).
 *
 * While open, a module's address ranges are known to the emulation (ModuleHolding), so that a
 * request can be traced to the driver whose code built it, wherever that code ran. Destroying the
 * module first takes out whatever would still call into its code: each queued DPC whose object or
 * routine lies in it, and each completion routine of it on a live request, reported as a violation
 * naming the driver and the object. Its range then stays reserved and inaccessible: a call or access
 * into it later is a stop (kemu::Stop) naming the driver, the offset and the caller, never a bare
 * crash. Before its code goes, the unload check (SetUnloadCheck) reports what other drivers still
 * hold of it, such as callbacks registered with them.
 */
#ifndef DEVIDIDI_EMU_KEMU_LDR_H
#define DEVIDIDI_EMU_KEMU_LDR_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../ddk/io.h"

namespace kemu {

std::string ModuleOfCode(const void *address);

class DriverModule {
public:
    // The module in the file, or null with the reason in *error (never silent).
    static std::unique_ptr<DriverModule> Open(const std::string &path, std::string *error);
    ~DriverModule();
    DriverModule(const DriverModule &) = delete;
    DriverModule &operator=(const DriverModule &) = delete;

    PDRIVER_INITIALIZE Entry() const { return m_entry; }
    const std::string &Path() const { return m_path; }
    bool IsImage() const { return m_image != nullptr; }
    // Where the code lies: an image's mapping, or null and 0 for a shared object.
    const void *Base() const;
    size_t Size() const;
    // The driver object whose DriverEntry this module's entry ran, and its name for reports.
    void Attach(PDRIVER_OBJECT driver, const std::string &name);
    PDRIVER_OBJECT Driver() const { return m_driver; }
    const std::string &Name() const { return m_name; }
    bool Holds(const void *address) const;

private:
    friend std::string ModuleOfCode(const void *address);
    DriverModule() = default;
    void Register();
    void Publish() const; // for the fault handler's reports, under the module list's lock
    struct Image;
    struct Range {
        uintptr_t begin, end;
    };
    std::vector<Range> m_ranges; // the code and data of the module as mapped
    PDRIVER_OBJECT m_driver = nullptr;
    std::string m_name;
    std::string m_path;
    PDRIVER_INITIALIZE m_entry = nullptr;
    void *m_shared = nullptr;      // dlopen handle
    std::unique_ptr<Image> m_image; // mapped kernel image
};

// The driver attached to the open module whose ranges hold `address`, or null.
PDRIVER_OBJECT DriverOfCode(const void *address);
// Attaches the open module that holds a DriverEntry about to run (LoadDriver calls it), if none is
// attached yet, so that what the entry does is already reported under the driver's name.
void NameModuleOfEntry(const void *entry, PDRIVER_OBJECT driver, const std::string &name);
// "<driver>+0x<offset>" for an address in an open module, else "" (also when the module list is
// busy: a fault handler asks).
std::string ModuleOfCode(const void *address);

namespace rule {
inline constexpr char kCallIntoUnloadedDriver[] = "call into an unloaded driver";
inline constexpr char kAccessToUnloadedDriver[] = "access to an unloaded driver's memory";
inline constexpr char kCallbacksLeftAtUnload[] = "driver unloaded while another driver still holds its callbacks";
} // namespace rule

// Run at each module's unload, after its DriverUnload and before its code goes: given the driver's
// name and the test of the module's ranges, it returns what other drivers still hold of that code,
// each then reported as rule::kCallbacksLeftAtUnload; it takes them out of harm's way itself.
using UnloadCheck = std::function<std::vector<std::string>(const std::string &driver,
                                                           const std::function<bool(const void *)> &inImage)>;
void SetUnloadCheck(UnloadCheck check);
// Keeps [begin, end) of an unloaded module reserved and inaccessible and reports a fault in it as a
// stop naming `name` and the offset from `base`.
void GuardUnloadedRange(const void *begin, const void *end, const void *base, const std::string &name);

// ---- The steps of loading a kernel image, host-independent so that any build can test them ----
namespace ldr {

struct Section {
    std::string name;
    uint32_t rva = 0, virtualSize = 0, rawOffset = 0, rawSize = 0, characteristics = 0;
};
struct Import {
    std::string module; // as the image names it, e.g. "ntoskrnl.exe"
    std::string name;   // undecorated
    uint32_t thunkRva = 0; // where the bound address goes
};
// What the loader needs of an image, read and checked from its bytes.
struct ImageInfo {
    uint32_t preferredBase = 0, imageSize = 0, headerSize = 0, entryRva = 0;
    uint32_t relocRva = 0, relocSize = 0;
    std::vector<Section> sections;
    std::vector<Import> imports;
};

// Checks the headers (PE32, i386, native subsystem, at most 96 sections, in order, without overlap,
// inside the file and the image) and reads sections and imports. False with the reason in *error;
// an import by ordinal, a name over 256 bytes and import tables that descriptors share or overlap
// are refused, so that what is recorded is bounded by the file's size.
bool ReadImage(const std::vector<uint8_t> &file, ImageInfo *info, std::string *error);
// Copies headers and sections into `mapped` (imageSize bytes, zero-filled beyond the raw data).
void MapImage(const std::vector<uint8_t> &file, const ImageInfo &info, uint8_t *mapped);
// Applies the base relocations for a load at `base`. Only HIGHLOW (and the ABSOLUTE padding) are
// known; any other type refuses with its type and address.
bool RelocateImage(uint8_t *mapped, const ImageInfo &info, uint32_t base, std::string *error);
// Writes each import's address as the resolver answers it; the resolver returns false for a name
// it does not export. Every unresolved import is named in *error, not only the first.
using Resolver = std::function<bool(const std::string &module, const std::string &name, uint32_t *address)>;
bool BindImports(uint8_t *mapped, const ImageInfo &info, const Resolver &resolve, std::string *error);
// Offsets (RVAs) of the virtual-device service calls in the image's code: `int 20h` followed by
// the service dword.
std::vector<uint32_t> FindServiceCalls(const uint8_t *mapped, const ImageInfo &info);

// One entry of the emulation's export table: the kernel module that exports the name, the name,
// its calling convention and the bytes of arguments the callee removes (stdcall, fastcall) or
// the caller does (cdecl, where it is 0); "data" for an exported variable.
struct Export {
    const char *module;
    const char *name;
    const char *convention; // "stdcall", "fastcall", "cdecl" or "data"
    unsigned argumentBytes;
};
const std::vector<Export> &ExportList();
// True when module names match the way the kernel's loader compares them (case-insensitively).
bool SameModule(const std::string &a, const std::string &b);

} // namespace ldr
} // namespace kemu

#endif
