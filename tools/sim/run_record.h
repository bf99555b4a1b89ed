// What a run did over time, for a picture of it: the report (--report) and the trace (--trace).
// The clients tell it of the calls they make and the callbacks they answer as slices, of every
// registration and loss as it happens; the ring fill of every consumer is sampled from the counters
// the clients keep anyway, at a fixed interval by whoever drives the run. Nothing here is on the
// exchange's side: when no run is recorded each hook costs one load of a null pointer.
#ifndef DEVIDIDI_SIM_RUN_RECORD_H
#define DEVIDIDI_SIM_RUN_RECORD_H

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class ConsumerClient;

class RunRecord {
public:
    // Real: microseconds since the record began. Scripted: the tick count (10 ms a tick) plus one
    // microsecond per thing recorded, so that the same script gives the same times.
    enum class Clock { Real, Scripted };
    explicit RunRecord(Clock clock);

    uint64_t Now();
    // A call on the current thread's track from begin to now. Tracks are named by the client whose
    // thread it is (see TrackScope); a callback runs on the track of the thread that called it.
    void Slice(const std::string &name, uint64_t begin, int stream, const std::string &client, uint64_t bytes,
               bool hasBytes, bool accepted = true);
    // A moment on the current thread's track: registration, wait, loss, removal.
    void Event(const std::string &kind, const std::string &client, int stream, uint64_t value,
               const std::string &detail = "");

    // Every consumer the clients create is watched until it is destroyed.
    void Watch(const ConsumerClient *consumer);
    void Unwatch(const ConsumerClient *consumer);
    // One sample of every stream's accepted bytes and every consumer's counters, at time now.
    // label: where the sample was taken (a script's line number; empty in live runs).
    void Sample(const std::string &label = "");
    // A line the run prints at its end (summary, checks, sums), kept for the report.
    void Line(const std::string &line);

    struct TimedEvent {
        uint64_t ts = 0;
        std::string track, kind, client, detail;
        int stream = -1;
        uint64_t value = 0;
    };
    struct SliceRecord {
        uint64_t begin = 0, end = 0;
        std::string track, name, client;
        int stream = -1;
        uint64_t bytes = 0;
        bool hasBytes = false, accepted = true;
    };
    struct ConsumerSample {
        std::string name;
        int stream = 0;
        uint64_t ring = 0;
        int64_t used = 0;
        uint64_t announced = 0, processed = 0, lost = 0;
    };
    struct SampleRecord {
        uint64_t ts = 0;
        std::string label;
        std::map<int, uint64_t> committed; // per stream seen so far: the bytes it accepted
        uint64_t Committed(int stream) const
        {
            auto found = committed.find(stream);
            return found != committed.end() ? found->second : 0;
        }
        std::vector<ConsumerSample> consumers;
    };

    Clock clock() const { return m_clock; }
    // Snapshot copies for the writers (taken once the run is over).
    std::vector<TimedEvent> Events() const;
    std::vector<SliceRecord> Slices() const;
    std::vector<SampleRecord> Samples() const;
    std::vector<std::string> Lines() const;
    std::vector<std::string> Tracks() const;

    // The current thread's track while a scope lives (the client whose thread it is, or its DPC).
    class TrackScope {
    public:
        explicit TrackScope(const std::string &track);
        ~TrackScope();
        TrackScope(const TrackScope &) = delete;
        TrackScope &operator=(const TrackScope &) = delete;

    private:
        const std::string *m_previous;
        std::string m_track;
    };

private:
    uint64_t NowLocked();
    const std::string &TrackLocked();

    Clock m_clock;
    uint64_t m_start = 0; // Real: steady clock at the start, in microseconds
    uint64_t m_last = 0;  // Scripted: the latest time given out
    mutable std::mutex m_lock;
    // A copy of one of the lists below, taken under the lock.
    template <typename T>
    T Locked(const T &list) const
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return list;
    }
    std::vector<TimedEvent> m_events;
    std::vector<SliceRecord> m_slices;
    std::vector<SampleRecord> m_samples;
    std::vector<std::string> m_lines;
    std::vector<std::string> m_tracks; // in order of first use
    std::vector<const ConsumerClient *> m_consumers;
    std::thread::id m_mainThread = std::this_thread::get_id(); // the run's own: track "main"
    unsigned m_threads = 0;                                    // other threads, numbered as they come
    std::vector<bool> m_streamsCalled = std::vector<bool>(256, false); // a slice named the stream
};

// The run being recorded, or null.
RunRecord *Recording();
void SetRecording(RunRecord *record);

// A slice recorded at the end of the scope when a run is recorded: a client's own call on its own
// thread (its track for the scope, or its DPC's), or a callback on the track of whoever called it.
class RecordedCall {
public:
    enum Where { Callback, Call, DpcCall };
    RecordedCall(const char *name, const std::string &client, unsigned long stream, Where where);
    ~RecordedCall();
    RecordedCall(const RecordedCall &) = delete;
    RecordedCall &operator=(const RecordedCall &) = delete;
    void Bytes(uint64_t bytes) { m_bytes = bytes, m_hasBytes = true; }
    void Refused() { m_accepted = false; }
    // A notification's code and its name, after the call's ("notify 21 LOST_BYTES").
    void Code(unsigned long code);

private:
    RunRecord *m_record;
    std::string m_name;
    const std::string &m_client;
    int m_stream;
    uint64_t m_begin = 0;
    uint64_t m_bytes = 0;
    bool m_hasBytes = false, m_accepted = true;
    std::optional<RunRecord::TrackScope> m_scope;
};

// The current thread is the named client's own while the scope lives, when a run is recorded.
class ClientThread {
public:
    explicit ClientThread(const std::string &client);

private:
    std::optional<RunRecord::TrackScope> m_scope;
};

// A moment, when a run is recorded. kNoStream: of no stream (removal, unload).
constexpr unsigned long kNoStream = 0xFFFFFFFFul;
void RecordEvent(const std::string &kind, const std::string &client, unsigned long stream, uint64_t value,
                 const std::string &detail = "");

// What writes the record's files at the end of the run; a stop runs it too before the process ends
// (RecordStop), so that a stopped run leaves its picture. An empty function: none.
void SetRecordWriter(std::function<void()> writer);
// The stop as the record's last event and line, then the files written. Called by the stop handlers.
void RecordStop(const std::string &report);

// A JSON string of the text (also safe inside an HTML script element).
std::string JsonText(const std::string &text);

// The text as the whole of the file: false with "cannot write WHAT PATH" when it cannot be written.
bool WriteWholeFile(const std::string &path, const std::string &text, const std::string &what, std::string &error);

// The trace in the Trace Event Format (JSON): false with the reason when it cannot be written.
bool WriteTrace(const RunRecord &record, const std::string &path, std::string &error);

} // namespace sim

#endif
