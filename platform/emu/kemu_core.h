/* Control of the emulation's base services: rule violations and (to come) pool, clock, debug output. */
#ifndef DEVIDIDI_EMU_KEMU_CORE_H
#define DEVIDIDI_EMU_KEMU_CORE_H

#include <string>
#include <vector>

namespace kemu {

// What happens when code breaks a rule the kernel enforces (a verifier's job).
enum class ViolationMode {
    Abort,  // print the report to stderr and abort: the default, as a real machine would hang or crash
    Record, // keep the report for the test to read and carry on where that is possible
};

struct Violation {
    std::string rule;   // short name of the rule broken, e.g. "spin lock acquired twice"
    std::string detail; // where: addresses, levels, names
};

void SetViolationMode(ViolationMode mode);
ViolationMode GetViolationMode();
// Reports a broken rule. In Abort mode it does not return.
void ReportViolation(const std::string &rule, const std::string &detail);
// The reports recorded so far, oldest first; the list is emptied.
std::vector<Violation> TakeViolations();
// Number of reports since start (recorded or not yet taken).
size_t ViolationCount();

} // namespace kemu

#endif
