/* Kit 1.0's path of emu/kemu/ldr.h, kept through kit 1.x; include emu/kemu/ldr.h instead. */
#pragma message("emu/kemu_ldr.h is deprecated since kit 1.1 and goes in 2.0: include emu/kemu/ldr.h")
#include "kemu/ldr.h"
