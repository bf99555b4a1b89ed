/*
 * The one kernel header of the driver sources.
 *
 * Built for Windows (DEVIDIDI_NT_KERNEL defined) it pulls the kernel's own headers and adds the few
 * exports those headers leave undeclared. Everywhere else it declares the user-mode emulation in
 * platform/emu, which offers the same names, argument lists and semantics, so that one set of driver
 * sources compiles unchanged against either. Must stay valid C as well as C++.
 *
 * The emulation's headers, by folder: emu/ddk/ what the driver sees (through this header only),
 * emu/kemu/ the kemu:: control API for tests, tools and the simulator, any other folder its inside
 * (platform/emu/README.md).
 */
#ifndef DEVIDIDI_PLATFORM_KERNEL_H
#define DEVIDIDI_PLATFORM_KERNEL_H

#if defined(DEVIDIDI_NT_KERNEL)
#include "nt/kernel_nt.h"
#else
#include "emu/ddk/base.h"
#include "emu/ddk/registry.h"
#include "emu/ddk/io.h"
#endif

/* Pool tags are four bytes in memory order: KX_POOL_TAG('T','r','c','d') shows as "Trcd". */
#define KX_POOL_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))

/*
 * A named scheduling point before one of the driver's own locked operations or accesses to a word
 * that others change at the same time (the rundown's lanes, the stream gate). In the emulation it
 * is a point of randomized preemption and of a forced schedule (kemu::ForceSchedule), one
 * predictable branch when neither is set; the Windows build compiles it to nothing.
 */
#if defined(DEVIDIDI_NT_KERNEL)
#define KX_SCHEDULING_POINT(name) ((void)0)
#else
#define KX_SCHEDULING_POINT(name) KemuSchedulingPoint(name)
#endif

/* Placement new, the one piece of the C++ run time the driver uses. */
#ifdef __cplusplus
#if defined(DEVIDIDI_NT_KERNEL)
inline void *operator new(size_t, void *pPlace) noexcept { return pPlace; }
inline void operator delete(void *, void *) noexcept {}
#else
#include <new>
#endif
#endif

/*
 * Wide string literals: WCHAR is 16 bits on both sides, wchar_t only on Windows. The argument is
 * expanded first, so that KWSTR(STREAMER_DEVICE_NAME) works. C99 has no 16-bit literal: there
 * KWSTR names its own way out (STREAMER_DEVICE_NAME_WCHARS in streamer.h, or a WCHAR array).
 */
#ifndef KWSTR
#if defined(DEVIDIDI_NT_KERNEL)
#define KWSTR_(s) L##s
#elif defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L)
#define KWSTR_(s) u##s
#else
#define KWSTR_(s) KWSTR_needs_C11_or_Cxx__in_C99_use_a_WCHAR_array_such_as_STREAMER_DEVICE_NAME_WCHARS
#endif
#define KWSTR(s) KWSTR_(s)
#endif

#endif
