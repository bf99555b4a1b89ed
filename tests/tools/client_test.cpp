// The simulator's client drivers against the real driver: their check of the bytes read in place
// must find what is wrong, must not blame the exchange for what a slow reader lost, and must hold
// while a provider writes on one thread and a consumer reads on another.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "emu/kemu.h"
#include "krnl_dbg.h"
#include "platform.h"

namespace sim {
namespace {

class SimClients : public ::testing::Test {
protected:
    void SetUp() override
    {
        kemu::ResetCore();
        kemu::ResetIo();
        kemu::ResetRegistry();
        for (DEBUG_ID_ENTRY &entry : DebugIdArray) {
            entry.nDebugLevel = 0;
        }
        ASSERT_EQ(m_machine.Load(), STATUS_SUCCESS);
        ASSERT_EQ(m_machine.AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(m_providerDevice.Open(), STATUS_SUCCESS);
        ASSERT_EQ(m_consumerDevice.Open(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        m_providerDevice.Close();
        m_consumerDevice.Close();
        m_machine.Unload();
        EXPECT_EQ(kemu::PoolLeakReport(), "");
        EXPECT_EQ(kemu::ResetIo(), 0u);
        kemu::ResetCore();
    }
    LineSink Collect()
    {
        return [this](const std::string &line) { m_lines.push_back(line); };
    }
    bool Printed(const std::string &start) const
    {
        for (const std::string &line : m_lines) {
            if (line.rfind(start, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    Machine m_machine;
    DeviceHandle m_providerDevice, m_consumerDevice;
    std::vector<std::string> m_lines;
};

TEST_F(SimClients, AByteChangedInTheRingIsFoundWhereItLies)
{
    ProviderClient provider("cam", Collect());
    ConsumerClient consumer("preview", Collect(), ConsumerClient::Style::Scripted);
    ASSERT_EQ(provider.Register(m_providerDevice, 0x104, 1000, {}), STATUS_SUCCESS);
    ASSERT_EQ(consumer.Register(m_consumerDevice, 0x104, reinterpret_cast<PVOID>(0x41), false), STATUS_SUCCESS);
    ASSERT_TRUE(provider.Provide(100));
    consumer.Ring()[10] ^= 0xFF;
    consumer.Process(100);
    EXPECT_EQ(consumer.problems.count.load(), 1u);
    EXPECT_TRUE(Printed("preview: MISMATCH in place at 10:")) << testing::PrintToString(m_lines);
    EXPECT_EQ(consumer.bytesChecked.load(), 99u);

    // The next block, untouched, reads as provided.
    ASSERT_TRUE(provider.Provide(50));
    consumer.Process(50);
    EXPECT_EQ(consumer.problems.count.load(), 1u);
    EXPECT_TRUE(Printed("preview: processed 50: read 50 in place at 100, all as provided"));
    EXPECT_EQ(consumer.Unregister(m_consumerDevice), STATUS_SUCCESS);
    EXPECT_EQ(provider.Unregister(m_providerDevice), STATUS_SUCCESS);
}

TEST_F(SimClients, BytesOverwrittenBeforeTheyWereReadCountAsLostNotAsWrong)
{
    ProviderClient provider("mic", Collect());
    ConsumerClient consumer("recorder", Collect(), ConsumerClient::Style::Scripted);
    ASSERT_EQ(provider.Register(m_providerDevice, 2, 1000, {}), STATUS_SUCCESS);
    ASSERT_EQ(consumer.Register(m_consumerDevice, 2, reinterpret_cast<PVOID>(0x20), false), STATUS_SUCCESS);
    for (ULONG size : {600u, 300u, 250u}) {
        ASSERT_TRUE(provider.Provide(size));
    }
    EXPECT_EQ(consumer.bytesAnnounced.load(), 900u);
    EXPECT_EQ(consumer.bytesLost.load(), 250u);
    consumer.Process(900);
    EXPECT_EQ(consumer.problems.count.load(), 0u);
    EXPECT_EQ(consumer.bytesOverwritten.load(), 150u);
    EXPECT_EQ(consumer.bytesChecked.load(), 750u);
    // The lost block is skipped, and the consumer is back in step with the ring.
    consumer.Process(250);
    ASSERT_TRUE(provider.Provide(400));
    consumer.Process(400);
    EXPECT_EQ(consumer.problems.count.load(), 0u);
    EXPECT_EQ(consumer.bytesChecked.load(), 1150u);
    EXPECT_EQ(consumer.FreeSpace(), 1000);
    EXPECT_EQ(consumer.Unregister(m_consumerDevice), STATUS_SUCCESS);
    EXPECT_EQ(provider.Unregister(m_providerDevice), STATUS_SUCCESS);
}

TEST_F(SimClients, AWaitingConsumerLearnsOfItsCompletionBeforeTheProvidersNotifications)
{
    ProviderClient provider("video-rx", Collect());
    ConsumerClient consumer("display", Collect(), ConsumerClient::Style::Scripted);
    ASSERT_EQ(consumer.Register(m_consumerDevice, 6, reinterpret_cast<PVOID>(0x60), false), STATUS_PENDING);
    EXPECT_TRUE(consumer.Pending());
    EXPECT_EQ(consumer.WaitForRegistration(0), STATUS_TIMEOUT);
    ASSERT_EQ(provider.Register(m_providerDevice, 6, 4096, {StreamInfoSpec::Video, 2, 15, 263}), STATUS_SUCCESS);
    EXPECT_EQ(consumer.WaitForRegistration(0), STATUS_SUCCESS);
    EXPECT_FALSE(consumer.Pending());
    const std::vector<std::string> expected = {
        "display: notify 5 STREAM_INFO_CHANGED info=null size=0",
        "display: register-consumer completed STATUS_SUCCESS",
        "display: notify 5 STREAM_INFO_CHANGED info=video FrameSize=2 FrameRate=15 CompStandard=263 size=16",
        "video-rx: notify 5 STREAM_INFO_CHANGED hConsumer=null info=video FrameSize=2 FrameRate=15 "
        "CompStandard=263 size=16",
        "display: notify 3 PROVIDER_REGISTERED param=null",
        "video-rx: notify 1 CONSUMER_REGISTERED hConsumer=null param=1,0",
    };
    EXPECT_EQ(m_lines, expected);
    ASSERT_TRUE(provider.Provide(3000));
    consumer.Process(3000);
    EXPECT_EQ(consumer.bytesChecked.load(), 3000u);
    EXPECT_EQ(consumer.Unregister(m_consumerDevice), STATUS_SUCCESS);
    EXPECT_EQ(provider.Unregister(m_providerDevice), STATUS_SUCCESS);
}

TEST_F(SimClients, ConsumersReadingOnTheirOwnThreadsKeepUpWithAProviderOnAnother)
{
    ProviderClient provider("camera", nullptr);
    ConsumerClient threaded("video-tx", nullptr, ConsumerClient::Style::Threaded);
    ConsumerClient slow("recorder", nullptr, ConsumerClient::Style::Slow);
    // A ring big enough that the reader, which keeps half a ring away from the provider's edge,
    // reads most blocks; the slow one still falls behind.
    ASSERT_EQ(provider.Register(m_providerDevice, 4, 1024 * 1024, {}), STATUS_SUCCESS);
    ASSERT_EQ(threaded.Register(m_consumerDevice, 4, &threaded, true), STATUS_SUCCESS);
    ASSERT_EQ(slow.Register(m_consumerDevice, 4, &slow, true), STATUS_SUCCESS);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            threaded.Service(UINT64_MAX);
            slow.Service(100); // far less than the provider pushes: it must lose blocks
            std::this_thread::yield();
        }
        threaded.Service(UINT64_MAX);
    });
    uint64_t provided = 0;
    for (uint64_t n = 0; n < 3000; ++n) {
        const ULONG size = 500 + static_cast<ULONG>((n * 7919) % 3000);
        ASSERT_TRUE(provider.Provide(size, n % 2 == 0));
        provided += size;
    }
    done = true;
    reader.join();
    for (ConsumerClient *consumer : {&threaded, &slow}) {
        EXPECT_EQ(consumer->problems.count.load(), 0u) << consumer->Name() << ": " << consumer->problems.first;
        EXPECT_EQ(consumer->bytesAnnounced.load() + consumer->bytesLost.load(), provided) << consumer->Name();
    }
    EXPECT_EQ(threaded.bytesChecked.load() + threaded.bytesOverwritten.load(), threaded.bytesAnnounced.load());
    EXPECT_GT(slow.bytesLost.load(), 0u);
    EXPECT_EQ(slow.bytesChecked.load(), slow.bytesAnnounced.load()) << "it reads each block in its callback";
    EXPECT_EQ(threaded.writePosition.load(), slow.writePosition.load());
    EXPECT_EQ(threaded.Unregister(m_consumerDevice), STATUS_SUCCESS);
    EXPECT_EQ(slow.Unregister(m_consumerDevice), STATUS_SUCCESS);
    EXPECT_EQ(provider.Unregister(m_providerDevice), STATUS_SUCCESS);
}

} // namespace
} // namespace sim
