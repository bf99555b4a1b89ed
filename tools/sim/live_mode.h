// The default run: a video-conferencing terminal for a few seconds, with a live view.
#ifndef DEVIDIDI_SIM_LIVE_MODE_H
#define DEVIDIDI_SIM_LIVE_MODE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct LiveOptions {
    double duration = 5;      // seconds of traffic
    std::string registryFile; // debug levels from this .reg file instead of the built-in ones
    std::string logFile;      // every line of the debug output service goes here
    bool verbose = false;     // and to standard output
    std::vector<std::string> driverFiles; // client drivers loaded beside the terminal's own clients
    std::optional<uint64_t> preemptSeed; // randomized preemption at kernel calls, from this seed
    // The streams the loaded drivers consume: their ring size (0: the terminal's), their block sizes
    // (0: the terminal's own, varied so that blocks cross the ring's end), and every so many blocks
    // a burst of more than a ring at DISPATCH_LEVEL (0: none).
    uint64_t driverRing = 0;
    uint64_t blockMin = 0, blockMax = 0;
    uint64_t burstEvery = 0;
};

// 0 when every check held: no byte mismatch, no leak, no platform violation; 1 otherwise; 2 when
// the log file cannot be written or the .reg file not read.
int RunLive(const LiveOptions &options);

// The built-in debug levels: the sample .reg file shipped with the examples.
extern const char kDefaultLevels[];

} // namespace sim

#endif
