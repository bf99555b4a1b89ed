// The client side: opening another driver's device by name, closing it with the last reference,
// and building device-control requests for it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "emu/internal/core.h"
#include "emu/io/internal.h"
#include "emu/kemu/core.h"
#include "emu/kemu/ldr.h"

namespace kemu::io {
namespace {

struct FileRecord {
    PDEVICE_OBJECT device = nullptr; // the device that was opened (not the top of its stack)
    LONG references = 0;
    PDRIVER_OBJECT taker = nullptr; // the driver that opened it, when known
};
std::unordered_map<PFILE_OBJECT, FileRecord> g_files; // under StateLock

constexpr ULONG kSystemBufferTag = ULONG('I') | ULONG('o') << 8 | ULONG('S') << 16 | ULONG('b') << 24;
constexpr ULONG kMdlTag = ULONG('I') | ULONG('o') << 8 | ULONG('M') << 16 | ULONG('d') << 24;
constexpr uintptr_t kPageSize = 4096;

// Cleanup, then close, to the top of the stack the file was opened on; then the file goes.
void CloseFile(PFILE_OBJECT file, PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT top = nullptr;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        if (DeviceIsLive(device)) {
            top = TopOfStackLocked(device);
        }
    }
    if (top != nullptr) {
        // A driver without a cleanup routine refuses it; that is the normal case and harmless.
        SendAndWait(top, IRP_MJ_CLEANUP, 0, file, STATUS_SUCCESS, "IRP_MJ_CLEANUP");
        SendAndWait(top, IRP_MJ_CLOSE, 0, file, STATUS_SUCCESS, "IRP_MJ_CLOSE");
    }
    DropOpenFile(device);
    std::free(file);
}

} // namespace

size_t ResetClient()
{
    std::lock_guard<std::mutex> lock(StateLock());
    for (const auto &entry : g_files) {
        ReportViolation(rule::kLeftoverAtReset, "file object " + Hex(entry.first) + " on " +
                                                    DescribeDevice(entry.second.device) + " never dereferenced");
        std::free(entry.first);
    }
    const size_t leftovers = g_files.size();
    g_files.clear();
    return leftovers;
}

std::vector<std::string> ForgetFilesTakenBy(PDRIVER_OBJECT driver)
{
    std::vector<std::string> found;
    for (auto &entry : g_files) {
        if (entry.second.taker == driver) {
            found.push_back("file object " + Hex(entry.first) + " on " + DescribeDevice(entry.second.device));
            entry.second.taker = nullptr; // the driver object goes; the reference stays
        }
    }
    return found;
}

} // namespace kemu::io

using namespace kemu::io;
using kemu::ReportViolation;
namespace rule = kemu::rule;

extern "C" {

NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                        PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject)
{
    (void)DesiredAccess; // the emulation keeps no security descriptors
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceObjectPointer");
    if (ObjectName == nullptr || FileObject == nullptr || DeviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const void *caller = __builtin_return_address(0);
    PDEVICE_OBJECT named;
    PDEVICE_OBJECT top;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        named = ResolveName(FromCounted(ObjectName));
        if (named == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        top = TopOfStackLocked(named);
        // A device still being set up cannot be opened, nor one whose driver is being unloaded.
        if ((named->Flags & DO_DEVICE_INITIALIZING) || (top->Flags & DO_DEVICE_INITIALIZING) ||
            UnloadInvokedLocked(named->DriverObject) || UnloadInvokedLocked(top->DriverObject)) {
            return STATUS_NO_SUCH_DEVICE;
        }
    }
    auto file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
    if (file == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    file->Type = IO_TYPE_FILE;
    file->Size = static_cast<CSHORT>(sizeof(FILE_OBJECT));
    file->DeviceObject = named;
    AddOpenFile(named); // holds the device while the create runs
    const NTSTATUS status = SendAndWait(top, IRP_MJ_CREATE, 0, file, STATUS_SUCCESS, "IRP_MJ_CREATE");
    if (!NT_SUCCESS(status)) {
        DropOpenFile(named);
        std::free(file);
        return status;
    }
    {
        std::lock_guard<std::mutex> lock(StateLock());
        g_files[file] = FileRecord{named, 1, CallingDriver() != nullptr ? CallingDriver() : kemu::DriverOfCode(caller)};
    }
    *FileObject = file;
    *DeviceObject = top;
    return STATUS_SUCCESS;
}

VOID NTAPI ObDereferenceObject(PVOID Object)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "ObDereferenceObject");
    if (kemu::detail::DereferenceThreadObject(Object)) {
        return;
    }
    auto file = static_cast<PFILE_OBJECT>(Object);
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        auto found = g_files.find(file);
        if (found == g_files.end()) {
            ReportViolation(rule::kUnknownObject, "ObDereferenceObject on " + Hex(Object));
            return;
        }
        if (--found->second.references > 0) {
            return;
        }
        device = found->second.device;
        g_files.erase(found);
    }
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        // The close requests need PASSIVE_LEVEL: the kernel defers them to a worker, so does this.
        PostToPlatformThread([file, device] { CloseFile(file, device); });
        return;
    }
    CloseFile(file, device);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    CCHAR stackSize;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        if (DeviceObject == nullptr || !DeviceIsLive(DeviceObject)) {
            ReportViolation(rule::kUnknownDevice, "IoBuildDeviceIoControlRequest for " + Hex(DeviceObject));
            return nullptr;
        }
        stackSize = DeviceObject->StackSize;
    }
    const ULONG method = IoControlCode & 3;
    const bool direct = method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT;
    PIRP irp = NewIrp(stackSize, IrpKind::Built, __builtin_return_address(0));
    if (irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if (method != METHOD_NEITHER) {
        // Buffered and direct methods both pass the input through the system buffer.
        const ULONG length = direct ? InputBufferLength : std::max(InputBufferLength, OutputBufferLength);
        if (length != 0) {
            // Fresh pool, not zeroed: output bytes the driver does not write show the pool's fill.
            PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, length, kSystemBufferTag);
            if (buffer == nullptr) {
                IoFreeIrp(irp);
                return nullptr;
            }
            if (InputBuffer != nullptr && InputBufferLength != 0) {
                std::memcpy(buffer, InputBuffer, InputBufferLength);
            }
            irp->AssociatedIrp.SystemBuffer = buffer;
        }
        // Direct I/O: the driver reaches the sender's output buffer itself, through the MDL.
        if (direct && OutputBuffer != nullptr && OutputBufferLength != 0) {
            auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
            if (mdl == nullptr) {
                if (irp->AssociatedIrp.SystemBuffer != nullptr) {
                    ExFreePool(irp->AssociatedIrp.SystemBuffer);
                }
                IoFreeIrp(irp);
                return nullptr;
            }
            const auto address = reinterpret_cast<uintptr_t>(OutputBuffer);
            *mdl = MDL{};
            mdl->Size = static_cast<CSHORT>(sizeof(MDL));
            mdl->MdlFlags = MDL_MAPPED_TO_SYSTEM_VA;
            mdl->MappedSystemVa = OutputBuffer;
            mdl->StartVa = reinterpret_cast<PVOID>(address & ~uintptr_t(kPageSize - 1));
            mdl->ByteOffset = static_cast<ULONG>(address & (kPageSize - 1));
            mdl->ByteCount = OutputBufferLength;
            irp->MdlAddress = mdl;
        }
        const bool copiesOut = !direct && OutputBufferLength != 0;
        SetBufferedOutput(irp, copiesOut ? OutputBuffer : nullptr, copiesOut ? OutputBufferLength : 0, true);
    } else {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    }
    irp->UserBuffer = OutputBuffer;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    return irp;
}

} // extern "C"

namespace kemu {

PIRP BuildUserDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT device, PFILE_OBJECT file, PVOID input,
                                     ULONG inputLength, PVOID output, ULONG outputLength, PKEVENT event,
                                     PIO_STATUS_BLOCK iosb)
{
    // A program's buffers reach the driver as a kernel-mode sender's do; only who sent them differs.
    PIRP irp = IoBuildDeviceIoControlRequest(ioControlCode, device, input, inputLength, output, outputLength, FALSE,
                                             event, iosb);
    if (irp != nullptr) {
        irp->RequestorMode = UserMode;
        (irp->Tail.Overlay.CurrentStackLocation - 1)->FileObject = file;
    }
    return irp;
}

size_t OpenFileCount()
{
    std::lock_guard<std::mutex> lock(io::StateLock());
    return io::g_files.size();
}

} // namespace kemu
