// The simulator's client drivers against the real driver: their check of the bytes read in place
// must find what is wrong, and must not blame the exchange for what a slow reader lost. Waiting
// consumers and threaded readers are run whole by the examples and the default run.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client.h"
#include "emu/kemu/kemu.h"
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
        return std::any_of(m_lines.begin(), m_lines.end(),
                           [&](const std::string &line) { return line.rfind(start, 0) == 0; });
    }

    // A provider and a scripted consumer on one stream.
    void Register(ProviderClient &provider, ConsumerClient &consumer, ULONG stream, ULONG ringSize, ULONG_PTR handle)
    {
        ASSERT_EQ(provider.Register(m_providerDevice, stream, ringSize, {}), STATUS_SUCCESS);
        ASSERT_EQ(consumer.Register(m_consumerDevice, stream, reinterpret_cast<PVOID>(handle), false), STATUS_SUCCESS);
    }
    void Unregister(ProviderClient &provider, ConsumerClient &consumer)
    {
        EXPECT_EQ(consumer.Unregister(m_consumerDevice), STATUS_SUCCESS);
        EXPECT_EQ(provider.Unregister(m_providerDevice), STATUS_SUCCESS);
    }

    Machine m_machine;
    DeviceHandle m_providerDevice, m_consumerDevice;
    std::vector<std::string> m_lines;
};

TEST_F(SimClients, AByteChangedInTheRingIsFoundWhereItLies)
{
    ProviderClient provider("cam", Collect());
    ConsumerClient consumer("preview", Collect(), ConsumerClient::Style::Scripted);
    ASSERT_NO_FATAL_FAILURE(Register(provider, consumer, 0x104, 1000, 0x41));
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
    Unregister(provider, consumer);
}

TEST_F(SimClients, BytesOverwrittenBeforeTheyWereReadCountAsLostNotAsWrong)
{
    ProviderClient provider("mic", Collect());
    ConsumerClient consumer("recorder", Collect(), ConsumerClient::Style::Scripted);
    ASSERT_NO_FATAL_FAILURE(Register(provider, consumer, 2, 1000, 0x20));
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
    Unregister(provider, consumer);
}

} // namespace
} // namespace sim
