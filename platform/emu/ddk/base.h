/*
 * Kernel emulation, base services: types, status values, interrupt levels, spin locks, lists,
 * pool, tick count, performance counter, debug print and the virtual-device service call.
 * Names, argument lists and semantics follow the kernel; everything is valid C and C++.
 */
#ifndef DEVIDIDI_EMU_DDK_BASE_H
#define DEVIDIDI_EMU_DDK_BASE_H

#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>
/* Included before sprintf is renamed below, so that a later include of it stays a no-op. */
#include <stdio.h>

#ifdef __cplusplus
#define KEMU_EXTERN_C extern "C"
#define KEMU_BEGIN_C extern "C" {
#define KEMU_END_C }
#else
#define KEMU_EXTERN_C extern
#define KEMU_BEGIN_C
#define KEMU_END_C
#endif

/*
 * Calling conventions exist only on the 32-bit kernel. There they are the kernel's own, so that a
 * kernel image can call the emulation and be called back by it directly.
 */
#if defined(__i386__)
#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#define __cdecl __attribute__((cdecl))
#define __stdcall __attribute__((stdcall))
#define __fastcall __attribute__((fastcall))
#else
#define NTAPI
#define FASTCALL
#define __cdecl
#define __stdcall
#define __fastcall
#endif
#define NTKERNELAPI
#define NTHALAPI
#define NTSYSAPI
#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(P) ((void)(P))

/* ---- Basic types: the kernel's widths (LLP64), whatever the host's long is. ---- */
typedef void VOID, *PVOID;
typedef const void *PCVOID;
typedef char CHAR, *PCHAR, *PSTR, CCHAR;
typedef const char *PCSTR, *PCSZ;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE;
typedef short SHORT, *PSHORT, CSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG, DWORD, *PDWORD;
typedef int64_t LONGLONG, *PLONGLONG;
typedef uint64_t ULONGLONG, *PULONGLONG;
typedef int INT;
typedef unsigned int UINT;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef intptr_t LONG_PTR, *PLONG_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef ULONG_PTR SIZE_T, *PSIZE_T;
typedef LONG NTSTATUS;
typedef PVOID HANDLE, *PHANDLE;
typedef ULONG ACCESS_MASK;
typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint_least16_t WCHAR;
#endif
typedef WCHAR *PWCHAR, *PWSTR;
typedef const WCHAR *PCWSTR;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef union _LARGE_INTEGER {
    struct { ULONG LowPart; LONG HighPart; };
    struct { ULONG LowPart; LONG HighPart; } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID *LPCGUID;

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define RtlCopyMemory(d, s, n) ((void)__builtin_memcpy((d), (s), (n)))
#define RtlMoveMemory(d, s, n) ((void)__builtin_memmove((d), (s), (n)))
#define RtlFillMemory(d, n, f) ((void)__builtin_memset((d), (f), (n)))
#define RtlZeroMemory(d, n) ((void)__builtin_memset((d), 0, (n)))

/* ---- Status values ---- */
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define STATUS_SUCCESS                   ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0                    ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT                   ((NTSTATUS)0x00000102L)
#define STATUS_PENDING                   ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW           ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES           ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL              ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED           ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE            ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER         ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE            ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST    ((NTSTATUS)0xC0000010L)
#define STATUS_MORE_PROCESSING_REQUIRED  ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MEMORY                 ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED             ((NTSTATUS)0xC0000022L)
#define STATUS_ALREADY_COMMITTED         ((NTSTATUS)0xC0000021L)
#define STATUS_BUFFER_TOO_SMALL          ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID       ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND     ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION     ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND     ((NTSTATUS)0xC000003AL)
#define STATUS_INVALID_PARAMETER_MIX     ((NTSTATUS)0xC0000030L)
#define STATUS_INSUFFICIENT_RESOURCES    ((NTSTATUS)0xC000009AL)
#define STATUS_PIPE_EMPTY                ((NTSTATUS)0xC00000D9L)
#define STATUS_INVALID_PARAMETER_1       ((NTSTATUS)0xC00000EFL)
#define STATUS_INVALID_PARAMETER_2       ((NTSTATUS)0xC00000F0L)
#define STATUS_CANCELLED                 ((NTSTATUS)0xC0000120L)
#define STATUS_NOT_FOUND                 ((NTSTATUS)0xC0000225L)
#define STATUS_ADDRESS_ALREADY_ASSOCIATED ((NTSTATUS)0xC0000238L)

/* ---- Interrupt levels (per thread in the emulation) ---- */
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

KEMU_BEGIN_C
NTHALAPI KIRQL NTAPI KeGetCurrentIrql(void);
NTHALAPI KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
NTHALAPI VOID FASTCALL KfLowerIrql(KIRQL NewIrql);
KEMU_END_C
#define KeRaiseIrql(a, b) (*(b) = KfRaiseIrql(a))
#define KeLowerIrql(a) KfLowerIrql(a)

/* ---- Threads: the running thread's object, distinct for each live thread ---- */
typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
KEMU_BEGIN_C
NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(void);
KEMU_END_C

/* ---- Spin locks: real locks across threads, checked like a verifier would ---- */
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
KEMU_BEGIN_C
NTKERNELAPI VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
NTHALAPI KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
NTHALAPI VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
/* For code that already runs at DISPATCH_LEVEL: take or drop the lock without changing the level. */
NTKERNELAPI VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
KEMU_END_C
#define KeAcquireSpinLock(a, b) (*(b) = KfAcquireSpinLock(a))
#define KeReleaseSpinLock(a, b) KfReleaseSpinLock(a, b)
#define KeAcquireSpinLockAtDpcLevel(a) KefAcquireSpinLockAtDpcLevel(a)
#define KeReleaseSpinLockFromDpcLevel(a) KefReleaseSpinLockFromDpcLevel(a)

/* ---- Doubly linked lists ---- */
typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

static inline VOID InitializeListHead(PLIST_ENTRY ListHead)
{
    ListHead->Flink = ListHead->Blink = ListHead;
}
static inline BOOLEAN IsListEmpty(const LIST_ENTRY *ListHead)
{
    return (BOOLEAN)(ListHead->Flink == ListHead);
}
static inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry)
{
    PLIST_ENTRY Blink = Entry->Blink, Flink = Entry->Flink;
    Blink->Flink = Flink;
    Flink->Blink = Blink;
    return (BOOLEAN)(Flink == Blink);
}
static inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY Entry = ListHead->Flink;
    RemoveEntryList(Entry);
    return Entry;
}
static inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY Entry = ListHead->Blink;
    RemoveEntryList(Entry);
    return Entry;
}
static inline VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY Blink = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = Blink;
    Blink->Flink = Entry;
    ListHead->Blink = Entry;
}
static inline VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY Flink = ListHead->Flink;
    Entry->Flink = Flink;
    Entry->Blink = ListHead;
    Flink->Blink = Entry;
    ListHead->Flink = Entry;
}

KEMU_BEGIN_C
/*
 * Both inserts return the list's previous head/tail entry, or NULL when the list was empty; the
 * removal returns the entry taken off, or NULL. Like the kernel's they keep interrupts off instead
 * of raising the level, so they may be called at any level; the lock is still checked for a second
 * acquire by the same thread.
 */
NTKERNELAPI PLIST_ENTRY FASTCALL ExfInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                              PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY FASTCALL ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                              PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY FASTCALL ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);
KEMU_END_C
#define ExInterlockedInsertTailList(a, b, c) ExfInterlockedInsertTailList(a, b, c)
#define ExInterlockedInsertHeadList(a, b, c) ExfInterlockedInsertHeadList(a, b, c)
#define ExInterlockedRemoveHeadList(a, b) ExfInterlockedRemoveHeadList(a, b)

/*
 * Randomized preemption (kemu::SetRandomPreemption): every kernel call below is a point where the
 * calling thread may yield or sleep briefly. Off, a point costs one load.
 * KemuPreemptionArmed: bit 0 randomized preemption, bit 1 a forced schedule (kemu::ForceSchedule).
 */
KEMU_BEGIN_C
extern int KemuPreemptionArmed;
void KemuPreemptionPoint(void);
/* A named point of the driver's own (KX_SCHEDULING_POINT in platform/kernel.h). */
void KemuNamedSchedulingPoint(const char *pszPoint);
KEMU_END_C
static inline void KemuMaybePreempt(void)
{
    if (__atomic_load_n(&KemuPreemptionArmed, __ATOMIC_RELAXED) & 1) {
        KemuPreemptionPoint();
    }
}
static inline void KemuSchedulingPoint(const char *pszPoint)
{
    if (__builtin_expect(__atomic_load_n(&KemuPreemptionArmed, __ATOMIC_RELAXED) != 0, 0)) {
        KemuNamedSchedulingPoint(pszPoint);
    }
}

/* ---- Interlocked operations ---- */
#define InterlockedIncrement(p) (KemuMaybePreempt(), __atomic_add_fetch((p), 1, __ATOMIC_SEQ_CST))
#define InterlockedDecrement(p) (KemuMaybePreempt(), __atomic_sub_fetch((p), 1, __ATOMIC_SEQ_CST))
#define InterlockedExchangeAdd(p, v) (KemuMaybePreempt(), __atomic_fetch_add((p), (v), __ATOMIC_SEQ_CST))
#define InterlockedExchange(p, v) (KemuMaybePreempt(), __atomic_exchange_n((p), (v), __ATOMIC_SEQ_CST))
static inline LONG KemuInterlockedCompareExchange(volatile LONG *p, LONG x, LONG c)
{
    KemuMaybePreempt();
    __atomic_compare_exchange_n(p, &c, x, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return c;
}
#define InterlockedCompareExchange(p, x, c) KemuInterlockedCompareExchange((p), (x), (c))

/* ---- Pool ---- */
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5
} POOL_TYPE;
KEMU_BEGIN_C
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
KEMU_END_C

/* ---- Time ---- */
typedef struct _KSYSTEM_TIME {
    ULONG LowPart;
    LONG High1Time;
    LONG High2Time;
} KSYSTEM_TIME, *PKSYSTEM_TIME;
KEMU_BEGIN_C
/*
 * The kernel exports KeTickCount as data that the clock interrupt updates. Here every read of it
 * refreshes a per-thread copy from the emulated clock, so a reader can see the words change between
 * two reads exactly as on a real machine, and must use the High1Time/High2Time protocol.
 */
volatile KSYSTEM_TIME *KemuTickCountAccess(void);
/* The process-wide copy that kernel images bind to as the exported KeTickCount, kept current. */
volatile KSYSTEM_TIME *KemuSharedTickCount(void);
NTHALAPI LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
/* Length of one clock tick in 100-nanosecond units. */
NTKERNELAPI ULONG NTAPI KeQueryTimeIncrement(void);
KEMU_END_C
#define KeTickCount (*KemuTickCountAccess())

/* The x86 kernel's reader: repeat until both copies of the high word agree. */
static inline VOID KemuQueryTickCount(PLARGE_INTEGER CurrentCount)
{
    for (;;) {
        CurrentCount->HighPart = KeTickCount.High1Time;
        CurrentCount->LowPart = KeTickCount.LowPart;
        if (CurrentCount->HighPart == KeTickCount.High2Time) {
            break;
        }
    }
}
#define KeQueryTickCount(CurrentCount) KemuQueryTickCount(CurrentCount)

/* ---- Debug print, formatting (the kernel's conventions: %ld is 32 bits, %I64d 64) ---- */
KEMU_BEGIN_C
NTSYSAPI ULONG __cdecl DbgPrint(PCSTR Format, ...);
/*
 * The kernel's sprintf and _vsnprintf read %ld as 32 bits; the host C library's would not. The
 * driver's calls are routed to the emulation's own, leaving the host's untouched for everyone else.
 * _vsnprintf writes at most cbCount characters; when the text does not fit it returns -1 and the
 * buffer is not NUL-terminated.
 */
int KemuSprintf(char *pszBuffer, const char *pszFormat, ...);
int KemuVsnprintf(char *pszBuffer, size_t cbCount, const char *pszFormat, va_list args);
#define sprintf KemuSprintf
#define _vsnprintf KemuVsnprintf

/*
 * Virtual-device service call of the 9x family (device << 16 | service); 0 where there is none.
 * The emulation serves device 0x0327 (the debug output service): 0 = version, 1 = show a line.
 */
ULONG KxVxdServiceCall(USHORT wDevice, USHORT wService, ULONG_PTR dwArg);
KEMU_END_C

/* ---- Deferred procedure calls: run later at DISPATCH_LEVEL on the platform's DPC thread ---- */
typedef struct _KDPC KDPC, *PKDPC, *PRKDPC;
typedef VOID NTAPI KDEFERRED_ROUTINE(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                     PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE *PKDEFERRED_ROUTINE;
#define DpcObject 0x13
struct _KDPC {
    CSHORT Type; /* DpcObject once initialised */
    UCHAR Number;
    UCHAR Importance;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData; /* non-null while queued */
};
KEMU_BEGIN_C
NTKERNELAPI VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
/* FALSE when the DPC is already queued (it then runs once, with the first arguments). */
NTKERNELAPI BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
/* TRUE when the DPC was queued and is taken off the queue before it ran. */
NTKERNELAPI BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);
KEMU_END_C

#endif
