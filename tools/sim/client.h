// Client drivers of the exchange, written as kernel-mode clients are: they open the control device
// through the I/O manager, register with device-control requests, then call the entry points that
// registration handed them and answer the exchange's callbacks. Nothing here reaches into the
// driver; the only other thing they share is the harness's ledger of what went into each stream,
// against which every consumer checks the bytes it reads in place.
#ifndef DEVIDIDI_SIM_CLIENT_H
#define DEVIDIDI_SIM_CLIENT_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel.h"
#include "streamer.h"

namespace sim {

// Where a client's own lines go (the scripted mode prints them; the live run leaves it empty).
using LineSink = std::function<void(const std::string &)>;

// ---- What went into each stream --------------------------------------------------------------

// The byte a stream carries at a position (bytes accepted on the stream before it). Not periodic in
// any ring size, so a byte read from the wrong place in the ring shows.
uint8_t PatternByte(uint32_t streamIndex, uint64_t position);

// The bytes a stream carried, by position, kept for a provider whose bytes are not the pattern (a
// loaded driver's): a window of a power of two bytes, at least four of its rings, so that every
// byte a consumer can still find intact in the ring is still here. Never freed during a run.
struct RecordedBytes {
    RecordedBytes(uint64_t from, uint64_t ringSize);
    void Record(uint64_t start, const UCHAR *bytes, ULONG size);
    // Acquire: pairs with Record's release (see there).
    uint8_t At(uint64_t position) const { return window[position & mask].load(std::memory_order_acquire); }
    const uint64_t from; // positions before it carry the pattern
    const uint64_t mask;
    std::unique_ptr<std::atomic<uint8_t>[]> window;
};

struct StreamLedger {
    // Bytes the stream has accepted so far: the position of its next byte.
    std::atomic<uint64_t> committed{0};
    // End position of the block being written (committed when none is): a ring byte of position p
    // is intact only while p + ring size >= written.
    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> rejectedBlocks{0};
    // The block being handed over right now. Only the providing thread touches these: the exchange
    // calls the consumers' callbacks from inside OnProvideData.
    const UCHAR *pendingBuffer = nullptr;
    uint64_t pendingStart = 0;
    ULONG pendingSize = 0;
    bool providing = false; // inside OnProvideData
    // Null while every provider of the stream has sent the pattern.
    std::atomic<RecordedBytes *> recorded{nullptr};

    // From now on the stream's bytes are recorded as they go in (blocks of at most ringSize bytes).
    void RecordFromNow(uint64_t ringSize);
    // The byte the stream carried at a position: recorded, or the pattern.
    uint8_t Expected(uint32_t streamIndex, uint64_t position) const;
    // A block on its way into the exchange: consumers told of it now know where it lies.
    void Begin(const UCHAR *buffer, ULONG size);
    // The data-complete of the block in hand (the exchange copied it): false for any other buffer.
    bool Complete(const UCHAR *buffer);
    // After the exchange's entry returned; a block without data-complete was refused.
    void End(bool accepted);
};

// The ledger of the stream a handle selects.
StreamLedger &Ledger(ULONG hStream);

// ---- The control device, opened as a client ------------------------------------------------

class DeviceHandle {
public:
    DeviceHandle() = default;
    ~DeviceHandle();
    DeviceHandle(const DeviceHandle &) = delete;
    DeviceHandle &operator=(const DeviceHandle &) = delete;

    // IoGetDeviceObjectPointer on "\Device\DeVididi"; passive level.
    NTSTATUS Open();
    // Drops the file object, which closes the handle.
    void Close();
    bool IsOpen() const { return m_pFile != nullptr; }

    // A device-control request, waited for. info receives IoStatus.Information. fromUser: as a
    // user-mode program's call on the handle would reach the driver (RequestorMode = UserMode).
    NTSTATUS Call(ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength, ULONG_PTR *info = nullptr,
                  bool fromUser = false);
    // A device-control request that may stay pending: the event is set and the status block written
    // when it completes; the routine, when given, runs at completion (at whatever level that is).
    NTSTATUS Send(ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength, PKEVENT event,
                  PIO_STATUS_BLOCK iosb, PIO_COMPLETION_ROUTINE routine, PVOID context, bool fromUser = false);

private:
    PFILE_OBJECT m_pFile = nullptr;
    PDEVICE_OBJECT m_pDevice = nullptr;
};

// ---- Counters every client keeps -------------------------------------------------------------

struct ProblemLog {
    std::atomic<uint64_t> count{0};
    // The first problem's text, written once by whoever counts it first.
    std::atomic<bool> claimed{false};
    char first[240] = {0};
    void Report(const char *text);
};

// ---- Provider --------------------------------------------------------------------------------

struct StreamInfoSpec {
    enum Kind { None, Video, Audio } kind = None;
    LONG frameSize = 0, frameRate = 0, compStandard = 0;
};

class ProviderClient {
public:
    ProviderClient(std::string name, LineSink sink);
    ProviderClient(const ProviderClient &) = delete;
    ProviderClient &operator=(const ProviderClient &) = delete;

    const std::string &Name() const { return m_name; }
    ULONG Stream() const { return m_hStream; }

    // STREAMER_REGISTER_PROVIDER with the client's callbacks and information block.
    NTSTATUS Register(DeviceHandle &device, ULONG hStream, ULONG ringSize, const StreamInfoSpec &info);
    NTSTATUS Unregister(DeviceHandle &device);
    bool Registered() const { return m_registered.load(); }
    // True once registration has handed out the entry points.
    bool HasEntryPoints() const { return m_pfnProvideData != nullptr; }

    // Fills the client's buffer with the stream's next bytes and calls OnProvideData; at
    // DISPATCH_LEVEL when atDispatch (as from a DPC). True when the exchange took the block.
    bool Provide(ULONG size, bool atDispatch = false);
    // Calls the notify entry point (to every consumer of the stream).
    void Notify(ULONG code, PSTREAMER_NOTIFICATION_PARAM param);
    // The information block the client registered with (null when none).
    PSTREAMER_NOTIFICATION_PARAM InfoParam(STREAMER_NOTIFICATION_PARAM &param);
    void SetInfo(const StreamInfoSpec &info);

    std::atomic<uint64_t> bytesAccepted{0};
    std::atomic<uint64_t> blocksAccepted{0};
    std::atomic<uint64_t> blocksDropped{0};
    std::atomic<uint64_t> notificationsReceived{0};
    std::atomic<uint64_t> consumersSeen{0}; // nConsumers of the latest code 1 or 2
    ProblemLog problems;

private:
    static VOID STREAMER_CALL NotifyCallback(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam,
                                             PVOID pContext);
    static VOID STREAMER_CALL DataCompleteCallback(PUCHAR pProviderBuffer, PVOID pContext);
    void Print(const std::string &text);

    std::string m_name;
    LineSink m_sink;
    ULONG m_hStream = 0;
    std::atomic<bool> m_registered{false};
    STREAMER_STREAM_INFO m_info{};
    LONG m_nInfoSize = 0;
    // Written by the exchange through the registration record's pointers.
    STREAMER_PROVIDE_DATA_ENTRY m_pfnProvideData = nullptr;
    STREAMER_PROVIDER_NOTIFY_ENTRY m_pfnNotify = nullptr;
    std::vector<UCHAR> m_buffer;
    bool m_completed = false; // set by the data-complete callback of the block in hand
};

// ---- Consumer --------------------------------------------------------------------------------

class ConsumerClient {
public:
    enum class Style {
        Scripted, // reads when told to process (the scripted mode), reports nothing by itself
        Callback, // reads and reports each block from its new-data callback
        Threaded, // queues blocks in its callback, reads and reports them from its own thread
        Slow,     // reads in its callback, reports from its own thread at a limited rate, drops blocks it loses
    };
    ConsumerClient(std::string name, LineSink sink, Style style);
    ~ConsumerClient();
    ConsumerClient(const ConsumerClient &) = delete;
    ConsumerClient &operator=(const ConsumerClient &) = delete;

    const std::string &Name() const { return m_name; }
    ULONG Stream() const { return m_hStream; }
    PVOID Handle() const { return m_hConsumer; }

    // STREAMER_REGISTER_CONSUMER with this handle (kernel clients use their own address).
    // With wait, a pending registration is waited for (passive level) and its final status returned;
    // without, STATUS_PENDING comes back and the completion is printed when it happens. The
    // callbacks receive only the handle: the caller keeps handles unique across streams.
    NTSTATUS Register(DeviceHandle &device, ULONG hStream, PVOID hConsumer, bool wait);
    NTSTATUS Unregister(DeviceHandle &device);
    // Waits for a pending registration at most timeout (100 ns units); STATUS_TIMEOUT while it still
    // pends, else its final status. Passive level.
    NTSTATUS WaitForRegistration(LONGLONG timeout);
    // Registered or waiting for its provider.
    bool Registered() const { return m_state.load() != State::Idle; }
    bool Pending() const { return m_state.load() == State::Pending; }
    bool HasEntryPoints() const { return m_pfnDataProcessed != nullptr; }

    // Reads the oldest size bytes of what was announced, in place, checks them, and reports them
    // with OnDataProcessed. Passive level.
    void Process(ULONG size);
    // Drains the queue (Threaded) or reports at most budget bytes (Slow); for the client's thread.
    void Service(uint64_t budget);
    void Notify(ULONG code, PSTREAMER_NOTIFICATION_PARAM param);

    // Where the consumer reads in place (null until registration has handed out a ring).
    PUCHAR Ring() const { return m_pBuffer; }
    // The free space of this consumer as its own accounting mirrors the exchange's.
    int64_t FreeSpace() const;
    ULONG RingSize() const { return m_nBufferSize; }

    std::atomic<uint64_t> bytesAnnounced{0};
    std::atomic<uint64_t> bytesLost{0}; // blocks not announced because the consumer was too far behind
    std::atomic<uint64_t> bytesProcessed{0};
    std::atomic<uint64_t> bytesChecked{0};
    std::atomic<uint64_t> bytesOverwritten{0}; // queued but overwritten before they were read
    std::atomic<uint64_t> lostNotifications{0};
    std::atomic<uint64_t> notificationsReceived{0};
    std::atomic<uint64_t> orbAnswers{0};
    std::atomic<int64_t> lastOrbAnswer{-1};
    std::atomic<uint64_t> writePosition{0}; // ring offset after the latest block it was told of
    std::atomic<bool> knowsWritePosition{false};
    std::atomic<int64_t> joinedSpace{0};    // ring size when it joined (the exchange's start value)
    std::atomic<uint64_t> processedWhileJoined{0};
    // Stream positions for the conservation check: the first byte of the first block it was told of
    // (announced or lost), the end of the latest one, and the stream's accepted bytes when its
    // registration completed and when it unregistered.
    std::atomic<uint64_t> firstTold{0}, toldEnd{0}, joinedAt{0}, leftAt{0};
    std::atomic<bool> told{false}, left{false};
    ProblemLog problems;

    // Used by the directory of handles; not part of the interface.
    static ConsumerClient *FromHandle(PVOID hConsumer);

private:
    enum class State { Idle, Pending, Joined };
    struct Entry {
        uint64_t position; // stream position of its first byte
        ULONG offset;      // ring offset of its first byte
        ULONG size;
        bool lost;         // not announced: skipped, never read
        bool checked;      // already read and checked in the callback
    };

    static VOID STREAMER_CALL NewDataCallback(ULONG dwSize, PVOID pContext);
    static VOID STREAMER_CALL NotifyCallback(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID pContext);
    static NTSTATUS NTAPI RegistrationComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    void OnNewData(ULONG size);
    void OnNotify(ULONG code, PSTREAMER_NOTIFICATION_PARAM param);
    // Starts the ring bookkeeping at the first block told of; false (and a problem) if the
    // exchange told of a block that does not follow the last one.
    bool Track(const StreamLedger &ledger, ULONG size, Entry &entry);
    // Reads an entry's bytes in place; counts checked, overwritten and mismatching bytes.
    struct ReadResult {
        uint64_t asProvided = 0, overwritten = 0, skipped = 0, differing = 0;
        uint64_t firstBad = 0; // ring offset of the first differing byte
        uint8_t read = 0, expected = 0;
    };
    void Read(const Entry &entry, ULONG from, ULONG count, bool guard, ReadResult &result);
    bool Tally(const ReadResult &result, char (&text)[200]);
    void Report(ULONG size);
    bool Push(const Entry &entry);
    bool Peek(Entry &entry);
    void Pop();
    void Print(const std::string &text);

    std::string m_name;
    LineSink m_sink;
    Style m_style;
    ULONG m_hStream = 0;
    PVOID m_hConsumer = nullptr;
    std::atomic<State> m_state{State::Idle};
    // Set when the consumer has left the stream or the stream was destroyed: the ring may be gone,
    // so what is still queued is dropped unread.
    std::atomic<bool> m_ringGone{false};
    std::atomic<bool> m_inDirectory{false};

    // Written by the exchange through the registration record's pointers, under the stream's lock.
    PUCHAR m_pBuffer = nullptr;
    ULONG m_nBufferSize = 0;
    ULONG m_nTail = 0;
    STREAMER_DATA_PROCESSED_ENTRY m_pfnDataProcessed = nullptr;
    STREAMER_CONSUMER_NOTIFY_ENTRY m_pfnNotify = nullptr;
    PVOID m_hConsumerBack = nullptr;

    // The pending registration's event and status block (they must outlive the request).
    KEVENT m_event{};
    IO_STATUS_BLOCK m_iosb{};
    STREAMER_SRV_PARAM m_param{};

    // Ring bookkeeping, touched only in callbacks (which the stream's lock serialises).
    bool m_tracking = false;
    ULONG m_nReadOffset = 0;   // ring offset of the next block told of
    uint64_t m_nextPosition = 0; // its stream position

    // Blocks told of and not yet processed: written by the callbacks, read by the processing
    // thread (single producer, single consumer).
    static constexpr size_t kQueueSize = 4096;
    std::vector<Entry> m_queue;
    std::atomic<size_t> m_head{0}, m_tail{0};
    std::deque<Entry> m_backlog; // the scripted consumer's queue: it may fall behind without bound
    ULONG m_nHeadUsed = 0; // bytes of the head entry already processed (processing side only)
};

// ---- The terminal's own control requests -----------------------------------------------------

// Sends the control requests that are not registrations. Each returns the request's status.
class ControlClient {
public:
    // fromUser: every request as a user-mode tool sends it (see DeviceHandle::Call).
    explicit ControlClient(DeviceHandle &device, bool fromUser = false) : m_device(device), m_fromUser(fromUser) {}
    NTSTATUS PrintStatus();
    NTSTATUS PrintStreams(LONG from, LONG to);
    NTSTATUS UpdateLevels();
    NTSTATUS OrbQuery();
    NTSTATUS Resync();
    NTSTATUS Bandwidth(LONG mode, ULONG &figure);
    // Any control code; bytes are the input. out receives what the request hands back.
    NTSTATUS Raw(ULONG code, const std::vector<uint8_t> &bytes, std::vector<uint8_t> &out);
    // Exactly these bytes in (none: no input buffer) and an output buffer of exactly outLength bytes
    // (0: none); out receives what the request hands back.
    NTSTATUS Exact(ULONG code, const std::vector<uint8_t> &in, ULONG outLength, std::vector<uint8_t> &out);

private:
    NTSTATUS Call(ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength, ULONG_PTR *info = nullptr)
    {
        return m_device.Call(code, in, inLength, out, outLength, info, m_fromUser);
    }
    DeviceHandle &m_device;
    bool m_fromUser;
};

} // namespace sim

#endif
