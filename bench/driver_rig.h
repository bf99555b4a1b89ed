// The driver as the benchmarks drive it: loaded through the emulated I/O manager with every debug
// level at 0, one provider of stream 4 and any number of consumers that join through real control
// requests and acknowledge each block from their new-data callback, or queue the acknowledgement
// for a thread of their own.
#ifndef DEVIDIDI_BENCH_DRIVER_RIG_H
#define DEVIDIDI_BENCH_DRIVER_RIG_H

#include <boost/lockfree/spsc_queue.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "devididi.h"
#include "emu/kemu/kemu.h"
#include "entry.h"
#include "krnl_dbg.h"

namespace dvbench {

constexpr ULONG kRingSize = 4u << 20;
constexpr ULONG kStream = 0x104; // stream 4, local video

// The program's name in failure lines.
inline const char *g_program = "dv_bench";

[[noreturn]] inline void Fail(const std::string &why)
{
    std::fprintf(stderr, "%s: %s\n", g_program, why.c_str());
    std::exit(1);
}

inline NTSTATUS SendControl(PDEVICE_OBJECT device, ULONG code, void *record, ULONG length)
{
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, record, length, nullptr, 0, FALSE, &done, &iosb);
    if (irp == nullptr) {
        Fail("IoBuildDeviceIoControlRequest refused control code " + std::to_string(code));
    }
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

struct DriverConsumer;

// What a new-data callback hands to the consumers' thread in the two-thread form.
struct Report {
    DriverConsumer *consumer;
    ULONG dwSize;
};
using ReportQueue = boost::lockfree::spsc_queue<Report>;
// Set while a two-thread case runs: the callbacks queue here instead of reporting themselves.
inline ReportQueue *g_reportQueue = nullptr;

// A consumer as a client driver writes one: it notes the size, moves its read position and reports
// the block processed through the entry point it was handed, from inside the callback (or queues
// the report for its own thread).
struct DriverConsumer {
    ULONG hStream = kStream;
    PUCHAR pRing = nullptr;
    ULONG dwRingSize = 0;
    ULONG dwReadAt = 0;
    STREAMER_DATA_PROCESSED_ENTRY pfnDataProcessed = nullptr;
    STREAMER_CONSUMER_NOTIFY_ENTRY pfnNotify = nullptr;
    PVOID hMine = nullptr;
    STREAMER_SRV_PARAM record{};
    ULONG dwLastSize = 0;
    uint64_t nBlocks = 0;
    uint64_t nLostNotices = 0;

    static VOID STREAMER_CALL NewData(ULONG dwSize, PVOID pContext)
    {
        auto *self = static_cast<DriverConsumer *>(pContext);
        self->dwLastSize = dwSize;
        ++self->nBlocks;
        self->dwReadAt += dwSize;
        if (self->dwReadAt >= self->dwRingSize) {
            self->dwReadAt -= self->dwRingSize;
        }
        if (g_reportQueue != nullptr) {
            if (!g_reportQueue->push(Report{self, dwSize})) {
                Fail("the report queue is full");
            }
            return;
        }
        self->pfnDataProcessed(self->hStream, self, dwSize);
    }
    static VOID STREAMER_CALL Notify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM, PVOID pContext)
    {
        if (dwType == STREAMERNOTIFY_LOST_BYTES) {
            ++static_cast<DriverConsumer *>(pContext)->nLostNotices;
        }
    }
};

class DriverRig {
public:
    void Start()
    {
        kemu::ResetCore();
        kemu::ResetIo();
        kemu::ResetRegistry();
        // Every module at level 0, from the registry, as a production machine has it.
        for (const DEBUG_ID_ENTRY &entry : DebugIdArray) {
            kemu::SetRegistryDword(std::string("\\Registry\\Machine\\SOFTWARE\\NRV\\debug\\krnl\\DEVIDIDI\\") +
                                       entry.szModuleName,
                                   "DebugLevel", 0);
        }
        kemu::DriverLoad load = kemu::LoadDriver(DriverEntry, u"\\Driver\\DeVididi", u"");
        if (load.status != STATUS_SUCCESS) {
            Fail("DriverEntry failed with status " + std::to_string(load.status));
        }
        m_driver = load.driver;
        m_pdo = kemu::CreatePdo(u"DeVididi");
        if (kemu::PnpAddDevice(m_driver, m_pdo) != STATUS_SUCCESS) {
            Fail("the function device could not be added");
        }
        for (const DEBUG_ID_ENTRY &entry : DebugIdArray) {
            if (entry.nDebugLevel != 0) {
                Fail(std::string("debug level of ") + entry.szModuleName + " is " + std::to_string(entry.nDebugLevel) +
                     " after start-up, not 0");
            }
        }
        std::u16string name = u"\\Device\\DeVididi";
        UNICODE_STRING deviceName;
        deviceName.Buffer = name.data();
        deviceName.Length = deviceName.MaximumLength = static_cast<USHORT>(name.size() * sizeof(char16_t));
        if (IoGetDeviceObjectPointer(&deviceName, FILE_ALL_ACCESS, &m_file, &m_device) != STATUS_SUCCESS) {
            Fail("\\Device\\DeVididi could not be opened");
        }

        std::memset(&m_offer, 0, sizeof m_offer);
        m_offer.RegisterProvider.hStream = kStream;
        m_offer.RegisterProvider.dwBufferSize = kRingSize;
        m_offer.RegisterProvider.pfnProvideDataComplete = DataComplete;
        m_offer.RegisterProvider.pfnNotify = ProviderNotify;
        m_offer.RegisterProvider.ppfnProvideData = &m_pfnProvideData;
        m_offer.RegisterProvider.ppfnNotify = &m_pfnProviderNotify;
        m_offer.RegisterProvider.pContext = this;
        if (SendControl(m_device, STREAMER_REGISTER_PROVIDER, &m_offer, sizeof m_offer) != STATUS_SUCCESS ||
            m_pfnProvideData == nullptr) {
            Fail("the provider could not register");
        }
        kemu::DebugService::Clear();
    }

    void Stop()
    {
        SetConsumers(0);
        STREAMER_SRV_PARAM leaving;
        std::memset(&leaving, 0, sizeof leaving);
        leaving.UnRegisterProvider.hStream = kStream;
        if (SendControl(m_device, STREAMER_UNREGISTER_PROVIDER, &leaving, sizeof leaving) != STATUS_SUCCESS) {
            Fail("the provider could not unregister");
        }
        ObDereferenceObject(m_file);
        if (kemu::PnpRemoveDevice(m_pdo) != STATUS_SUCCESS) {
            Fail("the function device could not be removed");
        }
        kemu::UnloadDriver(m_driver);
        if (!kemu::PoolLeakReport().empty()) {
            Fail("pool left after unload:\n" + kemu::PoolLeakReport());
        }
        kemu::ResetIo();
        kemu::ResetCore();
    }

    // Joins or removes consumers through control requests until n are registered.
    void SetConsumers(size_t n)
    {
        while (m_consumers.size() > n) {
            DriverConsumer &c = *m_consumers.back();
            STREAMER_SRV_PARAM leaving;
            std::memset(&leaving, 0, sizeof leaving);
            leaving.UnRegisterConsumer.hStream = kStream;
            leaving.UnRegisterConsumer.hConsumer = &c;
            if (SendControl(m_device, STREAMER_UNREGISTER_CONSUMER, &leaving, sizeof leaving) != STATUS_SUCCESS) {
                Fail("a consumer could not unregister");
            }
            m_consumers.pop_back();
        }
        while (m_consumers.size() < n) {
            m_consumers.push_back(std::make_unique<DriverConsumer>());
            DriverConsumer &c = *m_consumers.back();
            STREAMER_SRV_PARAM &r = c.record;
            std::memset(&r, 0, sizeof r);
            r.RegisterConsumer.hStream = kStream;
            r.RegisterConsumer.pfnNewDataReady = DriverConsumer::NewData;
            r.RegisterConsumer.pfnNotify = DriverConsumer::Notify;
            r.RegisterConsumer.hConsumer = &c;
            r.RegisterConsumer.ppBuffer = &c.pRing;
            r.RegisterConsumer.pdwBufferSize = &c.dwRingSize;
            r.RegisterConsumer.pdwTail = &c.dwReadAt;
            r.RegisterConsumer.ppfnDataProcessed = &c.pfnDataProcessed;
            r.RegisterConsumer.ppfnNotify = &c.pfnNotify;
            r.RegisterConsumer.phConsumer = &c.hMine;
            if (SendControl(m_device, STREAMER_REGISTER_CONSUMER, &r, sizeof r) != STATUS_SUCCESS ||
                c.pfnDataProcessed == nullptr || c.pRing == nullptr || c.dwRingSize != kRingSize) {
                Fail("a consumer could not register");
            }
        }
    }

    // The provider's call, through the entry point registration handed out.
    void Provide(const UCHAR *pBlock, ULONG dwSize) { m_pfnProvideData(kStream, const_cast<PUCHAR>(pBlock), dwSize); }

    PUCHAR Ring() const { return pDeVididiArray[kStream & 0xFF].m_pBuffer; }
    ULONG Tail() const { return __atomic_load_n(&pDeVididiArray[kStream & 0xFF].m_nTail, __ATOMIC_RELAXED); }
    const std::vector<std::unique_ptr<DriverConsumer>> &Consumers() const { return m_consumers; }
    uint64_t Completions() const { return m_nCompleted; }

private:
    static VOID STREAMER_CALL DataComplete(PUCHAR, PVOID pContext) { ++static_cast<DriverRig *>(pContext)->m_nCompleted; }
    static VOID STREAMER_CALL ProviderNotify(PVOID, ULONG, PSTREAMER_NOTIFICATION_PARAM, PVOID) {}

    PDRIVER_OBJECT m_driver = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    PFILE_OBJECT m_file = nullptr;
    PDEVICE_OBJECT m_device = nullptr;
    STREAMER_SRV_PARAM m_offer{};
    STREAMER_PROVIDE_DATA_ENTRY m_pfnProvideData = nullptr;
    STREAMER_PROVIDER_NOTIFY_ENTRY m_pfnProviderNotify = nullptr;
    uint64_t m_nCompleted = 0;
    std::vector<std::unique_ptr<DriverConsumer>> m_consumers;
};

} // namespace dvbench

#endif
