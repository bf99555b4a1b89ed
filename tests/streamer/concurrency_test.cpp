// The exchange under real threads (for the tsan build): churn, and reports from anywhere.
#include <atomic>
#include <chrono>
#include <thread>

#include "streamer/stream_fixture.h"

namespace {

using namespace dvtest;

constexpr ULONG kStream = 30;
constexpr ULONG kRing = 4093; // not a power of two, so blocks start at every offset
constexpr int kBlocks = 2000;
constexpr size_t kChurn = 50; // consumers that come and go while the provider streams

UCHAR Pattern(uint64_t offset) { return UCHAR((offset * 131 + (offset >> 9)) & 0xFF); }

// Set by the provider's thread before each block; the new-data callbacks run on that thread.
uint64_t g_blockStart = 0;
ULONG g_blockSize = 0;

// Checks each block starts where the last ended (the first at its tail) and holds the provider's bytes.
struct Watcher {
    PUCHAR ring = nullptr;
    ULONG size = 0, tail = 0;
    STREAMER_SRV_PARAM record{};
    std::unique_ptr<kemu::TestRequest> request;
    bool started = false;
    uint64_t next = 0;
    std::atomic<bool> gone{false};
    std::atomic<int> errors{0};
    void Told(ULONG dwSize, bool lost)
    {
        if (!started) {
            started = true;
            next = g_blockStart;
            errors += g_blockStart % kRing != tail;
        }
        errors += gone.load() || next != g_blockStart || dwSize != g_blockSize;
        for (ULONG i = 0; !lost && i < dwSize; ++i) {
            if (ring[(next + i) % kRing] != Pattern(next + i)) {
                ++errors;
                break;
            }
        }
        next += dwSize;
        QvConsumerInfo::OnDataProcessed(kStream, this, dwSize);
    }
    static VOID STREAMER_CALL NewData(ULONG dwSize, PVOID self) { static_cast<Watcher *>(self)->Told(dwSize, false); }
    static VOID STREAMER_CALL Notify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM p, PVOID self)
    {
        if (dwType == STREAMERNOTIFY_LOST_BYTES) {
            static_cast<Watcher *>(self)->Told(p->LostBytes.dwSize, true);
        }
    }
    NTSTATUS Register()
    {
        record = ConsumerRecord(kStream, this, NewData, Notify);
        record.RegisterConsumer.ppBuffer = &ring;
        record.RegisterConsumer.pdwBufferSize = &size;
        record.RegisterConsumer.pdwTail = &tail;
        request = std::make_unique<kemu::TestRequest>(STREAMER_REGISTER_CONSUMER, &record, sizeof(record));
        return CompleteUnlessPending(*request, pDeVididiArray[kStream].RegisterConsumer(request->Irp()));
    }
    NTSTATUS Unregister()
    {
        NTSTATUS status = UnregisterConsumer(pDeVididiArray[kStream], kStream, this);
        gone = true;
        return status;
    }
};

class Concurrency : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        provider.quiet = true;
        ASSERT_EQ(provider.Register(Stream(kStream), kStream, kRing), STATUS_SUCCESS);
    }
    TestProvider provider;
};

// Kernel calls preempted at random (seed 0: plain run); kemu::SetRandomPreemption(N) replays seed_N.
class Preempted : public Concurrency, public ::testing::WithParamInterface<uint64_t> {
protected:
    void SetUp() override
    {
        Concurrency::SetUp();
        if (GetParam() != 0) {
            kemu::SetRandomPreemption(GetParam());
        }
    }
    void TearDown() override
    {
        kemu::StopRandomPreemption();
        Concurrency::TearDown();
    }
};

TEST_P(Preempted, ConsumersComingAndGoingAreToldExactlyTheBytesAfterTheirTail)
{
    std::vector<std::unique_ptr<Watcher>> transients;
    // Adds up the byte counts that the status reports take away (only the reporter logs at level 2).
    std::atomic<uint64_t> reported{0};
    Show(QVDBG_MODULE_STREAM, 2);
    kemu::DebugService::SetSink([&](const std::string &line) {
        size_t at = line.find("provided ");
        reported += at == std::string::npos ? 0 : std::stoull(line.substr(at + 9));
    });
    std::atomic<bool> done{false};
    std::atomic<size_t> churned{0};
    std::atomic<Watcher *> current{nullptr};
    uint64_t total = 0;
    std::thread providerThread([&] {
        std::vector<UCHAR> block(1500);
        uint32_t seed = 12345;
        for (int n = 0; n < kBlocks || churned < kChurn; ++n) {
            seed = seed * 1103515245 + 12345;
            g_blockStart = total;
            g_blockSize = 1 + (seed >> 8) % ULONG(block.size());
            for (ULONG i = 0; i < g_blockSize; ++i) {
                block[i] = Pattern(total + i);
            }
            provider.pfnProvideData(kStream, block.data(), g_blockSize);
            total += g_blockSize;
        }
        done = true;
    });
    std::thread churnThread([&] {
        while (!done) {
            transients.push_back(std::make_unique<Watcher>());
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
            // Also for a consumer that may be unregistering now: its record must not be freed under the report.
            if (Watcher *w = current.load()) {
                QvConsumerInfo::OnDataProcessed(kStream, w, 0);
                QvConsumerInfo::OnNotify(kStream, w, 17, &p);
            }
            provider.pfnNotify(kStream, 20, &p);
            if (n % 20 == 0) {
                Stream(kStream).ShowStream();
            }
            std::this_thread::yield();
        }
    });
    for (std::thread *t : {&providerThread, &churnThread, &reporterThread}) {
        t->join();
    }
    Stream(kStream).ShowStream();
    EXPECT_EQ(reported.load(), total) << "every byte provided shows in exactly one report";
    EXPECT_GE(transients.size(), kChurn);
    for (auto &w : transients) {
        EXPECT_EQ(w->errors.load(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Concurrency, Preempted, ::testing::Values(0, 7, 1234, 990211),
                         [](const ::testing::TestParamInfo<uint64_t> &seed) {
                             return "seed_" + std::to_string(seed.param);
                         });

// Reports during a walk, from its thread (also for another consumer) or another, count; unknown ones
// fail, and every one returns at its caller's level.
TEST_F(Concurrency, ReportsDuringAWalkCountFromTheWalkingThreadAndFromAnother)
{
    TestConsumer &a = Consumer("A", 0x10), &b = Consumer("B", 0x20);
    ASSERT_EQ(a.Register(Stream(kStream), kStream) | b.Register(Stream(kStream), kStream), STATUS_SUCCESS);
    int walks = 0;
    a.onNewData = [&](ULONG dwSize) {
        ++walks;
        a.pfnDataProcessed(kStream, a.handle, dwSize);
        a.pfnDataProcessed(kStream, b.handle, 20);
        std::thread([&] {
            kemu::ScopedReturnCheck check("OnDataProcessed from another thread, also for an unknown consumer");
            b.pfnDataProcessed(kStream, b.handle, 100);
            b.pfnDataProcessed(kStream, reinterpret_cast<PVOID>(0x990), 1);
        }).join();
    };
    Show(QVDBG_MODULE_STREAM, 1);
    std::vector<UCHAR> block(300, 7);
    provider.pfnProvideData(kStream, block.data(), 300);
    provider.pfnProvideData(kStream, block.data(), 300);
    EXPECT_EQ(walks, 2);
    EXPECT_EQ(Record(Stream(kStream), a.handle)->AvailableSpace(), LONG(kRing));
    EXPECT_EQ(Record(Stream(kStream), b.handle)->AvailableSpace(), LONG(kRing) - 600 + 200 + 40);
    EXPECT_EQ(Lines(), Strings(2, "[1]STREAM:OnDataProcessed: ERROR in stream 30 has no consumer 0x00000990"));
    // Outside a walk a report is a gate reader like any other: an unregistration waits for it.
    TestConsumer &c = Consumer("C", 0x30);
    ASSERT_EQ(c.Register(Stream(kStream), kStream), STATUS_SUCCESS);
    std::atomic<bool> gone{false};
    std::thread leaving;
    Show(QVDBG_MODULE_STREAM, 6);
    kemu::DebugService::SetSink([&](const std::string &line) {
        if (!leaving.joinable() && line.find("DataProcessed: hConsumer=0x00000020") != std::string::npos) {
            leaving = std::thread([&] {
                c.Unregister(Stream(kStream), kStream);
                gone = true;
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_FALSE(gone) << "the unregistration went ahead during the report";
        }
    });
    b.pfnDataProcessed(kStream, b.handle, 400);
    kemu::DebugService::SetSink({});
    ASSERT_TRUE(leaving.joinable());
    leaving.join();
    EXPECT_TRUE(gone);
    EXPECT_EQ(Record(Stream(kStream), b.handle)->AvailableSpace(), LONG(kRing) + 40);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

} // namespace
