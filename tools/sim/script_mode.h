// The scripted mode of the simulator: deterministic, one thread, commands from a file or stdin.
#ifndef DEVIDIDI_SIM_SCRIPT_MODE_H
#define DEVIDIDI_SIM_SCRIPT_MODE_H

#include <string>

namespace sim {

struct ScriptOptions {
    // Addresses in log lines print as <address> (see StableAddresses).
    bool stableAddresses = false;
    // Where load-driver looks for a FILE given without a directory ("" = next to the script).
    std::string driverDir;
    // At the end: the pool allocations made since the last fail-alloc line (or the start), the
    // failures injected by tag, and every pool block still live, with its allocating source.
    bool allocations = false;
};

// Runs a script ("-" for standard input). 0 when every check held, 1 when one failed (a byte
// mismatch, a platform rule violation, pool left after unload), 2 for a bad script line.
int RunScript(const std::string &path, const ScriptOptions &options);

} // namespace sim

#endif
