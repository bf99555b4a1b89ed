// Names the simulator prints: NT status values and notification codes.
#ifndef DEVIDIDI_SIM_NAMES_H
#define DEVIDIDI_SIM_NAMES_H

#include <string>

#include "kernel.h"

namespace sim {

// "STATUS_SUCCESS" and so on; a value without a name prints as 0xC00000BB.
std::string StatusName(NTSTATUS status);
// "CONSUMER_REGISTERED" for 1 and so on; "" for a code the system gives no name.
const char *NotifyName(ULONG code);

} // namespace sim

#endif
