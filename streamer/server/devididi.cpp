/*
 * The stream exchange core: streams, their ring buffers, provider and consumer records, the
 * registration of clients, notifications and the status report. The locking note is in devididi.h.
 */
#define DV_SOURCE_NAME "devididi"

#include "devididi.h"
#include "krnl_dbg.h"
#include "rundown.h"

DeVididi *pDeVididiArray = NULL;

/* Plain records: no virtual functions, so their layout is the documented field order. */
static_assert(!__is_polymorphic(DeVididi), "DeVididi has no virtual functions");
static_assert(!__is_polymorphic(QvProviderInfo), "QvProviderInfo has no virtual functions");
static_assert(!__is_polymorphic(QvConsumerInfo), "QvConsumerInfo has no virtual functions");

#define STREAM_DBG QVDBG_MODULE_STREAM
#define PROVIDER_DBG QVDBG_MODULE_PROVIDER_INFO
#define CONSUMER_DBG QVDBG_MODULE_CONSUMER_INFO

/*
 * Fields that lock-free paths read while registration or CreateBuffer (which runs without the
 * lock) may write them: the handle, the ring's address, size and tail, the provider pointer and the
 * per-consumer flag and counter. Relaxed loads and stores are plain moves on x86.
 */
#define DV_LOAD(field) __atomic_load_n(&(field), __ATOMIC_RELAXED)
#define DV_STORE(field, value) __atomic_store_n(&(field), (value), __ATOMIC_RELAXED)

#if defined(__i386__) || defined(__x86_64__)
#define DV_CPU_PAUSE() __builtin_ia32_pause()
#else
#define DV_CPU_PAUSE() ((void)0)
#endif

/*
 * The stream gate, one 32-bit word, used only by holders of the stream's rundown (rundown.h):
 *   readers  (bits 0-11)   lock-free users of the map, the records, the provider record and the
 *                          information block; registration counts itself here while it holds m_Lock
 *   EXCLUSIVE              a registration (or the reclaim of old information blocks) is changing
 *                          the stream; taken only when no other reader is inside
 *   WAITING                a registration waits for the readers to leave
 * A reader waits for an exclusive section that is already running, but for a waiting registration
 * only a bounded while (so that a stream of readers does not starve it): a reader nested in another
 * reader's client callback, whose outer reader keeps the registration waiting, thus still gets in,
 * and one nested in a callback made under m_Lock never meets a registration at all. Writers wait
 * only for readers, and readers never wait for m_Lock (client callbacks must not take it), so
 * nothing waits in a circle. Whether the stream is open at all is the rundown's business.
 */
#define GATE_READER 0x00000001UL
#define GATE_READERS 0x00000FFFUL
#define GATE_EXCLUSIVE 0x10000000UL
#define GATE_WAITING 0x40000000UL
/* How long a new reader lets a waiting registration go first, in pause loops (well under 1 ms). */
#define GATE_PATIENCE 4096

/*
 * A replaced information block may still be in a client's hands: a notification pass on another
 * processor, or one further up this very stack (a code-5 callback that sends code 5 again). Each
 * pass that hands a block out is linked into the stream's m_pInfoPasses from the moment it takes
 * the block until it is done, the link living in the pass's own frame; a pass holds one block. So a
 * block that is no longer the stream's and that no listed pass holds can be reached by nobody, and
 * is freed by whoever sees that first: the replacement, or the last pass holding it as it ends.
 * The block is the one traced allocation of exactly its size; retiring it allocates nothing.
 */
/* ======================================================================================== */
/* QvProviderInfo                                                                           */
/* ======================================================================================== */

QvProviderInfo::QvProviderInfo(ULONG hStream, STREAMER_PROVIDER_NOTIFY_CALLBACK pfnNotify,
                               STREAMER_PROVIDE_DATA_COMPLETE_CALLBACK pfnProvideDataComplete, PVOID pContext)
{
    m_pszCheckpoint = "QvProviderInfo::QvProviderInfo";
    m_hStream = hStream;
    m_pfnNotify = pfnNotify;
    m_pfnProvideDataComplete = pfnProvideDataComplete;
    m_pContext = pContext;
    m_nBytesProvided = 0;
    m_nBytesReported = 0;
}

void QvProviderInfo::NotifyProvider(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam)
{
    SHOWDEBUG(PROVIDER_DBG, 7, "NotifyProvider --- Start");
    if (m_pfnNotify != NULL) {
        m_pfnNotify(hConsumer, dwType, pParam, m_pContext);
    }
    SHOWDEBUG(PROVIDER_DBG, 7, "NotifyProvider --- End");
}

DV_DATA_PATH void QvProviderInfo::ProvideDataComplete(PUCHAR pProviderBuffer, const BOOLEAN fTested)
{
    SHOWDEBUG_IF(fTested, PROVIDER_DBG, 7, "ProvideDataComplete --- Start");
    if (m_pfnProvideDataComplete != NULL) {
        m_pfnProvideDataComplete(pProviderBuffer, m_pContext);
    }
    SHOWDEBUG_IF(fTested, PROVIDER_DBG, 7, "ProvideDataComplete --- End");
}

/*
 * The usual call while every data-path level is 0 and lane 0 is free: the quiet form on the hold
 * the inline exchange took, whose leave is known. Any other call takes the tested form, which
 * enters on its own (at level 0 it shows nothing either).
 */
VOID STREAMER_CALL QvProviderInfo::OnProvideData(ULONG hStream, PUCHAR pProviderBuffer, ULONG dwSize)
{
    const ULONG nIndex = DEVIDIDI_STREAM_INDEX(hStream);
    PKTHREAD pThread = KeGetCurrentThread();
    if (Dbg_DataPathQuiet() && DvRundownEnterProviderFree(nIndex, pThread)) {
        ProvideDataHeld(hStream, DvRundownHeldStream(nIndex), DV_LANE_ALONE + DV_LANE_PROVIDER, pProviderBuffer,
                        dwSize, pThread, FALSE);
        return;
    }
    ProvideDataTested(hStream, pProviderBuffer, dwSize, pThread);
}

void QvProviderInfo::ProvideDataTested(ULONG hStream, PUCHAR pProviderBuffer, ULONG dwSize, PKTHREAD pThread)
{
    ULONG nIndex = DEVIDIDI_STREAM_INDEX(hStream);
    ULONG nLane;

    SHOWDEBUG(PROVIDER_DBG, 7, "static OnProvideData --- Start");
    SHOWDEBUG(PROVIDER_DBG, 5, "static OnProvideData(%d, [pProviderBuffer], %ld)", hStream, dwSize);
    /* Refused before DriverEntry's table and once the unload closes it: the table-missing case. */
    DeVididi *pStream = DvRundownEnterProvider(nIndex, pThread, &nLane);
    if (pStream == NULL) {
        SHOWDEBUG(PROVIDER_DBG, 1, "static OnProvideData: ERROR --- stream %x (ID=%d) not exist", hStream, nIndex);
        SHOWDEBUG(PROVIDER_DBG, 4, "static OnProvideData --- End (With Error)");
        return;
    }
    ProvideDataHeld(hStream, pStream, nLane, pProviderBuffer, dwSize, pThread, TRUE);
}

/* The call once it holds its stream on nLane, which it leaves. */
DV_DATA_PATH void QvProviderInfo::ProvideDataHeld(ULONG hStream, DeVididi *pStream, ULONG nLane,
                                                  PUCHAR pProviderBuffer, ULONG dwSize, PKTHREAD pThread,
                                                  const BOOLEAN fTested)
{
    const ULONG nIndex = DEVIDIDI_STREAM_INDEX(hStream);
    QvProviderInfo *pProvider;

    /*
     * Data flows only once the provider's registration has its ring: until then the record exists
     * but CreateBuffer may still be filling in the ring's fields without the lock.
     */
    pProvider = pStream->IsProviderReady() ? __atomic_load_n(&pStream->m_pProviderInfo, __ATOMIC_ACQUIRE) : NULL;
    if (pProvider == NULL) {
        SHOWDEBUG(PROVIDER_DBG, 1, "static OnProvideData: stream %x (ID=%d) has no provider.", hStream, nIndex);
        SHOWDEBUG(PROVIDER_DBG, 4, "static OnProvideData --- End (With Error)");
        DvRundownLeave(nIndex, nLane);
        return;
    }
    pProvider->m_pszCheckpoint = "static QvProviderInfo::OnProvideData before provide data";
    pStream->ProvideData(pProviderBuffer, dwSize, pProvider, pThread, fTested);
    /*
     * The data-complete callback may have unregistered this provider (a request it sent from there):
     * its record is then freed, and the checkpoints go only into a record that is still the stream's.
     */
    if (__atomic_load_n(&pStream->m_pProviderInfo, __ATOMIC_ACQUIRE) != pProvider) {
        pProvider = NULL;
    }
    if (pProvider != NULL) {
        pProvider->m_pszCheckpoint = "static QvProviderInfo::OnProvideData after provide data";
    }
    SHOWDEBUG_IF(fTested, PROVIDER_DBG, 7, "static OnProvideData --- End");
    if (pProvider != NULL) {
        pProvider->m_pszCheckpoint = "static QvProviderInfo::OnProvideData after provide data (exiting)";
    }
    DvRundownLeave(nIndex, nLane);
}

VOID STREAMER_CALL QvProviderInfo::OnNotify(ULONG hStream, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam)
{
    ULONG nLane;

    SHOWDEBUG(PROVIDER_DBG, 7, "static OnNotify --- Start");
    /* Refused before DriverEntry's table and once the unload closes it: the table-missing case. */
    DeVididi *pStream = DvRundownEnter(DEVIDIDI_STREAM_INDEX(hStream), &nLane);
    if (pStream == NULL) {
        SHOWDEBUG(PROVIDER_DBG, 1, "static OnNotify: ERROR --- pDeVididiArray is NULL");
        SHOWDEBUG(PROVIDER_DBG, 3, "static OnNotify --- End (With Critical Error)");
        return;
    }
    pStream->NotifyConsumers(dwType, pParam);
    DvRundownLeave(DEVIDIDI_STREAM_INDEX(hStream), nLane);
    SHOWDEBUG(PROVIDER_DBG, 7, "static OnNotify --- End");
}

/* ======================================================================================== */
/* QvConsumerInfo                                                                           */
/* ======================================================================================== */

QvConsumerInfo::QvConsumerInfo(PVOID hConsumer, ULONG hStream, STREAMER_NEW_DATA_READY_CALLBACK pfnNewDataReady,
                               STREAMER_CONSUMER_NOTIFY_CALLBACK pfnNotify, PVOID pContext, LONG nAvailableSpace,
                               PIRP pIrp)
{
    m_hConsumer = hConsumer;
    m_hStream = hStream;
    m_pfnNewDataReady = pfnNewDataReady;
    m_pfnNotify = pfnNotify;
    m_nAvailableSpace = nAvailableSpace;
    m_pPendingIrp = pIrp;
    m_pContext = pContext;
    m_fProviderRegistered = 0;
    m_nProcessedSeen = 0;
    m_nShrinksSeen = 0;
    m_nShrinks = 0;
    m_nProcessed = 0;
    m_nJoinedRingSize = 0;
    m_pNextToTell = NULL;
}

LONG QvConsumerInfo::AvailableSpace() const
{
    return (LONG)((ULONG)DV_LOAD(m_nAvailableSpace) + DV_LOAD(m_nProcessed));
}

void QvConsumerInfo::Join(ULONG nRingSize)
{
    /* Nothing is reported before the join (reports wait for it), so m_nProcessed is still 0. */
    DV_STORE(m_nAvailableSpace, (LONG)nRingSize);
    __atomic_store_n(&m_nJoinedRingSize, nRingSize, __ATOMIC_RELEASE);
    DV_STORE(m_fProviderRegistered, 1);
}

ULONG QvConsumerInfo::JoinedRingSize() const
{
    return __atomic_load_n(&m_nJoinedRingSize, __ATOMIC_ACQUIRE);
}

/* Reads the reports' half afresh: the shrink count first, so a shrink it counts is in the sum. */
LONG QvConsumerInfo::Refresh()
{
    m_nShrinksSeen = __atomic_load_n(&m_nShrinks, __ATOMIC_ACQUIRE);
    m_nProcessedSeen = __atomic_load_n(&m_nProcessed, __ATOMIC_ACQUIRE);
    return (LONG)((ULONG)m_nAvailableSpace + m_nProcessedSeen);
}

void QvConsumerInfo::NotifyConsumer(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam)
{
    SHOWDEBUG(CONSUMER_DBG, 7, "NotifyConsumer: Start");
    SHOWDEBUG(CONSUMER_DBG, 4, "NotifyConsumer: %ld", dwType);
    if (m_pfnNotify != NULL) {
        m_pfnNotify(dwType, pParam, m_pContext);
    }
    SHOWDEBUG(CONSUMER_DBG, 7, "NotifyConsumer: End");
}

void QvConsumerInfo::NewDataReady(ULONG dwSize)
{
    NewDataReady(dwSize, FALSE, TRUE);
}

DV_DATA_PATH void QvConsumerInfo::NewDataReady(ULONG dwSize, const BOOLEAN fInWalk, const BOOLEAN fTested)
{
    LONG nSpace;
    LONG nAvailable;

    SHOWDEBUG_IF(fTested, CONSUMER_DBG, 7, "NewDataReady: Start");
    /*
     * The walk holds its stream, so for it the table is there: it is published before the streams
     * open and cleared only once they are drained. The test stays for any caller outside that
     * order, and reads the global only; the record is reached through the walk, never the table.
     */
    if (!fInWalk && __atomic_load_n(&pDeVididiArray, __ATOMIC_RELAXED) == NULL) {
        SHOWDEBUG(CONSUMER_DBG, 1, "NewDataReady: ERROR --- pDeVididiArray is NULL");
        SHOWDEBUG(CONSUMER_DBG, 4, "NewDataReady --- End (With Critical Error)");
        return;
    }
    SHOWDEBUG_IF(fTested, CONSUMER_DBG, 8,
                 "NewDataReady: (Before), dwSize=%ld, m_nAvailableSpace=%ld in Stream index = %d", dwSize,
                 AvailableSpace(), DEVIDIDI_STREAM_INDEX(m_hStream));
    /*
     * Only holders of m_Lock write m_nAvailableSpace, so the announcement needs no locked
     * instruction. The reports' half is read afresh only when the walk's last view of it does not
     * show the block fitting, or a report has shrunk it since: reports only raise it otherwise, so
     * a fit seen in the old view is a fit now, and the reporting processor's line is left alone.
     * Every decision that tells of a loss, and every value logged, comes from a fresh read.
     */
    nAvailable = (LONG)((ULONG)m_nAvailableSpace - dwSize);
    DV_STORE(m_nAvailableSpace, nAvailable);
    nSpace = (LONG)((ULONG)nAvailable + m_nProcessedSeen);
    if (nSpace < 0 || __atomic_load_n(&m_nShrinks, __ATOMIC_ACQUIRE) != m_nShrinksSeen ||
        (fTested && Dbg_CheckDebugLevel(CONSUMER_DBG, 8))) {
        nSpace = Refresh();
    }
    if (nSpace < 0) {
        TellLost((LONG)(0UL - (ULONG)nSpace), dwSize, fTested);
    } else if (m_pfnNewDataReady != NULL) {
        m_pfnNewDataReady(dwSize, m_pContext);
    }
    SHOWDEBUG_IF(fTested, CONSUMER_DBG, 8, "NewDataReady: (After), m_nAvailableSpace=%ld in Stream index = %d", nSpace,
                 DEVIDIDI_STREAM_INDEX(m_hStream));
    SHOWDEBUG_IF(fTested, CONSUMER_DBG, 7, "NewDataReady: End");
}

/* Out of the walk's loop: its notification record would hold a frame slot and a register there. */
__attribute__((noinline, cold)) void QvConsumerInfo::TellLost(LONG nLost, ULONG dwSize, BOOLEAN fTested)
{
    STREAMER_NOTIFICATION_PARAM Param;
    SHOWDEBUG_IF(fTested, CONSUMER_DBG, 5, "NewDataReady: WARNING --- Lost Bytes = %ld", nLost);
    RtlZeroMemory(&Param, sizeof(Param));
    Param.LostBytes.nLost = nLost;
    Param.LostBytes.dwSize = dwSize;
    if (m_pfnNotify != NULL) {
        m_pfnNotify(STREAMERNOTIFY_LOST_BYTES, &Param, m_pContext);
    }
}

DV_DATA_PATH void QvConsumerInfo::DataProcessed(ULONG dwSize, ULONG nJoinedRingSize, const BOOLEAN fTested)
{
    SHOWDEBUG_IF(fTested, CONSUMER_DBG, 7, "DataProcessed: Start");
    if (fTested && dwSize >= 0x80000000UL) {
        SHOWDEBUG(CONSUMER_DBG, 2, "DataProcessed: size is %ld", dwSize);
    }
    if (nJoinedRingSize == 0) {
        SHOWDEBUG(CONSUMER_DBG, 4, "QvConsumerInfo::DataProcessed No provider is registered.");
    } else {
        SHOWDEBUG_IF(fTested, CONSUMER_DBG, 8, "DataProcessed: (Before), m_nAvailableSpace=%ld", AvailableSpace());
        /*
         * The one locked instruction of a report. A consumer may report from several threads at
         * once, so the add must not lose an update; a negative size is counted as a shrink after
         * it is added, so that a walk that sees the count sees the sum too.
         */
        __atomic_add_fetch(&m_nProcessed, dwSize, __ATOMIC_RELEASE);
        if (dwSize >= 0x80000000UL) {
            __atomic_add_fetch(&m_nShrinks, 1, __ATOMIC_RELEASE);
        }
        SHOWDEBUG_IF(fTested, CONSUMER_DBG, 6, "DataProcessed: After adding %ld m_nAvailableSpace is %ld", dwSize,
                     AvailableSpace());
    }
    SHOWDEBUG_IF(fTested, CONSUMER_DBG, 7, "DataProcessed: End");
}

/* The same report, made by the walk's own callback: m_Lock is held, so a plain add will do. */
DV_DATA_PATH void QvConsumerInfo::DataProcessedInWalk(ULONG dwSize, const BOOLEAN fTested)
{
    SHOWDEBUG_IF(fTested, CONSUMER_DBG, 7, "DataProcessed: Start");
    if (fTested && dwSize >= 0x80000000UL) {
        SHOWDEBUG(CONSUMER_DBG, 2, "DataProcessed: size is %ld", dwSize);
    }
    /* The flag, not the reports' line: under m_Lock it cannot change, and the walk's line is hot. */
    if (DV_LOAD(m_fProviderRegistered) == 0) {
        SHOWDEBUG(CONSUMER_DBG, 4, "QvConsumerInfo::DataProcessed No provider is registered.");
    } else {
        SHOWDEBUG_IF(fTested, CONSUMER_DBG, 8, "DataProcessed: (Before), m_nAvailableSpace=%ld", AvailableSpace());
        DV_STORE(m_nAvailableSpace, (LONG)((ULONG)m_nAvailableSpace + dwSize));
        SHOWDEBUG_IF(fTested, CONSUMER_DBG, 6, "DataProcessed: After adding %ld m_nAvailableSpace is %ld", dwSize,
                     AvailableSpace());
    }
    SHOWDEBUG_IF(fTested, CONSUMER_DBG, 7, "DataProcessed: End");
}

/* A report's whole road in its tested form, which enters and leaves however the stream's lanes stand. */
static __attribute__((noinline)) void DataProcessedTested(ULONG hStream, PVOID hConsumer, ULONG dwSize, PKTHREAD pThread)
{
    QvConsumerInfo::DataProcessedCall(hStream, hConsumer, dwSize, pThread, TRUE);
}

/*
 * The quiet form of a report from a thread not inside its stream's provider call on lane 0, on the
 * hold of its own shared lane taken free; with that lane busy or closed, the tested form.
 */
static __attribute__((noinline)) void DataProcessedQuiet(ULONG hStream, PVOID hConsumer, ULONG dwSize, PKTHREAD pThread)
{
    const ULONG nIndex = DEVIDIDI_STREAM_INDEX(hStream);
    const ULONG nLane = DvRundownEnterSharedFree(nIndex, pThread);
    if (nLane == 0) {
        DataProcessedTested(hStream, hConsumer, dwSize, pThread);
        return;
    }
    DvRundownHeldStream(nIndex)->DataProcessed(hConsumer, dwSize, pThread, FALSE);
    DvRundownLeaveAlone(nIndex, nLane);
}

VOID STREAMER_CALL QvConsumerInfo::OnDataProcessed(ULONG hStream, PVOID hConsumer, ULONG dwSize)
{
    PKTHREAD pThread = KeGetCurrentThread();
    if (Dbg_DataPathQuiet()) {
        const ULONG nIndex = DEVIDIDI_STREAM_INDEX(hStream);
        if (!DvRundownIsNested(nIndex, pThread)) {
            DataProcessedQuiet(hStream, hConsumer, dwSize, pThread);
            return;
        }
        /* A report from the walk's callback, covered by its provider call's hold: nothing else to take. */
        if (DvRundownHeldStream(nIndex)->DataProcessedQuietInWalk(hConsumer, dwSize, pThread)) {
            return;
        }
        /* Nested, but not the walk's usual case: rare, and the tested form shows nothing at level 0. */
    }
    DataProcessedTested(hStream, hConsumer, dwSize, pThread);
}

DV_DATA_PATH void QvConsumerInfo::DataProcessedCall(ULONG hStream, PVOID hConsumer, ULONG dwSize, PKTHREAD pThread,
                                                    const BOOLEAN fTested)
{
    ULONG nLane;

    SHOWDEBUG_IF(fTested, CONSUMER_DBG, 7, "static OnDataProcessed --- Start");
    SHOWDEBUG_IF(fTested, CONSUMER_DBG, 5, "static OnDataProcessed: (hStream=%x, hConsumer=%x, dwSize=%ld)", hStream,
                 (ULONG)(ULONG_PTR)hConsumer, dwSize);
    /* Refused before DriverEntry's table and once the unload closes it: the table-missing case. */
    DeVididi *pStream = DvRundownEnterReport(DEVIDIDI_STREAM_INDEX(hStream), pThread, &nLane);
    if (pStream == NULL) {
        SHOWDEBUG(CONSUMER_DBG, 1, "static OnDataProcessed: ERROR --- pDeVididiArray is NULL");
        SHOWDEBUG(CONSUMER_DBG, 4, "static OnDataProcessed --- End (With Critical Error)");
        return;
    }
    pStream->DataProcessed(hConsumer, dwSize, pThread, fTested);
    DvRundownLeave(DEVIDIDI_STREAM_INDEX(hStream), nLane);
    SHOWDEBUG_IF(fTested, CONSUMER_DBG, 7, "static OnDataProcessed --- End");
}

VOID STREAMER_CALL QvConsumerInfo::OnNotify(ULONG hStream, PVOID hConsumer, ULONG dwType,
                                            PSTREAMER_NOTIFICATION_PARAM pParam)
{
    ULONG nLane;

    SHOWDEBUG(CONSUMER_DBG, 7, "static OnNotify --- Start");
    SHOWDEBUG(CONSUMER_DBG, 5, "static OnNotify: hStream=%x hConsumer=%x dwType=%ld", hStream,
              (ULONG)(ULONG_PTR)hConsumer, dwType);
    /* Refused before DriverEntry's table and once the unload closes it: the table-missing case. */
    DeVididi *pStream = DvRundownEnter(DEVIDIDI_STREAM_INDEX(hStream), &nLane);
    if (pStream == NULL) {
        SHOWDEBUG(CONSUMER_DBG, 1, "static OnNotify: ERROR --- pDeVididiArray is NULL");
        SHOWDEBUG(CONSUMER_DBG, 4, "static OnNotify --- End (With Critical Error)");
        return;
    }
    pStream->NotifyProvider(hConsumer, dwType, pParam);
    DvRundownLeave(DEVIDIDI_STREAM_INDEX(hStream), nLane);
    SHOWDEBUG(CONSUMER_DBG, 7, "static OnNotify --- End");
}

/* ======================================================================================== */
/* DeVididi: the gate                                                                       */
/* ======================================================================================== */

DV_DATA_PATH void DeVididi::GateEnter()
{
    KX_SCHEDULING_POINT("gate.enter");
    ULONG nGate = __atomic_add_fetch(&m_nGate, GATE_READER, __ATOMIC_SEQ_CST);
    if ((nGate & (GATE_EXCLUSIVE | GATE_WAITING)) != 0) {
        GateEnterBusy(nGate);
    }
}

/* GateEnter once its reference met a change running or waiting (nGate, the gate with it). */
void DeVididi::GateEnterBusy(ULONG nGate)
{
    ULONG nPatience = GATE_PATIENCE;
    for (;;) {
        if ((nGate & GATE_EXCLUSIVE) == 0 && ((nGate & GATE_WAITING) == 0 || nPatience == 0)) {
            return;
        }
        /* A change is running or about to: step back and wait for it. */
        KX_SCHEDULING_POINT("gate.retreat");
        __atomic_sub_fetch(&m_nGate, GATE_READER, __ATOMIC_SEQ_CST);
        for (;;) {
            DV_CPU_PAUSE();
            nGate = __atomic_load_n(&m_nGate, __ATOMIC_SEQ_CST);
            if ((nGate & GATE_EXCLUSIVE) != 0) {
                continue;
            }
            if ((nGate & GATE_WAITING) == 0 || nPatience == 0) {
                break;
            }
            --nPatience;
        }
        KX_SCHEDULING_POINT("gate.enter");
        nGate = __atomic_add_fetch(&m_nGate, GATE_READER, __ATOMIC_SEQ_CST);
    }
}

DV_DATA_PATH void DeVididi::GateLeave()
{
    KX_SCHEDULING_POINT("gate.leave");
    __atomic_sub_fetch(&m_nGate, GATE_READER, __ATOMIC_SEQ_CST);
}

BOOLEAN DeVididi::IsGateIdle() const
{
    return __atomic_load_n(&m_nGate, __ATOMIC_SEQ_CST) == 0 ? TRUE : FALSE;
}

/*
 * Whether the caller is inside this stream's walk, on the walking thread. Another thread reads only
 * the walker's line, which stays in its cache; the provider's own line, written on every block, is
 * read only by the thread of the latest walk. Only a thread names itself the walker, and it clears
 * its name before it leaves m_Lock, so finding its own name there is proof.
 */
DV_DATA_PATH BOOLEAN DeVididi::IsWalkingThread(PKTHREAD pThread) const
{
    if (__atomic_load_n(&m_pWalkingThread, __ATOMIC_RELAXED) != pThread) {
        return FALSE;
    }
    return __atomic_load_n(&m_pWalker, __ATOMIC_RELAXED) == pThread ? TRUE : FALSE;
}

/*
 * A reader runs at DISPATCH_LEVEL, like the holder of a spin lock: a registration spins for the
 * readers at DISPATCH_LEVEL, and must never wait for one that cannot run (on a single processor a
 * preempted reader would never run again). Client callbacks made by a reader run there too.
 */
DV_DATA_PATH void DeVididi::EnterShared(PKIRQL pOldIrql)
{
    *pOldIrql = KfRaiseIrql(DISPATCH_LEVEL);
    GateEnter();
}

DV_DATA_PATH void DeVididi::LeaveShared(KIRQL OldIrql)
{
    GateLeave();
    KfLowerIrql(OldIrql);
}

/*
 * Called by a registration that holds m_Lock and one reader reference: announces itself, waits
 * until it is the only reader, then turns that reference into the exclusive bit. No client is ever
 * called from inside.
 */
void DeVididi::EnterExclusive()
{
    KX_SCHEDULING_POINT("gate.announce");
    __atomic_fetch_or(&m_nGate, GATE_WAITING, __ATOMIC_SEQ_CST);
    for (;;) {
        KX_SCHEDULING_POINT("gate.exclusive");
        ULONG nGate = __atomic_load_n(&m_nGate, __ATOMIC_SEQ_CST);
        if ((nGate & GATE_READERS) == GATE_READER && (nGate & GATE_EXCLUSIVE) == 0) {
            ULONG nExclusive = (nGate - GATE_READER + GATE_EXCLUSIVE) & ~GATE_WAITING;
            if (__atomic_compare_exchange_n(&m_nGate, &nGate, nExclusive, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
                return;
            }
            continue;
        }
        DV_CPU_PAUSE();
    }
}

void DeVididi::LeaveExclusive()
{
    /* Back to one reader reference; readers waiting for the change come in. */
    KX_SCHEDULING_POINT("gate.release");
    __atomic_add_fetch(&m_nGate, (ULONG)(GATE_READER - GATE_EXCLUSIVE), __ATOMIC_SEQ_CST);
}

BOOLEAN DeVididi::IsProviderReady() const
{
    return __atomic_load_n(&m_fProviderReady, __ATOMIC_ACQUIRE) != 0 ? TRUE : FALSE;
}

QvProviderInfo *DeVididi::Provider() const
{
    return __atomic_load_n(&m_pProviderInfo, __ATOMIC_ACQUIRE);
}

ULONG DeVididi::Handle() const
{
    return DV_LOAD(m_hStream);
}

void DeVididi::SetHandle(ULONG hStream)
{
    DV_STORE(m_hStream, hStream);
}

/* ======================================================================================== */
/* DeVididi: the information block                                                          */
/* ======================================================================================== */

/*
 * Takes a copy of the sender's block, makes it the stream's and returns it in *pBlock, held by
 * pPass until EndInfoPass. The old block is freed after the swap unless a pass still holds it.
 * m_InfoLock is held only for the swap itself.
 */
void DeVididi::ReplaceStreamInfo(PVOID pInfo, LONG nSize, PSTREAMER_NOTIFICATION_PARAM pBlock, PDV_INFO_PASS pPass)
{
    PVOID pNew = NULL;
    PVOID pOld;
    KIRQL OldIrql;

    if (nSize > 0 && pInfo != NULL) {
        pNew = NEW((ULONG)nSize);
        if (pNew != NULL) {
            RtlCopyMemory(pNew, pInfo, (ULONG)nSize);
        } else {
            SHOWDEBUG(STREAM_DBG, 1,
                      "Streamer: ERROR --- Stream %ld failed in allocating an info struct in size of %ld bytes "
                      "(m_pStreamInfo = NULL)",
                      Handle(), nSize);
            nSize = 0;
        }
    }

    OldIrql = KfAcquireSpinLock(&m_InfoLock);
    pOld = m_pStreamInfo;
    m_pStreamInfo = pNew;
    m_nStreamInfoSize = nSize;
    pPass->pHeld = pNew;
    pPass->pNext = m_pInfoPasses;
    m_pInfoPasses = pPass;
    if (pOld != NULL && IsInfoHeld(pOld)) {
        pOld = NULL;
    }
    RtlZeroMemory(pBlock, sizeof(*pBlock));
    pBlock->StreamInfo.pInfo = m_pStreamInfo;
    pBlock->StreamInfo.nSize = m_nStreamInfoSize;
    KfReleaseSpinLock(&m_InfoLock, OldIrql);
    if (pOld != NULL) {
        TracedDelete(pOld);
    }
}

void DeVididi::SnapshotStreamInfo(PSTREAMER_NOTIFICATION_PARAM pBlock, PDV_INFO_PASS pPass)
{
    KIRQL OldIrql = KfAcquireSpinLock(&m_InfoLock);
    RtlZeroMemory(pBlock, sizeof(*pBlock));
    pBlock->StreamInfo.pInfo = m_pStreamInfo;
    pBlock->StreamInfo.nSize = m_nStreamInfoSize;
    pPass->pHeld = m_pStreamInfo;
    pPass->pNext = m_pInfoPasses;
    m_pInfoPasses = pPass;
    KfReleaseSpinLock(&m_InfoLock, OldIrql);
}

/* Under m_InfoLock: whether a listed pass still hands pInfo out. */
BOOLEAN DeVididi::IsInfoHeld(PVOID pInfo) const
{
    for (PDV_INFO_PASS pPass = m_pInfoPasses; pPass != NULL; pPass = pPass->pNext) {
        if (pPass->pHeld == pInfo) {
            return TRUE;
        }
    }
    return FALSE;
}

/* The pass is over: its block goes if it is no longer the stream's and no other pass holds it. */
void DeVididi::EndInfoPass(PDV_INFO_PASS pPass)
{
    PVOID pFree = NULL;
    KIRQL OldIrql = KfAcquireSpinLock(&m_InfoLock);
    PDV_INFO_PASS *ppLink = &m_pInfoPasses;
    while (*ppLink != pPass) {
        ppLink = &(*ppLink)->pNext;
    }
    *ppLink = pPass->pNext;
    if (pPass->pHeld != NULL && pPass->pHeld != m_pStreamInfo && !IsInfoHeld(pPass->pHeld)) {
        pFree = pPass->pHeld;
    }
    KfReleaseSpinLock(&m_InfoLock, OldIrql);
    if (pFree != NULL) {
        TracedDelete(pFree);
    }
}

/* Empties the pair; a pass still handing the block out frees it as it ends. */
void DeVididi::DropStreamInfo()
{
    KIRQL OldIrql = KfAcquireSpinLock(&m_InfoLock);
    PVOID pOld = m_pStreamInfo;
    m_pStreamInfo = NULL;
    m_nStreamInfoSize = 0;
    if (pOld != NULL && IsInfoHeld(pOld)) {
        pOld = NULL;
    }
    KfReleaseSpinLock(&m_InfoLock, OldIrql);
    if (pOld != NULL) {
        TracedDelete(pOld);
    }
}

/*
 * After every change to the map, with m_Lock held and the gate exclusive: chains the records in the
 * order the map's walk hands them out, which is the order the data path tells them in.
 */
void DeVididi::RelinkConsumers()
{
    QvConsumerInfo *pLast = NULL;
    POSITION pos = m_Consumers.GetStartPosition();
    m_pFirstToTell = NULL;
    while (pos != NULL) {
        void *hConsumer = NULL;
        QvConsumerInfo *pConsumer = NULL;
        m_Consumers.GetNextAssoc(pos, hConsumer, pConsumer);
        if (pConsumer == NULL) {
            continue;
        }
        pConsumer->m_pNextToTell = NULL;
        if (pLast != NULL) {
            pLast->m_pNextToTell = pConsumer;
        } else {
            m_pFirstToTell = pConsumer;
        }
        pLast = pConsumer;
    }
}

/* Back to Empty: with the gate exclusive. The caller has logged and freed the ring. */
void DeVididi::CleanStream()
{
    DV_STORE(m_pBuffer, (PUCHAR)NULL);
    SetHandle(0);
    DV_STORE(m_nBufferSize, 0);
    DV_STORE(m_nTail, 0);
    DropStreamInfo();
}

/* ======================================================================================== */
/* DeVididi: construction, teardown, ring buffer                                            */
/* ======================================================================================== */

DeVididi::DeVididi()
{
    m_hStream = 0;
    m_nBufferSize = 0;
    m_pBuffer = NULL;
    m_nTail = 0;
    m_pStreamInfo = NULL;
    m_nStreamInfoSize = 0;
    m_pProviderInfo = NULL;
    m_pszCheckpoint = "DeVididi::DeVididi";
    KeInitializeSpinLock(&m_Lock);
    m_nGate = 0;
    m_fProviderReady = 0;
    m_pWalkingThread = NULL;
    m_pWalker = NULL;
    m_pToldConsumer = NULL;
    m_pFirstToTell = NULL;
    KeInitializeSpinLock(&m_InfoLock);
    m_pInfoPasses = NULL;
}

/*
 * Only after the stream's rundown is closed and drained: calls that arrive meanwhile (also from the
 * callbacks of the notifications below) are refused there, and nobody else is inside.
 */
DeVididi::~DeVididi()
{
    if (m_Consumers.GetCount() > 0) {
        POSITION pos = m_Consumers.GetStartPosition();
        while (pos != NULL) {
            void *hConsumer = NULL;
            QvConsumerInfo *pConsumer = NULL;
            m_Consumers.GetNextAssoc(pos, hConsumer, pConsumer);
            SHOWDEBUG(STREAM_DBG, 6, "~DeVididi: Delete hConsumer 0x%08x", (ULONG)(ULONG_PTR)hConsumer);
            pConsumer->NotifyConsumer(STREAMERNOTIFY_CONSUMER_DELETED, NULL);
            m_Consumers.RemoveKey(hConsumer);
            if (pConsumer->m_pPendingIrp != NULL) {
                pConsumer->m_pPendingIrp->IoStatus.Status = STATUS_CANCELLED;
                pConsumer->m_pPendingIrp->IoStatus.Information = 0;
                IofCompleteRequest(pConsumer->m_pPendingIrp, IO_NO_INCREMENT);
                pConsumer->m_pPendingIrp = NULL;
            }
            TracedDestroy(pConsumer);
        }
    }
    if (m_pProviderInfo != NULL) {
        SHOWDEBUG(STREAM_DBG, 6, "~DeVididi: Free Provider for stream %ld", m_hStream);
        m_pProviderInfo->NotifyProvider(NULL, STREAMERNOTIFY_PROVIDER_DELETED, NULL);
        TracedDestroy(m_pProviderInfo);
        m_pProviderInfo = NULL;
    }
    m_fProviderReady = 0;
    if (m_pBuffer != NULL) {
        SHOWDEBUG(STREAM_DBG, 6, "~DeVididi: Free buffer for stream %x", m_hStream);
        TracedDelete(m_pBuffer);
        m_pBuffer = NULL;
    }
    m_hStream = 0;
    m_nBufferSize = 0;
    m_nTail = 0;
    DropStreamInfo();
    m_Consumers.RemoveAll();
    m_pFirstToTell = NULL;
}

/*
 * Runs without m_Lock (RegisterProvider releases it around the call). Until the provider's
 * registration is complete nothing reads the new ring's contents; the fields themselves are
 * stored atomically because a consumer registering meanwhile reads them under the lock.
 */
NTSTATUS DeVididi::CreateBuffer(ULONG dwSize)
{
    PUCHAR pBuffer;

    SHOWDEBUG(STREAM_DBG, 7, "CreateBuffer --- Start");
    if (dwSize == 0) {
        SHOWDEBUG(STREAM_DBG, 1,
                  "CreateBuffer: ERROR in stream %ld, A request to create buffer occur with invalid buffer size (%ld)",
                  Handle(), dwSize);
        SetHandle(0);
        SHOWDEBUG(STREAM_DBG, 5, "CreateBuffer --- End (With STATUS_INVALID_PARAMETER_MIX)");
        return STATUS_INVALID_PARAMETER_MIX;
    }
    if (DV_LOAD(m_pBuffer) != NULL) {
        SHOWDEBUG(STREAM_DBG, 2, "CreateBuffer: WARNING at stream %ld, (Buffer already exist)", Handle());
        SHOWDEBUG(STREAM_DBG, 5, "CreateBuffer --- End (With STATUS_ALREADY_COMMITTED)");
        return STATUS_ALREADY_COMMITTED;
    }
    pBuffer = (PUCHAR)NEW(dwSize);
    if (pBuffer == NULL) {
        SetHandle(0);
        SHOWDEBUG(STREAM_DBG, 1, "CreateBuffer: ERROR in stream %ld, Buffer allocation with size %ld has failed",
                  Handle(), dwSize);
        SHOWDEBUG(STREAM_DBG, 5, "CreateBuffer --- End (With STATUS_NO_MEMORY)");
        return STATUS_NO_MEMORY;
    }
    /* Zero-filled once, here; the data path never clears anything. */
    RtlZeroMemory(pBuffer, dwSize);
    DV_STORE(m_pBuffer, pBuffer);
    DV_STORE(m_nBufferSize, dwSize);
    DV_STORE(m_nTail, 0);
    SHOWDEBUG(STREAM_DBG, 7, "CreateBuffer --- End (With STATUS_SUCCESS)");
    return STATUS_SUCCESS;
}

/* ======================================================================================== */
/* DeVididi: the data path                                                                  */
/* ======================================================================================== */

/*
 * The provider is the only writer of the ring and the tail, and its calls do not overlap. The
 * bytes go in without the lock, on a working tail of its own; the new tail is published only under
 * m_Lock, together with the announcement. A consumer registering (under the same lock) therefore
 * gets either the tail before this block and is told of it, or the tail after it and is not.
 *
 * Locked instructions (atomic read-modify-writes and lock acquisitions) one block costs:
 *   per block      3: the rundown's provider lane (an exchange in, a decrement out, on a line
 *                     only the provider's thread writes) and m_Lock
 *   per consumer   0 for the announcement, 0 for a report made from the walk's callback (the
 *                     provider's hold covers it)
 *                  a report from another thread: 2 on a shared rundown lane of this stream, 2 on
 *                     the gate word (reader in, out), 1 on the consumer's own line; none on a
 *                     line the provider writes per block, none on a count other streams share
 */
DV_DATA_PATH void DeVididi::ProvideData(PUCHAR pProviderBuffer, ULONG dwSize, QvProviderInfo *pProvider, PKTHREAD pThread,
                                        const BOOLEAN fTested)
{
    ULONG nBufferSize = DV_LOAD(m_nBufferSize);
    PUCHAR pRing = DV_LOAD(m_pBuffer);
    ULONG nTail = DV_LOAD(m_nTail);
    ULONG nRoom;
    KIRQL OldIrql;

    m_pszCheckpoint = "Provide data start";
    SHOWDEBUG_IF(fTested, STREAM_DBG, 7, "ProvideData --- Start");
    SHOWDEBUG_IF(fTested, STREAM_DBG, 5, "ProvideData: Stream %ld is providing data to its consumers", Handle());
    if (fTested && dwSize == 0) {
        SHOWDEBUG(STREAM_DBG, 2, "ProvideData: WARNING --- Stream %ld got ProvideData function with 0 size", Handle());
    }
    if (dwSize > nBufferSize || pProviderBuffer == NULL) {
        SHOWDEBUG(STREAM_DBG, 1,
                  "ProvideData: ERROR --- Stream %ld failed to provide data to its consumers (ProviderBuffer=%x, "
                  "dwSize=%ld)",
                  Handle(), (ULONG)(ULONG_PTR)pProviderBuffer, dwSize);
        SHOWDEBUG_IF(fTested, STREAM_DBG, 5, "ProvideData --- End (Action stoped)");
        m_pszCheckpoint = "Provide data exit (bad parameters)";
        return;
    }

    nRoom = nBufferSize - nTail;
    if (dwSize <= nRoom) {
        SHOWDEBUG_IF(fTested, STREAM_DBG, 5, "ProvideData: (Before), There is enough place in DeVididi buffer (tail=%ld)", nTail);
        if (dwSize != 0) {
            RtlCopyMemory(pRing + nTail, pProviderBuffer, dwSize);
        }
        nTail += dwSize;
        if (nTail == nBufferSize) {
            nTail = 0;
        }
        SHOWDEBUG_IF(fTested, STREAM_DBG, 5, "ProvideData: (After), tail=%ld", nTail);
    } else {
        SHOWDEBUG_IF(fTested, STREAM_DBG, 5, "ProvideData: (Before), Cyclic copy (tail=%ld)", nTail);
        RtlCopyMemory(pRing + nTail, pProviderBuffer, nRoom);
        RtlCopyMemory(pRing, pProviderBuffer + nRoom, dwSize - nRoom);
        nTail = dwSize - nRoom;
        if (nTail == nBufferSize) {
            nTail = 0;
        }
        SHOWDEBUG_IF(fTested, STREAM_DBG, 5, "ProvideData: (After), one Cyclic copy (tail=%ld)", nTail);
    }

    /* The only writer: no locked add. ShowStream reports the growth since its last report. */
    DV_STORE(pProvider->m_nBytesProvided, DV_LOAD(pProvider->m_nBytesProvided) + dwSize);

    SHOWDEBUG_IF(fTested, STREAM_DBG, 8, "ProvideData: Before Acquire");
    m_pszCheckpoint = "Provide data before locking";
    OldIrql = KfAcquireSpinLock(&m_Lock);
    DV_STORE(m_nTail, nTail);
    SHOWDEBUG_IF(fTested, STREAM_DBG, 6, "ProvideData: Number of consumers %d", m_Consumers.GetCount());
    /* The chain holds the map's records (registration relinks it with every change): not the map's line. */
    QvConsumerInfo *pFirst = m_pFirstToTell;
    if (pFirst != NULL) {
        if (DV_LOAD(m_pWalkingThread) != pThread) {
            DV_STORE(m_pWalkingThread, pThread);
        }
        DV_STORE(m_pWalker, pThread);
        /*
         * The map's walk order, from the chain registration keeps: a walk of the hash table itself
         * visits every bucket, most of them empty (about 130 instructions a block with one consumer).
         */
        for (QvConsumerInfo *pConsumer = pFirst; pConsumer != NULL; pConsumer = pConsumer->m_pNextToTell) {
            SHOWDEBUG_IF(fTested, STREAM_DBG, 6, "ProvideData: NewDataReady for hConsumer 0x%08x",
                         (ULONG)(ULONG_PTR)pConsumer->m_hConsumer);
            m_pszCheckpoint = "Provide data before new data ready";
            m_pToldConsumer = pConsumer;
            pConsumer->NewDataReady(dwSize, TRUE, fTested);
            m_pszCheckpoint = "Provide data after new data ready";
        }
        DV_STORE(m_pWalker, (PKTHREAD)NULL);
    }
    KfReleaseSpinLock(&m_Lock, OldIrql);
    m_pszCheckpoint = "Provide data lock released";
    SHOWDEBUG_IF(fTested, STREAM_DBG, 8, "ProvideData: (Critical section) After Release");

    pProvider->ProvideDataComplete(pProviderBuffer, fTested);
    SHOWDEBUG_IF(fTested, STREAM_DBG, 7, "ProvideData: (End), (tail=%ld)", nTail);
    m_pszCheckpoint = "Provide data exit (end ok)";
}

/*
 * Reached without m_Lock, also from inside a consumer's new-data callback while ProvideData holds
 * it on this very processor; so it takes no lock. As a gate reader it keeps the record it found
 * alive: an unregistration cannot remove and free it until the report is done. Called from this
 * stream's own walk, on the walking thread, it needs no gate reference: m_Lock, held there, keeps
 * every registration out, and the walk is at DISPATCH_LEVEL already.
 */
DV_DATA_PATH void DeVididi::TakeReport(QvConsumerInfo *pConsumer, ULONG dwSize, const BOOLEAN fInWalk,
                                       const BOOLEAN fTested)
{
    /*
     * A joined consumer's ring keeps its size while the consumer is in the map; the record knows it,
     * on the reports' own line. Inside the walk the stream's field, on the provider's line, will do.
     */
    const ULONG nJoinedRingSize = fInWalk ? 0 : pConsumer->JoinedRingSize();
    if (fTested) {
        ULONG nBufferSize = nJoinedRingSize != 0 ? nJoinedRingSize : DV_LOAD(m_nBufferSize);
        if (dwSize > nBufferSize) {
            SHOWDEBUG(STREAM_DBG, 1,
                      "DataProcessed: ERROR in stream %ld, The processed size (%ld) is bigger than the buffer size (%ld)",
                      Handle(), dwSize, nBufferSize);
        }
    }
    if (fInWalk) {
        pConsumer->DataProcessedInWalk(dwSize, fTested);
    } else {
        pConsumer->DataProcessed(dwSize, nJoinedRingSize, fTested);
    }
}

/*
 * DataProcessed's usual case while every data-path level is 0: from a new-data callback of this
 * stream's walk, on the walking thread, for the consumer being told. FALSE, having done nothing,
 * for any other report.
 */
DV_DATA_PATH BOOLEAN DeVididi::DataProcessedQuietInWalk(PVOID hConsumer, ULONG dwSize, PKTHREAD pThread)
{
    /* The caller owns lane 0 (DvRundownIsNested): the provider's thread, whose line this is. */
    if (DV_LOAD(m_pWalker) != pThread || m_pToldConsumer->m_hConsumer != hConsumer) {
        return FALSE;
    }
    TakeReport(m_pToldConsumer, dwSize, TRUE, FALSE);
    return TRUE;
}

DV_DATA_PATH void DeVididi::DataProcessed(PVOID hConsumer, ULONG dwSize, PKTHREAD pThread, const BOOLEAN fTested)
{
    /* Each case built on its own: the walk's test is made once, not again at every step it decides. */
    if (IsWalkingThread(pThread)) {
        DataProcessedAs(hConsumer, dwSize, TRUE, fTested);
    } else {
        DataProcessedAs(hConsumer, dwSize, FALSE, fTested);
    }
}

DV_DATA_PATH void DeVididi::DataProcessedAs(PVOID hConsumer, ULONG dwSize, const BOOLEAN fInWalk, const BOOLEAN fTested)
{
    QvConsumerInfo *pConsumer = NULL;
    KIRQL OldIrql = PASSIVE_LEVEL;

    SHOWDEBUG_IF(fTested, STREAM_DBG, 7, "DataProcessed --- Start");
    if (!fInWalk) {
        EnterShared(&OldIrql);
    }
    if (fTested && dwSize >= 32768) {
        SHOWDEBUG(STREAM_DBG, 2, "DataProcessed: WARNING at stream %ld, the size of the processed data is %ld", Handle(),
                  dwSize);
    }
    SHOWDEBUG_IF(fTested, STREAM_DBG, 6, "DataProcessed: hConsumer=0x%08x dwSize=%ld", (ULONG)(ULONG_PTR)hConsumer, dwSize);
    /* From the walk's callback the record is most likely the one being told: no map lookup then. */
    if (fInWalk && m_pToldConsumer->m_hConsumer == hConsumer) {
        pConsumer = m_pToldConsumer;
    } else if (!m_Consumers.Lookup(hConsumer, pConsumer)) {
        SHOWDEBUG(STREAM_DBG, 1, "OnDataProcessed: ERROR in stream %ld has no consumer 0x%08x", Handle(),
                  (ULONG)(ULONG_PTR)hConsumer);
        SHOWDEBUG_IF(fTested, STREAM_DBG, 5, "DataProcessed --- End (With Error)");
        if (!fInWalk) {
            LeaveShared(OldIrql);
        }
        return;
    }
    TakeReport(pConsumer, dwSize, fInWalk, fTested);
    SHOWDEBUG_IF(fTested, STREAM_DBG, 7, "DataProcessed --- End");
    if (!fInWalk) {
        LeaveShared(OldIrql);
    }
}

/* ======================================================================================== */
/* DeVididi: registration                                                                   */
/* ======================================================================================== */

/*
 * Every registration runs under its request's rundown hold and, while it holds m_Lock, one
 * reader reference, which it turns into the exclusive bit only around its changes to the map, the
 * records, the provider pointer and the ring; client callbacks and request completions are made as
 * a reader, so that clients may call OnDataProcessed and OnNotify from them.
 */
void DeVididi::UnlockStream(KIRQL OldIrql, const char *pszAfterRelease)
{
    GateLeave();
    KfReleaseSpinLock(&m_Lock, OldIrql);
    SHOWDEBUG(STREAM_DBG, 8, "%s", pszAfterRelease);
}

NTSTATUS DeVididi::RegisterProvider(PSTREAMER_SRV_PARAM pSrvParam)
{
    static const char szAfterRelease[] = "RegisterProvider: (Critical section) After Release";
    STREAMER_NOTIFICATION_PARAM Param;
    QvProviderInfo *pProvider;
    NTSTATUS Status;
    KIRQL OldIrql;

    SHOWDEBUG(STREAM_DBG, 7, "RegisterProvider --- Start");
    if (pSrvParam == NULL) {
        SHOWDEBUG(STREAM_DBG, 1, "RegisterProvider: ERROR --- pStreamerSrvParam is NULL");
        SHOWDEBUG(STREAM_DBG, 5, "RegisterProvider --- End (With STATUS_INVALID_PARAMETER)");
        return STATUS_INVALID_PARAMETER;
    }
    SHOWDEBUG(STREAM_DBG, 8, "RegisterProvider: (Critical section) Before Acquire");
    OldIrql = KfAcquireSpinLock(&m_Lock);
    GateEnter();

    if (m_pProviderInfo != NULL) {
        SHOWDEBUG(STREAM_DBG, 2, "RegisterProvider: WARNNING --- Stream %ld already has provider",
                  pSrvParam->RegisterProvider.hStream);
        SHOWDEBUG(STREAM_DBG, 5, "RegisterProvider --- End (With STATUS_ALREADY_COMMITTED)");
        UnlockStream(OldIrql, szAfterRelease);
        return STATUS_ALREADY_COMMITTED;
    }
    if (Handle() == 0) {
        SetHandle(pSrvParam->RegisterProvider.hStream);
    }
    if (CreateProviderInfoClass(pSrvParam) != STATUS_SUCCESS) {
        SHOWDEBUG(STREAM_DBG, 1,
                  "RegisterProvider: ERROR --- An attempt to create ProviderInfo for Stream %ld has failed "
                  "(CreateProviderInfoClass returned NULL)",
                  Handle());
        SHOWDEBUG(STREAM_DBG, 5, "RegisterProvider --- End (With STATUS_UNSUCCESSFUL)");
        UnlockStream(OldIrql, szAfterRelease);
        return STATUS_UNSUCCESSFUL;
    }
    pProvider = m_pProviderInfo;

    /*
     * The ring is made without the lock. The provider record exists, so a second provider is
     * refused meanwhile, but the stream is not ready: a consumer that registers now waits as on a
     * stream without provider and is completed below with the ring's values, and no data is taken.
     * The request's rundown hold stays, so the unload waits for this registration.
     */
    GateLeave();
    KfReleaseSpinLock(&m_Lock, OldIrql);
    Status = CreateBuffer(pSrvParam->RegisterProvider.dwBufferSize);
    OldIrql = KfAcquireSpinLock(&m_Lock);
    GateEnter();

    if (Status != STATUS_SUCCESS && Status != STATUS_ALREADY_COMMITTED) {
        EnterExclusive();
        TracedDestroy(pProvider);
        __atomic_store_n(&m_pProviderInfo, (QvProviderInfo *)NULL, __ATOMIC_RELEASE);
        LeaveExclusive();
        SHOWDEBUG(STREAM_DBG, 1,
                  "RegisterProvider: ERROR --- An attemp to create buffer for Stream %ld has failed (CreateBuffer failed)",
                  Handle());
        SHOWDEBUG(STREAM_DBG, 5, "RegisterProvider --- End (With STATUS_UNSUCCESSFUL)");
        UnlockStream(OldIrql, szAfterRelease);
        return STATUS_UNSUCCESSFUL;
    }

    if (m_Consumers.GetCount() > 0) {
        POSITION pos = m_Consumers.GetStartPosition();
        SHOWDEBUG(STREAM_DBG, 4, "RegisterProvider: Stream %ld iterates the consumers in the map", Handle());
        while (pos != NULL) {
            void *hConsumer = NULL;
            QvConsumerInfo *pConsumer = NULL;
            PIRP pIrp;
            PSTREAMER_SRV_PARAM pRecord;
            m_Consumers.GetNextAssoc(pos, hConsumer, pConsumer);
            SHOWDEBUG(STREAM_DBG, 5, "RegisterProvider: Notifying Consumer 0x%08x that provider has been registered !",
                      (ULONG)(ULONG_PTR)hConsumer);
            if (DV_LOAD(pConsumer->m_fProviderRegistered) != 0) {
                continue;
            }
            SHOWDEBUG(STREAM_DBG, 3, "RegisterProvider: Stream %ld is updating parameters for pending consumer/s",
                      Handle());
            pIrp = pConsumer->m_pPendingIrp;
            pRecord = (PSTREAMER_SRV_PARAM)pIrp->AssociatedIrp.SystemBuffer;
            if (pRecord->RegisterConsumer.ppBuffer != NULL) {
                *pRecord->RegisterConsumer.ppBuffer = m_pBuffer;
            }
            if (pRecord->RegisterConsumer.pdwBufferSize != NULL) {
                *pRecord->RegisterConsumer.pdwBufferSize = m_nBufferSize;
            }
            if (pRecord->RegisterConsumer.pdwTail != NULL) {
                *pRecord->RegisterConsumer.pdwTail = m_nTail;
            }
            pIrp->IoStatus.Status = STATUS_SUCCESS;
            pIrp->IoStatus.Information = 0;
            SHOWDEBUG(STREAM_DBG, 8, "Provider registered (before IoCompleteRequest)");
            IofCompleteRequest(pIrp, IO_NO_INCREMENT);
            pConsumer->m_pPendingIrp = NULL;
            pConsumer->Join(m_nBufferSize);
        }
    }
    __atomic_store_n(&m_fProviderReady, 1, __ATOMIC_RELEASE);

    RtlZeroMemory(&Param, sizeof(Param));
    Param.StreamInfo.pInfo = pSrvParam->RegisterProvider.pStreamInfo;
    Param.StreamInfo.nSize = pSrvParam->RegisterProvider.nStreamInfoSize;
    DoNotifyConsumers(STREAMERNOTIFY_STREAM_INFO_CHANGED, &Param);
    if (m_Consumers.GetCount() > 0) {
        DoNotifyConsumers(STREAMERNOTIFY_PROVIDER_REGISTERED, NULL);
        RtlZeroMemory(&Param, sizeof(Param));
        Param.nConsumers = m_Consumers.GetCount();
        DoNotifyProvider(NULL, STREAMERNOTIFY_CONSUMER_REGISTERED, &Param);
    }

    UnlockStream(OldIrql, szAfterRelease);
    SHOWDEBUG(STREAM_DBG, 7, "RegisterProvider --- End (With STATUS_SUCCESS)");
    return STATUS_SUCCESS;
}

/* With m_Lock held, by RegisterProvider. */
NTSTATUS DeVididi::CreateProviderInfoClass(PSTREAMER_SRV_PARAM pSrvParam)
{
    QvProviderInfo *pProvider;

    SHOWDEBUG(STREAM_DBG, 7, "CreateProviderInfoClass --- Start");
    SHOWDEBUG(STREAM_DBG, 4, "CreateProviderInfoClass: Stream %ld has new provider Info", Handle());
    pProvider = NEW_OBJECT(QvProviderInfo, Handle(), pSrvParam->RegisterProvider.pfnNotify,
                           pSrvParam->RegisterProvider.pfnProvideDataComplete, pSrvParam->RegisterProvider.pContext);
    /* Lock-free readers (NotifyProvider, ShowStream) may follow the pointer as soon as it is set. */
    __atomic_store_n(&m_pProviderInfo, pProvider, __ATOMIC_RELEASE);
    if (pProvider == NULL) {
        SetHandle(0);
        SHOWDEBUG(STREAM_DBG, 1, "CreateProviderInfoClass: ERROR in stream %ld (Allocation QvProviderInfo class failed)",
                  Handle());
        SHOWDEBUG(STREAM_DBG, 5, "CreateProviderInfoClass --- End (With STATUS_NO_MEMORY)");
        return STATUS_NO_MEMORY;
    }
    if (pSrvParam->RegisterProvider.ppfnProvideData != NULL) {
        *pSrvParam->RegisterProvider.ppfnProvideData = QvProviderInfo::OnProvideData;
    }
    if (pSrvParam->RegisterProvider.ppfnNotify != NULL) {
        *pSrvParam->RegisterProvider.ppfnNotify = QvProviderInfo::OnNotify;
    }
    SHOWDEBUG(STREAM_DBG, 7, "CreateProviderInfoClass --- End (With STATUS_SUCCESS)");
    return STATUS_SUCCESS;
}

NTSTATUS DeVididi::UnRegisterProvider()
{
    static const char szAfterRelease[] = "UnRegisterProvider: (Critical section) After Release";
    QvProviderInfo *pProvider;
    KIRQL OldIrql;

    SHOWDEBUG(STREAM_DBG, 7, "UnRegisterProvider --- Start");
    SHOWDEBUG(STREAM_DBG, 8, "UnRegisterProvider: (Critical section) Before Acquire");
    OldIrql = KfAcquireSpinLock(&m_Lock);
    GateEnter();

    pProvider = m_pProviderInfo;
    if (pProvider != NULL && !IsProviderReady()) {
        /*
         * That registration is still creating the ring without the lock and will go on with its
         * record when it takes the lock again: the record cannot be taken from under it.
         */
        SHOWDEBUG(STREAM_DBG, 2,
                  "UnRegisterProvider: WARNING --- Stream %ld has a provider registration under way, nothing is "
                  "unregistered",
                  Handle());
        SHOWDEBUG(STREAM_DBG, 5, "UnRegisterProvider --- End (With STATUS_UNSUCCESSFUL)");
        UnlockStream(OldIrql, szAfterRelease);
        return STATUS_UNSUCCESSFUL;
    }

    EnterExclusive();
    if (pProvider != NULL) {
        __atomic_store_n(&m_fProviderReady, 0, __ATOMIC_RELEASE);
        __atomic_store_n(&m_pProviderInfo, (QvProviderInfo *)NULL, __ATOMIC_RELEASE);
        TracedDestroy(pProvider);
    }
    if (m_Consumers.GetCount() == 0) {
        if (m_pBuffer != NULL) {
            SHOWDEBUG(STREAM_DBG, 3, "UnRegisterProvider: *** Cleaning stream %ld ***  (Free buffer !)", Handle());
            TracedDelete(m_pBuffer);
        }
        CleanStream();
        LeaveExclusive();
    } else {
        LeaveExclusive();
        SHOWDEBUG(STREAM_DBG, 4, "UnRegisterProvider: Stream %ld notifying its consumers STREAMERNOTIFY_PROVIDER_UNREGISTERED",
                  Handle());
        DoNotifyConsumers(STREAMERNOTIFY_PROVIDER_UNREGISTERED, NULL);
    }

    UnlockStream(OldIrql, szAfterRelease);
    SHOWDEBUG(STREAM_DBG, 7, "UnRegisterProvider --- End (With STATUS_SUCCESS)");
    return STATUS_SUCCESS;
}

/*
 * The start shared by both consumer requests: the request and its record must be there and the
 * stream open; on STATUS_SUCCESS the stream lock is held and the caller is a gate reader.
 */
NTSTATUS DeVididi::BeginConsumerRequest(PIRP pIrp, const char *pszName, PSTREAMER_SRV_PARAM *ppRecord,
                                        KIRQL *pOldIrql)
{
    PSTREAMER_SRV_PARAM pRecord;

    SHOWDEBUG(STREAM_DBG, 7, "%s --- Start", pszName);
    if (pIrp == NULL) {
        SHOWDEBUG(STREAM_DBG, 1, "%s: ERROR --- pIrp is NULL", pszName);
        SHOWDEBUG(STREAM_DBG, 5, "%s --- End (With STATUS_INVALID_PARAMETER_1)", pszName);
        return STATUS_INVALID_PARAMETER_1;
    }
    /* Every member of the record begins with hStream. */
    pRecord = (PSTREAMER_SRV_PARAM)pIrp->AssociatedIrp.SystemBuffer;
    if (pRecord == NULL) {
        SHOWDEBUG(STREAM_DBG, 1, "%s: ERROR --- pStreamerSrvParam is NULL", pszName);
        SHOWDEBUG(STREAM_DBG, 5, "%s --- End (With STATUS_UNSUCCESSFUL)", pszName);
        return STATUS_UNSUCCESSFUL;
    }
    SHOWDEBUG(STREAM_DBG, 8, "%s: (Critical section) Before Acquire", pszName);
    *pOldIrql = KfAcquireSpinLock(&m_Lock);
    GateEnter();
    *ppRecord = pRecord;
    return STATUS_SUCCESS;
}

NTSTATUS DeVididi::RegisterConsumer(PIRP pIrp)
{
    static const char szAfterRelease[] = "RegisterConsumer: (Critical section) After Release";
    STREAMER_NOTIFICATION_PARAM Param;
    DV_INFO_PASS InfoPass;
    PSTREAMER_SRV_PARAM pRecord;
    QvConsumerInfo *pConsumer = NULL;
    PVOID hConsumer;
    LONG nCountBefore;
    KIRQL OldIrql;
    NTSTATUS ntStatus;

    ntStatus = BeginConsumerRequest(pIrp, "RegisterConsumer", &pRecord, &OldIrql);
    if (ntStatus != STATUS_SUCCESS) {
        return ntStatus;
    }

    if (Handle() == 0) {
        SetHandle(pRecord->RegisterConsumer.hStream);
    }
    hConsumer = pRecord->RegisterConsumer.hConsumer;
    if (hConsumer == NULL) {
        SHOWDEBUG(STREAM_DBG, 1, "RegisterConsumer: ERROR in stream %ld, the handle that was given to the consumer is NULL.",
                  Handle());
        SHOWDEBUG(STREAM_DBG, 5, "RegisterConsumer --- End (With STATUS_UNSUCCESSFUL)");
        UnlockStream(OldIrql, szAfterRelease);
        return STATUS_UNSUCCESSFUL;
    }
    SHOWDEBUG(STREAM_DBG, 4, "RegisterConsumer: The registered consumer got handle 0x%08x", (ULONG)(ULONG_PTR)hConsumer);
    if (m_Consumers.Lookup(hConsumer, pConsumer)) {
        SHOWDEBUG(STREAM_DBG, 2, "RegisterConsumer: A handle 0x%08x is already exist in the consumer list of stream %ld",
                  (ULONG)(ULONG_PTR)hConsumer, Handle());
        SHOWDEBUG(STREAM_DBG, 5, "RegisterConsumer --- End (With STATUS_ADDRESS_ALREADY_ASSOCIATED)");
        UnlockStream(OldIrql, szAfterRelease);
        return STATUS_ADDRESS_ALREADY_ASSOCIATED;
    }

    pConsumer = NEW_OBJECT(QvConsumerInfo, hConsumer, pRecord->RegisterConsumer.hStream,
                           pRecord->RegisterConsumer.pfnNewDataReady, pRecord->RegisterConsumer.pfnNotify, hConsumer,
                           (LONG)DV_LOAD(m_nBufferSize), pIrp);
    if (pConsumer == NULL) {
        SHOWDEBUG(STREAM_DBG, 1, "RegisterConsumer: ERROR in stream %ld, (Allocates QvConsumerInfo class failed)", Handle());
        SHOWDEBUG(STREAM_DBG, 5, "RegisterConsumer --- End (With STATUS_UNSUCCESSFUL)");
        UnlockStream(OldIrql, szAfterRelease);
        return STATUS_UNSUCCESSFUL;
    }
    EnterExclusive();
    nCountBefore = m_Consumers.GetCount();
    QvConsumerInfo *&rSlot = m_Consumers[hConsumer];
    if (m_Consumers.GetCount() == nCountBefore) {
        /*
         * The map had no memory for the entry (the handle was checked absent above, so a new entry
         * would have raised the count): the record is freed and the registration refused rather than
         * carried on with a consumer that no walk would ever find. A map left without a bucket table
         * gets its size back, so that a later registration may try again.
         */
        if (m_Consumers.GetCount() == 0 && m_Consumers.m_pHashTable == NULL) {
            m_Consumers.m_nHashTableSize = QVMAP_DEFAULT_HASH_SIZE;
        }
        LeaveExclusive();
        TracedDestroy(pConsumer);
        SHOWDEBUG(STREAM_DBG, 1,
                  "RegisterConsumer: ERROR in stream %ld, consumer 0x%08x could not be added to the consumer list "
                  "(no memory)",
                  Handle(), (ULONG)(ULONG_PTR)hConsumer);
        SHOWDEBUG(STREAM_DBG, 5, "RegisterConsumer --- End (With STATUS_UNSUCCESSFUL)");
        UnlockStream(OldIrql, szAfterRelease);
        return STATUS_UNSUCCESSFUL;
    }
    rSlot = pConsumer;
    RelinkConsumers();
    LeaveExclusive();

    if (pRecord->RegisterConsumer.ppfnDataProcessed != NULL) {
        *pRecord->RegisterConsumer.ppfnDataProcessed = QvConsumerInfo::OnDataProcessed;
    }
    if (pRecord->RegisterConsumer.ppfnNotify != NULL) {
        *pRecord->RegisterConsumer.ppfnNotify = QvConsumerInfo::OnNotify;
    }
    if (pRecord->RegisterConsumer.phConsumer != NULL) {
        *pRecord->RegisterConsumer.phConsumer = hConsumer;
    }
    /* Read atomically: a provider registering meanwhile may be creating the ring without the lock. */
    if (pRecord->RegisterConsumer.ppBuffer != NULL) {
        *pRecord->RegisterConsumer.ppBuffer = DV_LOAD(m_pBuffer);
    }
    if (pRecord->RegisterConsumer.pdwBufferSize != NULL) {
        *pRecord->RegisterConsumer.pdwBufferSize = DV_LOAD(m_nBufferSize);
    }
    if (pRecord->RegisterConsumer.pdwTail != NULL) {
        *pRecord->RegisterConsumer.pdwTail = DV_LOAD(m_nTail);
    }

    SnapshotStreamInfo(&Param, &InfoPass);
    pConsumer->NotifyConsumer(STREAMERNOTIFY_STREAM_INFO_CHANGED, &Param);
    EndInfoPass(&InfoPass);

    /*
     * Joined at once only when the provider's registration is complete, ring included; in the
     * window while it creates the ring the consumer waits and that registration completes it.
     */
    if (IsProviderReady()) {
        SHOWDEBUG(STREAM_DBG, 3, "RegisterConsumer: Consumer 0x%08x completed registering to stream %ld",
                  (ULONG)(ULONG_PTR)hConsumer, Handle());
        pConsumer->Join(DV_LOAD(m_nBufferSize));
        pConsumer->m_pPendingIrp = NULL;
        SHOWDEBUG(STREAM_DBG, 7, "RegisterConsumer --- End (With STATUS_SUCCESS)");
        UnlockStream(OldIrql, szAfterRelease);

        /*
         * Without the lock, as a reader: the consumer is looked up again, since an unregistration
         * may have come in between (it is then not told any more).
         */
        EnterShared(&OldIrql);
        RtlZeroMemory(&Param, sizeof(Param));
        Param.nConsumers = m_Consumers.GetCount();
        DoNotifyProvider(hConsumer, STREAMERNOTIFY_CONSUMER_REGISTERED, &Param);
        RtlZeroMemory(&Param, sizeof(Param));
        if (m_Consumers.Lookup(hConsumer, pConsumer)) {
            pConsumer->NotifyConsumer(STREAMERNOTIFY_PROVIDER_REGISTERED, &Param);
        }
        LeaveShared(OldIrql);
        SHOWDEBUG(STREAM_DBG, 7, "RegisterConsumer --- End (With STATUS_SUCCESS)");
        return STATUS_SUCCESS;
    }

    SHOWDEBUG(STREAM_DBG, 3,
              "RegisterConsumer: Consumer 0x%08x will wait a provider to registered to stream %ld, Its IRP will pend.",
              (ULONG)(ULONG_PTR)hConsumer, Handle());
    /*
     * Marked before the lock goes: from then on a provider registering on another processor may
     * complete the request, and it must not meet an unmarked one. Not touched after the release.
     */
    IoMarkIrpPending(pIrp);
    SHOWDEBUG(STREAM_DBG, 5, "RegisterConsumer --- End (With STATUS_PENDING)");
    UnlockStream(OldIrql, szAfterRelease);
    return STATUS_PENDING;
}

NTSTATUS DeVididi::UnRegisterConsumer(PIRP pIrp)
{
    STREAMER_NOTIFICATION_PARAM Param;
    PSTREAMER_SRV_PARAM pRecord;
    QvConsumerInfo *pConsumer = NULL;
    PVOID hConsumer;
    KIRQL OldIrql;
    NTSTATUS ntStatus;

    ntStatus = BeginConsumerRequest(pIrp, "UnRegisterConsumer", &pRecord, &OldIrql);
    if (ntStatus != STATUS_SUCCESS) {
        return ntStatus;
    }

    hConsumer = pRecord->UnRegisterConsumer.hConsumer;
    SHOWDEBUG(STREAM_DBG, 5, "UnRegisterConsumer: hConsumer =  0x%08x ", (ULONG)(ULONG_PTR)hConsumer);
    if (!m_Consumers.Lookup(hConsumer, pConsumer)) {
        SHOWDEBUG(STREAM_DBG, 2, "UnRegisterConsumer: Consumer 0x%08x is not found in stream %ld consumer's list",
                  (ULONG)(ULONG_PTR)hConsumer, Handle());
        SHOWDEBUG(STREAM_DBG, 5, "UnRegisterConsumer --- End (With STATUS_NOT_FOUND)");
        UnlockStream(OldIrql, "UnRegisterConsumer: (Critical section) After Release");
        return STATUS_NOT_FOUND;
    }

    /* Out of the map while no reader is inside: nobody can find the record afterwards. */
    EnterExclusive();
    m_Consumers.RemoveKey(hConsumer);
    RelinkConsumers();
    LeaveExclusive();
    if (pConsumer->m_pPendingIrp != NULL) {
        SHOWDEBUG(STREAM_DBG, 4,
                  "UnRegisterConsumer: Pended consumer 0x%08x (to provider) unregistered to stream %ld and completed "
                  "its IRP with STATUS_CANCELLED",
                  (ULONG)(ULONG_PTR)hConsumer, Handle());
        pConsumer->m_pPendingIrp->IoStatus.Information = 0;
        pConsumer->m_pPendingIrp->IoStatus.Status = STATUS_CANCELLED;
        IofCompleteRequest(pConsumer->m_pPendingIrp, IO_NO_INCREMENT);
        pConsumer->m_pPendingIrp = NULL;
    }
    TracedDestroy(pConsumer);

    if (m_Consumers.GetCount() == 0 && m_pProviderInfo == NULL) {
        EnterExclusive();
        if (m_pBuffer != NULL) {
            SHOWDEBUG(STREAM_DBG, 3, "UnRegisterConsumer: *** Cleaning Stream %ld *** (Free buffer)", Handle());
            TracedDelete(m_pBuffer);
        } else {
            SHOWDEBUG(STREAM_DBG, 3, "UnRegisterConsumer: *** Cleaning Stream %ld *** (There is no buffer to clean)",
                      Handle());
        }
        CleanStream();
        LeaveExclusive();
    }

    UnlockStream(OldIrql, "UnRegisterConsumer: (Critical section) After Release");
    EnterShared(&OldIrql);
    RtlZeroMemory(&Param, sizeof(Param));
    Param.nConsumers = m_Consumers.GetCount();
    DoNotifyProvider(hConsumer, STREAMERNOTIFY_CONSUMER_UNREGISTERED, &Param);
    LeaveShared(OldIrql);

    SHOWDEBUG(STREAM_DBG, 7, "UnRegisterConsumer --- End (With STATUS_SUCCESS)");
    return STATUS_SUCCESS;
}

/* ======================================================================================== */
/* DeVididi: notifications and the status report                                            */
/* ======================================================================================== */

void DeVididi::NotifyConsumers(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam)
{
    KIRQL OldIrql;

    EnterShared(&OldIrql);
    DoNotifyConsumers(dwType, pParam);
    LeaveShared(OldIrql);
}

/* As a gate reader or from a registration holding m_Lock: the map and the records stay put. */
void DeVididi::DoNotifyConsumers(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam)
{
    STREAMER_NOTIFICATION_PARAM Block;
    DV_INFO_PASS InfoPass;
    PSTREAMER_NOTIFICATION_PARAM pPassed = pParam;

    SHOWDEBUG(STREAM_DBG, 7, "NotifyConsumers --- Start");
    if (dwType >= STREAMERNOTIFY_CODE_LIMIT) {
        SHOWDEBUG(STREAM_DBG, 1, "NotifyConsumers: ERROR --- Stream %ld notify an invalid message to its consumers (dwType = %ld)",
                  Handle(), dwType);
        SHOWDEBUG(STREAM_DBG, 5, "NotifyConsumers --- End (With Error)");
        return;
    }
    SHOWDEBUG(STREAM_DBG, 4, "NotifyConsumers: Stream %ld notifying its consumers with message=%ld", Handle(), dwType);

    if (dwType == STREAMERNOTIFY_STREAM_INFO_CHANGED) {
        SHOWDEBUG(STREAM_DBG, 5, "NotifyConsumers: Stream %ld Got STREAMERNOTIFY_STREAM_INFO_CHANGED notification.",
                  Handle());
        if (pParam != NULL && pParam->StreamInfo.nSize >= 0) {
            ReplaceStreamInfo(pParam->StreamInfo.pInfo, pParam->StreamInfo.nSize, &Block, &InfoPass);
            if (Block.StreamInfo.pInfo != NULL && (ULONG)Block.StreamInfo.nSize >= sizeof(STREAMER_STREAM_INFO)) {
                PSTREAMER_STREAM_INFO pInfo = (PSTREAMER_STREAM_INFO)Block.StreamInfo.pInfo;
                if (pInfo->dwInfoType == STREAMINFO_VIDEO) {
                    SHOWDEBUG(STREAM_DBG, 4,
                              "NotifyConsumers: Stream %ld got Video information: FrameSize %d   FrameRate %d    "
                              "CompStandard %d",
                              Handle(), pInfo->u.Video.FrameSize, pInfo->u.Video.FrameRate,
                              pInfo->u.Video.CompStandard);
                } else if (pInfo->dwInfoType == STREAMINFO_AUDIO) {
                    SHOWDEBUG(STREAM_DBG, 4, "NotifyConsumers: Stream %ld got Audio information: CompStandard %d",
                              Handle(), pInfo->u.Audio.CompStandard);
                }
            }
        } else {
            SnapshotStreamInfo(&Block, &InfoPass);
        }
        /* Consumers and provider get the stream's own copy, never the sender's block. */
        pPassed = &Block;
    } else if (dwType == STREAMERNOTIFY_IS_ORBDRV_ACTIVE) {
        if (Handle() != 1) {
            SHOWDEBUG(STREAM_DBG, 1,
                      "NotifyConsumers: ERROR --- Stream %ld got STREAMERNOTIFY_IS_ORBDRV_ACTIVE (This message belong only "
                      "to Notification stream !!!",
                      Handle());
            SHOWDEBUG(STREAM_DBG, 5,
                      "NotifyConsumers --- End (Without passing STREAMERNOTIFY_IS_ORBDRV_ACTIVE  notification)");
            return;
        }
        /* The answer is written into the sender's block; without one there is nothing to pass on. */
        if (pParam == NULL) {
            SHOWDEBUG(STREAM_DBG, 1,
                      "NotifyConsumers: ERROR --- Stream %ld got STREAMERNOTIFY_IS_ORBDRV_ACTIVE without a parameter block",
                      Handle());
            SHOWDEBUG(STREAM_DBG, 5,
                      "NotifyConsumers --- End (Without passing STREAMERNOTIFY_IS_ORBDRV_ACTIVE  notification)");
            return;
        }
        pParam->fOrbDrvActive = Provider() != NULL ? 1 : 0;
    }

    SHOWDEBUG(STREAM_DBG, 4, "NotifyConsumers: Stream %ld iterates %ld consumers in the map", Handle(),
              m_Consumers.GetCount());
    if (m_Consumers.GetCount() > 0) {
        POSITION pos = m_Consumers.GetStartPosition();
        while (pos != NULL) {
            void *hConsumer = NULL;
            QvConsumerInfo *pConsumer = NULL;
            m_Consumers.GetNextAssoc(pos, hConsumer, pConsumer);
            SHOWDEBUG(STREAM_DBG, 5, "NotifyConsumers: Notify Consumer 0x%08x about notification number %ld",
                      (ULONG)(ULONG_PTR)hConsumer, dwType);
            pConsumer->NotifyConsumer(dwType, pPassed);
        }
    }
    if (dwType == STREAMERNOTIFY_STREAM_INFO_CHANGED) {
        DoNotifyProvider(NULL, STREAMERNOTIFY_STREAM_INFO_CHANGED, &Block);
        EndInfoPass(&InfoPass);
    }
    SHOWDEBUG(STREAM_DBG, 7, "NotifyConsumers --- End");
}

void DeVididi::NotifyProvider(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam)
{
    KIRQL OldIrql;

    EnterShared(&OldIrql);
    DoNotifyProvider(hConsumer, dwType, pParam);
    LeaveShared(OldIrql);
}

void DeVididi::DoNotifyProvider(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam)
{
    QvProviderInfo *pProvider = Provider();

    SHOWDEBUG(STREAM_DBG, 7, "NotifyProvider --- Start");
    if (pProvider == NULL) {
        SHOWDEBUG(STREAM_DBG, 4, "NotifyProvider: There is no provider for consumer 0x%08x", (ULONG)(ULONG_PTR)hConsumer);
        SHOWDEBUG(STREAM_DBG, 5, "NotifyProvider --- End (Without passing notification %ld)", dwType);
        return;
    }
    SHOWDEBUG(STREAM_DBG, 4, "NotifyProvider: Consumer 0x%08x is notifying the provider on stream %ld with message %ld",
              (ULONG)(ULONG_PTR)hConsumer, Handle(), dwType);
    pProvider->NotifyProvider(hConsumer, dwType, pParam);
    SHOWDEBUG(STREAM_DBG, 7, "NotifyProvider --- End");
}

void DeVididi::ShowStream()
{
    KIRQL OldIrql;

    EnterShared(&OldIrql);
    DoShowStream();
    LeaveShared(OldIrql);
}

void DeVididi::DoShowStream()
{
    QvProviderInfo *pProvider = Provider();

    SHOWDEBUG(STREAM_DBG, 1, "Stream %ld -------------------------------------------------", Handle());
    if (pProvider != NULL) {
        /*
         * Claims the bytes from the last report up to the running total in one step, so that two
         * reports at once never show the same bytes twice; a block counted meanwhile goes to the next.
         */
        ULONG nReported = __atomic_load_n(&pProvider->m_nBytesReported, __ATOMIC_ACQUIRE);
        ULONG nTotal;
        do {
            nTotal = DV_LOAD(pProvider->m_nBytesProvided);
        } while (!__atomic_compare_exchange_n(&pProvider->m_nBytesReported, &nReported, nTotal, 0, __ATOMIC_ACQ_REL,
                                              __ATOMIC_ACQUIRE));
        ULONG nBytes = nTotal - nReported;
        SHOWDEBUG(STREAM_DBG, 2,
                  " The Provider => provided %ld bytes since previous Get Status, (Pointer=0x%08x) (Tail position=%ld)",
                  nBytes, (ULONG)(ULONG_PTR)pProvider, DV_LOAD(m_nTail));
    } else {
        SHOWDEBUG(STREAM_DBG, 2, " Has no provider");
    }
    if (m_Consumers.GetCount() > 0) {
        POSITION pos = m_Consumers.GetStartPosition();
        int nNumber = 1;
        SHOWDEBUG(STREAM_DBG, 2, " Consumers => This stream has %ld consumer(s)", m_Consumers.GetCount());
        while (pos != NULL) {
            void *hConsumer = NULL;
            QvConsumerInfo *pConsumer = NULL;
            m_Consumers.GetNextAssoc(pos, hConsumer, pConsumer);
            SHOWDEBUG(STREAM_DBG, 2, "(%d) hConsumer %x, Free space on the buffer is %ld", nNumber,
                      (ULONG)(ULONG_PTR)hConsumer, pConsumer->AvailableSpace());
            ++nNumber;
        }
    } else {
        SHOWDEBUG(STREAM_DBG, 2, " This stream has no consumers !");
    }
    SHOWDEBUG(STREAM_DBG, 1, "ShowStream -------------------------------------------------");
}
