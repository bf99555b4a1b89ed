/*
 * Traced allocation: every object and buffer of the driver is allocated through TracedNew and
 * released through TracedDelete, so that bad frees are caught and leaks reported at unload.
 */
#ifndef DEVIDIDI_NEWDEL_H
#define DEVIDIDI_NEWDEL_H

#include "kernel.h"
#include "QvInterlockedList.h"

#define TRACED_POOL_TAG KX_POOL_TAG('T', 'r', 'c', 'd')
#define TRACE_LIST_POOL_TAG KX_POOL_TAG('W', 'd', 'm', ' ')
#define TRACED_COOKIE_LIVE 0xDEAD0000UL
#define TRACED_COOKIE_FREED 0xDEADBABEUL

typedef struct _TRACED_BLOCK_HEADER {
    const char *pszFile;
    ULONG nLine;
    ULONG dwReserved;
    ULONG dwCookie;
} TRACED_BLOCK_HEADER, *PTRACED_BLOCK_HEADER;

extern LONG g_nTotalAllocations;
extern LONG g_nCurrentAllocations;
extern QvInterlockedList<void *> *g_pTraceList;

void InitNewDel(void);
ULONG TermNewDel(void);
void *TracedNew(ULONG nSize, POOL_TYPE PoolType, ULONG dwTag, const char *pszFile, ULONG nLine);
void TracedDelete(void *p);

/* Each source that allocates defines DV_SOURCE_NAME ("devididi", "entry", ...) before using NEW. */
#define NEW(nSize) TracedNew((ULONG)(nSize), NonPagedPool, TRACED_POOL_TAG, DV_SOURCE_NAME, __LINE__)

/* Builds a T on traced memory (null when the allocation fails) and destroys one again. */
template <class T, class... A>
inline T *TracedConstruct(const char *pszFile, ULONG nLine, A... args)
{
    void *p = TracedNew(sizeof(T), NonPagedPool, TRACED_POOL_TAG, pszFile, nLine);
    return p ? new (p) T(args...) : 0;
}
template <class T>
inline void TracedDestroy(T *p)
{
    if (p) {
        p->~T();
    }
    TracedDelete(p);
}
#define NEW_OBJECT(T, ...) TracedConstruct<T>(DV_SOURCE_NAME, __LINE__, ##__VA_ARGS__)

#endif
