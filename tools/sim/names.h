// Names the simulator prints: NT status values and notification codes.
#ifndef DEVIDIDI_SIM_NAMES_H
#define DEVIDIDI_SIM_NAMES_H

#include <string>

#include "kernel.h"

namespace sim {

// "STATUS_SUCCESS" and so on; a value without a name prints as 0xC00000BB.
std::string StatusName(NTSTATUS status);
// The error number a Windows program reads from GetLastError after a call that ended with the
// status, as the kernel's status-to-error table gives it ("0" for success; a status outside the
// few a control request here can end with prints as "status 0xC00000BB").
std::string WindowsError(NTSTATUS status);
// "CONSUMER_REGISTERED" for 1 and so on; "" for a code the system gives no name.
const char *NotifyName(ULONG code);

// The log line with every address the driver prints (a record, a caller's buffer, a traced block)
// replaced by "<address>", for golden files. The driver prints pointers as their low 32 bits, which
// differ between runs and builds; consumer handles, which the scripts choose, stay as they are.
std::string StableAddresses(const std::string &line);

} // namespace sim

#endif
