// The simulator stands in the path of a loaded driver's registrations the way a filter driver
// would: the record the exchange receives names the simulator's callbacks and entry slots, which
// pass every call on to the driver's own and to the exchange's entry unchanged.
#include "driver_tap.h"

#include <array>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "emu/kemu/kemu.h"
#include "emu/kemu/ldr.h"
#include "names.h"
#include "run_record.h"

namespace sim {
namespace {

std::mutex g_lock;
std::function<void(ULONG, const std::string &)> g_beforeProvides; // under g_lock
std::deque<std::unique_ptr<TappedConsumer>> g_consumers;
struct Registering {
    TappedConsumer *consumer;
    bool returned, completed;
};
std::map<PIRP, Registering> g_registering; // sent, not yet both returned and completed
std::map<PIRP, TappedConsumer *> g_leaving;
std::atomic<STREAMER_DATA_PROCESSED_ENTRY> g_exchangeEntry{nullptr};

/*
 * A consumer handle is unique only within its stream, and the exchange calls a consumer's callbacks
 * with nothing but that handle: one handle on two streams cannot be told apart by it. So each tapped
 * registration gets callbacks of its own, one pair of a fixed set of slots, and a callback knows its
 * registration by its slot. A slot is taken back once its registration has left (the exchange calls
 * nothing of a registration after its unregistration has completed).
 */
constexpr size_t kSlots = 128;
std::atomic<TappedConsumer *> g_slots[kSlots];

// The registration a report is for: the driver's handle on the stream it names, still held.
TappedConsumer *Find(PVOID handle, ULONG stream)
{
    std::lock_guard<std::mutex> lock(g_lock);
    for (auto it = g_consumers.rbegin(); it != g_consumers.rend(); ++it) {
        TappedConsumer &c = **it;
        if (c.handle == handle && c.stream == (stream & 0xFF) && !c.left.load()) {
            return &c;
        }
    }
    return nullptr;
}

// Call with g_lock held: a free slot for c, or kSlots when every one is taken.
size_t TakeSlotLocked(TappedConsumer *c)
{
    for (size_t i = 0; i < kSlots; ++i) {
        TappedConsumer *held = g_slots[i].load();
        if (held == nullptr || held->left.load()) {
            g_slots[i] = c;
            return i;
        }
    }
    return kSlots;
}

// Before the driver is called for the first time, the entry it reports through is the simulator's.
VOID STREAMER_CALL ReportEntry(ULONG hStream, PVOID hConsumer, ULONG dwSize);
void HandOutEntry(TappedConsumer &c)
{
    if (c.pDriverEntry != nullptr && *c.pDriverEntry != &ReportEntry) {
        *c.pDriverEntry = &ReportEntry;
    }
}

void Problem(TappedConsumer &c, const std::string &text) { c.problems.Report(text.c_str()); }

// One block told of, announced or lost: where it lies in the stream and in the ring.
void Told(TappedConsumer &c, ULONG size, bool lost)
{
    const StreamLedger &ledger = Ledger(c.stream);
    if (!c.tracking) {
        c.tracking = true;
        c.ringSize = c.pDriverRingSize != nullptr ? *c.pDriverRingSize : 0;
        c.readOffset = c.pDriverTail != nullptr ? *c.pDriverTail : 0;
        c.nextPosition = ledger.pendingStart;
        c.firstTold = ledger.pendingStart;
        c.told = true;
    } else if (ledger.providing && ledger.pendingStart != c.nextPosition) {
        Problem(c, std::to_string(ledger.pendingStart - c.nextPosition) + " bytes went into the ring without being told of");
        c.nextPosition = ledger.pendingStart;
    }
    const uint64_t ring = c.ringSize.load();
    if (ring > 0 && c.readOffset + uint64_t(size) > ring) {
        c.blocksAcrossEnd.fetch_add(1);
    }
    c.blocks.fetch_add(1);
    c.readOffset = ring > 0 ? static_cast<ULONG>((c.readOffset + uint64_t(size)) % ring) : 0;
    c.nextPosition += size;
    c.toldEnd = c.nextPosition;
    c.writePosition = c.readOffset;
    (lost ? c.bytesLost : c.bytesAnnounced).fetch_add(size);
}

void NewData(size_t slot, ULONG dwSize, PVOID pContext)
{
    TappedConsumer *c = g_slots[slot].load();
    if (c == nullptr) {
        return;
    }
    HandOutEntry(*c);
    Told(*c, dwSize, false);
    RecordedCall call("new-data", c->driver, c->stream, RecordedCall::Callback);
    call.Bytes(dwSize);
    c->pfnNewData(dwSize, pContext);
}

void Notify(size_t slot, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID pContext)
{
    TappedConsumer *c = g_slots[slot].load();
    if (c == nullptr) {
        return;
    }
    HandOutEntry(*c);
    RecordedCall call("notified", c->driver, c->stream, RecordedCall::Callback);
    call.Code(dwType);
    if (dwType == STREAMERNOTIFY_LOST_BYTES && pParam != nullptr) {
        Told(*c, pParam->LostBytes.dwSize, true);
        if (Recording() != nullptr) {
            RecordEvent("lost", c->driver, c->stream, pParam->LostBytes.dwSize,
                        "lost=" + std::to_string(pParam->LostBytes.nLost));
        }
    } else if (dwType == STREAMERNOTIFY_CONSUMER_DELETED) {
        c->leftAt = Ledger(c->stream).committed.load();
        c->joined = false;
    }
    if (c->pfnNotify != nullptr) {
        c->pfnNotify(dwType, pParam, pContext);
    }
}

template <size_t Slot>
VOID STREAMER_CALL NewDataAt(ULONG dwSize, PVOID pContext)
{
    NewData(Slot, dwSize, pContext);
}
template <size_t Slot>
VOID STREAMER_CALL NotifyAt(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID pContext)
{
    Notify(Slot, dwType, pParam, pContext);
}
struct SlotCallbacks {
    STREAMER_NEW_DATA_READY_CALLBACK newData;
    STREAMER_CONSUMER_NOTIFY_CALLBACK notify;
};
template <size_t... Slot>
constexpr std::array<SlotCallbacks, sizeof...(Slot)> MakeSlotCallbacks(std::index_sequence<Slot...>)
{
    return {{{&NewDataAt<Slot>, &NotifyAt<Slot>}...}};
}
constexpr std::array<SlotCallbacks, kSlots> kSlotCallbacks = MakeSlotCallbacks(std::make_index_sequence<kSlots>());

VOID STREAMER_CALL ReportEntry(ULONG hStream, PVOID hConsumer, ULONG dwSize)
{
    TappedConsumer *c = Find(hConsumer, hStream);
    STREAMER_DATA_PROCESSED_ENTRY exchange = g_exchangeEntry.load();
    std::optional<RecordedCall> call;
    if (c != nullptr) {
        call.emplace("processed", c->driver, hStream, RecordedCall::Callback);
        call->Bytes(dwSize);
        const uint64_t processed = c->bytesProcessed.fetch_add(dwSize) + dwSize;
        if (c->joined.load()) {
            c->processedWhileJoined.fetch_add(dwSize);
        }
        const uint64_t told = c->bytesAnnounced.load() + c->bytesLost.load();
        if (processed > told) {
            Problem(*c, "reported " + std::to_string(processed) + " bytes processed, more than the " +
                            std::to_string(told) + " it was told of");
        }
        if (c->pfnExchangeEntry != nullptr) {
            exchange = c->pfnExchangeEntry;
        }
    }
    if (exchange != nullptr) {
        exchange(hStream, hConsumer, dwSize);
    }
}

void Joined(TappedConsumer &c)
{
    c.joinedAt = Ledger(c.stream).committed.load();
    c.joined = true;
    if (c.pfnExchangeEntry != nullptr) {
        g_exchangeEntry = c.pfnExchangeEntry;
    }
    HandOutEntry(c);
}

std::string DriverName(const void *code)
{
    // "\\Driver\\echo+0x..." once the driver object is attached, the file's path before (its
    // DriverEntry registers): the name is the file's, up to its first dot, either way.
    std::string where = kemu::ModuleOfCode(code);
    where = where.substr(0, where.find('+'));
    where = where.substr(where.find_last_of("\\/") + 1);
    return where.substr(0, where.find('.'));
}

// ---- Providers ------------------------------------------------------------------------------

std::deque<std::unique_ptr<TappedProvider>> g_providers;
std::map<PIRP, TappedProvider *> g_providerRegistering, g_providerLeaving;
std::atomic<STREAMER_PROVIDE_DATA_ENTRY> g_exchangeProvideEntry{nullptr};
// A stream has one provider at a time, and its data-complete callback names no stream: a tapped
// registration gets the callbacks of its stream's slot, and a slot is taken back once it has left.
std::atomic<TappedProvider *> g_streamProviders[STREAMER_NUM_STREAMS];

VOID STREAMER_CALL ProvideEntry(ULONG hStream, PUCHAR pProviderBuffer, ULONG dwSize);
void HandOutEntry(TappedProvider &p)
{
    if (p.pDriverEntry != nullptr && *p.pDriverEntry != &ProvideEntry) {
        *p.pDriverEntry = &ProvideEntry;
    }
}

// The block goes into the ledger first, as the simulator's own providers' blocks do.
VOID STREAMER_CALL ProvideEntry(ULONG hStream, PUCHAR pProviderBuffer, ULONG dwSize)
{
    TappedProvider *p = g_streamProviders[hStream & 0xFF].load();
    STREAMER_PROVIDE_DATA_ENTRY exchange =
        p != nullptr && p->pfnExchangeEntry != nullptr ? p->pfnExchangeEntry : g_exchangeProvideEntry.load();
    if (exchange == nullptr) {
        return;
    }
    if (p == nullptr || !p->joined.load()) {
        exchange(hStream, pProviderBuffer, dwSize); // not a registration of ours: the exchange says no
        return;
    }
    RecordedCall call("provide", p->driver, p->stream,
                      KeGetCurrentIrql() >= DISPATCH_LEVEL ? RecordedCall::DpcCall : RecordedCall::Call);
    call.Bytes(dwSize);
    StreamLedger &ledger = Ledger(hStream);
    p->completed = false;
    ledger.Begin(pProviderBuffer, dwSize);
    exchange(hStream, pProviderBuffer, dwSize);
    ledger.End(p->completed);
    if (p->completed) {
        p->bytesAccepted.fetch_add(dwSize);
    } else {
        call.Refused();
    }
}

void DataComplete(size_t stream, PUCHAR pProviderBuffer, PVOID pContext)
{
    TappedProvider *p = g_streamProviders[stream].load();
    if (p == nullptr) {
        return;
    }
    RecordedCall call("data-complete", p->driver, p->stream, RecordedCall::Callback);
    if (Ledger(p->stream).Complete(pProviderBuffer)) {
        p->completed = true;
    }
    if (p->pfnDataComplete != nullptr) {
        p->pfnDataComplete(pProviderBuffer, pContext);
    }
}

void ProviderNotify(size_t stream, PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID pContext)
{
    TappedProvider *p = g_streamProviders[stream].load();
    if (p == nullptr) {
        return;
    }
    HandOutEntry(*p);
    RecordedCall call("notified", p->driver, p->stream, RecordedCall::Callback);
    call.Code(dwType);
    if (dwType == STREAMERNOTIFY_PROVIDER_DELETED) {
        p->joined = false;
        p->left = true;
    }
    if (p->pfnNotify != nullptr) {
        p->pfnNotify(hConsumer, dwType, pParam, pContext);
    }
}

template <size_t Stream>
VOID STREAMER_CALL DataCompleteAt(PUCHAR pProviderBuffer, PVOID pContext)
{
    DataComplete(Stream, pProviderBuffer, pContext);
}
template <size_t Stream>
VOID STREAMER_CALL ProviderNotifyAt(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID pContext)
{
    ProviderNotify(Stream, hConsumer, dwType, pParam, pContext);
}
struct StreamCallbacks {
    STREAMER_PROVIDE_DATA_COMPLETE_CALLBACK dataComplete;
    STREAMER_PROVIDER_NOTIFY_CALLBACK notify;
};
template <size_t... Stream>
constexpr std::array<StreamCallbacks, sizeof...(Stream)> MakeStreamCallbacks(std::index_sequence<Stream...>)
{
    return {{{&DataCompleteAt<Stream>, &ProviderNotifyAt<Stream>}...}};
}
constexpr std::array<StreamCallbacks, STREAMER_NUM_STREAMS> kStreamCallbacks =
    MakeStreamCallbacks(std::make_index_sequence<STREAMER_NUM_STREAMS>());

void SentProvider(PIRP irp, ULONG code, STREAMER_SRV_PARAM &param)
{
    if (code == STREAMER_UNREGISTER_PROVIDER) {
        TappedProvider *p = g_streamProviders[param.UnRegisterProvider.hStream & 0xFF].load();
        if (p != nullptr && !p->left.load()) {
            std::lock_guard<std::mutex> lock(g_lock);
            g_providerLeaving[irp] = p;
        }
        return;
    }
    auto &record = param.RegisterProvider;
    const void *callback = record.pfnProvideDataComplete != nullptr
                               ? reinterpret_cast<const void *>(record.pfnProvideDataComplete)
                               : reinterpret_cast<const void *>(record.pfnNotify);
    const std::string driver = callback != nullptr ? DriverName(callback) : "";
    const size_t stream = record.hStream & 0xFF;
    TappedProvider *holder = g_streamProviders[stream].load();
    if (driver.empty() || (holder != nullptr && !holder->left.load())) {
        return; // the simulator's own client, or a second provider the exchange refuses
    }
    std::function<void(ULONG, const std::string &)> before;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        before = g_beforeProvides;
    }
    if (before) {
        before(static_cast<ULONG>(stream), driver);
    }
    auto p = std::make_unique<TappedProvider>();
    p->driver = driver;
    p->stream = static_cast<ULONG>(stream);
    p->ringSize = record.dwBufferSize;
    p->pfnDataComplete = record.pfnProvideDataComplete;
    p->pfnNotify = record.pfnNotify;
    p->pDriverEntry = record.ppfnProvideData;
    p->joined = true; // the exchange may call it back before the request returns
    Ledger(p->stream).RecordFromNow(record.dwBufferSize);
    record.pfnProvideDataComplete = kStreamCallbacks[stream].dataComplete;
    record.pfnNotify = kStreamCallbacks[stream].notify;
    record.ppfnProvideData = &p->pfnExchangeEntry;
    std::lock_guard<std::mutex> lock(g_lock);
    g_streamProviders[stream] = p.get();
    g_providerRegistering[irp] = p.get();
    g_providers.push_back(std::move(p));
}

// A provider's registration and unregistration are answered at once (no provider waits).
void ReturnedProvider(PIRP irp, NTSTATUS status)
{
    TappedProvider *registering = nullptr, *leaving = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto r = g_providerRegistering.find(irp);
        if (r != g_providerRegistering.end()) {
            registering = r->second;
            g_providerRegistering.erase(r);
        }
        auto l = g_providerLeaving.find(irp);
        if (l != g_providerLeaving.end()) {
            leaving = l->second;
            g_providerLeaving.erase(l);
        }
    }
    if (registering != nullptr) {
        registering->registration = status;
        RecordEvent("register-provider", registering->driver, registering->stream, registering->ringSize,
                    StatusName(status));
        if (NT_SUCCESS(status)) {
            if (registering->pfnExchangeEntry != nullptr) {
                g_exchangeProvideEntry = registering->pfnExchangeEntry;
            }
            HandOutEntry(*registering);
        } else {
            registering->joined = false;
            registering->left = true;
        }
    }
    if (leaving != nullptr) {
        RecordEvent("unregister-provider", leaving->driver, leaving->stream, 0, StatusName(status));
        if (NT_SUCCESS(status)) {
            leaving->joined = false;
            leaving->left = true;
        }
    }
}

// ---- Requests ------------------------------------------------------------------------------

void Sent(PIRP irp)
{
    PIO_STACK_LOCATION at = IoGetCurrentIrpStackLocation(irp);
    auto *param = static_cast<STREAMER_SRV_PARAM *>(irp->AssociatedIrp.SystemBuffer);
    if (at->MajorFunction != IRP_MJ_DEVICE_CONTROL || param == nullptr || irp->RequestorMode != KernelMode) {
        return;
    }
    const ULONG code = at->Parameters.DeviceIoControl.IoControlCode;
    const ULONG length = at->Parameters.DeviceIoControl.InputBufferLength;
    if ((code == STREAMER_REGISTER_PROVIDER && length >= sizeof param->RegisterProvider) ||
        (code == STREAMER_UNREGISTER_PROVIDER && length >= sizeof param->UnRegisterProvider)) {
        SentProvider(irp, code, *param);
        return;
    }
    if (code == STREAMER_UNREGISTER_CONSUMER && length >= sizeof param->UnRegisterConsumer) {
        std::lock_guard<std::mutex> lock(g_lock);
        for (auto &c : g_consumers) {
            if (c->stream == (param->UnRegisterConsumer.hStream & 0xFF) && c->handle == param->UnRegisterConsumer.hConsumer &&
                !c->left.load()) {
                g_leaving[irp] = c.get();
            }
        }
        return;
    }
    if (code != STREAMER_REGISTER_CONSUMER || length < sizeof param->RegisterConsumer) {
        return;
    }
    auto &record = param->RegisterConsumer;
    // Only drivers loaded from a file: the simulator's own clients account for themselves.
    const std::string driver =
        record.pfnNewDataReady != nullptr ? DriverName(reinterpret_cast<const void *>(record.pfnNewDataReady)) : "";
    if (driver.empty()) {
        return;
    }
    auto c = std::make_unique<TappedConsumer>();
    c->driver = driver;
    c->stream = record.hStream & 0xFF;
    c->handle = record.hConsumer;
    c->pfnNewData = record.pfnNewDataReady;
    c->pfnNotify = record.pfnNotify;
    c->pDriverEntry = record.ppfnDataProcessed;
    c->pDriverRingSize = record.pdwBufferSize;
    c->pDriverTail = record.pdwTail;
    std::lock_guard<std::mutex> lock(g_lock);
    const size_t slot = TakeSlotLocked(c.get());
    if (slot == kSlots) {
        std::fprintf(stderr, "%s: consumer of stream %lu not accounted: more than %zu registrations of loaded drivers at once\n",
                     driver.c_str(), static_cast<unsigned long>(c->stream), kSlots);
        return;
    }
    record.pfnNewDataReady = kSlotCallbacks[slot].newData;
    record.pfnNotify = kSlotCallbacks[slot].notify;
    record.ppfnDataProcessed = &c->pfnExchangeEntry;
    g_registering[irp] = {c.get(), false, false};
    g_consumers.push_back(std::move(c));
}

void Observe(const kemu::RequestEvent &event)
{
    if (event.kind == kemu::RequestEvent::Sent) {
        Sent(event.irp);
        return;
    }
    if (event.kind == kemu::RequestEvent::Returned) {
        ReturnedProvider(event.irp, event.status);
    }
    TappedConsumer *registering = nullptr, *leaving = nullptr;
    bool completedFirst = false, returnedFirst = false;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto r = g_registering.find(event.irp);
        if (r != g_registering.end()) {
            registering = r->second.consumer;
            completedFirst = r->second.completed;
            returnedFirst = r->second.returned;
            (event.kind == kemu::RequestEvent::Completed ? r->second.completed : r->second.returned) = true;
            // Done with the request once it has both returned and completed, in either order.
            if (r->second.completed && (r->second.returned || event.kind == kemu::RequestEvent::Returned)) {
                g_registering.erase(r);
            } else if (event.kind == kemu::RequestEvent::Returned && event.status != STATUS_PENDING) {
                g_registering.erase(r); // refused before reaching the exchange's completion
            }
        }
        auto l = g_leaving.find(event.irp);
        if (l != g_leaving.end() && event.kind == kemu::RequestEvent::Returned) {
            leaving = l->second;
            g_leaving.erase(l);
        }
    }
    if (registering != nullptr) {
        if (event.kind == kemu::RequestEvent::Returned || returnedFirst) { // a completion after pending
            RecordEvent(event.kind == kemu::RequestEvent::Returned ? "register-consumer" : "registration-completed",
                        registering->driver, registering->stream, 0, StatusName(event.status));
        }
        if (event.kind == kemu::RequestEvent::Returned) {
            registering->firstAnswer = event.status;
            if (event.status != STATUS_PENDING && !completedFirst) {
                registering->registration = event.status;
                if (NT_SUCCESS(event.status)) {
                    Joined(*registering);
                } else {
                    registering->left = true;
                }
            }
        } else {
            registering->registration = event.status;
            if (NT_SUCCESS(event.status)) {
                Joined(*registering); // before the driver's completion routine hears of it
            } else {
                registering->left = true;
            }
        }
    }
    if (leaving != nullptr) {
        RecordEvent("unregister-consumer", leaving->driver, leaving->stream, 0, StatusName(event.status));
    }
    if (leaving != nullptr && NT_SUCCESS(event.status)) {
        if (leaving->firstAnswer.load() == STATUS_PENDING && leaving->registration.load() != STATUS_SUCCESS) {
            leaving->withdrawn = true;
        }
        if (leaving->joined.exchange(false)) {
            leaving->leftAt = Ledger(leaving->stream).committed.load();
        }
        leaving->left = true;
    }
}

} // namespace

std::function<void(const kemu::RequestEvent &)> TapDriverRequests()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_consumers.clear();
    for (auto &slot : g_slots) {
        slot = nullptr;
    }
    g_registering.clear();
    g_leaving.clear();
    g_exchangeEntry = nullptr;
    g_providers.clear();
    for (auto &slot : g_streamProviders) {
        slot = nullptr;
    }
    g_providerRegistering.clear();
    g_providerLeaving.clear();
    g_exchangeProvideEntry = nullptr;
    g_beforeProvides = nullptr;
    return &Observe;
}

void SetBeforeDriverProvides(std::function<void(ULONG stream, const std::string &driver)> hook)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_beforeProvides = std::move(hook);
}

std::vector<TappedConsumer *> TappedConsumers()
{
    std::lock_guard<std::mutex> lock(g_lock);
    std::vector<TappedConsumer *> all;
    for (auto &c : g_consumers) {
        all.push_back(c.get());
    }
    return all;
}

std::vector<TappedProvider *> TappedProviders()
{
    std::lock_guard<std::mutex> lock(g_lock);
    std::vector<TappedProvider *> all;
    for (auto &p : g_providers) {
        all.push_back(p.get());
    }
    return all;
}

} // namespace sim
