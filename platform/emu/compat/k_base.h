/* Kit 1.0's path of emu/ddk/base.h, kept through kit 1.x; include emu/ddk/base.h instead. */
#pragma message("emu/k_base.h is deprecated since kit 1.1 and goes in 2.0: include emu/ddk/base.h")
#include "ddk/base.h"
