/* A careless client driver: its DPC allocates a request; its unload allocates another and
 * queues the DPC again, with two more: one whose object lies in its image but whose routine is the
 * test program's, and one whose object is a pool block ('Dpcc') but whose routine is its own; the
 * request of its unload has its status block in the image, and its address in a pool block ('Irpc').
 * It leaves an hourly timer set and a thread waiting for ever. */
#include "kernel.h"

static KDPC g_dpc;
static PIRP g_fromDpc;
static PIRP g_fromUnload;
static KDPC g_foreignRoutine;
static IO_STATUS_BLOCK g_iosb;
static KTIMER g_timer;
static KDPC g_timerDpc;

static LARGE_INTEGER g_hour = { .QuadPart = -36000000000LL };

VOID NTAPI CarelessForeignRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);

static VOID NTAPI Forever(PVOID context)
{
    for (;;) KeDelayExecutionThread(KernelMode, FALSE, &g_hour);
}

static VOID NTAPI Work(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2)
{
    if (g_fromDpc == NULL) g_fromDpc = IoAllocateIrp(1, FALSE);
}

static VOID NTAPI Unload(PDRIVER_OBJECT driver)
{
    PKDPC pooled = (PKDPC)ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), 0x63637044);
    PIRP *stash = (PIRP *)ExAllocatePoolWithTag(NonPagedPool, sizeof(PIRP), 0x63707249);
    g_fromUnload = IoAllocateIrp(1, FALSE);
    if (g_fromUnload != NULL) {
        g_fromUnload->UserIosb = &g_iosb;
    }
    if (stash != NULL) {
        *stash = g_fromUnload;
    }
    KeInsertQueueDpc(&g_dpc, NULL, NULL);
    KeInitializeDpc(&g_foreignRoutine, CarelessForeignRoutine, NULL);
    KeInsertQueueDpc(&g_foreignRoutine, NULL, NULL);
    if (pooled != NULL) {
        KeInitializeDpc(pooled, Work, NULL);
        KeInsertQueueDpc(pooled, NULL, NULL);
    }
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    KeInitializeDpc(&g_dpc, Work, NULL);
    KeInsertQueueDpc(&g_dpc, NULL, NULL);
    KeInitializeTimer(&g_timer);
    KeInitializeDpc(&g_timerDpc, Work, NULL);
    KeSetTimerEx(&g_timer, g_hour, 3600000, &g_timerDpc);
    HANDLE thread;
    if (PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, Forever, NULL) == STATUS_SUCCESS) {
        ZwClose(thread);
    }
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
