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
 * The virtual-device services the driver calls (device << 16 | service): the debug output device
 * 0x0327, service 0 (version) and service 1 (show a line). They are listed here because the
 * service dword has to be a constant in the instruction stream (see below).
 */
#define KX_VXD_SERVICE_0327_0 0x03270000UL
#define KX_VXD_SERVICE_0327_1 0x03270001UL

/*
 * One call "int 20h" + service dword. The system rewrites those six bytes into a direct call on
 * first use, so the dword must be an immediate of the instruction stream, never a runtime value.
 * Convention (that of the C-style services): the one argument is pushed and popped again by the
 * caller, the answer comes back in EAX, and EAX, ECX, EDX and the flags do not survive.
 */
#define KX_VXD_CALL_(dwService, dwArg, dwResult)                       \
    __asm__ __volatile__("pushl %1\n\t"                                \
                         "int $0x20\n\t"                               \
                         ".long %c2\n\t"                               \
                         "addl $4, %%esp"                              \
                         : "=a"(dwResult)                              \
                         : "r"(dwArg), "i"(dwService)                  \
                         : "ecx", "edx", "memory", "cc")

/*
 * Virtual-device service call of the Windows 98/Me family. Made only where the running system is
 * of that family, told by WDM 1.10 (the first NT-family WDM) being unavailable; on the NT family,
 * on other processors and for any service not listed above the answer is 0, which the debug log
 * reads as "no output service".
 */
static __inline ULONG KxVxdServiceCall(USHORT wDevice, USHORT wService, ULONG_PTR dwArg)
{
#if defined(__i386__)
    ULONG dwResult = 0;
    ULONG dwService = ((ULONG)wDevice << 16) | wService;
    if (dwService != KX_VXD_SERVICE_0327_0 && dwService != KX_VXD_SERVICE_0327_1) {
        return 0;
    }
    if (IoIsWdmVersionAvailable(1, 0x10)) {
        return 0; /* an NT-family kernel: no virtual-device services */
    }
    if (dwService == KX_VXD_SERVICE_0327_0) {
        KX_VXD_CALL_(KX_VXD_SERVICE_0327_0, dwArg, dwResult);
    } else {
        KX_VXD_CALL_(KX_VXD_SERVICE_0327_1, dwArg, dwResult);
    }
    return dwResult;
#else
    (void)wDevice;
    (void)wService;
    (void)dwArg;
    return 0;
#endif
}
#ifdef __cplusplus
}
#endif

#endif
