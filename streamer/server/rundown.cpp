/*
 * The stream rundown; its protocol and the driver's lock order are written in rundown.h.
 * Model: tests/model/rundown.pml (every step there names the function below it stands for).
 */
#define DV_SOURCE_NAME "rundown"

#include "rundown.h"
#include "devididi.h"

#if defined(__i386__) || defined(__x86_64__)
#define DV_CPU_PAUSE() __builtin_ia32_pause()
#else
#define DV_CPU_PAUSE() ((void)0)
#endif

DV_RUNDOWN g_aRundown[STREAMER_NUM_STREAMS] __attribute__((aligned(DV_CACHE_LINE)));

/* Every access to a lane's word is a named scheduling point (kernel.h), so that tests can force
 * any interleaving of enters, leaves and the close. */
static inline LONG LaneRead(DV_LANE *pLane)
{
    KX_SCHEDULING_POINT("rundown.lane.read");
    return __atomic_load_n(&pLane->nWord, __ATOMIC_SEQ_CST);
}

static inline void LaneWrite(DV_LANE *pLane, LONG nWord)
{
    KX_SCHEDULING_POINT("rundown.lane.write");
    __atomic_store_n(&pLane->nWord, nWord, __ATOMIC_SEQ_CST);
}

static inline BOOLEAN LaneExchange(DV_LANE *pLane, LONG nFrom, LONG nTo)
{
    KX_SCHEDULING_POINT("rundown.lane.exchange");
    return __atomic_compare_exchange_n(&pLane->nWord, &nFrom, nTo, 0, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED) ? TRUE
                                                                                                           : FALSE;
}

/*
 * A new hold on a lane: taken when the lane is open and free (then this thread owns it), or
 * deeper when this thread owns it already. FALSE with *pfClosed set when the stream is closing.
 */
static BOOLEAN LaneEnterBusy(DV_LANE *pLane, PKTHREAD pThread, BOOLEAN *pfClosed);

static BOOLEAN LaneEnter(DV_LANE *pLane, PKTHREAD pThread, BOOLEAN *pfClosed)
{
    if (LaneExchange(pLane, RUNDOWN_OPEN, RUNDOWN_OPEN + RUNDOWN_HOLDER)) {
        __atomic_store_n(&pLane->pOwner, pThread, __ATOMIC_RELAXED);
        return TRUE;
    }
    return LaneEnterBusy(pLane, pThread, pfClosed);
}

/* LaneEnter once its exchange from the free lane failed: deeper for the owner, else refused. */
static BOOLEAN LaneEnterBusy(DV_LANE *pLane, PKTHREAD pThread, BOOLEAN *pfClosed)
{
    /* Only this thread names itself, and clears its name before its last hold goes. */
    if (__atomic_load_n(&pLane->pOwner, __ATOMIC_RELAXED) == pThread) {
        LONG nWord = LaneRead(pLane);
        while ((nWord & RUNDOWN_OPEN) != 0) {
            if (LaneExchange(pLane, nWord, nWord + RUNDOWN_HOLDER)) {
                return TRUE;
            }
            nWord = LaneRead(pLane);
        }
        *pfClosed = TRUE;
        return FALSE;
    }
    if ((LaneRead(pLane) & RUNDOWN_OPEN) == 0) {
        *pfClosed = TRUE;
    }
    return FALSE;
}

/* The stream of a held record: stable while held, since the close clears it only when drained. */
static DeVididi *HeldStream(DV_RUNDOWN *pRundown, ULONG nIndex, ULONG nLane, PULONG pnLane)
{
    DeVididi *pStream = __atomic_load_n(&pRundown->pStream, __ATOMIC_ACQUIRE);
    if (pStream == NULL) {
        DvRundownLeave(nIndex, nLane);
        return NULL;
    }
    *pnLane = nLane;
    return pStream;
}

/*
 * A hold on one of the shared lanes: the one this thread owns, else a free one, from the thread's
 * own lane on. While every shared lane is owned by other threads (more threads inside one stream
 * than it has lanes) it waits for one of them to leave. fFirstTried: the exchange on the thread's
 * own lane was made already and failed (DvRundownEnterAs, rundown.h).
 */
static BOOLEAN EnterShared(DV_RUNDOWN *pRundown, PKTHREAD pThread, PULONG pnLane, BOOLEAN fFirstTried)
{
    ULONG nFirst = DvRundownSharedLane(pThread) - 1;
    for (;;) {
        for (ULONG i = 0; i < DV_RUNDOWN_LANES - 1; ++i) {
            ULONG nLane = 1 + (nFirst + i) % (DV_RUNDOWN_LANES - 1);
            BOOLEAN fClosed = FALSE;
            BOOLEAN fEntered = fFirstTried ? LaneEnterBusy(&pRundown->aLane[nLane], pThread, &fClosed)
                                           : LaneEnter(&pRundown->aLane[nLane], pThread, &fClosed);
            fFirstTried = FALSE;
            if (fEntered) {
                *pnLane = nLane;
                return TRUE;
            }
            if (fClosed) {
                return FALSE;
            }
        }
        DV_CPU_PAUSE();
    }
}

DeVididi *DvRundownEnterSharedBusy(ULONG nIndex, PKTHREAD pThread, PULONG pnLane)
{
    DV_RUNDOWN *pRundown = &g_aRundown[nIndex & 0xFF];
    ULONG nLane;
    if (!EnterShared(pRundown, pThread, &nLane, TRUE)) {
        return NULL;
    }
    return HeldStream(pRundown, nIndex, nLane, pnLane);
}

DeVididi *DvRundownEnter(ULONG nIndex, PULONG pnLane)
{
    return DvRundownEnterAs(nIndex, KeGetCurrentThread(), pnLane);
}

DeVididi *DvRundownEnterProviderBusy(ULONG nIndex, PKTHREAD pThread, PULONG pnLane)
{
    DV_RUNDOWN *pRundown = &g_aRundown[nIndex & 0xFF];
    BOOLEAN fClosed = FALSE;
    ULONG nLane = DV_LANE_PROVIDER;
    if (!LaneEnterBusy(&pRundown->aLane[DV_LANE_PROVIDER], pThread, &fClosed)) {
        /* Closing; or another thread's provider call is inside: a shared lane then. */
        if (fClosed || !EnterShared(pRundown, pThread, &nLane, FALSE)) {
            return NULL;
        }
    }
    if (nLane == DV_LANE_PROVIDER && __atomic_load_n(&pRundown->pProviderHint, __ATOMIC_RELAXED) != pThread) {
        __atomic_store_n(&pRundown->pProviderHint, pThread, __ATOMIC_RELAXED);
    }
    return HeldStream(pRundown, nIndex, nLane, pnLane);
}

void DvRundownSignalDrained(ULONG nIndex)
{
    KeSetEvent(&g_aRundown[nIndex & 0xFF].Drained, 0, FALSE);
}

void DvRundownSignalDrainedLane(DV_LANE *pLane)
{
    DvRundownSignalDrained((ULONG)(((PUCHAR)pLane - (PUCHAR)g_aRundown) / sizeof(DV_RUNDOWN)));
}

void DvRundownOpenStream(ULONG nIndex, DeVididi *pStream)
{
    DV_RUNDOWN *pRundown = &g_aRundown[nIndex & 0xFF];
    KeInitializeEvent(&pRundown->Drained, SynchronizationEvent, FALSE);
    __atomic_store_n(&pRundown->pProviderHint, (PKTHREAD)NULL, __ATOMIC_RELAXED);
    __atomic_store_n(&pRundown->pStream, pStream, __ATOMIC_RELEASE);
    for (ULONG nLane = 0; nLane < DV_RUNDOWN_LANES; ++nLane) {
        __atomic_store_n(&pRundown->aLane[nLane].pOwner, (PKTHREAD)NULL, __ATOMIC_RELAXED);
        LaneWrite(&pRundown->aLane[nLane], RUNDOWN_OPEN);
    }
}

void DvRundownOpen(DeVididi *pTable)
{
    for (ULONG i = 0; i < STREAMER_NUM_STREAMS; ++i) {
        DvRundownOpenStream(i, &pTable[i]);
    }
}

/* A locked and-not on each lane: a full barrier between it and the reads of the counts after it. */
static void ShutLanes(DV_RUNDOWN *pRundown)
{
    for (ULONG nLane = 0; nLane < DV_RUNDOWN_LANES; ++nLane) {
        KX_SCHEDULING_POINT("rundown.lane.shut");
        __atomic_fetch_and(&pRundown->aLane[nLane].nWord, ~RUNDOWN_OPEN, __ATOMIC_SEQ_CST);
    }
}

static BOOLEAN IsDrained(DV_RUNDOWN *pRundown)
{
    for (ULONG nLane = 0; nLane < DV_RUNDOWN_LANES; ++nLane) {
        if (LaneRead(&pRundown->aLane[nLane]) != 0) {
            return FALSE;
        }
    }
    return TRUE;
}

/* Whether the calling thread holds the stream, on whichever lane and however deep. */
static BOOLEAN IsHeldByCaller(DV_RUNDOWN *pRundown)
{
    PKTHREAD pThread = KeGetCurrentThread();
    for (ULONG nLane = 0; nLane < DV_RUNDOWN_LANES; ++nLane) {
        if (__atomic_load_n(&pRundown->aLane[nLane].pOwner, __ATOMIC_RELAXED) == pThread) {
            return TRUE;
        }
    }
    return FALSE;
}

static void WaitDrained(DV_RUNDOWN *pRundown)
{
    /* A wake is a hint: the lanes are read again, so an old signal only costs a pass. */
    while (!IsDrained(pRundown)) {
        KX_SCHEDULING_POINT("rundown.close.wait");
        KeWaitForSingleObject(&pRundown->Drained, Executive, KernelMode, FALSE, NULL);
    }
}

BOOLEAN DvRundownCloseStream(ULONG nIndex)
{
    DV_RUNDOWN *pRundown = &g_aRundown[nIndex & 0xFF];
    ShutLanes(pRundown);
    if (IsHeldByCaller(pRundown)) {
        return FALSE;
    }
    WaitDrained(pRundown);
    __atomic_store_n(&pRundown->pStream, (DeVididi *)NULL, __ATOMIC_RELEASE);
    return TRUE;
}

DeVididi *DvRundownClose(PULONG pnHeldStream)
{
    *pnHeldStream = 0xFFFFFFFFUL;
    for (ULONG i = 0; i < STREAMER_NUM_STREAMS; ++i) {
        ShutLanes(&g_aRundown[i]);
    }
    for (ULONG i = 0; i < STREAMER_NUM_STREAMS; ++i) {
        if (IsHeldByCaller(&g_aRundown[i])) {
            *pnHeldStream = i;
            return NULL;
        }
    }
    DeVididi *pTable = __atomic_load_n(&g_aRundown[0].pStream, __ATOMIC_ACQUIRE);
    for (ULONG i = 0; i < STREAMER_NUM_STREAMS; ++i) {
        WaitDrained(&g_aRundown[i]);
        __atomic_store_n(&g_aRundown[i].pStream, (DeVididi *)NULL, __ATOMIC_RELEASE);
    }
    return pTable;
}
