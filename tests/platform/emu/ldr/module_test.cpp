// What a driver leaves behind at its unload: every queued DPC, set timer, running thread and request
// of its code is reported naming the driver, and nothing of it runs after its image is gone.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <thread>

#include "emu/kemu/kemu.h"
#include "emu/kemu/ldr.h"

// The careless driver's DPC routine that lies outside its image: it must never run.
extern "C" VOID NTAPI CarelessForeignRoutine(PKDPC, PVOID, PVOID, PVOID) { ADD_FAILURE() << "a removed DPC ran"; }

namespace {

size_t Count(const std::vector<kemu::Violation> &seen, const char *rule, const std::string &naming)
{
    return size_t(std::count_if(seen.begin(), seen.end(), [&](const kemu::Violation &v) {
        return v.rule == rule && v.detail.find(naming) != std::string::npos;
    }));
}

// The careless driver loaded from its file into a fresh emulated kernel, DPCs run by hand.
struct Careless {
    std::unique_ptr<kemu::DriverModule> module;
    kemu::DriverLoad load{};
    Careless()
    {
        kemu::ResetCore();
        kemu::ResetIo();
        kemu::SetDpcMode(kemu::DpcMode::Manual);
    }
    testing::AssertionResult Load()
    {
        std::string error;
        module = kemu::DriverModule::Open(DV_CARELESS_MODULE, &error);
        if (module == nullptr) return testing::AssertionFailure() << error;
        load = kemu::LoadDriver(module->Entry(), u"\\Driver\\careless", u"\\Registry\\X");
        if (load.status != STATUS_SUCCESS) return testing::AssertionFailure() << "DriverEntry: 0x" << std::hex << load.status;
        module->Attach(load.driver, "\\Driver\\careless");
        // Until its thread sleeps inside the kernel (the timer of its delay beside its own): an
        // unload before would take the code from under a running thread, which stops the test.
        while (kemu::SetTimerCount() < 2) std::this_thread::yield();
        return testing::AssertionSuccess();
    }
};

// The end of the loaded segments of the shared object that holds `code`.
uintptr_t EndOfObject(const void *code)
{
    Dl_info found{};
    if (dladdr(code, &found) == 0) return 0;
    std::pair<const void *, uintptr_t> search{found.dli_fbase, 0};
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            auto *wanted = static_cast<std::pair<const void *, uintptr_t> *>(data);
            if (reinterpret_cast<const void *>(info->dlpi_addr) != wanted->first) return 0;
            for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i)
                if (info->dlpi_phdr[i].p_type == PT_LOAD)
                    wanted->second = std::max<uintptr_t>(wanted->second, info->dlpi_addr + info->dlpi_phdr[i].p_vaddr +
                                                                             info->dlpi_phdr[i].p_memsz);
            return 1;
        },
        &search);
    return search.second;
}

TEST(ModuleUnload, ACarelessDriversDpcTimerThreadAndRequestsAreReportedAndItsDpcAndTimerNeverRunAgain)
{
    Careless careless;
    kemu::ScopedViolationRecording recording;
    ASSERT_TRUE(careless.Load());
    // Its range ends where its last segment does: the byte after it is no longer its.
    const uintptr_t end = EndOfObject(reinterpret_cast<const void *>(careless.module->Entry()));
    ASSERT_NE(end, 0u);
    EXPECT_EQ(kemu::DriverOfCode(reinterpret_cast<const void *>(end - 1)), careless.load.driver);
    EXPECT_NE(kemu::DriverOfCode(reinterpret_cast<const void *>(end)), careless.load.driver);
    EXPECT_EQ(kemu::RunQueuedDpcs(), 1u); // it allocates a request; the unload queues it again
    kemu::UnloadDriver(careless.load.driver);
    careless.module.reset();
    // Its DPCs whose object or routine lay in the image are gone; the pool one may be queued again.
    EXPECT_EQ(kemu::QueuedDpcCount(), 0u);
    EXPECT_EQ(kemu::SetTimerCount(), 1u); // the thread's delay
    const std::vector<kemu::PoolBlock> blocks = kemu::LivePoolBlocks();
    auto tagged = [&](ULONG tag) {
        const auto found = std::find_if(blocks.begin(), blocks.end(), [&](const kemu::PoolBlock &b) { return b.tag == tag; });
        return found == blocks.end() ? nullptr : const_cast<void *>(found->address);
    };
    void *pooled = tagged(0x63637044), *stash = tagged(0x63707249);
    ASSERT_NE(pooled, nullptr);
    ASSERT_NE(stash, nullptr);
    EXPECT_FALSE(KeRemoveQueueDpc(static_cast<PKDPC>(pooled)));
    // Its unload's request keeps no status block in the unmapped image.
    EXPECT_EQ((*static_cast<PIRP *>(stash))->UserIosb, nullptr);
    ExFreePool(pooled);
    ExFreePool(stash);
    const std::vector<kemu::Violation> seen = recording.Take();
    EXPECT_EQ(Count(seen, kemu::rule::kTimerLeftAtUnload, "periodic timer 0x"), 1u);
    EXPECT_EQ(Count(seen, kemu::rule::kTimerLeftAtUnload, "(DPC routine 0x"), 1u);
    EXPECT_EQ(Count(seen, kemu::rule::kTimerLeftAtUnload, "\\Driver\\careless: cancelled"), 1u);
    EXPECT_EQ(Count(seen, kemu::rule::kThreadLeftAtUnload, "\\Driver\\careless: still running"), 1u);
    // One request built in its DPC, one in its unload, whose status block is detached: all its own.
    EXPECT_EQ(Count(seen, kemu::rule::kRequestLeftAtUnload, "careless"), 3u);
    EXPECT_EQ(Count(seen, kemu::rule::kDpcLeftAtUnload, "DPC 0x"), 3u);
    EXPECT_EQ(Count(seen, kemu::rule::kDpcLeftAtUnload, "\\Driver\\careless"), 3u);
    EXPECT_EQ(kemu::ResetDpcs(), 0u);
    kemu::ResetIo();
}

// What still calls or reads the unloaded code stops with the driver's name, never a bare crash.
TEST(ModuleUnloadDeathTest, ACallOrReadIntoAnUnloadedDriverStopsNamingTheDriverTheOffsetAndTheCaller)
{
    Careless careless;
    kemu::ScopedViolationRecording recording;
    ASSERT_TRUE(careless.Load());
    PDRIVER_INITIALIZE entry = careless.module->Entry();
    kemu::UnloadDriver(careless.load.driver);
    careless.module.reset();
    EXPECT_EXIT(entry(nullptr, nullptr), testing::ExitedWithCode(3),
                "STOP: call into an unloaded driver: .Driver.careless \\(unloaded\\) at offset 0x[0-9a-f]+, "
                "called from ldr_tests\\+0x[0-9a-f]+\n"); // the caller, not the address it called
    EXPECT_EXIT((void)*reinterpret_cast<volatile const char *>(entry), testing::ExitedWithCode(3),
                "STOP: access to an unloaded driver's memory: .Driver.careless \\(unloaded\\) at offset 0x[0-9a-f]+, "
                "by code at [^ ]+");
    recording.Take();
    kemu::ResetDpcs();
    kemu::ResetIo();
}

} // namespace
