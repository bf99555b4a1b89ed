/*
 * A spin-locked list of values, one pool node per value. The trace list of the allocator is one;
 * its lock is the driver's innermost: while it is held nothing is locked or logged, and only
 * nodes are returned to the pool.
 */
#ifndef DEVIDIDI_QVINTERLOCKEDLIST_H
#define DEVIDIDI_QVINTERLOCKEDLIST_H

#include "kernel.h"

#define QV_LIST_NODE_POOL_TAG KX_POOL_TAG('W', 'd', 'm', ' ')

template <class T>
class QvInterlockedList
{
public:
    struct CNode {
        LIST_ENTRY ListEntry;
        T data;
    };

    QvInterlockedList()
    {
        m_nCount = 0;
        KeInitializeSpinLock(&m_SpinLock);
        InitializeListHead(&m_ListHead);
    }

    /* Values are not owned; only the nodes still in the list are freed. */
    ~QvInterlockedList()
    {
        T value;
        while (NT_SUCCESS(RemoveHead(value))) {
        }
    }

    NTSTATUS InsertTail(T value)
    {
        CNode *pNode = (CNode *)ExAllocatePoolWithTag(NonPagedPool, sizeof(CNode), QV_LIST_NODE_POOL_TAG);
        if (pNode == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        pNode->data = value;
        ExfInterlockedInsertTailList(&m_ListHead, &pNode->ListEntry, &m_SpinLock);
        /* Interlocked: the list's lock is already released here, and Remove changes it too. */
        InterlockedIncrement(&m_nCount);
        return STATUS_SUCCESS;
    }

    /* STATUS_PIPE_EMPTY leaves rValue alone. */
    NTSTATUS RemoveHead(T &rValue)
    {
        PLIST_ENTRY pEntry = ExfInterlockedRemoveHeadList(&m_ListHead, &m_SpinLock);
        CNode *pNode;
        if (pEntry == NULL) {
            return STATUS_PIPE_EMPTY;
        }
        InterlockedDecrement(&m_nCount);
        pNode = CONTAINING_RECORD(pEntry, CNode, ListEntry);
        rValue = pNode->data;
        ExFreePool(pNode);
        return STATUS_SUCCESS;
    }

    /* Removes every node holding the value; the others keep their order. */
    NTSTATUS Remove(T value)
    {
        NTSTATUS status = STATUS_NOT_FOUND;
        LIST_ENTRY Kept;
        KIRQL OldIrql = KfAcquireSpinLock(&m_SpinLock);

        InitializeListHead(&Kept);
        while (!IsListEmpty(&m_ListHead)) {
            PLIST_ENTRY pEntry = RemoveHeadList(&m_ListHead);
            CNode *pNode = CONTAINING_RECORD(pEntry, CNode, ListEntry);
            if (pNode->data == value) {
                ExFreePool(pNode);
                InterlockedDecrement(&m_nCount);
                status = STATUS_SUCCESS;
            } else {
                InsertTailList(&Kept, pEntry);
            }
        }
        /* The list is empty now: the kept nodes become the whole list, in one splice. */
        if (!IsListEmpty(&Kept)) {
            m_ListHead.Flink = Kept.Flink;
            m_ListHead.Blink = Kept.Blink;
            Kept.Flink->Blink = &m_ListHead;
            Kept.Blink->Flink = &m_ListHead;
        }

        KfReleaseSpinLock(&m_SpinLock, OldIrql);
        return status;
    }

    LIST_ENTRY m_ListHead;
    KSPIN_LOCK m_SpinLock;
    LONG m_nCount;

private:
    /* The list owns its nodes: a copy would free them twice. */
    QvInterlockedList(const QvInterlockedList &);
    QvInterlockedList &operator=(const QvInterlockedList &);
};

static_assert(!__is_polymorphic(QvInterlockedList<void *>), "the driver's classes have no virtual functions");

#endif
