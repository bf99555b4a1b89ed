// devididi-sim: the DeVididi stream exchange in the emulated kernel, with client drivers around it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "devididi_kit.h"
#include "driver_tap.h"
#include "emu/kemu/kemu.h"
#include "live_mode.h"
#include "platform.h"
#include "report.h"
#include "run_record.h"
#include "script.h"
#include "script_mode.h"

namespace {

// What the options cannot say by themselves: the two modes and the script language.
const char kDescription[] =
    "devididi-sim: the DeVididi stream exchange in the emulated kernel, with client drivers around it.\n"
    "\n"
    "Without --script: a video-conferencing terminal for a few seconds. The driver is loaded into the\n"
    "emulated kernel, its function device added through plug-and-play, and client drivers exchange\n"
    "commands, notifications, audio, video and camera control on streams 0 to 8 at realistic rates,\n"
    "under a live view. At the end: the status report, removal, unload, leak report and summary.\n"
    "Exit status 0 only when every check held.\n"
    "\n"
    "With --script: one thread, deterministic; a script is one command a line (below).";

const char kScriptLanguage[] =
    "Scripts: the tick count starts at 0 and moves only by script.\n"
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
    "  user-requests fresh|<name> <code> in=<n> out=<n>   the code from user mode with six shapes of\n"
    "      buffer: none, byte, short, exact (a record of in= bytes, an answer of out=, at most 256),\n"
    "      large (256 each), output alone; each on a fresh handle or on <name>'s open one; a line\n"
    "      each: handle, code, shape, Windows error, bytes returned, output changed or same\n"
    "A bad line stops the run: 'line N: <reason>' on standard error, exit status 2.";

// The driver built as a module lies beside the program; each load opens it anew.
std::string ModuleBesideProgram()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self = n > 0 ? std::string(path, size_t(n)) : std::string("./devididi-sim");
    return self.substr(0, self.find_last_of('/') + 1) + "devididi.so";
}

// A bad command line: one line with the reason, exit status 2.
int Usage(const std::string &problem)
{
    std::fprintf(stderr, "devididi-sim: %s (--help lists the options)\n", problem.c_str());
    return 2;
}

// What each option takes, for the line that refuses a missing or malformed value.
const std::map<std::string, std::string> kTakes = {
    {"--duration", "--duration takes a number of seconds, more than 0 and at most 3600"},
    {"--registry", "--registry takes a .reg file"},
    {"--log", "--log takes a file name"},
    {"--preempt", "--preempt takes a seed, a whole number (decimal or 0x-hex)"},
    {"--script", "--script takes a file, or - for standard input"},
    {"--load-driver", "--load-driver takes a client driver file"},
    {"--ring-size", "--ring-size takes a whole number from 1 to 16777216"},
    {"--force-loss", "--force-loss takes a whole number from 1 to 16777216"},
    {"--block-size", "--block-size takes a size or a range MIN-MAX of sizes, from 1 to 1048576 bytes"},
    {"--driver-dir", "--driver-dir takes a directory"},
    {"--image", "--image takes a kernel image file"},
    {"--family", "--family takes 98 or nt"},
    {"--report", "--report takes a file name"},
    {"--trace", "--trace takes a file name"},
};

// The library's reason, or ours when it names an option that takes a value.
std::string Reason(const CLI::ParseError &error, const CLI::App &app)
{
    if (dynamic_cast<const CLI::ExtrasError *>(&error) != nullptr && !app.remaining().empty()) {
        return "unknown argument '" + app.remaining().front() + "'";
    }
    const std::string what = error.what();
    for (const auto &[option, takes] : kTakes) {
        if (what.compare(0, option.size() + 1, option + ":") == 0 || what.find(" " + option + " ") != std::string::npos) {
            return takes;
        }
    }
    return what;
}

} // namespace

int main(int argc, char **argv)
{
    sim::LiveOptions live;
    sim::ScriptOptions scripted;
    std::string script, driverFile, family, duration, preempt, ringSize, blockSize, forceLoss, reportFile, traceFile;

    CLI::App app(kDescription, "devididi-sim");
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast); // as before: the last one counts
    app.allow_windows_style_options(false);
    app.footer(kScriptLanguage);
    app.get_formatter()->column_width(30);
    const char *liveGroup = "The default run";
    const char *scriptGroup = "Scripts";
    const char *bothGroup = "Both modes";
    app.add_option("--duration", duration, "length of the run in seconds, more than 0, at most 3600 (default 5)")
        ->type_name("SECONDS")->group(liveGroup);
    app.add_option("--registry", live.registryFile,
                   "debug levels from a registry export (default: the built-in levels, those of "
                   "examples/debug-levels.reg)")
        ->type_name("FILE.reg")->group(liveGroup);
    app.add_option("--log", live.logFile, "every line the debug output service receives")->type_name("FILE")->group(liveGroup);
    app.add_flag("--verbose", live.verbose, "those lines on standard output too (the view then prints plain lines)")
        ->disable_flag_override()
        ->group(liveGroup);
    app.add_option("--load-driver", live.driverFiles,
                   "a client driver of your own (built with devididi_add_client_driver), loaded once the device is "
                   "added and unloaded before its removal, and accounted as the terminal's own consumers are; the "
                   "streams it reads carry blocks of varied sizes, so that blocks cross the ring's end (repeatable)")
        ->type_name("FILE.so")->allow_extra_args(false)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->group(liveGroup);
    app.add_option("--ring-size", ringSize, "the ring of each stream a loaded driver reads (default: the terminal's)")
        ->type_name("BYTES")->group(liveGroup);
    app.add_option("--block-size", blockSize, "the blocks provided on those streams, of this size or in this range")
        ->type_name("BYTES[-BYTES]")->group(liveGroup);
    app.add_option("--force-loss", forceLoss,
                   "every so many blocks, more than a ring of them in one go at DISPATCH_LEVEL: a driver that reads "
                   "later than its callback is told of lost bytes")
        ->type_name("BLOCKS")->group(liveGroup);
    app.add_option("--preempt", preempt,
                   "threads yield or sleep briefly at random at kernel calls (spin locks, levels, interlocked "
                   "operations, pool), reproducibly from SEED")
        ->type_name("SEED")->group(liveGroup);
    app.add_option("--script", script, "run a script, - for standard input (see below)")->type_name("FILE|-")->group(scriptGroup);
    app.add_flag("--stable-addresses", scripted.stableAddresses,
                 "addresses in log lines print as <address>, so that the output is the same in every run and build "
                 "(for golden files)")
        ->disable_flag_override()
        ->group(scriptGroup);
    app.add_flag("--allocations", scripted.allocations,
                 "at the end: the pool allocations made since the last fail-alloc line (or the start), the failed "
                 "ones by tag, and every block left with its allocating source; for sweeps that fail each "
                 "allocation in turn")
        ->disable_flag_override()
        ->group(scriptGroup);
    app.add_option("--driver-dir", scripted.driverDir,
                   "where load-driver finds a FILE named without a directory (default: next to the script)")
        ->type_name("DIR")->group(scriptGroup);
    app.add_option("--image", driverFile,
                   "run the genuine 32-bit kernel image in place of the driver built for this program (only a "
                   "32-bit i386 build can run it)")
        ->type_name("FILE.sys")->group(bothGroup);
    app.add_option("--family", family,
                   "the system family the emulated kernel presents: 98 (the default; WDM 1.05, the debug device "
                   "answers virtual-device calls) or nt (WDM 1.10)")
        ->type_name("98|nt")->group(bothGroup);
    app.add_option("--report", reportFile,
                   "at the end, an HTML report of the run that opens offline: per stream the provider's rate, each "
                   "consumer's use of the ring with its losses, the bytes announced, processed and lost over time; a "
                   "timeline of the clients; the checks")
        ->type_name("FILE.html")->group(bothGroup);
    app.add_option("--trace", traceFile,
                   "at the end, the run in the Trace Event Format (Perfetto, chrome://tracing): a track per client "
                   "thread, the calls and callbacks as slices, ring fill as counters, registrations and losses as "
                   "instants; a script gives the same file every time")
        ->type_name("FILE.json")->group(bothGroup);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError &error) {
        return Usage(Reason(error, app));
    }

    if (app.count("--duration") > 0) {
        char *end = nullptr;
        const double seconds = std::strtod(duration.c_str(), &end);
        if (end == duration.c_str() || *end != '\0' || !(seconds > 0) || seconds > 3600) {
            return Usage(kTakes.at("--duration"));
        }
        live.duration = seconds;
    }
    if (app.count("--preempt") > 0) {
        live.preemptSeed = sim::ParseNumber(preempt, UINT64_MAX);
        if (!live.preemptSeed) {
            return Usage(kTakes.at("--preempt"));
        }
    }
    for (auto [option, text, target] : {std::tuple{"--ring-size", &ringSize, &live.driverRing},
                                        std::tuple{"--force-loss", &forceLoss, &live.burstEvery}}) {
        if (app.count(option) > 0) {
            std::optional<uint64_t> number = sim::ParseNumber(*text, 16u << 20);
            if (!number || *number == 0) {
                return Usage(kTakes.at(option));
            }
            *target = *number;
        }
    }
    if (app.count("--block-size") > 0) {
        const size_t dash = blockSize.find('-');
        std::optional<uint64_t> low = sim::ParseNumber(blockSize.substr(0, dash), 1u << 20);
        std::optional<uint64_t> high =
            dash == std::string::npos ? low : sim::ParseNumber(blockSize.substr(dash + 1), 1u << 20);
        if (!low || !high || *low == 0 || *high < *low) {
            return Usage(kTakes.at("--block-size"));
        }
        live.blockMin = *low;
        live.blockMax = *high;
    }
    if (family == "nt") {
        kemu::SetWdmVersion(1, 0x10);
    } else if (app.count("--family") > 0 && family != "98") {
        return Usage(kTakes.at("--family"));
    }
    const bool stress = app.count("--ring-size") + app.count("--block-size") + app.count("--force-loss") > 0;
    bool liveOption = stress;
    for (const char *option : {"--duration", "--registry", "--log", "--verbose", "--load-driver", "--preempt"}) {
        liveOption = liveOption || app.count(option) > 0;
    }
    for (const auto &[option, text] : {std::pair{"--script", &script}, std::pair{"--driver-dir", &scripted.driverDir},
                                       std::pair{"--image", &driverFile}, std::pair{"--report", &reportFile},
                                       std::pair{"--trace", &traceFile}}) {
        if (app.count(option) > 0 && text->empty()) {
            return Usage(kTakes.at(option));
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
    // Client drivers loaded from files are held to the exchange's contract at their unload, and
    // accounted as the simulator's own clients are.
    devididi::kit::WatchRegistrations(sim::TapDriverRequests());
    if (stress && live.driverFiles.empty()) {
        return Usage("--ring-size, --block-size and --force-loss act on the streams --load-driver drivers read");
    }
    if (!script.empty() && liveOption) {
        return Usage("--duration, --registry, --log, --verbose, --load-driver and --preempt belong to the default "
                     "run, not to "
                     "--script");
    }
    if (script.empty() && (scripted.stableAddresses || scripted.allocations || !scripted.driverDir.empty())) {
        return Usage("--stable-addresses, --allocations and --driver-dir belong to --script");
    }
    // The picture of the run: recorded while it runs, written once it is over.
    std::string chartLibrary;
    if (!reportFile.empty() && !sim::ReadChartLibrary(chartLibrary, error)) {
        std::fprintf(stderr, "devididi-sim: %s\n", error.c_str());
        return 2;
    }
    for (const std::string *file : {&reportFile, &traceFile}) {
        if (!file->empty() && !std::ofstream(*file)) { // refused now rather than after the run
            std::fprintf(stderr, "devididi-sim: cannot write %s\n", file->c_str());
            return 2;
        }
    }
    std::optional<sim::RunRecord> record;
    const std::string title = script.empty() ? "the default run" : "script " + script;
    // The files, at the end of the run or at a stop (which then ends the process with its own status).
    auto write = [&]() {
        if (!traceFile.empty() && !sim::WriteTrace(*record, traceFile, error)) {
            return false;
        }
        return reportFile.empty() || sim::WriteReport(*record, chartLibrary, title, reportFile, error);
    };
    if (!reportFile.empty() || !traceFile.empty()) {
        record.emplace(script.empty() ? sim::RunRecord::Clock::Real : sim::RunRecord::Clock::Scripted);
        sim::SetRecording(&*record);
        sim::SetRecordWriter([&]() {
            if (!write()) {
                std::fprintf(stderr, "devididi-sim: %s\n", error.c_str());
            }
        });
    }
    const int status = script.empty() ? sim::RunLive(live) : sim::RunScript(script, scripted);
    sim::SetRecordWriter(nullptr);
    sim::SetRecording(nullptr);
    if (record && !write()) {
        std::fprintf(stderr, "devididi-sim: %s\n", error.c_str());
        return 2;
    }
    return status;
}
