// Debug output: DbgPrint, and the debug output service (virtual device 0x0327) reached through the
// 9x virtual-device service call.
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "emu/internal/core.h"
#include "emu/kemu/core.h"
#include "emu/ddk/io.h"

namespace {

// One recursive lock per output: a sink may itself print (it then goes on in order), and the
// captures, echo and sinks see the messages in the same order.
struct DbgPrintState {
    std::recursive_mutex mutex;
    std::vector<std::string> lines;
    bool echo = false;
    std::function<void(const std::string &)> sink;
};

DbgPrintState &Dbg()
{
    static DbgPrintState *state = new DbgPrintState;
    return *state;
}

struct DebugServiceState {
    std::recursive_mutex mutex;
    bool present = true;
    ULONG version = kemu::kDebugServiceDefaultVersion;
    std::vector<std::string> lines;
    uint64_t dropped = 0;
    std::function<void(const std::string &)> sink;
    std::FILE *stream = nullptr;
    bool ownsStream = false;
};

DebugServiceState &Service()
{
    static DebugServiceState *state = new DebugServiceState;
    return *state;
}

void CloseStream(DebugServiceState &s)
{
    if (s.ownsStream && s.stream != nullptr) {
        std::fclose(s.stream);
    }
    s.stream = nullptr;
    s.ownsStream = false;
}

ULONG ShowLine(const char *text)
{
    DebugServiceState &s = Service();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    if (!s.present) {
        // Not shown, as without the device; counted so that a test can see that it happened.
        ++s.dropped;
        return 0;
    }
    std::string line(text);
    s.lines.push_back(line);
    if (s.sink) {
        s.sink(line);
    }
    if (s.stream != nullptr) {
        std::fprintf(s.stream, "%s\n", line.c_str());
        std::fflush(s.stream);
    }
    return 1;
}

} // namespace

extern "C" {

ULONG DbgPrint(PCSTR Format, ...)
{
    char buffer[kemu::kDbgPrintMaxChars + 1];
    va_list args;
    va_start(args, Format);
    size_t length = kemu::detail::FormatKernel(buffer, kemu::kDbgPrintMaxChars, Format, args);
    va_end(args);
    // The kernel cuts a longer message at its buffer's size.
    std::string text(buffer, std::min(length, kemu::kDbgPrintMaxChars));

    DbgPrintState &d = Dbg();
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    d.lines.push_back(text);
    if (d.echo) {
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
    }
    if (d.sink) {
        d.sink(text);
    }
    return STATUS_SUCCESS;
}

ULONG KxVxdServiceCall(USHORT wDevice, USHORT wService, ULONG_PTR dwArg)
{
    // Presenting the NT family (WDM 1.10 and up), which has no virtual-device services: the answer
    // is the one the driver's NT build gives itself without making the call.
    if (IoIsWdmVersionAvailable(1, 0x10)) {
        return 0;
    }
    // No code should call a device or service that does not exist (a 9x system stops on it), so
    // such a call is reported rather than answered quietly.
    if (wDevice != kemu::kDebugServiceDevice) {
        kemu::ReportViolation("virtual-device call to an unknown device",
                              "device " + kemu::detail::Hex(wDevice) + ", service " + std::to_string(wService));
        return 0;
    }
    switch (wService) {
    case 0: {
        DebugServiceState &s = Service();
        std::lock_guard<std::recursive_mutex> lock(s.mutex);
        return s.present ? s.version : 0;
    }
    case 1:
        if (dwArg == 0) {
            kemu::ReportViolation("debug output service given a NULL line", "device 0x327, service 1");
            return 0;
        }
        return ShowLine(reinterpret_cast<const char *>(dwArg));
    default:
        kemu::ReportViolation("virtual-device call to an unknown service",
                              "device 0x327 (debug output), service " + std::to_string(wService));
        return 0;
    }
}

} // extern "C"

namespace kemu {

std::vector<std::string> DbgPrintLines()
{
    DbgPrintState &d = Dbg();
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    return d.lines;
}

void ClearDbgPrint()
{
    DbgPrintState &d = Dbg();
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    d.lines.clear();
}

void SetDbgPrintEcho(bool echo)
{
    DbgPrintState &d = Dbg();
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    d.echo = echo;
}

void SetDbgPrintSink(std::function<void(const std::string &)> sink)
{
    DbgPrintState &d = Dbg();
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    d.sink = std::move(sink);
}

namespace DebugService {

void SetPresent(bool present)
{
    DebugServiceState &s = Service();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.present = present;
}

bool IsPresent()
{
    DebugServiceState &s = Service();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    return s.present;
}

void SetVersion(ULONG version)
{
    DebugServiceState &s = Service();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.version = version;
}

std::vector<std::string> Lines()
{
    DebugServiceState &s = Service();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    return s.lines;
}

void Clear()
{
    DebugServiceState &s = Service();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.lines.clear();
    s.dropped = 0;
}

uint64_t DroppedLines()
{
    DebugServiceState &s = Service();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    return s.dropped;
}

void SetSink(std::function<void(const std::string &)> sink)
{
    DebugServiceState &s = Service();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.sink = std::move(sink);
}

bool ForwardToFile(const std::string &path)
{
    DebugServiceState &s = Service();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    CloseStream(s);
    if (path.empty()) {
        return true;
    }
    s.stream = std::fopen(path.c_str(), "w");
    if (s.stream == nullptr) {
        std::fprintf(stderr, "kemu: debug output service: cannot open \"%s\" for writing\n", path.c_str());
        return false;
    }
    s.ownsStream = true;
    return true;
}

void ForwardToStream(std::FILE *stream)
{
    DebugServiceState &s = Service();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    CloseStream(s);
    s.stream = stream;
}

} // namespace DebugService

namespace detail {
void ResetDebugOutput()
{
    {
        DbgPrintState &d = Dbg();
        std::lock_guard<std::recursive_mutex> lock(d.mutex);
        d.lines.clear();
        d.echo = false;
        d.sink = nullptr;
    }
    DebugServiceState &s = Service();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    CloseStream(s);
    s.present = true;
    s.version = kDebugServiceDefaultVersion;
    s.lines.clear();
    s.dropped = 0;
    s.sink = nullptr;
}
} // namespace detail

} // namespace kemu
