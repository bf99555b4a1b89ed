/*
 * Control of the kernel emulation for tests and tools (C++17). Driver sources never include this;
 * they see only kernel.h.
 */
#ifndef DEVIDIDI_EMU_KEMU_H
#define DEVIDIDI_EMU_KEMU_H

#include "kemu_core.h"
#if __has_include("kemu_registry.h")
#include "kemu_registry.h"
#endif
#if __has_include("kemu_io.h")
#include "kemu_io.h"
#endif

#endif
