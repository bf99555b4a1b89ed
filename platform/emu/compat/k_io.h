/* Kit 1.0's path of emu/ddk/io.h, kept through kit 1.x; include emu/ddk/io.h instead. */
#pragma message("emu/k_io.h is deprecated since kit 1.1 and goes in 2.0: include emu/ddk/io.h")
#include "ddk/io.h"
