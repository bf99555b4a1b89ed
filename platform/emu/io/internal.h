// Shared between the I/O manager's own sources only.
#ifndef DEVIDIDI_EMU_IO_INTERNAL_H
#define DEVIDIDI_EMU_IO_INTERNAL_H

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "emu/kemu/io.h"

namespace kemu::io {

// One lock over the I/O manager's bookkeeping (live requests, objects, names). Never held while
// driver code or another service that may block runs.
std::mutex &StateLock();

std::string Hex(const void *p);
std::string HexStatus(NTSTATUS status);
std::string Narrow(const std::u16string &text);
std::u16string FromCounted(PCUNICODE_STRING text);
std::u16string Widen(const std::string &ascii);

// Reports when the calling thread runs above the level; true when it does not.
bool CheckIrqlAtMost(KIRQL highest, const char *routine);

// ---- Requests (irp.cpp) ----
enum class IrpKind {
    Allocated, // IoAllocateIrp: the owner takes it back and frees it
    Built,     // IoBuildDeviceIoControlRequest and the platform's own: finished by completion
    Test,      // TestRequest: kept until the object goes
};
// A fresh request; null when the host is out of memory.
// `caller`: the return address of the kernel routine the driver called, which names the module
// whose code builds the request when no DriverEntry or DriverUnload runs.
PIRP NewIrp(CCHAR stackSize, IrpKind kind, const void *caller = nullptr);
// What the completion of a Built request does with the sender's output buffer.
void SetBufferedOutput(PIRP irp, PVOID output, ULONG length, bool ownsSystemBuffer);
// Sends a request of the platform to the device and waits for it; returns the final status.
NTSTATUS SendAndWait(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, PFILE_OBJECT file,
                     NTSTATUS initialStatus, const char *what);
// Calls a dispatch routine with the request at its current location and checks the return.
NTSTATUS CallDispatch(PDRIVER_DISPATCH routine, PDEVICE_OBJECT device, PIRP irp, const std::string &who);
NTSTATUS NTAPI DefaultRefusal(PDEVICE_OBJECT device, PIRP irp);
size_t ResetRequests();
// The driver whose DriverEntry or DriverUnload the calling thread runs, else null: the requests
// built or allocated meanwhile are that driver's (sender.cpp); elsewhere (a DPC, a dispatch
// routine, a callback) the module holding the builder's code names it.
PDRIVER_OBJECT &CallingDriver();
// The driver whose DriverUnload the calling thread runs, else null; and how long a wait there may
// make no progress before it is taken for a hang.
PDRIVER_OBJECT &UnloadingDriver();
// What the unloading driver runs: "DriverUnload", or "IRP_MN_REMOVE_DEVICE" while the plug-and-play
// manager removes one of its devices (the removal may unload it, and a wait there hangs the manager).
const char *&UnloadingStep();
std::chrono::milliseconds &UnloadWaitLimit();
// The driver's requests still live, each described for a report; call with StateLock held.
std::vector<std::string> LiveRequestsSentBy(PDRIVER_OBJECT driver);
// The file objects the driver took and still holds, each described for a report; they are no
// longer counted as the driver's. Call with StateLock held.
std::vector<std::string> ForgetFilesTakenBy(PDRIVER_OBJECT driver);

// ---- Objects (object.cpp) ----
bool DeviceIsLive(PDEVICE_OBJECT device); // call with StateLock held
bool DeviceIsPdo(PDEVICE_OBJECT device);  // call with StateLock held
PDEVICE_OBJECT TopOfStackLocked(PDEVICE_OBJECT device);
std::string DescribeDevice(PDEVICE_OBJECT device); // call with StateLock held
std::string DescribeDriver(PDRIVER_OBJECT driver); // call with StateLock held
// Device creation without the failure hook (the platform's own devices).
NTSTATUS CreateDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize, const std::u16string &name,
                            DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT *out);
// The platform's own drivers (the bus) are created without DriverEntry.
PDRIVER_OBJECT CreateDriverObject(const std::u16string &name, const std::u16string &registryPath);
void MarkPlatformDriver(PDRIVER_OBJECT driver);
// Makes the device a physical device object of the bus, with the next instance number of its id.
void MarkPdo(PDEVICE_OBJECT device, const std::u16string &hardwareId);
// Deletes a device of the platform's own without the driver's checks: attachments are cut, and a
// device that file objects still refer to waits for its last close.
void DeleteDeviceQuietly(PDEVICE_OBJECT device);
// The platform's unload of a driver whose devices went with a removal, once it has none left.
void MarkUnloadWhenUnused(PDRIVER_OBJECT driver);
void UnloadIfUnused(PDRIVER_OBJECT driver);
// Around a driver's dispatch routine: a request in it holds the driver, so a removal made meanwhile
// (from a callback of its own unload, say) unloads it only once the last dispatch has returned.
void EnterDispatch(PDRIVER_OBJECT driver);
// Whether the driver's DriverUnload has been called; call with StateLock held.
bool UnloadInvokedLocked(PDRIVER_OBJECT driver);
void LeaveDispatch(PDRIVER_OBJECT driver);
// A file object's open count on its device; the device goes when deleted and no longer open.
void AddOpenFile(PDEVICE_OBJECT device);
void DropOpenFile(PDEVICE_OBJECT device);
PDEVICE_OBJECT ResolveName(const std::u16string &name); // call with StateLock held
size_t ResetObjects();

// ---- Plug and play and the platform's thread (pnp.cpp) ----
// Runs work on the platform's own thread, in order, at PASSIVE_LEVEL.
void PostToPlatformThread(std::function<void()> work);
size_t ResetPnp();

// ---- Client side (client.cpp) ----
size_t ResetClient();

} // namespace kemu::io

#endif
