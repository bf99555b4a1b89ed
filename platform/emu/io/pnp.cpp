// Plug and play: the root bus driver with its physical device objects, the manager's requests to
// the device stacks, and the platform's own thread on which late completions and deferred closes run.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <thread>
#include <unordered_map>
#include <vector>

#include "emu/io/internal.h"
#include "emu/kemu/core.h"

namespace kemu::io {
namespace {

// ---- The platform's thread ----
std::mutex g_workLock;
std::condition_variable g_workChanged;
std::deque<std::function<void()>> g_work;
bool g_workStopping = false;
// Never destroyed: a test program that ends without ResetIo must not terminate on a joinable thread.
std::thread *g_worker = nullptr;

void WorkerMain()
{
    std::unique_lock<std::mutex> lock(g_workLock);
    for (;;) {
        g_workChanged.wait(lock, [] { return !g_work.empty() || g_workStopping; });
        if (g_work.empty()) {
            return; // stopping, and everything handed over has run
        }
        std::function<void()> work = std::move(g_work.front());
        g_work.pop_front();
        lock.unlock();
        work();
        lock.lock();
    }
}

void StopPlatformThread()
{
    std::thread *worker;
    {
        std::lock_guard<std::mutex> lock(g_workLock);
        worker = g_worker;
        g_worker = nullptr;
        g_workStopping = true;
    }
    g_workChanged.notify_all();
    if (worker != nullptr) {
        worker->join();
        delete worker;
    }
    std::lock_guard<std::mutex> lock(g_workLock);
    g_workStopping = false;
}

// ---- The bus (all under StateLock) ----
PDRIVER_OBJECT g_bus = nullptr;
bool g_busLater = false;
std::map<UCHAR, NTSTATUS> g_busFailures;
struct PdoState {
    std::vector<PDRIVER_OBJECT> functionDrivers; // drivers whose AddDevice succeeded on it
};
std::unordered_map<PDEVICE_OBJECT, PdoState> g_pdos;

bool BusHandles(UCHAR minor)
{
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return true;
    default:
        return false;
    }
}

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    NTSTATUS status;
    bool later;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        auto failure = g_busFailures.find(minor);
        // A bus leaves the status of a request it does not know as it came.
        status = failure != g_busFailures.end() ? failure->second
                 : BusHandles(minor)            ? STATUS_SUCCESS
                                                : irp->IoStatus.Status;
        later = g_busLater;
    }
    if (later) {
        IoMarkIrpPending(irp);
        PostToPlatformThread([irp, status] {
            irp->IoStatus.Status = status;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PDRIVER_OBJECT EnsureBus()
{
    {
        std::lock_guard<std::mutex> lock(StateLock());
        if (g_bus != nullptr) {
            return g_bus;
        }
    }
    PDRIVER_OBJECT bus =
        CreateDriverObject(u"\\Driver\\PnpManager", u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PnpManager");
    if (bus == nullptr) {
        return nullptr;
    }
    bus->MajorFunction[IRP_MJ_PNP] = &BusPnp;
    MarkPlatformDriver(bus);
    std::lock_guard<std::mutex> lock(StateLock());
    g_bus = bus;
    return bus;
}

// What every plug-and-play call of a test checks first: passive level (reported, not refused) and a
// physical device object of the bus (refused when not).
bool CheckPnpCall(PDEVICE_OBJECT pdo, const char *routine)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, routine);
    std::lock_guard<std::mutex> lock(StateLock());
    if (g_pdos.count(pdo) != 0 && DeviceIsPdo(pdo)) {
        return true;
    }
    ReportViolation(rule::kUnknownDevice, std::string(routine) + " on " + Hex(pdo) + ", not a physical device object");
    return false;
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const char *what)
{
    PDEVICE_OBJECT top;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        top = TopOfStackLocked(pdo);
    }
    // A removal may unload the driver: its waits are bounded like those of a DriverUnload.
    PDRIVER_OBJECT &unloading = UnloadingDriver();
    const char *&step = UnloadingStep();
    const PDRIVER_OBJECT outerDriver = unloading;
    const char *const outerStep = step;
    if (minor == IRP_MN_REMOVE_DEVICE && outerDriver == nullptr) {
        unloading = top->DriverObject;
        step = "IRP_MN_REMOVE_DEVICE";
    }
    // The kernel starts every plug-and-play request as not supported: only a driver that handles it
    // changes that.
    const NTSTATUS status = SendAndWait(top, IRP_MJ_PNP, minor, nullptr, STATUS_NOT_SUPPORTED, what);
    unloading = outerDriver;
    step = outerStep;
    return status;
}

} // namespace

void PostToPlatformThread(std::function<void()> work)
{
    {
        std::lock_guard<std::mutex> lock(g_workLock);
        g_work.push_back(std::move(work));
        if (g_worker == nullptr) {
            g_worker = new std::thread(WorkerMain);
        }
    }
    g_workChanged.notify_all();
}

size_t ResetPnp()
{
    StopPlatformThread();
    std::lock_guard<std::mutex> lock(StateLock());
    // The bus driver object and its devices go with the other objects (and are reported there).
    g_bus = nullptr;
    g_busLater = false;
    g_busFailures.clear();
    g_pdos.clear();
    return 0;
}

} // namespace kemu::io

namespace kemu {

using io::StateLock;

PDEVICE_OBJECT CreatePdo(const std::u16string &hardwareId)
{
    PDRIVER_OBJECT bus = io::EnsureBus();
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS status = bus == nullptr ? STATUS_INSUFFICIENT_RESOURCES
                                           : io::CreateDeviceObject(bus, 0, u"", FILE_DEVICE_UNKNOWN,
                                                                    FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "kemu: CreatePdo(%s) failed with %s\n", io::Narrow(hardwareId).c_str(),
                     io::HexStatus(status).c_str());
        return nullptr;
    }
    io::MarkPdo(pdo, hardwareId);
    std::lock_guard<std::mutex> lock(StateLock());
    io::g_pdos[pdo] = io::PdoState{};
    return pdo;
}

NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    if (!io::CheckPnpCall(pdo, "PnpAddDevice")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!DriverIsLoaded(driver)) {
        ReportViolation(rule::kUnknownDriver, "PnpAddDevice with " + io::Hex(driver));
        return STATUS_INVALID_PARAMETER;
    }
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    if (addDevice == nullptr) {
        std::lock_guard<std::mutex> lock(StateLock());
        std::fprintf(stderr, "kemu: PnpAddDevice: %s has no AddDevice routine\n", io::DescribeDriver(driver).c_str());
        return STATUS_NOT_SUPPORTED;
    }
    PDEVICE_OBJECT topBefore;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        topBefore = io::TopOfStackLocked(pdo);
    }
    const KIRQL before = KeGetCurrentIrql();
    const NTSTATUS status = addDevice(driver, pdo);
    {
        std::lock_guard<std::mutex> lock(StateLock());
        if (KeGetCurrentIrql() != before) {
            ReportViolation(rule::kIrqlNotRestored, "AddDevice of " + io::DescribeDriver(driver));
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        auto &drivers = io::g_pdos[pdo].functionDrivers;
        if (std::find(drivers.begin(), drivers.end(), driver) == drivers.end()) {
            drivers.push_back(driver);
        }
        PDEVICE_OBJECT top = io::TopOfStackLocked(pdo);
        if (top != topBefore && (top->Flags & DO_DEVICE_INITIALIZING)) {
            ReportViolation(rule::kDeviceStillInitializing, io::DescribeDevice(top));
        }
    }
    return io::SendPnp(pdo, IRP_MN_START_DEVICE, "IRP_MN_START_DEVICE");
}

NTSTATUS PnpStopDevice(PDEVICE_OBJECT pdo)
{
    if (!io::CheckPnpCall(pdo, "PnpStopDevice")) {
        return STATUS_INVALID_PARAMETER;
    }
    const NTSTATUS query = io::SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE, "IRP_MN_QUERY_STOP_DEVICE");
    if (!NT_SUCCESS(query)) {
        io::SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE, "IRP_MN_CANCEL_STOP_DEVICE");
        return query;
    }
    return io::SendPnp(pdo, IRP_MN_STOP_DEVICE, "IRP_MN_STOP_DEVICE");
}

NTSTATUS PnpSurpriseRemoval(PDEVICE_OBJECT pdo)
{
    if (!io::CheckPnpCall(pdo, "PnpSurpriseRemoval")) {
        return STATUS_INVALID_PARAMETER;
    }
    return io::SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL, "IRP_MN_SURPRISE_REMOVAL");
}

NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT pdo)
{
    if (!io::CheckPnpCall(pdo, "PnpRemoveDevice")) {
        return STATUS_INVALID_PARAMETER;
    }
    const NTSTATUS status = io::SendPnp(pdo, IRP_MN_REMOVE_DEVICE, "IRP_MN_REMOVE_DEVICE");
    std::vector<PDRIVER_OBJECT> drivers;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        if (pdo->AttachedDevice != nullptr) {
            ReportViolation(rule::kStackLeftOnRemovedPdo,
                            io::DescribeDevice(pdo->AttachedDevice) + " on " + io::DescribeDevice(pdo));
        }
        drivers = io::g_pdos[pdo].functionDrivers;
        io::g_pdos.erase(pdo);
    }
    io::DeleteDeviceQuietly(pdo); // the bus lets go of its device
    for (PDRIVER_OBJECT driver : drivers) {
        io::MarkUnloadWhenUnused(driver);
        io::UnloadIfUnused(driver);
    }
    return status;
}

NTSTATUS PnpSendRequest(PDEVICE_OBJECT pdo, UCHAR minorFunction)
{
    if (!io::CheckPnpCall(pdo, "PnpSendRequest")) {
        return STATUS_INVALID_PARAMETER;
    }
    return io::SendPnp(pdo, minorFunction, "IRP_MJ_PNP request");
}

NTSTATUS PnpSendRequestToDevice(PDEVICE_OBJECT device, UCHAR minorFunction)
{
    io::CheckIrqlAtMost(PASSIVE_LEVEL, "PnpSendRequestToDevice");
    PDEVICE_OBJECT top;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        if (!io::DeviceIsLive(device)) {
            ReportViolation(rule::kUnknownDevice, "PnpSendRequestToDevice on " + io::Hex(device) + ", not a live device");
            return STATUS_INVALID_PARAMETER;
        }
        top = io::TopOfStackLocked(device);
    }
    return io::SendAndWait(top, IRP_MJ_PNP, minorFunction, nullptr, STATUS_NOT_SUPPORTED, "IRP_MJ_PNP request");
}

void SetBusCompletesLater(bool later)
{
    std::lock_guard<std::mutex> lock(StateLock());
    io::g_busLater = later;
}

void FailBusPnp(UCHAR minorFunction, NTSTATUS status)
{
    std::lock_guard<std::mutex> lock(StateLock());
    if (status == STATUS_SUCCESS) {
        io::g_busFailures.erase(minorFunction);
    } else {
        io::g_busFailures[minorFunction] = status;
    }
}

PDRIVER_OBJECT BusDriver() { return io::EnsureBus(); }

void WaitForPlatformThread()
{
    // The thread runs its work in order: when this item runs, everything before it has.
    std::mutex lock;
    std::condition_variable ran;
    bool done = false;
    io::PostToPlatformThread([&] {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
        ran.notify_all();
    });
    std::unique_lock<std::mutex> guard(lock);
    ran.wait(guard, [&] { return done; });
}

} // namespace kemu
