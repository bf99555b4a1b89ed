/*
 * The one kernel header of the driver sources.
 *
 * Built for Windows (DEVIDIDI_NT_KERNEL defined) it pulls the kernel's own headers and adds the few
 * exports those headers leave undeclared. Everywhere else it declares the user-mode emulation in
 * platform/emu, which offers the same names, argument lists and semantics, so that one set of driver
 * sources compiles unchanged against either. Must stay valid C as well as C++.
 */
#ifndef DEVIDIDI_PLATFORM_KERNEL_H
#define DEVIDIDI_PLATFORM_KERNEL_H

#if defined(DEVIDIDI_NT_KERNEL)
#include "nt/kernel_nt.h"
#else
#include "emu/k_base.h"
#include "emu/k_registry.h"
#include "emu/k_io.h"
#endif

/* Pool tags are four bytes in memory order: KX_POOL_TAG('T','r','c','d') shows as "Trcd". */
#define KX_POOL_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))

/* Placement new, the one piece of the C++ run time the driver uses. */
#ifdef __cplusplus
#if defined(DEVIDIDI_NT_KERNEL)
inline void *operator new(size_t, void *pPlace) noexcept { return pPlace; }
inline void operator delete(void *, void *) noexcept {}
#else
#include <new>
#endif
#endif

/* Wide string literals: WCHAR is 16 bits on both sides, wchar_t only on Windows. */
#ifndef KWSTR
#if defined(DEVIDIDI_NT_KERNEL)
#define KWSTR(s) L##s
#else
#define KWSTR(s) u##s
#endif
#endif

#endif
