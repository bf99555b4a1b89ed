/*
 * A correct client that names its streams the way the exchange allows, which the kit and the
 * simulator must follow:
 *   one consumer handle (its driver object) on streams 2 and 3, each with callbacks of its own,
 *   registered as 0x102 and 3 and unregistered as 2 and 0x103 (only the low 8 bits select);
 *   a provider of stream 5, registered as 0x105 and unregistered as 5 in DriverEntry, so that
 *   another driver may provide stream 5 before this one unloads.
 * At its unload it says how many bytes each stream told it of ("twostreams: stream 2 got N bytes,
 * stream 3 got M bytes").
 */
#include "streamer.h"

typedef struct _TWO_CONSUMER {
    ULONG hRegistered, hLeaving;
    PUCHAR pRing;
    ULONG nRingSize, nTail, nTold;
    STREAMER_DATA_PROCESSED_ENTRY pfnDataProcessed;
    STREAMER_CONSUMER_NOTIFY_ENTRY pfnNotify;
    STREAMER_SRV_PARAM Param;
    KEVENT Registered;
    IO_STATUS_BLOCK Iosb;
} TWO_CONSUMER;

static const WCHAR g_szExchangeName[] = STREAMER_DEVICE_NAME_WCHARS;
static PDEVICE_OBJECT g_pExchange;
static PFILE_OBJECT g_pExchangeFile;
static TWO_CONSUMER g_Stream2, g_Stream3;

static VOID Told(TWO_CONSUMER *pConsumer, ULONG dwSize, PVOID hConsumer)
{
    pConsumer->nTold += dwSize;
    pConsumer->nTail = (pConsumer->nTail + dwSize) % pConsumer->nRingSize;
    pConsumer->pfnDataProcessed(pConsumer->hRegistered, hConsumer, dwSize);
}

static VOID STREAMER_CALL NewData2(ULONG dwSize, PVOID hConsumer) { Told(&g_Stream2, dwSize, hConsumer); }
static VOID STREAMER_CALL NewData3(ULONG dwSize, PVOID hConsumer) { Told(&g_Stream3, dwSize, hConsumer); }

static VOID STREAMER_CALL Notify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID hConsumer)
{
}

static NTSTATUS Send(ULONG dwCode, PSTREAMER_SRV_PARAM pParam, PKEVENT pEvent, PIO_STATUS_BLOCK pIosb)
{
    PIRP pIrp;
    KeInitializeEvent(pEvent, NotificationEvent, FALSE);
    pIrp = IoBuildDeviceIoControlRequest(dwCode, g_pExchange, pParam, sizeof *pParam, NULL, 0, FALSE, pEvent, pIosb);
    if (pIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return IoCallDriver(g_pExchange, pIrp);
}

/* Synchronous: waits for a request that the exchange keeps. */
static NTSTATUS Call(ULONG dwCode, PSTREAMER_SRV_PARAM pParam)
{
    KEVENT Event;
    IO_STATUS_BLOCK Iosb;
    NTSTATUS Status = Send(dwCode, pParam, &Event, &Iosb);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = Iosb.Status;
    }
    return Status;
}

static NTSTATUS Join(TWO_CONSUMER *pConsumer, STREAMER_NEW_DATA_READY_CALLBACK pfnNewData, PVOID hConsumer)
{
    PSTREAMER_SRV_PARAM pParam = &pConsumer->Param;
    pParam->RegisterConsumer.hStream = pConsumer->hRegistered;
    pParam->RegisterConsumer.pfnNewDataReady = pfnNewData;
    pParam->RegisterConsumer.pfnNotify = Notify;
    pParam->RegisterConsumer.hConsumer = hConsumer;
    pParam->RegisterConsumer.ppBuffer = &pConsumer->pRing;
    pParam->RegisterConsumer.pdwBufferSize = &pConsumer->nRingSize;
    pParam->RegisterConsumer.pdwTail = &pConsumer->nTail;
    pParam->RegisterConsumer.ppfnDataProcessed = &pConsumer->pfnDataProcessed;
    pParam->RegisterConsumer.ppfnNotify = &pConsumer->pfnNotify;
    return Send(STREAMER_REGISTER_CONSUMER, pParam, &pConsumer->Registered, &pConsumer->Iosb);
}

static VOID Leave(TWO_CONSUMER *pConsumer, PVOID hConsumer)
{
    STREAMER_SRV_PARAM Param;
    RtlZeroMemory(&Param, sizeof Param);
    Param.UnRegisterConsumer.hStream = pConsumer->hLeaving;
    Param.UnRegisterConsumer.hConsumer = hConsumer;
    Call(STREAMER_UNREGISTER_CONSUMER, &Param);
}

static VOID STREAMER_CALL ProvideDataComplete(PUCHAR pBuffer, PVOID pContext)
{
}

static VOID STREAMER_CALL ProviderNotify(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam,
                                         PVOID pContext)
{
}

static VOID NTAPI TwoStreamsUnload(PDRIVER_OBJECT pDriverObject)
{
    Leave(&g_Stream2, (PVOID)pDriverObject);
    Leave(&g_Stream3, (PVOID)pDriverObject);
    DbgPrint("twostreams: stream 2 got %lu bytes, stream 3 got %lu bytes\n", g_Stream2.nTold, g_Stream3.nTold);
    ObDereferenceObject(g_pExchangeFile);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    static STREAMER_PROVIDE_DATA_ENTRY pfnProvideData;
    static STREAMER_PROVIDER_NOTIFY_ENTRY pfnProviderNotify;
    STREAMER_SRV_PARAM Param;
    UNICODE_STRING Name;
    NTSTATUS Status;
    g_Stream2.hRegistered = 0x102;
    g_Stream2.hLeaving = 2;
    g_Stream3.hRegistered = 3;
    g_Stream3.hLeaving = 0x103;
    RtlInitUnicodeString(&Name, g_szExchangeName);
    Status = IoGetDeviceObjectPointer(&Name, FILE_ALL_ACCESS, &g_pExchangeFile, &g_pExchange);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    RtlZeroMemory(&Param, sizeof Param);
    Param.RegisterProvider.hStream = 0x105;
    Param.RegisterProvider.dwBufferSize = 1000;
    Param.RegisterProvider.pfnProvideDataComplete = ProvideDataComplete;
    Param.RegisterProvider.pfnNotify = ProviderNotify;
    Param.RegisterProvider.ppfnProvideData = &pfnProvideData;
    Param.RegisterProvider.ppfnNotify = &pfnProviderNotify;
    if (NT_SUCCESS(Call(STREAMER_REGISTER_PROVIDER, &Param))) {
        RtlZeroMemory(&Param, sizeof Param);
        Param.UnRegisterProvider.hStream = 5;
        Call(STREAMER_UNREGISTER_PROVIDER, &Param);
    }
    if (!NT_SUCCESS(Join(&g_Stream2, NewData2, (PVOID)pDriverObject)) ||
        !NT_SUCCESS(Join(&g_Stream3, NewData3, (PVOID)pDriverObject))) {
        Leave(&g_Stream2, (PVOID)pDriverObject);
        ObDereferenceObject(g_pExchangeFile);
        return STATUS_UNSUCCESSFUL;
    }
    pDriverObject->DriverUnload = TwoStreamsUnload;
    return STATUS_SUCCESS;
}
