/* Kit 1.0's path of emu/kemu/registry.h, kept through kit 1.x; include emu/kemu/registry.h instead. */
#pragma message("emu/kemu_registry.h is deprecated since kit 1.1 and goes in 2.0: include emu/kemu/registry.h")
#include "kemu/registry.h"
