// Driver and device objects, device stacks, the name space (device names, symbolic links, device
// interfaces) and the loading and unloading of drivers.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "emu/io/internal.h"
#include "emu/kemu/core.h"
#include "emu/kemu/ldr.h"

namespace kemu::io {
namespace {

struct DriverRecord {
    PDRIVER_OBJECT object = nullptr;
    std::u16string name;
    std::u16string registryPath;
    std::u16string serviceKey;
    UNICODE_STRING registryPathString{};
    bool loaded = false;           // DriverEntry succeeded and no unload ran since
    bool platform = false;         // the emulation's own (the bus)
    bool unloadWhenUnused = false; // a removal took its devices: unload once the last one is gone
    int dispatching = 0;           // its dispatch routines running: a request holds its driver, so no unload
    bool unloadInvoked = false;    // its DriverUnload has been called: its devices open no more files
};

struct DeviceRecord {
    PDEVICE_OBJECT object = nullptr;
    std::u16string name;
    PDEVICE_OBJECT lower = nullptr; // the device it is attached to
    bool pdo = false;
    std::u16string hardwareId;
    std::u16string instance; // "0000", "0001", ... per hardware id
    bool deletePending = false; // deleted while file objects still refer to it
    size_t openFiles = 0;
};

struct Link {
    std::u16string name;
    std::u16string target;
};

struct Interface {
    std::u16string link;
    GUID guid{};
    PDEVICE_OBJECT pdo = nullptr;
    bool enabled = false;
};

std::unordered_map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> g_drivers;
std::unordered_map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>> g_devices;
std::map<std::u16string, PDEVICE_OBJECT> g_deviceNames; // by name key
std::map<std::u16string, Link> g_links;                 // by name key
std::map<std::u16string, Interface> g_interfaces;       // by name key
std::map<std::u16string, unsigned> g_instances;         // next instance number per hardware id
ULONG g_autoNames = 0;

std::optional<NTSTATUS> g_failCreateDevice;
std::optional<NTSTATUS> g_failCreateLink;
std::optional<NTSTATUS> g_failRegisterInterface;
std::optional<NTSTATUS> g_failInterfaceState;
bool g_failAttach = false;

constexpr UCHAR kDefaultWdmMajor = 1;
constexpr UCHAR kDefaultWdmMinor = 0x05;
UCHAR g_wdmMajor = kDefaultWdmMajor;
UCHAR g_wdmMinor = kDefaultWdmMinor;

constexpr ULONG Tag(char a, char b, char c, char d)
{
    return ULONG(UCHAR(a)) | ULONG(UCHAR(b)) << 8 | ULONG(UCHAR(c)) << 16 | ULONG(UCHAR(d)) << 24;
}
constexpr ULONG kLinkNameTag = Tag('I', 'o', 'N', 'm');

// Extensions start on a 16-byte boundary behind the device object, as the kernel's do.
constexpr size_t kExtensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);

bool StartsWith(const std::u16string &text, const std::u16string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The object manager compares names without case; "\DosDevices\" and "\GLOBAL??\" are "\??\".
std::u16string Key(const std::u16string &name)
{
    std::u16string key = name;
    for (char16_t &c : key) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    for (const std::u16string prefix : {u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
        if (StartsWith(key, prefix)) {
            return u"\\??\\" + key.substr(prefix.size());
        }
    }
    return key;
}

bool NameTaken(const std::u16string &key)
{
    return g_deviceNames.count(key) != 0 || g_links.count(key) != 0 || g_interfaces.count(key) != 0;
}

// A failure hook, set by a test, fails the next call of its routine once.
void ArmHook(std::optional<NTSTATUS> &hook, NTSTATUS status)
{
    std::lock_guard<std::mutex> lock(StateLock());
    hook = status;
}

NTSTATUS TakeHook(std::optional<NTSTATUS> &hook)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (!hook) {
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = *hook;
    hook.reset();
    return status;
}

DeviceRecord *FindDevice(PDEVICE_OBJECT device)
{
    auto it = g_devices.find(device);
    return it == g_devices.end() ? nullptr : it->second.get();
}

DriverRecord *FindDriver(PDRIVER_OBJECT driver)
{
    auto it = g_drivers.find(driver);
    return it == g_drivers.end() ? nullptr : it->second.get();
}

void UnlinkFromDriver(PDEVICE_OBJECT device)
{
    PDRIVER_OBJECT driver = device->DriverObject;
    if (driver == nullptr) {
        return;
    }
    for (PDEVICE_OBJECT *slot = &driver->DeviceObject; *slot != nullptr; slot = &(*slot)->NextDevice) {
        if (*slot == device) {
            *slot = device->NextDevice;
            device->NextDevice = nullptr;
            return;
        }
    }
}

// Takes the device out of its driver's list and of the name space; its interfaces go with it.
void Withdraw(PDEVICE_OBJECT device, DeviceRecord &record)
{
    UnlinkFromDriver(device);
    if (!record.name.empty()) {
        g_deviceNames.erase(Key(record.name));
    }
    for (auto it = g_interfaces.begin(); it != g_interfaces.end();) {
        it = it->second.pdo == device ? g_interfaces.erase(it) : std::next(it);
    }
}

void FreeDeviceLocked(PDEVICE_OBJECT device)
{
    g_devices.erase(device);
    std::free(device);
}

void ForceDeleteLocked(PDEVICE_OBJECT device)
{
    DeviceRecord *record = FindDevice(device);
    if (record == nullptr) {
        return;
    }
    if (PDEVICE_OBJECT upper = device->AttachedDevice) {
        if (DeviceRecord *upperRecord = FindDevice(upper)) {
            upperRecord->lower = nullptr;
        }
        device->AttachedDevice = nullptr;
    }
    if (record->lower != nullptr) {
        if (record->lower->AttachedDevice == device) {
            record->lower->AttachedDevice = nullptr;
        }
        record->lower = nullptr;
    }
    if (!record->deletePending) {
        Withdraw(device, *record);
    }
    FreeDeviceLocked(device);
}

// Every device of the driver, listed or waiting for its last close.
std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver)
{
    std::vector<PDEVICE_OBJECT> devices;
    for (const auto &entry : g_devices) {
        if (entry.first->DriverObject == driver) {
            devices.push_back(entry.first);
        }
    }
    return devices;
}

void FreeDriverLocked(PDRIVER_OBJECT driver)
{
    g_drivers.erase(driver);
    std::free(driver);
}

void CallUnload(PDRIVER_OBJECT driver, PDRIVER_UNLOAD unload)
{
    const KIRQL before = KeGetCurrentIrql();
    {
        std::lock_guard<std::mutex> lock(StateLock());
        if (DriverRecord *record = FindDriver(driver)) {
            record->unloadInvoked = true;
        }
    }
    UnloadingDriver() = driver;
    unload(driver);
    UnloadingDriver() = nullptr;
    if (KeGetCurrentIrql() != before) {
        std::lock_guard<std::mutex> lock(StateLock());
        ReportViolation(rule::kIrqlNotRestored, "DriverUnload of " + DescribeDriver(driver));
    }
}

} // namespace

bool DeviceIsLive(PDEVICE_OBJECT device) { return FindDevice(device) != nullptr; }

bool DeviceIsPdo(PDEVICE_OBJECT device)
{
    DeviceRecord *record = FindDevice(device);
    return record != nullptr && record->pdo && !record->deletePending;
}

PDEVICE_OBJECT TopOfStackLocked(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice != nullptr) {
        device = device->AttachedDevice;
    }
    return device;
}

std::string DescribeDriver(PDRIVER_OBJECT driver)
{
    DriverRecord *record = FindDriver(driver);
    return record != nullptr ? Narrow(record->name) : "driver " + Hex(driver);
}

std::string DescribeDevice(PDEVICE_OBJECT device)
{
    DeviceRecord *record = FindDevice(device);
    if (record == nullptr) {
        return "device " + Hex(device);
    }
    std::string text = "device " + Hex(device);
    if (!record->name.empty()) {
        text += " \"" + Narrow(record->name) + "\"";
    }
    if (record->pdo) {
        text += " (physical device \"" + Narrow(record->hardwareId) + "\")";
    }
    return text + " of " + DescribeDriver(device->DriverObject);
}

PDRIVER_OBJECT CreateDriverObject(const std::u16string &name, const std::u16string &registryPath)
{
    auto memory = std::calloc(1, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION));
    if (memory == nullptr) {
        return nullptr;
    }
    auto driver = static_cast<PDRIVER_OBJECT>(memory);
    auto extension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
    auto record = std::make_unique<DriverRecord>();
    record->object = driver;
    record->name = name;
    record->registryPath = registryPath;
    const size_t slash = registryPath.rfind(u'\\');
    record->serviceKey = slash == std::u16string::npos ? registryPath : registryPath.substr(slash + 1);

    auto counted = [](std::u16string &text) {
        UNICODE_STRING string;
        string.Buffer = text.data();
        string.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
        string.MaximumLength = static_cast<USHORT>(string.Length + sizeof(WCHAR));
        return string;
    };
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = static_cast<CSHORT>(sizeof(DRIVER_OBJECT));
    driver->DriverExtension = extension;
    driver->DriverName = counted(record->name);
    extension->DriverObject = driver;
    extension->ServiceKeyName = counted(record->serviceKey);
    record->registryPathString = counted(record->registryPath);
    // The kernel fills the table with its refusal before DriverEntry runs.
    for (auto &slot : driver->MajorFunction) {
        slot = &DefaultRefusal;
    }
    std::lock_guard<std::mutex> lock(StateLock());
    g_drivers[driver] = std::move(record);
    return driver;
}

NTSTATUS CreateDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize, const std::u16string &name,
                            DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT *out)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (FindDriver(driver) == nullptr) {
        ReportViolation(rule::kUnknownDriver, "IoCreateDevice for " + Hex(driver));
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string deviceName = name;
    if (characteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
        do {
            char text[32];
            std::snprintf(text, sizeof text, "\\Device\\%08lx", static_cast<unsigned long>(++g_autoNames));
            deviceName = Widen(text);
        } while (NameTaken(Key(deviceName)));
    } else if (!deviceName.empty()) {
        if (deviceName[0] != u'\\') {
            return STATUS_OBJECT_NAME_INVALID;
        }
        if (NameTaken(Key(deviceName))) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    auto device = static_cast<PDEVICE_OBJECT>(std::calloc(1, kExtensionOffset + extensionSize));
    if (device == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(kExtensionOffset + extensionSize);
    device->DriverObject = driver;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = characteristics;
    device->DeviceExtension = extensionSize != 0 ? reinterpret_cast<char *>(device) + kExtensionOffset : nullptr;
    device->DeviceType = type;
    device->StackSize = 1;
    // New devices go to the head of the driver's list.
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;

    auto record = std::make_unique<DeviceRecord>();
    record->object = device;
    record->name = deviceName;
    if (!deviceName.empty()) {
        g_deviceNames[Key(deviceName)] = device;
    }
    g_devices[device] = std::move(record);
    *out = device;
    return STATUS_SUCCESS;
}

void MarkPdo(PDEVICE_OBJECT device, const std::u16string &hardwareId)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (DeviceRecord *record = FindDevice(device)) {
        char text[8];
        std::snprintf(text, sizeof text, "%04u", g_instances[Key(hardwareId)]++ % 10000);
        record->pdo = true;
        record->hardwareId = hardwareId;
        record->instance = Widen(text);
        device->Flags = (device->Flags & ~ULONG(DO_DEVICE_INITIALIZING)) | DO_BUS_ENUMERATED_DEVICE;
    }
}

void DeleteDeviceQuietly(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(StateLock());
    DeviceRecord *record = FindDevice(device);
    if (record == nullptr || record->openFiles == 0) {
        ForceDeleteLocked(device);
        return;
    }
    if (PDEVICE_OBJECT upper = device->AttachedDevice) {
        if (DeviceRecord *upperRecord = FindDevice(upper)) {
            upperRecord->lower = nullptr;
        }
        device->AttachedDevice = nullptr;
    }
    if (!record->deletePending) {
        Withdraw(device, *record);
        record->deletePending = true;
    }
}

void UnloadIfUnused(PDRIVER_OBJECT driver)
{
    PDRIVER_UNLOAD unload = nullptr;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        DriverRecord *record = FindDriver(driver);
        if (record == nullptr || !record->loaded || !record->unloadWhenUnused || !DevicesOf(driver).empty() ||
            record->dispatching != 0) {
            return;
        }
        record->loaded = false;
        unload = driver->DriverUnload;
    }
    if (unload != nullptr) {
        CallUnload(driver, unload);
    }
}

bool UnloadInvokedLocked(PDRIVER_OBJECT driver)
{
    const DriverRecord *record = FindDriver(driver);
    return record != nullptr && record->unloadInvoked;
}

void EnterDispatch(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (DriverRecord *record = FindDriver(driver)) {
        record->dispatching++;
    }
}

void LeaveDispatch(PDRIVER_OBJECT driver)
{
    {
        std::lock_guard<std::mutex> lock(StateLock());
        DriverRecord *record = FindDriver(driver);
        if (record == nullptr || --record->dispatching != 0) {
            return;
        }
    }
    UnloadIfUnused(driver); // a removal made while it dispatched
}

void MarkUnloadWhenUnused(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (DriverRecord *record = FindDriver(driver)) {
        record->unloadWhenUnused = true;
    }
}

void AddOpenFile(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (DeviceRecord *record = FindDevice(device)) {
        record->openFiles++;
        device->ReferenceCount++;
    }
}

void DropOpenFile(PDEVICE_OBJECT device)
{
    PDRIVER_OBJECT driver = nullptr;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        DeviceRecord *record = FindDevice(device);
        if (record == nullptr) {
            return; // forced away with its driver
        }
        record->openFiles--;
        device->ReferenceCount--;
        if (!record->deletePending || record->openFiles != 0) {
            return;
        }
        driver = device->DriverObject;
        FreeDeviceLocked(device);
    }
    // The last close of a deleted device may be what a removed driver's unload waited for.
    UnloadIfUnused(driver);
}

PDEVICE_OBJECT ResolveName(const std::u16string &name)
{
    std::u16string current = name;
    for (int depth = 0; depth < 8; ++depth) { // links to links, but no loops
        const std::u16string key = Key(current);
        if (auto device = g_deviceNames.find(key); device != g_deviceNames.end()) {
            return device->second;
        }
        if (auto link = g_links.find(key); link != g_links.end()) {
            current = link->second.target;
            continue;
        }
        if (auto found = g_interfaces.find(key); found != g_interfaces.end() && found->second.enabled) {
            return found->second.pdo;
        }
        return nullptr;
    }
    return nullptr;
}

size_t ResetObjects()
{
    std::lock_guard<std::mutex> lock(StateLock());
    size_t leftovers = 0;
    for (const auto &entry : g_drivers) {
        if (entry.second->loaded && !entry.second->platform) {
            ReportViolation(rule::kLeftoverAtReset, "driver " + Narrow(entry.second->name) + " still loaded");
            ++leftovers;
        }
    }
    for (const auto &entry : g_devices) {
        if (!entry.second->deletePending) { // those are held by file objects, reported already
            ReportViolation(rule::kLeftoverAtReset, DescribeDevice(entry.first) + " never deleted");
            ++leftovers;
        }
    }
    for (const auto &entry : g_links) {
        ReportViolation(rule::kLeftoverAtReset, "symbolic link \"" + Narrow(entry.second.name) + "\" -> \"" +
                                                    Narrow(entry.second.target) + "\" never deleted");
        ++leftovers;
    }
    for (const auto &entry : g_devices) {
        std::free(entry.first);
    }
    for (const auto &entry : g_drivers) {
        std::free(entry.first);
    }
    g_devices.clear();
    g_drivers.clear();
    g_deviceNames.clear();
    g_links.clear();
    g_interfaces.clear();
    g_instances.clear();
    g_autoNames = 0;
    g_failCreateDevice.reset();
    g_failCreateLink.reset();
    g_failRegisterInterface.reset();
    g_failInterfaceState.reset();
    g_failAttach = false;
    g_wdmMajor = kDefaultWdmMajor;
    g_wdmMinor = kDefaultWdmMinor;
    return leftovers;
}

void MarkPlatformDriver(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (DriverRecord *record = FindDriver(driver)) {
        record->platform = true;
        record->loaded = true;
    }
}

} // namespace kemu::io

using namespace kemu::io;
using kemu::ReportViolation;
namespace rule = kemu::rule;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    if (DeviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *DeviceObject = nullptr;
    if (const NTSTATUS failure = TakeHook(g_failCreateDevice); failure != STATUS_SUCCESS) {
        return failure;
    }
    return CreateDeviceObject(DriverObject, DeviceExtensionSize, FromCounted(DeviceName), DeviceType,
                              DeviceCharacteristics, Exclusive, DeviceObject);
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    std::lock_guard<std::mutex> lock(StateLock());
    DeviceRecord *record = FindDevice(DeviceObject);
    if (record == nullptr || record->deletePending) {
        ReportViolation(rule::kUnknownDevice, "IoDeleteDevice on " + Hex(DeviceObject) +
                                                  (record != nullptr ? " (already deleted)" : ""));
        return;
    }
    if (PDEVICE_OBJECT upper = DeviceObject->AttachedDevice) {
        ReportViolation(rule::kDeviceDeletedWhileAttachedAbove,
                        DescribeDevice(DeviceObject) + " under " + DescribeDevice(upper));
        if (DeviceRecord *upperRecord = FindDevice(upper)) {
            upperRecord->lower = nullptr;
        }
        DeviceObject->AttachedDevice = nullptr;
    }
    if (record->lower != nullptr) {
        ReportViolation(rule::kDeviceDeletedWhileAttached,
                        DescribeDevice(DeviceObject) + " on " + DescribeDevice(record->lower));
        if (record->lower->AttachedDevice == DeviceObject) {
            record->lower->AttachedDevice = nullptr;
        }
        record->lower = nullptr;
    }
    Withdraw(DeviceObject, *record);
    if (record->openFiles != 0) {
        record->deletePending = true; // the last close frees it
        return;
    }
    FreeDeviceLocked(DeviceObject);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    if (SymbolicLinkName == nullptr || DeviceName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (const NTSTATUS failure = TakeHook(g_failCreateLink); failure != STATUS_SUCCESS) {
        return failure;
    }
    const std::u16string name = FromCounted(SymbolicLinkName);
    if (name.empty() || name[0] != u'\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard<std::mutex> lock(StateLock());
    const std::u16string key = Key(name);
    if (NameTaken(key)) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    g_links[key] = Link{name, FromCounted(DeviceName)};
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::lock_guard<std::mutex> lock(StateLock());
    return g_links.erase(Key(FromCounted(SymbolicLinkName))) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (const NTSTATUS failure = TakeHook(g_failRegisterInterface); failure != STATUS_SUCCESS) {
        return failure;
    }
    std::u16string hardwareId;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        DeviceRecord *record = FindDevice(PhysicalDeviceObject);
        if (record == nullptr) {
            ReportViolation(rule::kUnknownDevice, "IoRegisterDeviceInterface on " + Hex(PhysicalDeviceObject));
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (!record->pdo || record->deletePending) {
            return STATUS_INVALID_DEVICE_REQUEST; // interfaces belong to physical devices only
        }
        hardwareId = record->hardwareId + u"#" + record->instance;
        for (char16_t &c : hardwareId) {
            c = c == u'\\' ? u'#' : c;
        }
    }
    std::u16string link = u"\\??\\ROOT#" + hardwareId + u"#" + kemu::GuidText(*InterfaceClassGuid);
    const std::u16string reference = FromCounted(ReferenceString);
    if (!reference.empty()) {
        link += u"\\" + reference;
    }
    const size_t bytes = link.size() * sizeof(WCHAR);
    auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kLinkNameTag));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, link.c_str(), bytes + sizeof(WCHAR));
    {
        std::lock_guard<std::mutex> lock(StateLock());
        const std::u16string key = Key(link);
        if (g_interfaces.count(key) == 0) { // registering again returns the same link
            Interface entry;
            entry.link = link;
            entry.guid = *InterfaceClassGuid;
            entry.pdo = PhysicalDeviceObject;
            g_interfaces[key] = entry;
        }
    }
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    if (SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (const NTSTATUS failure = TakeHook(g_failInterfaceState); failure != STATUS_SUCCESS) {
        return failure;
    }
    std::lock_guard<std::mutex> lock(StateLock());
    auto found = g_interfaces.find(Key(FromCounted(SymbolicLinkName)));
    if (found == g_interfaces.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Interface &entry = found->second;
    if (Enable) {
        if (entry.enabled) {
            return STATUS_OBJECT_NAME_EXISTS;
        }
        entry.enabled = true;
        return STATUS_SUCCESS;
    }
    if (!entry.enabled) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    entry.enabled = false;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    std::lock_guard<std::mutex> lock(StateLock());
    if (g_failAttach) {
        g_failAttach = false;
        return nullptr;
    }
    DeviceRecord *source = FindDevice(SourceDevice);
    DeviceRecord *target = FindDevice(TargetDevice);
    if (source == nullptr || target == nullptr) {
        ReportViolation(rule::kUnknownDevice, "IoAttachDeviceToDeviceStack of " + Hex(SourceDevice) + " to " +
                                                  Hex(TargetDevice));
        return nullptr;
    }
    PDEVICE_OBJECT top = TopOfStackLocked(TargetDevice);
    if (source->lower != nullptr || top == SourceDevice) {
        ReportViolation(rule::kDeviceAttachedTwice, DescribeDevice(SourceDevice));
        return nullptr;
    }
    if (FindDevice(top)->deletePending) {
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    source->lower = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
    std::lock_guard<std::mutex> lock(StateLock());
    if (FindDevice(TargetDevice) == nullptr) {
        ReportViolation(rule::kUnknownDevice, "IoDetachDevice on " + Hex(TargetDevice));
        return;
    }
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper == nullptr) {
        ReportViolation(rule::kDetachWithoutAttached, DescribeDevice(TargetDevice));
        return;
    }
    if (DeviceRecord *upperRecord = FindDevice(upper)) {
        upperRecord->lower = nullptr;
    }
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (FindDevice(DeviceObject) == nullptr) {
        ReportViolation(rule::kUnknownDevice, "IoGetAttachedDevice on " + Hex(DeviceObject));
        return DeviceObject;
    }
    return TopOfStackLocked(DeviceObject);
}

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    std::lock_guard<std::mutex> lock(StateLock());
    return MajorVersion < g_wdmMajor || (MajorVersion == g_wdmMajor && MinorVersion <= g_wdmMinor);
}

} // extern "C"

namespace kemu {

DriverLoad LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string &driverName, const std::u16string &registryPath)
{
    if (entry == nullptr) {
        std::fprintf(stderr, "kemu: LoadDriver(%s) without an entry point\n", io::Narrow(driverName).c_str());
        return {STATUS_INVALID_PARAMETER, nullptr};
    }
    io::CheckIrqlAtMost(PASSIVE_LEVEL, "LoadDriver");
    {
        std::lock_guard<std::mutex> lock(io::StateLock());
        for (const auto &entryRecord : g_drivers) {
            if (io::Key(entryRecord.second->name) == io::Key(driverName)) {
                std::fprintf(stderr, "kemu: LoadDriver: %s is loaded already\n", io::Narrow(driverName).c_str());
                return {STATUS_OBJECT_NAME_COLLISION, nullptr};
            }
        }
    }
    PDRIVER_OBJECT driver = io::CreateDriverObject(driverName, registryPath);
    if (driver == nullptr) {
        return {STATUS_INSUFFICIENT_RESOURCES, nullptr};
    }
    driver->DriverInit = entry;
    PUNICODE_STRING path;
    {
        std::lock_guard<std::mutex> lock(io::StateLock());
        path = &io::FindDriver(driver)->registryPathString;
    }
    NameModuleOfEntry(reinterpret_cast<const void *>(entry), driver, io::Narrow(driverName));
    const KIRQL before = KeGetCurrentIrql();
    io::CallingDriver() = driver;
    const NTSTATUS status = entry(driver, path);
    io::CallingDriver() = nullptr;

    std::lock_guard<std::mutex> lock(io::StateLock());
    if (KeGetCurrentIrql() != before) {
        ReportViolation(rule::kIrqlNotRestored, "DriverEntry of " + io::Narrow(driverName));
    }
    if (!NT_SUCCESS(status)) {
        for (PDEVICE_OBJECT device : io::DevicesOf(driver)) {
            ReportViolation(rule::kDeviceLeftByFailedEntry,
                            io::DescribeDevice(device) + " (DriverEntry returned " + io::HexStatus(status) + ")");
            io::ForceDeleteLocked(device);
        }
        io::FreeDriverLocked(driver);
        return {status, nullptr};
    }
    // The kernel lets devices made in DriverEntry be opened once it has returned.
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice) {
        device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    }
    io::FindDriver(driver)->loaded = true;
    return {status, driver};
}

void UnloadDriver(PDRIVER_OBJECT driver)
{
    PDRIVER_UNLOAD unload = nullptr;
    {
        std::lock_guard<std::mutex> lock(io::StateLock());
        io::DriverRecord *record = io::FindDriver(driver);
        if (record == nullptr || record->platform) {
            ReportViolation(rule::kUnknownDriver, "UnloadDriver on " + io::Hex(driver));
            return;
        }
        if (record->loaded) {
            unload = driver->DriverUnload;
            record->loaded = false;
        }
    }
    io::CheckIrqlAtMost(PASSIVE_LEVEL, "UnloadDriver");
    if (unload != nullptr) {
        io::CallingDriver() = driver;
        io::CallUnload(driver, unload);
        io::CallingDriver() = nullptr;
    }
    std::lock_guard<std::mutex> lock(io::StateLock());
    for (const std::string &request : io::LiveRequestsSentBy(driver)) {
        ReportViolation(rule::kRequestLeftAtUnload, request + " of " + io::DescribeDriver(driver) +
                                                        ": its completion would run in an unloaded driver");
    }
    for (const std::string &file : io::ForgetFilesTakenBy(driver)) {
        ReportViolation(rule::kReferenceLeftAtUnload,
                        file + " taken by " + io::DescribeDriver(driver) + ": never dereferenced, it holds the device");
    }
    for (PDEVICE_OBJECT device : io::DevicesOf(driver)) {
        const io::DeviceRecord *record = io::FindDevice(device);
        ReportViolation(rule::kDeviceLeftAtUnload,
                        io::DescribeDevice(device) +
                            (record->deletePending ? " (deleted, " + std::to_string(record->openFiles) +
                                                         " file objects still open)"
                                                   : ""));
        io::ForceDeleteLocked(device);
    }
    io::FreeDriverLocked(driver);
}

bool DriverIsLoaded(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> lock(io::StateLock());
    io::DriverRecord *record = io::FindDriver(driver);
    return record != nullptr && record->loaded;
}

PDEVICE_OBJECT FindDevice(const std::u16string &name)
{
    std::lock_guard<std::mutex> lock(io::StateLock());
    return io::ResolveName(name);
}

std::u16string DeviceName(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(io::StateLock());
    io::DeviceRecord *record = io::FindDevice(device);
    return record != nullptr ? record->name : std::u16string();
}

PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(io::StateLock());
    io::DeviceRecord *record = io::FindDevice(device);
    return record != nullptr ? record->lower : nullptr;
}

bool SymbolicLinkExists(const std::u16string &link)
{
    std::lock_guard<std::mutex> lock(io::StateLock());
    return g_links.count(io::Key(link)) != 0;
}

std::u16string SymbolicLinkTarget(const std::u16string &link)
{
    std::lock_guard<std::mutex> lock(io::StateLock());
    auto found = g_links.find(io::Key(link));
    return found != g_links.end() ? found->second.target : std::u16string();
}

size_t LiveDeviceCount()
{
    std::lock_guard<std::mutex> lock(io::StateLock());
    return g_devices.size();
}

std::vector<InterfaceInfo> Interfaces()
{
    std::lock_guard<std::mutex> lock(io::StateLock());
    std::vector<InterfaceInfo> list;
    for (const auto &entry : g_interfaces) {
        list.push_back({entry.second.link, entry.second.guid, entry.second.pdo, entry.second.enabled});
    }
    return list;
}

bool InterfaceEnabled(const GUID &guid)
{
    std::lock_guard<std::mutex> lock(io::StateLock());
    for (const auto &entry : g_interfaces) {
        if (entry.second.enabled && std::memcmp(&entry.second.guid, &guid, sizeof guid) == 0) {
            return true;
        }
    }
    return false;
}

std::u16string GuidText(const GUID &guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return Widen(text);
}

void SetWdmVersion(UCHAR major, UCHAR minor)
{
    std::lock_guard<std::mutex> lock(io::StateLock());
    g_wdmMajor = major;
    g_wdmMinor = minor;
}

void FailNextIoCreateDevice(NTSTATUS status) { io::ArmHook(g_failCreateDevice, status); }

void FailNextIoCreateSymbolicLink(NTSTATUS status) { io::ArmHook(g_failCreateLink, status); }

void FailNextIoRegisterDeviceInterface(NTSTATUS status) { io::ArmHook(g_failRegisterInterface, status); }

void FailNextIoSetDeviceInterfaceState(NTSTATUS status) { io::ArmHook(g_failInterfaceState, status); }

void FailNextIoAttachDeviceToDeviceStack()
{
    std::lock_guard<std::mutex> lock(io::StateLock());
    g_failAttach = true;
}

} // namespace kemu
