// The scripted mode: one thread, one command a line, everything printed in the order it happens.
#include "script_mode.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "client.h"
#include "devididi_kit.h"
#include "driver_file.h"
#include "driver_tap.h"
#include "emu/kemu/kemu.h"
#include "names.h"
#include "newdel.h"
#include "platform.h"
#include "run_record.h"
#include "script.h"

namespace sim {
namespace {

void Out(const std::string &line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (RunRecord *record = Recording()) {
        record->Line(line);
    }
}

std::string HexBytes(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        text += two;
    }
    return text;
}

ULONG TagValue(const std::string &text)
{
    std::string tag = text;
    tag.resize(4, ' ');
    return KX_POOL_TAG(tag[0], tag[1], tag[2], tag[3]);
}

StreamInfoSpec ToSpec(const InfoSpec &info)
{
    StreamInfoSpec wanted;
    wanted.kind = info.kind == InfoSpec::Video   ? StreamInfoSpec::Video
                : info.kind == InfoSpec::Audio ? StreamInfoSpec::Audio
                                               : StreamInfoSpec::None;
    wanted.frameSize = info.frameSize;
    wanted.frameRate = info.frameRate;
    wanted.compStandard = info.compStandard;
    return wanted;
}

// A registration record sent with "ioctl ... record=": the variables its pointers lead to, and the
// request's event and status block, live as long as the run (a waiting consumer's record is written
// when its provider comes).
struct RawRecord {
    STREAMER_SRV_PARAM param{};
    PVOID scratch[16] = {};
    std::vector<PVOID> shortBlocks; // one-byte pool blocks the "short" pointers lead to
    std::vector<uint8_t> output;
    KEVENT event{};
    IO_STATUS_BLOCK iosb{};
};

constexpr ULONG kShortBlockTag = KX_POOL_TAG('S', 'h', 'r', 't');

// The callbacks a "valid" record carries: they only say that they were called.
LineSink g_rawSink;

void RawLine(const std::string &text)
{
    if (g_rawSink) {
        g_rawSink("ioctl-client: " + text);
    }
}

VOID STREAMER_CALL RawNewData(ULONG dwSize, PVOID) { RawLine("new-data " + std::to_string(dwSize)); }
VOID STREAMER_CALL RawConsumerNotify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM, PVOID)
{
    RawLine("notify " + std::to_string(dwType));
}
VOID STREAMER_CALL RawProviderNotify(PVOID, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM, PVOID)
{
    RawLine("notify " + std::to_string(dwType));
}
VOID STREAMER_CALL RawDataComplete(PUCHAR, PVOID) { RawLine("data-complete"); }

NTSTATUS NTAPI RawCompleted(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned) {
        RawLine("request completed " + StatusName(irp->IoStatus.Status));
    }
    return STATUS_SUCCESS;
}

// What a hostile program puts in a record: an address to write to, and addresses to call.
constexpr uintptr_t kHostileTarget = 0x1000;
constexpr uintptr_t kHostileCallbacks[2] = {0x41414141, 0x42424242};

template <class T>
T HostileCallback(int which)
{
    return reinterpret_cast<T>(kHostileCallbacks[which]);
}

// Points a record's pointer field at a variable of the run (valid), a one-byte pool block (short),
// nowhere (null) or an address no client owns (hostile).
template <class T>
void PointField(T *&field, RawRecord &raw, size_t &used, Command::Record mode)
{
    if (mode == Command::Record::Null) {
        field = nullptr;
    } else if (mode == Command::Record::Hostile) {
        field = reinterpret_cast<T *>(kHostileTarget);
    } else if (mode == Command::Record::Short) {
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, 1, kShortBlockTag);
        raw.shortBlocks.push_back(block);
        field = static_cast<T *>(block);
    } else {
        field = reinterpret_cast<T *>(&raw.scratch[used++]);
    }
}

// A client driver of the script: one handle to the device and at most one role.
struct ScriptClient {
    std::string name;
    DeviceHandle device;
    std::unique_ptr<ProviderClient> provider;
    std::unique_ptr<ConsumerClient> consumer;
};

class ScriptRun {
public:
    ScriptRun(const ScriptOptions &options, std::string baseDir) : m_options(options), m_baseDir(std::move(baseDir)) {}
    ~ScriptRun();
    int Run(std::istream &in);

private:
    // Empty when fine, else the reason that stops the run.
    std::string Execute(const Command &cmd);
    ScriptClient &Client(const std::string &name);
    ScriptClient *Find(const std::string &name);
    // Opens the client's handle if it has none; false when that failed (and was printed).
    bool EnsureOpen(ScriptClient &client);
    LineSink Sink() { return [this](const std::string &line) { ClientLine(line); }; }
    void ClientLine(const std::string &line);
    void DebugLine(const std::string &line);
    void ReportViolations();
    std::set<const TappedConsumer *> m_driverProblems; // loaded drivers' problems already printed
    void Shutdown();
    // Frees the one-byte blocks of the records sent with record=short (once the driver is gone).
    void FreeShortBlocks();

    ScriptOptions m_options;
    std::string m_baseDir;
    Machine m_machine;
    std::vector<std::unique_ptr<ScriptClient>> m_clients; // in order of first mention
    std::map<std::string, std::unique_ptr<DriverFile>> m_drivers; // loaded by load-driver
    bool m_holdDpcs = false; // queued DPCs wait for "dpcs run" instead of the end of each command
    std::vector<std::unique_ptr<RawRecord>> m_rawRecords;
    // Sends an ioctl with exact lengths; a registration record with record= goes as its client would.
    std::string ExactIoctl(const Command &cmd, ControlClient &control, DeviceHandle &device);
    // A whole registration record (provider or consumer) with its pointer fields as record= asks.
    std::string RecordIoctl(const Command &cmd, const STREAMER_SRV_PARAM &fields, DeviceHandle &device);
    // One control code from user mode with every shape of buffer, a line each (user-requests).
    std::string UserRequests(const Command &cmd);
    bool m_failed = false; // a check failed: mismatch or platform rule violation
    bool m_shutDown = false;
    uint64_t m_allocationBase = 0; // pool allocation requests before the last fail-alloc line
    void ReportAllocations();
    // A recorded run: the device's removal and unload as events, and a sample after every line.
    void RecordLine(const Command &cmd, int lineNo);
    // Where each traced block left by an earlier load was allocated, read while that load's module
    // was still mapped: the header's file name points into the module, which a new load replaces.
    struct BlockSource {
        const char *file;
        std::string text;
    };
    std::map<const void *, BlockSource> m_earlierSources;
    void RememberBlockSources();
};

ScriptRun::~ScriptRun() { Shutdown(); }

void ScriptRun::ClientLine(const std::string &line)
{
    if (line.find("MISMATCH") != std::string::npos) {
        m_failed = true;
    }
    Out(line);
}

void ScriptRun::DebugLine(const std::string &line)
{
    Out(m_options.stableAddresses ? StableAddresses(line) : line);
}

void ScriptRun::ReportViolations()
{
    for (const auto &violation : kemu::TakeViolations()) {
        Out("KERNEL RULE VIOLATION: " + violation.rule + ": " + violation.detail);
        m_failed = true;
    }
    // A loaded driver's accounting, as the simulator's own consumers print theirs: the first problem.
    for (TappedConsumer *c : TappedConsumers()) {
        if (c->problems.count.load() > 0 && m_driverProblems.insert(c).second) {
            Out(c->driver + ": MISMATCH: " + c->problems.first);
            m_failed = true;
        }
    }
}

ScriptClient *ScriptRun::Find(const std::string &name)
{
    for (auto &client : m_clients) {
        if (client->name == name) {
            return client.get();
        }
    }
    return nullptr;
}

ScriptClient &ScriptRun::Client(const std::string &name)
{
    if (ScriptClient *found = Find(name)) {
        return *found;
    }
    m_clients.push_back(std::make_unique<ScriptClient>());
    m_clients.back()->name = name;
    return *m_clients.back();
}

bool ScriptRun::EnsureOpen(ScriptClient &client)
{
    if (client.device.IsOpen()) {
        return true;
    }
    NTSTATUS status = client.device.Open();
    Out(client.name + ": open -> " + StatusName(status));
    return NT_SUCCESS(status);
}

std::string ScriptRun::Execute(const Command &cmd)
{
    switch (cmd.op) {
    case Op::Level:
        Machine::SetLevel(cmd.name, static_cast<uint32_t>(cmd.value));
        return "";

    case Op::RegImport: {
        std::string path = cmd.name;
        if (!path.empty() && path[0] != '/' && !m_baseDir.empty()) {
            path = m_baseDir + "/" + path;
        }
        kemu::RegImportResult result = kemu::ImportRegFile(path);
        if (!result.ok) {
            return "reg-import: " + result.message();
        }
        return "";
    }

    case Op::DebugService:
        kemu::DebugService::SetPresent(cmd.name == "present");
        return "";

    case Op::Tick:
        kemu::SetTickCount(cmd.value);
        return "";

    case Op::FailAlloc:
        m_allocationBase = kemu::PoolAllocationAttempts();
        if (cmd.probability) {
            kemu::FailAllocationsWithProbability(cmd.p, cmd.seed, UINT64_MAX, cmd.tag.empty() ? 0 : TagValue(cmd.tag));
        } else {
            kemu::FailNthAllocation(cmd.value, cmd.tag.empty() ? 0 : TagValue(cmd.tag));
        }
        return "";

    case Op::Load: {
        if (m_machine.Loaded()) {
            return "load: the driver is already loaded";
        }
        RememberBlockSources();
        NTSTATUS status = m_machine.Load();
        Out("load: " + StatusName(status));
        return "";
    }

    case Op::AddDevice: {
        if (!m_machine.Loaded()) {
            return "add-device: the driver is not loaded";
        }
        if (!m_machine.Running()) {
            // Its object stays until "unload"; plug-and-play must not hand it another device.
            return "add-device: the driver was unloaded when its last device was removed; unload and load it again";
        }
        Out("add-device: " + StatusName(m_machine.AddDevice()));
        return "";
    }

    case Op::RemoveDevice: {
        if (m_machine.Devices() == 0) {
            return "remove-device: no device has been added";
        }
        Out("remove-device: " + StatusName(m_machine.RemoveDevice()));
        return "";
    }

    case Op::Unload: {
        if (!m_machine.Loaded()) {
            return "unload: the driver is not loaded";
        }
        // Clients give up their handles when the system takes the driver away.
        for (auto &client : m_clients) {
            if (client->device.IsOpen()) {
                client->device.Close();
                Out(client->name + ": close");
            }
        }
        m_machine.Unload();
        // The script's own blocks go with the driver that held them: they are never its leak.
        FreeShortBlocks();
        auto left = LivePoolByTag();
        Out(left.empty() ? "unload: done, no pool block left" : "unload: done, pool blocks left: " + PoolSummary(left));
        if (!left.empty()) {
            m_failed = true;
        }
        return "";
    }

    case Op::LoadDriver: {
        if (m_drivers.count(cmd.name) != 0) {
            return "load-driver: " + cmd.name + " is loaded already";
        }
        std::string path = cmd.file;
        if (path.find('/') == std::string::npos && !m_options.driverDir.empty()) {
            path = m_options.driverDir + "/" + path;
        } else if (!path.empty() && path[0] != '/' && !m_baseDir.empty()) {
            path = m_baseDir + "/" + path;
        }
        auto driver = std::make_unique<DriverFile>();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::string error;
        if (!driver->Load(cmd.name, path, status, error)) {
            return "load-driver: " + error;
        }
        Out("load-driver " + cmd.name + ": " + StatusName(status));
        if (driver->Loaded()) {
            m_drivers[cmd.name] = std::move(driver);
        }
        return "";
    }

    case Op::Dpcs:
        m_holdDpcs = cmd.name == "hold";
        return "";

    case Op::UserRequests:
        return UserRequests(cmd);

    case Op::UnloadDriver: {
        auto found = m_drivers.find(cmd.name);
        if (found == m_drivers.end()) {
            return "unload-driver: " + cmd.name + " is not loaded";
        }
        found->second->Unload();
        m_drivers.erase(found);
        Out("unload-driver " + cmd.name + ": done");
        return "";
    }

    case Op::Open: {
        ScriptClient &client = Client(cmd.name);
        if (client.device.IsOpen()) {
            return "open: " + cmd.name + " already has the device open";
        }
        EnsureOpen(client);
        return "";
    }

    case Op::Close: {
        ScriptClient *client = Find(cmd.name);
        if (client == nullptr || !client->device.IsOpen()) {
            return "close: " + cmd.name + " has no open handle";
        }
        client->device.Close();
        Out(cmd.name + ": close");
        return "";
    }

    case Op::Provider: {
        ScriptClient &client = Client(cmd.name);
        if (client.consumer) {
            return "provider: " + cmd.name + " is a consumer";
        }
        if (client.provider && client.provider->Registered()) {
            return "provider: " + cmd.name + " is registered already; unregister it first";
        }
        if (!client.provider) {
            client.provider = std::make_unique<ProviderClient>(cmd.name, Sink());
        }
        if (!EnsureOpen(client)) {
            Out(cmd.name + ": register-provider not sent: no open handle");
            return "";
        }
        NTSTATUS status = client.provider->Register(client.device, cmd.stream, cmd.size, ToSpec(cmd.info));
        Out(cmd.name + ": register-provider -> " + StatusName(status));
        return "";
    }

    case Op::Consumer: {
        ScriptClient &client = Client(cmd.name);
        if (client.provider) {
            return "consumer: " + cmd.name + " is a provider";
        }
        if (client.consumer && client.consumer->Registered()) {
            return "consumer: " + cmd.name + " is registered already; unregister it first";
        }
        for (auto &other : m_clients) {
            if (other.get() != &client && other->consumer && other->consumer->Registered() &&
                reinterpret_cast<uintptr_t>(other->consumer->Handle()) == cmd.handle && cmd.handle != 0 &&
                (other->consumer->Stream() & 0xFF) != (cmd.stream & 0xFF)) {
                return "consumer: handle " + std::to_string(cmd.handle) + " is in use by " + other->name +
                       " on another stream; the callbacks receive only the handle";
            }
        }
        if (!client.consumer) {
            client.consumer = std::make_unique<ConsumerClient>(cmd.name, Sink(), ConsumerClient::Style::Scripted);
        }
        if (!EnsureOpen(client)) {
            Out(cmd.name + ": register-consumer not sent: no open handle");
            return "";
        }
        NTSTATUS status = client.consumer->Register(client.device, cmd.stream,
                                                    reinterpret_cast<PVOID>(static_cast<uintptr_t>(cmd.handle)), false);
        Out(cmd.name + ": register-consumer -> " + StatusName(status));
        return "";
    }

    case Op::Unregister: {
        ScriptClient *client = Find(cmd.name);
        if (client == nullptr || (!client->provider && !client->consumer)) {
            return "unregister: " + cmd.name + " has never registered";
        }
        if (!EnsureOpen(*client)) {
            Out(cmd.name + ": unregister not sent: no open handle");
            return "";
        }
        if (client->provider) {
            Out(cmd.name + ": unregister-provider -> " + StatusName(client->provider->Unregister(client->device)));
        } else {
            Out(cmd.name + ": unregister-consumer -> " + StatusName(client->consumer->Unregister(client->device)));
        }
        return "";
    }

    case Op::Provide: {
        ScriptClient *client = Find(cmd.name);
        if (client == nullptr || !client->provider) {
            return "provide: " + cmd.name + " is not a provider";
        }
        if (!client->provider->HasEntryPoints()) {
            Out(cmd.name + ": no entry point to call: no registration handed one out");
            return "";
        }
        client->provider->Provide(static_cast<ULONG>(cmd.value));
        return "";
    }

    case Op::Processed: {
        ScriptClient *client = Find(cmd.name);
        if (client == nullptr || !client->consumer) {
            return "processed: " + cmd.name + " is not a consumer";
        }
        if (!client->consumer->HasEntryPoints()) {
            Out(cmd.name + ": no entry point to call: no registration handed one out");
            return "";
        }
        client->consumer->Process(static_cast<ULONG>(cmd.value));
        return "";
    }

    case Op::Notify: {
        ScriptClient *client = Find(cmd.name);
        if (client == nullptr || (!client->provider && !client->consumer)) {
            return "notify: " + cmd.name + " has never registered";
        }
        const ULONG code = static_cast<ULONG>(cmd.value);
        if (code == STREAMERNOTIFY_STREAM_INFO_CHANGED && cmd.hasWords && cmd.words[0] != 0) {
            return "notify: code 5 carries a pointer in its first word: give 0 (null) and a size, or leave the "
                   "words out";
        }
        if (cmd.hasInfo && !client->provider) {
            return "notify: only a provider publishes an information block";
        }
        STREAMER_NOTIFICATION_PARAM param;
        std::memset(&param, 0, sizeof param);
        PSTREAMER_NOTIFICATION_PARAM pParam = nullptr;
        if (code == STREAMERNOTIFY_STREAM_INFO_CHANGED && cmd.hasWords) {
            param.StreamInfo.pInfo = nullptr;
            param.StreamInfo.nSize = static_cast<LONG>(cmd.words[1]);
            pParam = &param;
        } else if (cmd.hasWords) {
            param.adwWords[0] = cmd.words[0];
            param.adwWords[1] = cmd.words[1];
            pParam = &param;
        } else if (code == STREAMERNOTIFY_STREAM_INFO_CHANGED && client->provider) {
            if (cmd.hasInfo) {
                client->provider->SetInfo(ToSpec(cmd.info));
            }
            pParam = client->provider->InfoParam(param);
        }
        if (client->provider) {
            if (!client->provider->HasEntryPoints()) {
                Out(cmd.name + ": no entry point to call: no registration handed one out");
                return "";
            }
            client->provider->Notify(code, pParam);
        } else {
            if (!client->consumer->HasEntryPoints()) {
                Out(cmd.name + ": no entry point to call: no registration handed one out");
                return "";
            }
            client->consumer->Notify(code, pParam);
        }
        return "";
    }

    case Op::PrintStatus:
    case Op::PrintStreams:
    case Op::UpdateLevels:
    case Op::OrbQuery:
    case Op::Resync:
    case Op::Bandwidth:
    case Op::Ioctl: {
        if (cmd.op == Op::Ioctl && !cmd.exact && !cmd.bytes.empty() && !cmd.fromUser &&
            (cmd.value == STREAMER_REGISTER_PROVIDER || cmd.value == STREAMER_REGISTER_CONSUMER)) {
            return "ioctl: registration records carry pointers; use provider or consumer (or send no bytes)";
        }
        ScriptClient &console = Client("console");
        if (!EnsureOpen(console)) {
            Out("console: control request not sent: no open handle");
            return "";
        }
        ControlClient control(console.device, cmd.fromUser);
        switch (cmd.op) {
        case Op::PrintStatus:
            Out("print-status: " + StatusName(control.PrintStatus()));
            break;
        case Op::PrintStreams:
            Out("print-streams: " + StatusName(control.PrintStreams(cmd.from, cmd.to)));
            break;
        case Op::UpdateLevels:
            Out("update-levels: " + StatusName(control.UpdateLevels()));
            break;
        case Op::OrbQuery:
            Out("orb-query: " + StatusName(control.OrbQuery()));
            break;
        case Op::Resync:
            Out("resync: " + StatusName(control.Resync()));
            break;
        case Op::Bandwidth: {
            // Every trial lasts exactly the scripted time: the counter runs at 10 kHz, one count
            // per 0.1 ms, and answers start, end, start, end ... of ten trials.
            std::vector<int64_t> readings;
            int64_t at = 1000000;
            for (int trial = 0; trial < 10; ++trial) {
                readings.push_back(at);
                at += cmd.trial;
                readings.push_back(at);
            }
            kemu::ScriptPerformanceCounter(readings, 10000);
            ULONG figure = 0;
            NTSTATUS status = control.Bandwidth(static_cast<LONG>(static_cast<uint32_t>(cmd.value)), figure);
            kemu::UseRealPerformanceCounter();
            Out("bandwidth: " + StatusName(status) + (status == STATUS_SUCCESS ? " " + std::to_string(figure) : ""));
            break;
        }
        case Op::Ioctl: {
            if (cmd.exact) {
                return ExactIoctl(cmd, control, console.device);
            }
            std::vector<uint8_t> out;
            NTSTATUS status = control.Raw(static_cast<ULONG>(cmd.value), cmd.bytes, out);
            Out("ioctl: " + StatusName(status) + (out.empty() ? "" : " returned " + HexBytes(out)));
            break;
        }
        default:
            break;
        }
        return "";
    }
    }
    return "";
}

std::string ScriptRun::ExactIoctl(const Command &cmd, ControlClient &control, DeviceHandle &device)
{
    const ULONG code = static_cast<ULONG>(cmd.value);
    const bool provider = code == STREAMER_REGISTER_PROVIDER;
    const bool consumer = code == STREAMER_REGISTER_CONSUMER;
    std::vector<uint8_t> out;
    const bool unregistration = code == STREAMER_UNREGISTER_PROVIDER || code == STREAMER_UNREGISTER_CONSUMER;
    if (provider || consumer || unregistration) {
        // Byte lengths and offsets of a record differ between 32 and 64 bits: its fields are named.
        if (cmd.inGiven) {
            return "ioctl: a registration record is given by its fields (stream=, size=, handle=) with record= or "
                   "cut=, not by in= bytes, whose layout differs between 32 and 64 bits";
        }
        if (cmd.record == Command::Record::None && cmd.cut == Command::Cut::None && !unregistration) {
            return "ioctl: a registration record carries pointers: add record=null|short|valid, or cut=field|byte";
        }
        if (cmd.record != Command::Record::None && (cmd.cut != Command::Cut::None || unregistration)) {
            return unregistration ? "ioctl: record= goes with the registration codes 0x00222004 and 0x0022200C"
                                  : "ioctl: record= and cut= do not go together: a cut record's pointers are null";
        }
        STREAMER_SRV_PARAM record{};
        for (const auto &[name, value] : cmd.fields) {
            if (name == "stream") {
                record.RegisterProvider.hStream = value; // the first field of every record
            } else if (name == "size" && provider) {
                record.RegisterProvider.dwBufferSize = value;
            } else if (name == "handle" && consumer) {
                record.RegisterConsumer.hConsumer = reinterpret_cast<PVOID>(static_cast<uintptr_t>(value));
            } else if (name == "handle" && code == STREAMER_UNREGISTER_CONSUMER) {
                record.UnRegisterConsumer.hConsumer = reinterpret_cast<PVOID>(static_cast<uintptr_t>(value));
            } else {
                return "ioctl: " + name + "= is not a field of this registration record";
            }
        }
        if (cmd.record == Command::Record::Hostile && !cmd.fromUser) {
            return "ioctl: record=hostile goes only with from=user: a kernel-mode client's pointers are trusted";
        }
        if (cmd.record != Command::Record::None) {
            return RecordIoctl(cmd, record, device);
        }
        // Its whole length, and where its last field starts.
        size_t whole = 0, last = 0;
        if (provider) {
            whole = sizeof record.RegisterProvider, last = offsetof(STREAMER_SRV_PARAM, RegisterProvider.pContext);
        } else if (consumer) {
            whole = sizeof record.RegisterConsumer, last = offsetof(STREAMER_SRV_PARAM, RegisterConsumer.phConsumer);
        } else if (code == STREAMER_UNREGISTER_PROVIDER) {
            whole = sizeof record.UnRegisterProvider, last = 0;
        } else {
            whole = sizeof record.UnRegisterConsumer, last = offsetof(STREAMER_SRV_PARAM, UnRegisterConsumer.hConsumer);
        }
        const size_t length = cmd.cut == Command::Cut::Field ? last : cmd.cut == Command::Cut::Byte ? whole - 1 : whole;
        const auto *bytes = reinterpret_cast<const uint8_t *>(&record);
        NTSTATUS status = control.Exact(code, std::vector<uint8_t>(bytes, bytes + length), cmd.outLength, out);
        Out("ioctl: " + StatusName(status) + (out.empty() ? "" : " returned " + HexBytes(out)));
        return "";
    }
    if (cmd.record != Command::Record::None || cmd.cut != Command::Cut::None || !cmd.fields.empty()) {
        return "ioctl: stream=, size=, handle=, record= and cut= go with the registration codes 0x00222004, "
               "0x00222008, 0x0022200C and 0x00222010";
    }
    NTSTATUS status = control.Exact(code, cmd.bytes, cmd.outLength, out);
    Out("ioctl: " + StatusName(status) + (out.empty() ? "" : " returned " + HexBytes(out)));
    return "";
}

std::string ScriptRun::UserRequests(const Command &cmd)
{
    // The shapes of tools/win/replay-requests.c, in its order: no buffer, one byte each, one byte
    // short of the record and of the answer, exact, large, and an output buffer alone.
    constexpr ULONG kLarge = 256; // also the most that in= and out= may say
    const ULONG in = cmd.inLength, out = cmd.outLength;
    const struct {
        const char *name;
        ULONG in, out;
    } shapes[] = {{"none", 0, 0},
                  {"byte", 1, 1},
                  {"short", in != 0 ? in - 1 : 0, out != 0 ? out - 1 : 0},
                  {"exact", in, out},
                  {"large", kLarge, kLarge},
                  {"output", 0, out != 0 ? out : 4}};
    ScriptClient *kept = nullptr;
    if (cmd.name != "fresh") {
        kept = Find(cmd.name);
        if (kept == nullptr || !kept->device.IsOpen()) {
            return "user-requests: " + cmd.name + " has no open handle (open it first, or say fresh)";
        }
    }
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(cmd.value));
    for (const auto &shape : shapes) {
        const std::string head = cmd.name + " " + code + " " + shape.name;
        DeviceHandle fresh;
        DeviceHandle &device = kept != nullptr ? kept->device : fresh;
        if (kept == nullptr) {
            const NTSTATUS opened = fresh.Open();
            if (!NT_SUCCESS(opened)) {
                Out(head + " not opened: error=" + WindowsError(opened));
                continue;
            }
        }
        std::vector<uint8_t> input(kLarge, 0), output(kLarge, 0xA5);
        ULONG_PTR returned = 0;
        const NTSTATUS status =
            device.Call(static_cast<ULONG>(cmd.value), shape.in != 0 ? input.data() : nullptr, shape.in,
                        shape.out != 0 ? output.data() : nullptr, shape.out, &returned, true);
        bool changed = false;
        for (uint8_t byte : output) {
            changed = changed || byte != 0xA5;
        }
        Out(head + " error=" + WindowsError(status) + " bytes=" + std::to_string(returned) +
            (changed ? " output=changed" : " output=same"));
    }
    return "";
}

std::string ScriptRun::RecordIoctl(const Command &cmd, const STREAMER_SRV_PARAM &fields, DeviceHandle &device)
{
    const ULONG code = static_cast<ULONG>(cmd.value);
    const bool provider = code == STREAMER_REGISTER_PROVIDER;
    // The whole record: its named fields, zeros elsewhere, then the pointer fields as asked.
    m_rawRecords.push_back(std::make_unique<RawRecord>());
    RawRecord &raw = *m_rawRecords.back();
    raw.param = fields;
    size_t used = 0;
    const bool callbacks = cmd.record != Command::Record::Null;
    const bool hostile = cmd.record == Command::Record::Hostile;
    if (provider) {
        auto &record = raw.param.RegisterProvider;
        record.pfnProvideDataComplete = hostile     ? HostileCallback<STREAMER_PROVIDE_DATA_COMPLETE_CALLBACK>(0)
                                        : callbacks ? &RawDataComplete
                                                    : nullptr;
        record.pfnNotify = hostile     ? HostileCallback<STREAMER_PROVIDER_NOTIFY_CALLBACK>(1)
                           : callbacks ? &RawProviderNotify
                                       : nullptr;
        PointField(record.pStreamInfo, raw, used, cmd.record);
        PointField(record.ppfnProvideData, raw, used, cmd.record);
        PointField(record.ppfnNotify, raw, used, cmd.record);
    } else {
        auto &record = raw.param.RegisterConsumer;
        record.pfnNewDataReady = hostile     ? HostileCallback<STREAMER_NEW_DATA_READY_CALLBACK>(0)
                                 : callbacks ? &RawNewData
                                             : nullptr;
        record.pfnNotify = hostile     ? HostileCallback<STREAMER_CONSUMER_NOTIFY_CALLBACK>(1)
                           : callbacks ? &RawConsumerNotify
                                       : nullptr;
        PointField(record.ppBuffer, raw, used, cmd.record);
        PointField(record.pdwBufferSize, raw, used, cmd.record);
        PointField(record.pdwTail, raw, used, cmd.record);
        PointField(record.ppfnDataProcessed, raw, used, cmd.record);
        PointField(record.ppfnNotify, raw, used, cmd.record);
        PointField(record.phConsumer, raw, used, cmd.record);
    }
    raw.output.assign(cmd.outLength, 0);
    NTSTATUS status = device.Send(code, &raw.param, sizeof raw.param, raw.output.empty() ? nullptr : raw.output.data(),
                                  cmd.outLength, &raw.event, &raw.iosb, &RawCompleted, nullptr, cmd.fromUser);
    Out("ioctl: " + StatusName(status));
    if (cmd.fromUser && cmd.record == Command::Record::Valid) {
        // A program's record must not bring it entry points or ring addresses.
        size_t written = 0;
        for (size_t i = 0; i < used; ++i) {
            written += raw.scratch[i] != nullptr ? 1 : 0;
        }
        RawLine(written == 0 ? "nothing written through the record"
                             : std::to_string(written) + " of the record's " + std::to_string(used) +
                                   " variables written");
    }
    return "";
}

void ScriptRun::FreeShortBlocks()
{
    for (auto &raw : m_rawRecords) {
        for (PVOID block : raw->shortBlocks) {
            ExFreePool(block);
        }
        raw->shortBlocks.clear();
    }
}

void ScriptRun::Shutdown()
{
    if (m_shutDown) {
        return;
    }
    m_shutDown = true;
    // What the script left behind goes quietly, so that the process ends clean.
    kemu::DebugService::SetSink(nullptr);
    kemu::SetDbgPrintSink(nullptr);
    // Loaded client drivers go first, while the exchange they talk to is still there.
    for (auto &driver : m_drivers) {
        driver.second->Unload();
    }
    m_drivers.clear();
    for (auto &client : m_clients) {
        client->device.Close();
    }
    m_machine.Unload();
    kemu::ResetDpcs();
    m_clients.clear();
    FreeShortBlocks();
    m_rawRecords.clear();
    g_rawSink = nullptr;
    // The teardown is quiet, but what it finds wrong is not.
    ReportViolations();
}

void ScriptRun::RecordLine(const Command &cmd, int lineNo)
{
    RunRecord *record = Recording();
    if (record == nullptr) {
        return;
    }
    if (cmd.op == Op::RemoveDevice || cmd.op == Op::Unload) {
        record->Event(cmd.op == Op::Unload ? "unload" : "remove-device", "device", -1, 0, "line " + std::to_string(lineNo));
    }
    record->Sample(std::to_string(lineNo));
}

void ScriptRun::RememberBlockSources()
{
    for (const auto &block : kemu::LivePoolBlocks()) {
        if (block.tag == TRACED_POOL_TAG && block.size >= sizeof(TRACED_BLOCK_HEADER)) {
            const auto *header = static_cast<const TRACED_BLOCK_HEADER *>(block.address);
            m_earlierSources[block.address] = {header->pszFile,
                                               std::string(header->pszFile) + ":" + std::to_string(header->nLine)};
        }
    }
}

void ScriptRun::ReportAllocations()
{
    if (!m_options.allocations) {
        return;
    }
    Out("allocations: " + std::to_string(kemu::PoolAllocationAttempts() - m_allocationBase));
    std::string failed;
    for (const auto &[tag, stats] : kemu::PoolStatsAll()) {
        if (stats.failedAllocations > 0) {
            failed += " '" + kemu::TagText(tag) + "' " + std::to_string(stats.failedAllocations);
        }
    }
    Out("allocations: failed:" + (failed.empty() ? std::string(" none") : failed));
    for (const auto &block : kemu::LivePoolBlocks()) {
        std::string from;
        if (block.tag == TRACED_POOL_TAG && block.size >= sizeof(TRACED_BLOCK_HEADER)) {
            // A traced block names its allocating source in its header.
            const auto *header = static_cast<const TRACED_BLOCK_HEADER *>(block.address);
            auto earlier = m_earlierSources.find(block.address);
            if (earlier != m_earlierSources.end() && earlier->second.file == header->pszFile) {
                from = " from " + earlier->second.text;
            } else {
                from = std::string(" from ") + header->pszFile + ":" + std::to_string(header->nLine);
            }
        }
        Out("allocations: left: '" + kemu::TagText(block.tag) + "' " + std::to_string(block.size) + " bytes" + from);
    }
}

int ScriptRun::Run(std::istream &input)
{
    kemu::SetViolationMode(kemu::ViolationMode::Record);
    // A run with client drivers of its own places the exchange's rings in the special pool from the
    // start, so that a driver reading past a ring's end stops there and then.
    std::stringstream in;
    in << input.rdbuf();
    if (std::regex_search(in.str(), std::regex("(^|\n)[ \t]*load-driver[ \t]"))) {
        devididi::kit::UseSpecialPoolForRings();
    }
    // A stop ends the run at once: what was reported before it, then the stop itself.
    kemu::SetStopHandler([this](const std::string &report) {
        ReportViolations();
        Out("stop: " + report);
        RecordStop(report);
    });
    // DPCs that client drivers queue run at the end of the command that queued them, in order.
    kemu::SetDpcMode(kemu::DpcMode::Manual);
    kemu::SetTickCount(0);
    g_rawSink = [this](const std::string &line) { ClientLine(line); };
    kemu::DebugService::SetSink([this](const std::string &line) { DebugLine(line); });
    kemu::SetDbgPrintSink([](const std::string &text) {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    });
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        ParseResult parsed = ParseLine(line, lineNo);
        std::string error = parsed.error;
        if (error.empty() && parsed.command) {
            error = Execute(*parsed.command);
            if (!m_holdDpcs) {
                kemu::RunQueuedDpcs();
            }
            RecordLine(*parsed.command, lineNo);
        }
        ReportViolations();
        if (!error.empty()) {
            std::fflush(stdout);
            std::fprintf(stderr, "line %d: %s\n", lineNo, error.c_str());
            Shutdown();
            ReportAllocations();
            return 2;
        }
    }
    Shutdown();
    ReportAllocations();
    return m_failed ? 1 : 0;
}

} // namespace

int RunScript(const std::string &path, const ScriptOptions &options)
{
    if (path == "-") {
        ScriptRun run(options, "");
        return run.Run(std::cin);
    }
    std::ifstream file(path);
    if (!file) {
        std::fprintf(stderr, "devididi-sim: cannot open script %s\n", path.c_str());
        return 2;
    }
    size_t slash = path.find_last_of('/');
    ScriptRun run(options, slash == std::string::npos ? "" : path.substr(0, slash));
    return run.Run(file);
}

} // namespace sim
