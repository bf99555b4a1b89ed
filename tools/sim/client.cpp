#include "client.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

#include "emu/kemu/io.h"
#include "names.h"
#include "run_record.h"

// A consumer reading the ring from its own thread races with the provider by design: the exchange
// never holds a provider back, so a lagging reader's bytes may be overwritten while it reads them.
// The reader copies first and then asks the ledger which of the copied bytes may have changed
// (a sequence-lock read); those count as lost, the rest must match. ThreadSanitizer is told that
// these reads are racy on purpose; every other access stays checked.
#if defined(__SANITIZE_THREAD__)
extern "C" void AnnotateIgnoreReadsBegin(const char *file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char *file, int line);
#define SIM_RACY_READS_BEGIN() AnnotateIgnoreReadsBegin(__FILE__, __LINE__)
#define SIM_RACY_READS_END() AnnotateIgnoreReadsEnd(__FILE__, __LINE__)
#else
#define SIM_RACY_READS_BEGIN() ((void)0)
#define SIM_RACY_READS_END() ((void)0)
#endif

namespace sim {

// ---- Ledger ----------------------------------------------------------------------------------

uint8_t PatternByte(uint32_t streamIndex, uint64_t position)
{
    uint64_t x = position * 0x9E3779B97F4A7C15ull + (static_cast<uint64_t>(streamIndex) + 1) * 0xD1B54A32D192ED03ull;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return static_cast<uint8_t>(x);
}

StreamLedger &Ledger(ULONG hStream)
{
    static StreamLedger ledgers[STREAMER_NUM_STREAMS];
    return ledgers[hStream & 0xFF];
}

namespace {
std::mutex g_recordedLock;
std::deque<std::unique_ptr<RecordedBytes>> g_recorded; // every window of the run, for its readers
} // namespace

RecordedBytes::RecordedBytes(uint64_t start, uint64_t ringSize)
    : from(start), mask([ringSize] {
          uint64_t size = 16 * 1024;
          while (size < 4 * ringSize) {
              size *= 2;
          }
          return size - 1;
      }()),
      window(new std::atomic<uint8_t>[mask + 1]())
{
}

void RecordedBytes::Record(uint64_t start, const UCHAR *bytes, ULONG size)
{
    // The exchange refuses a block larger than its ring: one must not wipe the bytes still in it.
    if (bytes == nullptr || size > (mask + 1) / 4) {
        return;
    }
    for (ULONG i = 0; i < size; ++i) {
        // Release: a reader that sees a new byte here sees the stream's write position that made
        // the old one's ring byte stale (StreamLedger::written).
        window[(start + i) & mask].store(bytes[i], std::memory_order_release);
    }
}

void StreamLedger::RecordFromNow(uint64_t ringSize)
{
    std::lock_guard<std::mutex> hold(g_recordedLock);
    RecordedBytes *old = recorded.load();
    if (old != nullptr && old->mask + 1 >= 4 * ringSize) {
        return;
    }
    // A larger window takes over what the smaller one still holds.
    const uint64_t end = committed.load();
    auto window = std::make_unique<RecordedBytes>(old != nullptr ? old->from : end, ringSize);
    if (old != nullptr) {
        for (uint64_t p = std::max(old->from, end - std::min(end, old->mask + 1)); p < end; ++p) {
            window->window[p & window->mask].store(old->At(p), std::memory_order_relaxed);
        }
    }
    recorded.store(window.get(), std::memory_order_release);
    g_recorded.push_back(std::move(window));
}

uint8_t StreamLedger::Expected(uint32_t streamIndex, uint64_t position) const
{
    const RecordedBytes *bytes = recorded.load(std::memory_order_acquire);
    return bytes != nullptr && position >= bytes->from ? bytes->At(position) : PatternByte(streamIndex, position);
}

void StreamLedger::Begin(const UCHAR *buffer, ULONG size)
{
    const uint64_t start = committed.load(std::memory_order_acquire);
    if (RecordedBytes *bytes = recorded.load(std::memory_order_acquire)) {
        bytes->Record(start, buffer, size);
    }
    pendingBuffer = buffer;
    pendingStart = start;
    pendingSize = size;
    providing = true;
    // Published before the exchange copies: a consumer reading in place learns from it which ring
    // bytes may be changing under it.
    written.store(start + size, std::memory_order_seq_cst);
}

bool StreamLedger::Complete(const UCHAR *buffer)
{
    if (buffer == nullptr || buffer != pendingBuffer || !providing) {
        return false;
    }
    committed.store(pendingStart + pendingSize, std::memory_order_release);
    return true;
}

void StreamLedger::End(bool accepted)
{
    providing = false;
    pendingBuffer = nullptr;
    if (!accepted) {
        // Nothing was copied.
        written.store(committed.load());
        rejectedBlocks.fetch_add(1);
    }
}

void ProblemLog::Report(const char *text)
{
    count.fetch_add(1);
    bool expected = false;
    if (claimed.compare_exchange_strong(expected, true)) {
        std::snprintf(first, sizeof first, "%s", text);
    }
}

namespace {

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Words(PSTREAMER_NOTIFICATION_PARAM param)
{
    if (param == nullptr) {
        return "param=null";
    }
    return "param=" + std::to_string(param->adwWords[0]) + "," + std::to_string(param->adwWords[1]);
}

std::string InfoText(PSTREAMER_NOTIFICATION_PARAM param)
{
    if (param == nullptr) {
        return "param=null";
    }
    const LONG size = param->StreamInfo.nSize;
    const auto *info = static_cast<const STREAMER_STREAM_INFO *>(param->StreamInfo.pInfo);
    if (info == nullptr) {
        return "info=null size=" + std::to_string(size);
    }
    std::string text;
    if (size >= static_cast<LONG>(sizeof(STREAMER_STREAM_INFO)) && info->dwInfoType == STREAMINFO_VIDEO) {
        text = "info=video FrameSize=" + std::to_string(info->u.Video.FrameSize) +
               " FrameRate=" + std::to_string(info->u.Video.FrameRate) +
               " CompStandard=" + std::to_string(info->u.Video.CompStandard);
    } else if (size >= static_cast<LONG>(sizeof(STREAMER_STREAM_INFO)) && info->dwInfoType == STREAMINFO_AUDIO) {
        text = "info=audio CompStandard=" + std::to_string(info->u.Audio.CompStandard);
    } else if (size >= 4) {
        text = "info=type " + std::to_string(info->dwInfoType);
    } else {
        text = "info=block";
    }
    return text + " size=" + std::to_string(size);
}

// What a notification says, the part after the client's name.
std::string NotificationText(ULONG code, PSTREAMER_NOTIFICATION_PARAM param)
{
    std::string text = "notify " + std::to_string(code);
    const char *name = NotifyName(code);
    if (*name) {
        text += std::string(" ") + name;
    }
    if (code == STREAMERNOTIFY_STREAM_INFO_CHANGED) {
        return text + " " + InfoText(param);
    }
    if (code == STREAMERNOTIFY_IS_ORBDRV_ACTIVE && param != nullptr) {
        // Only the first word is the stream's answer; the second is whatever the sender left there.
        return text + " active=" + std::to_string(param->fOrbDrvActive);
    }
    return text + " " + Words(param);
}

// Consumers by handle: the consumer callbacks receive only the handle. Registrations and
// unregistrations (passive level, each on its client's thread) claim and free slots under one
// mutex; the callbacks read lock-free. A slot's client is stored before its handle is published.
struct DirectorySlot {
    std::atomic<PVOID> handle{nullptr};
    std::atomic<ConsumerClient *> client{nullptr};
};
constexpr size_t kDirectorySize = 256;
DirectorySlot g_directory[kDirectorySize];
std::mutex g_directoryWriters;

bool DirectoryInsert(PVOID handle, ConsumerClient *client)
{
    std::lock_guard<std::mutex> hold(g_directoryWriters);
    for (auto &slot : g_directory) {
        if (slot.handle.load() == handle) {
            return false; // the first consumer of that handle keeps its callbacks
        }
    }
    for (auto &slot : g_directory) {
        if (slot.handle.load() == nullptr) {
            slot.client.store(client);
            slot.handle.store(handle);
            return true;
        }
    }
    return false;
}

void DirectoryRemove(ConsumerClient *client)
{
    std::lock_guard<std::mutex> hold(g_directoryWriters);
    for (auto &slot : g_directory) {
        if (slot.client.load() == client && slot.handle.load() != nullptr) {
            slot.handle.store(nullptr);
            slot.client.store(nullptr);
        }
    }
}

} // namespace

ConsumerClient *ConsumerClient::FromHandle(PVOID hConsumer)
{
    if (hConsumer == nullptr) {
        return nullptr;
    }
    for (auto &slot : g_directory) {
        if (slot.handle.load() == hConsumer) {
            return slot.client.load();
        }
    }
    return nullptr;
}

// ---- DeviceHandle ----------------------------------------------------------------------------

DeviceHandle::~DeviceHandle() { Close(); }

NTSTATUS DeviceHandle::Open()
{
    if (m_pFile != nullptr) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, KWSTR("\\Device\\DeVididi"));
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device);
    if (NT_SUCCESS(status)) {
        m_pFile = file;
        m_pDevice = device;
    }
    return status;
}

void DeviceHandle::Close()
{
    if (m_pFile != nullptr) {
        ObDereferenceObject(m_pFile);
        m_pFile = nullptr;
        m_pDevice = nullptr;
    }
}

NTSTATUS DeviceHandle::Send(ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength, PKEVENT event,
                            PIO_STATUS_BLOCK iosb, PIO_COMPLETION_ROUTINE routine, PVOID context, bool fromUser)
{
    if (m_pDevice == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    KeInitializeEvent(event, NotificationEvent, FALSE);
    PIRP irp = fromUser
                   ? kemu::BuildUserDeviceIoControlRequest(code, m_pDevice, m_pFile, in, inLength, out, outLength,
                                                           event, iosb)
                   : IoBuildDeviceIoControlRequest(code, m_pDevice, in, inLength, out, outLength, FALSE, event, iosb);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (routine != nullptr) {
        IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
    }
    return IoCallDriver(m_pDevice, irp);
}

NTSTATUS DeviceHandle::Call(ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength, ULONG_PTR *info,
                            bool fromUser)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = Send(code, in, inLength, out, outLength, &event, &iosb, nullptr, nullptr, fromUser);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (info != nullptr) {
        *info = status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_INVALID_HANDLE ? 0 : iosb.Information;
    }
    return status;
}

// ---- ProviderClient --------------------------------------------------------------------------

ProviderClient::ProviderClient(std::string name, LineSink sink) : m_name(std::move(name)), m_sink(std::move(sink))
{
    m_buffer.resize(64 * 1024);
}

void ProviderClient::Print(const std::string &text)
{
    if (m_sink) {
        m_sink(m_name + ": " + text);
    }
}

void ProviderClient::SetInfo(const StreamInfoSpec &info)
{
    m_info = STREAMER_STREAM_INFO{};
    m_nInfoSize = 0;
    if (info.kind == StreamInfoSpec::Video) {
        m_info.dwInfoType = STREAMINFO_VIDEO;
        m_info.u.Video.FrameSize = info.frameSize;
        m_info.u.Video.FrameRate = info.frameRate;
        m_info.u.Video.CompStandard = info.compStandard;
        m_nInfoSize = sizeof m_info;
    } else if (info.kind == StreamInfoSpec::Audio) {
        m_info.dwInfoType = STREAMINFO_AUDIO;
        m_info.u.Audio.CompStandard = info.compStandard;
        m_nInfoSize = sizeof m_info;
    }
}

PSTREAMER_NOTIFICATION_PARAM ProviderClient::InfoParam(STREAMER_NOTIFICATION_PARAM &param)
{
    std::memset(&param, 0, sizeof param);
    param.StreamInfo.pInfo = m_nInfoSize > 0 ? &m_info : nullptr;
    param.StreamInfo.nSize = m_nInfoSize;
    return &param;
}

NTSTATUS ProviderClient::Register(DeviceHandle &device, ULONG hStream, ULONG ringSize, const StreamInfoSpec &info)
{
    m_hStream = hStream;
    SetInfo(info);
    STREAMER_SRV_PARAM param;
    std::memset(&param, 0, sizeof param);
    param.RegisterProvider.hStream = hStream;
    param.RegisterProvider.dwBufferSize = ringSize;
    param.RegisterProvider.pfnProvideDataComplete = &ProviderClient::DataCompleteCallback;
    param.RegisterProvider.pfnNotify = &ProviderClient::NotifyCallback;
    param.RegisterProvider.pStreamInfo = m_nInfoSize > 0 ? &m_info : nullptr;
    param.RegisterProvider.nStreamInfoSize = m_nInfoSize;
    param.RegisterProvider.ppfnProvideData = &m_pfnProvideData;
    param.RegisterProvider.ppfnNotify = &m_pfnNotify;
    param.RegisterProvider.pContext = this;
    // Registration calls back into the client (information block, consumers' arrival) before it
    // returns; the client counts itself registered from then on.
    m_registered = true;
    ClientThread thread(m_name);
    NTSTATUS status = device.Call(STREAMER_REGISTER_PROVIDER, &param, sizeof param, nullptr, 0);
    m_registered = status == STATUS_SUCCESS;
    RecordEvent("register-provider", m_name, hStream, ringSize, StatusName(status));
    return status;
}

NTSTATUS ProviderClient::Unregister(DeviceHandle &device)
{
    STREAMER_SRV_PARAM param;
    std::memset(&param, 0, sizeof param);
    param.UnRegisterProvider.hStream = m_hStream;
    ClientThread thread(m_name);
    NTSTATUS status = device.Call(STREAMER_UNREGISTER_PROVIDER, &param, sizeof param, nullptr, 0);
    RecordEvent("unregister-provider", m_name, m_hStream, 0, StatusName(status));
    if (status == STATUS_SUCCESS) {
        m_registered = false;
    }
    return status;
}

bool ProviderClient::Provide(ULONG size, bool atDispatch)
{
    if (m_pfnProvideData == nullptr) {
        return false;
    }
    RecordedCall call("provide", m_name, m_hStream, atDispatch ? RecordedCall::DpcCall : RecordedCall::Call);
    call.Bytes(size);
    if (m_buffer.size() < size) {
        m_buffer.resize(size);
    }
    StreamLedger &ledger = Ledger(m_hStream);
    const uint32_t index = m_hStream & 0xFF;
    const uint64_t start = ledger.committed.load(std::memory_order_acquire);
    for (ULONG i = 0; i < size; ++i) {
        m_buffer[i] = PatternByte(index, start + i);
    }
    ledger.Begin(m_buffer.data(), size);
    m_completed = false;
    KIRQL previous = PASSIVE_LEVEL;
    if (atDispatch) {
        KeRaiseIrql(DISPATCH_LEVEL, &previous);
    }
    m_pfnProvideData(m_hStream, m_buffer.data(), size);
    if (atDispatch) {
        KeLowerIrql(previous);
    }
    ledger.End(m_completed);
    if (!m_completed) {
        // Dropped by the exchange: no data-complete came, nothing was copied.
        blocksDropped.fetch_add(1);
        call.Refused();
        return false;
    }
    return true;
}

void ProviderClient::Notify(ULONG code, PSTREAMER_NOTIFICATION_PARAM param)
{
    if (m_pfnNotify != nullptr) {
        RecordedCall call("notify", m_name, m_hStream, RecordedCall::Call);
        call.Code(code);
        m_pfnNotify(m_hStream, code, param);
    }
}

VOID STREAMER_CALL ProviderClient::NotifyCallback(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam,
                                                  PVOID pContext)
{
    auto *self = static_cast<ProviderClient *>(pContext);
    RecordedCall call("notified", self->m_name, self->m_hStream, RecordedCall::Callback);
    call.Code(dwType);
    self->notificationsReceived.fetch_add(1);
    if ((dwType == STREAMERNOTIFY_CONSUMER_REGISTERED || dwType == STREAMERNOTIFY_CONSUMER_UNREGISTERED) &&
        pParam != nullptr) {
        self->consumersSeen.store(static_cast<uint64_t>(pParam->nConsumers));
    }
    if (dwType == STREAMERNOTIFY_PROVIDER_DELETED) {
        self->m_registered = false;
    }
    if (self->m_sink) {
        std::string from = hConsumer == nullptr ? "null" : Hex(reinterpret_cast<uintptr_t>(hConsumer));
        std::string text = NotificationText(dwType, pParam);
        // The consumer's handle goes right after the code and its name.
        size_t at = text.find(" param=");
        if (at == std::string::npos) {
            at = text.find(" info=");
        }
        if (at == std::string::npos) {
            at = text.find(" active=");
        }
        text.insert(at == std::string::npos ? text.size() : at, " hConsumer=" + from);
        self->Print(text);
    }
}

VOID STREAMER_CALL ProviderClient::DataCompleteCallback(PUCHAR pProviderBuffer, PVOID pContext)
{
    auto *self = static_cast<ProviderClient *>(pContext);
    RecordedCall call("data-complete", self->m_name, self->m_hStream, RecordedCall::Callback);
    StreamLedger &ledger = Ledger(self->m_hStream);
    const bool inHand = ledger.Complete(pProviderBuffer);
    if (pProviderBuffer != self->m_buffer.data() || !inHand) {
        self->problems.Report("data-complete for a buffer it did not hand over");
        self->Print("MISMATCH: data-complete for a buffer it did not hand over");
        return;
    }
    self->m_completed = true;
    self->bytesAccepted.fetch_add(ledger.pendingSize);
    self->blocksAccepted.fetch_add(1);
    self->Print("data-complete");
}

// ---- ConsumerClient --------------------------------------------------------------------------

ConsumerClient::ConsumerClient(std::string name, LineSink sink, Style style)
    : m_name(std::move(name)), m_sink(std::move(sink)), m_style(style)
{
    m_queue.resize(kQueueSize);
    if (RunRecord *record = Recording()) {
        record->Watch(this);
    }
}

ConsumerClient::~ConsumerClient()
{
    DirectoryRemove(this);
    if (RunRecord *record = Recording()) {
        record->Unwatch(this);
    }
}

void ConsumerClient::Print(const std::string &text)
{
    if (m_sink) {
        m_sink(m_name + ": " + text);
    }
}

bool ConsumerClient::Push(const Entry &entry)
{
    if (m_style == Style::Scripted) {
        m_backlog.push_back(entry);
        return true;
    }
    size_t tail = m_tail.load(std::memory_order_relaxed);
    if (tail - m_head.load(std::memory_order_acquire) >= kQueueSize) {
        return false;
    }
    m_queue[tail % kQueueSize] = entry;
    m_tail.store(tail + 1, std::memory_order_release);
    return true;
}

bool ConsumerClient::Peek(Entry &entry)
{
    if (m_style == Style::Scripted) {
        if (m_backlog.empty()) {
            return false;
        }
        entry = m_backlog.front();
        return true;
    }
    size_t head = m_head.load(std::memory_order_relaxed);
    if (head == m_tail.load(std::memory_order_acquire)) {
        return false;
    }
    entry = m_queue[head % kQueueSize];
    return true;
}

void ConsumerClient::Pop()
{
    m_nHeadUsed = 0;
    if (m_style == Style::Scripted) {
        m_backlog.pop_front();
        return;
    }
    m_head.store(m_head.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

NTSTATUS ConsumerClient::Register(DeviceHandle &device, ULONG hStream, PVOID hConsumer, bool wait)
{
    m_hStream = hStream;
    m_hConsumer = hConsumer;
    m_tracking = false;
    m_ringGone = false;
    m_backlog.clear();
    m_head.store(m_tail.load());
    m_nHeadUsed = 0;
    m_inDirectory = hConsumer != nullptr && DirectoryInsert(hConsumer, this);
    std::memset(&m_param, 0, sizeof m_param);
    m_param.RegisterConsumer.hStream = hStream;
    m_param.RegisterConsumer.pfnNewDataReady = &ConsumerClient::NewDataCallback;
    m_param.RegisterConsumer.pfnNotify = &ConsumerClient::NotifyCallback;
    m_param.RegisterConsumer.hConsumer = m_hConsumer;
    m_param.RegisterConsumer.ppBuffer = &m_pBuffer;
    m_param.RegisterConsumer.pdwBufferSize = &m_nBufferSize;
    m_param.RegisterConsumer.pdwTail = &m_nTail;
    m_param.RegisterConsumer.ppfnDataProcessed = &m_pfnDataProcessed;
    m_param.RegisterConsumer.ppfnNotify = &m_pfnNotify;
    m_param.RegisterConsumer.phConsumer = &m_hConsumerBack;
    // Callbacks come during the request already (the information block first).
    m_state.store(State::Pending);
    ClientThread thread(m_name);
    NTSTATUS status = device.Send(STREAMER_REGISTER_CONSUMER, &m_param, sizeof m_param, nullptr, 0, &m_event, &m_iosb,
                                  &ConsumerClient::RegistrationComplete, this);
    RecordEvent("register-consumer", m_name, hStream, 0, StatusName(status));
    if (status == STATUS_PENDING && wait) {
        KeWaitForSingleObject(&m_event, Executive, KernelMode, FALSE, nullptr);
        status = m_iosb.Status;
    }
    return status;
}

NTSTATUS ConsumerClient::WaitForRegistration(LONGLONG timeout)
{
    LARGE_INTEGER due;
    due.QuadPart = -timeout;
    if (KeWaitForSingleObject(&m_event, Executive, KernelMode, FALSE, &due) == STATUS_TIMEOUT) {
        return STATUS_TIMEOUT;
    }
    return m_iosb.Status;
}

NTSTATUS NTAPI ConsumerClient::RegistrationComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *self = static_cast<ConsumerClient *>(context);
    const NTSTATUS status = irp->IoStatus.Status;
    if (irp->PendingReturned) {
        self->Print("register-consumer completed " + StatusName(status));
        RecordEvent("registration-completed", self->m_name, self->m_hStream, 0, StatusName(status));
    }
    if (status == STATUS_SUCCESS || status == STATUS_PENDING) {
        self->joinedAt.store(Ledger(self->m_hStream).committed.load());
        self->m_state.store(State::Joined);
    } else {
        self->m_state.store(State::Idle);
        if (self->m_inDirectory.exchange(false)) {
            DirectoryRemove(self);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS ConsumerClient::Unregister(DeviceHandle &device)
{
    STREAMER_SRV_PARAM param;
    std::memset(&param, 0, sizeof param);
    param.UnRegisterConsumer.hStream = m_hStream;
    param.UnRegisterConsumer.hConsumer = m_hConsumer;
    ClientThread thread(m_name);
    NTSTATUS status = device.Call(STREAMER_UNREGISTER_CONSUMER, &param, sizeof param, nullptr, 0);
    RecordEvent("unregister-consumer", m_name, m_hStream, 0, StatusName(status));
    if (status == STATUS_SUCCESS) {
        leftAt.store(Ledger(m_hStream).committed.load());
        left.store(true);
        m_ringGone = true;
        m_state.store(State::Idle);
        if (m_inDirectory.exchange(false)) {
            DirectoryRemove(this);
        }
    }
    return status;
}

int64_t ConsumerClient::FreeSpace() const
{
    return joinedSpace.load() - static_cast<int64_t>(bytesAnnounced.load() + bytesLost.load()) +
           static_cast<int64_t>(processedWhileJoined.load());
}

bool ConsumerClient::Track(const StreamLedger &ledger, ULONG size, Entry &entry)
{
    if (!ledger.providing) {
        problems.Report("told of a block outside any OnProvideData");
        Print("MISMATCH: told of a block outside any OnProvideData");
        return false;
    }
    if (!m_tracking) {
        m_tracking = true;
        m_nReadOffset = m_nTail;
        m_nextPosition = ledger.pendingStart;
        joinedSpace.store(static_cast<int64_t>(m_nBufferSize));
        firstTold.store(ledger.pendingStart);
        told.store(true);
    } else if (ledger.pendingStart != m_nextPosition) {
        char text[200];
        std::snprintf(text, sizeof text, "MISMATCH: %llu bytes went into the ring without being told of",
                      static_cast<unsigned long long>(ledger.pendingStart - m_nextPosition));
        problems.Report(text);
        Print(text);
        m_nextPosition = ledger.pendingStart;
    }
    if (size != ledger.pendingSize) {
        char text[200];
        std::snprintf(text, sizeof text, "MISMATCH: told of %lu bytes, the provider handed over %lu",
                      static_cast<unsigned long>(size), static_cast<unsigned long>(ledger.pendingSize));
        problems.Report(text);
        Print(text);
    }
    if (size > 0 && (m_pBuffer == nullptr || m_nBufferSize == 0)) {
        problems.Report("told of data without a ring");
        Print("MISMATCH: told of data without a ring");
        return false;
    }
    entry.position = m_nextPosition;
    entry.offset = m_nReadOffset;
    entry.size = size;
    entry.lost = false;
    entry.checked = false;
    if (m_nBufferSize > 0) {
        m_nReadOffset = static_cast<ULONG>((static_cast<uint64_t>(m_nReadOffset) + size) % m_nBufferSize);
    }
    m_nextPosition += size;
    toldEnd.store(m_nextPosition);
    writePosition.store(m_nReadOffset);
    knowsWritePosition.store(true);
    return true;
}

void ConsumerClient::Read(const Entry &entry, ULONG from, ULONG count, bool guard, ReadResult &result)
{
    if (entry.lost) {
        result.skipped += count;
        return;
    }
    if (count == 0) {
        return;
    }
    const StreamLedger &ledger = Ledger(m_hStream);
    const uint64_t ring = m_nBufferSize;
    const uint32_t index = m_hStream & 0xFF;
    // A byte of position p is intact while no write has reached p + ring. Reading from another
    // thread than the provider's, keep half a ring away from that edge: the provider never waits.
    const uint64_t margin = guard ? ring / 2 : 0;
    const uint64_t first = entry.position + from;
    const uint64_t before = ledger.written.load(std::memory_order_seq_cst);
    uint64_t safeFrom = 0; // first index (relative to from) not at risk
    if (before + margin > first + ring) {
        safeFrom = std::min<uint64_t>(count, before + margin - (first + ring));
    }
    result.overwritten += safeFrom;
    std::vector<uint8_t> copy(count - safeFrom);
    if (guard) {
        SIM_RACY_READS_BEGIN();
    }
    for (uint64_t i = safeFrom; i < count; ++i) {
        copy[i - safeFrom] = m_pBuffer[(entry.offset + from + i) % ring];
    }
    if (guard) {
        SIM_RACY_READS_END();
    }
    // What the provider handed over, taken before the write position is read again: a recorded
    // byte replaced since is a ring byte overwritten since, and is not compared.
    std::vector<uint8_t> expect(count - safeFrom);
    for (uint64_t i = safeFrom; i < count; ++i) {
        expect[i - safeFrom] = ledger.Expected(index, first + i);
    }
    const uint64_t after = ledger.written.load(std::memory_order_seq_cst);
    for (uint64_t i = safeFrom; i < count; ++i) {
        const uint64_t position = first + i;
        if (position + ring < after) {
            result.overwritten++; // changed while it was read: lost, not wrong
            continue;
        }
        const uint8_t expected = expect[i - safeFrom];
        const uint8_t read = copy[i - safeFrom];
        if (read == expected) {
            result.asProvided++;
        } else {
            if (result.differing == 0) {
                result.firstBad = (entry.offset + from + i) % ring;
                result.read = read;
                result.expected = expected;
            }
            result.differing++;
        }
    }
}

void ConsumerClient::Report(ULONG size)
{
    if (m_pfnDataProcessed == nullptr) {
        return;
    }
    RecordedCall call("processed", m_name, m_hStream, RecordedCall::Callback);
    call.Bytes(size);
    m_pfnDataProcessed(m_hStream, m_hConsumer, size);
    bytesProcessed.fetch_add(size);
    if (m_state.load() == State::Joined) {
        processedWhileJoined.fetch_add(size);
    }
}

void ConsumerClient::OnNewData(ULONG size)
{
    RecordedCall call("new-data", m_name, m_hStream, RecordedCall::Callback);
    call.Bytes(size);
    StreamLedger &ledger = Ledger(m_hStream);
    Entry entry{};
    bytesAnnounced.fetch_add(size);
    if (m_style == Style::Scripted) {
        Print("new-data " + std::to_string(size));
    }
    if (!Track(ledger, size, entry)) {
        return;
    }
    ReadResult result;
    switch (m_style) {
    case Style::Scripted:
    case Style::Threaded:
        if (!Push(entry)) {
            problems.Report("queue of blocks to process overflowed");
        }
        break;
    case Style::Callback:
    case Style::Slow:
        Read(entry, 0, size, false, result);
        char mismatch[200];
        Tally(result, mismatch);
        if (m_style == Style::Callback) {
            Report(size); // allowed from the callback: OnDataProcessed takes no lock
        } else {
            entry.checked = true;
            if (!Push(entry)) {
                problems.Report("queue of blocks to process overflowed");
            }
        }
        break;
    }
}

void ConsumerClient::OnNotify(ULONG code, PSTREAMER_NOTIFICATION_PARAM param)
{
    RecordedCall call("notified", m_name, m_hStream, RecordedCall::Callback);
    call.Code(code);
    notificationsReceived.fetch_add(1);
    StreamLedger &ledger = Ledger(m_hStream);
    if (code == STREAMERNOTIFY_LOST_BYTES && param != nullptr && ledger.providing) {
        // The exchange's own lost-bytes notice: this block went into the ring unannounced.
        const ULONG size = param->LostBytes.dwSize;
        lostNotifications.fetch_add(1);
        bytesLost.fetch_add(size);
        if (Recording() != nullptr) {
            RecordEvent("lost", m_name, m_hStream, size, "lost=" + std::to_string(param->LostBytes.nLost));
        }
        if (m_style == Style::Scripted) {
            Print("lost-bytes lost=" + std::to_string(param->LostBytes.nLost) + " block=" + std::to_string(size));
        }
        Entry entry{};
        if (!Track(ledger, size, entry)) {
            return;
        }
        entry.lost = true;
        if (m_style == Style::Scripted) {
            Push(entry);
        } else {
            Report(size); // drop the block at once: its space comes back
        }
        return;
    }
    if (code == STREAMERNOTIFY_IS_ORBDRV_ACTIVE && param != nullptr) {
        orbAnswers.fetch_add(1);
        lastOrbAnswer.store(param->fOrbDrvActive);
    }
    if (code == STREAMERNOTIFY_CONSUMER_DELETED) {
        // The stream is being destroyed, its ring with it: this registration ends here.
        m_ringGone = true;
        if (m_state.load() == State::Joined) {
            m_state.store(State::Idle);
        }
        if (m_inDirectory.exchange(false)) {
            DirectoryRemove(this);
        }
    }
    Print(NotificationText(code, param));
}

VOID STREAMER_CALL ConsumerClient::NewDataCallback(ULONG dwSize, PVOID pContext)
{
    ConsumerClient *self = FromHandle(pContext);
    if (self != nullptr) {
        self->OnNewData(dwSize);
    }
}

VOID STREAMER_CALL ConsumerClient::NotifyCallback(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID pContext)
{
    ConsumerClient *self = FromHandle(pContext);
    if (self != nullptr) {
        self->OnNotify(dwType, pParam);
    }
}

void ConsumerClient::Process(ULONG size)
{
    ClientThread thread(m_name);
    if (m_ringGone.load()) {
        // Nothing of the ring may be read any more; the report goes to the exchange all the same.
        Entry entry{};
        while (Peek(entry)) {
            Pop();
        }
        if (m_style == Style::Scripted) {
            Print("processed " + std::to_string(size) + ": no ring to read, the consumer has left its stream");
        }
        Report(size);
        return;
    }
    ReadResult result;
    uint64_t remaining = size;
    uint64_t read = 0;
    bool haveOffset = false;
    ULONG offset = 0;
    Entry entry{};
    while (remaining > 0 && Peek(entry)) {
        const ULONG take = static_cast<ULONG>(std::min<uint64_t>(remaining, entry.size - m_nHeadUsed));
        if (!haveOffset && take > 0) {
            haveOffset = true;
            offset = static_cast<ULONG>((static_cast<uint64_t>(entry.offset) + m_nHeadUsed) % std::max<ULONG>(1, m_nBufferSize));
        }
        if (!entry.checked) {
            Read(entry, m_nHeadUsed, take, m_style == Style::Threaded, result);
        }
        read += take;
        remaining -= take;
        m_nHeadUsed += take;
        if (m_nHeadUsed >= entry.size) {
            Pop();
        }
    }
    char mismatch[200];
    const bool hasMismatch = Tally(result, mismatch);
    if (m_style == Style::Scripted) {
        std::vector<std::string> parts;
        const uint64_t readInPlace = read - result.skipped;
        if (readInPlace > 0) {
            std::string part = "read " + std::to_string(readInPlace) + " in place at " + std::to_string(offset);
            if (result.asProvided == readInPlace) {
                part += ", all as provided";
            } else {
                part += ": " + std::to_string(result.asProvided) + " as provided";
                if (result.overwritten > 0) {
                    part += ", " + std::to_string(result.overwritten) + " overwritten";
                }
                if (result.differing > 0) {
                    part += ", " + std::to_string(result.differing) + " wrong";
                }
            }
            parts.push_back(part);
        }
        if (result.skipped > 0) {
            parts.push_back("skipped " + std::to_string(result.skipped) + " lost");
        }
        if (remaining > 0) {
            parts.push_back(read == 0 ? "nothing announced left to read"
                                      : std::to_string(remaining) + " more than announced");
        }
        std::string text = "processed " + std::to_string(size);
        for (size_t i = 0; i < parts.size(); ++i) {
            text += (i == 0 ? ": " : "; ") + parts[i];
        }
        Print(text);
    }
    if (hasMismatch) {
        Print(mismatch);
    }
    Report(size);
}

// Counts what a read found and reports bytes that differ from what was provided; true if any did.
bool ConsumerClient::Tally(const ReadResult &result, char (&text)[200])
{
    bytesChecked.fetch_add(result.asProvided);
    bytesOverwritten.fetch_add(result.overwritten);
    if (result.differing == 0) {
        return false;
    }
    std::snprintf(text, sizeof text, "MISMATCH in place at %llu: read 0x%02x, provided 0x%02x (%llu bytes differ)",
                  static_cast<unsigned long long>(result.firstBad), result.read, result.expected,
                  static_cast<unsigned long long>(result.differing));
    problems.Report(text);
    return true;
}

void ConsumerClient::Service(uint64_t budget)
{
    ClientThread thread(m_name);
    Entry entry{};
    ReadResult result;
    if (m_ringGone.load()) {
        return;
    }
    while (budget > 0 && Peek(entry)) {
        const ULONG take = static_cast<ULONG>(std::min<uint64_t>(budget, entry.size - m_nHeadUsed));
        if (!entry.checked) {
            Read(entry, m_nHeadUsed, take, true, result);
        }
        m_nHeadUsed += take;
        budget -= take;
        const bool done = m_nHeadUsed >= entry.size;
        Report(take);
        if (done) {
            Pop();
        }
    }
    char mismatch[200];
    Tally(result, mismatch);
}

void ConsumerClient::Notify(ULONG code, PSTREAMER_NOTIFICATION_PARAM param)
{
    if (m_pfnNotify != nullptr) {
        RecordedCall call("notify", m_name, m_hStream, RecordedCall::Call);
        call.Code(code);
        m_pfnNotify(m_hStream, m_hConsumer, code, param);
    }
}

// ---- ControlClient ---------------------------------------------------------------------------

NTSTATUS ControlClient::PrintStatus() { return Call(STREAMER_IOCTL_PRINT_STATUS, nullptr, 0, nullptr, 0); }

NTSTATUS ControlClient::PrintStreams(LONG from, LONG to)
{
    STREAMER_PRINT_RANGE range{from, to};
    return Call(STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range, nullptr, 0);
}

NTSTATUS ControlClient::UpdateLevels()
{
    return Call(STREAMER_IOCTL_UPDATE_DEBUG_LEVELS, nullptr, 0, nullptr, 0);
}

NTSTATUS ControlClient::OrbQuery()
{
    const NTSTATUS status = Call(STREAMER_IOCTL_IS_ORBDRV_ACTIVE, nullptr, 0, nullptr, 0);
    RecordEvent("orb-query", "console", kNoStream, 0, StatusName(status));
    return status;
}

NTSTATUS ControlClient::Resync()
{
    return Call(STREAMER_IOCTL_RESYNC_OAPI_CONSUMER, nullptr, 0, nullptr, 0);
}

NTSTATUS ControlClient::Bandwidth(LONG mode, ULONG &figure)
{
    STREAMER_BANDWIDTH_PARAM param{};
    param.nMode = mode;
    ULONG out = 0;
    ULONG_PTR info = 0;
    NTSTATUS status = Call(STREAMER_IOCTL_GET_BANDWIDTH, &param, sizeof param, &out, sizeof out, &info);
    figure = info >= sizeof out ? out : 0;
    return status;
}

NTSTATUS ControlClient::Raw(ULONG code, const std::vector<uint8_t> &bytes, std::vector<uint8_t> &out)
{
    out.clear();
    if (bytes.empty()) {
        return Call(code, nullptr, 0, nullptr, 0);
    }
    // Short inputs are padded with zeros: the driver reads its records without looking at lengths.
    constexpr ULONG kRoom = 64;
    std::vector<uint8_t> in(bytes);
    if (in.size() < kRoom) {
        in.resize(kRoom, 0);
    }
    std::vector<uint8_t> back(kRoom, 0);
    ULONG_PTR info = 0;
    NTSTATUS status = Call(code, in.data(), static_cast<ULONG>(in.size()), back.data(), kRoom, &info);
    out.assign(back.begin(), back.begin() + static_cast<std::ptrdiff_t>(std::min<ULONG_PTR>(info, kRoom)));
    return status;
}

NTSTATUS ControlClient::Exact(ULONG code, const std::vector<uint8_t> &in, ULONG outLength, std::vector<uint8_t> &out)
{
    // Separate heap blocks of the exact sizes: a read or write past either shows under the sanitizer.
    std::unique_ptr<uint8_t[]> input(in.empty() ? nullptr : new uint8_t[in.size()]);
    if (!in.empty()) {
        std::memcpy(input.get(), in.data(), in.size());
    }
    std::unique_ptr<uint8_t[]> output(outLength == 0 ? nullptr : new uint8_t[outLength]());
    ULONG_PTR info = 0;
    NTSTATUS status =
        Call(code, input.get(), static_cast<ULONG>(in.size()), output.get(), outLength, &info);
    out.assign(output.get(), output.get() + std::min<ULONG_PTR>(info, outLength));
    return status;
}

} // namespace sim
