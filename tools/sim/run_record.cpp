// The record of a run and its trace in the Trace Event Format.
#include "run_record.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>
#include <sstream>

#include "client.h"
#include "driver_tap.h"
#include "emu/kemu/kemu.h"
#include "names.h"

namespace sim {
namespace {

std::atomic<RunRecord *> g_record{nullptr};
std::function<void()> g_writer;
thread_local const std::string *t_track = nullptr;
// A thread that is no client's (the run's own, the kernel's DPC and work threads): a track of its own.
thread_local std::string t_threadTrack;

uint64_t SteadyMicroseconds()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// A scripted tick is 10 ms, as the emulated clock's increment.
constexpr uint64_t kMicrosecondsPerTick = 10000;

} // namespace

std::string JsonText(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || c == '<') { // '<' too: the text may sit inside an HTML script
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

RunRecord *Recording() { return g_record.load(std::memory_order_acquire); }
void SetRecording(RunRecord *record) { g_record.store(record, std::memory_order_release); }

void SetRecordWriter(std::function<void()> writer) { g_writer = std::move(writer); }

void RecordStop(const std::string &report)
{
    RunRecord *record = Recording();
    if (record == nullptr) {
        return;
    }
    record->Event("stop", "device", -1, 0, report);
    record->Line("stop: " + report);
    if (g_writer) {
        g_writer();
    }
}

RunRecord::RunRecord(Clock clock) : m_clock(clock), m_start(SteadyMicroseconds()) {}

uint64_t RunRecord::NowLocked()
{
    if (m_clock == Clock::Real) {
        return SteadyMicroseconds() - m_start;
    }
    m_last = std::max(m_last + 1, kemu::TickCount() * kMicrosecondsPerTick);
    return m_last;
}

uint64_t RunRecord::Now()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return NowLocked();
}

const std::string &RunRecord::TrackLocked()
{
    if (t_track == nullptr && t_threadTrack.empty()) {
        t_threadTrack = std::this_thread::get_id() == m_mainThread ? "main" : "thread " + std::to_string(++m_threads);
    }
    const std::string &track = t_track != nullptr ? *t_track : t_threadTrack;
    if (std::find(m_tracks.begin(), m_tracks.end(), track) == m_tracks.end()) {
        m_tracks.push_back(track);
    }
    return track;
}

void RunRecord::Slice(const std::string &name, uint64_t begin, int stream, const std::string &client, uint64_t bytes,
                      bool hasBytes, bool accepted)
{
    std::lock_guard<std::mutex> hold(m_lock);
    SliceRecord slice;
    slice.begin = begin;
    slice.end = NowLocked();
    slice.track = TrackLocked();
    slice.name = name;
    slice.client = client;
    slice.stream = stream;
    slice.bytes = bytes;
    slice.hasBytes = hasBytes;
    slice.accepted = accepted;
    if (stream >= 0) {
        m_streamsCalled[static_cast<size_t>(stream)] = true;
    }
    m_slices.push_back(std::move(slice));
}

void RunRecord::Event(const std::string &kind, const std::string &client, int stream, uint64_t value,
                      const std::string &detail)
{
    std::lock_guard<std::mutex> hold(m_lock);
    TimedEvent event;
    event.ts = NowLocked();
    event.track = TrackLocked();
    event.kind = kind;
    event.client = client;
    event.stream = stream;
    event.value = value;
    event.detail = detail;
    m_events.push_back(std::move(event));
}

void RunRecord::Watch(const ConsumerClient *consumer)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_consumers.push_back(consumer);
}

void RunRecord::Unwatch(const ConsumerClient *consumer)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_consumers.erase(std::remove(m_consumers.begin(), m_consumers.end(), consumer), m_consumers.end());
}

void RunRecord::Sample(const std::string &label)
{
    std::lock_guard<std::mutex> hold(m_lock);
    SampleRecord sample;
    sample.ts = NowLocked();
    sample.label = label;
    std::vector<bool> seen(256, false);
    for (const ConsumerClient *c : m_consumers) {
        // Charted from the first block it was told of: its stream and ring are settled by then (the
        // client's own thread wrote them before it set the flag), and the sample reads only counters.
        if (!c->knowsWritePosition.load()) {
            continue;
        }
        ConsumerSample row;
        row.name = c->Name();
        row.stream = static_cast<int>(c->Stream() & 0xFF);
        row.ring = static_cast<uint64_t>(c->joinedSpace.load());
        row.used = static_cast<int64_t>(row.ring) - c->FreeSpace();
        row.announced = c->bytesAnnounced.load();
        row.processed = c->bytesProcessed.load();
        row.lost = c->bytesLost.load();
        seen[static_cast<size_t>(row.stream)] = true;
        sample.consumers.push_back(row);
    }
    for (const TappedConsumer *c : TappedConsumers()) {
        ConsumerSample row;
        row.name = c->driver;
        row.stream = static_cast<int>(c->stream & 0xFF);
        row.ring = c->ringSize.load();
        row.used = c->told.load() ? static_cast<int64_t>(row.ring) - c->FreeSpace() : 0;
        row.announced = c->bytesAnnounced.load();
        row.processed = c->bytesProcessed.load();
        row.lost = c->bytesLost.load();
        seen[static_cast<size_t>(row.stream)] = true;
        sample.consumers.push_back(row);
    }
    for (size_t index = 0; index < seen.size(); ++index) {
        if (seen[index] || m_streamsCalled[index]) {
            sample.committed[static_cast<int>(index)] = Ledger(static_cast<ULONG>(index)).committed.load();
        }
    }
    m_samples.push_back(std::move(sample));
}

void RunRecord::Line(const std::string &line)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_lines.push_back(line);
}

std::vector<RunRecord::TimedEvent> RunRecord::Events() const { return Locked(m_events); }
std::vector<RunRecord::SliceRecord> RunRecord::Slices() const { return Locked(m_slices); }
std::vector<RunRecord::SampleRecord> RunRecord::Samples() const { return Locked(m_samples); }
std::vector<std::string> RunRecord::Lines() const { return Locked(m_lines); }
std::vector<std::string> RunRecord::Tracks() const { return Locked(m_tracks); }

RunRecord::TrackScope::TrackScope(const std::string &track) : m_previous(t_track), m_track(track) { t_track = &m_track; }
RunRecord::TrackScope::~TrackScope() { t_track = m_previous; }

RecordedCall::RecordedCall(const char *name, const std::string &client, unsigned long stream, Where where)
    : m_record(Recording()), m_client(client), m_stream(static_cast<int>(stream & 0xFF))
{
    if (m_record == nullptr) {
        return;
    }
    m_name = name;
    if (where != Callback) {
        m_scope.emplace(where == DpcCall ? client + " DPC" : client);
    }
    m_begin = m_record->Now();
}

RecordedCall::~RecordedCall()
{
    if (m_record != nullptr) {
        m_record->Slice(m_name, m_begin, m_stream, m_client, m_bytes, m_hasBytes, m_accepted);
    }
}

void RecordedCall::Code(unsigned long code)
{
    if (m_record != nullptr) {
        const std::string name = NotifyName(code);
        m_name += " " + std::to_string(code) + (name.empty() ? "" : " " + name);
    }
}

ClientThread::ClientThread(const std::string &client)
{
    if (Recording() != nullptr) {
        m_scope.emplace(client);
    }
}

void RecordEvent(const std::string &kind, const std::string &client, unsigned long stream, uint64_t value,
                 const std::string &detail)
{
    if (RunRecord *record = Recording()) {
        record->Event(kind, client, stream == kNoStream ? -1 : static_cast<int>(stream & 0xFF), value, detail);
    }
}

bool WriteWholeFile(const std::string &path, const std::string &text, const std::string &what, std::string &error)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) {
        error = "cannot write " + what + " " + path;
        return false;
    }
    return true;
}

// ---- The trace ------------------------------------------------------------------------------

bool WriteTrace(const RunRecord &record, const std::string &path, std::string &error)
{
    const std::vector<std::string> tracks = record.Tracks();
    auto tid = [&](const std::string &track) {
        return std::to_string(std::find(tracks.begin(), tracks.end(), track) - tracks.begin() + 1);
    };
    // One event a line, ordered by time (stable, so a scripted run's order is its own).
    std::vector<std::pair<uint64_t, std::string>> items;
    for (const RunRecord::SliceRecord &s : record.Slices()) {
        std::string args = "\"client\":" + JsonText(s.client) + ",\"stream\":" + std::to_string(s.stream);
        if (s.hasBytes) {
            args += ",\"bytes\":" + std::to_string(s.bytes);
        }
        if (!s.accepted) {
            args += ",\"accepted\":false";
        }
        items.emplace_back(s.begin, "{\"ph\":\"X\",\"cat\":\"call\",\"name\":" + JsonText(s.name) +
                                        ",\"pid\":1,\"tid\":" + tid(s.track) + ",\"ts\":" + std::to_string(s.begin) +
                                        ",\"dur\":" + std::to_string(s.end - s.begin) + ",\"args\":{" + args + "}}");
    }
    for (const RunRecord::TimedEvent &e : record.Events()) {
        std::string args = "\"client\":" + JsonText(e.client) + ",\"stream\":" + std::to_string(e.stream) +
                           ",\"value\":" + std::to_string(e.value);
        if (!e.detail.empty()) {
            args += ",\"detail\":" + JsonText(e.detail);
        }
        items.emplace_back(e.ts, "{\"ph\":\"i\",\"s\":\"t\",\"cat\":\"event\",\"name\":" + JsonText(e.kind) +
                                     ",\"pid\":1,\"tid\":" + tid(e.track) + ",\"ts\":" + std::to_string(e.ts) +
                                     ",\"args\":{" + args + "}}");
    }
    for (const RunRecord::SampleRecord &sample : record.Samples()) {
        std::map<int, std::string> fill; // per stream: "name":used,...
        for (const RunRecord::ConsumerSample &c : sample.consumers) {
            std::string &args = fill[c.stream];
            args += (args.empty() ? "" : ",") + JsonText(c.name) + ":" + std::to_string(c.used);
        }
        for (const auto &[stream, args] : fill) {
            items.emplace_back(sample.ts, "{\"ph\":\"C\",\"cat\":\"ring\",\"name\":\"stream " + std::to_string(stream) +
                                              " ring fill\",\"pid\":1,\"tid\":0,\"ts\":" + std::to_string(sample.ts) +
                                              ",\"args\":{" + args + "}}");
        }
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::ostringstream out;
    out << "{\"displayTimeUnit\":\"ms\",\"otherData\":{\"clock\":\""
        << (record.clock() == RunRecord::Clock::Real ? "real" : "scripted: 10 ms a tick, 1 us a recorded step")
        << "\"},\"traceEvents\":[\n";
    out << "{\"ph\":\"M\",\"name\":\"process_name\",\"pid\":1,\"tid\":0,\"args\":{\"name\":\"devididi-sim\"}}";
    for (const std::string &track : tracks) {
        out << ",\n{\"ph\":\"M\",\"name\":\"thread_name\",\"pid\":1,\"tid\":" << tid(track)
            << ",\"args\":{\"name\":" << JsonText(track) << "}}";
    }
    for (const auto &item : items) {
        out << ",\n" << item.second;
    }
    out << "\n]}\n";
    return WriteWholeFile(path, out.str(), "the trace", error);
}

} // namespace sim
