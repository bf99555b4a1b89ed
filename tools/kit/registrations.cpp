// The registrations the exchange holds, as seen from the requests that made and ended them.
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "devididi_kit.h"
#include "emu/kemu/kemu.h"
#include "emu/kemu/ldr.h"
#include "newdel.h"
#include "streamer.h"

#if defined(__SANITIZE_THREAD__)
extern "C" void AnnotateIgnoreWritesBegin(const char *file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char *file, int line);
#endif

namespace devididi::kit {
namespace {

struct Registration {
    bool consumer = false;
    ULONG stream = 0; // the stream's index: the exchange selects by the handle's low 8 bits alone
    PVOID handle = nullptr;
    const void *callbacks[2] = {};
    bool pending = false;
    ULONG ringSize = 0; // a provider's
    std::shared_ptr<struct EntrySlots> slots;
    void **ringAnswer = nullptr; // a consumer's: where the exchange writes the ring's address
    void *view = nullptr;        // a consumer's own view of the ring, while it is registered
};

// A registration's two entry points (data, then notify). The exchange writes them into the kit's
// slots, and the client's slots hold the kit's checking entry points from the request on, so that
// even a call during the registration itself goes through them; a refused registration gets its
// slots' old values back. Shared: a pending registration's record is copied while the exchange may
// still write.
struct EntrySlots {
    void *exchange[2] = {};
    void **client[2] = {};
    void *before[2] = {};
};

std::mutex g_lock;
// Streams whose provider registration the exchange refused after it had handed out the entry
// points (its prescribed order): a later call of the kept data entry point is named so.
std::set<ULONG> g_refusedWithEntryPoints;
std::map<PIRP, Registration> g_sent;                  // sent, not yet answered
std::map<PIRP, Registration> g_waiting;               // pending until the provider comes
std::vector<Registration> g_held;                     // registered
std::function<void(const kemu::RequestEvent &)> g_also; // the next observer in line

bool Same(const Registration &a, const Registration &b)
{
    return a.consumer == b.consumer && a.stream == b.stream && (!a.consumer || a.handle == b.handle);
}

constexpr char kAfterUnregistration[] = "after its consumer's unregistration";

void Forget(const Registration &r)
{
    for (auto it = g_held.begin(); it != g_held.end();) {
        if (!Same(*it, r)) {
            ++it;
            continue;
        }
        if (it->view != nullptr) {
            kemu::ClosePoolView(it->view, kAfterUnregistration);
        }
        it = g_held.erase(it);
    }
    for (auto it = g_waiting.begin(); it != g_waiting.end();) {
        it = Same(it->second, r) ? g_waiting.erase(it) : std::next(it);
    }
}

// ---- The exchange's entry points, seen on their way in -------------------------------------------
//
// A registration's entry points are replaced, in the client's memory, by these, which check the call
// and pass it on: the client's mistakes are then named where they are made, not where they do harm.

constexpr size_t kKernelStack = 12 * 1024; // an x86 kernel thread's stack
// The exchange's entry points once a registration has been made: [consumer][data or notify].
std::atomic<void *> g_known[2][2] = {};
// The outermost data call of this thread still running: where its stack stood, and how deep.
thread_local uintptr_t t_provideStack = 0;
thread_local unsigned t_provideDepth = 0;

std::string Stream(ULONG hStream) { return "stream " + std::to_string(hStream & 0xFF); }

// The exchange's entry point behind a checking one: known once a registration is made, before
// that in the slots of the registration under way.
template <typename Entry>
Entry Exchange(bool consumer, int which)
{
    if (void *known = g_known[consumer][which].load()) {
        return reinterpret_cast<Entry>(known);
    }
    std::lock_guard<std::mutex> lock(g_lock);
    auto written = [&](const Registration &r) {
        return r.consumer == consumer && r.slots ? r.slots->exchange[which] : nullptr;
    };
    void *found = nullptr;
    for (const auto &entry : g_sent) {
        found = found != nullptr ? found : written(entry.second);
    }
    for (const auto &entry : g_waiting) {
        found = found != nullptr ? found : written(entry.second);
    }
    return reinterpret_cast<Entry>(found);
}

// Above DISPATCH_LEVEL the exchange's spin locks would spin for ever: a stop naming the caller.
void CheckLevel(const char *entry, ULONG hStream)
{
    const KIRQL level = KeGetCurrentIrql();
    if (level > DISPATCH_LEVEL) {
        kemu::StopViolation(kemu::rule::kEntryAboveDispatch, std::string(entry) + " of " + Stream(hStream) +
                                                                 " called at IRQL " + std::to_string(level));
    }
}

constexpr char kExchange[] = "\\Driver\\DeVididi";

// The driver part of a code address as the reports name it ("\Driver\x+0x1f" -> "\Driver\x").
std::string DriverOf(const std::string &code) { return code.substr(0, code.find('+')); }

// The client driver whose call this is: "" for the tool's own (linked) clients, and when only the
// exchange's code is on the way in (a call made last in a callback returns into the exchange).
std::string CallingDriver(const std::string &code)
{
    const std::string driver = DriverOf(code);
    return driver == kExchange ? "" : driver;
}

// What a client driver's call does, for every report made meanwhile: "\Driver\x: call of the data
// entry point of stream 3"; `code` is the call's address, which names the caller where the walk
// cannot pass the exchange's frames (an image).
void NameCall(std::optional<kemu::ScopedCodeName> &named, const std::string &code, const char *entry, ULONG hStream)
{
    const std::string caller = CallingDriver(code);
    if (!caller.empty()) {
        named.emplace(caller + ": call of the " + entry + " of " + Stream(hStream), code);
    }
}

VOID STREAMER_CALL ProvideData(ULONG hStream, PUCHAR pBuffer, ULONG dwSize)
{
    CheckLevel("data entry point", hStream);
    const std::string code = kemu::DriverAtFault();
    const std::string caller = CallingDriver(code);
    const bool unknown = caller.empty() && !code.empty(); // only the exchange on the way in
    bool held = false;
    ULONG ringSize = 0;
    std::string holder = "nobody holds it";
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_refusedWithEntryPoints.count(hStream & 0xFF) != 0) {
            holder += "; its registration was refused after the exchange had handed out the entry point";
        }
        auto provides = [&](const Registration &r) {
            if (!r.consumer && !r.pending && r.stream == (hStream & 0xFF)) {
                const std::string driver = DriverOf(kemu::ModuleOfCode(r.callbacks[0]));
                held = unknown || driver == caller;
                ringSize = r.ringSize;
                holder = "held by " + (driver.empty() ? std::string("another driver") : driver);
            }
        };
        for (const auto &entry : g_sent) {
            provides(entry.second); // a registration under way (a call from its own notification)
        }
        for (const Registration &r : g_held) {
            provides(r);
        }
    }
    if (!held) {
        kemu::ReportViolation(kemu::rule::kProvidedWithoutRegistration,
                              std::to_string(dwSize) + " bytes on " + Stream(hStream) +
                                  " from a driver that does not hold its provider registration (" + holder + ")");
    } else if (dwSize > ringSize) {
        std::fprintf(stderr, "devididi kit: warning: %lu bytes provided on %s, more than its %lu-byte ring: the exchange "
                             "drops such a block, by %s\n",
                     static_cast<unsigned long>(dwSize), Stream(hStream).c_str(), static_cast<unsigned long>(ringSize),
                     code.c_str());
    }
    const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (t_provideDepth == 0) {
        t_provideStack = here;
    } else if (t_provideStack > here && t_provideStack - here > kKernelStack) {
        kemu::StopViolation(kemu::rule::kKernelStackOverflow,
                            "data provided on " + Stream(hStream) + " from its own data-complete callback " +
                                std::to_string(t_provideDepth) + " levels deep, " + std::to_string(t_provideStack - here) +
                                " bytes of stack on the way, more than the " + std::to_string(kKernelStack) +
                                " bytes of an x86 kernel stack");
    }
    std::optional<kemu::ScopedCodeName> named;
    if (t_provideDepth == 0) {
        NameCall(named, code, "data entry point", hStream); // once, not at every level of a recursion
    }
    ++t_provideDepth;
    Exchange<STREAMER_PROVIDE_DATA_ENTRY>(false, 0)(hStream, pBuffer, dwSize);
    --t_provideDepth;
}

VOID STREAMER_CALL ProviderNotify(ULONG hStream, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam)
{
    CheckLevel("notify entry point", hStream);
    std::optional<kemu::ScopedCodeName> named;
    NameCall(named, kemu::DriverAtFault(), "provider's notify entry point", hStream);
    Exchange<STREAMER_PROVIDER_NOTIFY_ENTRY>(false, 1)(hStream, dwType, pParam);
}

VOID STREAMER_CALL DataProcessed(ULONG hStream, PVOID hConsumer, ULONG dwSize)
{
    CheckLevel("data-processed entry point", hStream);
    std::optional<kemu::ScopedCodeName> named;
    NameCall(named, kemu::DriverAtFault(), "data-processed entry point", hStream);
    Exchange<STREAMER_DATA_PROCESSED_ENTRY>(true, 0)(hStream, hConsumer, dwSize);
}

VOID STREAMER_CALL ConsumerNotify(ULONG hStream, PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam)
{
    CheckLevel("notify entry point", hStream);
    std::optional<kemu::ScopedCodeName> named;
    NameCall(named, kemu::DriverAtFault(), "consumer's notify entry point", hStream);
    Exchange<STREAMER_CONSUMER_NOTIFY_ENTRY>(true, 1)(hStream, hConsumer, dwType, pParam);
}

// Under g_lock, once the registration is answered: the entry points the exchange wrote are known
// (it may write them for a registration it then refuses, and the client keeps them), and a client
// slot the exchange left alone gets back what it held.
void Settle(const Registration &r)
{
    for (int which = 0; r.slots && which < 2; ++which) {
        if (r.slots->exchange[which] != nullptr) {
            g_known[r.consumer][which] = r.slots->exchange[which];
        } else if (r.slots->client[which] != nullptr) {
            *r.slots->client[which] = r.slots->before[which];
        }
    }
}

// A client's slot for a pointer that lies in a pool block too short for one is the client's mistake,
// for the exchange to meet as it would without the kit: the kit neither reads nor writes it.
bool HoldsPointer(const void *slot)
{
    const std::optional<kemu::PoolBlock> block = kemu::FindPoolBlock(slot);
    return slot != nullptr && !(block && static_cast<const char *>(block->address) + block->size <
                                             static_cast<const char *>(slot) + sizeof(void *));
}

// Under g_lock, once a consumer's registration has succeeded: the consumer reads the ring through a
// view of its own (the special pool's), which closes at its unregistration, so that a read after it
// stops naming the reader even while the ring lives on for the provider and the other consumers. The
// view's address replaces the ring's in the client's memory before the answer reaches the client; a
// read meanwhile (a callback on another processor) goes to the ring itself, the same bytes, so
// ThreadSanitizer is told that this one store races on purpose. No view without the special pool, or
// once its views are all taken (said on standard error).
void GiveView(Registration &r)
{
    if (r.ringAnswer == nullptr || *r.ringAnswer == nullptr) {
        return;
    }
    r.view = kemu::OpenPoolView(*r.ringAnswer, ("the ring of stream " + std::to_string(r.stream)).c_str());
    if (r.view == nullptr) {
        return;
    }
#if defined(__SANITIZE_THREAD__)
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
    __atomic_store_n(r.ringAnswer, r.view, __ATOMIC_RELAXED); // one untorn word, as the client reads it
#if defined(__SANITIZE_THREAD__)
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
#endif
}

void Observe(const kemu::RequestEvent &event)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (event.kind == kemu::RequestEvent::Sent) {
        PIO_STACK_LOCATION at = IoGetCurrentIrpStackLocation(event.irp);
        const auto *param = static_cast<const STREAMER_SRV_PARAM *>(event.irp->AssociatedIrp.SystemBuffer);
        const ULONG code = at->Parameters.DeviceIoControl.IoControlCode;
        const ULONG length = at->Parameters.DeviceIoControl.InputBufferLength;
        if (at->MajorFunction != IRP_MJ_DEVICE_CONTROL || param == nullptr || length < sizeof(ULONG) ||
            event.irp->RequestorMode != KernelMode) {
            return;
        }
        Registration r;
        if (code == STREAMER_REGISTER_PROVIDER && length >= sizeof param->RegisterProvider) {
            r.stream = param->RegisterProvider.hStream & 0xFF;
            r.callbacks[0] = reinterpret_cast<const void *>(param->RegisterProvider.pfnProvideDataComplete);
            r.callbacks[1] = reinterpret_cast<const void *>(param->RegisterProvider.pfnNotify);
            r.ringSize = param->RegisterProvider.dwBufferSize;
        } else if (code == STREAMER_REGISTER_CONSUMER && length >= sizeof param->RegisterConsumer) {
            r.consumer = true;
            r.stream = param->RegisterConsumer.hStream & 0xFF;
            r.handle = param->RegisterConsumer.hConsumer;
            r.callbacks[0] = reinterpret_cast<const void *>(param->RegisterConsumer.pfnNewDataReady);
            r.callbacks[1] = reinterpret_cast<const void *>(param->RegisterConsumer.pfnNotify);
            if (HoldsPointer(param->RegisterConsumer.ppBuffer)) {
                r.ringAnswer = reinterpret_cast<void **>(param->RegisterConsumer.ppBuffer);
            }
        } else if (code == STREAMER_UNREGISTER_PROVIDER) {
            r.stream = param->UnRegisterProvider.hStream & 0xFF;
        } else if (code == STREAMER_UNREGISTER_CONSUMER && length >= sizeof param->UnRegisterConsumer) {
            r.consumer = true;
            r.stream = param->UnRegisterConsumer.hStream & 0xFF;
            r.handle = param->UnRegisterConsumer.hConsumer;
        } else {
            return;
        }
        r.pending = code == STREAMER_UNREGISTER_PROVIDER || code == STREAMER_UNREGISTER_CONSUMER; // marks a leave
        g_sent[event.irp] = r;
        return;
    }
    if (event.kind == kemu::RequestEvent::Completed) {
        auto waiting = g_waiting.find(event.irp);
        if (waiting != g_waiting.end()) {
            Settle(waiting->second);
            if (NT_SUCCESS(event.status)) {
                waiting->second.pending = false;
                GiveView(waiting->second);
                g_held.push_back(waiting->second);
            }
            g_waiting.erase(waiting);
        }
        return;
    }
    auto sent = g_sent.find(event.irp);
    if (sent == g_sent.end()) {
        return;
    }
    Registration r = sent->second;
    g_sent.erase(sent);
    const bool leave = r.pending;
    if (leave && NT_SUCCESS(event.status)) {
        Forget(r);
    } else if (!leave && event.status == STATUS_PENDING) {
        Registration waiting = r;
        waiting.pending = true;
        g_waiting[event.irp] = waiting;
    } else if (!leave && NT_SUCCESS(event.status)) {
        Forget(r); // a provider taking over an orphaned stream replaces the old record
        Settle(r);
        GiveView(r);
        g_held.push_back(r);
        if (!r.consumer) {
            g_refusedWithEntryPoints.erase(r.stream);
        }
    } else if (!leave) {
        if (!r.consumer && r.slots && r.slots->exchange[0] != nullptr) {
            g_refusedWithEntryPoints.insert(r.stream);
        }
        Settle(r);
    }
}

// Puts the kit's slots in the request and its checking entry points in the client's slots, once
// every observer has seen the request (one in line may have put slots of its own in the record).
void TakeEntrySlots(PIRP irp)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto sent = g_sent.find(irp);
    if (sent == g_sent.end() || sent->second.pending) {
        return;
    }
    Registration &r = sent->second;
    auto *param = static_cast<STREAMER_SRV_PARAM *>(irp->AssociatedIrp.SystemBuffer);
    void **requested[2];
    void *checking[2];
    if (r.consumer) {
        requested[0] = reinterpret_cast<void **>(&param->RegisterConsumer.ppfnDataProcessed);
        requested[1] = reinterpret_cast<void **>(&param->RegisterConsumer.ppfnNotify);
        checking[0] = reinterpret_cast<void *>(&DataProcessed);
        checking[1] = reinterpret_cast<void *>(&ConsumerNotify);
    } else {
        requested[0] = reinterpret_cast<void **>(&param->RegisterProvider.ppfnProvideData);
        requested[1] = reinterpret_cast<void **>(&param->RegisterProvider.ppfnNotify);
        checking[0] = reinterpret_cast<void *>(&ProvideData);
        checking[1] = reinterpret_cast<void *>(&ProviderNotify);
    }
    r.slots = std::make_shared<EntrySlots>();
    for (int which = 0; which < 2; ++which) {
        auto **client = static_cast<void **>(*requested[which]);
        if (client == nullptr) {
            continue; // the exchange refuses such a record
        }
        if (!HoldsPointer(client)) {
            continue;
        }
        r.slots->client[which] = client;
        r.slots->before[which] = *client;
        *client = checking[which];
        *requested[which] = &r.slots->exchange[which];
    }
}

std::string Describe(const std::string &driver, const Registration &r)
{
    char text[160];
    if (r.consumer) {
        std::snprintf(text, sizeof text, ": consumer of stream %lu, handle %p, still %s",
                      static_cast<unsigned long>(r.stream), r.handle, r.pending ? "pending" : "registered");
    } else {
        std::snprintf(text, sizeof text, ": provider of stream %lu, still registered", static_cast<unsigned long>(r.stream));
    }
    return driver + text;
}

// The exchange's own way out, sent for the driver that did not take it.
void Unregister(const Registration &r)
{
    PDEVICE_OBJECT device = kemu::FindDevice(u"\\Device\\DeVididi");
    if (device == nullptr) {
        return;
    }
    STREAMER_SRV_PARAM param{};
    ULONG code = STREAMER_UNREGISTER_PROVIDER;
    if (r.consumer) {
        code = STREAMER_UNREGISTER_CONSUMER;
        param.UnRegisterConsumer.hStream = r.stream;
        param.UnRegisterConsumer.hConsumer = r.handle;
    } else {
        param.UnRegisterProvider.hStream = r.stream;
    }
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, &param, sizeof param, nullptr, 0, FALSE, &event, &iosb);
    if (irp != nullptr && IoCallDriver(device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
}

std::vector<std::string> Check(const std::string &driver, const std::function<bool(const void *)> &inImage)
{
    std::vector<Registration> found;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (kemu::FindDevice(u"\\Device\\DeVididi") == nullptr) {
            g_held.clear(); // the exchange is gone, and every registration with it
            g_refusedWithEntryPoints.clear();
            g_waiting.clear();
            return {};
        }
        auto held = [&](const Registration &r) { return inImage(r.callbacks[0]) || inImage(r.callbacks[1]); };
        for (const auto &entry : g_waiting) {
            if (held(entry.second)) {
                found.push_back(entry.second);
            }
        }
        for (const Registration &r : g_held) {
            if (held(r)) {
                found.push_back(r);
            }
        }
    }
    std::vector<std::string> reports;
    for (const Registration &r : found) {
        reports.push_back(Describe(driver, r) + ", unregistered for it");
        Unregister(r);
    }
    return reports;
}

} // namespace

void WatchRegistrations(std::function<void(const kemu::RequestEvent &)> also)
{
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_sent.clear();
        g_waiting.clear();
        g_held.clear();
        g_refusedWithEntryPoints.clear();
    }
    g_also = std::move(also);
    kemu::SetRequestObserver([](const kemu::RequestEvent &event) {
        Observe(event);
        if (g_also) {
            g_also(event);
        }
        if (event.kind == kemu::RequestEvent::Sent) {
            TakeEntrySlots(event.irp);
        }
    });
    kemu::SetUnloadCheck(&Check);
    // A client calls the exchange's entry points directly: a rule broken on such a call is the client's.
    kemu::SetServingDriver(kExchange);
}

void UseSpecialPoolForRings()
{
    kemu::SetSpecialPoolTag(TRACED_POOL_TAG);
    kemu::SetSpecialPoolForClients(true);
    // Runs inside the fault handler: it adds to the report without allocating.
    kemu::SetPoolBlockNamer([](const void *block, size_t size, ULONG tag, kemu::FaultText &name) {
        if (tag != TRACED_POOL_TAG || size < sizeof(TRACED_BLOCK_HEADER)) {
            return;
        }
        const auto *header = static_cast<const TRACED_BLOCK_HEADER *>(block);
        name.Add("allocated at ").Add(header->pszFile).Add(":").Dec(header->nLine).Add(" (");
        name.Dec(size - sizeof(TRACED_BLOCK_HEADER)).Add(" bytes after its trace header)");
    });
}

void UnwatchRegistrations()
{
    kemu::SetRequestObserver(nullptr);
    kemu::SetUnloadCheck(nullptr);
    kemu::SetServingDriver("");
    g_also = nullptr;
}

} // namespace devididi::kit
