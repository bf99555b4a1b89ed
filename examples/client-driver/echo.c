/*
 * echo: a complete client driver of the stream exchange, written as a teaching sample.
 *
 * It is the terminal's echo test: it plays the far end's audio back. As a CONSUMER of the remote
 * audio stream (3) it is told of each new block, reads the block in place in that stream's ring
 * and, as the PROVIDER of the echo stream (9, free in the terminal), pushes the same bytes out
 * again for whoever listens: the audio sender during an echo test.
 *
 * What it shows, in the order a driver lives it:
 *   DriverEntry   finds the exchange by name, registers the provider, then the consumer; the
 *                 consumer's request may pend until a provider of stream 3 arrives
 *   callbacks     run at DISPATCH_LEVEL under the exchange's stream lock: they only note the work
 *                 and queue a DPC
 *   DPC           reads the ring in place from its read position, wrapping at the ring's end,
 *                 echoes the bytes and reports them processed, never more than it was told of
 *   notifications lost bytes, stream information, the exchange's own removal
 *   DriverUnload  unregisters the consumer (which cancels a registration still pending), waits for
 *                 the DPC, unregisters the provider and drops its handle on the exchange
 *
 * It uses only the exchange's header and the kernel's own interfaces, and only routines that the
 * 98/Me kernels export too: a DPC rather than an I/O work item, no remove lock, no critical
 * region, no processor count. It compiles as C99.
 */
#include "streamer.h"

#define ECHO_IN_STREAM 3   /* REMOTE AUDIO: what the far end sends */
#define ECHO_OUT_STREAM 9  /* the echo, for whoever listens */
#define ECHO_RING_SIZE 4000
#define ECHO_CHUNK 512     /* the most one provided block carries */
#define ECHO_TAG_TEXT "echo: "

/* The exchange, as the I/O manager gave it to us. */
static PFILE_OBJECT g_pExchangeFile;
static PDEVICE_OBJECT g_pExchange;

/*
 * What the exchange writes back through the pointers of the registration records. These variables
 * must stay put for as long as the registration lasts: globals of a non-paged driver image are.
 */
static STREAMER_PROVIDE_DATA_ENTRY g_pfnProvideData;
static STREAMER_PROVIDER_NOTIFY_ENTRY g_pfnProviderNotify;
static PUCHAR g_pRing;        /* the consumed stream's ring, read in place */
static ULONG g_nRingSize;
static ULONG g_nTail;         /* where our next unread byte lies: the exchange writes the start */
static STREAMER_DATA_PROCESSED_ENTRY g_pfnDataProcessed;
static STREAMER_CONSUMER_NOTIFY_ENTRY g_pfnConsumerNotify;
static PVOID g_hConsumerBack;

/* Our consumer handle: any non-null value unique in the stream. One fixed value does for a driver
   that joins a stream once; it also keeps the exchange's log the same from run to run. */
#define ECHO_CONSUMER_HANDLE ((PVOID)(ULONG_PTR)0xEC40)

/* What we publish about the echo: audio, G.711. */
static const STREAMER_STREAM_INFO g_Info = { STREAMINFO_AUDIO, { .Audio = { 711, { 0, 0 } } } };

/* State shared by the callbacks, the DPC and the unload, under g_Lock. */
static KSPIN_LOCK g_Lock;
static ULONG g_nAnnounced;     /* bytes told of and not yet read */
static ULONG g_nSkip;          /* bytes to give back unread after a loss */
static BOOLEAN g_fProvider;    /* our provider registration stands */
static BOOLEAN g_fConsumer;    /* our consumer registration stands (joined or pending) */
static BOOLEAN g_fJoined;      /* the consumer is joined to a provider: the ring is valid */
static BOOLEAN g_fStopping;    /* the unload has begun: no new work */
static LONG g_nDpcOwed;        /* DPC runs queued and not finished */
static KEVENT g_DpcIdle;       /* set while g_nDpcOwed is 0 */
static KDPC g_Dpc;

/* The consumer registration: its request may outlive DriverEntry, so all it needs is global. */
static STREAMER_SRV_PARAM g_ConsumerParam;
static IO_STATUS_BLOCK g_ConsumerIosb;
static KEVENT g_ConsumerDone;  /* set when the registration request has completed */

static ULONG g_nEchoed, g_nDropped; /* for the unload's account; only the DPC writes them */
static UCHAR g_Staging[ECHO_CHUNK]; /* the echoed block; the exchange copies it before returning */

/* ---- Sending a control request to the exchange ---- */

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

static VOID DpcSettled(VOID);

/* ---- The DPC: everything that takes time happens here, at DISPATCH_LEVEL, outside any lock ---- */

/* Queues the DPC and counts it owed, unless the unload has begun; call with g_Lock held. */
static VOID QueueWork(VOID)
{
    if (!g_fStopping && KeInsertQueueDpc(&g_Dpc, NULL, NULL)) {
        if (g_nDpcOwed++ == 0) {
            KeClearEvent(&g_DpcIdle);
        }
    }
}

static VOID NTAPI EchoDpc(PKDPC pDpc, PVOID pContext, PVOID pArg1, PVOID pArg2)
{
    for (;;) {
        ULONG nSkip, nRead, nChunk;

        KeAcquireSpinLockAtDpcLevel(&g_Lock);
        nSkip = g_nSkip;
        nRead = g_nAnnounced;
        g_nSkip = 0;
        g_nAnnounced = 0;
        if ((nSkip == 0 && nRead == 0) || g_fStopping) {
            /* One run settles one queuing; the last one lets the unload go on. */
            DpcSettled();
            KeReleaseSpinLockFromDpcLevel(&g_Lock);
            return;
        }
        KeReleaseSpinLockFromDpcLevel(&g_Lock);

        while (nSkip > 0) {
            /* Overwritten before we read it: step over it and give its space back, at most a ring
               at a time, since the exchange takes a larger report for an error. */
            nChunk = nSkip > g_nRingSize ? g_nRingSize : nSkip;
            g_nTail += nChunk;
            if (g_nTail >= g_nRingSize) {
                g_nTail -= g_nRingSize;
            }
            g_pfnDataProcessed(ECHO_IN_STREAM, ECHO_CONSUMER_HANDLE, nChunk);
            g_nDropped += nChunk;
            nSkip -= nChunk;
        }
        while (nRead > 0) {
            /* Never read across the ring's end: take what lies before it, then go on at 0. */
            nChunk = g_nRingSize - g_nTail;
            if (nChunk > nRead) {
                nChunk = nRead;
            }
            if (nChunk > ECHO_CHUNK) {
                nChunk = ECHO_CHUNK;
            }
            RtlCopyMemory(g_Staging, g_pRing + g_nTail, nChunk);
            g_nTail += nChunk;
            if (g_nTail == g_nRingSize) {
                g_nTail = 0;
            }
            if (g_fProvider) {
                g_pfnProvideData(ECHO_OUT_STREAM, g_Staging, nChunk);
            }
            /* Report only what was read: the exchange hands that space to its provider again. */
            g_pfnDataProcessed(ECHO_IN_STREAM, ECHO_CONSUMER_HANDLE, nChunk);
            g_nEchoed += nChunk;
            nRead -= nChunk;
        }
    }
}

/* ---- Consumer callbacks: DISPATCH_LEVEL, the stream's lock held, so note and queue only ---- */

static VOID STREAMER_CALL OnNewData(ULONG dwSize, PVOID pContext)
{
    KeAcquireSpinLockAtDpcLevel(&g_Lock);
    g_nAnnounced += dwSize;
    QueueWork();
    KeReleaseSpinLockFromDpcLevel(&g_Lock);
}

static VOID STREAMER_CALL OnConsumerNotify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID pContext)
{
    KIRQL OldIrql;
    ULONG nDrop;

    switch (dwType) {
    case STREAMERNOTIFY_LOST_BYTES:
        /*
         * The far end got more than a ring ahead: the oldest unread bytes are gone and this block
         * was never announced. Drop what we have not read yet, and the block.
         */
        KeAcquireSpinLock(&g_Lock, &OldIrql);
        nDrop = g_nAnnounced + pParam->LostBytes.dwSize;
        g_nSkip += nDrop;
        g_nAnnounced = 0;
        QueueWork();
        KeReleaseSpinLock(&g_Lock, OldIrql);
        DbgPrint(ECHO_TAG_TEXT "lost %ld bytes, dropping %lu unread\n", pParam->LostBytes.nLost, nDrop);
        break;
    case STREAMERNOTIFY_STREAM_INFO_CHANGED:
        if (pParam != NULL && pParam->StreamInfo.pInfo != NULL &&
            pParam->StreamInfo.nSize >= (LONG)sizeof(STREAMER_STREAM_INFO) &&
            ((PSTREAMER_STREAM_INFO)pParam->StreamInfo.pInfo)->dwInfoType == STREAMINFO_AUDIO) {
            DbgPrint(ECHO_TAG_TEXT "far end audio, standard %ld\n",
                     ((PSTREAMER_STREAM_INFO)pParam->StreamInfo.pInfo)->u.Audio.CompStandard);
        } else {
            DbgPrint(ECHO_TAG_TEXT "far end stream information: none yet\n");
        }
        break;
    case STREAMERNOTIFY_PROVIDER_REGISTERED:
        DbgPrint(ECHO_TAG_TEXT "far end provider arrived\n");
        break;
    case STREAMERNOTIFY_PROVIDER_UNREGISTERED:
        DbgPrint(ECHO_TAG_TEXT "far end provider left\n");
        break;
    case STREAMERNOTIFY_CONSUMER_DELETED:
        /* The exchange is going away: our registration is gone with it, nothing to unregister. */
        DbgPrint(ECHO_TAG_TEXT "consumer deleted by the exchange\n");
        KeAcquireSpinLock(&g_Lock, &OldIrql);
        g_fConsumer = FALSE;
        g_fJoined = FALSE;
        KeReleaseSpinLock(&g_Lock, OldIrql);
        break;
    default:
        DbgPrint(ECHO_TAG_TEXT "consumer notification %lu\n", dwType);
        break;
    }
}

/* ---- Provider callbacks ---- */

static VOID STREAMER_CALL OnProvideDataComplete(PUCHAR pProviderBuffer, PVOID pContext)
{
    /* g_Staging is ours again; nothing to do, the DPC reuses it for the next block. */
}

static VOID STREAMER_CALL OnProviderNotify(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam,
                                           PVOID pContext)
{
    KIRQL OldIrql;

    switch (dwType) {
    case STREAMERNOTIFY_CONSUMER_REGISTERED:
    case STREAMERNOTIFY_CONSUMER_UNREGISTERED:
        DbgPrint(ECHO_TAG_TEXT "%ld listener(s) of the echo\n", pParam != NULL ? pParam->nConsumers : 0);
        break;
    case STREAMERNOTIFY_STREAM_INFO_CHANGED:
        DbgPrint(ECHO_TAG_TEXT "our stream information is published\n");
        break;
    case STREAMERNOTIFY_PROVIDER_DELETED:
        DbgPrint(ECHO_TAG_TEXT "provider deleted by the exchange\n");
        KeAcquireSpinLock(&g_Lock, &OldIrql);
        g_fProvider = FALSE;
        KeReleaseSpinLock(&g_Lock, OldIrql);
        break;
    default:
        DbgPrint(ECHO_TAG_TEXT "provider notification %lu\n", dwType);
        break;
    }
}

/* ---- Registration ---- */

static NTSTATUS RegisterProvider(VOID)
{
    STREAMER_SRV_PARAM Param;
    NTSTATUS Status;

    RtlZeroMemory(&Param, sizeof(Param));
    Param.RegisterProvider.hStream = ECHO_OUT_STREAM;
    Param.RegisterProvider.dwBufferSize = ECHO_RING_SIZE;
    Param.RegisterProvider.pfnProvideDataComplete = OnProvideDataComplete;
    Param.RegisterProvider.pfnNotify = OnProviderNotify;
    Param.RegisterProvider.pStreamInfo = (PVOID)&g_Info;
    Param.RegisterProvider.nStreamInfoSize = sizeof(g_Info);
    Param.RegisterProvider.ppfnProvideData = &g_pfnProvideData;
    Param.RegisterProvider.ppfnNotify = &g_pfnProviderNotify;
    Param.RegisterProvider.pContext = NULL;
    Status = SendRequest(STREAMER_REGISTER_PROVIDER, &Param);
    g_fProvider = NT_SUCCESS(Status) ? TRUE : FALSE;
    return Status;
}

/* Completion of the consumer registration: at once, when a provider arrives, or cancelled. */
static NTSTATUS NTAPI ConsumerRegistered(PDEVICE_OBJECT pDevice, PIRP pIrp, PVOID pContext)
{
    KIRQL OldIrql;
    const NTSTATUS Status = pIrp->IoStatus.Status;

    KeAcquireSpinLock(&g_Lock, &OldIrql);
    if (Status == STATUS_SUCCESS && g_fConsumer) {
        g_fJoined = TRUE; /* g_pRing, g_nRingSize and g_nTail now describe the provider's ring */
    } else {
        g_fConsumer = FALSE;
    }
    KeReleaseSpinLock(&g_Lock, OldIrql);
    DbgPrint(ECHO_TAG_TEXT "consumer registration completed: 0x%08lx\n", (ULONG)Status);
    KeSetEvent(&g_ConsumerDone, IO_NO_INCREMENT, FALSE);
    /* The I/O manager goes on to finish the request it built, and frees it. */
    return STATUS_SUCCESS;
}

static NTSTATUS RegisterConsumer(VOID)
{
    PIRP pIrp;
    NTSTATUS Status;

    RtlZeroMemory(&g_ConsumerParam, sizeof(g_ConsumerParam));
    g_ConsumerParam.RegisterConsumer.hStream = ECHO_IN_STREAM;
    g_ConsumerParam.RegisterConsumer.pfnNewDataReady = OnNewData;
    g_ConsumerParam.RegisterConsumer.pfnNotify = OnConsumerNotify;
    g_ConsumerParam.RegisterConsumer.hConsumer = ECHO_CONSUMER_HANDLE;
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
    /* Counted as registered before the request goes: its completion may come at once. */
    g_fConsumer = TRUE;
    Status = IoCallDriver(g_pExchange, pIrp);
    if (Status == STATUS_PENDING) {
        /* No far end yet. We do not wait: the request completes when its provider registers. */
        DbgPrint(ECHO_TAG_TEXT "waiting for the far end\n");
        return STATUS_SUCCESS;
    }
    return Status;
}

static NTSTATUS UnregisterConsumer(VOID)
{
    STREAMER_SRV_PARAM Param;

    RtlZeroMemory(&Param, sizeof(Param));
    Param.UnRegisterConsumer.hStream = ECHO_IN_STREAM;
    Param.UnRegisterConsumer.hConsumer = ECHO_CONSUMER_HANDLE;
    return SendRequest(STREAMER_UNREGISTER_CONSUMER, &Param);
}

static NTSTATUS UnregisterProvider(VOID)
{
    STREAMER_SRV_PARAM Param;

    RtlZeroMemory(&Param, sizeof(Param));
    Param.UnRegisterProvider.hStream = ECHO_OUT_STREAM;
    return SendRequest(STREAMER_UNREGISTER_PROVIDER, &Param);
}

/* ---- Driver entry and unload ---- */

/* "\Device\DeVididi" as the kernel's 16-bit characters; C99 has no literal for them. */
static const WCHAR g_szExchangeName[] = { '\\', 'D', 'e', 'v', 'i', 'c', 'e', '\\', 'D', 'e',
                                          'V',   'i', 'd', 'i', 'd', 'i', 0 };

/* Settles one queuing of the DPC; call with g_Lock held. */
static VOID DpcSettled(VOID)
{
    if (--g_nDpcOwed == 0) {
        KeSetEvent(&g_DpcIdle, IO_NO_INCREMENT, FALSE);
    }
}

static VOID NTAPI EchoUnload(PDRIVER_OBJECT pDriverObject)
{
    KIRQL OldIrql;
    NTSTATUS Status;

    /*
     * The order matters. First the DPC is stopped: no callback queues it any more, a queued run is
     * taken back, and a running one is waited for. Only then does the consumer leave: a DPC that
     * ran after that would report bytes for a consumer the exchange no longer knows. Leaving also
     * cancels a registration still pending, so no request of ours stays with the exchange. Then
     * the provider, and last the handle.
     */
    KeAcquireSpinLock(&g_Lock, &OldIrql);
    g_fStopping = TRUE;
    if (KeRemoveQueueDpc(&g_Dpc)) {
        DpcSettled();
    }
    KeReleaseSpinLock(&g_Lock, OldIrql);
    KeWaitForSingleObject(&g_DpcIdle, Executive, KernelMode, FALSE, NULL);

    if (g_fConsumer) {
        Status = UnregisterConsumer();
        DbgPrint(ECHO_TAG_TEXT "unregister consumer: 0x%08lx\n", (ULONG)Status);
    }
    KeWaitForSingleObject(&g_ConsumerDone, Executive, KernelMode, FALSE, NULL);
    if (g_fProvider) {
        Status = UnregisterProvider();
        DbgPrint(ECHO_TAG_TEXT "unregister provider: 0x%08lx\n", (ULONG)Status);
    }
    ObDereferenceObject(g_pExchangeFile);
    g_pExchangeFile = NULL;
    g_pExchange = NULL;
    DbgPrint(ECHO_TAG_TEXT "unloaded: %lu bytes echoed, %lu dropped\n", g_nEchoed, g_nDropped);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNICODE_STRING Name;
    NTSTATUS Status;

    KeInitializeSpinLock(&g_Lock);
    KeInitializeDpc(&g_Dpc, EchoDpc, NULL);
    KeInitializeEvent(&g_DpcIdle, NotificationEvent, TRUE);
    KeInitializeEvent(&g_ConsumerDone, NotificationEvent, TRUE);
    g_nAnnounced = 0;
    g_nSkip = 0;
    g_nDpcOwed = 0;
    g_nEchoed = 0;
    g_nDropped = 0;
    g_fStopping = FALSE;
    g_fProvider = FALSE;
    g_fConsumer = FALSE;
    g_fJoined = FALSE;

    /* The exchange's control device; the file object keeps it for as long as we hold it. */
    RtlInitUnicodeString(&Name, g_szExchangeName);
    Status = IoGetDeviceObjectPointer(&Name, FILE_ALL_ACCESS, &g_pExchangeFile, &g_pExchange);
    if (!NT_SUCCESS(Status)) {
        DbgPrint(ECHO_TAG_TEXT "no exchange: 0x%08lx\n", (ULONG)Status);
        return Status;
    }

    /* Provider first: a listener of the echo finds it there even before the far end speaks. */
    Status = RegisterProvider();
    DbgPrint(ECHO_TAG_TEXT "register provider on stream %d: 0x%08lx\n", ECHO_OUT_STREAM, (ULONG)Status);
    if (NT_SUCCESS(Status)) {
        Status = RegisterConsumer();
        DbgPrint(ECHO_TAG_TEXT "register consumer on stream %d: 0x%08lx\n", ECHO_IN_STREAM, (ULONG)Status);
        if (!NT_SUCCESS(Status)) {
            UnregisterProvider();
            g_fProvider = FALSE;
        }
    }
    if (!NT_SUCCESS(Status)) {
        ObDereferenceObject(g_pExchangeFile);
        g_pExchangeFile = NULL;
        g_pExchange = NULL;
        return Status;
    }
    pDriverObject->DriverUnload = EchoUnload;
    return STATUS_SUCCESS;
}
