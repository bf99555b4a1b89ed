/*
 * The stream exchange core: a numbered stream (DeVididi) with its ring buffer, the records of its
 * provider (QvProviderInfo) and consumers (QvConsumerInfo), and the static entry points that
 * registration hands to clients.
 *
 * Who may run at the same time on one stream (the ring's locking note). Every caller holds the
 * stream's rundown (rundown.h, which also holds the driver's lock order); inside it:
 * - Registration (RegisterProvider, UnRegisterProvider, RegisterConsumer, UnRegisterConsumer)
 *   serialises on m_Lock. Whatever could pull memory from under a lock-free reader (a map insertion
 *   or removal, freeing a record, the provider record, the ring or the information block) happens in
 *   an exclusive section of the stream gate (m_nGate), which starts only when no reader is inside.
 *   Client callbacks are never made from an exclusive section, so a callback may call
 *   OnDataProcessed or OnNotify. Fields that lock-free paths read while they change (handle, ring
 *   address, size and tail, provider pointer, free space, joined flag) are accessed atomically.
 * - ProvideData: one provider thread; copies and moves its private working tail without a lock,
 *   publishes m_nTail and tells the consumers under m_Lock. It holds the rundown's provider lane.
 * - A consumer's free space has two halves, each with its own writers: m_nAvailableSpace, lowered
 *   by the walk and set at the join (holders of m_Lock), and m_nProcessed, raised by the reports
 *   from other threads with one atomic add. A report from the walk's own callback holds m_Lock and
 *   adds to the first half. Fields written on the data path by one side sit a cache line away from
 *   what the other side reads, so a report from another processor does not slow the provider.
 * - DataProcessed, NotifyConsumers, NotifyProvider, ShowStream called without m_Lock are gate
 *   readers (except a DataProcessed from a new-data callback of ProvideData's own walk, on the
 *   walking thread: m_Lock held there already keeps every registration out), at DISPATCH_LEVEL
 *   (a registration spins for them there). They wait for an exclusive
 *   section that is already running, but for one still waiting only a bounded while, so a reader
 *   nested in another reader's callback cannot deadlock.
 *   Client callbacks must not take m_Lock (no registration or data on the same stream from them).
 * - Teardown runs only once the rundown is closed and drained: nobody else is inside.
 */
#ifndef DEVIDIDI_DEVIDIDI_H
#define DEVIDIDI_DEVIDIDI_H

#include "kernel.h"
#include "streamer.h"
#include "newdel.h"
#include "QvMap.h"

class DeVididi;
class QvProviderInfo;
class QvConsumerInfo;

/*
 * The table of the 256 streams; built and destroyed by the driver frame, null outside that time.
 * Calls reach their stream through its rundown (rundown.h), never through this pointer.
 */
extern DeVididi *pDeVididiArray;

#define DEVIDIDI_STREAM_INDEX(hStream) ((ULONG)(hStream) & 0xFF)

/*
 * Fields that the provider's thread writes on every block and fields that reports from other
 * processors read or write are kept at least this far apart, so that they never share a line.
 */
#define DV_CACHE_LINE 64
/* A padding member: never read or written, only there to keep the fields around it apart. */
#define DV_LINE_PAD(name) UCHAR name[DV_CACHE_LINE] __attribute__((unused))

/*
 * A step of the data path, built into its caller: defined in devididi.cpp and called only there.
 * A step with fTested is given a constant at every call (SHOWDEBUG_IF, krnl_dbg.h).
 */
#define DV_DATA_PATH inline __attribute__((always_inline))

/* ---- The provider's record ---- */
class QvProviderInfo
{
public:
    QvProviderInfo(ULONG hStream, STREAMER_PROVIDER_NOTIFY_CALLBACK pfnNotify,
                   STREAMER_PROVIDE_DATA_COMPLETE_CALLBACK pfnProvideDataComplete, PVOID pContext);

    void NotifyProvider(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam);
    DV_DATA_PATH void ProvideDataComplete(PUCHAR pProviderBuffer, BOOLEAN fTested);

    /* Entry points handed to the provider (STREAMER_PROVIDE_DATA_ENTRY, STREAMER_PROVIDER_NOTIFY_ENTRY). */
    static VOID STREAMER_CALL OnProvideData(ULONG hStream, PUCHAR pProviderBuffer, ULONG dwSize);
    static VOID STREAMER_CALL OnNotify(ULONG hStream, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam);
    static void ProvideDataTested(ULONG hStream, PUCHAR pProviderBuffer, ULONG dwSize, PKTHREAD pThread);
    DV_DATA_PATH static void ProvideDataHeld(ULONG hStream, DeVididi *pStream, ULONG nLane, PUCHAR pProviderBuffer,
                                             ULONG dwSize, PKTHREAD pThread, BOOLEAN fTested);

    const char *m_pszCheckpoint;
    ULONG m_hStream;
    STREAMER_PROVIDER_NOTIFY_CALLBACK m_pfnNotify;
    STREAMER_PROVIDE_DATA_COMPLETE_CALLBACK m_pfnProvideDataComplete;
    PVOID m_pContext;
    /*
     * Bytes provided since registration, stored (not added) by the provider thread alone, and the
     * part of it the status reports have shown; both atomic. Wraps at 4 GiB, which the difference
     * survives.
     */
    ULONG m_nBytesProvided;
    ULONG m_nBytesReported;
};

/* ---- A consumer's record ---- */
class QvConsumerInfo
{
public:
    QvConsumerInfo(PVOID hConsumer, ULONG hStream, STREAMER_NEW_DATA_READY_CALLBACK pfnNewDataReady,
                   STREAMER_CONSUMER_NOTIFY_CALLBACK pfnNotify, PVOID pContext, LONG nAvailableSpace, PIRP pIrp);

    void NotifyConsumer(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam);
    /* The announcement of a block; the walk (fInWalk) calls its quiet or tested form directly. */
    void NewDataReady(ULONG dwSize);
    DV_DATA_PATH void NewDataReady(ULONG dwSize, BOOLEAN fInWalk, BOOLEAN fTested);
    /* A report from outside the walk; nJoinedRingSize is JoinedRingSize() as the caller read it. */
    DV_DATA_PATH void DataProcessed(ULONG dwSize, ULONG nJoinedRingSize, BOOLEAN fTested);

    /* Entry points handed to each consumer (STREAMER_DATA_PROCESSED_ENTRY, STREAMER_CONSUMER_NOTIFY_ENTRY). */
    static VOID STREAMER_CALL OnDataProcessed(ULONG hStream, PVOID hConsumer, ULONG dwSize);
    static VOID STREAMER_CALL OnNotify(ULONG hStream, PVOID hConsumer, ULONG dwType,
                                       PSTREAMER_NOTIFICATION_PARAM pParam);
    DV_DATA_PATH static void DataProcessedCall(ULONG hStream, PVOID hConsumer, ULONG dwSize, PKTHREAD pThread,
                                               BOOLEAN fTested);

    PVOID m_hConsumer;
    ULONG m_hStream;
    STREAMER_NEW_DATA_READY_CALLBACK m_pfnNewDataReady;
    STREAMER_CONSUMER_NOTIFY_CALLBACK m_pfnNotify;
    LONG m_nAvailableSpace; /* atomic: lowered under m_Lock by NewDataReady, raised without it by DataProcessed */
    PIRP m_pPendingIrp;
    PVOID m_pContext;
    ULONG m_fProviderRegistered;

    /* Bytes this consumer can still take (negative: the bytes it lost), as one snapshot. */
    LONG AvailableSpace() const;
    /* Under m_Lock: the consumer is joined to a ring of this size with the whole ring free. */
    void Join(ULONG nRingSize);
    /* Under m_Lock, from a report made inside the walk's own callback. */
    DV_DATA_PATH void DataProcessedInWalk(ULONG dwSize, BOOLEAN fTested);
    /* The ring size once joined, else 0; read by reports. */
    ULONG JoinedRingSize() const;

    /* The next record in the map's walk order, kept by registration for the data path's walk. */
    QvConsumerInfo *m_pNextToTell;

private:
    LONG Refresh();
    /* The walk's notice of nLost bytes lost, made instead of the new-data callback. */
    void TellLost(LONG nLost, ULONG dwSize, BOOLEAN fTested);

    /* The walk's view of the reports: m_nProcessed and m_nShrinks as it last read them. */
    ULONG m_nProcessedSeen;
    ULONG m_nShrinksSeen;
    ULONG m_nShrinks; /* atomic: reports of a negative size so far (rare, so it may share this line) */
    DV_LINE_PAD(m_abWalkLine);
    /* Written by reports from other threads, read by the walk only when its view runs out. */
    ULONG m_nProcessed;       /* atomic: bytes reported outside the walk, wrapping */
    ULONG m_nJoinedRingSize;  /* atomic: set with m_fProviderRegistered, so reports need not read that line */
};

typedef QvMap<void *, void *, QvConsumerInfo *, QvConsumerInfo *> QvConsumerMap;

/*
 * One pass that hands the stream's information block to clients, on the passing call's own stack:
 * linked into the stream's list from the moment it takes the block to the end of the pass.
 */
typedef struct _DV_INFO_PASS {
    struct _DV_INFO_PASS *pNext;
    PVOID pHeld; /* the block this pass hands out; NULL when there is none */
} DV_INFO_PASS, *PDV_INFO_PASS;

/* ---- A stream ---- */
class DeVididi
{
public:
    DeVididi();
    ~DeVididi();

    NTSTATUS CreateBuffer(ULONG dwSize);
    /*
     * Every member below is called with the stream's rundown held (rundown.h); pThread is the
     * caller's thread, pProvider the ready provider's record, which its own data call keeps.
     */
    DV_DATA_PATH void ProvideData(PUCHAR pProviderBuffer, ULONG dwSize, QvProviderInfo *pProvider, PKTHREAD pThread,
                                  BOOLEAN fTested);
    DV_DATA_PATH void DataProcessed(PVOID hConsumer, ULONG dwSize, PKTHREAD pThread, BOOLEAN fTested);
    DV_DATA_PATH BOOLEAN DataProcessedQuietInWalk(PVOID hConsumer, ULONG dwSize, PKTHREAD pThread);

    NTSTATUS RegisterProvider(PSTREAMER_SRV_PARAM pSrvParam);
    NTSTATUS CreateProviderInfoClass(PSTREAMER_SRV_PARAM pSrvParam);
    NTSTATUS UnRegisterProvider();
    NTSTATUS RegisterConsumer(PIRP pIrp);
    NTSTATUS UnRegisterConsumer(PIRP pIrp);

    /* For callers that do not hold m_Lock (entry points, control dispatch). */
    void NotifyConsumers(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam);
    void NotifyProvider(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam);
    void ShowStream();

    /* A gate reader: raises to DISPATCH_LEVEL and keeps registration from changing the records. */
    DV_DATA_PATH void EnterShared(PKIRQL pOldIrql);
    DV_DATA_PATH void LeaveShared(KIRQL OldIrql);
    /* Provider registered and its ring in place: data may flow, consumers join at once. */
    BOOLEAN IsProviderReady() const;
    /* No reader inside the gate, no change running or waiting: the gate between calls. */
    BOOLEAN IsGateIdle() const;

    ULONG m_hStream;
    ULONG m_nBufferSize;
    PUCHAR m_pBuffer;
    ULONG m_nTail; /* published write position; moved by ProvideData only inside m_Lock */
    PVOID m_pStreamInfo;
    LONG m_nStreamInfoSize;
    DV_LINE_PAD(m_abTailLine); /* m_nTail changes every block; the map is read by every report */
    QvConsumerMap m_Consumers;
    QvProviderInfo *m_pProviderInfo;
    DV_LINE_PAD(m_abMapLine);
    KSPIN_LOCK m_Lock;
    const char *m_pszCheckpoint;

private:
    void DoNotifyConsumers(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam);
    void DoNotifyProvider(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam);
    void DoShowStream();
    DV_DATA_PATH void GateEnter();
    void GateEnterBusy(ULONG nGate);
    DV_DATA_PATH void GateLeave();
    void EnterExclusive();
    void LeaveExclusive();
    void UnlockStream(KIRQL OldIrql, const char *pszAfterRelease);
    NTSTATUS BeginConsumerRequest(PIRP pIrp, const char *pszName, PSTREAMER_SRV_PARAM *ppRecord,
                                  KIRQL *pOldIrql);
    void CleanStream();
    void RelinkConsumers();
    void ReplaceStreamInfo(PVOID pInfo, LONG nSize, PSTREAMER_NOTIFICATION_PARAM pBlock, PDV_INFO_PASS pPass);
    void SnapshotStreamInfo(PSTREAMER_NOTIFICATION_PARAM pBlock, PDV_INFO_PASS pPass);
    void EndInfoPass(PDV_INFO_PASS pPass);
    BOOLEAN IsInfoHeld(PVOID pInfo) const;
    void DropStreamInfo();
    QvProviderInfo *Provider() const;
    ULONG Handle() const;
    void SetHandle(ULONG hStream);

    DV_DATA_PATH BOOLEAN IsWalkingThread(PKTHREAD pThread) const;
    DV_DATA_PATH void DataProcessedAs(PVOID hConsumer, ULONG dwSize, BOOLEAN fInWalk, BOOLEAN fTested);
    DV_DATA_PATH void TakeReport(QvConsumerInfo *pConsumer, ULONG dwSize, BOOLEAN fInWalk, BOOLEAN fTested);

    /* The provider's line: written on every block by the provider's thread only. */
    PKTHREAD m_pWalker;        /* atomic: the thread telling the consumers under m_Lock, else NULL */
    LONG m_fProviderReady;     /* 1 from a provider's completed registration to its unregistration */
    QvConsumerInfo *m_pToldConsumer; /* the record the walk is telling, while m_pWalker is set */
    QvConsumerInfo *m_pFirstToTell;  /* the map's records in its walk order, chained; under m_Lock */
    DV_LINE_PAD(m_abProviderLine);
    /* Read by every report; written only when the walk runs on another thread than the last one. */
    PKTHREAD m_pWalkingThread; /* atomic: the thread of the latest walk, NULL before the first */
    DV_LINE_PAD(m_abWalkerLine);
    /* The gate's line: written by reports from other threads, registration and notifications. */
    volatile ULONG m_nGate;    /* readers, exclusive and waiting bits */
    PDV_INFO_PASS m_pInfoPasses; /* the passes handing out an information block; under m_InfoLock */
    KSPIN_LOCK m_InfoLock;     /* the information block's pointer and size, and the passes; innermost */

    DeVididi(const DeVididi &);
    DeVididi &operator=(const DeVididi &);
};

#endif
