/* A careless client driver: its DPC allocates a request; its unload allocates another and
 * queues the DPC again. */
#include "kernel.h"

static KDPC g_dpc;
static PIRP g_fromDpc;
static PIRP g_fromUnload;

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
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
