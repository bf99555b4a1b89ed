/* Kit 1.0's path of emu/kemu/kemu.h, kept through kit 1.x; include emu/kemu/kemu.h instead. */
#pragma message("emu/kemu.h is deprecated since kit 1.1 and goes in 2.0: include emu/kemu/kemu.h")
#include "kemu/kemu.h"
