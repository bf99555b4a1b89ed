/*
 * QvMap: a hash map with chained buckets and a private pool of nodes, ten to a traced block.
 * It takes no lock: the owner serializes the calls that need it. Every allocation is traced
 * non-paged memory, so the map may be used at dispatch level.
 */
#ifndef DEVIDIDI_QVMAP_H
#define DEVIDIDI_QVMAP_H

#include "kernel.h"
#include "newdel.h"

#ifndef QV_POSITION_DEFINED
#define QV_POSITION_DEFINED
/* An iteration position: a node, BEFORE_START_POSITION, or null at the end. */
typedef void *POSITION;
#define BEFORE_START_POSITION ((POSITION)(LONG_PTR)-1)
#endif

#define QVMAP_SOURCE_NAME "QvMap"
#define QVMAP_DEFAULT_HASH_SIZE 17
#define QVMAP_BLOCK_SIZE 10

template <class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
class QvMap
{
public:
    struct CAssoc {
        CAssoc *pNext;
        ULONG nHashValue;
        KEY key;
        VALUE value;
    };

    /* A node block: on the 32-bit kernel two words, the older block's link and a reserved one. */
    struct CPlex {
        CPlex *pNext;
        ULONG dwReserved;
    };

    QvMap()
    {
        m_pHashTable = NULL;
        m_nHashTableSize = QVMAP_DEFAULT_HASH_SIZE;
        m_nCount = 0;
        m_pFreeList = NULL;
        m_pBlocks = NULL;
        m_nBlockSize = QVMAP_BLOCK_SIZE;
        error = VALUE();
    }

    ~QvMap() { RemoveAll(); }

    LONG GetCount() const { return m_nCount; }

    POSITION GetStartPosition() const { return m_nCount != 0 ? BEFORE_START_POSITION : NULL; }

    BOOLEAN Lookup(ARG_KEY key, VALUE &rValue) const
    {
        CAssoc *pAssoc;
        if (m_pHashTable == NULL) {
            return FALSE;
        }
        for (pAssoc = m_pHashTable[HashKey(key)]; pAssoc != NULL; pAssoc = pAssoc->pNext) {
            if (pAssoc->key == key) {
                rValue = pAssoc->value;
                return TRUE;
            }
        }
        return FALSE;
    }

    VALUE &operator[](ARG_KEY key)
    {
        CAssoc *pAssoc;
        ULONG nHash;

        if (m_pHashTable != NULL) {
            for (pAssoc = m_pHashTable[HashKey(key)]; pAssoc != NULL; pAssoc = pAssoc->pNext) {
                if (pAssoc->key == key) {
                    return pAssoc->value;
                }
            }
        } else {
            InitHashTable(m_nHashTableSize, TRUE);
            if (m_pHashTable == NULL) {
                return ErrorSlot();
            }
        }
        pAssoc = NewAssoc();
        if (pAssoc == NULL) {
            return ErrorSlot();
        }
        nHash = HashKey(key);
        pAssoc->nHashValue = nHash;
        pAssoc->key = key;
        pAssoc->pNext = m_pHashTable[nHash];
        m_pHashTable[nHash] = pAssoc;
        return pAssoc->value;
    }

    BOOLEAN RemoveKey(ARG_KEY key)
    {
        CAssoc **ppLink;
        CAssoc *pAssoc;
        if (m_pHashTable == NULL) {
            return FALSE;
        }
        ppLink = &m_pHashTable[HashKey(key)];
        for (pAssoc = *ppLink; pAssoc != NULL; ppLink = &pAssoc->pNext, pAssoc = pAssoc->pNext) {
            if (pAssoc->key == key) {
                *ppLink = pAssoc->pNext;
                FreeAssoc(pAssoc);
                return TRUE;
            }
        }
        return FALSE;
    }

    /*
     * Returns the element at rNextPosition and moves the position past it, so the caller may
     * remove that element before the next call.
     */
    void GetNextAssoc(POSITION &rNextPosition, KEY &rKey, VALUE &rValue) const
    {
        CAssoc *pAssoc;
        CAssoc *pNext;
        ULONG nBucket;

        if (m_pHashTable == NULL) {
            return;
        }
        pAssoc = (CAssoc *)rNextPosition;
        if (rNextPosition == BEFORE_START_POSITION) {
            pAssoc = NULL;
            for (nBucket = 0; nBucket < m_nHashTableSize && pAssoc == NULL; ++nBucket) {
                pAssoc = m_pHashTable[nBucket];
            }
            if (pAssoc == NULL) {
                /* A table without elements (left by a failed node allocation): nothing to visit. */
                rNextPosition = NULL;
                return;
            }
        }
        pNext = pAssoc->pNext;
        for (nBucket = pAssoc->nHashValue + 1; pNext == NULL && nBucket < m_nHashTableSize; ++nBucket) {
            pNext = m_pHashTable[nBucket];
        }
        rNextPosition = (POSITION)pNext;
        rKey = pAssoc->key;
        rValue = pAssoc->value;
    }

    /* Frees the table and every node block; what the values point to is not the map's. */
    void RemoveAll()
    {
        CPlex *pBlock;
        if (m_pHashTable != NULL) {
            TracedDelete(m_pHashTable);
            m_pHashTable = NULL;
        }
        m_nCount = 0;
        m_pFreeList = NULL;
        pBlock = m_pBlocks;
        while (pBlock != NULL) {
            CPlex *pOlder = pBlock->pNext;
            TracedDelete(pBlock);
            pBlock = pOlder;
        }
        m_pBlocks = NULL;
    }

    /*
     * Ignored while the map holds elements or for a size of 0. Without a table afterwards
     * (bAllocNow clear, or a failed allocation) the size becomes 0 and the map refuses insertions.
     */
    void InitHashTable(ULONG nHashSize, BOOLEAN bAllocNow)
    {
        if (m_nCount != 0 || nHashSize == 0) {
            return;
        }
        if (m_pHashTable != NULL) {
            TracedDelete(m_pHashTable);
            m_pHashTable = NULL;
        }
        /* A table whose byte size does not fit the allocator's 32-bit count fails like the pool. */
        if (bAllocNow && nHashSize <= (ULONG)0xFFFFFFFFUL / (ULONG)sizeof(CAssoc *)) {
            m_pHashTable = (CAssoc **)TracedNew(nHashSize * (ULONG)sizeof(CAssoc *), NonPagedPool, TRACED_POOL_TAG,
                                                QVMAP_SOURCE_NAME, __LINE__);
            if (m_pHashTable != NULL) {
                RtlZeroMemory(m_pHashTable, nHashSize * sizeof(CAssoc *));
            }
        }
        m_nHashTableSize = m_pHashTable != NULL ? nHashSize : 0;
    }

    CAssoc *NewAssoc()
    {
        CAssoc *pAssoc;
        if (m_pFreeList == NULL) {
            CPlex *pBlock = (CPlex *)TracedNew((ULONG)(sizeof(CPlex) + m_nBlockSize * sizeof(CAssoc)), NonPagedPool,
                                               TRACED_POOL_TAG, QVMAP_SOURCE_NAME, __LINE__);
            CAssoc *pNodes;
            LONG i;
            if (pBlock == NULL) {
                return NULL;
            }
            pBlock->pNext = m_pBlocks;
            pBlock->dwReserved = 0;
            m_pBlocks = pBlock;
            /* Pushed last to first, so the free list hands nodes out in address order. */
            pNodes = (CAssoc *)(pBlock + 1);
            for (i = m_nBlockSize - 1; i >= 0; --i) {
                pNodes[i].pNext = m_pFreeList;
                m_pFreeList = &pNodes[i];
            }
        }
        pAssoc = m_pFreeList;
        m_pFreeList = pAssoc->pNext;
        ++m_nCount;
        pAssoc->key = KEY();
        pAssoc->value = VALUE();
        return pAssoc;
    }

    /* Removing the last element returns all the map's memory. */
    void FreeAssoc(CAssoc *pAssoc)
    {
        pAssoc->pNext = m_pFreeList;
        m_pFreeList = pAssoc;
        --m_nCount;
        if (m_nCount == 0) {
            RemoveAll();
        }
    }

    CAssoc **m_pHashTable;
    ULONG m_nHashTableSize;
    LONG m_nCount;
    CAssoc *m_pFreeList;
    CPlex *m_pBlocks;
    LONG m_nBlockSize;
    /*
     * What operator[] hands out when it cannot create an element. One slot per map rather than one
     * for all: two streams failing at once, each under its own lock, then never write the same
     * memory. It is cleared each time it is handed out, so it reads like a new element.
     */
    VALUE error;

private:
    ULONG HashKey(ARG_KEY key) const { return ((ULONG)(ULONG_PTR)key >> 4) % m_nHashTableSize; }

    VALUE &ErrorSlot()
    {
        error = VALUE();
        return error;
    }

    /* The map owns its table and blocks: a copy would free them twice. */
    QvMap(const QvMap &);
    QvMap &operator=(const QvMap &);
};

static_assert(!__is_polymorphic(QvMap<void *, void *, void *, void *>), "the driver's classes have no virtual functions");

#endif
