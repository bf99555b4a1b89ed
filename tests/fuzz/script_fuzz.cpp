// The simulator's script parser and runner on any text. A bad line (exit 2) is an answer; a failed
// check (exit 1) or a kernel rule violation is a finding, unless allocations were made to fail or it
// is one of the two behaviours named below. Not run: more than 200 lines, sizes above 1 MiB, the
// bandwidth (slow), reg-import of other files than the copied examples. DV_FUZZ_VERBOSE=1 shows output.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "client.h"
#include "devididi_kit.h"
#include "fuzz_support.h"
#include "script.h"
#include "script_mode.h"

namespace {

std::string g_dir;
bool g_captured = false; // standard output goes to g_dir/output

// What the last run printed ("" when it went to the terminal); the file is emptied for the next.
std::string TakeOutput()
{
    std::fflush(stdout);
    if (!g_captured) {
        return "";
    }
    std::ifstream file(g_dir + "/output", std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) {
        dvfuzz::Finding("fuzz_script: output file: %s\n", std::strerror(errno));
    }
    return text.str();
}

// A failed run's reason when the exchange is meant to behave so, else "": a provider refused for its
// ring size keeps the entry points, and the stream's real provider gets its block back unasked.
std::string AccountedFailure(const std::string &output)
{
    if (output.find(": register-provider -> STATUS_UNSUCCESSFUL") == std::string::npos ||
        output.find("unload: done, pool blocks left") != std::string::npos) {
        return "";
    }
    std::istringstream lines(output);
    std::string line, first;
    while (std::getline(lines, line)) {
        if (line.find("MISMATCH") == std::string::npos) {
            continue;
        }
        if (line.find(": MISMATCH: data-complete for a buffer it did not hand over") == std::string::npos) {
            return "";
        }
        first = first.empty() ? line : first;
    }
    return first.empty() ? "" : "a provider refused for its ring size kept the entry points: " + first;
}

bool Acceptable(const std::string &text)
{
    std::istringstream lines(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(lines, line)) {
        if (++lineNo > 200) {
            return false;
        }
        sim::ParseResult parsed = sim::ParseLine(line, lineNo);
        if (!parsed.command) {
            continue;
        }
        const sim::Command &cmd = *parsed.command;
        if (((cmd.op == sim::Op::Provide || cmd.op == sim::Op::Processed) && cmd.value > (1u << 20)) ||
            cmd.op == sim::Op::Bandwidth || (cmd.op == sim::Op::Provider && cmd.size > (1u << 20)) ||
            (cmd.op == sim::Op::RegImport && cmd.name != "debug-levels.reg" && cmd.name != "odd-levels.reg")) {
            return false;
        }
    }
    return true;
}

// True when the script can have two function devices at once (more than one add-device line).
bool AddsTwoDevices(const std::string &text)
{
    const size_t first = text.find("add-device");
    return first != std::string::npos && text.find("add-device", first + 1) != std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char pattern[] = "/tmp/dv-fuzz-script-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        dvfuzz::Finding("fuzz_script: mkdtemp: %s\n", std::strerror(errno));
    }
    g_dir = pattern;
    for (const char *name : {"debug-levels.reg", "odd-levels.reg"}) {
        if (symlink((std::string(DV_EXAMPLES_DIR) + "/" + name).c_str(), (g_dir + "/" + name).c_str()) != 0) {
            dvfuzz::Finding("fuzz_script: %s: %s\n", name, std::strerror(errno));
        }
    }
    // The runner's standard output goes to a file each run reads back; the fuzzer reports on stderr.
    if (std::getenv("DV_FUZZ_VERBOSE") == nullptr) {
        const std::string output = g_dir + "/output";
        int file = open(output.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (file < 0) {
            dvfuzz::Finding("fuzz_script: output file: %s\n", std::strerror(errno));
        }
        dup2(file, STDOUT_FILENO);
        close(file);
        g_captured = true;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    if (!Acceptable(text)) {
        return -1;
    }
    kemu::ResetCore();
    kemu::ResetIo();
    kemu::ResetRegistry();
    for (ULONG stream = 0; stream < STREAMER_NUM_STREAMS; ++stream) {
        sim::StreamLedger &ledger = sim::Ledger(stream);
        ledger.committed = 0;
        ledger.written = 0;
        ledger.rejectedBlocks = 0;
    }
    const std::string path = g_dir + "/input.script";
    std::ofstream(path, std::ios::binary) << text;
    static dvfuzz::ViolationLog violations;
    violations.Start();
    sim::ScriptOptions options;
    options.stableAddresses = true;
    const int status = sim::RunScript(path, options);
    // Removing one of two function devices unloads the driver, deleting the other device while still
    // attached: meant, so printed, not counted.
    const bool twoDevices = AddsTwoDevices(text);
    // The driver hands a provider its entry points before it refuses the registration; a later call
    // of the kept one is named by the kit as such: the driver's prescribed order, not a finding.
    const size_t accounted = violations.FailOnViolations("fuzz_script", size, [twoDevices](const kemu::Violation &v) {
        return (twoDevices && v.rule == kemu::rule::kDeviceDeletedWhileAttached &&
                v.detail.find(" of \\Driver\\DeVididi on device ") != std::string::npos) ||
               (v.rule == kemu::rule::kProvidedWithoutRegistration &&
                v.detail.find("its registration was refused after the exchange had handed out the entry point") !=
                    std::string::npos);
    });
    const std::string output = TakeOutput();
    if (status == 1 && kemu::InjectedAllocationFailures() == 0 && accounted == 0) {
        const std::string reason = AccountedFailure(output);
        if (!reason.empty()) {
            std::fprintf(stderr, "fuzz_script: accounted for: %s\n", reason.c_str());
        } else {
            dvfuzz::Finding("fuzz_script: a check failed (exit status 1) with no allocation made to fail. The run "
                            "printed:\n%s", output.c_str());
        }
    }
    if (status != 0 && status != 1 && status != 2) {
        dvfuzz::Finding("fuzz_script: exit status %d\n", status);
    }
    return 0;
}
