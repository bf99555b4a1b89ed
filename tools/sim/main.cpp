// devididi-sim: the DeVididi stream exchange in the emulated kernel, with client drivers around it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "live_mode.h"
#include "script.h"
#include "script_mode.h"

namespace {

const char kUsage[] =
    "usage: devididi-sim [--duration SECONDS] [--registry FILE.reg] [--log FILE] [--verbose] [--preempt SEED]\n"
    "       devididi-sim --script FILE|- [--stable-addresses]\n"
    "\n"
    "Without --script: a video-conferencing terminal for a few seconds. The driver is loaded into the\n"
    "emulated kernel, its function device added through plug-and-play, and client drivers exchange\n"
    "commands, notifications, audio, video and camera control on streams 0 to 8 at realistic rates,\n"
    "under a live view. At the end: the status report, removal, unload, leak report and summary.\n"
    "Exit status 0 only when every check held.\n"
    "\n"
    "  --duration SECONDS   length of the run (default 5)\n"
    "  --registry FILE.reg  debug levels from a registry export (default: the built-in levels,\n"
    "                       those of examples/debug-levels.reg)\n"
    "  --log FILE           every line the debug output service receives\n"
    "  --verbose            those lines on standard output too (the view then prints plain lines)\n"
    "  --preempt SEED       threads yield or sleep briefly at random at kernel calls (spin locks,\n"
    "                       levels, interlocked operations, pool), reproducibly from SEED\n"
    "\n"
    "With --script: one thread, deterministic. The tick count starts at 0 and moves only by script.\n"
    "One command a line, '#' starts a comment, numbers decimal or 0x-hex:\n"
    "  level <MODULE> <n> | reg-import FILE.reg | debug-service present|absent | tick <n>\n"
    "  fail-alloc <k> [tag=XXXX]\n"
    "  load | add-device | remove-device | unload | open <name> | close <name>\n"
    "  provider <name> stream=<h> size=<n> [info=video,<FrameSize>,<FrameRate>,<CompStandard>\n"
    "                                       | info=audio,<CompStandard> | info=none]\n"
    "  consumer <name> stream=<h> handle=<n> | unregister <name>\n"
    "  provide <name> <bytes> | processed <name> <bytes>\n"
    "  notify <name> <code> [<word0> <word1>] [info=...]\n"
    "  print-status | print-streams <from> <to> | update-levels | orb-query | resync\n"
    "  bandwidth <mode> [trial=<units of 0.1 ms>] | ioctl <code> [<hex bytes>]\n"
    "A bad line stops the run: 'line N: <reason>' on standard error, exit status 2.\n"
    "  --stable-addresses   addresses in log lines print as <address>, so that the output is the\n"
    "                       same in every run and build (for golden files)\n";

int Usage(const char *problem)
{
    std::fprintf(stderr, "devididi-sim: %s\n\n%s", problem, kUsage);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    sim::LiveOptions live;
    sim::ScriptOptions scripted;
    std::string script;
    bool liveOption = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char *option) -> const char * {
            if (i + 1 >= argc) {
                return nullptr;
            }
            (void)option;
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--duration") {
            const char *text = value("--duration");
            char *end = nullptr;
            double seconds = text ? std::strtod(text, &end) : -1;
            if (text == nullptr || end == text || *end != '\0' || !(seconds > 0) || seconds > 3600) {
                return Usage("--duration takes a number of seconds, more than 0 and at most 3600");
            }
            live.duration = seconds;
            liveOption = true;
        } else if (arg == "--registry") {
            const char *text = value("--registry");
            if (text == nullptr) {
                return Usage("--registry takes a .reg file");
            }
            live.registryFile = text;
            liveOption = true;
        } else if (arg == "--log") {
            const char *text = value("--log");
            if (text == nullptr) {
                return Usage("--log takes a file name");
            }
            live.logFile = text;
            liveOption = true;
        } else if (arg == "--verbose") {
            live.verbose = true;
            liveOption = true;
        } else if (arg == "--preempt") {
            const char *text = value("--preempt");
            std::optional<uint64_t> seed = text ? sim::ParseNumber(text, UINT64_MAX) : std::nullopt;
            if (!seed) {
                return Usage("--preempt takes a seed, a whole number (decimal or 0x-hex)");
            }
            live.preemptSeed = seed;
            liveOption = true;
        } else if (arg == "--script") {
            const char *text = value("--script");
            if (text == nullptr) {
                return Usage("--script takes a file, or - for standard input");
            }
            script = text;
        } else if (arg == "--stable-addresses") {
            scripted.stableAddresses = true;
        } else {
            return Usage(("unknown argument '" + arg + "'").c_str());
        }
    }
    if (!script.empty()) {
        if (liveOption) {
            return Usage("--duration, --registry, --log, --verbose and --preempt belong to the default run, not to "
                         "--script");
        }
        return sim::RunScript(script, scripted);
    }
    if (scripted.stableAddresses) {
        return Usage("--stable-addresses belongs to --script");
    }
    return sim::RunLive(live);
}
