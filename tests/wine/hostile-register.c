/*
 * hostile-register: what any user account could try against the exchange. Opens \\.\DeVididi
 * from user mode and sends STREAMER_REGISTER_PROVIDER with a full record whose ppfnProvideData is
 * 0x1000 (a write target) and whose callbacks are 0x41414141 and 0x42424242 (call targets). The
 * request must fail with access denied (error 5). Exit status: 0 refused with error 5, 1 anything
 * else (accepted, or another error), 3 the driver is not loaded. Wine job only.
 */
#include <stddef.h>
#include <windows.h>

#define DEVIDIDI_PLATFORM_KERNEL_H
#include "streamer.h"

static void Put(const char *psz)
{
    DWORD cb = 0, cbWritten;
    while (psz[cb] != '\0') {
        cb++;
    }
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), psz, cb, &cbWritten, NULL);
}

void __stdcall HostileMain(void)
{
    STREAMER_SRV_PARAM Param = { { 0 } };
    DWORD cbReturned = 0, dwError;
    HANDLE hDevice;
    BOOL fDone;
    char szError[] = "hostile-register: failed with error 0000000000\n";
    int i;

    hDevice = CreateFileA("\\\\.\\DeVididi", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hDevice == INVALID_HANDLE_VALUE) {
        Put("hostile-register: the driver is not loaded\n");
        ExitProcess(3);
    }
    Param.RegisterProvider.hStream = 42;
    Param.RegisterProvider.dwBufferSize = 1000;
    Param.RegisterProvider.pfnProvideDataComplete = (STREAMER_PROVIDE_DATA_COMPLETE_CALLBACK)(ULONG_PTR)0x41414141;
    Param.RegisterProvider.pfnNotify = (STREAMER_PROVIDER_NOTIFY_CALLBACK)(ULONG_PTR)0x42424242;
    Param.RegisterProvider.ppfnProvideData = (STREAMER_PROVIDE_DATA_ENTRY *)(ULONG_PTR)0x1000;
    Param.RegisterProvider.ppfnNotify = (STREAMER_PROVIDER_NOTIFY_ENTRY *)(ULONG_PTR)0x1004;
    fDone = DeviceIoControl(hDevice, STREAMER_REGISTER_PROVIDER, &Param, sizeof(Param), NULL, 0, &cbReturned, NULL);
    dwError = fDone ? 0 : GetLastError();
    CloseHandle(hDevice);
    if (fDone) {
        Put("hostile-register: ACCEPTED: the kernel was handed a write target and two call targets\n");
        ExitProcess(1);
    }
    if (dwError == ERROR_ACCESS_DENIED) {
        Put("hostile-register: refused, access denied (error 5)\n");
        ExitProcess(0);
    }
    for (i = 45; i >= 36; i--) {
        szError[i] = (char)('0' + dwError % 10);
        dwError /= 10;
    }
    Put(szError);
    ExitProcess(1);
}
