/* Kit 1.0's path of emu/kemu/io.h, kept through kit 1.x; include emu/kemu/io.h instead. */
#pragma message("emu/kemu_io.h is deprecated since kit 1.1 and goes in 2.0: include emu/kemu/io.h")
#include "kemu/io.h"
