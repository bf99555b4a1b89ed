/*
 * The test drivers' one way to send the exchange a control request from kernel mode and wait for its
 * answer (at PASSIVE_LEVEL): included by each driver's single source file.
 */
#ifndef DEVIDIDI_TEST_EXCHANGE_CALL_H
#define DEVIDIDI_TEST_EXCHANGE_CALL_H

#include "streamer.h"

static NTSTATUS ExchangeCall(PDEVICE_OBJECT pExchange, ULONG dwCode, PSTREAMER_SRV_PARAM pParam)
{
    KEVENT Event;
    IO_STATUS_BLOCK Iosb;
    NTSTATUS Status;
    PIRP pIrp;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    pIrp = IoBuildDeviceIoControlRequest(dwCode, pExchange, pParam, sizeof *pParam, NULL, 0, FALSE, &Event, &Iosb);
    if (pIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Status = IoCallDriver(pExchange, pIrp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = Iosb.Status;
    }
    return Status;
}

#endif
