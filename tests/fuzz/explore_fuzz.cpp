// The composition explorer: scenarios of one to four client drivers, each step chosen by the input
// from everything a client driver can do, and the same menu again inside every callback the exchange
// makes, every completion routine of a request a client sent and every DPC a client queued (nested
// up to kMaxDepth). The client contract is checked at every callback (level, stream lock, the
// registration it belongs to, nothing after an unregistration or the unload completed), every entry
// point and client routine must return at the level it was called at, every request a client sent
// must be completed exactly once, and after the unload the pool must be empty.
//
// A step the contract forbids (a request to the driver above PASSIVE_LEVEL, an entry point called
// above DISPATCH_LEVEL, a wait without a time-out at DISPATCH_LEVEL, registration or data on a
// stream from under its lock or from one of its callbacks, a plug-and-play call above
// PASSIVE_LEVEL, a level lowered below the one the client was called at) runs in a child process
// under a code name that marks it (see Forbid): the verifier must name it as that client's, or it
// must do nothing. Anything else (a report, a stop, a hang caught by the wait watchdog, a sanitizer
// report, a broken contract) is a finding, printed as a line that starts "fuzz_explore: FINDING".
// Each run is one thread: DPCs run when a step asks (Manual mode), and no step makes the platform
// thread run driver code.
//
// Input: byte 0 sets the number of clients (bits 0-1, plus one) and of function devices added at
// the start (bits 2-3, mod 3); then top-level steps until the bytes run out, each a byte choosing
// the client, a byte choosing the kind (see Kind) and the bytes its arguments take. A callback,
// completion routine or DPC takes up to kStepsPerCallback steps of its client (no client byte),
// ending early at a Nothing step.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "client.h"
#include "devididi.h"
#include "entry.h"
#include "fuzz_support.h"
#include "streamer.h"

namespace {

constexpr int kMaxDepth = 4;
constexpr int kStepsPerCallback = 3; // a callback's steps end early at a Nothing step
constexpr int kMaxSteps = 160; // every step, nested ones included, so that each input stays short
constexpr const char kTarget[] = "fuzz_explore";
// The streams clients pick from: 0x03 and 0x103 select one stream; 0x01 is the ORB query's.
constexpr ULONG kStreams[] = {0x03, 0x103, 0x01, 0x05};
constexpr ULONG kRingSizes[] = {16, 64, 100, 4096, 1, 0};
constexpr std::chrono::milliseconds kWatchdog{50};

// ---- The client contract, as include/streamer.h states it --------------------------------------

enum class Callback { NewData, LostBytes, ConsumerNotify, ConsumerDeleted, ProviderNotify, ProviderDeleted, DataComplete };
enum class Lock { Held, Free, Either };
constexpr KIRQL kProvidersLevel = 0xFF; // the level the provider's data call was made at
struct Expected {
    Callback callback;
    const char *name;
    KIRQL level;
    Lock streamLock;
};
// One row a callback. The other notifications come with or without the stream's lock: registration
// sends most under it; those relayed from a client, and codes 1 and 3 of a consumer joining a
// stream whose provider is ready, come without it.
constexpr Expected kContract[] = {
    {Callback::NewData, "new-data callback", DISPATCH_LEVEL, Lock::Held},
    {Callback::LostBytes, "lost-bytes notify callback", DISPATCH_LEVEL, Lock::Held},
    {Callback::ConsumerNotify, "consumer notify callback", DISPATCH_LEVEL, Lock::Either},
    {Callback::ConsumerDeleted, "CONSUMER_DELETED notify callback", PASSIVE_LEVEL, Lock::Free},
    {Callback::ProviderNotify, "provider notify callback", DISPATCH_LEVEL, Lock::Either},
    {Callback::ProviderDeleted, "PROVIDER_DELETED notify callback", PASSIVE_LEVEL, Lock::Free},
    {Callback::DataComplete, "data-complete callback", kProvidersLevel, Lock::Free},
};
const Expected &Contract(Callback c)
{
    for (const Expected &e : kContract) {
        if (e.callback == c) {
            return e;
        }
    }
    dvfuzz::Finding("%s: no contract row for callback %d\n", kTarget, int(c));
}

// ---- Input ------------------------------------------------------------------------------------

using dvfuzz::Reader;

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// ---- What the clients hold ----------------------------------------------------------------------

class Explorer;

// One registration a client asked for; its address is the provider's context, its handle the
// consumer's. Never freed before the end of the run: late callbacks must find it.
struct Registration {
    enum State { Asked, Active, Refused, Unregistered };
    int client = 0;
    bool provider = false;
    ULONG hStream = 0;
    PVOID hConsumer = nullptr;
    ULONG ringSize = 0;
    State state = Asked;
    const KSPIN_LOCK *streamLock = nullptr; // its stream's lock, for the callbacks' check
    // What the exchange hands back.
    STREAMER_PROVIDE_DATA_ENTRY pfnProvideData = nullptr;
    STREAMER_PROVIDER_NOTIFY_ENTRY pfnProviderNotify = nullptr;
    PUCHAR pRing = nullptr;
    ULONG nRingSize = 0;
    ULONG nTail = 0;
    STREAMER_DATA_PROCESSED_ENTRY pfnDataProcessed = nullptr;
    STREAMER_CONSUMER_NOTIFY_ENTRY pfnConsumerNotify = nullptr;
    PVOID hReturned = nullptr;
    ULONG told = 0; // bytes announced and not yet reported processed
    STREAMER_STREAM_INFO info{};
    std::string Name() const
    {
        return "client " + std::to_string(client) + "'s " + (provider ? "provider" : "consumer") + " registration on stream " +
               Hex(hStream) + (provider ? "" : " (handle " + Hex(uintptr_t(hConsumer)) + ")");
    }
};

// One request a client sent; completed exactly once, and before the end of the run.
struct Request {
    Explorer *explorer = nullptr;
    int client = 0;
    std::string what;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    int completions = 0;
    bool allocated = false; // built by IoAllocateIrp: freed by its completion routine
    bool unregistration = false;
    Registration *registration = nullptr;
    ULONG code = 0;
    STREAMER_SRV_PARAM record{};
    std::vector<uint8_t> in, out;
};

struct Client {
    int id = 0;
    sim::DeviceHandle handle;
    KDPC dpc;
    Explorer *explorer = nullptr;
};

// ---- The explorer -------------------------------------------------------------------------------

class Explorer {
public:
    Explorer(Reader &in, size_t size) : m_in(in), m_size(size) {}

    void Run()
    {
        const uint8_t setup = m_in.Byte();
        const kemu::DriverLoad load = kemu::LoadDriver(DriverEntry, u"\\Driver\\DeVididi", u"");
        if (load.status != STATUS_SUCCESS) {
            dvfuzz::Finding("%s: the driver did not load (0x%08X)\n", kTarget, unsigned(load.status));
        }
        m_driver = load.driver;
        for (int i = 0; i < (setup >> 2 & 3) % 3; ++i) {
            AddDevice();
        }
        const int clients = (setup & 3) + 1;
        for (int i = 0; i < clients; ++i) {
            m_clients.push_back(std::make_unique<Client>());
            Client &c = *m_clients.back();
            c.id = i + 1;
            c.explorer = this;
            KeInitializeDpc(&c.dpc, &Explorer::DpcRoutine, &c);
            kemu::ScopedCodeName name("client " + std::to_string(c.id) + ": opening the control device");
            c.handle.Open();
        }
        while (!m_in.Empty() && m_steps < kMaxSteps) {
            Step(*m_clients[m_in.Byte() % m_clients.size()]);
        }
    }

    // The clients run their DPCs and close their handles, the system takes the driver away; then
    // every request must be completed and nothing left in the pool.
    void Finish()
    {
        kemu::RunQueuedDpcs();
        for (auto &c : m_clients) {
            kemu::ScopedCodeName name("client " + std::to_string(c->id) + ": closing its handle");
            c->handle.Close();
        }
        Unload();
        for (const auto &r : m_requests) {
            if (r->completions != 1) {
                dvfuzz::Finding("%s: FINDING: client %d's request (%s) was completed %d times by the end of the run "
                                "(the unload included)\n",
                                kTarget, r->client, r->what.c_str(), r->completions);
            }
        }
        // Removing one of two function devices runs the whole unload, which deletes the other device
        // while it is still attached and so never frees that device's interface name: meant.
        std::string leaks;
        for (const kemu::PoolBlock &b : kemu::LivePoolBlocks()) {
            if (!(m_twoDevices && kemu::TagText(b.tag) == "IoNm")) {
                leaks += "  block #" + std::to_string(b.sequence) + " '" + kemu::TagText(b.tag) + "' " +
                         std::to_string(b.size) + " bytes\n";
            }
        }
        if (!leaks.empty()) {
            dvfuzz::Finding("%s: FINDING: the input (%zu bytes) left pool blocks behind after the unload:\n%s", kTarget,
                            m_size, leaks.c_str());
        }
    }

    // Forbidden steps run in child processes (see Forbid), so the only report meant here is the
    // deletion of a still attached device by the unload of a removal while the driver had another
    // function device (see AddDevice).
    bool Accounted(const kemu::Violation &v) const
    {
        return m_twoDevices && v.rule == kemu::rule::kDeviceDeletedWhileAttached &&
               v.detail.find(" of \\Driver\\DeVididi on device ") != std::string::npos;
    }

private:
    static constexpr const char kForbidden[] = "FORBIDDEN STEP: ";

    enum Kind : uint8_t {
        Nothing,
        RegisterProvider,
        RegisterConsumer,
        UnregisterProvider,
        UnregisterConsumer,
        ProvideData,
        ProviderNotify,
        DataProcessed,
        ConsumerNotify,
        ControlRequest,
        OpenOrClose,
        OtherMajor,
        AddOrRemoveDevice,
        UnloadDriver,
        AtLevel,
        Wait,
        QueueDpc,
        RunDpcs,
        KindCount
    };

    // ---- Steps --------------------------------------------------------------------------------

    // One step of the client, at the current depth (m_depth: 0 at the top level); false for a
    // Nothing step or none at all.
    bool Step(Client &c)
    {
        if (m_depth > kMaxDepth || m_steps >= kMaxSteps) {
            return false;
        }
        ++m_steps;
        const Kind kind = Kind(m_in.Byte() % KindCount);
        const KIRQL level = KeGetCurrentIrql();
        const std::string who = "client " + std::to_string(c.id) + ": ";
        if (g_verbose) {
            const std::string code = kemu::CurrentCodeName();
            std::fprintf(stderr, "%s: step %d, depth %d, IRQL %u: %sstep kind %d [in %s]\n", kTarget, m_steps, m_depth,
                         unsigned(level), who.c_str(), int(kind), code.empty() ? "the top level" : code.c_str());
        }
        switch (kind) {
        case Nothing:
            break;
        case RegisterProvider:
        case RegisterConsumer:
        case UnregisterProvider:
        case UnregisterConsumer: {
            const bool join = kind == RegisterProvider || kind == RegisterConsumer;
            const ULONG hStream = m_in.Pick(kStreams);
            if (level > PASSIVE_LEVEL && Avoided("dispatch-registration")) {
                break;
            }
            auto step = Forbid(level, PASSIVE_LEVEL, hStream, who + (join ? "register on " : "unregister on ") + Hex(hStream));
            if (step.Skip()) {
                break;
            }
            if (join) {
                Register(c, kind == RegisterProvider, hStream);
            } else {
                Unregister(c, kind == UnregisterProvider, hStream);
            }
            break;
        }
        case ProvideData:
        case ProviderNotify:
        case DataProcessed:
        case ConsumerNotify:
            EntryPoint(c, kind, level, who);
            break;
        case ControlRequest:
            Control(c, level, who);
            break;
        case OpenOrClose: {
            const bool open = !c.handle.IsOpen();
            if (!open && level > PASSIVE_LEVEL) {
                break; // the close would be deferred to the platform's thread: no race in this target
            }
            auto step = Forbid(level, PASSIVE_LEVEL, kNoStream, who + (open ? "open" : "close"));
            if (step.Skip()) {
                break;
            }
            kemu::ScopedCodeName name(who + (open ? "opening the control device" : "closing its handle"));
            if (open) {
                c.handle.Open();
            } else {
                c.handle.Close();
            }
            break;
        }
        case OtherMajor:
            OtherRequest(c, level, who);
            break;
        case AddOrRemoveDevice: {
            const bool add = m_in.Byte() & 1;
            if (!add && m_depth > 0 && Avoided("nested-removal")) {
                break;
            }
            auto step = Forbid(level, PASSIVE_LEVEL, kNoStream, who + "plug and play");
            if (step.Skip()) {
                break;
            }
            if (add) {
                AddDevice();
            } else {
                RemoveDevice();
            }
            break;
        }
        case UnloadDriver:
            // The system unloads a driver only when no call into it is in progress.
            if (m_depth == 0) {
                Unload();
            }
            break;
        case AtLevel:
            AtOtherLevel(c, level, who);
            break;
        case Wait:
            WaitStep(c, level, who);
            break;
        case QueueDpc: {
            auto step = Forbid(level, DISPATCH_LEVEL, kNoStream, who + "queue a DPC");
            if (!step.Skip()) {
                KeInsertQueueDpc(&c.dpc, nullptr, nullptr);
            }
            break;
        }
        case RunDpcs:
            // A DPC runs when its processor drops below DISPATCH_LEVEL.
            if (level < DISPATCH_LEVEL) {
                kemu::RunQueuedDpcs();
            }
            break;
        case KindCount:
            break;
        }
        NoteUnload();
        return kind != Nothing;
    }

    // A step the contract forbids cannot go on where a real kernel would stop or hang, so it runs in
    // a child process: there, under a code name that marks it, the verifier must name it (the
    // child then ends at once, as the machine would) or it must end with no report at all (the
    // exchange refused it before any harm); a hang, a crash or a report that does not name the
    // client is a finding. The parent skips the step. Inside the child, further forbidden steps
    // simply run under the mark.
    class Guard {
    public:
        Guard() = default;
        Guard(Guard &&other) noexcept
            : m_skip(other.m_skip), m_child(other.m_child), m_mustBeNamed(other.m_mustBeNamed), m_name(std::move(other.m_name))
        {
            other.m_child = false;
        }
        ~Guard()
        {
            if (m_child) {
                std::fflush(stderr);
                _exit(m_mustBeNamed ? kChildUnnamed : kChildNothing);
            }
        }
        bool Skip() const { return m_skip; }

    private:
        friend class Explorer;
        bool m_skip = false;
        bool m_child = false;
        bool m_mustBeNamed = false;
        std::unique_ptr<kemu::ScopedCodeName> m_name;
    };
    static constexpr int kChildNamed = 90, kChildNothing = 91, kChildUnnamed = 92, kChildOther = 93;
    static constexpr int kMaxChildren = 8;
    static constexpr unsigned kChildSeconds = 2;

    // `stream`: the step's stream, for registration, unregistration and data (else kNoStream).
    static constexpr ULONG kNoStream = 0xFFFFFFFF;
    Guard Forbid(KIRQL level, KIRQL highest, ULONG stream, const std::string &what, bool mustBeNamed = false)
    {
        const bool locked = stream != kNoStream && StreamLockHeld(stream);
        const bool inside = stream != kNoStream && InCallbackOf(stream);
        const std::string why = level > highest ? " at IRQL " + std::to_string(level)
                                : locked        ? " under that stream's lock"
                                                : " from a callback of that stream";
        return ForbidIf(level > highest || locked || inside, what + why, mustBeNamed);
    }
    Guard ForbidIf(bool forbidden, const std::string &what, bool mustBeNamed)
    {
        Guard guard;
        if (!forbidden) {
            return guard;
        }
        const std::string marked = kForbidden + what;
        if (m_inChild) {
            guard.m_name = std::make_unique<kemu::ScopedCodeName>(marked);
            return guard;
        }
        guard.m_skip = true;
        if (m_children >= kMaxChildren) {
            return guard;
        }
        ++m_children;
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid < 0) {
            dvfuzz::Finding("%s: fork: %s\n", kTarget, std::strerror(errno));
        }
        if (pid == 0) {
            m_inChild = true;
            signal(SIGALRM, SIG_DFL);
            alarm(kChildSeconds);
            kemu::SetViolationObserver([](const kemu::Violation &v) {
                const bool named = v.detail.find(kForbidden) != std::string::npos;
                std::fprintf(stderr, "%s: %s: %s: %s\n", kTarget, named ? "accounted for" : "FINDING: in a forbidden step's child",
                             v.rule.c_str(), v.detail.c_str());
                std::fflush(stderr);
                _exit(named ? kChildNamed : kChildOther);
            });
            kemu::SetStopHandler([](const std::string &report) {
                const bool named = (report + kemu::CurrentCodeName()).find(kForbidden) != std::string::npos;
                std::fprintf(stderr, "%s: %s a stop: %s\n", kTarget, named ? "accounted for:" : "FINDING:", report.c_str());
                std::fflush(stderr);
                _exit(named ? kChildNamed : kChildOther);
            });
            guard.m_skip = false;
            guard.m_child = true;
            guard.m_mustBeNamed = mustBeNamed;
            guard.m_name = std::make_unique<kemu::ScopedCodeName>(marked);
            return guard;
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status) && (WEXITSTATUS(status) == kChildNamed || WEXITSTATUS(status) == kChildNothing)) {
            return guard;
        }
        const std::string ended = WIFEXITED(status) && WEXITSTATUS(status) == kChildUnnamed
                                      ? "ended without the verifier naming it"
                                  : WIFEXITED(status) && WEXITSTATUS(status) == kChildOther
                                      ? "led to a report that does not name the client (above)"
                                  : WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM
                                      ? "hung with no report (stopped after " + std::to_string(kChildSeconds) + " s)"
                                  : WIFSIGNALED(status) ? "died of signal " + std::to_string(WTERMSIG(status)) + " (its report above)"
                                                        : "exited with status " + std::to_string(WEXITSTATUS(status));
        dvfuzz::Finding("%s: FINDING: the forbidden step \"%s\" %s\n", kTarget, marked.c_str(), ended.c_str());
    }

    // Inside a callback of the stream other than data-complete (the exchange is inside the stream
    // there): registration, unregistration and data on it are forbidden, as under its lock.
    bool InCallbackOf(ULONG hStream) const
    {
        return std::find(m_inCallbackOf.begin(), m_inCallbackOf.end(), DEVIDIDI_STREAM_INDEX(hStream)) !=
               m_inCallbackOf.end();
    }

    // True when the calling thread holds the lock of the stream hStream selects.
    bool StreamLockHeld(ULONG hStream) const
    {
        return pDeVididiArray != nullptr && kemu::HoldsSpinLock(&pDeVididiArray[DEVIDIDI_STREAM_INDEX(hStream)].m_Lock);
    }

    Request &NewRequest(Client &c, std::string what)
    {
        m_requests.push_back(std::make_unique<Request>());
        Request &r = *m_requests.back();
        r.explorer = this;
        r.client = c.id;
        r.what = std::move(what);
        KeInitializeEvent(&r.event, NotificationEvent, FALSE);
        return r;
    }

    // A device-control request through the client's handle (the I/O manager's request, from
    // kernel or user mode), with the explorer's completion routine.
    // A device-control request: at PASSIVE_LEVEL through the client's handle (the I/O manager's
    // request, from kernel or user mode); above it, where only IoAllocateIrp may be called, a
    // request the client builds itself (buffered: one system buffer for input and output).
    NTSTATUS Send(Client &c, Request &r, PVOID in, ULONG inLength, PVOID out, ULONG outLength, bool fromUser)
    {
        if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
            PDEVICE_OBJECT control = kemu::FindDevice(u"\\Device\\DeVididi");
            if (control == nullptr || !c.handle.IsOpen()) {
                r.completions = 1; // never sent
                return STATUS_INVALID_HANDLE;
            }
            std::vector<uint8_t> buffer(std::max<size_t>({inLength, outLength, 1}));
            if (in != nullptr) {
                std::memcpy(buffer.data(), in, inLength);
            }
            r.in.swap(buffer);
            return SendAllocated(c, r, control, IRP_MJ_DEVICE_CONTROL, 0, inLength, outLength);
        }
        r.what += fromUser ? " from user mode" : "";
        kemu::ScopedCodeName name("client " + std::to_string(c.id) + ": sending " + r.what);
        const NTSTATUS status =
            c.handle.Send(r.code, in, inLength, out, outLength, &r.event, &r.iosb, &Explorer::Completion, &r, fromUser);
        if (status == STATUS_INVALID_HANDLE || status == STATUS_INSUFFICIENT_RESOURCES) {
            r.completions = 1; // never sent
        }
        return status;
    }

    // A request of IoAllocateIrp, freed by the explorer's completion routine; r.in is its buffer.
    NTSTATUS SendAllocated(Client &c, Request &r, PDEVICE_OBJECT device, UCHAR major, UCHAR minor, ULONG inLength,
                           ULONG outLength)
    {
        r.allocated = true;
        kemu::ScopedCodeName name("client " + std::to_string(c.id) + ": sending " + r.what);
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        if (irp == nullptr) {
            r.completions = 1;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->MinorFunction = minor;
        if (major == IRP_MJ_DEVICE_CONTROL) {
            irp->AssociatedIrp.SystemBuffer = r.in.data();
            next->Parameters.DeviceIoControl.IoControlCode = r.code;
            next->Parameters.DeviceIoControl.InputBufferLength = inLength;
            next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        }
        IoSetCompletionRoutine(irp, &Explorer::Completion, &r, TRUE, TRUE, TRUE);
        return IoCallDriver(device, irp);
    }

    void Register(Client &c, bool provider, ULONG hStream)
    {
        m_registrations.push_back(std::make_unique<Registration>());
        Registration &g = *m_registrations.back();
        g.client = c.id;
        g.provider = provider;
        g.hStream = hStream;
        g.hConsumer = reinterpret_cast<PVOID>(uintptr_t(0x1000 + m_registrations.size()));
        g.ringSize = m_in.Pick(kRingSizes);
        g.info.dwInfoType = STREAMINFO_VIDEO;
        if (pDeVididiArray != nullptr) {
            g.streamLock = &pDeVididiArray[DEVIDIDI_STREAM_INDEX(hStream)].m_Lock;
        }
        Request &r = NewRequest(c, g.Name());
        r.registration = &g;
        r.code = provider ? STREAMER_REGISTER_PROVIDER : STREAMER_REGISTER_CONSUMER;
        if (provider) {
            r.record.RegisterProvider = {hStream,        g.ringSize,          &Explorer::DataComplete,
                                         &Explorer::ProviderNotifyCallback, &g.info, sizeof g.info,
                                         &g.pfnProvideData, &g.pfnProviderNotify, &g};
        } else {
            r.record.RegisterConsumer = {hStream,    &Explorer::NewData,  &Explorer::ConsumerNotifyCallback,
                                         g.hConsumer, &g.pRing,           &g.nRingSize,
                                         &g.nTail,    &g.pfnDataProcessed, &g.pfnConsumerNotify,
                                         &g.hReturned};
        }
        // Its completion routine (or a request never sent) has settled the state already.
        Send(c, r, &r.record, sizeof r.record, nullptr, 0, false);
        if (r.completions != 0 && g.state == Registration::Asked) {
            g.state = Registration::Refused;
        }
    }

    Registration *PickRegistration(bool provider)
    {
        std::vector<Registration *> found;
        for (const auto &g : m_registrations) {
            if (g->provider == provider) {
                found.push_back(g.get());
            }
        }
        return found.empty() ? nullptr : found[m_in.Byte() % found.size()];
    }

    void Unregister(Client &c, bool provider, ULONG hStream)
    {
        Registration *g = provider ? nullptr : PickRegistration(false);
        Request &r = NewRequest(c, std::string("unregistration of the ") + (provider ? "provider" : "consumer") +
                                       " of stream " + Hex(hStream));
        r.code = provider ? STREAMER_UNREGISTER_PROVIDER : STREAMER_UNREGISTER_CONSUMER;
        if (provider) {
            r.record.UnRegisterProvider.hStream = hStream;
        } else {
            r.record.UnRegisterConsumer = {hStream, g != nullptr ? g->hConsumer : nullptr};
        }
        r.unregistration = true;
        Send(c, r, &r.record, sizeof r.record, nullptr, 0, false);
    }

    // At the completion of a successful unregistration, before its routine takes steps: from now on
    // no callback of the registration it took away may come.
    void Unregistered(const Request &r)
    {
        const bool provider = r.code == STREAMER_UNREGISTER_PROVIDER;
        const ULONG index = DEVIDIDI_STREAM_INDEX(r.record.UnRegisterProvider.hStream);
        for (const auto &g : m_registrations) {
            const bool same = g->provider == provider && DEVIDIDI_STREAM_INDEX(g->hStream) == index &&
                              (provider || g->hConsumer == r.record.UnRegisterConsumer.hConsumer);
            if (same && (g->state == Registration::Active || g->state == Registration::Asked)) {
                g->state = Registration::Unregistered;
            }
        }
    }

    // Sizes around a ring's: empty, one byte, one short of it, all of it, one more, two rings.
    ULONG SizeAround(ULONG ring)
    {
        const ULONG r = ring == 0 ? 64 : std::min<ULONG>(ring, 8192);
        const ULONG sizes[] = {0, 1, r - 1, r, r + 1, 2 * r, m_in.Byte()};
        return m_in.Pick(sizes);
    }

    // An entry point a registration handed out, on its own stream or another.
    void EntryPoint(Client &c, Kind kind, KIRQL level, const std::string &who)
    {
        const bool provider = kind == ProvideData || kind == ProviderNotify;
        Registration *g = PickRegistration(provider);
        if (g == nullptr) {
            return;
        }
        const uint8_t how = m_in.Byte();
        const ULONG hStream = how & 1 ? m_in.Pick(kStreams) : g->hStream;
        static const char *const kNames[] = {"OnProvideData", "provider OnNotify", "OnDataProcessed", "consumer OnNotify"};
        const std::string entry = std::string("the exchange's ") + kNames[kind - ProvideData] + " on stream " + Hex(hStream);
        auto step = Forbid(level, DISPATCH_LEVEL, kind == ProvideData ? hStream : kNoStream, who + "call " + entry);
        if (step.Skip()) {
            return;
        }
        STREAMER_NOTIFICATION_PARAM param{};
        param.adwWords[0] = m_in.Byte();
        param.adwWords[1] = m_in.Byte();
        const ULONG code = how & 2 ? m_in.Byte() % 48 : m_in.Byte() % 12;
        if (code == STREAMERNOTIFY_STREAM_INFO_CHANGED) {
            param.StreamInfo.pInfo = &g->info;
            param.StreamInfo.nSize = how & 4 ? LONG(sizeof g->info) : LONG(m_in.Byte() % sizeof g->info);
        }
        PSTREAMER_NOTIFICATION_PARAM pParam = how & 8 ? nullptr : &param;
        kemu::ScopedCodeName name(who + "calling " + entry);
        kemu::ScopedReturnCheck check(entry);
        switch (kind) {
        case ProvideData:
            if (g->pfnProvideData != nullptr) {
                m_blocks.emplace_back(SizeAround(g->ringSize), uint8_t(m_steps));
                m_provideLevels.push_back(level);
                g->pfnProvideData(hStream, m_blocks.back().data(), ULONG(m_blocks.back().size()));
                m_provideLevels.pop_back();
            }
            break;
        case ProviderNotify:
            if (g->pfnProviderNotify != nullptr) {
                ++m_relaying;
                g->pfnProviderNotify(hStream, code, pParam);
                --m_relaying;
            }
            break;
        case DataProcessed:
            if (g->pfnDataProcessed != nullptr) {
                const ULONG sizes[] = {g->told, g->told / 2, SizeAround(g->nRingSize)};
                const ULONG size = m_in.Pick(sizes);
                g->told -= std::min(g->told, size);
                g->pfnDataProcessed(hStream, how & 16 ? PickRegistration(false)->hConsumer : g->hConsumer, size);
            }
            break;
        case ConsumerNotify:
            if (g->pfnConsumerNotify != nullptr) {
                ++m_relaying;
                g->pfnConsumerNotify(hStream, g->hConsumer, code, pParam);
                --m_relaying;
            }
            break;
        default:
            break;
        }
    }

    // Every other control code, from kernel or user mode, with any buffer shape.
    void Control(Client &c, KIRQL level, const std::string &who)
    {
        static constexpr ULONG kCodes[] = {STREAMER_IOCTL_UPDATE_DEBUG_LEVELS, STREAMER_IOCTL_PRINT_STATUS,
                                           STREAMER_IOCTL_RESYNC_OAPI_CONSUMER, STREAMER_IOCTL_IS_ORBDRV_ACTIVE,
                                           STREAMER_IOCTL_PRINT_STREAMS,        STREAMER_IOCTL_GET_BANDWIDTH,
                                           STREAMER_REGISTER_PROVIDER,          STREAMER_UNREGISTER_PROVIDER,
                                           STREAMER_REGISTER_CONSUMER,          STREAMER_UNREGISTER_CONSUMER,
                                           0x00222014};
        const uint8_t how = m_in.Byte();
        const ULONG code = m_in.Pick(kCodes);
        const bool fromUser = how & 1;
        if ((code == STREAMER_REGISTER_PROVIDER || code == STREAMER_REGISTER_CONSUMER) && !fromUser) {
            return; // a kernel-mode record's pointers are trusted: registrations are steps of their own
        }
        auto step = Forbid(level, PASSIVE_LEVEL, kNoStream, who + "control request " + Hex(code));
        if (step.Skip()) {
            return;
        }
        Request &r = NewRequest(c, "control request " + Hex(code));
        r.code = code;
        // Buffer shapes: none, short, exact, large, output only.
        constexpr ULONG kNatural = 12;
        const ULONG inLengths[] = {0, kNatural - 1, kNatural, kNatural + 64, 0};
        const ULONG outLengths[] = {0, 0, kNatural, kNatural + 64, kNatural};
        const int shape = (how >> 1) % 5;
        ULONG inLength = inLengths[shape];
        ULONG outLength = outLengths[shape];
        if (code == STREAMER_IOCTL_GET_BANDWIDTH) {
            outLength = std::min<ULONG>(outLength, 3); // the measurement's timing loop is not for fuzzing
        }
        r.in.assign(std::max<ULONG>(inLength, 1), 0);
        for (ULONG i = 0; i < inLength && i < 12; ++i) {
            r.in[i] = m_in.Byte() % 8;
        }
        r.out.assign(std::max<ULONG>(outLength, 1), 0xEE);
        Send(c, r, inLength ? r.in.data() : nullptr, inLength, outLength ? r.out.data() : nullptr, outLength, fromUser);
    }

    // Any other major function, and plug-and-play requests of any minor function, to any device
    // object of the driver. The minor functions only the plug-and-play manager sends go to the
    // function devices through AddOrRemoveDevice instead.
    void OtherRequest(Client &c, KIRQL level, const std::string &who)
    {
        static constexpr UCHAR kMajors[] = {IRP_MJ_PNP,           IRP_MJ_PNP,    IRP_MJ_READ,     IRP_MJ_WRITE,
                                            IRP_MJ_CLEANUP,       IRP_MJ_POWER,  IRP_MJ_SHUTDOWN, IRP_MJ_SYSTEM_CONTROL,
                                            IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_QUERY_INFORMATION};
        const UCHAR major = m_in.Pick(kMajors);
        const UCHAR minor = m_in.Byte() % 0x19;
        std::vector<PDEVICE_OBJECT> devices;
        PDEVICE_OBJECT control = kemu::FindDevice(u"\\Device\\DeVididi");
        if (control != nullptr && !(major == IRP_MJ_PNP && Avoided("control-pnp"))) {
            devices.push_back(control);
        }
        const bool pnpManagersOwn = major == IRP_MJ_PNP && (minor == IRP_MN_START_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
                                                           minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL);
        for (PDEVICE_OBJECT pdo : m_pdos) {
            if (pdo->AttachedDevice != nullptr && !pnpManagersOwn) {
                devices.push_back(pdo->AttachedDevice);
            }
        }
        if (devices.empty()) {
            return;
        }
        const size_t pick = m_in.Byte() % devices.size();
        PDEVICE_OBJECT device = devices[pick];
        const std::string target = device == control ? "the control device" : "a function device";
        const std::string what = "major function " + Hex(major) + (major == IRP_MJ_PNP ? " minor " + Hex(minor) : "") +
                                 " to " + target;
        auto step = Forbid(level, PASSIVE_LEVEL, kNoStream, who + what);
        if (step.Skip()) {
            return;
        }
        Request &r = NewRequest(c, what);
        SendAllocated(c, r, device, major, major == IRP_MJ_PNP ? minor : 0, 0, 0);
    }

    void AddDevice()
    {
        if (m_driver == nullptr || !kemu::DriverIsLoaded(m_driver)) {
            return;
        }
        kemu::ScopedCodeName name("the plug-and-play manager adding a function device");
        PDEVICE_OBJECT pdo = kemu::CreatePdo(u"DeVididi");
        m_pdos.push_back(pdo);
        // A device beside another, or added while a removal (and its unload) runs: the unload deletes
        // it still attached, as it deletes every device of the driver.
        m_twoDevices = m_twoDevices || m_pdos.size() >= 2 || m_removing > 0;
        kemu::PnpAddDevice(m_driver, pdo);
    }

    void RemoveDevice()
    {
        if (m_pdos.empty()) {
            return;
        }
        kemu::ScopedCodeName name("the plug-and-play manager removing the newest function device");
        PDEVICE_OBJECT pdo = m_pdos.back();
        m_pdos.pop_back();
        ++m_removing;
        kemu::PnpRemoveDevice(pdo);
        --m_removing;
    }

    // Every device removed; the driver object goes once no client holds a handle any more (the
    // system keeps a driver whose device still has open files).
    void Unload()
    {
        while (!m_pdos.empty()) {
            RemoveDevice();
        }
        const bool open = std::any_of(m_clients.begin(), m_clients.end(),
                                      [](const std::unique_ptr<Client> &c) { return c->handle.IsOpen(); });
        if (m_driver != nullptr && !open) {
            kemu::ScopedCodeName name("the system unloading the driver");
            PDRIVER_OBJECT driver = m_driver;
            m_driver = nullptr;
            kemu::UnloadDriver(driver);
            m_unloaded = true;
        }
        NoteUnload();
    }

    // Once the platform has unloaded the driver, no callback may come.
    void NoteUnload()
    {
        if (m_driver != nullptr && !kemu::DriverIsLoaded(m_driver)) {
            m_unloaded = true;
        }
    }

    // Raises the level (to DISPATCH_LEVEL, or above it, where every call is forbidden) or lowers it
    // (below the level the client was called at: forbidden), and runs a step there.
    void AtOtherLevel(Client &c, KIRQL level, const std::string &who)
    {
        static constexpr KIRQL kLevels[] = {DISPATCH_LEVEL, DISPATCH_LEVEL, PASSIVE_LEVEL, 27};
        const KIRQL to = m_in.Pick(kLevels);
        const KIRQL entry = m_entryLevels.empty() ? PASSIVE_LEVEL : m_entryLevels.back();
        if (to >= level) {
            const KIRQL old = KfRaiseIrql(to);
            ++m_depth;
            Step(c);
            --m_depth;
            KfLowerIrql(old);
        } else if (to >= entry) {
            KfLowerIrql(to);
            ++m_depth;
            Step(c);
            --m_depth;
            KfRaiseIrql(level);
        } else {
            // Forbidden always; a kernel sees it only when the thread holds a spin lock (lowered below
            // DISPATCH_LEVEL holding one). Raised back before the callback returns, it leaves no trace
            // otherwise: the step must then end with no report, or one naming it.
            auto step = ForbidIf(true, who + "lower the level to " + std::to_string(to) + ", below the IRQL " +
                                           std::to_string(entry) + " it was called at",
                                 kemu::HeldSpinLocks() != 0);
            if (!step.Skip()) {
                KfLowerIrql(to);
                KfRaiseIrql(level);
            }
        }
    }

    // A wait for one of the client's requests: without a time-out once its event is set, else
    // polled; at DISPATCH_LEVEL without a time-out (forbidden: the verifier must name it).
    void WaitStep(Client &c, KIRQL level, const std::string &who)
    {
        std::vector<Request *> mine;
        for (const auto &r : m_requests) {
            if (r->client == c.id && !r->allocated) {
                mine.push_back(r.get());
            }
        }
        if (mine.empty()) {
            return;
        }
        Request &r = *mine[m_in.Byte() % mine.size()];
        // The event is set once the request's completion routines have run, not when they start.
        const bool forever = level >= DISPATCH_LEVEL || KeReadStateEvent(&r.event) != 0;
        auto step = Forbid(level, forever ? APC_LEVEL : DISPATCH_LEVEL, kNoStream, who + "wait for " + r.what, true);
        if (step.Skip()) {
            return;
        }
        kemu::ScopedCodeName name(who + "waiting for its " + r.what);
        LARGE_INTEGER zero{};
        KeWaitForSingleObject(&r.event, Executive, KernelMode, FALSE, forever ? nullptr : &zero);
    }

    // ---- What the exchange and the I/O manager call ---------------------------------------------

    // The contract, checked at the start of every callback.
    void Check(Callback callback, const Registration *g, const std::string &detail)
    {
        const Expected &e = Contract(callback);
        const KIRQL level = KeGetCurrentIrql();
        const std::string name = (g != nullptr ? g->Name() : std::string("an unknown registration")) + ": " + e.name +
                                 (detail.empty() ? "" : " (" + detail + ")");
        auto fail = [&](const std::string &what) {
            const std::string code = kemu::CurrentCodeName();
            dvfuzz::Finding("%s: FINDING: the exchange broke the client contract: %s %s [in %s]\n", kTarget,
                            name.c_str(), what.c_str(), code.empty() ? "the top level" : code.c_str());
        };
        if (g == nullptr) {
            fail("came for a context or handle no registration has");
        }
        const KIRQL expected = e.level == kProvidersLevel ? (m_provideLevels.empty() ? level : m_provideLevels.back()) : e.level;
        if (e.level == kProvidersLevel && m_provideLevels.empty()) {
            fail("came outside every provider's data call");
        }
        if (level != expected) {
            fail("came at IRQL " + std::to_string(level) + "; the contract says IRQL " + std::to_string(expected));
        }
        const bool held = g->streamLock != nullptr && kemu::HoldsSpinLock(g->streamLock);
        if (e.streamLock == Lock::Held && !held) {
            fail("came without its stream's lock held; the contract says under it");
        }
        if (e.streamLock == Lock::Free && held) {
            fail("came with its stream's lock held; the contract says after it is released");
        }
        if (g->state == Registration::Unregistered) {
            fail("came after its unregistration had completed");
        }
        if (g->state == Registration::Refused) {
            fail("came although its registration was refused");
        }
        if (m_unloaded) {
            fail("came after the driver's unload had completed");
        }
    }

    Registration *Consumer(PVOID hConsumer)
    {
        for (const auto &g : m_registrations) {
            if (!g->provider && g->hConsumer == hConsumer) {
                return g.get();
            }
        }
        return nullptr;
    }

    // A callback's, completion routine's or DPC's own steps, one level deeper, under a name that
    // says whose code runs; it must return at the level it was called at.
    void Nested(Client &c, const std::string &what)
    {
        kemu::ScopedCodeName name("client " + std::to_string(c.id) + ": " + what);
        kemu::ScopedReturnCheck check("client " + std::to_string(c.id) + "'s " + what);
        ++m_depth;
        m_entryLevels.push_back(KeGetCurrentIrql());
        for (int i = 0; i < kStepsPerCallback && Step(c); ++i) {
        }
        m_entryLevels.pop_back();
        --m_depth;
    }
    void Nested(const Registration &g, const std::string &callback, bool insideStream = true)
    {
        if (insideStream) {
            m_inCallbackOf.push_back(DEVIDIDI_STREAM_INDEX(g.hStream));
        }
        Nested(*m_clients[size_t(g.client - 1)], callback + " of stream " + Hex(g.hStream));
        if (insideStream) {
            m_inCallbackOf.pop_back();
        }
    }

    static Explorer *g_current;
    static bool g_verbose; // DV_FUZZ_VERBOSE set: each step is shown on stderr
    // DV_EXPLORE_AVOID lists compositions not to make, so that a run can look past a finding whose
    // fix is still to come: "control-pnp" (no plug-and-play request to the control device),
    // "nested-removal" (no device removal from a callback, completion routine or DPC),
    // "dispatch-registration" (no registration or unregistration above PASSIVE_LEVEL).
    static bool Avoided(const char *what)
    {
        static const std::string avoid = std::getenv("DV_EXPLORE_AVOID") ? std::getenv("DV_EXPLORE_AVOID") : "";
        return avoid.find(what) != std::string::npos;
    }

    static VOID STREAMER_CALL NewData(ULONG dwSize, PVOID pContext)
    {
        Explorer &x = *g_current;
        Registration *g = x.Consumer(pContext);
        x.Check(Callback::NewData, g, std::to_string(dwSize) + " bytes");
        if (dwSize > g->nRingSize) {
            dvfuzz::Finding("%s: FINDING: %s was told of %lu bytes, more than its ring of %lu\n", kTarget,
                            g->Name().c_str(), static_cast<unsigned long>(dwSize), static_cast<unsigned long>(g->nRingSize));
        }
        if (g->pRing != nullptr && g->nRingSize != 0) {
            volatile UCHAR first = g->pRing[0];
            volatile UCHAR last = g->pRing[g->nRingSize - 1]; // the ring must still be there
            (void)first;
            (void)last;
        }
        g->told += dwSize;
        x.Nested(*g, "new-data callback");
    }

    static VOID STREAMER_CALL ConsumerNotifyCallback(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID pContext)
    {
        Explorer &x = *g_current;
        Registration *g = x.Consumer(pContext);
        // A code relayed through OnNotify is a notification like any other, whatever its number.
        const Callback c = x.m_relaying != 0                               ? Callback::ConsumerNotify
                           : dwType == STREAMERNOTIFY_LOST_BYTES        ? Callback::LostBytes
                           : dwType == STREAMERNOTIFY_CONSUMER_DELETED ? Callback::ConsumerDeleted
                                                                       : Callback::ConsumerNotify;
        x.Check(c, g, "code " + std::to_string(dwType));
        if (c == Callback::LostBytes && pParam == nullptr) {
            dvfuzz::Finding("%s: FINDING: %s was told of lost bytes without a parameter block\n", kTarget, g->Name().c_str());
        }
        x.Nested(*g, "notify callback (code " + std::to_string(dwType) + ")");
    }

    static VOID STREAMER_CALL ProviderNotifyCallback(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam,
                                                     PVOID pContext)
    {
        (void)hConsumer;
        (void)pParam;
        Explorer &x = *g_current;
        auto *g = static_cast<Registration *>(pContext);
        x.Check(dwType == STREAMERNOTIFY_PROVIDER_DELETED && x.m_relaying == 0 ? Callback::ProviderDeleted
                                                                              : Callback::ProviderNotify,
                g,
                "code " + std::to_string(dwType));
        x.Nested(*g, "provider notify callback (code " + std::to_string(dwType) + ")");
    }

    static VOID STREAMER_CALL DataComplete(PUCHAR pProviderBuffer, PVOID pContext)
    {
        (void)pProviderBuffer;
        Explorer &x = *g_current;
        auto *g = static_cast<Registration *>(pContext);
        x.Check(Callback::DataComplete, g, "");
        x.Nested(*g, "data-complete callback", false);
    }

    static NTSTATUS NTAPI Completion(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto &r = *static_cast<Request *>(context);
        Explorer &x = *r.explorer;
        if (++r.completions > 1) {
            dvfuzz::Finding("%s: FINDING: client %d's request (%s) was completed a second time\n", kTarget, r.client,
                            r.what.c_str());
        }
        const NTSTATUS status = irp->IoStatus.Status;
        if (r.unregistration && status == STATUS_SUCCESS) {
            x.Unregistered(r);
        }
        if (Registration *g = r.registration) {
            if (status == STATUS_SUCCESS && g->state == Registration::Asked) {
                g->state = Registration::Active;
            } else if (status != STATUS_SUCCESS && g->state == Registration::Asked) {
                g->state = Registration::Refused;
            }
        }
        x.Nested(*x.m_clients[size_t(r.client - 1)], "completion routine of its " + r.what);
        if (r.allocated) {
            IoFreeIrp(irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        return STATUS_SUCCESS; // the sender's own routine: there is no location above to mark pending
    }

    static VOID NTAPI DpcRoutine(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto &c = *static_cast<Client *>(context);
        c.explorer->Nested(c, "DPC");
    }

public:
    static void SetCurrent(Explorer *x) { g_current = x; }

private:
    Reader &m_in;
    size_t m_size;
    PDRIVER_OBJECT m_driver = nullptr;
    std::vector<PDEVICE_OBJECT> m_pdos;
    std::vector<std::unique_ptr<Client>> m_clients;
    std::deque<std::unique_ptr<Registration>> m_registrations;
    std::deque<std::unique_ptr<Request>> m_requests;
    std::deque<std::vector<UCHAR>> m_blocks;
    std::vector<KIRQL> m_provideLevels;
    int m_steps = 0;
    int m_depth = 0;
    bool m_unloaded = false;
    bool m_twoDevices = false;
    int m_removing = 0; // removals under way, nested in callbacks of one another
    // OnNotify calls under way: a DELETED code then is one a client relays, not the unload's.
    int m_relaying = 0;
    std::vector<ULONG> m_inCallbackOf; // streams whose callbacks (data-complete aside) are on the stack
    std::vector<KIRQL> m_entryLevels;  // the level each callback, routine or DPC on the stack was called at
    bool m_inChild = false;
    int m_children = 0;
};

Explorer *Explorer::g_current = nullptr;
bool Explorer::g_verbose = std::getenv("DV_FUZZ_VERBOSE") != nullptr;

} // namespace

// A sanitizer's report (a crash included) ends with its summary line: after it, which step of which
// client was running.
extern "C" void __sanitizer_report_error_summary(const char *summary)
{
    const std::string code = kemu::CurrentCodeName();
    std::fprintf(stderr, "%s\n%s: FINDING: the process died while running: %s\n", summary, kTarget,
                 code.empty() ? "the top level" : code.c_str());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kemu::ResetCore();
    kemu::ResetIo();
    kemu::ResetRegistry();
    kemu::SetDpcMode(kemu::DpcMode::Manual);
    // A hang is a finding: the unload's waits and every other wait end within the watchdog's limit.
    kemu::SetWaitWatchdog(kWatchdog);
    kemu::SetUnloadWaitLimit(kWatchdog);
    kemu::SetSpinWatchdog(kWatchdog);
    // The driver's own blocks in special pool: a read or write after a free stops at once, naming
    // the code that made it, instead of showing as a changed pattern at some later reset.
    kemu::SetSpecialPoolTag(TRACED_POOL_TAG);
    kemu::SetStopHandler([](const std::string &report) {
        std::fprintf(stderr, "%s: FINDING: a stop: %s\n", kTarget, report.c_str());
        std::fflush(stderr);
        std::abort();
    });
    static dvfuzz::ViolationLog violations;
    violations.Start();
    {
        Reader in(data, size);
        Explorer explorer(in, size);
        Explorer::SetCurrent(&explorer);
        explorer.Run();
        explorer.Finish();
        Explorer::SetCurrent(nullptr);
        kemu::ResetDpcs();
        kemu::ResetIo(); // a request, device or file left over is reported here
        violations.FailOnViolations(kTarget, size, [&explorer](const kemu::Violation &v) { return explorer.Accounted(v); });
    }
    kemu::SetStopHandler(nullptr);
    return 0;
}
