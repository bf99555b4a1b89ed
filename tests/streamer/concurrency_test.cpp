// The exchange under real threads (run it in the tsan build): consumers come and go while the
// provider streams, reports arrive from inside callbacks and from other threads, notifications and
// status reports run alongside, and a stream is torn down while calls keep arriving.
#include <atomic>
#include <thread>

#include "streamer/stream_fixture.h"

namespace {

using namespace dvtest;

constexpr ULONG kStream = 30;
constexpr ULONG kRing = 4093; // not a power of two, so that blocks fall on every offset
constexpr int kBlocks = 2000;
constexpr size_t kMinChurn = 50; // consumers that come and go while the provider streams

UCHAR Pattern(uint64_t offset) { return UCHAR((offset * 131 + (offset >> 9)) & 0xFF); }

// The provider's thread announces each block's place in the whole stream before handing it over;
// the new-data callbacks run on that thread, inside ProvideData.
uint64_t g_blockStart = 0;
ULONG g_blockSize = 0;

// A consumer that checks what it is told: the first block it hears of starts at the tail it was
// handed, every later one right after the previous, and the ring holds the provider's bytes there.
struct Watcher {
    explicit Watcher(bool reportInside_) : reportInside(reportInside_) {}

    bool reportInside;
    PUCHAR ring = nullptr;
    ULONG size = 0;
    ULONG tail = 0;
    STREAMER_DATA_PROCESSED_ENTRY pfnDataProcessed = nullptr;
    STREAMER_CONSUMER_NOTIFY_ENTRY pfnNotify = nullptr;
    STREAMER_SRV_PARAM record{};
    std::unique_ptr<kemu::TestRequest> request;

    bool started = false;
    uint64_t next = 0;
    uint64_t told = 0; // bytes announced or reported lost
    std::atomic<uint64_t> owed{0};
    std::atomic<bool> gone{false};
    std::atomic<int> errors{0};

    PVOID Handle() { return this; }

    void Told(ULONG dwSize, bool lost)
    {
        if (gone.load()) {
            ++errors; // told after its unregistration returned
        }
        if (!started) {
            started = true;
            next = g_blockStart;
            if (g_blockStart % kRing != tail) {
                ++errors;
            }
        }
        if (next != g_blockStart || dwSize != g_blockSize) {
            ++errors;
        }
        if (!lost) {
            for (ULONG i = 0; i < dwSize; ++i) {
                if (ring[(next + i) % kRing] != Pattern(next + i)) {
                    ++errors;
                    break;
                }
            }
        }
        next += dwSize;
        told += dwSize;
        // Lost bytes are skipped, and reported like read ones, so the space comes back.
        if (reportInside) {
            pfnDataProcessed(kStream, Handle(), dwSize);
        } else {
            owed += dwSize;
        }
    }
    static VOID STREAMER_CALL NewData(ULONG dwSize, PVOID pContext) { static_cast<Watcher *>(pContext)->Told(dwSize, false); }
    static VOID STREAMER_CALL Notify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID pContext)
    {
        Watcher *w = static_cast<Watcher *>(pContext);
        if (dwType == STREAMERNOTIFY_LOST_BYTES) {
            w->Told(pParam->LostBytes.dwSize, true);
        } else if (dwType == STREAMERNOTIFY_STREAM_INFO_CHANGED && pParam->StreamInfo.pInfo != nullptr) {
            // The block must be readable for the whole callback, whatever replaces it meanwhile.
            volatile UCHAR first = *static_cast<const UCHAR *>(pParam->StreamInfo.pInfo);
            (void)first;
        }
    }

    NTSTATUS Register()
    {
        record = STREAMER_SRV_PARAM{};
        record.RegisterConsumer.hStream = kStream;
        record.RegisterConsumer.pfnNewDataReady = NewData;
        record.RegisterConsumer.pfnNotify = Notify;
        record.RegisterConsumer.hConsumer = Handle();
        record.RegisterConsumer.ppBuffer = &ring;
        record.RegisterConsumer.pdwBufferSize = &size;
        record.RegisterConsumer.pdwTail = &tail;
        record.RegisterConsumer.ppfnDataProcessed = &pfnDataProcessed;
        record.RegisterConsumer.ppfnNotify = &pfnNotify;
        request = std::make_unique<kemu::TestRequest>(STREAMER_REGISTER_CONSUMER, &record, sizeof(record));
        NTSTATUS status = pDeVididiArray[kStream].RegisterConsumer(request->Irp());
        if (status != STATUS_PENDING) {
            request->Irp()->IoStatus.Status = status;
            IofCompleteRequest(request->Irp(), IO_NO_INCREMENT);
        }
        return status;
    }
    NTSTATUS Unregister()
    {
        STREAMER_SRV_PARAM leave{};
        leave.UnRegisterConsumer.hStream = kStream;
        leave.UnRegisterConsumer.hConsumer = Handle();
        kemu::TestRequest req(STREAMER_UNREGISTER_CONSUMER, &leave, sizeof(leave));
        NTSTATUS status = pDeVididiArray[kStream].UnRegisterConsumer(req.Irp());
        req.Irp()->IoStatus.Status = status;
        IofCompleteRequest(req.Irp(), IO_NO_INCREMENT);
        gone = true;
        return status;
    }
};

class Concurrency : public StreamTest {
protected:
    static VOID STREAMER_CALL ProviderNotify(PVOID, ULONG, PSTREAMER_NOTIFICATION_PARAM, PVOID) {}
    static VOID STREAMER_CALL Complete(PUCHAR, PVOID) {}

    void RegisterProvider()
    {
        provider.RegisterProvider.hStream = kStream;
        provider.RegisterProvider.dwBufferSize = kRing;
        provider.RegisterProvider.pfnProvideDataComplete = Complete;
        provider.RegisterProvider.pfnNotify = ProviderNotify;
        provider.RegisterProvider.ppfnProvideData = &pfnProvideData;
        provider.RegisterProvider.ppfnNotify = &pfnNotify;
        ASSERT_EQ(Stream(kStream).RegisterProvider(&provider), STATUS_SUCCESS);
    }

    STREAMER_SRV_PARAM provider{};
    STREAMER_PROVIDE_DATA_ENTRY pfnProvideData = nullptr;
    STREAMER_PROVIDER_NOTIFY_ENTRY pfnNotify = nullptr;
};

TEST_F(Concurrency, ConsumersComingAndGoingAreToldExactlyTheBytesAfterTheirTail)
{
    RegisterProvider();
    std::vector<std::unique_ptr<Watcher>> stayers;
    for (bool inside : {true, true, false, false}) {
        stayers.push_back(std::make_unique<Watcher>(inside));
        ASSERT_EQ(stayers.back()->Register(), STATUS_SUCCESS);
    }

    // ShowStream's provider lines, to add up the byte counts it took away (only this thread logs
    // at these levels, so no line is dropped).
    std::atomic<uint64_t> reported{0};
    ShowModule(QVDBG_MODULE_STREAM, 2);
    kemu::DebugService::SetSink([&](const std::string &line) {
        size_t at = line.find("provided ");
        if (at != std::string::npos) {
            reported += std::stoull(line.substr(at + 9));
        }
    });

    std::atomic<bool> done{false};
    std::atomic<size_t> churned{0};
    std::atomic<Watcher *> current{nullptr};
    uint64_t total = 0;

    std::thread providerThread([&] {
        std::vector<UCHAR> block(1500);
        uint32_t seed = 12345;
        UCHAR info[20] = {};
        for (int n = 0; n < kBlocks || churned < kMinChurn; ++n) {
            seed = seed * 1103515245 + 12345;
            ULONG size = 1 + (seed >> 8) % ULONG(block.size());
            for (ULONG i = 0; i < size; ++i) {
                block[i] = Pattern(total + i);
            }
            g_blockStart = total;
            g_blockSize = size;
            pfnProvideData(kStream, block.data(), size);
            total += size;
            if (n % 50 == 0) {
                info[0] = UCHAR(n);
                STREAMER_NOTIFICATION_PARAM p{};
                p.StreamInfo.pInfo = info;
                p.StreamInfo.nSize = sizeof(info);
                pfnNotify(kStream, STREAMERNOTIFY_STREAM_INFO_CHANGED, &p);
            }
        }
        done = true;
    });

    std::vector<std::unique_ptr<Watcher>> transients;
    std::thread churnThread([&] {
        while (!done) {
            transients.push_back(std::make_unique<Watcher>(transients.size() % 2 == 0));
            Watcher *w = transients.back().get();
            EXPECT_EQ(w->Register(), STATUS_SUCCESS);
            current = w;
            for (int i = 0; i < 50; ++i) {
                std::this_thread::yield();
            }
            EXPECT_EQ(w->Unregister(), STATUS_SUCCESS);
            ++churned;
        }
    });

    std::thread reporterThread([&] {
        STREAMER_NOTIFICATION_PARAM p{};
        for (int n = 0; !done; ++n) {
            for (auto &w : stayers) {
                if (!w->reportInside) {
                    ULONG owed = ULONG(w->owed.exchange(0));
                    if (owed != 0) {
                        w->pfnDataProcessed(kStream, w->Handle(), owed);
                    }
                }
            }
            // A report for a consumer that may be unregistering right now: its record must not be
            // freed under the report (the stream may also say it has no such consumer).
            if (Watcher *w = current.load()) {
                QvConsumerInfo::OnDataProcessed(kStream, w->Handle(), 0);
                QvConsumerInfo::OnNotify(kStream, w->Handle(), 17, &p);
            }
            pfnNotify(kStream, 20, &p);
            if (n % 20 == 0) {
                Stream(kStream).ShowStream();
            }
            std::this_thread::yield();
        }
    });

    providerThread.join();
    churnThread.join();
    reporterThread.join();
    Stream(kStream).ShowStream();
    EXPECT_EQ(reported.load(), total) << "every provided byte is counted in exactly one report";

    EXPECT_GE(transients.size(), kMinChurn);
    for (auto &w : transients) {
        EXPECT_EQ(w->errors.load(), 0);
    }
    for (auto &w : stayers) {
        if (!w->reportInside) {
            w->pfnDataProcessed(kStream, w->Handle(), ULONG(w->owed.exchange(0)));
        }
        EXPECT_EQ(w->errors.load(), 0);
        EXPECT_EQ(w->told, total);
        // Everything announced was reported back: no raise or drop of the space went missing.
        EXPECT_EQ(Record(Stream(kStream), w->Handle())->m_nAvailableSpace, LONG(kRing));
        EXPECT_EQ(w->Unregister(), STATUS_SUCCESS);
    }
    kemu::DebugService::SetSink({});
    EXPECT_EQ(Stream(kStream).UnRegisterProvider(), STATUS_SUCCESS);
    EXPECT_EQ(Stream(kStream).m_pBuffer, nullptr);
}

TEST_F(Concurrency, TeardownShutsOutCallsThatKeepArriving)
{
    RegisterProvider();
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::vector<std::thread> threads;
    std::vector<std::unique_ptr<Watcher>> watchers;
    for (int t = 0; t < 3; ++t) {
        watchers.push_back(std::make_unique<Watcher>(true));
    }
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            Watcher *w = watchers[size_t(t)].get();
            UCHAR block[64] = {};
            STREAMER_NOTIFICATION_PARAM p{};
            while (!stop) {
                // Registers, reports, notifies, leaves; whatever the stream answers once closed.
                NTSTATUS status = w->Register();
                if (status == STATUS_SUCCESS || status == STATUS_PENDING) {
                    QvConsumerInfo::OnDataProcessed(kStream, w->Handle(), 8);
                    QvConsumerInfo::OnNotify(kStream, w->Handle(), 3, &p);
                    w->Unregister();
                    if (status == STATUS_PENDING) {
                        w->request->WaitForCompletion();
                    }
                }
                if (t == 0) {
                    g_blockStart = 0;
                    g_blockSize = 0;
                    QvProviderInfo::OnProvideData(kStream, block, 0);
                }
                QvProviderInfo::OnNotify(kStream, 21, &p);
                Stream(kStream).ShowStream();
                ++rounds;
            }
        });
    }
    while (rounds < 30) {
        std::this_thread::yield();
    }
    Stream(kStream).~DeVididi();
    const int afterTeardown = rounds + 30;
    while (rounds < afterTeardown) {
        std::this_thread::yield();
    }
    stop = true;
    for (std::thread &t : threads) {
        t.join();
    }
    new (&Stream(kStream)) DeVididi();
    EXPECT_EQ(Stream(kStream).m_Consumers.GetCount(), 0);
    // The leak check of the fixture shows that teardown freed every record the threads left.
}

} // namespace
