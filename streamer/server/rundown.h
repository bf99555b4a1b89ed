/*
 * The stream rundown: the one way into a stream and out of it.
 *
 * Every entry point reaches its stream through here and nowhere else: the provider's data call,
 * consumer reports (from the walk or from any other thread), notifications both ways, every control
 * request that names a stream (registration, unregistration, status, streams, the ORB query) and
 * the unload. A call holds its stream from DvRundownEnter* to DvRundownLeave; the unload closes
 * every stream and waits for the last holder before the table is freed.
 *
 * Storage. The rundown lives in static storage (g_aRundown, one record a stream) that outlives the
 * table: a call that is refused, or that leaves after the close began, touches only its record,
 * never the table. A holder reads its stream from the record (pStream), never the table's global.
 *
 * A lane is one word, bit 0 OPEN and the holds counted from bit 1 on (2 a hold), and the name of
 * the one thread that holds it (its owner), however deep its holds nest:
 *   enter  one compare-exchange from OPEN alone (the lane free) to OPEN + 2, then the owner's name;
 *          or, by the owner only, +2 while OPEN is set (a call nested in its own); refused without
 *          a write once OPEN is clear
 *   leave  by the owner: its last hold clears the name, then one decrement (-2); the holder that
 *          takes a closed lane to 0 signals the closer's event. A hold taken from the free lane
 *          is the last when it leaves (holds nested in it leave first): it knows without a read
 *   close  one locked and-not of OPEN (a full barrier), then a wait until the lane reads 0
 * OPEN and the count share the word, so no store-load fence is needed between them: either the
 * enter's exchange comes first and the close sees its holder, or the close comes first and the
 * exchange fails. Only the owner changes the count (the close changes only OPEN), and only a thread
 * names itself, so a thread that finds its name on a lane holds that lane: a thread's holds are
 * known exactly, on whichever lane and however nested.
 *
 * A stream has DV_RUNDOWN_LANES lanes, each on a cache line of its own: lane 0 is the provider's
 * (its data call, written on every block by the provider's thread only), the others take every
 * other call, each thread from its own lane on to the next free one, so that reports from other
 * processors share no line with the provider and no count with other streams. A provider call
 * that finds lane 0 owned by another thread takes a shared lane; a call that finds every shared
 * lane owned by other threads (more threads inside one stream at once than it has shared lanes)
 * waits for one to leave. The close sums the lanes.
 *
 * States of a stream's rundown:
 *   closed, empty   zero (static storage before DriverEntry, and after the unload): all refused
 *   open            DriverEntry published pStream and set OPEN on every lane
 *   closing         the unload has cleared OPEN: new entries refused, holders still inside
 *   closed, empty   the last holder has left and signalled; the unload frees the table
 *
 * Nested holds. A consumer report made by a callback of the stream's own provider call (on its
 * thread) is covered by that call's hold: the thread finds its name on the provider's lane. A hint
 * on a read-mostly line, written only when the provider's thread changes, keeps other processors
 * off the provider's line. Every other call made from inside a hold of its own thread (a provider
 * call from a callback, a notification, a completion routine run inside a request) nests on that
 * thread's lane. The unload reached from inside any hold of its thread on a stream (a removal from
 * a callback, or from the completion routine of the ORB query, which holds stream 1 until its
 * notification has gone out) would wait for that hold in vain: it refuses instead of waiting.
 *
 * Every access to a lane's word is a named scheduling point (KX_SCHEDULING_POINT, kernel.h), so
 * that tests can force an interleaving. tests/model/rundown.pml checks this protocol.
 *
 * Under the rundown, inside a stream (devididi.h): the stream's reader/exclusive gate (lock-free
 * readers against a registration changing the records), then the stream lock. A replaced
 * information block is freed by the last pass that hands it out (DV_INFO_PASS, devididi.cpp),
 * under the information lock alone; tests/model/info-passes.pml checks that order.
 *
 * Lock order of the whole driver, outermost first (a holder may take what is below, never above):
 *   1  rundown hold of a stream        any level; never waits (entry refused once closing)
 *   2  stream lock (m_Lock)            DISPATCH_LEVEL; no two streams' locks at once
 *   3  stream gate, exclusive          taken under m_Lock; waits only for gate readers
 *   4  the consumer map (m_Consumers)  under 2 for changes, read by gate readers
 *   5  information lock (m_InfoLock)   the information block's swap and the passes' list
 *   6  open counter lock, debug log's lock, trace list lock   innermost, leaves
 * The unload's close waits at PASSIVE_LEVEL for holders, and holds nothing while it waits.
 */
#ifndef DEVIDIDI_RUNDOWN_H
#define DEVIDIDI_RUNDOWN_H

#include "kernel.h"
#include "devididi.h"

/* Lane 0 is the provider's; the others are shared by every other call, each owned by one thread at a time. */
#define DV_RUNDOWN_LANES 9
#define DV_LANE_PROVIDER 0
/* A report inside its stream's provider call: covered by that hold, nothing to leave. */
#define DV_LANE_NESTED 0xFFFFFFFFUL
/*
 * A lane taken free by the inline exchange (DV_LANE_ALONE + its number): that is the lane's one
 * hold, since holds nested in it leave before it does, so its leave needs no read of the word.
 */
#define DV_LANE_ALONE 0x100UL

#define RUNDOWN_OPEN 1L
#define RUNDOWN_HOLDER 2L

typedef struct _DV_LANE {
    PKTHREAD pOwner; /* the one thread holding the lane (however deep), NULL while it is free */
    LONG nWord;      /* OPEN | holds * 2 */
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

/*
 * Static: it outlives every table, so a refused or late call never touches freed memory. Only this
 * header's inline forms of the data path's calls and rundown.cpp touch it.
 */
extern DV_RUNDOWN g_aRundown[STREAMER_NUM_STREAMS];

/* Any call but the provider's data call; NULL when the stream is not open (nothing held then). */
DeVididi *DvRundownEnter(ULONG nIndex, PULONG pnLane);
/* The same once the exchange on the thread's own shared lane failed: deeper, another lane, or refused. */
DeVididi *DvRundownEnterSharedBusy(ULONG nIndex, PKTHREAD pThread, PULONG pnLane);
/* The provider's data call once lane 0 was not free: nested on it, or a shared lane, or refused. */
DeVididi *DvRundownEnterProviderBusy(ULONG nIndex, PKTHREAD pThread, PULONG pnLane);
/* The last holder of a closed lane wakes the closer; the second form is given the lane. */
void DvRundownSignalDrained(ULONG nIndex);
void DvRundownSignalDrainedLane(DV_LANE *pLane);

/*
 * The data path's calls, inline, for the calling thread pThread: the usual case (lane 0 free and
 * open for the provider; a report inside the provider call of its own thread) takes no call.
 */
/* A hold taken by the exchange from the free lane: the owner's last, so its name goes, then the decrement. */
static inline void DvRundownLeaveAlone(ULONG nIndex, ULONG nLane)
{
    /* Only the lane's address is kept across the hold: the rare signal finds its stream from it. */
    DV_LANE *pLane = &g_aRundown[nIndex & 0xFF].aLane[nLane];
    __atomic_store_n(&pLane->pOwner, (PKTHREAD)NULL, __ATOMIC_RELAXED);
    KX_SCHEDULING_POINT("rundown.lane.leave");
    if (__atomic_sub_fetch(&pLane->nWord, RUNDOWN_HOLDER, __ATOMIC_SEQ_CST) == 0) {
        DvRundownSignalDrainedLane(pLane);
    }
}

static inline void DvRundownLeave(ULONG nIndex, ULONG nLane)
{
    if (nLane >= DV_LANE_ALONE) {
        if (nLane != DV_LANE_NESTED) {
            DvRundownLeaveAlone(nIndex, nLane - DV_LANE_ALONE);
        }
        return;
    }
    DV_LANE *pLane = &g_aRundown[nIndex & 0xFF].aLane[nLane];
    /* Only the owner changes the count (the close only clears OPEN): the last hold frees the name. */
    KX_SCHEDULING_POINT("rundown.lane.read");
    if (__atomic_load_n(&pLane->nWord, __ATOMIC_SEQ_CST) / RUNDOWN_HOLDER == 1) {
        __atomic_store_n(&pLane->pOwner, (PKTHREAD)NULL, __ATOMIC_RELAXED);
    }
    /* The last holder of a closed lane wakes the closer; the event is static, so it is still there. */
    KX_SCHEDULING_POINT("rundown.lane.leave");
    if (__atomic_sub_fetch(&pLane->nWord, RUNDOWN_HOLDER, __ATOMIC_SEQ_CST) == 0) {
        DvRundownSignalDrained(nIndex);
    }
}

/* The stream of a rundown the caller holds (never NULL then: the close clears it only once drained). */
static inline DeVididi *DvRundownHeldStream(ULONG nIndex)
{
    return __atomic_load_n(&g_aRundown[nIndex & 0xFF].pStream, __ATOMIC_RELAXED);
}

/*
 * The provider's usual case: lane 0 open and free, taken by one exchange and named (the hold is
 * DV_LANE_ALONE + DV_LANE_PROVIDER, its stream DvRundownHeldStream). FALSE, nothing written, otherwise.
 */
static inline BOOLEAN DvRundownEnterProviderFree(ULONG nIndex, PKTHREAD pThread)
{
    DV_RUNDOWN *pRundown = &g_aRundown[nIndex & 0xFF];
    DV_LANE *pLane = &pRundown->aLane[DV_LANE_PROVIDER];
    LONG nFree = RUNDOWN_OPEN;
    KX_SCHEDULING_POINT("rundown.lane.exchange");
    if (!__atomic_compare_exchange_n(&pLane->nWord, &nFree, RUNDOWN_OPEN + RUNDOWN_HOLDER, 0, __ATOMIC_SEQ_CST,
                                     __ATOMIC_RELAXED)) {
        return FALSE;
    }
    __atomic_store_n(&pLane->pOwner, pThread, __ATOMIC_RELAXED);
    if (__atomic_load_n(&pRundown->pProviderHint, __ATOMIC_RELAXED) != pThread) {
        __atomic_store_n(&pRundown->pProviderHint, pThread, __ATOMIC_RELAXED);
    }
    return TRUE;
}

static inline DeVididi *DvRundownEnterProvider(ULONG nIndex, PKTHREAD pThread, PULONG pnLane)
{
    if (!DvRundownEnterProviderFree(nIndex, pThread)) {
        return DvRundownEnterProviderBusy(nIndex, pThread, pnLane);
    }
    *pnLane = DV_LANE_ALONE + DV_LANE_PROVIDER;
    return DvRundownHeldStream(nIndex);
}

/* The shared lane a thread tries first: threads on different processors mostly use different lines. */
static inline ULONG DvRundownSharedLane(PKTHREAD pThread)
{
    ULONG_PTR nBits = (ULONG_PTR)pThread;
    return 1 + (ULONG)(((nBits >> 6) ^ (nBits >> 10)) % (DV_RUNDOWN_LANES - 1));
}

/*
 * The usual case of any other call: the thread's own shared lane open and free, taken by one
 * exchange and named; its number is returned (the hold is DV_LANE_ALONE + it, the stream
 * DvRundownHeldStream). 0, nothing written, otherwise.
 */
static inline ULONG DvRundownEnterSharedFree(ULONG nIndex, PKTHREAD pThread)
{
    ULONG nLane = DvRundownSharedLane(pThread);
    DV_LANE *pLane = &g_aRundown[nIndex & 0xFF].aLane[nLane];
    LONG nFree = RUNDOWN_OPEN;
    KX_SCHEDULING_POINT("rundown.lane.exchange");
    if (!__atomic_compare_exchange_n(&pLane->nWord, &nFree, RUNDOWN_OPEN + RUNDOWN_HOLDER, 0, __ATOMIC_SEQ_CST,
                                     __ATOMIC_RELAXED)) {
        return 0;
    }
    __atomic_store_n(&pLane->pOwner, pThread, __ATOMIC_RELAXED);
    return nLane;
}

/* DvRundownEnter for the calling thread pThread. */
static inline DeVididi *DvRundownEnterAs(ULONG nIndex, PKTHREAD pThread, PULONG pnLane)
{
    ULONG nLane = DvRundownEnterSharedFree(nIndex, pThread);
    if (nLane == 0) {
        return DvRundownEnterSharedBusy(nIndex, pThread, pnLane);
    }
    *pnLane = DV_LANE_ALONE + nLane;
    return DvRundownHeldStream(nIndex);
}

/* Whether pThread is inside its provider call on lane 0: a hold that covers a call nested in it. */
static inline BOOLEAN DvRundownIsNested(ULONG nIndex, PKTHREAD pThread)
{
    DV_RUNDOWN *pRundown = &g_aRundown[nIndex & 0xFF];
    /* The hint keeps other processors off the provider's line; the owner's name is what counts. */
    return __atomic_load_n(&pRundown->pProviderHint, __ATOMIC_RELAXED) == pThread &&
                   __atomic_load_n(&pRundown->aLane[DV_LANE_PROVIDER].pOwner, __ATOMIC_RELAXED) == pThread
               ? TRUE
               : FALSE;
}

/* A consumer report: nested when made on the thread of the stream's provider call. */
static inline DeVididi *DvRundownEnterReport(ULONG nIndex, PKTHREAD pThread, PULONG pnLane)
{
    if (DvRundownIsNested(nIndex, pThread)) {
        *pnLane = DV_LANE_NESTED;
        return DvRundownHeldStream(nIndex);
    }
    return DvRundownEnterAs(nIndex, pThread, pnLane);
}

/* The provider's data call, on lane 0, naming its thread there. */
static inline DeVididi *DvRundownEnterProvider(ULONG nIndex, PULONG pnLane)
{
    return DvRundownEnterProvider(nIndex, KeGetCurrentThread(), pnLane);
}

static inline DeVididi *DvRundownEnterReport(ULONG nIndex, PULONG pnLane)
{
    return DvRundownEnterReport(nIndex, KeGetCurrentThread(), pnLane);
}

/* DriverEntry: the 256 streams of this table open. */
void DvRundownOpen(DeVididi *pTable);
/* One stream alone (tests tear a single stream down): open on pStream; close and wait, FALSE when
 * the calling thread holds it (then it is left closing). */
void DvRundownOpenStream(ULONG nIndex, DeVididi *pStream);
BOOLEAN DvRundownCloseStream(ULONG nIndex);
/*
 * The unload, at PASSIVE_LEVEL: closes every stream, waits for the last holder of each and returns
 * the table (NULL when none is open). Reached from inside any hold of its thread on a stream, it
 * cannot wait: it returns NULL with that stream in *pnHeldStream (else 0xFFFFFFFF), the streams
 * left closing, and a later unload finishes.
 */
DeVididi *DvRundownClose(PULONG pnHeldStream);

#endif
