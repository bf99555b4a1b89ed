// Device-control requests of any code, method bits, lengths and content, sent to the driver in one
// of four states (no device, device added, streams registered, device removed with the handle
// open), and calls of the entry points that registrations hand out. A kernel-mode record's pointers
// are trusted, so each is null or valid (the stream information block: null, exactly its declared
// size, or the whole record); a user-mode record holds wild pointers or ones into the run's
// variables, which must stay unwritten, and never changes a registration. Input: byte 0 picks the
// state (low 2 bits) and every module's debug level (the rest, mod 9); then operations until the
// bytes run out (see Operation).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "client.h"
#include "devididi.h"
#include "fuzz_support.h"
#include "platform.h"
#include "script.h"
#include "streamer.h"

namespace {

constexpr int kMaxOperations = 64;

using dvfuzz::Reader;

// Where the driver writes what a registration hands back; must outlive the run.
struct Handed {
    STREAMER_PROVIDE_DATA_ENTRY pfnProvideData = nullptr;
    STREAMER_PROVIDER_NOTIFY_ENTRY pfnProviderNotify = nullptr;
    PUCHAR pRing = nullptr;
    ULONG nRingSize = 0;
    ULONG nTail = 0;
    STREAMER_DATA_PROCESSED_ENTRY pfnDataProcessed = nullptr;
    STREAMER_CONSUMER_NOTIFY_ENTRY pfnConsumerNotify = nullptr;
    PVOID hConsumer = nullptr;
    bool Untouched() const
    {
        return pfnProvideData == nullptr && pfnProviderNotify == nullptr && pRing == nullptr && nRingSize == 0 &&
               nTail == 0 && pfnDataProcessed == nullptr && pfnConsumerNotify == nullptr && hConsumer == nullptr;
    }
};

// Who is registered where: each stream's provider record and number of consumers.
std::vector<std::pair<const void *, int>> Registrations()
{
    std::vector<std::pair<const void *, int>> found;
    if (pDeVididiArray != nullptr) {
        for (int i = 0; i < STREAMER_NUM_STREAMS; ++i) {
            found.emplace_back(pDeVididiArray[i].m_pProviderInfo, int(pDeVididiArray[i].m_Consumers.m_nCount));
        }
    }
    return found;
}

// A request that may stay pending: its event and status block live until the end of the run.
struct Sent {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    std::vector<uint8_t> out;
};

VOID STREAMER_CALL ProvideDataComplete(PUCHAR, PVOID) {}
VOID STREAMER_CALL ProviderNotify(PVOID, ULONG, PSTREAMER_NOTIFICATION_PARAM, PVOID) {}
VOID STREAMER_CALL NewDataReady(ULONG, PVOID) {}
// The published information block must be readable for as long as it says.
VOID STREAMER_CALL ConsumerNotify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID)
{
    if (dwType == STREAMERNOTIFY_STREAM_INFO_CHANGED && pParam != nullptr && pParam->StreamInfo.pInfo != nullptr) {
        const auto *bytes = static_cast<const volatile UCHAR *>(pParam->StreamInfo.pInfo);
        const LONG size = pParam->StreamInfo.nSize < 4096 ? pParam->StreamInfo.nSize : 4096;
        for (LONG i = 0; i < size; ++i) {
            (void)bytes[i];
        }
    }
}

constexpr ULONG kCodes[] = {STREAMER_IOCTL_UPDATE_DEBUG_LEVELS, STREAMER_IOCTL_PRINT_STATUS,
                            STREAMER_REGISTER_PROVIDER,         STREAMER_UNREGISTER_PROVIDER,
                            STREAMER_REGISTER_CONSUMER,         STREAMER_UNREGISTER_CONSUMER,
                            STREAMER_IOCTL_RESYNC_OAPI_CONSUMER, STREAMER_IOCTL_IS_ORBDRV_ACTIVE,
                            STREAMER_IOCTL_PRINT_STREAMS,        STREAMER_IOCTL_GET_BANDWIDTH,
                            0x00222014};

class Run {
public:
    explicit Run(Reader &in) : m_in(in) {}
    void Execute()
    {
        const uint8_t setup = m_in.Byte();
        for (const std::string &module : sim::ModuleNames()) {
            sim::Machine::SetLevel(module, (setup >> 2) % 9);
        }
        if (m_machine.Load() != STATUS_SUCCESS) {
            return;
        }
        const int state = setup & 3;
        if (state >= 1) {
            m_machine.AddDevice();
        }
        if (m_device.Open() != STATUS_SUCCESS) {
            return;
        }
        if (state == 2) {
            SendRegistration(STREAMER_REGISTER_PROVIDER, Valid(true, 2, 1000));
            SendRegistration(STREAMER_REGISTER_CONSUMER, Valid(false, 2, 0x10));
            SendRegistration(STREAMER_REGISTER_CONSUMER, Valid(false, 6, 0x20)); // waits: no provider
        }
        if (state == 3) {
            m_machine.RemoveDevice(); // the only device: the driver unloads, the handle stays open
        }
        for (int n = 0; n < kMaxOperations && !m_in.Empty(); ++n) {
            Operation();
        }
    }
    // The clients close their handles and the system takes the driver away.
    void Finish()
    {
        m_device.Close();
        m_machine.Unload();
    }
private:
    // A control request six times in eight (from user mode when the top bit is set), else an entry-point call.
    void Operation()
    {
        const uint8_t op = m_in.Byte();
        if (op % 8 < 6) {
            Request((op & 0x80) != 0);
        } else if (op % 8 == 6) {
            ProvideCall();
        } else {
            ConsumerCall();
        }
    }
    void Request(bool fromUser)
    {
        const uint8_t pick = m_in.Byte();
        ULONG code;
        if (pick < 224) {
            code = kCodes[pick % (sizeof kCodes / sizeof kCodes[0])];
            if (pick & 0x80) {
                code = (code & ~ULONG(3)) | (m_in.Byte() & 3); // other method bits
            }
        } else {
            code = m_in.U32();
        }
        const ULONG inLength = m_in.Byte();
        ULONG outLength = m_in.Byte();
        if (code == STREAMER_IOCTL_GET_BANDWIDTH && inLength >= sizeof(STREAMER_BANDWIDTH_PARAM)) {
            // Never let the measurement's slow timing loop run: the buffers are judged before it.
            outLength %= sizeof(ULONG);
        }
        std::vector<uint8_t> in(std::max<size_t>(inLength, sizeof(STREAMER_SRV_PARAM)));
        const ULONG function = code & ~ULONG(3);
        const bool wild = fromUser && (m_in.Byte() & 1);
        const size_t handedBefore = m_handed.size();
        if (!wild && (function == STREAMER_REGISTER_PROVIDER || function == STREAMER_REGISTER_CONSUMER)) {
            STREAMER_SRV_PARAM record = function == STREAMER_REGISTER_PROVIDER ? FuzzedProvider() : FuzzedConsumer();
            std::memcpy(in.data(), &record, sizeof record);
            m_in.Fill(in.data() + sizeof record, in.size() - sizeof record);
        } else {
            m_in.Fill(in.data(), inLength);
        }
        if (!fromUser) {
            Send(code, in, inLength, outLength);
            return;
        }
        const auto before = Registrations();
        const NTSTATUS status = Send(code, in, inLength, outLength, true);
        const bool wrote = !std::all_of(m_handed.begin() + ptrdiff_t(handedBefore), m_handed.end(),
                                         [](const std::unique_ptr<Handed> &h) { return h->Untouched(); });
        const char *finding = status == STATUS_PENDING   ? "was kept pending"
                              : Registrations() != before ? "changed a registration"
                              : wrote                     ? "had the driver write through its record"
                                                          : nullptr;
        if (finding != nullptr) {
            dvfuzz::Finding("fuzz_control: a user-mode request with code 0x%08X %s\n", unsigned(code), finding);
        }
    }
    NTSTATUS Send(ULONG code, std::vector<uint8_t> &in, ULONG inLength, ULONG outLength, bool fromUser = false)
    {
        m_sent.push_back(std::make_unique<Sent>());
        Sent &sent = *m_sent.back();
        sent.out.assign(outLength, 0xEE);
        return m_device.Send(code, inLength ? in.data() : nullptr, inLength, outLength ? sent.out.data() : nullptr,
                             outLength, &sent.event, &sent.iosb, nullptr, nullptr, fromUser);
    }
    void SendRegistration(ULONG code, const STREAMER_SRV_PARAM &record)
    {
        std::vector<uint8_t> in(sizeof record);
        std::memcpy(in.data(), &record, sizeof record);
        Send(code, in, ULONG(in.size()), 0);
    }
    Handed &NewHanded()
    {
        m_handed.push_back(std::make_unique<Handed>());
        return *m_handed.back();
    }
    // A registration record with every pointer valid; handed-back values land in a fresh Handed.
    STREAMER_SRV_PARAM Valid(bool provider, ULONG hStream, uintptr_t sizeOrHandle)
    {
        STREAMER_SRV_PARAM p{};
        Handed &h = NewHanded();
        if (provider) {
            p.RegisterProvider = {hStream, ULONG(sizeOrHandle), ProvideDataComplete, ProviderNotify,
                                  InfoBlock(sizeof(STREAMER_STREAM_INFO)), sizeof(STREAMER_STREAM_INFO),
                                  &h.pfnProvideData, &h.pfnProviderNotify, &h};
        } else {
            p.RegisterConsumer = {hStream, NewDataReady, ConsumerNotify, reinterpret_cast<PVOID>(sizeOrHandle),
                                  &h.pRing, &h.nRingSize, &h.nTail, &h.pfnDataProcessed, &h.pfnConsumerNotify,
                                  &h.hConsumer};
        }
        return p;
    }
    // Each bit of the next byte nulls one pointer field, at the offsets given in bit order.
    template <typename R, size_t N>
    void NullSome(R &r, const size_t (&offsets)[N])
    {
        const uint8_t nulls = m_in.Byte();
        for (size_t i = 0; i < N; ++i) {
            if (nulls >> i & 1) {
                std::memset(reinterpret_cast<char *>(&r) + offsets[i], 0, sizeof(void *));
            }
        }
    }
    STREAMER_SRV_PARAM FuzzedProvider()
    {
        using R = decltype(STREAMER_SRV_PARAM::RegisterProvider);
        const ULONG hStream = m_in.U32();
        STREAMER_SRV_PARAM p = Valid(true, hStream, RingSize());
        R &r = p.RegisterProvider;
        NullSome(r, {offsetof(R, pfnProvideDataComplete), offsetof(R, pfnNotify), offsetof(R, ppfnProvideData),
                     offsetof(R, ppfnNotify)});
        const uint8_t info = m_in.Byte();
        switch (info % 4) {
        case 0: // null, with any size
            r.pStreamInfo = nullptr;
            r.nStreamInfoSize = LONG(m_in.U32());
            break;
        case 1: // a block of exactly its declared size, shorter or longer than the record
            r.nStreamInfoSize = info >> 2;
            r.pStreamInfo = InfoBlock(size_t(r.nStreamInfoSize), true);
            break;
        default: // the whole record, with fuzzed content
            m_in.Fill(r.pStreamInfo, sizeof(STREAMER_STREAM_INFO));
            break;
        }
        r.pContext = reinterpret_cast<PVOID>(uintptr_t(m_in.U32()));
        return p;
    }
    STREAMER_SRV_PARAM FuzzedConsumer()
    {
        using R = decltype(STREAMER_SRV_PARAM::RegisterConsumer);
        const ULONG hStream = m_in.U32();
        const uint8_t handle = m_in.Byte(); // few distinct handles, so that they collide
        STREAMER_SRV_PARAM p = Valid(false, hStream, handle % 8 == 7 ? m_in.U32() : handle % 8);
        NullSome(p.RegisterConsumer, {offsetof(R, pfnNewDataReady), offsetof(R, pfnNotify), offsetof(R, ppBuffer),
                                      offsetof(R, pdwBufferSize), offsetof(R, pdwTail), offsetof(R, ppfnDataProcessed),
                                      offsetof(R, ppfnNotify), offsetof(R, phConsumer)});
        return p;
    }
    // Small rings mostly, now and then sizes the pool refuses; sizes between only make runs slow.
    ULONG RingSize()
    {
        const uint32_t size = m_in.U32();
        return size > 65536 && size <= uint32_t(kemu::kPoolMaxAllocation) ? size % 65536 : size;
    }
    // Exactly size bytes: what lies behind belongs to nobody, so a read past the size shows.
    PVOID InfoBlock(size_t size, bool fuzzed = false)
    {
        m_blocks.push_back(std::make_unique<uint8_t[]>(size == 0 ? 1 : size));
        if (fuzzed) {
            m_in.Fill(m_blocks.back().get(), size);
        }
        return m_blocks.back().get();
    }
    Handed *PickHanded() { return m_handed.empty() ? nullptr : m_handed[m_in.Byte() % m_handed.size()].get(); }
    // The provider's entry points, at passive or dispatch level, on any stream handle.
    void ProvideCall()
    {
        Handed *h = PickHanded();
        const uint8_t how = m_in.Byte();
        const ULONG hStream = how & 0x80 ? m_in.U32() : 2;
        KIRQL old = KfRaiseIrql(how & 1 ? DISPATCH_LEVEL : PASSIVE_LEVEL);
        if (h != nullptr && h->pfnProvideData != nullptr && !(how & 2)) {
            std::vector<UCHAR> block(m_in.U16() % 4096);
            m_in.Fill(block.data(), block.size());
            h->pfnProvideData(hStream, block.data(), ULONG(block.size()));
        } else if (h != nullptr && h->pfnProviderNotify != nullptr) {
            STREAMER_NOTIFICATION_PARAM param{};
            const ULONG type = m_in.Byte() % 16;
            if (type == STREAMERNOTIFY_STREAM_INFO_CHANGED) {
                param.StreamInfo.nSize = LONG(m_in.Byte() % 32);
                param.StreamInfo.pInfo = InfoBlock(size_t(param.StreamInfo.nSize), true);
            } else {
                m_in.Fill(&param, sizeof param);
            }
            h->pfnProviderNotify(hStream, type, how & 4 ? nullptr : &param);
        }
        KfLowerIrql(old);
    }
    // A consumer's entry points: processed bytes or a notification, for a handle it may not own.
    void ConsumerCall()
    {
        Handed *h = PickHanded();
        const uint8_t how = m_in.Byte();
        const ULONG hStream = how & 0x80 ? m_in.U32() : 2;
        PVOID hConsumer = reinterpret_cast<PVOID>(uintptr_t(how & 0x40 ? m_in.U32() : (how >> 3) % 8));
        KIRQL old = KfRaiseIrql(how & 1 ? DISPATCH_LEVEL : PASSIVE_LEVEL);
        if (h != nullptr && h->pfnDataProcessed != nullptr && !(how & 2)) {
            h->pfnDataProcessed(hStream, hConsumer, m_in.U32());
        } else if (h != nullptr && h->pfnConsumerNotify != nullptr) {
            STREAMER_NOTIFICATION_PARAM param{};
            m_in.Fill(&param, sizeof param);
            h->pfnConsumerNotify(hStream, hConsumer, m_in.Byte() % 16, how & 4 ? nullptr : &param);
        }
        KfLowerIrql(old);
    }
    Reader &m_in;
    sim::Machine m_machine;
    sim::DeviceHandle m_device;
    std::deque<std::unique_ptr<Sent>> m_sent;
    std::deque<std::unique_ptr<Handed>> m_handed;
    std::deque<std::unique_ptr<uint8_t[]>> m_blocks;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kemu::ResetCore();
    kemu::ResetIo();
    kemu::ResetRegistry();
    static dvfuzz::ViolationLog violations;
    violations.Start();
    {
        Reader in(data, size);
        Run run(in);
        run.Execute();
        run.Finish();
        // Everything the driver allocated must be back once it is unloaded.
        dvfuzz::FailOnLeaks("fuzz_control", size);
    }
    kemu::ResetIo(); // a request, device or file left over is reported here
    violations.FailOnViolations("fuzz_control", size);
    return 0;
}
