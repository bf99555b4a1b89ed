/* Kit 1.0's path of emu/ddk/registry.h, kept through kit 1.x; include emu/ddk/registry.h instead. */
#pragma message("emu/k_registry.h is deprecated since kit 1.1 and goes in 2.0: include emu/ddk/registry.h")
#include "ddk/registry.h"
