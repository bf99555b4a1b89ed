// The pool: host memory with a side table of live blocks, per-tag accounting, fill patterns, a
// guard area behind each block, the kernel's level and pointer checks, and failure injection.
#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "emu/internal/core.h"
#include "emu/kemu/core.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KEMU_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define KEMU_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define KEMU_POISON(p, n) ((void)(p), (void)(n))
#define KEMU_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

using kemu::detail::Hex;

namespace {

// Bytes behind every block, checked when it is freed. Under AddressSanitizer they are also
// poisoned, so an overrun stops at the faulting write.
constexpr size_t kGuardSize = 16;
constexpr unsigned char kGuardFill = 0xFD;
// How many freed blocks are remembered, to tell a double free from a foreign pointer.
constexpr size_t kFreedHistory = 4096;
// Freed blocks wait this long (in blocks and bytes) before the host gets them back: their address
// is not reused meanwhile, so a double free is recognised, and a write after the free is found
// when the freed pattern is checked on their way out.
constexpr size_t kQuarantineBlocks = 256;
constexpr size_t kQuarantineBytes = size_t(4) << 20;

struct BlockInfo {
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    uint64_t sequence;
    uint64_t epoch; // blocks from before the last ResetCore belong to an older epoch
    std::string note;
    bool guarded = true; // allocated with the verifier's checks on: filled, with a guard behind it
    int special = -1;    // its slot in the special pool, where it ends against an inaccessible page
};

struct Injection {
    uint64_t countdown = 0; // FailNthAllocation: fails when it reaches 1
    ULONG nthTag = 0;
    double probability = 0;
    uint64_t maxTimes = 0;
    ULONG randomTag = 0;
    std::mt19937_64 random;
};

struct Quarantined {
    uintptr_t address;
    size_t bytes; // the block and its guard
    BlockInfo block;
};

struct Pool {
    std::mutex mutex;
    std::deque<Quarantined> quarantine;
    size_t quarantineBytes = 0;
    std::map<uintptr_t, BlockInfo> live;
    std::unordered_map<uintptr_t, BlockInfo> freed;
    std::deque<std::pair<uintptr_t, uint64_t>> freedOrder; // address and sequence, oldest first
    std::map<ULONG, kemu::PoolTagStats> stats;
    Injection injection;
    uint64_t injected = 0;
    uint64_t attempts = 0;
    uint64_t sequence = 0;
    uint64_t epoch = 1;
};

// Never destroyed: code may still free pool memory from static destructors or exiting threads.
Pool &ThePool()
{
    static Pool *pool = new Pool;
    return *pool;
}

thread_local std::string t_note;

const char *TypeName(POOL_TYPE type)
{
    switch (type) {
    case NonPagedPool: return "NonPagedPool";
    case PagedPool: return "PagedPool";
    case NonPagedPoolMustSucceed: return "NonPagedPoolMustSucceed";
    case DontUseThisType: return "DontUseThisType";
    case NonPagedPoolCacheAligned: return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned: return "PagedPoolCacheAligned";
    }
    return "unknown pool type";
}

bool IsPaged(POOL_TYPE type) { return (int(type) & 1) != 0; }

std::string Describe(uintptr_t address, const BlockInfo &b)
{
    std::string s = "block " + Hex(address) + " #" + std::to_string(b.sequence) + " '" + kemu::TagText(b.tag) + "' " +
                    TypeName(b.type) + " " + std::to_string(b.size) + " bytes";
    if (!b.note.empty()) {
        s += " (" + b.note + ")";
    }
    return s;
}

// The special pool: a block of the chosen tag ends against an inaccessible page, so that the first
// byte read or written past its end faults at once. A freed block's pages stay reserved and become
// inaccessible, so that a use after the free faults too and is reported with the block; the last
// kFreedKept freed blocks stay so, older ones give their pages back. A slot is live (guard set),
// freed (freedBase set) or free (neither). Slots are read by the fault handler without a lock: a
// slot's fields are written before its guard or freed address is published. A block seen through
// views (below) keeps its slot for the rest of the run once freed, so that its views are reported
// with it.
struct SpecialSlot {
    std::atomic<uintptr_t> guard{0};     // live: the inaccessible page after the block
    std::atomic<uintptr_t> freedBase{0}; // freed and still reserved: the mapping's start
    uintptr_t mapBase = 0, mapLength = 0, block = 0, size = 0, caller = 0, freer = 0;
    ULONG tag = 0;
    int64_t fileOffset = -1; // where its pages lie in the pool's memory file (-1: anonymous memory)
    unsigned views = 0;      // under the pool lock
    // A freed block's first bytes, taken before its pages became inaccessible: the namer reads these.
    alignas(16) unsigned char head[kemu::kPoolNamerBytes] = {};
};
constexpr size_t kSpecialSlots = 4096;
constexpr size_t kFreedKept = 1024;
SpecialSlot g_special[kSpecialSlots];
std::deque<size_t> g_freedSlots; // oldest first; under the pool lock
bool g_specialFullSaid = false;  // under the pool lock
std::atomic<ULONG> g_specialTag{0};
std::atomic<bool> g_specialClients{false};

// Code of a client driver: in an open driver module other than the serving driver's.
bool ClientCode(uintptr_t address)
{
    const char *name = nullptr;
    uintptr_t base = 0;
    return address != 0 && kemu::FindModuleCode(address - 1, &name, &base) && !kemu::IsServingDriver(name);
}
std::atomic<kemu::PoolBlockNamer> g_blockNamer{nullptr};

size_t Page() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

// A view of a special-pool block: the same pages of the memory file at a second address, with an
// inaccessible page after them as the block has, so that one user of the block (a consumer of a
// ring) reads it at an address of its own, which closes when that user's right to it ends while the
// block lives on for the others. A second mapping of the same pages, rather than a copy, keeps every
// byte read through it the byte written to the block. Views are few and never reused: closed, or of
// a freed block, a view stays reserved and inaccessible until the process ends. Read by the fault
// handler without a lock: a view's fields are written before its base is published, its rule texts
// before it is marked closed, and it is marked closed before it becomes inaccessible.
struct PoolView {
    std::atomic<uintptr_t> base{0};
    std::atomic<bool> closed{false};
    uintptr_t length = 0; // the mapping, its inaccessible last page included
    size_t slot = 0;
    char object[96] = {};
    char readRule[192] = {};
    char writeRule[192] = {};
};
constexpr size_t kPoolViews = 1024;
PoolView g_views[kPoolViews];
size_t g_viewCount = 0;       // under the pool lock
bool g_viewsFullSaid = false; // under the pool lock

// The special pool's pages lie in one sparse memory file, so that views can map them again: every
// block gets its own range of the file (never reused, so that a view can never see a later block),
// and a block's range gives its pages back, as a hole, when its slot is released. Under the pool lock.
struct PoolFile {
    int fd = -1;
    bool tried = false;
    bool failureSaid = false;
    int64_t end = 0, size = 0;
};
PoolFile g_poolFile;
constexpr int64_t kPoolFileGrowth = int64_t(1) << 30; // the file's size grows by a sparse gigabyte

// A forked process (a death test, the explorer's child) gets the pool's pages as its own, as
// private memory would give them: the pool lock is held across the fork, and the child copies the
// live blocks' pages into a memory file of its own and maps each live block and its open views
// there. What is inaccessible (freed blocks, closed views) stays as it is: no access reaches the
// parent's pages through it.
void RemapForChild(int fd, const SpecialSlot &s, uintptr_t at)
{
    if (mmap64(reinterpret_cast<void *>(at), s.mapLength - Page(), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd,
               s.fileOffset) == MAP_FAILED) {
        std::fprintf(stderr, "kemu: a forked process could not map its own copy of the special pool (%s)\n",
                     std::strerror(errno));
    }
}

void PoolForkPrepare() { ThePool().mutex.lock(); }
void PoolForkParent() { ThePool().mutex.unlock(); }
void PoolForkChild()
{
    PoolFile &f = g_poolFile;
    const int fd = f.fd < 0 ? -1 : memfd_create("kemu special pool", MFD_CLOEXEC);
    if (f.fd >= 0 && (fd < 0 || ftruncate64(fd, f.size) != 0)) {
        std::fprintf(stderr, "kemu: a forked process shares the special pool with its parent (%s)\n",
                     std::strerror(errno));
    } else if (fd >= 0) {
        for (const SpecialSlot &s : g_special) {
            if (s.fileOffset < 0 || s.guard.load(std::memory_order_relaxed) == 0) {
                continue; // anonymous memory, or no live block
            }
            loff_t from = s.fileOffset, to = s.fileOffset;
            for (size_t left = s.mapLength - Page(); left > 0;) {
                const ssize_t copied = copy_file_range(f.fd, &from, fd, &to, left, 0);
                if (copied <= 0) {
                    std::fprintf(stderr, "kemu: a forked process could not copy a special-pool block (%s)\n",
                                 std::strerror(errno));
                    break;
                }
                left -= size_t(copied);
            }
            RemapForChild(fd, s, s.mapBase);
        }
        for (size_t i = 0; i < g_viewCount; ++i) {
            const PoolView &v = g_views[i];
            const SpecialSlot &s = g_special[v.slot];
            if (!v.closed.load(std::memory_order_relaxed) && s.guard.load(std::memory_order_relaxed) != 0) {
                RemapForChild(fd, s, v.base.load(std::memory_order_relaxed));
            }
        }
        close(f.fd);
        f.fd = fd;
    }
    ThePool().mutex.unlock();
}

// Under the pool lock: `bytes` of the memory file for a new block, mapped at `at` (a reservation),
// and their offset; -1 when the memory file fails (the block then lies in anonymous memory and gets
// no views: said once).
int64_t MapFromPoolFile(void *at, size_t bytes)
{
    PoolFile &f = g_poolFile;
    auto failed = [](const char *what) {
        if (!g_poolFile.failureSaid) {
            g_poolFile.failureSaid = true;
            std::fprintf(stderr, "kemu: the special pool's memory file failed (%s: %s): its blocks from here on "
                                 "may have no views\n",
                         what, std::strerror(errno));
        }
        return int64_t(-1);
    };
    if (!f.tried) {
        f.tried = true;
        f.fd = memfd_create("kemu special pool", MFD_CLOEXEC);
        pthread_atfork(PoolForkPrepare, PoolForkParent, PoolForkChild);
    }
    if (f.fd < 0) {
        return failed("memfd_create");
    }
    if (f.end + int64_t(bytes) > f.size) {
        const int64_t size = (f.end + int64_t(bytes) + kPoolFileGrowth - 1) / kPoolFileGrowth * kPoolFileGrowth;
        if (ftruncate64(f.fd, size) != 0) {
            return failed("ftruncate");
        }
        f.size = size;
    }
    if (mmap64(at, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, f.fd, f.end) == MAP_FAILED) {
        return failed("mmap");
    }
    f.end += int64_t(bytes);
    return f.end - int64_t(bytes);
}

// Under the pool lock: a freed block's pages go back to the host (its mappings stay as they are).
void DropFilePages(const SpecialSlot &s)
{
    if (s.fileOffset >= 0) {
        fallocate64(g_poolFile.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, s.fileOffset,
                    int64_t(s.mapLength - Page()));
    }
}

// Under the pool lock: the oldest freed block gives its pages back and its slot becomes free.
void ReleaseOldestFreed()
{
    SpecialSlot &s = g_special[g_freedSlots.front()];
    g_freedSlots.pop_front();
    s.freedBase.store(0, std::memory_order_release);
    munmap(reinterpret_cast<void *>(s.mapBase), s.mapLength);
    DropFilePages(s);
}

// Under the pool lock. Null when every slot holds a live block (said once, until one is freed) or no
// mapping is left: the block then comes from the ordinary pool, unguarded.
unsigned char *AllocateSpecial(size_t size, ULONG tag, uintptr_t caller, int *slotOut)
{
    auto isFree = [](const SpecialSlot &s) {
        return s.guard.load(std::memory_order_relaxed) == 0 && s.freedBase.load(std::memory_order_relaxed) == 0;
    };
    size_t slot = 0;
    while (slot < kSpecialSlots && !isFree(g_special[slot])) {
        ++slot;
    }
    if (slot == kSpecialSlots && !g_freedSlots.empty()) {
        slot = g_freedSlots.front();
        ReleaseOldestFreed();
    }
    const size_t page = Page();
    const size_t body = (size + 7 + page - 1) / page * page;
    if (slot == kSpecialSlots) {
        if (!g_specialFullSaid) {
            g_specialFullSaid = true;
            std::fprintf(stderr, "kemu: the special pool is full: %zu blocks of tag '%s' are live; later ones are not "
                                 "guarded until some are freed\n",
                         kSpecialSlots, kemu::TagText(tag).c_str());
        }
        return nullptr;
    }
    void *map = mmap(nullptr, body + page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) {
        return nullptr;
    }
    const int64_t fileOffset = MapFromPoolFile(map, body);
    if (fileOffset < 0 && mprotect(map, body, PROT_READ | PROT_WRITE) != 0) {
        munmap(map, body + page);
        return nullptr;
    }
    unsigned char *guard = static_cast<unsigned char *>(map) + body;
    // Eight-byte aligned, as the kernel's pool is: up to seven bytes may lie between it and the page.
    unsigned char *bytes = reinterpret_cast<unsigned char *>((uintptr_t(guard) - size) & ~uintptr_t(7));
    SpecialSlot &s = g_special[slot];
    s.mapBase = uintptr_t(map);
    s.mapLength = body + page;
    s.block = uintptr_t(bytes);
    s.size = size;
    s.caller = caller;
    s.tag = tag;
    s.fileOffset = fileOffset;
    s.views = 0;
    s.guard.store(uintptr_t(guard), std::memory_order_release);
    *slotOut = int(slot);
    return bytes;
}

// Under the pool lock: the block's pages become inaccessible and stay reserved for a while.
void FreeSpecial(int slot, uintptr_t freer)
{
    SpecialSlot &s = g_special[slot];
    std::memcpy(s.head, reinterpret_cast<const void *>(s.block), std::min<size_t>(s.size, sizeof s.head));
    mprotect(reinterpret_cast<void *>(s.mapBase), s.mapLength, PROT_NONE);
    s.freer = freer;
    s.freedBase.store(s.mapBase, std::memory_order_release);
    s.guard.store(0, std::memory_order_release);
    if (s.views != 0) {
        // Kept for the rest of the run, as its views are; only its pages go back.
        for (size_t i = 0; i < g_viewCount; ++i) {
            if (g_views[i].slot == size_t(slot)) {
                mprotect(reinterpret_cast<void *>(g_views[i].base.load(std::memory_order_relaxed)), g_views[i].length,
                         PROT_NONE);
            }
        }
        DropFilePages(s);
        return;
    }
    g_freedSlots.push_back(size_t(slot));
    g_specialFullSaid = false;
    if (g_freedSlots.size() > kFreedKept) {
        ReleaseOldestFreed();
    }
}

// Decides under the pool lock whether this allocation is one to fail.
bool ShouldInject(Pool &pool, ULONG tag)
{
    Injection &inj = pool.injection;
    if (inj.countdown != 0 && (inj.nthTag == 0 || inj.nthTag == tag)) {
        if (--inj.countdown == 0) {
            return true;
        }
    }
    if (inj.probability > 0 && inj.maxTimes > 0 && (inj.randomTag == 0 || inj.randomTag == tag)) {
        if (std::uniform_real_distribution<double>(0.0, 1.0)(inj.random) < inj.probability) {
            --inj.maxTimes;
            return true;
        }
    }
    return false;
}

// Gives the oldest quarantined block back to the host, noting a write after its free.
void Evict(Pool &pool, std::vector<std::string> &problems)
{
    Quarantined q = pool.quarantine.front();
    pool.quarantine.pop_front();
    pool.quarantineBytes -= q.bytes;
    auto *bytes = reinterpret_cast<unsigned char *>(q.address);
    KEMU_UNPOISON(bytes, q.bytes);
    for (size_t i = 0; i < q.bytes; ++i) {
        if (bytes[i] != kemu::kPoolFreedFill) {
            char value[8];
            std::snprintf(value, sizeof value, "0x%02X", bytes[i]);
            problems.push_back(Describe(q.address, q.block) + ": byte " + std::to_string(i) + " is " + value +
                               " instead of the freed pattern");
            break;
        }
    }
    std::free(bytes);
}

void ReportWritesAfterFree(const std::vector<std::string> &problems)
{
    for (const std::string &problem : problems) {
        kemu::ReportViolation("pool memory written after it was freed", problem);
    }
}

void Free(PVOID p, const ULONG *tag, const char *by, uintptr_t caller)
{
    KemuMaybePreempt();
    auto call = [&] { return std::string(by) + "(" + Hex(p) + ")"; };
    if (p == nullptr) {
        kemu::ReportViolation("pool free of NULL", call());
        return;
    }
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        // Record mode leaves the block allocated, as the kernel would never have freed it.
        kemu::ReportViolation("pool freed above DISPATCH_LEVEL", call() + " at IRQL " + std::to_string(irql));
        return;
    }
    Pool &pool = ThePool();
    std::unique_lock<std::mutex> lock(pool.mutex);
    const uintptr_t address = reinterpret_cast<uintptr_t>(p);
    auto it = pool.live.find(address);
    if (it == pool.live.end()) {
        std::string why;
        auto old = pool.freed.find(address);
        auto inside = pool.live.upper_bound(address);
        if (old != pool.freed.end()) {
            why = "double free: " + Describe(address, old->second) + " was freed before";
        } else if (inside != pool.live.begin() &&
                   address < std::prev(inside)->first + std::max<size_t>(std::prev(inside)->second.size, 1)) {
            --inside;
            why = "the pointer lies " + std::to_string(address - inside->first) + " bytes inside " +
                  Describe(inside->first, inside->second);
        } else {
            why = "foreign pointer: no pool block was allocated there";
        }
        lock.unlock();
        kemu::ReportViolation("pool free of a pointer that is not a live pool block", call() + ": " + why);
        return;
    }
    BlockInfo block = it->second;
    unsigned char *bytes = static_cast<unsigned char *>(p);
    size_t overrun = 0;
    if (block.guarded) {
        KEMU_UNPOISON(bytes + block.size, kGuardSize);
        for (size_t i = 0; i < kGuardSize; ++i) {
            if (bytes[block.size + i] != kGuardFill) {
                overrun = i + 1;
            }
        }
    }
    // The block is freed even after a report (Record mode): the caller's intent was clear.
    pool.live.erase(it);
    if (block.epoch == pool.epoch) {
        kemu::PoolTagStats &s = pool.stats[block.tag];
        --s.liveBlocks;
        s.liveBytes -= block.size;
        ++s.frees;
    }
    if (pool.freedOrder.size() >= kFreedHistory) {
        auto [oldAddress, oldSequence] = pool.freedOrder.front();
        auto old = pool.freed.find(oldAddress);
        if (old != pool.freed.end() && old->second.sequence == oldSequence) {
            pool.freed.erase(old);
        }
        pool.freedOrder.pop_front();
    }
    pool.freed[address] = block;
    pool.freedOrder.emplace_back(address, block.sequence);
    if (block.special >= 0) {
        // Gone at once: a later access faults and is reported with the block.
        FreeSpecial(block.special, caller);
        lock.unlock();
        if (tag != nullptr && *tag != block.tag) {
            kemu::ReportViolation("pool freed with a wrong tag", call() + ": " + Describe(address, block) +
                                                                     " was allocated with tag '" + kemu::TagText(block.tag) +
                                                                     "', freed with '" + kemu::TagText(*tag) + "'");
        }
        return;
    }
    if (!kemu::detail::ChecksOn()) {
        // Without the verifier the host gets the block back at once, unfilled.
        lock.unlock();
        std::free(bytes);
        return;
    }
    std::memset(bytes, kemu::kPoolFreedFill, block.size + kGuardSize);
    KEMU_POISON(bytes, block.size + kGuardSize);
    pool.quarantine.push_back({address, block.size + kGuardSize, block});
    pool.quarantineBytes += block.size + kGuardSize;
    std::vector<std::string> writtenAfterFree;
    while (pool.quarantine.size() > kQuarantineBlocks || pool.quarantineBytes > kQuarantineBytes) {
        Evict(pool, writtenAfterFree);
    }
    lock.unlock();
    ReportWritesAfterFree(writtenAfterFree);

    if (tag != nullptr && *tag != block.tag) {
        kemu::ReportViolation("pool freed with a wrong tag", call() + ": " + Describe(address, block) +
                                                                 " was allocated with tag '" + kemu::TagText(block.tag) +
                                                                 "', freed with '" + kemu::TagText(*tag) + "'");
    }
    if (IsPaged(block.type) && irql > APC_LEVEL) {
        kemu::ReportViolation("paged pool freed above APC_LEVEL",
                              call() + ": " + Describe(address, block) + " freed at IRQL " + std::to_string(irql));
    }
    if (overrun != 0) {
        kemu::ReportViolation("pool block overrun", call() + ": " + Describe(address, block) + ": at least " +
                                                        std::to_string(overrun) + " byte(s) written past its end");
    }
}

} // namespace

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    KemuMaybePreempt();
    const KIRQL irql = KeGetCurrentIrql();
    // Built only when something is reported: allocation is on the driver's hot paths.
    auto request = [&] {
        return "ExAllocatePoolWithTag(" + std::string(TypeName(PoolType)) + ", " + std::to_string(NumberOfBytes) +
               ", '" + kemu::TagText(Tag) + "') at IRQL " + std::to_string(irql);
    };
    Pool &pool = ThePool();
    auto refuse = [&](const char *rule) {
        {
            std::lock_guard<std::mutex> lock(pool.mutex);
            ++pool.attempts;
            ++pool.stats[Tag].failedAllocations;
        }
        kemu::ReportViolation(rule, request());
        return nullptr;
    };
    if (int(PoolType) < int(NonPagedPool) || int(PoolType) > int(PagedPoolCacheAligned) || PoolType == DontUseThisType) {
        return refuse("invalid pool type");
    }
    if (irql > DISPATCH_LEVEL) {
        return refuse("pool allocated above DISPATCH_LEVEL");
    }
    if (IsPaged(PoolType) && irql >= DISPATCH_LEVEL) {
        return refuse("paged pool allocated at DISPATCH_LEVEL or above");
    }

    std::unique_lock<std::mutex> lock(pool.mutex);
    ++pool.attempts;
    kemu::PoolTagStats &stats = pool.stats[Tag];
    // The kernel stops rather than fail a must-succeed request, so none is injected there.
    if (PoolType != NonPagedPoolMustSucceed && ShouldInject(pool, Tag)) {
        ++pool.injected;
        ++stats.failedAllocations;
        return nullptr;
    }
    unsigned char *bytes = nullptr;
    int special = -1;
    const ULONG specialTag = g_specialTag.load(std::memory_order_relaxed);
    const uintptr_t caller = uintptr_t(__builtin_return_address(0));
    if (((specialTag != 0 && Tag == specialTag) || (g_specialClients.load(std::memory_order_relaxed) && ClientCode(caller))) &&
        NumberOfBytes <= kemu::kPoolMaxAllocation) {
        bytes = AllocateSpecial(NumberOfBytes, Tag, caller, &special);
    }
    if (bytes == nullptr && NumberOfBytes <= kemu::kPoolMaxAllocation) {
        bytes = static_cast<unsigned char *>(std::malloc(NumberOfBytes + kGuardSize));
    }
    if (bytes == nullptr) {
        ++stats.failedAllocations;
        lock.unlock();
        std::fprintf(stderr, "kemu: pool exhausted: %s returns NULL (limit %zu bytes per block)\n", request().c_str(),
                     kemu::kPoolMaxAllocation);
        return nullptr;
    }
    const bool guarded = kemu::detail::ChecksOn() && special < 0; // the page guards a special block
    if (special >= 0 && kemu::detail::ChecksOn()) {
        std::memset(bytes, kemu::kPoolFreshFill, NumberOfBytes);
    }
    if (guarded) {
        std::memset(bytes, kemu::kPoolFreshFill, NumberOfBytes);
        std::memset(bytes + NumberOfBytes, kGuardFill, kGuardSize);
        KEMU_POISON(bytes + NumberOfBytes, kGuardSize);
    }
    const uintptr_t address = reinterpret_cast<uintptr_t>(bytes);
    pool.live[address] = BlockInfo{NumberOfBytes, Tag, PoolType, ++pool.sequence, pool.epoch, t_note, guarded, special};
    pool.freed.erase(address); // its entry in freedOrder is skipped when it comes up
    ++stats.liveBlocks;
    stats.liveBytes += NumberOfBytes;
    stats.peakBytes = std::max(stats.peakBytes, stats.liveBytes);
    ++stats.allocations;
    return bytes;
}

VOID ExFreePool(PVOID P) { Free(P, nullptr, "ExFreePool", uintptr_t(__builtin_return_address(0))); }

VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    Free(P, &Tag, "ExFreePoolWithTag", uintptr_t(__builtin_return_address(0)));
}

} // extern "C"

namespace kemu {

std::string TagText(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = char((tag >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return s;
}

namespace {
PoolBlock ToBlock(uintptr_t address, const BlockInfo &b)
{
    return PoolBlock{reinterpret_cast<const void *>(address), b.size, b.tag, b.type, b.sequence, b.note};
}
} // namespace

PoolTagStats PoolStats(ULONG tag)
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    auto it = pool.stats.find(tag);
    return it == pool.stats.end() ? PoolTagStats{} : it->second;
}

std::map<ULONG, PoolTagStats> PoolStatsAll()
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.stats;
}

std::vector<PoolBlock> LivePoolBlocks()
{
    Pool &pool = ThePool();
    std::vector<PoolBlock> blocks;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        for (const auto &[address, b] : pool.live) {
            if (b.epoch == pool.epoch) {
                blocks.push_back(ToBlock(address, b));
            }
        }
    }
    std::sort(blocks.begin(), blocks.end(),
              [](const PoolBlock &a, const PoolBlock &b) { return a.sequence < b.sequence; });
    return blocks;
}

std::optional<PoolBlock> FindPoolBlock(const void *address)
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    const uintptr_t a = reinterpret_cast<uintptr_t>(address);
    auto it = pool.live.upper_bound(a);
    if (it == pool.live.begin()) {
        return std::nullopt;
    }
    --it;
    if (a != it->first && a >= it->first + it->second.size) {
        return std::nullopt;
    }
    return ToBlock(it->first, it->second);
}

std::string PoolLeakReport()
{
    std::vector<PoolBlock> blocks = LivePoolBlocks();
    if (blocks.empty()) {
        return "";
    }
    size_t bytes = 0;
    for (const PoolBlock &b : blocks) {
        bytes += b.size;
    }
    std::string s = std::to_string(blocks.size()) + " pool block(s) still live, " + std::to_string(bytes) +
                    " bytes:\n";
    for (const PoolBlock &b : blocks) {
        s += "  " + Describe(reinterpret_cast<uintptr_t>(b.address),
                             BlockInfo{b.size, b.tag, b.type, b.sequence, 0, b.note, true}) +
             "\n";
    }
    return s;
}

PoolNoteScope::PoolNoteScope(std::string note) : m_previous(std::move(t_note)) { t_note = std::move(note); }
PoolNoteScope::~PoolNoteScope() { t_note = std::move(m_previous); }

void FailNthAllocation(uint64_t k, ULONG onlyTag)
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.injection.countdown = k;
    pool.injection.nthTag = onlyTag;
}

void FailAllocationsWithProbability(double p, uint64_t seed, uint64_t maxTimes, ULONG onlyTag)
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.injection.probability = p;
    pool.injection.random.seed(seed);
    pool.injection.maxTimes = maxTimes;
    pool.injection.randomTag = onlyTag;
}

void ClearAllocationFailures()
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.injection = Injection{};
}

uint64_t InjectedAllocationFailures()
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.injected;
}

uint64_t PoolAllocationAttempts()
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.attempts;
}

void CheckFreedPool()
{
    Pool &pool = ThePool();
    std::vector<std::string> problems;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        while (!pool.quarantine.empty()) {
            Evict(pool, problems);
        }
    }
    ReportWritesAfterFree(problems);
}

namespace detail {
size_t ResetPool()
{
    g_specialTag.store(0, std::memory_order_relaxed);
    g_specialClients.store(false, std::memory_order_relaxed);
    CheckFreedPool();
    std::string report = PoolLeakReport();
    Pool &pool = ThePool();
    size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        for (const auto &entry : pool.live) {
            count += entry.second.epoch == pool.epoch ? 1 : 0;
        }
        ++pool.epoch;
        pool.stats.clear();
        pool.injection = Injection{};
        pool.injected = 0;
        pool.attempts = 0;
    }
    if (count != 0) {
        std::fprintf(stderr, "kemu: reset: %s", report.c_str());
    }
    return count;
}
} // namespace detail

} // namespace kemu

namespace kemu {

void SetSpecialPoolTag(ULONG tag)
{
    if (tag != 0) {
        InstallFaultHandler();
    }
    g_specialTag.store(tag, std::memory_order_relaxed);
}

void SetSpecialPoolForClients(bool on)
{
    if (on) {
        InstallFaultHandler();
    }
    g_specialClients.store(on, std::memory_order_relaxed);
}

void SetPoolBlockNamer(PoolBlockNamer namer)
{
    g_blockNamer.store(namer, std::memory_order_release);
}

namespace {

// "pool block 0x... 'Trcd' 1024 bytes, " and, after what the caller adds, where it was allocated.
void DescribeSpecial(const SpecialSlot &s, FaultText &report)
{
    char tag[5] = {};
    for (int i = 0; i < 4; ++i) {
        const char c = char((s.tag >> (8 * i)) & 0xFF);
        tag[i] = (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    report.Add("pool block ").Hex(s.block).Add(" '").Add(tag).Add("' ").Dec(s.size).Add(" bytes, ");
}

// "byte 24" of the block, for an address in its mapping.
void ByteOf(const SpecialSlot &s, uintptr_t at, FaultText &report)
{
    if (at >= s.block && at < s.block + s.size) {
        report.Add("byte ").Dec(at - s.block);
    } else {
        report.Add("outside its bytes");
    }
}

void NameSpecial(const SpecialSlot &s, FaultText &report)
{
    FaultText name;
    if (const PoolBlockNamer namer = g_blockNamer.load(std::memory_order_acquire)) {
        // A freed block's pages are inaccessible: the namer gets the copy of its first bytes.
        const bool freed = s.freedBase.load(std::memory_order_acquire) != 0;
        namer(freed ? static_cast<const void *>(s.head) : reinterpret_cast<const void *>(s.block), s.size, s.tag, name);
    }
    if (name.Empty()) {
        report.Add(", allocated by ");
        DescribeCode(s.caller, report);
    } else {
        report.Add(", ").Add(name.Text());
    }
}

// The fault at `at` in the slot's own mapping, if it is one the slot explains: past the end of the
// live block, or in the freed block.
const char *SlotFault(const SpecialSlot &s, uintptr_t at, bool write, FaultText &report)
{
    const uintptr_t guard = s.guard.load(std::memory_order_acquire);
    if (guard != 0 && at >= guard && at < guard + Page()) {
        DescribeSpecial(s, report);
        report.Dec(at - s.block - s.size).Add(" bytes past its end");
        NameSpecial(s, report);
        return write ? rule::kWritePastPoolBlock : rule::kReadPastPoolBlock;
    }
    const uintptr_t freed = s.freedBase.load(std::memory_order_acquire);
    if (freed != 0 && at >= freed && at < freed + s.mapLength) {
        DescribeSpecial(s, report);
        ByteOf(s, at, report);
        NameSpecial(s, report);
        report.Add(", freed by ");
        DescribeCode(s.freer, report);
        return write ? rule::kWriteFreedPoolBlock : rule::kReadFreedPoolBlock;
    }
    return nullptr;
}

} // namespace

const char *SpecialPoolFault(const void *address, bool write, FaultText &report)
{
    const uintptr_t at = uintptr_t(address);
    for (const SpecialSlot &s : g_special) {
        if (const char *broken = SlotFault(s, at, write, report)) {
            return broken;
        }
    }
    // Through a view: the same byte of the block's own mapping tells a freed block or a read past
    // its end; otherwise the view is closed.
    for (const PoolView &v : g_views) {
        const uintptr_t base = v.base.load(std::memory_order_acquire);
        if (base == 0 || at < base || at >= base + v.length) {
            continue;
        }
        const SpecialSlot &s = g_special[v.slot];
        if (const char *broken = SlotFault(s, s.mapBase + (at - base), write, report)) {
            return broken;
        }
        if (v.closed.load(std::memory_order_acquire)) {
            DescribeSpecial(s, report);
            ByteOf(s, s.mapBase + (at - base), report);
            NameSpecial(s, report);
            return write ? v.writeRule : v.readRule;
        }
    }
    return nullptr;
}

void *OpenPoolView(const void *address, const char *object)
{
    const uintptr_t at = uintptr_t(address);
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    size_t slot = 0;
    while (slot < kSpecialSlots && !(g_special[slot].guard.load(std::memory_order_relaxed) != 0 &&
                                     at >= g_special[slot].block && at < g_special[slot].block + g_special[slot].size)) {
        ++slot;
    }
    if (slot == kSpecialSlots || g_special[slot].fileOffset < 0) {
        return nullptr; // not in the special pool, or not in its memory file (said when that failed)
    }
    SpecialSlot &s = g_special[slot];
    if (g_viewCount == kPoolViews) {
        if (!g_viewsFullSaid) {
            g_viewsFullSaid = true;
            std::fprintf(stderr, "kemu: the special pool's %zu views are all taken: %s and later ones are read "
                                 "unwatched, their use after their user's end not stopped\n",
                         kPoolViews, object);
        }
        return nullptr;
    }
    const size_t body = s.mapLength - Page();
    void *map = mmap(nullptr, s.mapLength, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) {
        return nullptr;
    }
    if (mmap64(map, body, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, g_poolFile.fd, s.fileOffset) == MAP_FAILED) {
        munmap(map, s.mapLength);
        return nullptr;
    }
    PoolView &v = g_views[g_viewCount++];
    v.length = s.mapLength;
    v.slot = slot;
    std::snprintf(v.object, sizeof v.object, "%s", object);
    v.base.store(uintptr_t(map), std::memory_order_release);
    ++s.views;
    return static_cast<unsigned char *>(map) + (at - s.mapBase);
}

void ClosePoolView(const void *address, const char *why)
{
    const uintptr_t at = uintptr_t(address);
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    for (size_t i = 0; i < g_viewCount; ++i) {
        PoolView &v = g_views[i];
        const uintptr_t base = v.base.load(std::memory_order_relaxed);
        if (at >= base && at < base + v.length && !v.closed.load(std::memory_order_relaxed)) {
            const std::string what = std::string(v.object) + " " + why;
            std::snprintf(v.readRule, sizeof v.readRule, "read of %s", what.c_str());
            std::snprintf(v.writeRule, sizeof v.writeRule, "write to %s", what.c_str());
            v.closed.store(true, std::memory_order_release);
            mprotect(reinterpret_cast<void *>(base), v.length, PROT_NONE);
            return;
        }
    }
}

} // namespace kemu
