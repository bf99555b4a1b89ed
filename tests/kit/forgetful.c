/*
 * A consumer of stream 2 with the mistakes client authors make, one per build:
 *   FORGETFUL_FORGETS   its unload does not unregister
 *   FORGETFUL_WAITS     its unload waits for its registration to complete, still without unregistering
 *   FORGETFUL_OVERREADS its new-data callback reads on past the ring's end instead of wrapping
 *   FORGETFUL_WAITS_IN_CALLBACK its new-data callback waits, at DISPATCH_LEVEL, for an event
 *   FORGETFUL_RAISES    its new-data callback reports the bytes processed at HIGH_LEVEL
 *   FORGETFUL_READS_LATE its unload reads the ring after its unregistration
 *   FORGETFUL_MISNAMES  its unload unregisters by a handle it never registered, then sends its
 *                       unregistration to its own device: both refused, it stays registered
 * Built without either, it is the correct driver: it unregisters at its unload.
 * It adds up every byte it is told of ("forgetful: sum N" at its unload).
 */
#include "streamer.h"

#define FORGETFUL_STREAM 2

static const WCHAR g_szExchangeName[] = STREAMER_DEVICE_NAME_WCHARS;
static PDEVICE_OBJECT g_pExchange;
static PFILE_OBJECT g_pExchangeFile;
static PUCHAR g_pRing;
static ULONG g_nRingSize, g_nTail, g_nSum;
static STREAMER_DATA_PROCESSED_ENTRY g_pfnDataProcessed;
static STREAMER_CONSUMER_NOTIFY_ENTRY g_pfnNotify;
static PVOID g_hRegistered;
static STREAMER_SRV_PARAM g_Param;
static KEVENT g_Registered;
static IO_STATUS_BLOCK g_Iosb;

static VOID STREAMER_CALL NewData(ULONG dwSize, PVOID hConsumer)
{
    ULONG i;
    for (i = 0; i < dwSize; ++i) {
#if defined(FORGETFUL_OVERREADS)
        g_nSum += g_pRing[g_nTail + i];
#else
        g_nSum += g_pRing[(g_nTail + i) % g_nRingSize];
#endif
    }
    g_nTail = (g_nTail + dwSize) % g_nRingSize;
#if defined(FORGETFUL_WAITS_IN_CALLBACK)
    KeWaitForSingleObject(&g_Registered, Executive, KernelMode, FALSE, NULL);
#endif
#if defined(FORGETFUL_RAISES)
    {
        KIRQL OldIrql;
        KeRaiseIrql(HIGH_LEVEL, &OldIrql);
        g_pfnDataProcessed(FORGETFUL_STREAM, hConsumer, dwSize);
        KeLowerIrql(OldIrql);
    }
#else
    g_pfnDataProcessed(FORGETFUL_STREAM, hConsumer, dwSize);
#endif
}

static VOID STREAMER_CALL Notify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID hConsumer)
{
}

static NTSTATUS SendTo(PDEVICE_OBJECT pDevice, ULONG dwCode, PSTREAMER_SRV_PARAM pParam, PKEVENT pEvent,
                       PIO_STATUS_BLOCK pIosb)
{
    PIRP pIrp;
    KeInitializeEvent(pEvent, NotificationEvent, FALSE);
    pIrp = IoBuildDeviceIoControlRequest(dwCode, pDevice, pParam, sizeof *pParam, NULL, 0, FALSE, pEvent, pIosb);
    if (pIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return IoCallDriver(pDevice, pIrp);
}

static NTSTATUS Send(ULONG dwCode, PSTREAMER_SRV_PARAM pParam, PKEVENT pEvent, PIO_STATUS_BLOCK pIosb)
{
    return SendTo(g_pExchange, dwCode, pParam, pEvent, pIosb);
}

#if !defined(FORGETFUL_FORGETS) && !defined(FORGETFUL_WAITS)
static VOID Unregister(PDEVICE_OBJECT pDevice, ULONG hStream, PVOID hConsumer)
{
    STREAMER_SRV_PARAM Param;
    KEVENT Event;
    IO_STATUS_BLOCK Iosb;
    RtlZeroMemory(&Param, sizeof Param);
    Param.UnRegisterConsumer.hStream = hStream;
    Param.UnRegisterConsumer.hConsumer = hConsumer;
    if (SendTo(pDevice, STREAMER_UNREGISTER_CONSUMER, &Param, &Event, &Iosb) == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
    }
}
#endif

static VOID NTAPI CarelessUnload(PDRIVER_OBJECT pDriverObject)
{
#if defined(FORGETFUL_MISNAMES)
    Unregister(g_pExchange, FORGETFUL_STREAM, (PVOID)&g_Param);
    Unregister(pDriverObject->DeviceObject, FORGETFUL_STREAM, (PVOID)pDriverObject);
    IoDeleteDevice(pDriverObject->DeviceObject);
#elif !defined(FORGETFUL_FORGETS) && !defined(FORGETFUL_WAITS)
    Unregister(g_pExchange, FORGETFUL_STREAM, (PVOID)pDriverObject);
#endif
#if defined(FORGETFUL_WAITS)
    KeWaitForSingleObject(&g_Registered, Executive, KernelMode, FALSE, NULL);
#endif
#if defined(FORGETFUL_READS_LATE)
    g_nSum += ((volatile UCHAR *)g_pRing)[g_nTail];
#endif
    DbgPrint("forgetful: sum %lu\n", g_nSum);
    ObDereferenceObject(g_pExchangeFile);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNICODE_STRING Name;
    NTSTATUS Status;
    RtlInitUnicodeString(&Name, g_szExchangeName);
    Status = IoGetDeviceObjectPointer(&Name, FILE_ALL_ACCESS, &g_pExchangeFile, &g_pExchange);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    g_Param.RegisterConsumer.hStream = FORGETFUL_STREAM;
    g_Param.RegisterConsumer.pfnNewDataReady = NewData;
    g_Param.RegisterConsumer.pfnNotify = Notify;
    g_Param.RegisterConsumer.hConsumer = (PVOID)pDriverObject;
    g_Param.RegisterConsumer.ppBuffer = &g_pRing;
    g_Param.RegisterConsumer.pdwBufferSize = &g_nRingSize;
    g_Param.RegisterConsumer.pdwTail = &g_nTail;
    g_Param.RegisterConsumer.ppfnDataProcessed = &g_pfnDataProcessed;
    g_Param.RegisterConsumer.ppfnNotify = &g_pfnNotify;
    g_Param.RegisterConsumer.phConsumer = &g_hRegistered;
#if defined(FORGETFUL_MISNAMES)
    Status = IoCreateDevice(pDriverObject, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &pDriverObject->DeviceObject);
    if (!NT_SUCCESS(Status)) {
        ObDereferenceObject(g_pExchangeFile);
        return Status;
    }
#endif
    Status = Send(STREAMER_REGISTER_CONSUMER, &g_Param, &g_Registered, &g_Iosb);
    if (!NT_SUCCESS(Status)) {
#if defined(FORGETFUL_MISNAMES)
        IoDeleteDevice(pDriverObject->DeviceObject);
#endif
        ObDereferenceObject(g_pExchangeFile);
        return Status;
    }
    pDriverObject->DriverUnload = CarelessUnload;
    return STATUS_SUCCESS;
}
