/*
 * Control of the emulated I/O manager for tests and tools (C++17): loading and unloading drivers,
 * the plug-and-play manager and its bus, the object name space, failure hooks, requests handed to
 * driver code directly, and the reset between tests. Driver sources never include this.
 *
 * The I/O manager's checks report through kemu::ReportViolation with the rule names below, the
 * request's or object's address and the routine that found the fault.
 */
#ifndef DEVIDIDI_EMU_KEMU_IO_H
#define DEVIDIDI_EMU_KEMU_IO_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../ddk/io.h"

namespace kemu {

// ---- Rules the I/O manager checks (Violation::rule) ---------------------------------------------
namespace rule {
inline constexpr char kIrpCompletedTwice[] = "request completed twice";
inline constexpr char kIrpCompletedWithPending[] = "request completed with STATUS_PENDING";
inline constexpr char kIrpPendingNotMarked[] = "STATUS_PENDING returned for a request not marked pending";
inline constexpr char kIrpMarkedNotPending[] = "request marked pending but STATUS_PENDING not returned";
inline constexpr char kIrpTouchedAfterCompletion[] = "request touched after its completion";
inline constexpr char kIrpUnknown[] = "not a live request";
inline constexpr char kIrpNoStackLocation[] = "request has no such stack location";
inline constexpr char kIrpCompletedAboveDispatch[] = "request completed above DISPATCH_LEVEL";
inline constexpr char kDriverCalledAboveDispatch[] = "driver called above DISPATCH_LEVEL";
inline constexpr char kIrqlNotRestored[] = "driver routine returned at another IRQL";
inline constexpr char kOutputTooLarge[] = "request information larger than its output buffer";
inline constexpr char kAllocatedIrpRanOut[] = "request from IoAllocateIrp completed past its owner";
inline constexpr char kRequestNotCompleted[] = "dispatch routine returned a final status without completing the request";
inline constexpr char kRequestNeverCompleted[] = "request of the platform not completed in time";
inline constexpr char kTestRequestHeldPending[] = "test request destroyed while a driver holds it pending";
inline constexpr char kWaitAtDispatch[] = "wait with a time-out at DISPATCH_LEVEL";
inline constexpr char kEventUninitialised[] = "event not initialised";
inline constexpr char kAboveDispatch[] = "routine called above DISPATCH_LEVEL";
inline constexpr char kAbovePassive[] = "routine called above PASSIVE_LEVEL";
inline constexpr char kUnknownDriver[] = "not a loaded driver object";
inline constexpr char kUnknownDevice[] = "not a live device object";
inline constexpr char kUnknownObject[] = "object not known to the object manager";
inline constexpr char kDeviceDeletedWhileAttachedAbove[] = "device deleted while a device is attached above it";
inline constexpr char kDeviceDeletedWhileAttached[] = "device deleted while still attached to a lower device";
inline constexpr char kDeviceAttachedTwice[] = "device attached while already attached";
inline constexpr char kDetachWithoutAttached[] = "IoDetachDevice on a device with nothing attached";
inline constexpr char kDeviceLeftByFailedEntry[] = "device left behind by a failed DriverEntry";
inline constexpr char kDeviceLeftAtUnload[] = "device left after the driver's unload";
inline constexpr char kRequestLeftAtUnload[] = "driver unloaded while a request it sent is still pending";
inline constexpr char kReferenceLeftAtUnload[] = "driver unloaded still holding a file object it took";
inline constexpr char kDeviceStillInitializing[] = "DO_DEVICE_INITIALIZING still set after AddDevice";
inline constexpr char kStackLeftOnRemovedPdo[] = "device still attached to a removed physical device object";
inline constexpr char kLeftoverAtReset[] = "I/O object left at reset";
} // namespace rule

// ---- Drivers --------------------------------------------------------------------------------------

struct DriverLoad {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = nullptr; // null when DriverEntry failed: the object is discarded then
};

// Creates the driver object (with its extension; every major function starts with the I/O
// manager's default refusal), calls DriverEntry at PASSIVE_LEVEL with the registry path, and
// clears DO_DEVICE_INITIALIZING on the devices it created, as the kernel does. A failed DriverEntry
// discards the object; a device it left is reported (rule::kDeviceLeftByFailedEntry) and deleted.
DriverLoad LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string &driverName,
                      const std::u16string &registryPath);
// Calls DriverUnload (when set and the driver is still loaded), reports the devices still left
// (rule::kDeviceLeftAtUnload) and deletes them, reports the requests the driver built in its
// DriverEntry or DriverUnload that are still live (rule::kRequestLeftAtUnload) and the file objects
// it took with IoGetDeviceObjectPointer and never dereferenced (rule::kReferenceLeftAtUnload: they
// stay open and keep their device, as a kernel's would), then frees the driver object.
void UnloadDriver(PDRIVER_OBJECT driver);
// A wait without a time limit inside DriverUnload that is not satisfied within `limit` (5 s to
// start with) is taken for a hang: a stop naming the waiting driver, as the unload would never end.
void SetUnloadWaitLimit(std::chrono::milliseconds limit);

// What a tool that follows the conversations between drivers sees of each request: its sending
// with IofCallDriver (the stack location is the receiving device's), the status IofCallDriver
// returns, and its completion with IofCompleteRequest (status set, completion routines not yet run).
struct RequestEvent {
    enum Kind { Sent, Returned, Completed } kind;
    PDEVICE_OBJECT device; // the receiving device (null for Completed)
    PIRP irp;              // read it only in Sent and Completed: after Returned it may be gone
    NTSTATUS status;       // Returned and Completed
};
// One observer at a time (an empty function: none); it runs outside the I/O manager's lock.
void SetRequestObserver(std::function<void(const RequestEvent &)> observer);
// False once the platform has unloaded the driver after a removal (its object stays valid until
// UnloadDriver or ResetIo, which then only free it).
bool DriverIsLoaded(PDRIVER_OBJECT driver);
namespace io {
// For an image being unloaded: each live request whose completion routine, event or status block
// `inImage` says lies in it loses them (its completion then calls and writes nothing there);
// returns each such request described for a report.
std::vector<std::string> DetachRequestsFromImage(const std::function<bool(const void *)> &inImage);
} // namespace io
// The I/O manager's default refusal: completes with STATUS_INVALID_DEVICE_REQUEST.
PDRIVER_DISPATCH DefaultDispatch();

// ---- Name space and objects -----------------------------------------------------------------------

// The device a name leads to (device name, symbolic link or enabled interface link), or null.
PDEVICE_OBJECT FindDevice(const std::u16string &name);
// The device's own name ("" when it has none); autogenerated names read "\Device\NNNNNNNN" (hex).
std::u16string DeviceName(PDEVICE_OBJECT device);
// The device this one is attached to, or null.
PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);
bool SymbolicLinkExists(const std::u16string &link);
// The name a link points to as it was given ("" when there is no such link).
std::u16string SymbolicLinkTarget(const std::u16string &link);
// Device objects still alive, deleted ones waiting for their last close included.
size_t LiveDeviceCount();
// File objects opened by IoGetDeviceObjectPointer and not yet dereferenced.
size_t OpenFileCount();
// Requests built or allocated and not yet finished (test requests not counted).
size_t LiveRequestCount();

struct InterfaceInfo {
    std::u16string link; // as IoRegisterDeviceInterface returned it
    GUID guid{};
    PDEVICE_OBJECT pdo = nullptr;
    bool enabled = false;
};
std::vector<InterfaceInfo> Interfaces();
// True when some interface of this class is enabled.
bool InterfaceEnabled(const GUID &guid);
// "{a9029421-8158-11d3-b7f7-00105a74cc18}": the form used in interface link names.
std::u16string GuidText(const GUID &guid);

// Presented WDM version (IoIsWdmVersionAvailable); 1.05 by default, the 98/Me family.
void SetWdmVersion(UCHAR major, UCHAR minor);

// ---- Failure hooks: the next call of the routine fails with the status (or returns null) -----------
void FailNextIoCreateDevice(NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void FailNextIoCreateSymbolicLink(NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void FailNextIoRegisterDeviceInterface(NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void FailNextIoSetDeviceInterfaceState(NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void FailNextIoAttachDeviceToDeviceStack();

// ---- Plug and play ---------------------------------------------------------------------------------
//
// A root bus driver ("\Driver\PnpManager") owns the physical device objects. It completes the
// plug-and-play requests it knows (start, stop, remove, their queries and cancels, surprise
// removal) with STATUS_SUCCESS and leaves every other one as it came (STATUS_NOT_SUPPORTED). The
// manager's calls run in the calling thread, which must be at PASSIVE_LEVEL, and send each request
// to the top of the device's stack with IoStatus.Status = STATUS_NOT_SUPPORTED, waiting for it.

// A new physical device object of the bus; its interfaces read "\??\ROOT#<hardwareId>#0000#{...}"
// ('\' in the id becomes '#'; a second device of the same id is instance 0001, and so on).
PDEVICE_OBJECT CreatePdo(const std::u16string &hardwareId);
// Calls the driver's AddDevice at PASSIVE_LEVEL, then sends IRP_MN_START_DEVICE. Returns AddDevice's
// failure or the start's status. A failed start leaves the stack in place for PnpRemoveDevice.
NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
// IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE; a refused query is followed by
// IRP_MN_CANCEL_STOP_DEVICE and its status returned.
NTSTATUS PnpStopDevice(PDEVICE_OBJECT pdo);
// IRP_MN_SURPRISE_REMOVAL only: the device stays until PnpRemoveDevice.
NTSTATUS PnpSurpriseRemoval(PDEVICE_OBJECT pdo);
// IRP_MN_REMOVE_DEVICE; afterwards the bus deletes the physical device object (a device still
// attached to it is reported), and each function driver of the device that has no device object
// left has its DriverUnload called by the platform.
NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT pdo);
// Any other plug-and-play request (e.g. IRP_MN_QUERY_CAPABILITIES), sent the same way.
NTSTATUS PnpSendRequest(PDEVICE_OBJECT pdo, UCHAR minorFunction);
// A plug-and-play request to the top of any live device's stack, as the NT family sends one to the
// device behind a handle (IRP_MN_QUERY_DEVICE_RELATIONS, TargetDeviceRelation, when a program asks
// for notifications on the handle), whether or not that device is a plug-and-play device. Sent and
// waited for like the others; a device that is not live is reported and refused.
NTSTATUS PnpSendRequestToDevice(PDEVICE_OBJECT device, UCHAR minorFunction);
// The bus marks its requests pending, returns STATUS_PENDING and completes them from a thread of
// its own (in order), so that the function driver's wait is exercised.
void SetBusCompletesLater(bool later);
// Returns once everything handed to the platform's own thread so far has run: the bus's late
// completions and the closes deferred by an ObDereferenceObject above PASSIVE_LEVEL.
void WaitForPlatformThread();
// The bus completes this minor function with the status (STATUS_SUCCESS stops failing it).
void FailBusPnp(UCHAR minorFunction, NTSTATUS status);
PDRIVER_OBJECT BusDriver();

// ---- Requests handed to driver code directly ------------------------------------------------------
//
// A live request of one stack location, current as if IofCallDriver had delivered it to a driver.
// Its system buffer is the caller's own record, not a copy: what the driver writes there shows in
// the record at once, and the record must outlive the request. The request is freed with the
// object; destroying it while a driver holds it pending (marked pending, not completed) is reported
// (rule::kTestRequestHeldPending).
class TestRequest {
public:
    struct Major {
        UCHAR major;
        UCHAR minor = 0;
    };
    // IRP_MJ_DEVICE_CONTROL with this control code.
    explicit TestRequest(ULONG ioControlCode, void *systemBuffer = nullptr, ULONG inputLength = 0,
                         ULONG outputLength = 0);
    // Any other major and minor function, no buffer.
    explicit TestRequest(Major function);
    ~TestRequest();
    TestRequest(const TestRequest &) = delete;
    TestRequest &operator=(const TestRequest &) = delete;

    PIRP Irp() const { return m_irp; }
    // Device object of the current stack location (null unless set).
    void SetDevice(PDEVICE_OBJECT device);
    // Calls a dispatch routine with the request and checks its return as IofCallDriver does
    // (pending returned without the mark, or the mark without pending).
    NTSTATUS Dispatch(PDRIVER_DISPATCH routine, PDEVICE_OBJECT device = nullptr);

    bool Completed() const;
    // After completion the final values; before it, what the request holds now.
    NTSTATUS Status() const;
    ULONG_PTR Information() const;
    // SL_PENDING_RETURNED in the request's location (as it was when completed).
    bool MarkedPending() const;
    // True once completed; false when the time passed first (the test fails rather than hangs).
    bool WaitForCompletion(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    struct State;

private:
    void Build(UCHAR major, UCHAR minor, ULONG ioControlCode, void *systemBuffer, ULONG inputLength,
               ULONG outputLength);
    PIRP m_irp = nullptr;
    std::shared_ptr<State> m_state;
};

// ---- Requests from user mode ----------------------------------------------------------------------
//
// The request the I/O manager builds for a user-mode program's device-control call on an open file
// of the device: IRP_MJ_DEVICE_CONTROL with RequestorMode = UserMode and the file object in the
// driver's location, the buffers passed as for the code's method, as IoBuildDeviceIoControlRequest
// passes them (buffered: the input copied into a system buffer of the larger length, the output
// copied back for IoStatus.Information bytes; direct: the input in the system buffer, the output
// through an MDL; neither: the program's own addresses in Type3InputBuffer and UserBuffer). Sent with
// IoCallDriver like any other; the event is set and the status block written at its completion.
// Null when the device is not live or memory runs short.
PIRP BuildUserDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT device, PFILE_OBJECT file, PVOID input,
                                     ULONG inputLength, PVOID output, ULONG outputLength, PKEVENT event,
                                     PIO_STATUS_BLOCK iosb);

// ---- Reset -----------------------------------------------------------------------------------------

// Forgets every driver, device, link, interface and file object, and the bus with its devices;
// each one left is reported (rule::kLeftoverAtReset) before it is freed. Requests still alive
// (test requests aside) are reported and freed too. Failure hooks, bus settings and the WDM version
// go back to their defaults; autogenerated device names start again at 1. The bus thread is stopped
// after it has completed what it holds. Returns the number of leftovers.
size_t ResetIo();

} // namespace kemu

#endif
