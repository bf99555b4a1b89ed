/*
 * The exchange's entry point, for tests that link it beside their own client driver and load it
 * with kemu::LoadDriver. A client driver itself never includes this.
 */
#ifndef DEVIDIDI_EXCHANGE_H
#define DEVIDIDI_EXCHANGE_H

#include "kernel.h"

#ifdef __cplusplus
extern "C"
#endif
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath);

#endif
