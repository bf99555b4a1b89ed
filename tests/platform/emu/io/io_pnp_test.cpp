// Plug and play: what the manager makes of a function driver's and the bus's answers. A driver
// written the way the real one is (pass down, wait, complete), started and removed with and without
// late completion, is tests/entry Lifecycle.
#include "platform/emu/io/io_test_support.h"

namespace {

using iotest::Behavior;
using iotest::IoTest;
using PlugAndPlay = IoTest;

// AddDevice attaches a function device and leaves it initialising; its requests go down untouched.
Behavior g_function;
PDEVICE_OBJECT g_lower = nullptr;
std::vector<UCHAR> g_minors;

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = iotest::Create(driver, nullptr, sizeof(Behavior *));
    *static_cast<Behavior **>(fdo->DeviceExtension) = &g_function;
    g_lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    return STATUS_SUCCESS;
}

TEST_F(PlugAndPlay, BusFailuresReachTheManagerAndAStackLeftOnARemovedDeviceIsReported)
{
    kemu::ScopedViolationRecording recording;
    PDRIVER_OBJECT driver = iotest::LoadRouteDriver();
    driver->DriverExtension->AddDevice = &AddDevice;
    g_function.handlers[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP irp) {
        g_minors.push_back(IoGetCurrentIrpStackLocation(irp)->MinorFunction);
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(g_lower, irp);
    };
    PDEVICE_OBJECT pdo = kemu::CreatePdo(u"PnpTest");
    kemu::FailBusPnp(IRP_MN_START_DEVICE, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kemu::PnpAddDevice(driver, pdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kDeviceStillInitializing});
    EXPECT_EQ(pdo->AttachedDevice->StackSize, 2);
    // A refused query is taken back with a cancel; an accepted one is followed by the stop.
    kemu::FailBusPnp(IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(kemu::PnpStopDevice(pdo), STATUS_UNSUCCESSFUL);
    kemu::FailBusPnp(IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS);
    EXPECT_EQ(kemu::PnpStopDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(kemu::PnpSurpriseRemoval(pdo), STATUS_SUCCESS);
    EXPECT_EQ(g_minors,
              (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                                  IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_SURPRISE_REMOVAL}));
    // A driver that keeps its device on removal: the bus deletes the physical device all the same.
    EXPECT_EQ(kemu::PnpRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kStackLeftOnRemovedPdo});
    EXPECT_TRUE(kemu::DriverIsLoaded(driver)) << "it still has devices";
    IoDeleteDevice(driver->DeviceObject);
    kemu::UnloadDriver(driver);
    EXPECT_TRUE(recording.TakeRules().empty());
}

// A removal may unload the driver: a wait there that nothing satisfies stops the run naming it,
// as one in a DriverUnload does, instead of hanging the manager.
TEST(PlugAndPlayDeathTest, ARemovalThatWaitsForEverStopsTheRunNamingTheDriver)
{
    const auto removeStuckDevice = [] {
        kemu::SetUnloadWaitLimit(std::chrono::milliseconds(50));
        kemu::ScopedViolationRecording recording; // the device is left initialising
        PDRIVER_OBJECT driver = iotest::LoadRouteDriver(u"\\Driver\\Stuck");
        driver->DriverExtension->AddDevice = &AddDevice;
        g_function.handlers[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) {
                KEVENT never;
                KeInitializeEvent(&never, NotificationEvent, FALSE);
                KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
            }
            IoSkipCurrentIrpStackLocation(irp);
            return IofCallDriver(g_lower, irp);
        };
        PDEVICE_OBJECT pdo = kemu::CreatePdo(u"PnpStuck");
        kemu::PnpAddDevice(driver, pdo);
        kemu::PnpRemoveDevice(pdo);
    };
    EXPECT_EXIT(removeStuckDevice(), testing::ExitedWithCode(3),
                "unload of .*Stuck.* made no progress: its IRP_MN_REMOVE_DEVICE waited 50 ms");
}

} // namespace
