/*
 * Control of the kernel emulation for tests and tools (C++17). Driver sources never include this;
 * they see only kernel.h.
 */
#ifndef DEVIDIDI_EMU_KEMU_H
#define DEVIDIDI_EMU_KEMU_H

#include "core.h"
#if __has_include("registry.h")
#include "registry.h"
#endif
#if __has_include("io.h")
#include "io.h"
#endif

#endif
