/*
 * The driver frame: start-up and unload, the control device and the plug-and-play function
 * devices, open/close counting, and the control-request dispatch with the bandwidth measurement.
 */
#ifndef DEVIDIDI_ENTRY_H
#define DEVIDIDI_ENTRY_H

#include "kernel.h"
#include "streamer.h"

/* Extension of each plug-and-play function device; zero when the device is created. */
typedef struct _STREAMER_DEVICE_EXTENSION {
    PDEVICE_OBJECT pNextDeviceOnStack; /* the device directly below ours; every PnP request goes there */
    UNICODE_STRING InterfaceLinkName;  /* link name of the STREAMER_GUID interface, allocated by the platform */
} STREAMER_DEVICE_EXTENSION, *PSTREAMER_DEVICE_EXTENSION;

/* Open handles: opens minus closes, changed only under CounterLock; it may fall below 0. */
extern LONG nCounter;
extern KSPIN_LOCK CounterLock;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath);

NTSTATUS NTAPI STREAMER_AddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject);
NTSTATUS NTAPI STREAMER_Pnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS NTAPI STREAMER_Create(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS NTAPI STREAMER_Close(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS NTAPI STREAMER_Dispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
VOID NTAPI STREAMER_Unload(PDRIVER_OBJECT pDriverObject);

/* Passes a request to the next lower device and waits until that device has finished with it. */
NTSTATUS CopyStackLocationAndCallNextDeviceOnStack(PDEVICE_OBJECT pNextDevice, PIRP pIrp);
NTSTATUS NTAPI IrpCompletionSignalEventRoutine(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext);

/*
 * Request-level wrappers of the registration codes: each picks the stream from the request's
 * record and calls the DeVididi member of the same name. Plain functions, not members.
 */
NTSTATUS RegisterProvider(PIRP pIrp);
NTSTATUS UnRegisterProvider(PIRP pIrp);
NTSTATUS RegisterConsumer(PIRP pIrp);
NTSTATUS UnRegisterConsumer(PIRP pIrp);

/* Answers STREAMER_IOCTL_GET_BANDWIDTH; sets IoStatus.Information, leaves completion to the caller. */
NTSTATUS GetBandwidth(PIRP pIrp);

#endif
