// The simulator's consumer check must find a byte changed in the ring (the slow-consumer example
// shows it does not blame the exchange for what a slow reader lost).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
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
    const auto mismatch = [](const std::string &line) { return line.rfind("preview: MISMATCH in place at 10:", 0) == 0; };
    EXPECT_TRUE(std::any_of(m_lines.begin(), m_lines.end(), mismatch)) << testing::PrintToString(m_lines);
    EXPECT_EQ(consumer.bytesChecked.load(), 99u);
    EXPECT_EQ(consumer.Unregister(m_consumerDevice), STATUS_SUCCESS);
    EXPECT_EQ(provider.Unregister(m_providerDevice), STATUS_SUCCESS);
}

// Consumers of the default run register from their own threads at once: a directory slot claimed
// by two of them gave one consumer the other's callbacks.
TEST(SimDirectory, ConsumersRegisteringAtOnceEachKeepTheirOwnCallbacks)
{
    constexpr int kThreads = 8;
    for (int round = 0; round < 100 && !HasFailure(); ++round) {
        std::vector<std::unique_ptr<ConsumerClient>> clients;
        for (int i = 0; i < kThreads; ++i) {
            clients.push_back(std::make_unique<ConsumerClient>("c" + std::to_string(i), nullptr,
                                                               ConsumerClient::Style::Callback));
        }
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                DeviceHandle closed; // the refused request leaves the directory slot claimed
                ready.fetch_add(1);
                while (ready.load() < kThreads) {
                    std::this_thread::yield();
                }
                clients[i]->Register(closed, static_cast<ULONG>(i), clients[i].get(), false);
            });
        }
        for (std::thread &thread : threads) {
            thread.join();
        }
        for (auto &client : clients) {
            EXPECT_EQ(ConsumerClient::FromHandle(client.get()), client.get()) << "round " << round;
        }
    }
}

} // namespace
} // namespace sim
