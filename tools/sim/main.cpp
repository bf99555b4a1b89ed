// devididi-sim: the DeVididi stream exchange in the emulated kernel, with client drivers around it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>

#include "devididi_kit.h"
#include "emu/kemu/kemu.h"
#include "live_mode.h"
#include "platform.h"
#include "script.h"
#include "script_mode.h"

namespace {

const char kUsage[] =
    "usage: devididi-sim [--duration SECONDS] [--registry FILE.reg] [--log FILE] [--verbose]\n"
    "                    [--load-driver FILE.so]... [--preempt SEED]\n"
    "       devididi-sim --script FILE|- [--stable-addresses] [--allocations] [--driver-dir DIR]\n"
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
    "  --load-driver FILE   a client driver of your own (built with devididi_add_client_driver),\n"
    "                       loaded once the device is added and unloaded before its removal\n"
    "  --preempt SEED       threads yield or sleep briefly at random at kernel calls (spin locks,\n"
    "                       levels, interlocked operations, pool), reproducibly from SEED\n"
    "\n"
    "With --script: one thread, deterministic. The tick count starts at 0 and moves only by script.\n"
    "One command a line, '#' starts a comment, numbers decimal or 0x-hex:\n"
    "  level <MODULE> <n> | reg-import FILE.reg | debug-service present|absent | tick <n>\n"
    "  fail-alloc <k> [tag=XXXX] | fail-alloc p=<probability> seed=<n> [tag=XXXX]\n"
    "  load | add-device | remove-device | unload | open <name> | close <name>\n"
    "  provider <name> stream=<h> size=<n> [info=video,<FrameSize>,<FrameRate>,<CompStandard>\n"
    "                                       | info=audio,<CompStandard> | info=none]\n"
    "  consumer <name> stream=<h> handle=<n> | unregister <name>\n"
    "  provide <name> <bytes> | processed <name> <bytes>\n"
    "  notify <name> <code> [<word0> <word1>] [info=...]\n"
    "  print-status | print-streams <from> <to> | update-levels | orb-query | resync\n"
    "  bandwidth <mode> [trial=<units of 0.1 ms>] | ioctl <code> [<hex bytes>]\n"
    "  ioctl <code> [in=<hex>] [out=<n>]   (exact lengths, no padding)\n"
    "  ioctl <registration code> [stream=<n>] [size=<n>] [handle=<n>] record=null|short|valid|hostile\n"
    "      a whole registration record by its fields, its pointers null, leading to one-byte pool\n"
    "      blocks, to the client's own variables and callbacks, or, from user mode only, to 0x1000\n"
    "      with callbacks at 0x41414141 and 0x42424242; or cut=field|byte for the record one field\n"
    "      or one byte short (the same on every build)\n"
    "  from=user after any control request (print-status ... ioctl): sent as a user-mode program\n"
    "      sends it (RequestorMode UserMode)\n"
    "  load-driver <name> FILE | unload-driver <name>   a client driver of your own, from a file\n"
    "  dpcs hold|run        DPCs run at the end of the command that queued them; hold keeps them\n"
    "                       queued until run\n"
    "A bad line stops the run: 'line N: <reason>' on standard error, exit status 2.\n"
    "  --stable-addresses   addresses in log lines print as <address>, so that the output is the\n"
    "                       same in every run and build (for golden files)\n"
    "  --allocations        at the end: the pool allocations made since the last fail-alloc line\n"
    "                       (or the start), the failed ones by tag, and every block left with its\n"
    "                       allocating source; for sweeps that fail each allocation in turn\n"
    "  --driver-dir DIR     where load-driver finds a FILE named without a directory (default:\n"
    "                       next to the script)\n"
    "\n"
    "Both modes:\n"
    "  --image FILE.sys     run the genuine 32-bit kernel image in place of the driver built for\n"
    "                       this program (only a 32-bit i386 build can run it)\n"
    "  --family 98|nt       the system family the emulated kernel presents: 98 (the default; WDM\n"
    "                       1.05, the debug device answers virtual-device calls) or nt (WDM 1.10)\n";

// The driver built as a module lies beside the program; each load opens it anew.
std::string ModuleBesideProgram()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self = n > 0 ? std::string(path, size_t(n)) : std::string("./devididi-sim");
    return self.substr(0, self.find_last_of('/') + 1) + "devididi.so";
}

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
    std::string driverFile;
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
        } else if (arg == "--load-driver") {
            const char *text = value("--load-driver");
            if (text == nullptr) {
                return Usage("--load-driver takes a client driver file");
            }
            live.driverFiles.push_back(text);
            liveOption = true;
        } else if (arg == "--driver-dir") {
            const char *text = value("--driver-dir");
            if (text == nullptr) {
                return Usage("--driver-dir takes a directory");
            }
            scripted.driverDir = text;
        } else if (arg == "--image") {
            const char *text = value("--image");
            if (text == nullptr) {
                return Usage("--image takes a kernel image file");
            }
            driverFile = text;
        } else if (arg == "--family") {
            const char *text = value("--family");
            if (text != nullptr && std::strcmp(text, "nt") == 0) {
                kemu::SetWdmVersion(1, 0x10);
            } else if (text == nullptr || std::strcmp(text, "98") != 0) {
                return Usage("--family takes 98 or nt");
            }
        } else if (arg == "--stable-addresses") {
            scripted.stableAddresses = true;
        } else if (arg == "--allocations") {
            scripted.allocations = true;
        } else {
            return Usage(("unknown argument '" + arg + "'").c_str());
        }
    }
    if (driverFile.empty()) {
        driverFile = ModuleBesideProgram();
    }
    std::string error;
    if (!sim::Machine::UseDriverFile(driverFile, &error)) {
        std::fprintf(stderr, "devididi-sim: %s\n", error.c_str());
        return 2;
    }
    // Client drivers loaded from files are held to the exchange's contract at their unload.
    devididi::kit::WatchRegistrations();
    if (!script.empty()) {
        if (liveOption) {
            return Usage("--duration, --registry, --log, --verbose, --load-driver and --preempt belong to the default "
                         "run, not to "
                         "--script");
        }
        return sim::RunScript(script, scripted);
    }
    if (scripted.stableAddresses || scripted.allocations || !scripted.driverDir.empty()) {
        return Usage("--stable-addresses, --allocations and --driver-dir belong to --script");
    }
    return sim::RunLive(live);
}
