/*
 * provider: the far end's audio for the echo sample, and the check of what comes back.
 *
 * As the PROVIDER of the remote audio stream (3) it pushes 160-byte packets, as a G.711 codec
 * sends every 20 ms. As a CONSUMER of the echo stream (9) it reads what echo.c played back, in
 * place, and checks every byte against what it sent: byte n of the stream is PatternByte(n). With
 * echo.c loaded the two close a loop: provider -> stream 3 -> echo -> stream 9 -> provider.
 *
 * Its pace is a kernel timer: every 20 ms its DPC asks for one packet, sent from the work DPC.
 * KeSetTimer exists on 98/Me as on the NT family. In the simulator's scripts the timer follows
 * the scripted clock (`tick`), so a run sends the same packets at the same ticks every time.
 *
 * At unload it prints its sums: provided = bytes pushed on stream 3; for its consumer of stream 9
 * announced + lost, processed, checked and mismatched bytes. It uses only the exchange's header
 * and kernel interfaces that the 98/Me kernels export too, and compiles as C99.
 */
#include "streamer.h"

#define PROVIDER_OUT_STREAM 3  /* REMOTE AUDIO, which echo.c consumes */
#define PROVIDER_IN_STREAM 9   /* echo.c's playback */
#define PROVIDER_RING_SIZE 4000
#define PROVIDER_PACKET 160
#define PROVIDER_PERIOD_MS 20
#define PROVIDER_TAG_TEXT "provider: "
#define PROVIDER_CONSUMER_HANDLE ((PVOID)(ULONG_PTR)0x9A0)

static PFILE_OBJECT g_pExchangeFile;
static PDEVICE_OBJECT g_pExchange;

/* Written by the exchange through the registration records. */
static STREAMER_PROVIDE_DATA_ENTRY g_pfnProvideData;
static STREAMER_PROVIDER_NOTIFY_ENTRY g_pfnProviderNotify;
static PUCHAR g_pRing;
static ULONG g_nRingSize;
static ULONG g_nTail;
static STREAMER_DATA_PROCESSED_ENTRY g_pfnDataProcessed;
static STREAMER_CONSUMER_NOTIFY_ENTRY g_pfnConsumerNotify;
static PVOID g_hConsumerBack;

static const STREAMER_STREAM_INFO g_Info = { STREAMINFO_AUDIO, { .Audio = { 711, { 0, 0 } } } };

/* Shared by callbacks, DPC and unload, under g_Lock. */
static KSPIN_LOCK g_Lock;
static ULONG g_nSteps;         /* packets asked for and not yet sent */
static ULONG g_nAnnounced;     /* stream 9 bytes told of and not yet read */
static ULONG g_nSkip;          /* stream 9 bytes to give back unread after a loss */
static BOOLEAN g_fProvider, g_fConsumer, g_fJoined, g_fStopping;
static LONG g_nDpcOwed;
static KEVENT g_DpcIdle;
static KDPC g_Dpc;

static STREAMER_SRV_PARAM g_ConsumerParam;
static IO_STATUS_BLOCK g_ConsumerIosb;
static KEVENT g_ConsumerDone;

/* The sums; only the DPC writes them (one DPC object runs on one processor at a time). */
static ULONG g_nProvided, g_nPackets;             /* stream 3 */
static ULONG g_nTold, g_nLost, g_nProcessed;      /* stream 9: announced, lost, processed */
static ULONG g_nChecked, g_nBad, g_nExpected;     /* g_nExpected: stream 9 position we expect next */
static UCHAR g_Packet[PROVIDER_PACKET];

static KTIMER g_Timer;
static KDPC g_TimerDpc;

/* Byte n of what we send; position-dependent, so a lost, doubled or shifted byte shows. */
static UCHAR PatternByte(ULONG n)
{
    return (UCHAR)(n * 31u + (n >> 8) + 7u);
}

static NTSTATUS SendRequest(ULONG dwCode, PSTREAMER_SRV_PARAM pParam)
{
    KEVENT Done;
    IO_STATUS_BLOCK Iosb;
    PIRP pIrp;
    NTSTATUS Status;

    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    pIrp = IoBuildDeviceIoControlRequest(dwCode, g_pExchange, pParam, sizeof(*pParam), NULL, 0, FALSE, &Done, &Iosb);
    if (pIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Status = IoCallDriver(g_pExchange, pIrp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, NULL);
        Status = Iosb.Status;
    }
    return Status;
}

/* ---- The DPC: sends the packets asked for, then reads and checks the echo ---- */

static VOID QueueWork(VOID) /* g_Lock held */
{
    if (!g_fStopping && KeInsertQueueDpc(&g_Dpc, NULL, NULL)) {
        if (g_nDpcOwed++ == 0) {
            KeClearEvent(&g_DpcIdle);
        }
    }
}

static VOID DpcSettled(VOID) /* g_Lock held */
{
    if (--g_nDpcOwed == 0) {
        KeSetEvent(&g_DpcIdle, IO_NO_INCREMENT, FALSE);
    }
}

static VOID SendPacket(VOID)
{
    ULONG i;
    for (i = 0; i < PROVIDER_PACKET; i++) {
        g_Packet[i] = PatternByte(g_nProvided + i);
    }
    g_pfnProvideData(PROVIDER_OUT_STREAM, g_Packet, PROVIDER_PACKET);
    g_nProvided += PROVIDER_PACKET;
    g_nPackets++;
}

static VOID NTAPI ProviderDpc(PKDPC pDpc, PVOID pContext, PVOID pArg1, PVOID pArg2)
{
    for (;;) {
        ULONG nSteps, nSkip, nRead, nChunk, i;
        BOOLEAN fProvider, fJoined;

        KeAcquireSpinLockAtDpcLevel(&g_Lock);
        nSteps = g_nSteps;
        nSkip = g_nSkip;
        nRead = g_nAnnounced;
        fProvider = g_fProvider;
        fJoined = g_fJoined;
        g_nSteps = 0;
        g_nSkip = 0;
        g_nAnnounced = 0;
        if ((nSteps == 0 && nSkip == 0 && nRead == 0) || g_fStopping) {
            DpcSettled();
            KeReleaseSpinLockFromDpcLevel(&g_Lock);
            return;
        }
        KeReleaseSpinLockFromDpcLevel(&g_Lock);

        while (nSteps-- > 0 && fProvider) {
            SendPacket();
        }
        while (nSkip > 0 && fJoined) {
            /* Overwritten before we read it: what we expected there is gone too. */
            nChunk = nSkip > g_nRingSize ? g_nRingSize : nSkip;
            g_nTail = (g_nTail + nChunk) % g_nRingSize;
            g_pfnDataProcessed(PROVIDER_IN_STREAM, PROVIDER_CONSUMER_HANDLE, nChunk);
            g_nProcessed += nChunk;
            g_nExpected += nChunk;
            nSkip -= nChunk;
        }
        while (nRead > 0 && fJoined) {
            nChunk = g_nRingSize - g_nTail;
            if (nChunk > nRead) {
                nChunk = nRead;
            }
            for (i = 0; i < nChunk; i++) {
                if (g_pRing[g_nTail + i] != PatternByte(g_nExpected + i)) {
                    g_nBad++;
                }
            }
            g_nChecked += nChunk;
            g_nExpected += nChunk;
            g_nTail = (g_nTail + nChunk) % g_nRingSize;
            g_pfnDataProcessed(PROVIDER_IN_STREAM, PROVIDER_CONSUMER_HANDLE, nChunk);
            g_nProcessed += nChunk;
            nRead -= nChunk;
        }
    }
}

static VOID ArmTimer(VOID)
{
    LARGE_INTEGER Due;
    Due.QuadPart = -(LONGLONG)PROVIDER_PERIOD_MS * 10000; /* relative, in 100 ns */
    KeSetTimer(&g_Timer, Due, &g_TimerDpc);
}

/* Every 20 ms: one packet, then the timer again (KeSetTimer, not a periodic timer: 98/Me has it). */
static VOID NTAPI TimerDpc(PKDPC pDpc, PVOID pContext, PVOID pArg1, PVOID pArg2)
{
    KeAcquireSpinLockAtDpcLevel(&g_Lock);
    if (!g_fStopping) {
        g_nSteps++;
        QueueWork();
        ArmTimer();
    }
    KeReleaseSpinLockFromDpcLevel(&g_Lock);
}

/* ---- Callbacks: DISPATCH_LEVEL, the exchange's stream lock held: note and queue only ---- */

static VOID STREAMER_CALL OnNewData(ULONG dwSize, PVOID pContext)
{
    KeAcquireSpinLockAtDpcLevel(&g_Lock);
    g_nAnnounced += dwSize;
    g_nTold += dwSize;
    QueueWork();
    KeReleaseSpinLockFromDpcLevel(&g_Lock);
}

static VOID STREAMER_CALL OnConsumerNotify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID pContext)
{
    KIRQL OldIrql;

    switch (dwType) {
    case STREAMERNOTIFY_LOST_BYTES:
        KeAcquireSpinLock(&g_Lock, &OldIrql);
        g_nSkip += g_nAnnounced + pParam->LostBytes.dwSize;
        g_nAnnounced = 0;
        g_nLost += pParam->LostBytes.dwSize;
        QueueWork();
        KeReleaseSpinLock(&g_Lock, OldIrql);
        DbgPrint(PROVIDER_TAG_TEXT "echo lost %ld bytes\n", pParam->LostBytes.nLost);
        break;
    case STREAMERNOTIFY_CONSUMER_DELETED:
        DbgPrint(PROVIDER_TAG_TEXT "consumer deleted by the exchange\n");
        KeAcquireSpinLock(&g_Lock, &OldIrql);
        g_fConsumer = FALSE;
        g_fJoined = FALSE;
        KeReleaseSpinLock(&g_Lock, OldIrql);
        break;
    case STREAMERNOTIFY_PROVIDER_REGISTERED:
        DbgPrint(PROVIDER_TAG_TEXT "echo arrived\n");
        break;
    default:
        break;
    }
}

static VOID STREAMER_CALL OnProvideDataComplete(PUCHAR pProviderBuffer, PVOID pContext)
{
    /* g_Packet is ours again: the exchange copied it into the ring. */
}

static VOID STREAMER_CALL OnProviderNotify(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam,
                                           PVOID pContext)
{
    KIRQL OldIrql;

    switch (dwType) {
    case STREAMERNOTIFY_CONSUMER_REGISTERED:
    case STREAMERNOTIFY_CONSUMER_UNREGISTERED:
        DbgPrint(PROVIDER_TAG_TEXT "%ld listener(s) of the far end\n", pParam != NULL ? pParam->nConsumers : 0);
        break;
    case STREAMERNOTIFY_PROVIDER_DELETED:
        DbgPrint(PROVIDER_TAG_TEXT "provider deleted by the exchange\n");
        KeAcquireSpinLock(&g_Lock, &OldIrql);
        g_fProvider = FALSE;
        KeReleaseSpinLock(&g_Lock, OldIrql);
        break;
    default:
        break;
    }
}

/* ---- Registration ---- */

static NTSTATUS RegisterProvider(VOID)
{
    STREAMER_SRV_PARAM Param;
    NTSTATUS Status;

    RtlZeroMemory(&Param, sizeof(Param));
    Param.RegisterProvider.hStream = PROVIDER_OUT_STREAM;
    Param.RegisterProvider.dwBufferSize = PROVIDER_RING_SIZE;
    Param.RegisterProvider.pfnProvideDataComplete = OnProvideDataComplete;
    Param.RegisterProvider.pfnNotify = OnProviderNotify;
    Param.RegisterProvider.pStreamInfo = (PVOID)&g_Info;
    Param.RegisterProvider.nStreamInfoSize = sizeof(g_Info);
    Param.RegisterProvider.ppfnProvideData = &g_pfnProvideData;
    Param.RegisterProvider.ppfnNotify = &g_pfnProviderNotify;
    Status = SendRequest(STREAMER_REGISTER_PROVIDER, &Param);
    g_fProvider = NT_SUCCESS(Status) ? TRUE : FALSE;
    return Status;
}

static NTSTATUS NTAPI ConsumerRegistered(PDEVICE_OBJECT pDevice, PIRP pIrp, PVOID pContext)
{
    KIRQL OldIrql;
    const NTSTATUS Status = pIrp->IoStatus.Status;

    KeAcquireSpinLock(&g_Lock, &OldIrql);
    if (Status == STATUS_SUCCESS && g_fConsumer) {
        g_fJoined = TRUE;
    } else {
        g_fConsumer = FALSE;
    }
    KeReleaseSpinLock(&g_Lock, OldIrql);
    DbgPrint(PROVIDER_TAG_TEXT "echo consumer registration completed: 0x%08lx\n", (ULONG)Status);
    KeSetEvent(&g_ConsumerDone, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

static NTSTATUS RegisterConsumer(VOID)
{
    PIRP pIrp;
    NTSTATUS Status;

    RtlZeroMemory(&g_ConsumerParam, sizeof(g_ConsumerParam));
    g_ConsumerParam.RegisterConsumer.hStream = PROVIDER_IN_STREAM;
    g_ConsumerParam.RegisterConsumer.pfnNewDataReady = OnNewData;
    g_ConsumerParam.RegisterConsumer.pfnNotify = OnConsumerNotify;
    g_ConsumerParam.RegisterConsumer.hConsumer = PROVIDER_CONSUMER_HANDLE;
    g_ConsumerParam.RegisterConsumer.ppBuffer = &g_pRing;
    g_ConsumerParam.RegisterConsumer.pdwBufferSize = &g_nRingSize;
    g_ConsumerParam.RegisterConsumer.pdwTail = &g_nTail;
    g_ConsumerParam.RegisterConsumer.ppfnDataProcessed = &g_pfnDataProcessed;
    g_ConsumerParam.RegisterConsumer.ppfnNotify = &g_pfnConsumerNotify;
    g_ConsumerParam.RegisterConsumer.phConsumer = &g_hConsumerBack;

    KeInitializeEvent(&g_ConsumerDone, NotificationEvent, FALSE);
    pIrp = IoBuildDeviceIoControlRequest(STREAMER_REGISTER_CONSUMER, g_pExchange, &g_ConsumerParam,
                                         sizeof(g_ConsumerParam), NULL, 0, FALSE, NULL, &g_ConsumerIosb);
    if (pIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoSetCompletionRoutine(pIrp, ConsumerRegistered, NULL, TRUE, TRUE, TRUE);
    g_fConsumer = TRUE;
    Status = IoCallDriver(g_pExchange, pIrp);
    return Status == STATUS_PENDING ? STATUS_SUCCESS : Status;
}

static NTSTATUS Unregister(ULONG dwCode)
{
    STREAMER_SRV_PARAM Param;

    RtlZeroMemory(&Param, sizeof(Param));
    if (dwCode == STREAMER_UNREGISTER_CONSUMER) {
        Param.UnRegisterConsumer.hStream = PROVIDER_IN_STREAM;
        Param.UnRegisterConsumer.hConsumer = PROVIDER_CONSUMER_HANDLE;
    } else {
        Param.UnRegisterProvider.hStream = PROVIDER_OUT_STREAM;
    }
    return SendRequest(dwCode, &Param);
}

/* ---- Driver entry and unload ---- */

static const WCHAR g_szExchangeName[] = { '\\', 'D', 'e', 'v', 'i', 'c', 'e', '\\', 'D', 'e',
                                          'V',   'i', 'd', 'i', 'd', 'i', 0 };

static VOID NTAPI ProviderUnload(PDRIVER_OBJECT pDriverObject)
{
    KIRQL OldIrql;
    NTSTATUS Status;

    /* The pace first (timer, then queued work), then the consumer, the provider and the handle. */
    KeAcquireSpinLock(&g_Lock, &OldIrql);
    g_fStopping = TRUE;
    KeCancelTimer(&g_Timer);
    if (KeRemoveQueueDpc(&g_Dpc)) {
        DpcSettled();
    }
    KeReleaseSpinLock(&g_Lock, OldIrql);
    /* A timer DPC that fired before the cancel may still be queued: take it back. One that runs
       from here on sees g_fStopping and neither queues work nor re-arms. */
    KeRemoveQueueDpc(&g_TimerDpc);
    KeWaitForSingleObject(&g_DpcIdle, Executive, KernelMode, FALSE, NULL);

    if (g_fConsumer) {
        Status = Unregister(STREAMER_UNREGISTER_CONSUMER);
        DbgPrint(PROVIDER_TAG_TEXT "unregister consumer: 0x%08lx\n", (ULONG)Status);
    }
    KeWaitForSingleObject(&g_ConsumerDone, Executive, KernelMode, FALSE, NULL);
    if (g_fProvider) {
        Status = Unregister(STREAMER_UNREGISTER_PROVIDER);
        DbgPrint(PROVIDER_TAG_TEXT "unregister provider: 0x%08lx\n", (ULONG)Status);
    }
    ObDereferenceObject(g_pExchangeFile);
    g_pExchangeFile = NULL;
    g_pExchange = NULL;
    DbgPrint(PROVIDER_TAG_TEXT "sums: provided %lu bytes in %lu packets on stream %d\n", g_nProvided, g_nPackets,
             PROVIDER_OUT_STREAM);
    DbgPrint(PROVIDER_TAG_TEXT "sums: stream %d announced %lu + lost %lu = %lu, processed %lu, checked %lu, "
             "mismatched %lu\n", PROVIDER_IN_STREAM, g_nTold, g_nLost, g_nTold + g_nLost, g_nProcessed, g_nChecked,
             g_nBad);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNICODE_STRING Name;
    NTSTATUS Status;

    KeInitializeSpinLock(&g_Lock);
    KeInitializeDpc(&g_Dpc, ProviderDpc, NULL);
    KeInitializeEvent(&g_DpcIdle, NotificationEvent, TRUE);
    KeInitializeEvent(&g_ConsumerDone, NotificationEvent, TRUE);
    g_nSteps = g_nAnnounced = g_nSkip = 0;
    g_nDpcOwed = 0;
    g_nProvided = g_nPackets = g_nTold = g_nLost = g_nProcessed = g_nChecked = g_nBad = g_nExpected = 0;
    g_fStopping = g_fProvider = g_fConsumer = g_fJoined = FALSE;

    RtlInitUnicodeString(&Name, g_szExchangeName);
    Status = IoGetDeviceObjectPointer(&Name, FILE_ALL_ACCESS, &g_pExchangeFile, &g_pExchange);
    if (!NT_SUCCESS(Status)) {
        DbgPrint(PROVIDER_TAG_TEXT "no exchange: 0x%08lx\n", (ULONG)Status);
        return Status;
    }
    /* The echo's stream first, so that its first byte is the first we send. */
    Status = RegisterConsumer();
    DbgPrint(PROVIDER_TAG_TEXT "register consumer on stream %d: 0x%08lx\n", PROVIDER_IN_STREAM, (ULONG)Status);
    if (NT_SUCCESS(Status)) {
        Status = RegisterProvider();
        DbgPrint(PROVIDER_TAG_TEXT "register provider on stream %d: 0x%08lx\n", PROVIDER_OUT_STREAM, (ULONG)Status);
        if (!NT_SUCCESS(Status)) {
            Unregister(STREAMER_UNREGISTER_CONSUMER);
            KeWaitForSingleObject(&g_ConsumerDone, Executive, KernelMode, FALSE, NULL);
        }
    }
    if (!NT_SUCCESS(Status)) {
        ObDereferenceObject(g_pExchangeFile);
        g_pExchangeFile = NULL;
        g_pExchange = NULL;
        return Status;
    }
    KeInitializeTimer(&g_Timer);
    KeInitializeDpc(&g_TimerDpc, TimerDpc, NULL);
    ArmTimer();
    pDriverObject->DriverUnload = ProviderUnload;
    return STATUS_SUCCESS;
}
