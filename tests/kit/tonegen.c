/*
 * A provider of stream 3 (a 1000-byte ring) with the mistakes provider authors make, one per build:
 *   TONEGEN_KEEPS_CALLING  unregisters in DriverEntry and still provides at its unload, through the
 *                          data entry point it kept
 *   TONEGEN_OVERSIZED      provides a block larger than its ring
 *   TONEGEN_RECURSES       provides again from its data-complete callback, 200 times deep
 *   TONEGEN_SHORT_INFO     declares a 16-byte information block allocated with 8 bytes
 *   TONEGEN_NOTIFY_PROVIDES provides from its notify callback, which runs under the stream's lock
 * It unregisters at its unload.
 */
#include "streamer.h"
#include "exchange_call.h"

#define TONEGEN_STREAM 3
#define TONEGEN_RING 1000

static const WCHAR g_szExchangeName[] = STREAMER_DEVICE_NAME_WCHARS;
static PDEVICE_OBJECT g_pExchange;
static PFILE_OBJECT g_pExchangeFile;
static STREAMER_PROVIDE_DATA_ENTRY g_pfnProvideData;
static STREAMER_PROVIDER_NOTIFY_ENTRY g_pfnNotify;
static UCHAR g_Tone[2 * TONEGEN_RING];
static ULONG g_nLevels;

static VOID STREAMER_CALL ProvideDataComplete(PUCHAR pBuffer, PVOID pContext)
{
#if defined(TONEGEN_RECURSES)
    if (g_nLevels < 200) {
        ++g_nLevels;
        g_pfnProvideData(TONEGEN_STREAM, g_Tone, 160);
    }
#endif
}

static VOID STREAMER_CALL ProviderNotify(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam,
                                         PVOID pContext)
{
#if defined(TONEGEN_NOTIFY_PROVIDES)
    if (g_pfnProvideData != NULL) {
        g_pfnProvideData(TONEGEN_STREAM, g_Tone, 160);
    }
#endif
}

static NTSTATUS Call(ULONG dwCode, PSTREAMER_SRV_PARAM pParam) { return ExchangeCall(g_pExchange, dwCode, pParam); }

static VOID Unregister(VOID)
{
    STREAMER_SRV_PARAM Param;
    RtlZeroMemory(&Param, sizeof Param);
    Param.UnRegisterProvider.hStream = TONEGEN_STREAM;
    Call(STREAMER_UNREGISTER_PROVIDER, &Param);
}

static VOID NTAPI TonegenUnload(PDRIVER_OBJECT pDriverObject)
{
#if defined(TONEGEN_KEEPS_CALLING)
    g_pfnProvideData(TONEGEN_STREAM, g_Tone, 50);
#else
    Unregister();
#endif
    DbgPrint("tonegen: %lu levels\n", g_nLevels);
    ObDereferenceObject(g_pExchangeFile);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNICODE_STRING Name;
    STREAMER_SRV_PARAM Param;
    NTSTATUS Status;
    RtlInitUnicodeString(&Name, g_szExchangeName);
    Status = IoGetDeviceObjectPointer(&Name, FILE_ALL_ACCESS, &g_pExchangeFile, &g_pExchange);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    RtlZeroMemory(&Param, sizeof Param);
    Param.RegisterProvider.hStream = TONEGEN_STREAM;
    Param.RegisterProvider.dwBufferSize = TONEGEN_RING;
    Param.RegisterProvider.pfnProvideDataComplete = ProvideDataComplete;
    Param.RegisterProvider.pfnNotify = ProviderNotify;
    Param.RegisterProvider.ppfnProvideData = &g_pfnProvideData;
    Param.RegisterProvider.ppfnNotify = &g_pfnNotify;
#if defined(TONEGEN_SHORT_INFO)
    Param.RegisterProvider.pStreamInfo = ExAllocatePoolWithTag(NonPagedPool, 8, 0x656E6F54) /* 'Tone' */;
    Param.RegisterProvider.nStreamInfoSize = 16;
    if (Param.RegisterProvider.pStreamInfo == NULL) {
        ObDereferenceObject(g_pExchangeFile);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Param.RegisterProvider.pStreamInfo, 8);
#endif
    Status = Call(STREAMER_REGISTER_PROVIDER, &Param);
    if (!NT_SUCCESS(Status)) {
        ObDereferenceObject(g_pExchangeFile);
        return Status;
    }
#if defined(TONEGEN_KEEPS_CALLING)
    Unregister();
#elif defined(TONEGEN_OVERSIZED)
    g_pfnProvideData(TONEGEN_STREAM, g_Tone, sizeof g_Tone);
#else
    g_pfnProvideData(TONEGEN_STREAM, g_Tone, 160);
#endif
    pDriverObject->DriverUnload = TonegenUnload;
    return STATUS_SUCCESS;
}
