/*
 * Kernel emulation: the I/O manager. Requests (IRP) with their stack locations, driver and device
 * objects, plug-and-play, events, and the client side of device-control requests.
 */
#ifndef DEVIDIDI_EMU_DDK_IO_H
#define DEVIDIDI_EMU_DDK_IO_H

#include "base.h"
#include "registry.h"

/* Status values of the I/O manager that the base header does not carry. */
#ifndef STATUS_OBJECT_NAME_EXISTS
#define STATUS_OBJECT_NAME_EXISTS        ((NTSTATUS)0x40000000L)
#endif
#ifndef STATUS_DELETE_PENDING
#define STATUS_DELETE_PENDING            ((NTSTATUS)0xC0000056L)
#endif
#ifndef STATUS_OBJECT_TYPE_MISMATCH
#define STATUS_OBJECT_TYPE_MISMATCH      ((NTSTATUS)0xC0000024L)
#endif
#ifndef STATUS_NOT_SUPPORTED
#define STATUS_NOT_SUPPORTED             ((NTSTATUS)0xC00000BBL)
#endif
#ifndef NT_ERROR
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)
#endif

/* Object types, in the Type field of each object. */
#define IO_TYPE_DEVICE 3
#define IO_TYPE_DRIVER 4
#define IO_TYPE_FILE 5
#define IO_TYPE_IRP 6

typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _IRP IRP, *PIRP;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef ULONG DEVICE_TYPE;

/* ---- Events ---- */
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, Suspended = 5, UserRequest = 6 } KWAIT_REASON;
#define KernelMode 0
#define UserMode 1
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

typedef struct _KEVENT {
    UCHAR Type;        /* EVENT_TYPE */
    UCHAR Reserved[3];
    volatile LONG SignalState;
    ULONG Magic;       /* set by KeInitializeEvent: waiting on an uninitialised event is refused */
} KEVENT, *PKEVENT, *PRKEVENT;

KEMU_BEGIN_C
NTKERNELAPI VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI VOID NTAPI KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeResetEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeReadStateEvent(PRKEVENT Event);
/*
 * Waits on an event, a timer or a system thread's object (from ObReferenceObjectByHandle).
 * Time-out in 100 ns units: negative is relative, positive an absolute system time, zero a poll;
 * NULL waits for ever. Refused at DISPATCH_LEVEL unless the time-out is zero. Returns
 * STATUS_SUCCESS or STATUS_TIMEOUT. A satisfied wait clears a synchronization event or timer.
 */
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                 BOOLEAN Alertable, PLARGE_INTEGER Timeout);
KEMU_END_C

/*
 * ---- Timers ----
 * At its due time a timer queues its DPC, if it has one, and is signalled. Due times are in
 * 100 ns units: negative relative to now, positive an absolute system time (one in the past fires
 * at once). Time is the emulated clock's: real time by default; while a test or script holds the
 * tick count (kemu::SetTickCount), a timer fires only when the count is set or advanced to its due
 * time, on the thread that moves it. A periodic timer (KeSetTimerEx, Period in ms) is set again
 * from each expiry; when the count jumps over several periods it fires once, as a kernel whose
 * clock interrupt came late would.
 */
typedef enum _TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 } TIMER_TYPE;
#define TimerNotificationObject 8
#define TimerSynchronizationObject 9
typedef struct _KTIMER {
    KEVENT Header;        /* what a wait sees; Type is TimerNotificationObject or TimerSynchronizationObject */
    ULONGLONG DueTime;    /* while set: the interrupt time (100 ns) it fires at */
    LIST_ENTRY TimerListEntry;
    PKDPC Dpc;
    LONG Period;          /* ms between expiries; 0 for a one-shot timer */
    BOOLEAN Inserted;     /* set and not yet expired or cancelled */
} KTIMER, *PKTIMER, *PRKTIMER;

KEMU_BEGIN_C
NTKERNELAPI VOID NTAPI KeInitializeTimer(PKTIMER Timer); /* a notification timer */
NTKERNELAPI VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
/* Both clear the signal and return whether the timer was set already (it is set anew). */
NTKERNELAPI BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
NTKERNELAPI BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
/* Whether the timer was set; a DPC it queued already stays queued, the signal stays as it is. */
NTKERNELAPI BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
NTKERNELAPI BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer);
/* Waits on a timer of its own for Interval (100 ns units, as a due time); PASSIVE_LEVEL or APC_LEVEL. */
NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
KEMU_END_C

/*
 * ---- System threads ----
 * PsCreateSystemThread runs StartRoutine(StartContext) on a thread of its own at PASSIVE_LEVEL and
 * returns a handle to it, to be closed with ZwClose. ObReferenceObjectByHandle on that handle gives
 * the thread's object, which KeWaitForSingleObject waits on until the thread ends (by
 * PsTerminateSystemThread or by returning from StartRoutine); ObDereferenceObject drops it. Only
 * system threads: ProcessHandle must be NULL.
 */
#define SYNCHRONIZE 0x00100000L
#define THREAD_ALL_ACCESS 0x001F03FFL
typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;
typedef VOID NTAPI KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE *PKSTART_ROUTINE;
typedef struct _OBJECT_TYPE *POBJECT_TYPE;
#define ThreadObject 6

KEMU_BEGIN_C
extern POBJECT_TYPE *PsThreadType;
NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                                POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                                PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext);
/* Ends the calling system thread; never returns. */
NTKERNELAPI NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
/* Thread handles only (ObjectType NULL or *PsThreadType); the object is referenced once more. */
NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                     KPROCESSOR_MODE AccessMode, PVOID *Object,
                                                     PVOID HandleInformation);
KEMU_END_C

/* ---- Requests ---- */
typedef struct _IO_STATUS_BLOCK {
    union { NTSTATUS Status; PVOID Pointer; };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef NTSTATUS NTAPI IO_COMPLETION_ROUTINE(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE *PIO_COMPLETION_ROUTINE;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_RESOURCES 0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS 0x0B
#define IRP_MN_QUERY_DEVICE_TEXT 0x0C
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

/*
 * A memory descriptor list: here only the output buffer of a direct-I/O control request, which the
 * emulation describes as mapped to system space at its own address.
 */
typedef struct _MDL {
    struct _MDL *Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;
    PVOID StartVa; /* page-aligned */
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;
#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetSystemAddressForMdlSafe(Mdl, Priority) ((void)(Priority), (Mdl)->MappedSystemVa)

/*
 * The four I/O records below keep the kernel's field order and widths, so that a kernel image built
 * against the kernel's own headers reads and writes the fields the emulation means; the fields the
 * emulation does not use are there to hold the places. Its own bookkeeping comes last.
 */
struct _IRP {
    CSHORT Type;
    USHORT Size;
    PMDL MdlAddress; /* the output buffer of a direct-I/O control request, else NULL */
    ULONG Flags;
    union {
        PIRP MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation; /* 1-based, counts down as the request goes down the stack */
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PVOID CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4]; /* free for the driver that currently owns the request */
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;   /* likewise, e.g. to queue it */
            PIO_STACK_LOCATION CurrentStackLocation;
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
        PVOID Apc[12]; /* the kernel's APC record */
        PVOID CompletionKey;
    } Tail;
    PVOID EmuState; /* the emulation's own bookkeeping: live/completed, owner, buffers */
};
/* An IRP and its stack locations are one block: the locations follow the IRP. */
#define IoSizeOfIrp(StackSize) ((USHORT)(sizeof(IRP) + (StackSize) * sizeof(IO_STACK_LOCATION)))

KEMU_BEGIN_C
/*
 * Functions here rather than macros, so that every touch of a completed request is caught. A fresh
 * request's current location lies above its first: the sender fills IoGetNextIrpStackLocation and
 * IofCallDriver moves down to it.
 */
PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp);
PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp);
VOID IoSetNextIrpStackLocation(PIRP Irp);
VOID IoMarkIrpPending(PIRP Irp);
VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp);
VOID IoSkipCurrentIrpStackLocation(PIRP Irp);
VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel);
NTKERNELAPI NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTKERNELAPI VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
/*
 * A request that the caller owns from start to end: its completion must come back to the caller
 * through a completion routine returning STATUS_MORE_PROCESSING_REQUIRED, then IoFreeIrp.
 */
NTKERNELAPI PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
NTKERNELAPI VOID NTAPI IoFreeIrp(PIRP Irp);
KEMU_END_C
#define IoCallDriver(a, b) IofCallDriver(a, b)
#define IoCompleteRequest(a, b) IofCompleteRequest(a, b)

/* ---- Driver and device objects ---- */
typedef NTSTATUS NTAPI DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef NTSTATUS NTAPI DRIVER_ADD_DEVICE(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
typedef NTSTATUS NTAPI DRIVER_DISPATCH(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef VOID NTAPI DRIVER_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef DRIVER_INITIALIZE *PDRIVER_INITIALIZE;
typedef DRIVER_ADD_DEVICE *PDRIVER_ADD_DEVICE;
typedef DRIVER_DISPATCH *PDRIVER_DISPATCH;
typedef DRIVER_UNLOAD *PDRIVER_UNLOAD;

#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080
#define FILE_DEVICE_SECURE_OPEN 0x00000100

#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_BUS_ENUMERATED_DEVICE 0x00001000
#define DO_POWER_PAGABLE 0x00002000

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 1
#define FILE_WRITE_ACCESS 2
#define FILE_ALL_ACCESS 0x001F01FF
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

typedef struct _DRIVER_EXTENSION {
    PDRIVER_OBJECT DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject; /* head of the driver's device list */
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
    PVOID EmuState;
};

struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;     /* next in the driver's device list */
    PDEVICE_OBJECT AttachedDevice; /* the device attached on top of this one */
    PIRP CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    union {
        LIST_ENTRY ListEntry;
        PVOID Wcb[10]; /* the kernel's wait context block */
    } Queue;
    ULONG AlignmentRequirement;
    PVOID DeviceQueue[5]; /* the kernel's device queue */
    PVOID Dpc[8];         /* the kernel's DPC record */
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    PVOID DeviceLock[4]; /* the kernel's event */
    USHORT SectorSize;
    USHORT Spare1;
    PVOID DeviceObjectExtension;
    PVOID Reserved;
    PVOID EmuState;
};

struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    PFILE_OBJECT RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
    LARGE_INTEGER CurrentByteOffset;
    ULONG Waiters;
    ULONG Busy;
    PVOID LastLock;
    PVOID Lock[4];  /* the kernel's event */
    PVOID Event[4]; /* likewise */
    PVOID CompletionContext;
    KSPIN_LOCK IrpListLock;
    LIST_ENTRY IrpList;
    PVOID FileObjectExtension;
    PVOID EmuState;
};

KEMU_BEGIN_C
/*
 * Object services run at PASSIVE_LEVEL. Names are case-insensitive; "\DosDevices\X" and "\??\X"
 * are one name. A device is deleted at once unless a file object still refers to it; it then leaves
 * its driver's list and the name space at once and its memory goes with the last close.
 */
NTKERNELAPI NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                          PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                          ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                          PDEVICE_OBJECT *DeviceObject);
NTKERNELAPI VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTKERNELAPI NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
/*
 * Only on a physical device object (else STATUS_INVALID_DEVICE_REQUEST). The link name
 * "\??\ROOT#<id>#<instance>#{guid}" is allocated from paged pool; the caller frees it with
 * RtlFreeUnicodeString. The interface starts disabled.
 */
NTKERNELAPI NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                                     const GUID *InterfaceClassGuid,
                                                     PUNICODE_STRING ReferenceString,
                                                     PUNICODE_STRING SymbolicLinkName);
/* Enabling an enabled interface answers STATUS_OBJECT_NAME_EXISTS, disabling a disabled one
   STATUS_OBJECT_NAME_NOT_FOUND, as does an unknown link. */
NTKERNELAPI NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable);
NTKERNELAPI PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                             PDEVICE_OBJECT TargetDevice);
NTKERNELAPI VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice);
/* The device on top of the stack that DeviceObject belongs to (DeviceObject itself when alone). */
NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject);
/*
 * The emulation presents the driver's home system, the 98/Me family (WDM 1.05), whose virtual-device
 * services it also offers; kemu::SetWdmVersion presents another.
 */
NTKERNELAPI BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion);

/*
 * Client side: how a kernel-mode client reaches another driver's device. IoGetDeviceObjectPointer
 * opens a device name, a symbolic link or an enabled interface link, sends IRP_MJ_CREATE to the top
 * of that stack and returns the file object and the top device. IoBuildDeviceIoControlRequest
 * builds every method: buffered (system buffer from non-paged pool), direct (the input in the system
 * buffer, the output described by MdlAddress) and neither; completion copies buffered output,
 * writes the status block, frees the request with its buffer and MDL and sets the event.
 */
NTKERNELAPI NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                                    PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject);
NTKERNELAPI PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                     PVOID InputBuffer, ULONG InputBufferLength,
                                                     PVOID OutputBuffer, ULONG OutputBufferLength,
                                                     BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                     PIO_STATUS_BLOCK IoStatusBlock);
/* Dropping the last reference of a file object from IoGetDeviceObjectPointer closes it; takes a
   system thread's object too. */
NTKERNELAPI VOID NTAPI ObDereferenceObject(PVOID Object);
KEMU_END_C
#define ObDereferenceObjectDeferDelete(o) ObDereferenceObject(o)

#endif
