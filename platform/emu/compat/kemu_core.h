/* Kit 1.0's path of emu/kemu/core.h, kept through kit 1.x; include emu/kemu/core.h instead. */
#pragma message("emu/kemu_core.h is deprecated since kit 1.1 and goes in 2.0: include emu/kemu/core.h")
#include "kemu/core.h"
