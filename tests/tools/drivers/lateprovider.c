/*
 * A correct provider of stream 3 that registers late: a system thread of its own waits 300 ms after
 * DriverEntry, registers, then provides a 160-byte packet every 20 ms until the unload stops it.
 * Beside the terminal it finds the stream held by the terminal's own provider.
 */
#include "streamer.h"
#include "../../kit/exchange_call.h"

#define LATE_STREAM 3
#define LATE_RING 4000
#define LATE_PACKET 160

static const WCHAR g_szExchangeName[] = STREAMER_DEVICE_NAME_WCHARS;
static PDEVICE_OBJECT g_pExchange;
static PFILE_OBJECT g_pExchangeFile;
static STREAMER_PROVIDE_DATA_ENTRY g_pfnProvideData;
static STREAMER_PROVIDER_NOTIFY_ENTRY g_pfnNotify;
static PVOID g_pThread;
static volatile LONG g_fStop;
static UCHAR g_Packet[LATE_PACKET];
static ULONG g_nSent;
static NTSTATUS g_Registration = STATUS_PENDING;

static VOID STREAMER_CALL ProvideDataComplete(PUCHAR pBuffer, PVOID pContext) {}

static VOID STREAMER_CALL ProviderNotify(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam,
                                         PVOID pContext)
{
}

static NTSTATUS Call(ULONG dwCode, PSTREAMER_SRV_PARAM pParam) { return ExchangeCall(g_pExchange, dwCode, pParam); }

static VOID Delay(LONG nMilliseconds)
{
    LARGE_INTEGER Interval;
    Interval.QuadPart = -10000LL * nMilliseconds;
    KeDelayExecutionThread(KernelMode, FALSE, &Interval);
}

static VOID NTAPI LateThread(PVOID pContext)
{
    STREAMER_SRV_PARAM Param;
    ULONG i;
    Delay(300);
    RtlZeroMemory(&Param, sizeof Param);
    Param.RegisterProvider.hStream = LATE_STREAM;
    Param.RegisterProvider.dwBufferSize = LATE_RING;
    Param.RegisterProvider.pfnProvideDataComplete = ProvideDataComplete;
    Param.RegisterProvider.pfnNotify = ProviderNotify;
    Param.RegisterProvider.ppfnProvideData = &g_pfnProvideData;
    Param.RegisterProvider.ppfnNotify = &g_pfnNotify;
    g_Registration = Call(STREAMER_REGISTER_PROVIDER, &Param);
    DbgPrint("lateprovider: register provider on stream %d: 0x%08lx\n", LATE_STREAM, (ULONG)g_Registration);
    while (NT_SUCCESS(g_Registration) && !g_fStop) {
        for (i = 0; i < LATE_PACKET; ++i) {
            g_Packet[i] = (UCHAR)(g_nSent + i);
        }
        g_pfnProvideData(LATE_STREAM, g_Packet, LATE_PACKET);
        g_nSent += LATE_PACKET;
        Delay(20);
    }
    if (NT_SUCCESS(g_Registration)) {
        RtlZeroMemory(&Param, sizeof Param);
        Param.UnRegisterProvider.hStream = LATE_STREAM;
        Call(STREAMER_UNREGISTER_PROVIDER, &Param);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static VOID NTAPI LateUnload(PDRIVER_OBJECT pDriverObject)
{
    InterlockedExchange(&g_fStop, 1);
    KeWaitForSingleObject(g_pThread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(g_pThread);
    ObDereferenceObject(g_pExchangeFile);
    DbgPrint("lateprovider: provided %lu bytes\n", g_nSent);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNICODE_STRING Name;
    HANDLE hThread;
    NTSTATUS Status;
    RtlInitUnicodeString(&Name, g_szExchangeName);
    Status = IoGetDeviceObjectPointer(&Name, FILE_ALL_ACCESS, &g_pExchangeFile, &g_pExchange);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Status = PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, NULL, NULL, NULL, LateThread, NULL);
    if (NT_SUCCESS(Status)) {
        Status = ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, NULL, KernelMode, &g_pThread, NULL);
        ZwClose(hThread);
    }
    if (!NT_SUCCESS(Status)) {
        ObDereferenceObject(g_pExchangeFile);
        return Status;
    }
    pDriverObject->DriverUnload = LateUnload;
    return STATUS_SUCCESS;
}
