// The default run: the driver loaded, its function device added, and the client drivers of a
// video-conferencing terminal exchanging commands, notifications, audio, video and camera control
// on their own threads at realistic rates; then the status report, removal, unload and the checks.
#include "devididi_kit.h"
#include "live_mode.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "client.h"
#include "driver_file.h"
#include "driver_tap.h"
#include "emu/kemu/kemu.h"
#include "live_view.h"
#include "names.h"
#include "platform.h"
#include "run_record.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

enum class Phase { Running, Quiet, Leave };
std::atomic<Phase> g_phase{Phase::Running};

const char *StreamLabel(int index)
{
    static const char *labels[] = {"COMMANDS",   "NOTIFICATIONS",    "LOCAL AUDIO",  "REMOTE AUDIO", "LOCAL VIDEO",
                                   "LOCAL VIDEO INFO", "REMOTE VIDEO", "LOCAL FECC", "REMOTE FECC"};
    return index >= 0 && index < 9 ? labels[index] : "";
}

// Audio and video standards as the terminal's clients number them (meaningful to them only).
constexpr LONG kG711 = 711, kG722 = 722, kH263 = 263, kCif = 2;

// Codes the terminal's clients send one another (the exchange gives them no meaning).
constexpr ULONG kNotifyKeyFrameRequest = 20; // consumer to provider
constexpr ULONG kNotifyKeyFrame = 21;        // provider to consumers
constexpr ULONG kNotifyPositionReached = 22; // camera control answered

struct ProviderPlan {
    const char *name;
    ULONG stream;
    ULONG ring;
    StreamInfoSpec info;
    milliseconds period;
    std::function<ULONG(uint64_t)> blockSize;
    milliseconds startAfter{0};
    bool atDispatch = false; // provides from a DPC, at DISPATCH_LEVEL
    uint64_t notifyEvery = 0; // broadcast kNotifyKeyFrame every so many blocks
    uint64_t infoEvery = 0;   // republish the information block every so many blocks
    const char *after = nullptr; // registers only once this consumer has asked to join (startAfter later)
    uint64_t burstEvery = 0;     // every so many blocks, more than a ring in one go at DISPATCH_LEVEL
};

struct ConsumerPlan {
    const char *name;
    ULONG stream;
    ConsumerClient::Style style;
    milliseconds startAfter{0};
    uint64_t bytesPerSecond = 0;   // Slow: what it manages to process
    ULONG notifyOnJoin = 0;        // code sent to the provider once joined
    milliseconds notifyPeriod{0};  // and then every so often (0: once)
};

// ---- One client driver per thread ------------------------------------------------------------

struct ProviderRun {
    ProviderPlan plan;
    std::unique_ptr<ProviderClient> client;
    std::atomic<NTSTATUS> registration{STATUS_PENDING};
    std::atomic<NTSTATUS> unregistration{STATUS_PENDING};
    std::atomic<bool> quiet{false};
    // A loaded driver's provider registration of the stream asks this provider to give it up.
    std::atomic<bool> standAside{false}, stoodAside{false};
    std::thread thread;
};

// The terminal's provider of each stream while it provides (the provider's thread sets and clears
// its own entry; a loaded driver's registration takes it to ask it to stand aside).
std::array<std::atomic<ProviderRun *>, STREAMER_NUM_STREAMS> g_providing{};

struct ConsumerRun {
    ConsumerPlan plan;
    std::unique_ptr<ConsumerClient> client;
    std::atomic<NTSTATUS> firstAnswer{STATUS_PENDING}; // what the registration request returned
    std::atomic<NTSTATUS> registration{STATUS_PENDING}; // its final status
    std::atomic<double> waited{0};                      // seconds it waited for its provider
    std::atomic<NTSTATUS> unregistration{STATUS_PENDING};
    std::atomic<bool> registered{false};
    std::atomic<bool> asked{false}; // its registration request has been answered (pending or not)
    std::thread thread;
};

std::vector<std::unique_ptr<ConsumerRun>> *g_consumers = nullptr;

// Waits until the named consumer's registration request has been answered (a terminal starts the
// remote side's drivers once the call is up, after its own display).
void AwaitConsumer(const char *name)
{
    for (auto &run : *g_consumers) {
        if (std::strcmp(run->plan.name, name) == 0) {
            while (!run->asked.load() && g_phase.load() != Phase::Leave) {
                std::this_thread::sleep_for(milliseconds(5));
            }
        }
    }
}

void SleepUnlessLeaving(milliseconds span)
{
    const auto until = Clock::now() + span;
    while (Clock::now() < until && g_phase.load() != Phase::Leave) {
        std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), milliseconds(20)));
    }
}

void ProviderThread(ProviderRun &run)
{
    DeviceHandle device;
    if (run.plan.after != nullptr) {
        AwaitConsumer(run.plan.after);
    }
    SleepUnlessLeaving(run.plan.startAfter);
    if (!NT_SUCCESS(device.Open())) {
        run.registration = STATUS_OBJECT_NAME_NOT_FOUND;
        run.quiet = true;
        return;
    }
    ProviderClient &client = *run.client;
    run.registration = client.Register(device, run.plan.stream, run.plan.ring, run.plan.info);
    if (run.registration == STATUS_SUCCESS) {
        g_providing[run.plan.stream] = &run;
        auto next = Clock::now();
        for (uint64_t n = 0; g_phase.load() == Phase::Running && !run.standAside.load(); ++n) {
            client.Provide(run.plan.blockSize(n), run.plan.atDispatch);
            if (run.plan.burstEvery > 0 && n % run.plan.burstEvery == run.plan.burstEvery - 1) {
                // As from one DPC: a consumer that reads later than its callback falls a ring behind.
                KIRQL previous = PASSIVE_LEVEL;
                KeRaiseIrql(DISPATCH_LEVEL, &previous);
                for (uint64_t burst = 0, k = n; burst <= run.plan.ring; ++k) {
                    const ULONG size = run.plan.blockSize(k);
                    client.Provide(size, true);
                    burst += size;
                }
                KeLowerIrql(previous);
            }
            if (run.plan.notifyEvery > 0 && n % run.plan.notifyEvery == run.plan.notifyEvery - 1) {
                STREAMER_NOTIFICATION_PARAM param;
                std::memset(&param, 0, sizeof param);
                param.adwWords[0] = static_cast<ULONG>(n);
                client.Notify(kNotifyKeyFrame, &param);
            }
            if (run.plan.infoEvery > 0 && n % run.plan.infoEvery == run.plan.infoEvery - 1) {
                STREAMER_NOTIFICATION_PARAM param;
                client.Notify(STREAMERNOTIFY_STREAM_INFO_CHANGED, client.InfoParam(param));
            }
            next += run.plan.period;
            while (Clock::now() < next && g_phase.load() == Phase::Running && !run.standAside.load()) {
                std::this_thread::sleep_for(std::min<Clock::duration>(next - Clock::now(), milliseconds(20)));
            }
        }
        ProviderRun *self = &run;
        g_providing[run.plan.stream].compare_exchange_strong(self, nullptr);
        if (run.standAside.load()) {
            run.unregistration = client.Unregister(device);
            run.stoodAside = true;
        }
    }
    run.quiet = true;
    while (g_phase.load() != Phase::Leave) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    if (client.Registered()) {
        run.unregistration = client.Unregister(device);
    }
    device.Close();
}

void ConsumerThread(ConsumerRun &run)
{
    DeviceHandle device;
    SleepUnlessLeaving(run.plan.startAfter);
    if (!NT_SUCCESS(device.Open())) {
        run.registration = STATUS_OBJECT_NAME_NOT_FOUND;
        return;
    }
    ConsumerClient &client = *run.client;
    // A kernel client names itself by its own address.
    NTSTATUS status = client.Register(device, run.plan.stream, &client, false);
    run.firstAnswer = status;
    run.asked = true;
    const auto asked = Clock::now();
    while (status == STATUS_PENDING && g_phase.load() != Phase::Leave) {
        status = client.WaitForRegistration(100 * 10000); // 100 ms
        if (status == STATUS_TIMEOUT) {
            status = STATUS_PENDING;
        }
    }
    run.waited = std::chrono::duration<double>(Clock::now() - asked).count();
    run.registration = status;
    run.registered = status == STATUS_SUCCESS || status == STATUS_PENDING;
    const uint64_t tick = 10; // ms between two turns of the processing loop
    auto lastNotify = Clock::now() - milliseconds(100000);
    bool notified = false;
    while (status == STATUS_SUCCESS && g_phase.load() != Phase::Leave) {
        switch (run.plan.style) {
        case ConsumerClient::Style::Threaded:
            client.Service(UINT64_MAX);
            break;
        case ConsumerClient::Style::Slow:
            client.Service(std::max<uint64_t>(1, run.plan.bytesPerSecond * tick / 1000));
            break;
        default:
            break;
        }
        if (run.plan.notifyOnJoin != 0 &&
            (!notified || (run.plan.notifyPeriod.count() > 0 && Clock::now() - lastNotify >= run.plan.notifyPeriod))) {
            STREAMER_NOTIFICATION_PARAM param;
            std::memset(&param, 0, sizeof param);
            param.adwWords[0] = static_cast<ULONG>(client.bytesAnnounced.load());
            client.Notify(run.plan.notifyOnJoin, &param);
            notified = true;
            lastNotify = Clock::now();
        }
        std::this_thread::sleep_for(milliseconds(tick));
    }
    if (client.Registered()) {
        run.unregistration = client.Unregister(device);
    }
    device.Close();
}

// ---- The terminal ---------------------------------------------------------------------------

ULONG Jitter(uint64_t n, ULONG base, ULONG spread) { return base + static_cast<ULONG>((n * 7919u) % spread); }

std::vector<ProviderPlan> ProviderPlans()
{
    StreamInfoSpec none;
    StreamInfoSpec video{StreamInfoSpec::Video, kCif, 30, kH263};
    StreamInfoSpec remoteVideo{StreamInfoSpec::Video, kCif, 15, kH263};
    StreamInfoSpec localAudio{StreamInfoSpec::Audio, 0, 0, kG711};
    StreamInfoSpec remoteAudio{StreamInfoSpec::Audio, 0, 0, kG722};
    std::vector<ProviderPlan> plans;
    // The user interface's commands start a moment after the call control is waiting for them.
    plans.push_back({"ui", 0, 4096, none, milliseconds(250), [](uint64_t n) { return Jitter(n, 16, 48); },
                     milliseconds(150)});
    plans.push_back({"orb", 1, 4096, none, milliseconds(500), [](uint64_t) { return ULONG(32); }});
    // 20 ms packets of G.711: 160 bytes; the microphone driver hands them over from its DPC.
    plans.push_back({"mic", 2, 4000, localAudio, milliseconds(20), [](uint64_t) { return ULONG(160); },
                     milliseconds(0), true});
    plans.push_back({"audio-rx", 3, 8000, remoteAudio, milliseconds(20), [](uint64_t) { return ULONG(160); }});
    // 30 frames a second, a key frame every second.
    ProviderPlan camera{"camera", 4, 256 * 1024, video, milliseconds(33),
                        [](uint64_t n) { return n % 30 == 0 ? ULONG(12000) : Jitter(n, 1500, 2500); }};
    camera.notifyEvery = 30;
    camera.infoEvery = 90;
    plans.push_back(camera);
    plans.push_back({"cam-info", 5, 1024, none, milliseconds(1000), [](uint64_t) { return ULONG(16); }});
    // The remote side's video arrives a little later: its consumer is there first and waits.
    ProviderPlan remote{"video-rx", 6, 128 * 1024, remoteVideo, milliseconds(66),
                        [](uint64_t n) { return n % 15 == 0 ? ULONG(9000) : Jitter(n, 2000, 1500); },
                        milliseconds(700)};
    remote.notifyEvery = 15;
    remote.after = "display";
    plans.push_back(remote);
    plans.push_back({"fecc-ui", 7, 512, none, milliseconds(300), [](uint64_t) { return ULONG(8); }});
    plans.push_back({"fecc-rx", 8, 512, none, milliseconds(400), [](uint64_t) { return ULONG(8); }});
    return plans;
}

std::vector<ConsumerPlan> ConsumerPlans()
{
    using S = ConsumerClient::Style;
    std::vector<ConsumerPlan> plans;
    // Most clients join streams whose providers are there already; the display and the call
    // control come first and wait for theirs.
    const milliseconds later(300);
    plans.push_back({"call-ctl", 0, S::Callback});
    plans.push_back({"ui-events", 1, S::Callback, later});
    plans.push_back({"audio-tx", 2, S::Threaded, later});
    // The recorder keeps up with only half of the microphone: it falls behind and loses blocks.
    plans.push_back({"recorder", 2, S::Slow, later, 4000});
    plans.push_back({"speaker", 3, S::Threaded, later});
    plans.push_back({"video-tx", 4, S::Threaded, later});
    plans.push_back({"preview", 4, S::Callback, later});
    plans.push_back({"ui-info", 5, S::Callback, later});
    plans.push_back({"display", 6, S::Threaded, milliseconds(0), 0, kNotifyKeyFrameRequest});
    plans.push_back({"fecc-tx", 7, S::Callback, later});
    plans.push_back({"ptz", 8, S::Callback, later, 0, kNotifyPositionReached, milliseconds(500)});
    return plans;
}

// ---- The run --------------------------------------------------------------------------------

class Terminal {
public:
    explicit Terminal(const LiveOptions &options) : m_options(options) {}
    int Run();

private:
    // 0 when the terminal is up, 2 for a bad option (log file, .reg file), 1 when the machine failed.
    int Setup();
    // The --load-driver files, after the device is added; their unload before its removal.
    int LoadDriverFiles();
    void UnloadDriverFiles();
    void StartClients();
    bool ConsumedByDriver(ULONG stream) const;
    const TappedProvider *ProvidedByDriver(ULONG stream) const;
    void Stress(ProviderPlan &plan) const;
    ViewSnapshot Snapshot(double elapsed, double interval);
    void StatusReport();
    void Teardown();
    int Summary();
    void Say(const std::string &line)
    {
        std::fprintf(stdout, "%s\n", line.c_str());
        std::fflush(stdout);
        if (RunRecord *record = Recording()) {
            record->Line(line);
        }
    }

    LiveOptions m_options;
    Machine m_machine;
    std::vector<std::pair<std::string, std::unique_ptr<DriverFile>>> m_drivers;
    DeviceHandle m_console;
    std::vector<std::unique_ptr<ProviderRun>> m_providers;
    std::vector<std::unique_ptr<ConsumerRun>> m_consumers;
    std::vector<uint64_t> m_lastCommitted = std::vector<uint64_t>(9, 0);
    NTSTATUS m_load = STATUS_UNSUCCESSFUL, m_addDevice = STATUS_UNSUCCESSFUL, m_removal = STATUS_UNSUCCESSFUL;
    NTSTATUS m_report = STATUS_UNSUCCESSFUL, m_bandwidthStatus = STATUS_UNSUCCESSFUL;
    ULONG m_bandwidth = 0;
    uint64_t m_orbQueries = 0;
    bool m_finalOrbAnswered = false;
    uint64_t OrbAnswers()
    {
        uint64_t answers = 0;
        for (auto &run : m_consumers) {
            answers += run->client->orbAnswers.load();
        }
        return answers;
    }
    std::map<std::string, size_t> m_leaks;
    bool m_leakChecked = false;
    std::vector<std::string> m_violations;
    std::vector<std::string> m_reportLines;
};

int Terminal::Setup()
{
    kemu::SetViolationMode(kemu::ViolationMode::Record);
    if (!m_options.driverFiles.empty()) {
        devididi::kit::UseSpecialPoolForRings(); // a client reading past a ring's end stops there
    }
    // A stop ends the run where it happened: the rules broken before it, then the verdict.
    kemu::SetStopHandler([](const std::string &report) {
        for (const auto &violation : kemu::TakeViolations()) {
            std::printf("KERNEL RULE VIOLATION: %s: %s\n", violation.rule.c_str(), violation.detail.c_str());
        }
        std::printf("stop: %s\nsome checks FAILED\n", report.c_str());
        RecordStop(report);
    });
    kemu::DebugService::SetPresent(true);
    if (!m_options.logFile.empty() && !kemu::DebugService::ForwardToFile(m_options.logFile)) {
        std::fprintf(stderr, "devididi-sim: cannot write the log file %s\n", m_options.logFile.c_str());
        return 2;
    }
    if (m_options.verbose) {
        kemu::DebugService::SetSink([](const std::string &line) {
            std::fprintf(stdout, "%s\n", line.c_str());
            std::fflush(stdout);
        });
    }
    kemu::RegImportResult levels = m_options.registryFile.empty()
                                       ? kemu::ImportRegText(kDefaultLevels, "built-in debug levels")
                                       : kemu::ImportRegFile(m_options.registryFile);
    if (!levels.ok) {
        std::fprintf(stderr, "devididi-sim: %s\n", levels.message().c_str());
        return 2;
    }
    Say("debug levels: " + levels.message());
    if (m_options.preemptSeed) {
        kemu::SetRandomPreemption(*m_options.preemptSeed);
        Say("preemption: at random at kernel calls, seed " + std::to_string(*m_options.preemptSeed));
    }
    m_load = m_machine.Load();
    Say("load: " + StatusName(m_load));
    if (m_load != STATUS_SUCCESS) {
        return 1;
    }
    m_addDevice = m_machine.AddDevice();
    Say("add-device: " + StatusName(m_addDevice));
    if (int failed = LoadDriverFiles()) {
        return failed;
    }
    NTSTATUS open = m_console.Open();
    Say("console: open -> " + StatusName(open));
    if (!NT_SUCCESS(open)) {
        return 1;
    }
    ControlClient control(m_console);
    m_bandwidthStatus = control.Bandwidth(1, m_bandwidth);
    Say("bandwidth: " + StatusName(m_bandwidthStatus) + " " + std::to_string(m_bandwidth));
    return 0;
}

void Terminal::StartClients()
{
    g_consumers = &m_consumers;
    // A loaded driver that registers as provider of a stream once the terminal's provider holds it
    // (from a thread or a timer of its own) takes it over too: that provider's thread unregisters it
    // between two blocks, and the registration goes on to the exchange after it, 2 s at most later.
    SetBeforeDriverProvides([this](ULONG stream, const std::string &driver) {
        ProviderRun *run = g_providing[stream].exchange(nullptr);
        if (run == nullptr) {
            return;
        }
        run->standAside = true;
        const auto until = Clock::now() + milliseconds(2000);
        while (!run->stoodAside.load() && Clock::now() < until) {
            std::this_thread::sleep_for(milliseconds(1));
        }
        Say(std::string(run->plan.name) +
            (run->stoodAside.load() ? ": stands aside on stream " : ": did not stand aside within 2 s on stream ") +
            std::to_string(stream) + " for the loaded driver " + driver);
    });
    for (const ConsumerPlan &plan : ConsumerPlans()) {
        auto run = std::make_unique<ConsumerRun>();
        run->plan = plan;
        run->client = std::make_unique<ConsumerClient>(plan.name, nullptr, plan.style);
        m_consumers.push_back(std::move(run));
    }
    for (ProviderPlan plan : ProviderPlans()) {
        if (const TappedProvider *driver = ProvidedByDriver(plan.stream)) {
            Say(std::string(plan.name) + ": stands aside on stream " + std::to_string(plan.stream) +
                " for the loaded driver " + driver->driver);
            continue;
        }
        if (ConsumedByDriver(plan.stream)) {
            Stress(plan);
        }
        auto run = std::make_unique<ProviderRun>();
        run->plan = plan;
        run->client = std::make_unique<ProviderClient>(plan.name, nullptr);
        m_providers.push_back(std::move(run));
    }
    for (auto &run : m_consumers) {
        run->thread = std::thread(ConsumerThread, std::ref(*run));
    }
    for (auto &run : m_providers) {
        run->thread = std::thread(ProviderThread, std::ref(*run));
    }
}

// A loaded driver that registered as the stream's provider (in its DriverEntry) and still is.
const TappedProvider *Terminal::ProvidedByDriver(ULONG stream) const
{
    for (TappedProvider *p : TappedProviders()) {
        if (p->stream == stream && p->joined.load()) {
            return p;
        }
    }
    return nullptr;
}

bool Terminal::ConsumedByDriver(ULONG stream) const
{
    for (TappedConsumer *c : TappedConsumers()) {
        if (c->stream == stream) {
            return true;
        }
    }
    return false;
}

// A stream a loaded driver reads: blocks that cross the ring's end, whatever the ring's size.
void Terminal::Stress(ProviderPlan &plan) const
{
    if (m_options.driverRing > 0) {
        plan.ring = static_cast<ULONG>(m_options.driverRing);
    }
    if (m_options.blockMin > 0) {
        const ULONG low = static_cast<ULONG>(m_options.blockMin), spread = static_cast<ULONG>(m_options.blockMax) - low + 1;
        plan.blockSize = [low, spread](uint64_t n) { return Jitter(n, low, spread); };
    } else {
        auto own = plan.blockSize;
        plan.blockSize = [own](uint64_t n) {
            const ULONG size = own(n);
            return Jitter(n, size, size / 4 + 1);
        };
    }
    plan.burstEvery = m_options.burstEvery;
}

ViewSnapshot Terminal::Snapshot(double elapsed, double interval)
{
    ViewSnapshot view;
    view.elapsed = elapsed;
    view.duration = m_options.duration;
    for (int index = 0; index < 9; ++index) {
        StreamRow row;
        row.index = index;
        row.label = StreamLabel(index);
        row.provider = "-";
        for (auto &run : m_providers) {
            if (run->plan.stream == static_cast<ULONG>(index) && run->client->Registered()) {
                row.provider = run->plan.name;
            }
        }
        if (const TappedProvider *driver = ProvidedByDriver(static_cast<ULONG>(index))) {
            row.provider = driver->driver;
        }
        const uint64_t committed = Ledger(static_cast<ULONG>(index)).committed.load();
        row.bytesPerSecond = interval > 0 ? static_cast<double>(committed - m_lastCommitted[static_cast<size_t>(index)]) / interval : 0;
        m_lastCommitted[static_cast<size_t>(index)] = committed;
        for (auto &run : m_consumers) {
            if (run->plan.stream != static_cast<ULONG>(index)) {
                continue;
            }
            ConsumerClient &client = *run->client;
            ConsumerRow consumer;
            consumer.name = run->plan.name;
            consumer.state = client.Pending() ? "waiting" : client.Registered() ? "joined" : "left";
            consumer.freeSpace = client.knowsWritePosition.load() ? client.FreeSpace() : 0;
            consumer.announced = client.bytesAnnounced.load();
            consumer.processed = client.bytesProcessed.load();
            consumer.lost = client.bytesLost.load();
            if (client.knowsWritePosition.load()) {
                row.hasWritePosition = true;
                row.writePosition = client.writePosition.load();
                row.ringSize = static_cast<uint64_t>(client.joinedSpace.load());
            }
            row.consumers.push_back(consumer);
        }
        for (TappedConsumer *c : TappedConsumers()) {
            if (c->stream != static_cast<ULONG>(index)) {
                continue;
            }
            ConsumerRow consumer;
            consumer.name = c->driver;
            consumer.state = c->left.load() ? "left" : c->joined.load() ? "joined" : "waiting";
            consumer.freeSpace = c->told.load() ? c->FreeSpace() : 0;
            consumer.announced = c->bytesAnnounced.load();
            consumer.processed = c->bytesProcessed.load();
            consumer.lost = c->bytesLost.load();
            row.consumers.push_back(consumer);
        }
        view.streams.push_back(row);
    }
    uint64_t answers = 0;
    int64_t active = -1;
    for (auto &run : m_consumers) {
        if (run->plan.stream == 1) {
            answers += run->client->orbAnswers.load();
            active = run->client->lastOrbAnswer.load();
        }
    }
    char text[160];
    std::snprintf(text, sizeof text, "ORB-driver query: %llu sent, %llu answers, last: %s",
                  static_cast<unsigned long long>(m_orbQueries), static_cast<unsigned long long>(answers),
                  active < 0 ? "-" : active ? "active" : "not active");
    view.notes.push_back(text);
    return view;
}

void Terminal::StatusReport()
{
    // The report needs ENTRY at 1 and STREAM at 2 at least; lower levels are raised for it.
    auto level = [](const char *module) -> int64_t {
        auto value = kemu::GetRegistryValue(std::string(kLevelContainer) + "\\" + module, "DebugLevel");
        return value && !value->data.empty() ? value->data[0] : -1;
    };
    ControlClient control(m_console);
    if (level("ENTRY") < 1 || level("STREAM") < 2) {
        if (level("ENTRY") < 1) {
            Machine::SetLevel("ENTRY", 1);
        }
        if (level("STREAM") < 2) {
            Machine::SetLevel("STREAM", 2);
        }
        Say("(debug levels raised for the report: ENTRY 1, STREAM 2)");
        control.UpdateLevels();
    }
    kemu::DebugService::Clear();
    m_report = control.PrintStatus();
    m_reportLines = kemu::DebugService::Lines();
    Say("");
    Say("status report of streams 0 to 8 (print-status: " + StatusName(m_report) + "):");
    for (const std::string &line : m_reportLines) {
        Say("  " + line);
    }
}

void Terminal::Teardown()
{
    // Loaded drivers leave first: a provider of theirs keeps its own pace until its unload, and the
    // terminal's consumers of its stream must leave a stream that no longer moves.
    Say("");
    kemu::DebugService::Clear();
    SetBeforeDriverProvides(nullptr);
    UnloadDriverFiles();
    g_phase = Phase::Leave;
    for (auto &run : m_providers) {
        if (run->thread.joinable()) {
            run->thread.join();
        }
    }
    for (auto &run : m_consumers) {
        if (run->thread.joinable()) {
            run->thread.join();
        }
    }
    m_console.Close();
    kemu::DebugService::Clear();
    if (m_machine.Devices() > 0) {
        m_removal = m_machine.RemoveDevice();
        RecordEvent("remove-device", "device", kNoStream, 0, StatusName(m_removal));
        Say("remove-device: " + StatusName(m_removal));
    }
    m_machine.Unload();
    RecordEvent("unload", "device", kNoStream, 0);
    m_leaks = LivePoolByTag();
    m_leakChecked = true;
    Say("unload: done");
    // The driver's own leak report (traced allocation, at the end of the unload), then the pool's.
    std::vector<std::string> report;
    for (const std::string &line : kemu::DebugService::Lines()) {
        if (line.find("allocations were not deallocated") != std::string::npos ||
            line.find("'new' without 'delete'") != std::string::npos) {
            report.push_back(line);
        }
    }
    Say(report.empty() ? "leak report: every traced allocation was freed" : "leak report:");
    for (const std::string &line : report) {
        Say("  " + line);
    }
    Say(m_leaks.empty() ? "pool: no block left" : "pool: blocks left: " + PoolSummary(m_leaks));
    for (const auto &violation : kemu::TakeViolations()) {
        m_violations.push_back(violation.rule + ": " + violation.detail);
    }
}

int Terminal::Summary()
{
    bool ok = true;
    auto check = [&](bool held, const std::string &what, const std::string &detail) {
        Say(std::string(held ? "  ok    " : "  FAIL  ") + what + (detail.empty() ? "" : ": " + detail));
        ok = ok && held;
    };
    Say("");
    Say("summary");
    char text[256];
    std::snprintf(text, sizeof text, "  %-10s %-6s %-9s %-42s %10s %10s %10s %10s", "client", "stream", "role",
                  "registration", "bytes", "checked", "lost", "problems");
    Say(text);
    uint64_t problems = 0, checked = 0;
    for (auto &run : m_providers) {
        ProviderClient &client = *run->client;
        problems += client.problems.count.load();
        std::snprintf(text, sizeof text, "  %-10s %-6lu %-9s %-42s %10s %10s %10s %10llu", run->plan.name,
                      static_cast<unsigned long>(run->plan.stream), "provider", StatusName(run->registration).c_str(),
                      Bytes(static_cast<double>(client.bytesAccepted.load())).c_str(), "-", "-",
                      static_cast<unsigned long long>(client.problems.count.load()));
        Say(text);
    }
    for (auto &run : m_consumers) {
        ConsumerClient &client = *run->client;
        problems += client.problems.count.load();
        checked += client.bytesChecked.load();
        std::string registration = StatusName(run->firstAnswer);
        if (run->firstAnswer == STATUS_PENDING) {
            char waited[64];
            std::snprintf(waited, sizeof waited, " -> %s after %.1f s", StatusName(run->registration).c_str(),
                          run->waited.load());
            registration += waited;
        }
        std::snprintf(text, sizeof text, "  %-10s %-6lu %-9s %-42s %10s %10s %10s %10llu", run->plan.name,
                      static_cast<unsigned long>(run->plan.stream), "consumer", registration.c_str(),
                      Bytes(static_cast<double>(client.bytesAnnounced.load())).c_str(),
                      Bytes(static_cast<double>(client.bytesChecked.load())).c_str(),
                      Bytes(static_cast<double>(client.bytesLost.load())).c_str(),
                      static_cast<unsigned long long>(client.problems.count.load()));
        Say(text);
    }
    const std::vector<TappedProvider *> driverProviders = TappedProviders();
    for (TappedProvider *p : driverProviders) {
        std::snprintf(text, sizeof text, "  %-10s %-6lu %-9s %-42s %10s %10s %10s %10s", p->driver.c_str(),
                      static_cast<unsigned long>(p->stream), "provider", StatusName(p->registration).c_str(),
                      Bytes(static_cast<double>(p->bytesAccepted.load())).c_str(), "-", "-", "-");
        Say(text);
    }
    const std::vector<TappedConsumer *> drivers = TappedConsumers();
    for (TappedConsumer *c : drivers) {
        problems += c->problems.count.load();
        std::string registration = StatusName(c->firstAnswer);
        if (c->firstAnswer == STATUS_PENDING) {
            registration += " -> " + StatusName(c->registration);
        }
        std::snprintf(text, sizeof text, "  %-10s %-6lu %-9s %-42s %10s %10s %10s %10llu", c->driver.c_str(),
                      static_cast<unsigned long>(c->stream), "consumer", registration.c_str(),
                      Bytes(static_cast<double>(c->bytesAnnounced.load())).c_str(), "-",
                      Bytes(static_cast<double>(c->bytesLost.load())).c_str(),
                      static_cast<unsigned long long>(c->problems.count.load()));
        Say(text);
    }
    Say("");
    Say("checks");
    // Bytes: every consumer read what it was told of, in place, as the provider handed it over.
    std::string firstProblem;
    for (auto &run : m_providers) {
        if (firstProblem.empty() && run->client->problems.count.load() > 0) {
            firstProblem = std::string(run->plan.name) + ": " + run->client->problems.first;
        }
    }
    for (auto &run : m_consumers) {
        if (firstProblem.empty() && run->client->problems.count.load() > 0) {
            firstProblem = std::string(run->plan.name) + ": " + run->client->problems.first;
        }
    }
    for (TappedConsumer *c : drivers) {
        if (firstProblem.empty() && c->problems.count.load() > 0) {
            firstProblem = c->driver + ": " + c->problems.first;
        }
    }
    check(problems == 0 && checked > 0, "bytes read in place are the bytes provided",
          problems == 0 ? Bytes(static_cast<double>(checked)) + " checked" : firstProblem);
    bool registrations = true;
    for (auto &run : m_providers) {
        registrations = registrations && run->registration == STATUS_SUCCESS && run->unregistration == STATUS_SUCCESS;
    }
    for (auto &run : m_consumers) {
        registrations = registrations && run->registration == STATUS_SUCCESS && run->unregistration == STATUS_SUCCESS;
    }
    for (TappedProvider *p : driverProviders) {
        registrations = registrations && p->registration == STATUS_SUCCESS && p->left.load();
    }
    for (TappedConsumer *c : drivers) {
        registrations = registrations && (c->registration == STATUS_SUCCESS || c->withdrawn.load()) && c->left.load();
    }
    check(registrations, "every client registered and unregistered", "");
    bool waited = false;
    for (auto &run : m_consumers) {
        waited = waited || (run->firstAnswer == STATUS_PENDING && run->registration == STATUS_SUCCESS);
    }
    check(waited, "a consumer registered before its provider and waited", "");
    // Consumers of one stream agree on where the provider's next byte goes.
    bool agree = true;
    for (ULONG index = 0; index < 9; ++index) {
        bool have = false;
        uint64_t position = 0;
        for (auto &run : m_consumers) {
            if (run->plan.stream == index && run->client->knowsWritePosition.load()) {
                if (have && run->client->writePosition.load() != position) {
                    agree = false;
                }
                have = true;
                position = run->client->writePosition.load();
            }
        }
    }
    check(agree, "the consumers of each stream agree on its write position", "");
    // Conservation: what a consumer was told of, announced or lost, is exactly what its stream took
    // while it was registered, less what was still unannounced when it left (nothing, since the
    // providers stop first); and it never reported more than it was told of.
    bool conserved = true;
    auto sum = [&](const std::string &name, bool told, uint64_t firstTold, uint64_t toldEnd, uint64_t joinedAt,
                   uint64_t leftAt, uint64_t announcedBytes, uint64_t lostBytes, uint64_t processedBytes) {
        const ConsumerSums sums =
            SumConsumer(told, firstTold, toldEnd, joinedAt, leftAt, announcedBytes, lostBytes, processedBytes);
        conserved = conserved && sums.held;
        std::snprintf(text, sizeof text,
                      "  sums  %-10s provided %llu = announced %llu + lost %llu + unannounced %llu; "
                      "processed %llu%s",
                      name.c_str(), static_cast<unsigned long long>(sums.provided),
                      static_cast<unsigned long long>(sums.announced), static_cast<unsigned long long>(sums.lost),
                      static_cast<unsigned long long>(sums.unannounced), static_cast<unsigned long long>(sums.processed),
                      sums.held ? "" : "  BROKEN");
        Say(text);
    };
    for (auto &run : m_consumers) {
        ConsumerClient &client = *run->client;
        if (!client.left.load()) {
            continue; // never joined: its registration check fails above
        }
        sum(run->plan.name, client.told.load(), client.firstTold.load(), client.toldEnd.load(), client.joinedAt.load(),
            client.leftAt.load(), client.bytesAnnounced.load(), client.bytesLost.load(), client.bytesProcessed.load());
    }
    for (TappedConsumer *c : drivers) {
        if (c->left.load() && c->registration == STATUS_SUCCESS) {
            sum(c->driver, c->told.load(), c->firstTold.load(), c->toldEnd.load(), c->joinedAt.load(), c->leftAt.load(),
                c->bytesAnnounced.load(), c->bytesLost.load(), c->bytesProcessed.load());
        }
    }
    check(conserved, "every consumer was told of exactly the bytes provided while it was registered", "");
    uint64_t lost = 0, answers = 0;
    for (auto &run : m_consumers) {
        lost += run->client->bytesLost.load();
        if (run->plan.stream == 1) {
            answers += run->client->orbAnswers.load();
        }
    }
    Say("  info  slow consumer: lost " + Bytes(static_cast<double>(lost)) + " in total");
    for (TappedConsumer *c : drivers) {
        std::snprintf(text, sizeof text, "  info  %s on stream %lu: ring %llu bytes, %llu of %llu blocks crossed its end, %s lost",
                      c->driver.c_str(), static_cast<unsigned long>(c->stream),
                      static_cast<unsigned long long>(c->ringSize.load()),
                      static_cast<unsigned long long>(c->blocksAcrossEnd.load()),
                      static_cast<unsigned long long>(c->blocks.load()),
                      Bytes(static_cast<double>(c->bytesLost.load())).c_str());
        Say(text);
    }
    check(m_finalOrbAnswered, "the ORB-driver query reached the notifications stream",
          std::to_string(answers) + " answers to " + std::to_string(m_orbQueries) + " queries");
    check(m_report == STATUS_SUCCESS && !m_reportLines.empty(), "status report", StatusName(m_report));
    check(m_removal == STATUS_SUCCESS, "device removal", StatusName(m_removal));
    check(m_leakChecked && m_leaks.empty(), "no leak after unload",
          m_leaks.empty() ? "no pool block left" : PoolSummary(m_leaks) + " pool blocks left");
    check(m_violations.empty(), "no platform rule violation",
          m_violations.empty() ? "" : m_violations.front() + (m_violations.size() > 1 ? " (and more)" : ""));
    for (const std::string &line : kemu::DbgPrintLines()) {
        Say("  DbgPrint: " + line.substr(0, line.find_last_not_of('\n') + 1));
    }
    std::string replay;
    if (m_options.preemptSeed) {
        const kemu::PreemptionStats drawn = kemu::RandomPreemptionStats();
        kemu::StopRandomPreemption();
        const std::string seed = std::to_string(*m_options.preemptSeed);
        Say("  info  preemption seed " + seed + ": " + std::to_string(drawn.points) + " kernel calls drew, " +
            std::to_string(drawn.yields) + " yields, " + std::to_string(drawn.sleeps) + " sleeps");
        replay = " (preemption seed " + seed + ": run again with --preempt " + seed + ")";
    }
    Say(ok ? "every check held" : "some checks FAILED" + replay);
    return ok ? 0 : 1;
}

int Terminal::LoadDriverFiles()
{
    for (const std::string &path : m_options.driverFiles) {
        std::string name = path.substr(path.find_last_of('/') + 1);
        name = name.substr(0, name.find('.'));
        auto driver = std::make_unique<DriverFile>();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::string error;
        if (!driver->Load(name, path, status, error)) {
            std::fprintf(stderr, "devididi-sim: --load-driver: %s\n", error.c_str());
            return 2;
        }
        Say("load-driver " + name + ": " + StatusName(status));
        if (!driver->Loaded()) {
            return 1;
        }
        m_drivers.emplace_back(name, std::move(driver));
    }
    return 0;
}

void Terminal::UnloadDriverFiles()
{
    for (auto &[name, driver] : m_drivers) {
        driver->Unload();
        Say("unload-driver " + name + ": done");
    }
    m_drivers.clear();
}

int Terminal::Run()
{
    if (int failed = Setup()) {
        m_console.Close();
        UnloadDriverFiles();
        m_machine.Unload();
        return failed;
    }
    StartClients();
    const size_t viewLines = RenderView(Snapshot(0, 0)).size();
    LiveView view(stdout, !m_options.verbose && IsTerminal(stdout, viewLines));
    Say("");
    const auto start = Clock::now();
    auto lastView = start;
    auto lastQuery = start;
    ControlClient control(m_console);
    for (;;) {
        std::this_thread::sleep_for(milliseconds(50));
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - start).count();
        if (RunRecord *record = Recording()) {
            record->Sample(); // every turn: 50 ms
        }
        if (now - lastQuery >= milliseconds(1000)) {
            control.OrbQuery();
            ++m_orbQueries;
            lastQuery = now;
        }
        if (now - lastView >= milliseconds(1000) || elapsed >= m_options.duration) {
            view.Show(Snapshot(elapsed, std::chrono::duration<double>(now - lastView).count()));
            lastView = now;
            // The service keeps what it showed; the run needs only the final report's lines.
            kemu::DebugService::Clear();
        }
        if (elapsed >= m_options.duration) {
            break;
        }
    }
    // Providers stop, consumers catch up; everyone stays registered for the report.
    g_phase = Phase::Quiet;
    for (auto &run : m_providers) {
        while (!run->quiet.load()) {
            std::this_thread::sleep_for(milliseconds(5));
        }
    }
    std::this_thread::sleep_for(milliseconds(200));
    // Every client is registered now: one more query must reach the notifications stream.
    const uint64_t answersBefore = OrbAnswers();
    control.OrbQuery();
    ++m_orbQueries;
    m_finalOrbAnswered = OrbAnswers() > answersBefore;
    StatusReport();
    Teardown();
    if (RunRecord *record = Recording()) {
        record->Sample();
    }
    return Summary();
}

} // namespace

int RunLive(const LiveOptions &options)
{
    g_phase = Phase::Running;
    Terminal terminal(options);
    return terminal.Run();
}

} // namespace sim
