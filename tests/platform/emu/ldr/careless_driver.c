/* A careless client driver: its DPC allocates a request; its unload allocates another and
 * queues the DPC again. It leaves an hourly timer set and a thread waiting for ever. */
#include "kernel.h"

static KDPC g_dpc;
static PIRP g_fromDpc;
static PIRP g_fromUnload;
static KTIMER g_timer;
static KDPC g_timerDpc;

static LARGE_INTEGER g_hour = { .QuadPart = -36000000000LL };

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
    g_fromUnload = IoAllocateIrp(1, FALSE);
    KeInsertQueueDpc(&g_dpc, NULL, NULL);
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
