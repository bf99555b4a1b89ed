// Driver modules: shared objects through the dynamic linker, kernel images through the emulation's
// own loader (i386 processes only).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <link.h>
#include <mutex>
#include <iterator>
#include <sys/mman.h>
#include <unistd.h>

#include "emu/internal/core.h"
#include "emu/kemu/core.h"
#include "emu/kemu/io.h"
#include "emu/kemu/ldr.h"

namespace kemu {

struct DriverModule::Image {
    uint8_t *base = nullptr;
    size_t size = 0;
    ~Image()
    {
        if (base != nullptr) {
            munmap(base, size);
        }
    }
};

namespace {

// The open modules, for the address lookups of requests being built.
std::mutex g_modulesLock;
std::vector<const DriverModule *> g_modules;
UnloadCheck g_unloadCheck;

// The same modules for the fault handler, which reads them without a lock: written under
// g_modulesLock, a slot's fields before its owner is published.
struct OpenSlot {
    std::atomic<const void *> owner{nullptr};
    static constexpr size_t kRanges = 16;
    uintptr_t begin[kRanges] = {}, end[kRanges] = {};
    size_t count = 0;
    uintptr_t base = 0;
    char name[120] = {};
};
constexpr size_t kOpenSlots = 256;
OpenSlot g_open[kOpenSlots];

// Under g_modulesLock.
void Publish(const void *owner, const std::vector<std::pair<uintptr_t, uintptr_t>> &ranges, const std::string &name)
{
    OpenSlot *slot = nullptr;
    for (OpenSlot &s : g_open) {
        const void *held = s.owner.load(std::memory_order_relaxed);
        if (held == owner || (held == nullptr && slot == nullptr)) {
            slot = &s;
            if (held == owner) {
                break;
            }
        }
    }
    if (slot == nullptr) {
        return; // only reports lose the module's name: its code is "file+offset" there
    }
    slot->owner.store(nullptr, std::memory_order_release);
    slot->count = std::min(ranges.size(), OpenSlot::kRanges);
    slot->base = UINTPTR_MAX;
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (i < OpenSlot::kRanges) {
            slot->begin[i] = ranges[i].first;
            slot->end[i] = ranges[i].second;
        }
        slot->base = std::min(slot->base, ranges[i].first);
    }
    std::snprintf(slot->name, sizeof slot->name, "%s", name.c_str());
    slot->owner.store(owner, std::memory_order_release);
}

void Withdraw(const void *owner)
{
    for (OpenSlot &s : g_open) {
        if (s.owner.load(std::memory_order_relaxed) == owner) {
            s.owner.store(nullptr, std::memory_order_release);
        }
    }
}

bool ReadFile(const std::string &path, std::vector<uint8_t> *bytes, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

} // namespace

#if defined(__i386__)
namespace {

// Where the image's calls land. Most exports are the emulation's own routines, which carry the
// kernel's conventions in this build; these few need a shim.
extern "C" {
LONG FASTCALL LdrInterlockedIncrement(volatile LONG *p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
LONG FASTCALL LdrInterlockedDecrement(volatile LONG *p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
// The kernel returns the 64-bit count in EDX:EAX, where gcc would return the union through memory.
ULONGLONG NTAPI LdrKeQueryPerformanceCounter(PLARGE_INTEGER frequency)
{
    return static_cast<ULONGLONG>(KeQueryPerformanceCounter(frequency).QuadPart);
}
// The kernel's reference drop returns the count left; the emulation's routine returns nothing.
LONG_PTR FASTCALL LdrObfDereferenceObject(PVOID object)
{
    ObDereferenceObject(object);
    return 0;
}
// int 20h sites become calls of these: the argument stays pushed by the image, the answer in EAX.
ULONG __cdecl LdrDebugServiceVersion(ULONG_PTR arg) { return KxVxdServiceCall(0x0327, 0, arg); }
ULONG __cdecl LdrDebugServiceShow(ULONG_PTR arg) { return KxVxdServiceCall(0x0327, 1, arg); }
}

void *ExportAddress(const std::string &name)
{
    struct Entry {
        const char *name;
        void *address;
    };
    static const Entry table[] = {
#define KEMU_EXPORT(module, name, convention, bytes) {#name, reinterpret_cast<void *>(&name)},
#define KEMU_EXPORT_SHIM(module, name, convention, bytes) {#name, reinterpret_cast<void *>(&Ldr##name)},
#define KEMU_EXPORT_DATA(module, name, convention, bytes)
#include "emu/ldr/exports.inc"
#undef KEMU_EXPORT
#undef KEMU_EXPORT_SHIM
#undef KEMU_EXPORT_DATA
    };
    if (name == "KeTickCount") {
        return const_cast<KSYSTEM_TIME *>(KemuSharedTickCount());
    }
    for (const Entry &entry : table) {
        if (name == entry.name) {
            return entry.address;
        }
    }
    return nullptr;
}

bool RewriteServiceCalls(uint8_t *base, const ldr::ImageInfo &info)
{
    for (uint32_t site : ldr::FindServiceCalls(base, info)) {
        void *target = base[site + 2] == 0 ? reinterpret_cast<void *>(&LdrDebugServiceVersion)
                                           : reinterpret_cast<void *>(&LdrDebugServiceShow);
        // int 20h with its dword is six bytes: a near call and a one-byte no-op.
        uint8_t *at = base + site;
        const uint32_t relative = reinterpret_cast<uintptr_t>(target) - reinterpret_cast<uintptr_t>(at + 5);
        at[0] = 0xe8;
        std::memcpy(at + 1, &relative, 4);
        at[5] = 0x90;
    }
    return true;
}

// Each page gets the protection its sections' flags ask, the headers read-only: code that writes
// itself or data that is run then faults where a kernel would. A page that two sections share
// gets the union of both.
bool ProtectSections(uint8_t *base, const ldr::ImageInfo &info, std::string *error)
{
    constexpr uint32_t kExecute = 0x20000000, kWrite = 0x80000000;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<int> protection((info.imageSize + page - 1) / page, PROT_READ);
    for (const ldr::Section &s : info.sections) {
        const size_t end = size_t{s.rva} + std::max(s.virtualSize, s.rawSize);
        for (size_t p = s.rva / page; p * page < end; ++p) {
            protection[p] |= ((s.characteristics & kExecute) ? PROT_EXEC : 0) | ((s.characteristics & kWrite) ? PROT_WRITE : 0);
        }
    }
    for (size_t p = 0; p < protection.size(); ++p) {
        if (mprotect(base + p * page, page, protection[p]) != 0) {
            *error = "cannot set the protection of the page at " + std::to_string(p * page);
            return false;
        }
    }
    return true;
}

} // namespace
#endif

std::unique_ptr<DriverModule> DriverModule::Open(const std::string &path, std::string *error)
{
    std::vector<uint8_t> bytes;
    if (!ReadFile(path, &bytes, error)) {
        return nullptr;
    }
    std::unique_ptr<DriverModule> module(new DriverModule);
    module->m_path = path;
    if (bytes.size() >= 4 && bytes[0] == 0x7f && bytes[1] == 'E' && bytes[2] == 'L' && bytes[3] == 'F') {
        module->m_shared = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module->m_shared == nullptr) {
            *error = std::string("cannot open the shared object: ") + dlerror();
            return nullptr;
        }
        module->m_entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module->m_shared, "DriverEntry"));
        if (module->m_entry == nullptr) {
            *error = path + " has no DriverEntry";
            return nullptr;
        }
        // Its loaded segments, found through the object that holds its entry.
        Dl_info found{};
        if (dladdr(reinterpret_cast<void *>(module->m_entry), &found) != 0) {
            std::pair<const void *, std::vector<Range> *> search{found.dli_fbase, &module->m_ranges};
            dl_iterate_phdr(
                [](dl_phdr_info *info, size_t, void *data) {
                    auto *wanted = static_cast<std::pair<const void *, std::vector<Range> *> *>(data);
                    bool holds = false;
                    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
                        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
                        const uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
                        holds |= segment.p_type == PT_LOAD && begin <= uintptr_t(wanted->first) &&
                                 uintptr_t(wanted->first) < begin + segment.p_memsz;
                    }
                    for (ElfW(Half) i = 0; holds && i < info->dlpi_phnum; ++i) {
                        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
                        if (segment.p_type == PT_LOAD) {
                            const uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
                            wanted->second->push_back({begin, begin + segment.p_memsz});
                        }
                    }
                    return holds ? 1 : 0;
                },
                &search);
        }
        module->Register();
        return module;
    }
    if (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z') {
        *error = path + " is neither a shared object nor a Windows kernel image";
        return nullptr;
    }
#if defined(__i386__)
    ldr::ImageInfo info;
    if (!ldr::ReadImage(bytes, &info, error)) {
        *error = path + ": " + *error;
        return nullptr;
    }
    auto image = std::make_unique<Image>();
    void *base = mmap(nullptr, info.imageSize, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        *error = path + ": cannot map " + std::to_string(info.imageSize) + " bytes";
        return nullptr;
    }
    image->base = static_cast<uint8_t *>(base);
    image->size = info.imageSize;
    ldr::MapImage(bytes, info, image->base);
    const uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base));
    auto resolve = [](const std::string &dll, const std::string &name, uint32_t *found) {
        for (const ldr::Export &e : ldr::ExportList()) {
            if (ldr::SameModule(dll, e.module) && name == e.name) {
                *found = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ExportAddress(name)));
                return *found != 0;
            }
        }
        return false;
    };
    if (!ldr::RelocateImage(image->base, info, address, error) ||
        !ldr::BindImports(image->base, info, resolve, error) || !RewriteServiceCalls(image->base, info) || !ProtectSections(image->base, info, error)) {
        *error = path + ": " + *error;
        return nullptr;
    }
    module->m_entry = reinterpret_cast<PDRIVER_INITIALIZE>(image->base + info.entryRva);
    module->m_ranges.push_back({uintptr_t(image->base), uintptr_t(image->base) + image->size});
    module->m_image = std::move(image);
    module->Register();
    return module;
#else
    *error = path + " is a Windows kernel image: only the 32-bit (i386) build can run it, "
                    "e.g. the m32 preset";
    return nullptr;
#endif
}

void DriverModule::Register()
{
    std::lock_guard<std::mutex> guard(g_modulesLock);
    g_modules.push_back(this);
    Publish();
}

void DriverModule::Attach(PDRIVER_OBJECT driver, const std::string &name)
{
    std::lock_guard<std::mutex> guard(g_modulesLock);
    m_driver = driver;
    m_name = name;
    Publish();
}

void DriverModule::Publish() const
{
    std::vector<std::pair<uintptr_t, uintptr_t>> ranges;
    for (const Range &r : m_ranges) {
        ranges.emplace_back(r.begin, r.end);
    }
    kemu::Publish(this, ranges, m_name.empty() ? m_path : m_name);
}

bool FindModuleCode(uintptr_t address, const char **name, uintptr_t *base)
{
    for (const OpenSlot &s : g_open) {
        if (s.owner.load(std::memory_order_acquire) == nullptr) {
            continue;
        }
        for (size_t i = 0; i < s.count; ++i) {
            if (address >= s.begin[i] && address < s.end[i]) {
                *name = s.name;
                *base = s.base;
                return true;
            }
        }
    }
    return false;
}

bool DescribeModuleCode(uintptr_t address, FaultText &text)
{
    const char *name = nullptr;
    uintptr_t base = 0;
    if (!FindModuleCode(address, &name, &base)) {
        return false;
    }
    text.Add(name).Add("+").Hex(address - base);
    return true;
}

bool DriverModule::Holds(const void *address) const
{
    for (const Range &r : m_ranges) {
        if (uintptr_t(address) >= r.begin && uintptr_t(address) < r.end) {
            return true;
        }
    }
    return false;
}

PDRIVER_OBJECT DriverOfCode(const void *address)
{
    std::lock_guard<std::mutex> guard(g_modulesLock);
    for (const DriverModule *module : g_modules) {
        if (module->Holds(address)) {
            return module->Driver();
        }
    }
    return nullptr;
}

std::string ModuleOfCode(const void *address)
{
    std::unique_lock<std::mutex> guard(g_modulesLock, std::try_to_lock);
    if (!guard.owns_lock()) {
        return "";
    }
    for (const DriverModule *module : g_modules) {
        if (module->Holds(address)) {
            uintptr_t base = uintptr_t(address);
            for (const auto &r : module->m_ranges) {
                base = std::min(base, r.begin);
            }
            char offset[24];
            std::snprintf(offset, sizeof offset, "+0x%lx", static_cast<unsigned long>(uintptr_t(address) - base));
            return (module->Name().empty() ? module->Path() : module->Name()) + offset;
        }
    }
    return "";
}

void NameModuleOfEntry(const void *entry, PDRIVER_OBJECT driver, const std::string &name)
{
    DriverModule *found = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_modulesLock);
        for (const DriverModule *module : g_modules) {
            if (module->Driver() == nullptr && module->Holds(entry)) {
                found = const_cast<DriverModule *>(module);
            }
        }
    }
    if (found != nullptr) {
        found->Attach(driver, name);
    }
}

void SetUnloadCheck(UnloadCheck check)
{
    std::lock_guard<std::mutex> guard(g_modulesLock);
    g_unloadCheck = std::move(check);
}

DriverModule::~DriverModule()
{
    {
        std::lock_guard<std::mutex> guard(g_modulesLock);
        g_modules.erase(std::remove(g_modules.begin(), g_modules.end(), this), g_modules.end());
        Withdraw(this);
    }
    // Nothing may call into the code once it is gone: what still would is the driver's fault.
    const std::string who = m_name.empty() ? m_path : m_name;
    auto inImage = [this](const void *address) { return Holds(address); };
    // Timers first: one firing meanwhile could queue its DPC after the queue was cleared.
    for (const std::string &timer : CancelTimersOf(inImage)) {
        ReportViolation(rule::kTimerLeftAtUnload, timer + " of " + who + ": cancelled at its unload");
    }
    for (const std::string &thread : RunningThreadsOf(inImage)) {
        ReportViolation(rule::kThreadLeftAtUnload, thread + " of " + who + ": still running at its unload");
    }
    for (const std::string &dpc : RemoveDpcsOf(inImage)) {
        ReportViolation(rule::kDpcLeftAtUnload, dpc + " of " + who + ": removed from the queue at its unload");
    }
    for (const std::string &request : io::DetachRequestsFromImage(inImage)) {
        ReportViolation(rule::kRequestLeftAtUnload,
                        request + " of " + who + ": its completion routine, event or status block lies in the "
                                                 "unloaded image, detached");
    }
    UnloadCheck check;
    {
        std::lock_guard<std::mutex> guard(g_modulesLock);
        check = g_unloadCheck;
    }
    if (check) {
        for (const std::string &held : check(who, inImage)) {
            ReportViolation(rule::kCallbacksLeftAtUnload, held);
        }
    }
    // The range stays reserved and inaccessible, so that what still calls or reads there stops
    // with a report instead of running whatever is mapped there next.
    uintptr_t begin = UINTPTR_MAX, end = 0;
    for (const Range &r : m_ranges) {
        begin = std::min(begin, r.begin);
        end = std::max(end, r.end);
    }
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t first = begin & ~(page - 1), last = (end + page - 1) & ~(page - 1);
    if (m_image) {
        if (mprotect(m_image->base, m_image->size, PROT_NONE) == 0) {
            m_image->base = nullptr; // kept mapped, never reused
            GuardUnloadedRange(reinterpret_cast<void *>(begin), reinterpret_cast<void *>(end),
                               reinterpret_cast<void *>(begin), who);
        }
    }
    if (m_shared != nullptr) {
        dlclose(m_shared);
        // A module the dynamic linker keeps (still referenced elsewhere) is left alone.
        void *reserved = begin < end ? mmap(reinterpret_cast<void *>(first), last - first, PROT_NONE,
                                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0)
                                     : MAP_FAILED;
        if (reserved != MAP_FAILED && reserved != reinterpret_cast<void *>(first)) {
            munmap(reserved, last - first); // a kernel that took the address as a hint only
        } else if (reserved != MAP_FAILED) {
            GuardUnloadedRange(reinterpret_cast<void *>(begin), reinterpret_cast<void *>(end),
                               reinterpret_cast<void *>(begin), who);
        }
    }
}

const void *DriverModule::Base() const { return m_image ? m_image->base : nullptr; }
size_t DriverModule::Size() const { return m_image ? m_image->size : 0; }

} // namespace kemu
