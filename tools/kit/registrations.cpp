// The registrations the exchange holds, as seen from the requests that made and ended them.
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "devididi_kit.h"
#include "emu/kemu/kemu.h"
#include "emu/kemu/ldr.h"
#include "newdel.h"
#include "streamer.h"

namespace devididi::kit {
namespace {

struct Registration {
    bool consumer = false;
    ULONG stream = 0; // the stream's index: the exchange selects by the handle's low 8 bits alone
    PVOID handle = nullptr;
    const void *callbacks[2] = {};
    bool pending = false;
    ULONG ringSize = 0;          // a provider's
    void **entries[2] = {};      // where the exchange writes its entry points, in the client's memory
};

std::mutex g_lock;
std::map<PIRP, Registration> g_sent;                  // sent, not yet answered
std::map<PIRP, Registration> g_waiting;               // pending until the provider comes
std::vector<Registration> g_held;                     // registered
std::function<void(const kemu::RequestEvent &)> g_also; // the next observer in line

bool Same(const Registration &a, const Registration &b)
{
    return a.consumer == b.consumer && a.stream == b.stream && (!a.consumer || a.handle == b.handle);
}

void Forget(const Registration &r)
{
    for (auto it = g_held.begin(); it != g_held.end();) {
        it = Same(*it, r) ? g_held.erase(it) : it + 1;
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
std::atomic<STREAMER_PROVIDE_DATA_ENTRY> g_provideData{nullptr};
std::atomic<STREAMER_PROVIDER_NOTIFY_ENTRY> g_providerNotify{nullptr};
std::atomic<STREAMER_DATA_PROCESSED_ENTRY> g_dataProcessed{nullptr};
std::atomic<STREAMER_CONSUMER_NOTIFY_ENTRY> g_consumerNotify{nullptr};
// The outermost data call of this thread still running: where its stack stood, and how deep.
thread_local uintptr_t t_provideStack = 0;
thread_local unsigned t_provideDepth = 0;

std::string Stream(ULONG hStream) { return "stream " + std::to_string(hStream & 0xFF); }

// Above DISPATCH_LEVEL the exchange's spin locks would spin for ever: a stop naming the caller.
void CheckLevel(const char *entry, ULONG hStream)
{
    const KIRQL level = KeGetCurrentIrql();
    if (level > DISPATCH_LEVEL) {
        kemu::StopViolation(kemu::rule::kEntryAboveDispatch, std::string(entry) + " of " + Stream(hStream) +
                                                                 " called at IRQL " + std::to_string(level));
    }
}

VOID STREAMER_CALL ProvideData(ULONG hStream, PUCHAR pBuffer, ULONG dwSize)
{
    CheckLevel("data entry point", hStream);
    // The caller as the reports name it (a call made last in a callback returns into the exchange).
    const std::string caller = kemu::DriverAtFault();
    bool held = false;
    ULONG ringSize = 0;
    std::string holder = "nobody holds it";
    {
        std::lock_guard<std::mutex> lock(g_lock);
        for (const Registration &r : g_held) {
            if (!r.consumer && r.stream == (hStream & 0xFF)) {
                const std::string module = kemu::ModuleOfCode(r.callbacks[0]);
                const std::string driver = module.substr(0, module.find('+'));
                held = driver == caller.substr(0, caller.find('+'));
                ringSize = r.ringSize;
                holder = "held by " + (driver.empty() ? std::string("another driver") : driver);
            }
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
                     caller.c_str());
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
    ++t_provideDepth;
    g_provideData.load()(hStream, pBuffer, dwSize);
    --t_provideDepth;
}

VOID STREAMER_CALL ProviderNotify(ULONG hStream, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam)
{
    CheckLevel("notify entry point", hStream);
    g_providerNotify.load()(hStream, dwType, pParam);
}

VOID STREAMER_CALL DataProcessed(ULONG hStream, PVOID hConsumer, ULONG dwSize)
{
    CheckLevel("data-processed entry point", hStream);
    g_dataProcessed.load()(hStream, hConsumer, dwSize);
}

VOID STREAMER_CALL ConsumerNotify(ULONG hStream, PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam)
{
    CheckLevel("notify entry point", hStream);
    g_consumerNotify.load()(hStream, hConsumer, dwType, pParam);
}

// Keeps the entry point the exchange wrote at `slot` and puts `check` there instead.
template <typename Entry>
void Replace(void **slot, std::atomic<Entry> &kept, Entry check)
{
    if (slot == nullptr || *slot == nullptr || *slot == reinterpret_cast<void *>(check)) {
        return;
    }
    kept = reinterpret_cast<Entry>(*slot);
    *slot = reinterpret_cast<void *>(check);
}

// Under g_lock, once the registration is made (the exchange has written its entry points).
void Interpose(const Registration &r)
{
    if (r.consumer) {
        Replace(r.entries[0], g_dataProcessed, &DataProcessed);
        Replace(r.entries[1], g_consumerNotify, &ConsumerNotify);
    } else {
        Replace(r.entries[0], g_provideData, &ProvideData);
        Replace(r.entries[1], g_providerNotify, &ProviderNotify);
    }
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
            if (NT_SUCCESS(event.status)) {
                waiting->second.pending = false;
                Interpose(waiting->second);
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
    const Registration r = sent->second;
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
        Interpose(r);
        g_held.push_back(r);
    }
}

// Where the exchange will write a registration's entry points, read after every observer has seen
// the request (one in line may have put a slot of its own in the record).
void TakeEntrySlots(PIRP irp)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto sent = g_sent.find(irp);
    if (sent == g_sent.end() || sent->second.pending) {
        return;
    }
    Registration &r = sent->second;
    const auto *param = static_cast<const STREAMER_SRV_PARAM *>(irp->AssociatedIrp.SystemBuffer);
    if (r.consumer) {
        r.entries[0] = reinterpret_cast<void **>(param->RegisterConsumer.ppfnDataProcessed);
        r.entries[1] = reinterpret_cast<void **>(param->RegisterConsumer.ppfnNotify);
    } else {
        r.entries[0] = reinterpret_cast<void **>(param->RegisterProvider.ppfnProvideData);
        r.entries[1] = reinterpret_cast<void **>(param->RegisterProvider.ppfnNotify);
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
    kemu::SetServingDriver("\\Driver\\DeVididi");
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
