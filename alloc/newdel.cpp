/*
 * Traced allocation: a header in front of every block names its allocating source, and a list
 * of the live blocks catches bad frees and reports leaks at unload.
 */
#include "newdel.h"
#include "krnl_dbg.h"

LONG g_nTotalAllocations = 0;
LONG g_nCurrentAllocations = 0;
QvInterlockedList<void *> *g_pTraceList = NULL;

static_assert(!__is_polymorphic(TRACED_BLOCK_HEADER), "the block header is plain data");

void InitNewDel(void)
{
    void *pList;

    __atomic_store_n(&g_nTotalAllocations, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&g_nCurrentAllocations, 0, __ATOMIC_RELAXED);

    pList = ExAllocatePoolWithTag(NonPagedPool, sizeof(QvInterlockedList<void *>), TRACE_LIST_POOL_TAG);
    if (pList == NULL) {
        /* The driver runs on without the list; frees are then checked by the cookie alone. */
        g_pTraceList = NULL;
        return;
    }
    g_pTraceList = new (pList) QvInterlockedList<void *>();
}

ULONG TermNewDel(void)
{
    LONG nCurrent = __atomic_load_n(&g_nCurrentAllocations, __ATOMIC_RELAXED);

    if (nCurrent > 0) {
        SHOWDEBUG(QVDBG_MODULE_ENTRY, 1, "Allocation tracing module: %d allocations were not deallocated.", nCurrent);
    }
    if (g_pTraceList != NULL) {
        void *pValue;
        /* Oldest first: blocks enter the list at its tail. The leaked blocks are left alone. */
        while (NT_SUCCESS(g_pTraceList->RemoveHead(pValue))) {
            PTRACED_BLOCK_HEADER pHeader = (PTRACED_BLOCK_HEADER)pValue;
            if (pHeader != NULL) {
                SHOWDEBUG(QVDBG_MODULE_ENTRY, 1, "TermNewDel(...): address 0x%08x: 'new' without 'delete' (%s:%d)",
                          (ULONG)(ULONG_PTR)pHeader, pHeader->pszFile, pHeader->nLine);
            }
        }
        g_pTraceList->~QvInterlockedList<void *>();
        ExFreePool(g_pTraceList);
        g_pTraceList = NULL;
    }
    return (ULONG)__atomic_load_n(&g_nCurrentAllocations, __ATOMIC_RELAXED);
}

void *TracedNew(ULONG nSize, POOL_TYPE PoolType, ULONG dwTag, const char *pszFile, ULONG nLine)
{
    PTRACED_BLOCK_HEADER pHeader;
    ULONG cbBlock;

    /*
     * The block's size with its header is a 32-bit count. A request that does not fit is refused
     * like an exhausted pool (null, nothing counted), with an error line naming the caller.
     */
    if (nSize > (ULONG)0xFFFFFFFFUL - (ULONG)sizeof(TRACED_BLOCK_HEADER)) {
        SHOWDEBUG(QVDBG_MODULE_ENTRY, 1, "TracedNew(...): ERROR --- %u bytes from %s:%d do not fit with the block header.",
                  nSize, pszFile, nLine);
        return NULL;
    }
    cbBlock = nSize + (ULONG)sizeof(TRACED_BLOCK_HEADER);

    /* Every block is non-paged and tagged 'Trcd', whatever the caller asks for. */
    pHeader = (PTRACED_BLOCK_HEADER)ExAllocatePoolWithTag(NonPagedPool, cbBlock, TRACED_POOL_TAG);
    if (pHeader == NULL) {
        return NULL;
    }
    SHOWDEBUG(QVDBG_MODULE_ENTRY, 5, "TracedNew(...): %d bytes allocated from %s:%d.", nSize, pszFile, nLine);

    InterlockedIncrement(&g_nTotalAllocations);
    InterlockedIncrement(&g_nCurrentAllocations);

    RtlZeroMemory(pHeader, cbBlock);
    pHeader->pszFile = pszFile;
    pHeader->nLine = nLine;
    pHeader->dwReserved = 0;
    pHeader->dwCookie = TRACED_COOKIE_LIVE;

    /* A block whose node cannot be allocated stays untracked; freeing it is later refused. */
    if (g_pTraceList != NULL) {
        g_pTraceList->InsertTail(pHeader);
    }
    return pHeader + 1;
}

void TracedDelete(void *p)
{
    PTRACED_BLOCK_HEADER pHeader;

    if (p == NULL) {
        SHOWDEBUG(QVDBG_MODULE_ENTRY, 1, "TracedDelete(...): delete NULL detected!");
        return;
    }
    /* Counted before the pointer is examined: a refused free lowers the count all the same. */
    if (InterlockedDecrement(&g_nCurrentAllocations) < 0) {
        SHOWDEBUG(QVDBG_MODULE_ENTRY, 1, "TracedDelete(...): deallocation count exceeds allocation count");
        return;
    }

    pHeader = (PTRACED_BLOCK_HEADER)p - 1;

    if (g_pTraceList != NULL) {
        if (!NT_SUCCESS(g_pTraceList->Remove(pHeader))) {
            SHOWDEBUG(QVDBG_MODULE_ENTRY, 1,
                      "TracedDelete(...): deallocation of unrecognized pointer (address=0x%08x, might be double "
                      "deallocation of a single allocation). Deallocation ignored.",
                      (ULONG)(ULONG_PTR)p);
            return;
        }
        /* The header is read only now that the block is known to be live. */
        SHOWDEBUG(QVDBG_MODULE_ENTRY, 5, "TracedDelete(...): deallocated block allocation from at %s:%d.",
                  pHeader->pszFile, pHeader->nLine);
    }

    if (pHeader->dwCookie == TRACED_COOKIE_LIVE) {
        pHeader->dwCookie = TRACED_COOKIE_FREED;
        ExFreePool(pHeader);
        return;
    }
    SHOWDEBUG(QVDBG_MODULE_ENTRY, 1,
              "TracedDelete(...): deallocation of unrecognized pointer (address=0x%08x, cookie=0x%08x, might not be "
              "allocated using 'NEW()' macro)",
              (ULONG)(ULONG_PTR)p, pHeader->dwCookie);
}
