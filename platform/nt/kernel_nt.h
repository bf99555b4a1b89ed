/* Windows form of the kernel header: the kernel's own headers plus what they leave undeclared. */
#ifndef DEVIDIDI_PLATFORM_KERNEL_NT_H
#define DEVIDIDI_PLATFORM_KERNEL_NT_H

/* The C++ mode of these headers defines both intrinsics twice unless told they exist. */
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/wdm.h>
#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif
/* Exported by ntoskrnl.exe, not declared by the DDK headers. */
int __cdecl sprintf(char *pszBuffer, const char *pszFormat, ...);
int __cdecl _vsnprintf(char *pszBuffer, size_t cbCount, const char *pszFormat, va_list args);

/*
 * Virtual-device service call of the Windows 98/Me family: int 20h followed by the service dword
 * (device << 16 | service). Made only where the running system is of that family; elsewhere the
 * answer is 0, which the debug log reads as "no output service".
 */
static __inline ULONG KxVxdServiceCall(USHORT wDevice, USHORT wService, ULONG_PTR dwArg)
{
    if (IoIsWdmVersionAvailable(1, 0x10)) {
        return 0; /* an NT-family kernel: no virtual-device services */
    }
#if defined(__i386__) || defined(_M_IX86)
    {
        ULONG dwResult = 0;
        ULONG dwService = ((ULONG)wDevice << 16) | wService;
        (void)dwService;
        __asm__ __volatile__(
            "pushl %1\n\t"
            "int $0x20\n\t"
            ".long %c2\n\t"
            "addl $4, %%esp\n\t"
            : "=a"(dwResult)
            : "r"(dwArg), "i"(0)
            : "memory", "cc");
        return dwResult;
    }
#else
    (void)wDevice; (void)wService; (void)dwArg;
    return 0;
#endif
}
#ifdef __cplusplus
}
#endif

#endif
