// Driver and device objects, device stacks and the name space.
#include <algorithm>
#include <cstring>

#include "platform/emu/io/io_test_support.h"

namespace {

using iotest::Create;
using iotest::Devices;
using iotest::IoTest;
using iotest::kGuid;
using iotest::Str;
using iotest::Text;
using DeviceObjects = IoTest;
using DeviceInterfaces = IoTest;
using DeviceStacks = IoTest;
using DriverLoading = IoTest;

TEST_F(DeviceObjects, NewDevicesGoToTheHeadOfTheListTheirLinksResolveAndDeletionUnlinksThem)
{
    PDRIVER_OBJECT driver = iotest::LoadRouteDriver();
    PDEVICE_OBJECT first = Create(driver, u"\\Device\\First", 24);
    PDEVICE_OBJECT second = Create(driver, nullptr), third = Create(driver, nullptr);
    EXPECT_EQ(Devices(driver), (std::vector<PDEVICE_OBJECT>{third, second, first}));
    EXPECT_EQ(first->Flags, ULONG(DO_DEVICE_INITIALIZING));
    const auto *extension = static_cast<const unsigned char *>(first->DeviceExtension);
    EXPECT_EQ(std::count(extension, extension + 24, 0), 24) << "the extension starts zeroed";
    EXPECT_EQ(second->DeviceExtension, nullptr);
    EXPECT_EQ(kemu::DeviceName(second), u"\\Device\\00000001");
    EXPECT_EQ(kemu::DeviceName(third), u"\\Device\\00000002");
    EXPECT_EQ(kemu::FindDevice(u"\\device\\first"), first) << "names compare without case";
    // Injected refusals of creation, links, interfaces and attachment: tests/entry Lifecycle.
    EXPECT_EQ(Create(driver, u"\\Device\\FIRST", 0, STATUS_OBJECT_NAME_COLLISION), nullptr);
    EXPECT_EQ(Devices(driver), (std::vector<PDEVICE_OBJECT>{third, second, first})) << "a refused creation leaves it";
    // \DosDevices and \?? name the same links.
    UNICODE_STRING link = Text(u"\\DosDevices\\First"), alias = Text(u"\\??\\first"), target = Text(u"\\Device\\First");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_TRUE(kemu::SymbolicLinkExists(u"\\??\\FIRST"));
    EXPECT_EQ(kemu::SymbolicLinkTarget(u"\\??\\First"), u"\\Device\\First");
    EXPECT_EQ(IoCreateSymbolicLink(&alias, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoDeleteSymbolicLink(&alias), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND) << "a missing link fails harmlessly";
    IoDeleteDevice(second);
    EXPECT_EQ(Devices(driver), (std::vector<PDEVICE_OBJECT>{third, first}));
    IoDeleteDevice(third);
    EXPECT_EQ(Devices(driver), std::vector<PDEVICE_OBJECT>{first});
    IoDeleteDevice(first);
    EXPECT_TRUE(Devices(driver).empty());
    kemu::UnloadDriver(driver);
}

TEST_F(DeviceInterfaces, APhysicalDeviceRegistersThemAndTheirLinksSwitchThemOnAndOff)
{
    PDEVICE_OBJECT pdo = kemu::CreatePdo(u"DeVididi");
    ASSERT_NE(pdo, nullptr);
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &link), STATUS_SUCCESS);
    EXPECT_EQ(Str(link), u"\\??\\ROOT#DeVididi#0000#{a9029421-8158-11d3-b7f7-00105a74cc18}");
    EXPECT_EQ(link.Buffer[link.Length / 2], 0) << "the link text is terminated";
    EXPECT_FALSE(kemu::InterfaceEnabled(kGuid));
    EXPECT_EQ(kemu::FindDevice(Str(link)), nullptr) << "disabled";
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(kemu::InterfaceEnabled(kGuid));
    EXPECT_EQ(kemu::FindDevice(Str(link)), pdo);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    UNICODE_STRING unknown = Text(u"\\??\\ROOT#Nothing#0000#{a9029421-8158-11d3-b7f7-00105a74cc18}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    UNICODE_STRING secondLink{};
    PDRIVER_OBJECT driver = iotest::LoadRouteDriver();
    PDEVICE_OBJECT plain = Create(driver, nullptr);
    EXPECT_EQ(IoRegisterDeviceInterface(plain, &kGuid, nullptr, &secondLink), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(kemu::Interfaces().size(), 1u);
    RtlFreeUnicodeString(&link);
    IoDeleteDevice(plain);
    kemu::UnloadDriver(driver);
    EXPECT_EQ(kemu::PnpRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(kemu::Interfaces().empty()) << "interfaces go with their device";
}

TEST_F(DeviceStacks, AttachingStacksDevicesAndDetachingTakesTheTopOneOff)
{
    PDRIVER_OBJECT driver = iotest::LoadRouteDriver();
    PDEVICE_OBJECT bottom = Create(driver, nullptr), middle = Create(driver, nullptr), top = Create(driver, nullptr);
    bottom->StackSize = 2; // as if it sat on a device of its own
    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle) << "the device that was on top is returned";
    EXPECT_EQ(bottom->AttachedDevice, middle);
    EXPECT_EQ(middle->AttachedDevice, top);
    EXPECT_EQ(middle->StackSize, 3);
    EXPECT_EQ(top->StackSize, 4);
    EXPECT_EQ(kemu::LowerDevice(top), middle);
    EXPECT_EQ(top->AttachedDevice, nullptr);
    IoDetachDevice(middle);
    EXPECT_EQ(middle->AttachedDevice, nullptr);
    EXPECT_EQ(kemu::LowerDevice(top), nullptr);
    kemu::ScopedViolationRecording recording;
    IoDetachDevice(middle);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kDetachWithoutAttached});
    IoDeleteDevice(bottom);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kDeviceDeletedWhileAttachedAbove});
    IoDeleteDevice(middle);
    IoDeleteDevice(middle);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kUnknownDevice});
    IoDeleteDevice(top);
    kemu::UnloadDriver(driver);
}

// A driver that creates its device in DriverEntry, then fails or not as the test says; its unload
// allocates a request and leaves it.
NTSTATUS g_entryResult = STATUS_SUCCESS;
int g_unloads = 0;
PIRP g_fromUnload = nullptr;

VOID NTAPI CountUnload(PDRIVER_OBJECT)
{
    ++g_unloads;
    g_fromUnload = IoAllocateIrp(1, FALSE);
}

NTSTATUS NTAPI EntryWithDevice(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    EXPECT_EQ(Str(*registryPath), u"\\Registry\\Machine\\X\\Svc");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], kemu::DefaultDispatch());
    driver->DriverUnload = &CountUnload;
    PDEVICE_OBJECT device;
    UNICODE_STRING name = Text(u"\\Device\\FromEntry");
    EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    return g_entryResult;
}

TEST_F(DriverLoading, EntryAndUnloadLeaveNoDeviceBehindUnnoticed)
{
    kemu::ScopedViolationRecording recording;
    g_unloads = 0;
    g_entryResult = STATUS_UNSUCCESSFUL;
    kemu::DriverLoad load = kemu::LoadDriver(&EntryWithDevice, u"\\Driver\\X", u"\\Registry\\Machine\\X\\Svc");
    EXPECT_EQ(load.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(load.driver, nullptr);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kDeviceLeftByFailedEntry});
    EXPECT_EQ(kemu::LiveDeviceCount(), 0u);
    g_entryResult = STATUS_SUCCESS;
    load = kemu::LoadDriver(&EntryWithDevice, u"\\Driver\\X", u"\\Registry\\Machine\\X\\Svc");
    ASSERT_NE(load.driver, nullptr);
    EXPECT_EQ(Str(load.driver->DriverName), u"\\Driver\\X");
    EXPECT_EQ(Str(load.driver->DriverExtension->ServiceKeyName), u"Svc");
    EXPECT_EQ(kemu::LoadDriver(&EntryWithDevice, u"\\driver\\x", u"\\R").status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(recording.TakeRules().empty());
    kemu::UnloadDriver(load.driver);
    EXPECT_EQ(g_unloads, 1);
    // The request is the unloaded driver's, though its code lies in no module.
    EXPECT_EQ(recording.TakeRules(),
              (std::vector<std::string>{kemu::rule::kRequestLeftAtUnload, kemu::rule::kDeviceLeftAtUnload}));
    IoFreeIrp(g_fromUnload);
    EXPECT_EQ(kemu::LiveDeviceCount(), 0u);
}

} // namespace
