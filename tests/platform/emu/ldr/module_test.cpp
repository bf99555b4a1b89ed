// What a driver leaves behind at its unload: every queued DPC, set timer, running thread and request
// of its code is reported naming the driver, and nothing of it runs after its image is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "emu/kemu/kemu.h"
#include "emu/kemu/ldr.h"

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

TEST(ModuleUnload, ACarelessDriversDpcTimerThreadAndRequestsAreReportedAndItsDpcAndTimerNeverRunAgain)
{
    Careless careless;
    kemu::ScopedViolationRecording recording;
    ASSERT_TRUE(careless.Load());
    EXPECT_EQ(kemu::RunQueuedDpcs(), 1u); // it allocates a request; the unload queues it again
    kemu::UnloadDriver(careless.load.driver);
    careless.module.reset();
    EXPECT_EQ(kemu::QueuedDpcCount(), 0u);
    EXPECT_EQ(kemu::SetTimerCount(), 1u); // the thread's delay
    const std::vector<kemu::Violation> seen = recording.Take();
    EXPECT_EQ(Count(seen, kemu::rule::kTimerLeftAtUnload, "periodic timer 0x"), 1u);
    EXPECT_EQ(Count(seen, kemu::rule::kTimerLeftAtUnload, "(DPC routine 0x"), 1u);
    EXPECT_EQ(Count(seen, kemu::rule::kTimerLeftAtUnload, "\\Driver\\careless: cancelled"), 1u);
    EXPECT_EQ(Count(seen, kemu::rule::kThreadLeftAtUnload, "\\Driver\\careless: still running"), 1u);
    // One request built in its DPC, one in its unload: both its own.
    EXPECT_EQ(Count(seen, kemu::rule::kRequestLeftAtUnload, "careless"), 2u);
    EXPECT_EQ(Count(seen, kemu::rule::kDpcLeftAtUnload, "DPC 0x"), 1u);
    EXPECT_EQ(Count(seen, kemu::rule::kDpcLeftAtUnload, "\\Driver\\careless"), 1u);
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
                "called from [^ ]+");
    EXPECT_EXIT((void)*reinterpret_cast<volatile const char *>(entry), testing::ExitedWithCode(3),
                "STOP: access to an unloaded driver's memory: .Driver.careless \\(unloaded\\) at offset 0x[0-9a-f]+, "
                "by code at [^ ]+");
    recording.Take();
    kemu::ResetDpcs();
    kemu::ResetIo();
}

} // namespace
