/*
 * The stream rundown; its protocol and the driver's lock order are written in rundown.h.
 */
#define DV_SOURCE_NAME "rundown"

#include "rundown.h"
#include "devididi.h"

#define RUNDOWN_OPEN 1L
#define RUNDOWN_HOLDER 2L

typedef struct _DV_LANE {
    PKTHREAD pThread; /* lane 0 only: the thread of the provider call holding it, else NULL */
    LONG nWord;       /* OPEN | holders * 2 */
    UCHAR abPad[DV_CACHE_LINE - sizeof(PKTHREAD) - sizeof(LONG)];
} DV_LANE;

typedef struct _DV_RUNDOWN {
    DV_LANE aLane[DV_RUNDOWN_LANES];
    /* Read-mostly: the stream, the provider thread's hint, the closer's event. */
    DeVididi *pStream;
    PKTHREAD pProviderHint;
    KEVENT Drained;
    UCHAR abPad[DV_CACHE_LINE - (sizeof(PVOID) * 2 + sizeof(KEVENT)) % DV_CACHE_LINE];
} DV_RUNDOWN;

static_assert(sizeof(DV_LANE) == DV_CACHE_LINE, "a lane is one cache line");

/* Static: it outlives every table, so a refused or late call never touches freed memory. */
static DV_RUNDOWN g_aRundown[STREAMER_NUM_STREAMS] __attribute__((aligned(DV_CACHE_LINE)));

static BOOLEAN LaneEnter(DV_RUNDOWN *pRundown, ULONG nLane)
{
    LONG *pnWord = &pRundown->aLane[nLane].nWord;
    LONG nWord = __atomic_load_n(pnWord, __ATOMIC_RELAXED);
    do {
        if ((nWord & RUNDOWN_OPEN) == 0) {
            return FALSE;
        }
    } while (!__atomic_compare_exchange_n(pnWord, &nWord, nWord + RUNDOWN_HOLDER, 0, __ATOMIC_SEQ_CST,
                                          __ATOMIC_RELAXED));
    return TRUE;
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

/* One of the shared lanes, by thread: threads on different processors mostly use different lines. */
static ULONG SharedLane(PKTHREAD pThread)
{
    ULONG_PTR nBits = (ULONG_PTR)pThread;
    return 1 + (ULONG)(((nBits >> 6) ^ (nBits >> 10)) % (DV_RUNDOWN_LANES - 1));
}

DeVididi *DvRundownEnter(ULONG nIndex, PULONG pnLane)
{
    DV_RUNDOWN *pRundown = &g_aRundown[nIndex & 0xFF];
    ULONG nLane = SharedLane(KeGetCurrentThread());
    if (!LaneEnter(pRundown, nLane)) {
        return NULL;
    }
    return HeldStream(pRundown, nIndex, nLane, pnLane);
}

DeVididi *DvRundownEnterProvider(ULONG nIndex, PULONG pnLane)
{
    DV_RUNDOWN *pRundown = &g_aRundown[nIndex & 0xFF];
    PKTHREAD pThread = KeGetCurrentThread();
    if (!LaneEnter(pRundown, DV_LANE_PROVIDER)) {
        return NULL;
    }
    if (__atomic_load_n(&pRundown->pProviderHint, __ATOMIC_RELAXED) != pThread) {
        __atomic_store_n(&pRundown->pProviderHint, pThread, __ATOMIC_RELAXED);
    }
    __atomic_store_n(&pRundown->aLane[DV_LANE_PROVIDER].pThread, pThread, __ATOMIC_RELAXED);
    return HeldStream(pRundown, nIndex, DV_LANE_PROVIDER, pnLane);
}

DeVididi *DvRundownEnterReport(ULONG nIndex, PULONG pnLane)
{
    DV_RUNDOWN *pRundown = &g_aRundown[nIndex & 0xFF];
    PKTHREAD pThread = KeGetCurrentThread();
    /* Only this thread names itself on the provider's lane, and clears it before that hold goes. */
    if (__atomic_load_n(&pRundown->pProviderHint, __ATOMIC_RELAXED) == pThread &&
        __atomic_load_n(&pRundown->aLane[DV_LANE_PROVIDER].pThread, __ATOMIC_RELAXED) == pThread) {
        *pnLane = DV_LANE_NESTED;
        return __atomic_load_n(&pRundown->pStream, __ATOMIC_RELAXED);
    }
    ULONG nLane = SharedLane(pThread);
    if (!LaneEnter(pRundown, nLane)) {
        return NULL;
    }
    return HeldStream(pRundown, nIndex, nLane, pnLane);
}

void DvRundownLeave(ULONG nIndex, ULONG nLane)
{
    if (nLane == DV_LANE_NESTED) {
        return;
    }
    DV_RUNDOWN *pRundown = &g_aRundown[nIndex & 0xFF];
    if (nLane == DV_LANE_PROVIDER) {
        __atomic_store_n(&pRundown->aLane[DV_LANE_PROVIDER].pThread, (PKTHREAD)NULL, __ATOMIC_RELAXED);
    }
    /* The last holder of a closed lane wakes the closer; the event is static, so it is still there. */
    if (__atomic_sub_fetch(&pRundown->aLane[nLane].nWord, RUNDOWN_HOLDER, __ATOMIC_SEQ_CST) == 0) {
        KeSetEvent(&pRundown->Drained, 0, FALSE);
    }
}

void DvRundownOpenStream(ULONG nIndex, DeVididi *pStream)
{
    DV_RUNDOWN *pRundown = &g_aRundown[nIndex & 0xFF];
    KeInitializeEvent(&pRundown->Drained, SynchronizationEvent, FALSE);
    __atomic_store_n(&pRundown->pProviderHint, (PKTHREAD)NULL, __ATOMIC_RELAXED);
    __atomic_store_n(&pRundown->pStream, pStream, __ATOMIC_RELEASE);
    for (ULONG nLane = 0; nLane < DV_RUNDOWN_LANES; ++nLane) {
        __atomic_store_n(&pRundown->aLane[nLane].pThread, (PKTHREAD)NULL, __ATOMIC_RELAXED);
        __atomic_store_n(&pRundown->aLane[nLane].nWord, RUNDOWN_OPEN, __ATOMIC_SEQ_CST);
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
        __atomic_fetch_and(&pRundown->aLane[nLane].nWord, ~RUNDOWN_OPEN, __ATOMIC_SEQ_CST);
    }
}

static BOOLEAN IsDrained(DV_RUNDOWN *pRundown)
{
    for (ULONG nLane = 0; nLane < DV_RUNDOWN_LANES; ++nLane) {
        if (__atomic_load_n(&pRundown->aLane[nLane].nWord, __ATOMIC_SEQ_CST) != 0) {
            return FALSE;
        }
    }
    return TRUE;
}

static BOOLEAN IsHeldByCaller(DV_RUNDOWN *pRundown)
{
    return __atomic_load_n(&pRundown->aLane[DV_LANE_PROVIDER].pThread, __ATOMIC_RELAXED) == KeGetCurrentThread()
               ? TRUE
               : FALSE;
}

static void WaitDrained(DV_RUNDOWN *pRundown)
{
    /* A wake is a hint: the lanes are read again, so an old signal only costs a pass. */
    while (!IsDrained(pRundown)) {
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
