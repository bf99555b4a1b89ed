// The registrations the exchange holds, as seen from the requests that made and ended them.
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
        g_held.push_back(r);
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
    });
    kemu::SetUnloadCheck(&Check);
    // A client calls the exchange's entry points directly: a rule broken on such a call is the client's.
    kemu::SetServingDriver("\\Driver\\DeVididi");
}

void UseSpecialPoolForRings()
{
    kemu::SetSpecialPoolTag(TRACED_POOL_TAG);
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
