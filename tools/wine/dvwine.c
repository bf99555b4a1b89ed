/*
 * dvwine: the Wine job's support driver, never packaged. Loaded first in winedevice.exe, it rewrites
 * the entries of the Wine kernel routines that are missing or differ from Windows into jumps to its
 * own versions (docs/windows.md, the Wine job, says why for each), keeps KeTickCount moving, and
 * answers the 98/Me debug device's "int 20h" call. It imports nothing from ntdll.dll (Wine would take
 * the image for a DLL): the two ntdll routines it needs come from the process's module list.
 */
#include "kernel.h"

/* ---- What the DDK headers of this build leave out ---- */
/* Wine's ntoskrnl.exe exports it; the DDK's import library does not, so it is looked up by name. */
typedef NTSTATUS(NTAPI *DVW_PROTECT)(HANDLE hProcess, PVOID *ppBase, PSIZE_T pcbSize, ULONG dwNew, PULONG pdwOld);
static DVW_PROTECT g_pfnProtect;
/* A function in Wine, a macro reading KeTickCount in the DDK's headers. */
typedef VOID(NTAPI *DVW_QUERY_TICK_COUNT)(PLARGE_INTEGER pTicks);
static DVW_QUERY_TICK_COUNT g_pfnQueryTickCount;

NTSYSAPI NTSTATUS NTAPI ZwFlushBuffersFile(HANDLE hFile, PIO_STATUS_BLOCK pIosb);

/* The i386 CONTEXT record, of which only the registers at these offsets are used. */
#define DVW_CTX_EAX 0xB0
#define DVW_CTX_EIP 0xB8
#define DVW_CTX_ESP 0xC4
#define DVW_CTX(pContext, nOffset) (*(ULONG *)((PUCHAR)(pContext) + (nOffset)))

typedef struct _DVW_EXCEPTION_POINTERS {
    PEXCEPTION_RECORD pRecord;
    PVOID pContext;
} DVW_EXCEPTION_POINTERS;
typedef LONG(NTAPI *DVW_VEH)(DVW_EXCEPTION_POINTERS *);
typedef PVOID(NTAPI *DVW_ADD_VEH)(ULONG fFirst, DVW_VEH pfnHandler);

#define DVW_EXCEPTION_CONTINUE_EXECUTION (-1)
#define DVW_EXCEPTION_CONTINUE_SEARCH 0
#define DVW_STATUS_PRIVILEGED_INSTRUCTION ((NTSTATUS)0xC0000096L)
#define DVW_DEBUG_DEVICE_VERSION 0x0400 /* what the 98/Me debug device answers for its version */

/* ---- The replacements. A spin lock of our own: Wine's are plain words, held while non-zero ---- */

static VOID __fastcall DvwAcquireAtDpcLevel(PKSPIN_LOCK pLock)
{
    while (__sync_val_compare_and_swap((volatile LONG_PTR *)pLock, 0, 1) != 0) {
        __builtin_ia32_pause();
    }
}

static VOID __fastcall DvwReleaseFromDpcLevel(PKSPIN_LOCK pLock)
{
    __sync_lock_release((volatile LONG_PTR *)pLock);
}

static PLIST_ENTRY __fastcall DvwInsertTail(PLIST_ENTRY pHead, PLIST_ENTRY pEntry, PKSPIN_LOCK pLock)
{
    PLIST_ENTRY pOldTail;
    DvwAcquireAtDpcLevel(pLock);
    pOldTail = pHead->Blink;
    pEntry->Flink = pHead;
    pEntry->Blink = pOldTail;
    pOldTail->Flink = pEntry;
    pHead->Blink = pEntry;
    DvwReleaseFromDpcLevel(pLock);
    return pOldTail == pHead ? NULL : pOldTail;
}

static PLIST_ENTRY __fastcall DvwRemoveHead(PLIST_ENTRY pHead, PKSPIN_LOCK pLock)
{
    PLIST_ENTRY pEntry;
    DvwAcquireAtDpcLevel(pLock);
    pEntry = pHead->Flink;
    if (pEntry == pHead) {
        pEntry = NULL;
    } else {
        pHead->Flink = pEntry->Flink;
        pEntry->Flink->Blink = pHead;
    }
    DvwReleaseFromDpcLevel(pLock);
    return pEntry;
}

/* Wine's do nothing with a "stub" line on every call; these do nothing quietly. */
static KIRQL __fastcall DvwRaiseIrql(KIRQL NewIrql) { return PASSIVE_LEVEL; }
static VOID __fastcall DvwLowerIrql(KIRQL NewIrql) {}

/*
 * DPCs run on one worker thread, in the order they were queued. A KDPC is queued when it is on
 * g_DpcQueue; membership is looked up rather than read from the KDPC, whose other fields Wine's
 * KeInitializeDpc does not promise to clear.
 */
static KSPIN_LOCK g_DpcLock;
static LIST_ENTRY g_DpcQueue;
static KEVENT g_DpcWork;

static BOOLEAN DpcQueued(PKDPC pDpc)
{
    PLIST_ENTRY p;
    for (p = g_DpcQueue.Flink; p != &g_DpcQueue; p = p->Flink) {
        if (p == &pDpc->DpcListEntry) {
            return TRUE;
        }
    }
    return FALSE;
}

static BOOLEAN NTAPI DvwInsertQueueDpc(PKDPC pDpc, PVOID pArg1, PVOID pArg2)
{
    BOOLEAN fQueued = FALSE;
    KIRQL OldIrql = KfAcquireSpinLock(&g_DpcLock);
    if (!DpcQueued(pDpc)) {
        pDpc->SystemArgument1 = pArg1;
        pDpc->SystemArgument2 = pArg2;
        InsertTailList(&g_DpcQueue, &pDpc->DpcListEntry);
        fQueued = TRUE;
    }
    KfReleaseSpinLock(&g_DpcLock, OldIrql);
    if (fQueued) {
        KeSetEvent(&g_DpcWork, IO_NO_INCREMENT, FALSE);
    }
    return fQueued;
}

static BOOLEAN NTAPI DvwRemoveQueueDpc(PKDPC pDpc)
{
    KIRQL OldIrql = KfAcquireSpinLock(&g_DpcLock);
    BOOLEAN fWasQueued = DpcQueued(pDpc);
    if (fWasQueued) {
        RemoveEntryList(&pDpc->DpcListEntry);
    }
    KfReleaseSpinLock(&g_DpcLock, OldIrql);
    return fWasQueued;
}

/* Armed timers, by due time in milliseconds of Wine's tick count; few drivers, few timers. Wine runs
 * a timer's DPC holding its kernel lock, which deadlocks a DPC that waits for a spin lock. */
#define DVW_TIMERS 16
static struct {
    PKTIMER pTimer;
    PKDPC pDpc;
    LONGLONG nDue;
} g_aTimers[DVW_TIMERS];

static LONGLONG NowMs(VOID)
{
    LARGE_INTEGER Ticks;
    g_pfnQueryTickCount(&Ticks); /* Wine's ticks are milliseconds; it moves KeTickCount only here */
    return Ticks.QuadPart;
}

/* Disarms pTimer; answers whether it was armed. Call with g_DpcLock held. */
static BOOLEAN TakeTimer(PKTIMER pTimer)
{
    ULONG i;
    for (i = 0; i < DVW_TIMERS; i++) {
        if (g_aTimers[i].pTimer == pTimer) {
            g_aTimers[i].pTimer = NULL;
            return TRUE;
        }
    }
    return FALSE;
}

static BOOLEAN NTAPI DvwCancelTimer(PKTIMER pTimer)
{
    KIRQL OldIrql = KfAcquireSpinLock(&g_DpcLock);
    BOOLEAN fWasArmed = TakeTimer(pTimer);
    KfReleaseSpinLock(&g_DpcLock, OldIrql);
    return fWasArmed;
}

static BOOLEAN NTAPI DvwSetTimer(PKTIMER pTimer, LARGE_INTEGER DueTime, PKDPC pDpc)
{
    BOOLEAN fWasArmed;
    KIRQL OldIrql;
    ULONG i;
    /* Relative times are negative, in 100 ns; an absolute time is taken as due now. */
    ULONG nIn = DueTime.QuadPart >= 0 ? 0 : DueTime.QuadPart < -0x7FFFFFFFLL ? 0x7FFFFFFFUL : (ULONG)-DueTime.QuadPart;
    LONGLONG nDue = NowMs() + nIn / 10000; /* no 64-bit division: there is no run-time library */
    OldIrql = KfAcquireSpinLock(&g_DpcLock);
    fWasArmed = TakeTimer(pTimer);
    for (i = 0; i < DVW_TIMERS && g_aTimers[i].pTimer != NULL; i++) {
    }
    if (i < DVW_TIMERS) {
        g_aTimers[i].pTimer = pTimer;
        g_aTimers[i].pDpc = pDpc;
        g_aTimers[i].nDue = nDue;
    }
    KfReleaseSpinLock(&g_DpcLock, OldIrql);
    if (i == DVW_TIMERS) {
        DbgPrint("dvwine: more than %d timers armed at once\n", DVW_TIMERS);
    }
    return fWasArmed;
}

/* Queues the DPCs of the timers that are due. */
static VOID FireTimers(VOID)
{
    LONGLONG nNow = NowMs();
    ULONG i;
    for (i = 0; i < DVW_TIMERS; i++) {
        PKDPC pDpc = NULL;
        KIRQL OldIrql = KfAcquireSpinLock(&g_DpcLock);
        if (g_aTimers[i].pTimer != NULL && g_aTimers[i].nDue <= nNow) {
            g_aTimers[i].pTimer = NULL;
            pDpc = g_aTimers[i].pDpc;
        }
        KfReleaseSpinLock(&g_DpcLock, OldIrql);
        if (pDpc != NULL) {
            DvwInsertQueueDpc(pDpc, NULL, NULL);
        }
    }
}

static VOID NTAPI DpcWorker(PVOID pContext)
{
    LARGE_INTEGER Period;
    KIRQL OldIrql;
    Period.QuadPart = -1 * 10000; /* 1 ms: the timers' resolution */
    for (;;) {
        KeWaitForSingleObject(&g_DpcWork, Executive, KernelMode, FALSE, &Period);
        FireTimers();
        for (;;) {
            PKDPC pDpc = NULL;
            OldIrql = KfAcquireSpinLock(&g_DpcLock);
            if (!IsListEmpty(&g_DpcQueue)) {
                pDpc = CONTAINING_RECORD(RemoveHeadList(&g_DpcQueue), KDPC, DpcListEntry);
            }
            KfReleaseSpinLock(&g_DpcLock, OldIrql);
            if (pDpc == NULL) {
                break;
            }
            pDpc->DeferredRoutine(pDpc, pDpc->DeferredContext, pDpc->SystemArgument1, pDpc->SystemArgument2);
        }
    }
}

/*
 * Wine answers IoGetDeviceObjectPointer with a placeholder device. Opening the device, sending one
 * request on the handle (a flush) and only then taking the file object gives the real one.
 */
static NTSTATUS NTAPI DvwGetDeviceObjectPointer(PUNICODE_STRING pName, ACCESS_MASK dwAccess, PFILE_OBJECT *ppFile,
                                                PDEVICE_OBJECT *ppDevice)
{
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK Iosb;
    HANDLE hFile;
    PFILE_OBJECT pFile;
    NTSTATUS Status;
    InitializeObjectAttributes(&Attributes, pName, OBJ_KERNEL_HANDLE, NULL, NULL);
    Status = ZwCreateFile(&hFile, dwAccess, &Attributes, &Iosb, NULL, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          FILE_OPEN, FILE_NON_DIRECTORY_FILE, NULL, 0);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    ZwFlushBuffersFile(hFile, &Iosb);
    /* No object type: Wine's check of the file type refuses this handle's object. */
    Status = ObReferenceObjectByHandle(hFile, 0, NULL, KernelMode, (PVOID *)&pFile, NULL);
    ZwClose(hFile);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    *ppFile = pFile;
    *ppDevice = pFile->DeviceObject;
    return STATUS_SUCCESS;
}

/* ---- Rewriting Wine's entries ---- */

static NTSTATUS Redirect(PCWSTR pszName, PVOID pTarget)
{
    UNICODE_STRING Name;
    PUCHAR pEntry;
    PVOID pBase;
    SIZE_T cb = 5;
    ULONG dwOld, dwIgnored;
    NTSTATUS Status;
    RtlInitUnicodeString(&Name, pszName);
    pEntry = (PUCHAR)MmGetSystemRoutineAddress(&Name);
    if (pEntry == NULL) {
        DbgPrint("dvwine: %ws is not exported\n", pszName);
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    pBase = pEntry;
    Status = g_pfnProtect(NtCurrentProcess(), &pBase, &cb, PAGE_EXECUTE_READWRITE, &dwOld);
    if (!NT_SUCCESS(Status)) {
        DbgPrint("dvwine: cannot make %ws writable: 0x%08lx\n", pszName, (ULONG)Status);
        return Status;
    }
    pEntry[0] = 0xE9; /* jmp rel32 */
    *(LONG UNALIGNED *)(pEntry + 1) = (LONG)((PUCHAR)pTarget - (pEntry + 5));
    pBase = pEntry;
    cb = 5;
    g_pfnProtect(NtCurrentProcess(), &pBase, &cb, dwOld, &dwIgnored);
    return STATUS_SUCCESS;
}

/* ---- The 98/Me debug device: "int 20h" + service dword, one argument on the stack ---- */

static HANDLE g_hLog;        /* the driver's log lines, one a line */
static KSPIN_LOCK g_LogLock;

static VOID WriteLogLine(const char *pszText)
{
    IO_STATUS_BLOCK Iosb;
    LARGE_INTEGER AtEnd;
    ULONG cb = 0;
    static const char cNewline = '\n';
    KIRQL OldIrql;
    if (g_hLog == NULL || pszText == NULL) {
        return;
    }
    while (pszText[cb] != '\0' && cb < 4096) {
        cb++;
    }
    AtEnd.HighPart = -1;
    AtEnd.LowPart = FILE_WRITE_TO_END_OF_FILE;
    OldIrql = KfAcquireSpinLock(&g_LogLock);
    ZwWriteFile(g_hLog, NULL, NULL, NULL, &Iosb, (PVOID)pszText, cb, &AtEnd, NULL);
    ZwWriteFile(g_hLog, NULL, NULL, NULL, &Iosb, (PVOID)&cNewline, 1, &AtEnd, NULL);
    KfReleaseSpinLock(&g_LogLock, OldIrql);
}

static LONG NTAPI VxdCall(DVW_EXCEPTION_POINTERS *pInfo)
{
    PVOID pContext = pInfo->pContext;
    PUCHAR pIp = (PUCHAR)(ULONG_PTR)DVW_CTX(pContext, DVW_CTX_EIP);
    ULONG dwService;
    if ((pInfo->pRecord->ExceptionCode != STATUS_ACCESS_VIOLATION &&
         pInfo->pRecord->ExceptionCode != DVW_STATUS_PRIVILEGED_INSTRUCTION) ||
        pIp[0] != 0xCD || pIp[1] != 0x20) {
        return DVW_EXCEPTION_CONTINUE_SEARCH;
    }
    dwService = *(ULONG UNALIGNED *)(pIp + 2);
    if (dwService == 0x03270000UL) {
        DVW_CTX(pContext, DVW_CTX_EAX) = DVW_DEBUG_DEVICE_VERSION;
    } else if (dwService == 0x03270001UL) {
        WriteLogLine((const char *)*(ULONG_PTR *)(ULONG_PTR)DVW_CTX(pContext, DVW_CTX_ESP));
        DVW_CTX(pContext, DVW_CTX_EAX) = 0;
    } else {
        DbgPrint("dvwine: virtual-device call to service 0x%08lx, which no device here provides\n", dwService);
        return DVW_EXCEPTION_CONTINUE_SEARCH;
    }
    DVW_CTX(pContext, DVW_CTX_EIP) += 6;
    return DVW_EXCEPTION_CONTINUE_EXECUTION;
}

/* ntdll's export by name, through the process environment block's module list (fs:[30h]). */
static PVOID NtdllExport(const char *pszWanted)
{
    PUCHAR pPeb, pLdr;
    PLIST_ENTRY pHead, p;
    __asm__ __volatile__("movl %%fs:0x30, %0" : "=r"(pPeb));
    pLdr = *(PUCHAR *)(pPeb + 0x0C);
    pHead = (PLIST_ENTRY)(pLdr + 0x0C); /* InLoadOrderModuleList */
    for (p = pHead->Flink; p != pHead; p = p->Flink) {
        PUCHAR pEntry = (PUCHAR)p;
        PUNICODE_STRING pName = (PUNICODE_STRING)(pEntry + 0x2C); /* BaseDllName */
        PUCHAR pBase = *(PUCHAR *)(pEntry + 0x18);                /* DllBase */
        static const WCHAR szNtdll[] = { 'n', 't', 'd', 'l', 'l', '.', 'd', 'l', 'l' };
        USHORT i;
        BOOLEAN fNtdll = pName->Length == sizeof(szNtdll);
        for (i = 0; fNtdll && i < sizeof(szNtdll) / sizeof(WCHAR); i++) {
            WCHAR c = pName->Buffer[i];
            fNtdll = (c >= 'A' && c <= 'Z' ? c + 32 : c) == szNtdll[i];
        }
        if (fNtdll) {
            /* PE32: e_lfanew at 3Ch, the export directory's RVA at 78h into the NT headers. */
            PUCHAR pNt = pBase + *(PULONG)(pBase + 0x3C);
            PUCHAR pExports = pBase + *(PULONG)(pNt + 0x78);
            ULONG nNames = *(PULONG)(pExports + 0x18);
            PULONG pFunctions = (PULONG)(pBase + *(PULONG)(pExports + 0x1C));
            PULONG pNames = (PULONG)(pBase + *(PULONG)(pExports + 0x20));
            PUSHORT pOrdinals = (PUSHORT)(pBase + *(PULONG)(pExports + 0x24));
            ULONG n;
            for (n = 0; n < nNames; n++) {
                const char *a = (const char *)(pBase + pNames[n]);
                const char *b = pszWanted;
                while (*a != '\0' && *a == *b) {
                    a++;
                    b++;
                }
                if (*a == *b) {
                    return pBase + pFunctions[pOrdinals[n]];
                }
            }
        }
    }
    return NULL;
}

static NTSTATUS OpenLog(PUNICODE_STRING pRegistryPath)
{
    static const WCHAR szLog[] = L"\\??\\C:\\devididi-vxd.log";
    UNICODE_STRING Name;
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK Iosb;
    RtlInitUnicodeString(&Name, szLog);
    InitializeObjectAttributes(&Attributes, &Name, OBJ_KERNEL_HANDLE, NULL, NULL);
    return ZwCreateFile(&g_hLog, FILE_APPEND_DATA | SYNCHRONIZE, &Attributes, &Iosb, NULL, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ, FILE_OPEN_IF, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                        NULL, 0);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    static const struct {
        PCWSTR pszName;
        PVOID pTarget;
    } aRedirects[] = {
        { L"ExfInterlockedInsertTailList", (PVOID)DvwInsertTail },
        { L"ExfInterlockedRemoveHeadList", (PVOID)DvwRemoveHead },
        { L"KefAcquireSpinLockAtDpcLevel", (PVOID)DvwAcquireAtDpcLevel },
        { L"KefReleaseSpinLockFromDpcLevel", (PVOID)DvwReleaseFromDpcLevel },
        { L"KeInsertQueueDpc", (PVOID)DvwInsertQueueDpc },
        { L"KeRemoveQueueDpc", (PVOID)DvwRemoveQueueDpc },
        { L"IoGetDeviceObjectPointer", (PVOID)DvwGetDeviceObjectPointer },
        { L"KfRaiseIrql", (PVOID)DvwRaiseIrql },
        { L"KfLowerIrql", (PVOID)DvwLowerIrql },
        { L"KeSetTimer", (PVOID)DvwSetTimer },
        { L"KeCancelTimer", (PVOID)DvwCancelTimer },
    };
    HANDLE hThread;
    DVW_ADD_VEH pfnAddVeh;
    NTSTATUS Status;
    ULONG i;
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, L"ZwProtectVirtualMemory");
    g_pfnProtect = (DVW_PROTECT)MmGetSystemRoutineAddress(&Name);
    RtlInitUnicodeString(&Name, L"KeQueryTickCount");
    g_pfnQueryTickCount = (DVW_QUERY_TICK_COUNT)MmGetSystemRoutineAddress(&Name);
    if (g_pfnProtect == NULL || g_pfnQueryTickCount == NULL) {
        DbgPrint("dvwine: ZwProtectVirtualMemory or KeQueryTickCount is not exported\n");
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    KeInitializeSpinLock(&g_DpcLock);
    KeInitializeSpinLock(&g_LogLock);
    InitializeListHead(&g_DpcQueue);
    KeInitializeEvent(&g_DpcWork, SynchronizationEvent, FALSE);
    Status = PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, NULL, NULL, NULL, DpcWorker, NULL);
    if (!NT_SUCCESS(Status)) {
        DbgPrint("dvwine: no DPC thread: 0x%08lx\n", (ULONG)Status);
        return Status;
    }
    ZwClose(hThread);
    for (i = 0; i < sizeof(aRedirects) / sizeof(aRedirects[0]); i++) {
        Status = Redirect(aRedirects[i].pszName, aRedirects[i].pTarget);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
    }
    Status = OpenLog(pRegistryPath);
    if (!NT_SUCCESS(Status)) {
        DbgPrint("dvwine: cannot open the debug device's log: 0x%08lx\n", (ULONG)Status);
        return Status;
    }
    pfnAddVeh = (DVW_ADD_VEH)NtdllExport("RtlAddVectoredExceptionHandler");
    if (pfnAddVeh == NULL || pfnAddVeh(1, VxdCall) == NULL) {
        DbgPrint("dvwine: cannot install the debug device\n");
        return STATUS_UNSUCCESSFUL;
    }
    DbgPrint("dvwine: ready, %lu routines replaced\n", i);
    /* No unload routine: the routines it replaced lead here for as long as the process lives. */
    return STATUS_SUCCESS;
}
