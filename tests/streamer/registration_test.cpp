// Registration of providers and consumers, waiting consumers, refusals and teardown.
#include <chrono>

#include "streamer/stream_fixture.h"

namespace {

using namespace dvtest;

class Registration : public StreamTest {
protected:
    TestProvider provider;
};

TEST_F(Registration, WaitingConsumersAreCompletedWhenTheProviderArrivesAndToldInOrder)
{
    TestConsumer *c[] = {&Consumer("C1", 0x10), &Consumer("C2", 0x20), &Consumer("C3", 0x30)};
    for (TestConsumer *w : c) {
        ASSERT_EQ(w->Register(Stream(5), 5), STATUS_PENDING);
        EXPECT_TRUE(w->request->MarkedPending());
        EXPECT_EQ(w->pBuffer, nullptr);
        EXPECT_EQ(w->dwBufferSize + w->dwTail, 0u);
        EXPECT_EQ(w->hReturned, w->handle);
    }
    EXPECT_EQ(Journal(), (Strings{"C1:5/0", "C2:5/0", "C3:5/0"}));
    Journal().clear();
    STREAMER_STREAM_INFO info{STREAMINFO_VIDEO, {{352, 30, 7}}};
    ASSERT_EQ(provider.Register(Stream(5), 5, 4096, &info, sizeof(info)), STATUS_SUCCESS);
    for (TestConsumer *w : c) {
        EXPECT_EQ(w->request->Status(), STATUS_SUCCESS);
        EXPECT_TRUE(w->request->Completed());
        EXPECT_EQ(w->pBuffer, Stream(5).m_pBuffer);
        EXPECT_EQ(w->dwBufferSize, 4096u);
        EXPECT_EQ(w->dwTail, 0u);
        EXPECT_EQ(Record(Stream(5), w->handle)->AvailableSpace(), 4096);
        EXPECT_EQ(w->params.end()[-2].StreamInfo.pInfo, Stream(5).m_pStreamInfo) << "the stream's copy";
    }
    EXPECT_EQ(Journal(), (Strings{"C1:5/16", "C2:5/16", "C3:5/16", "P:5/0/16", "C1:3/null", "C2:3/null", "C3:3/null",
                                  "P:1/0/3"}));
    EXPECT_NE(Stream(5).m_pStreamInfo, static_cast<PVOID>(&info));
}

TEST_F(Registration, ConsumerRequestsThatAreRefusedOrCancelled)
{
    TestConsumer &waiting = Consumer("W", 0x20);
    Show(QVDBG_MODULE_STREAM, 2);
    ASSERT_EQ(waiting.Register(Stream(6), 6), STATUS_PENDING);
    STREAMER_SRV_PARAM twin = ConsumerRecord(6, waiting.handle, nullptr, nullptr);
    kemu::TestRequest twinRequest(STREAMER_REGISTER_CONSUMER, &twin, sizeof(twin));
    EXPECT_EQ(Stream(6).RegisterConsumer(twinRequest.Irp()), STATUS_ADDRESS_ALREADY_ASSOCIATED);
    EXPECT_EQ(Record(Stream(6), waiting.handle)->m_pPendingIrp, waiting.request->Irp()) << "first one untouched";
    EXPECT_EQ(Consumer("G", 0x60).Unregister(Stream(6), 6), STATUS_NOT_FOUND);
    EXPECT_EQ(Lines(), (Strings{"[2]STREAM:RegisterConsumer: A handle 0x00000020 is already exist in the consumer "
                                "list of stream 6",
                                "[2]STREAM:UnRegisterConsumer: Consumer 0x00000060 is not found in stream 6 "
                                "consumer's list"}));
    // The only, waiting consumer leaves: its request is cancelled, the stream is Empty again.
    Show(QVDBG_MODULE_STREAM, 3);
    EXPECT_EQ(waiting.Unregister(Stream(6), 6), STATUS_SUCCESS);
    EXPECT_EQ(waiting.request->Status(), STATUS_CANCELLED);
    EXPECT_EQ(waiting.request->Information(), 0u);
    EXPECT_EQ(Lines().back(), "[3]STREAM:UnRegisterConsumer: *** Cleaning Stream 6 *** (There is no buffer to clean)");
    EXPECT_EQ(Stream(6).m_hStream, 0u);
    EXPECT_EQ(Journal(), Strings{"W:5/0"}) << "nobody is told of that unregistration";
    // A null handle is refused, but the stream has taken the record's handle (0x307 = 775).
    EXPECT_EQ(Consumer("Z", 0).Register(Stream(7), 0x307), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Lines(), Strings{"[1]STREAM:RegisterConsumer: ERROR in stream 775, the handle that was given to the "
                               "consumer is NULL."});
    EXPECT_EQ(Stream(7).m_hStream, 0x307u);
}

TEST_F(Registration, AnOrphanedStreamKeepsRingAndTailForTheNextProvider)
{
    TestConsumer &a = Consumer("A", 0x10), &b = Consumer("B", 0x20), &late = Consumer("L", 0x30);
    ASSERT_EQ(provider.Register(Stream(3), 3, 64), STATUS_SUCCESS);
    ASSERT_EQ(a.Register(Stream(3), 3), STATUS_SUCCESS);
    ASSERT_EQ(b.Register(Stream(3), 3), STATUS_SUCCESS);
    UCHAR bytes[10] = {};
    provider.pfnProvideData(3, bytes, sizeof(bytes));
    const PUCHAR ring = Stream(3).m_pBuffer;
    Journal().clear();
    ASSERT_EQ(Stream(3).UnRegisterProvider(), STATUS_SUCCESS);
    EXPECT_EQ(Journal(), (Strings{"A:4/null", "B:4/null"}));
    ASSERT_EQ(late.Register(Stream(3), 3), STATUS_PENDING);
    EXPECT_EQ(late.pBuffer, ring);
    EXPECT_EQ(late.dwTail, 10u);
    // Size 0: refused (its lines are golden.orphaned-stream's), the handle reset; ring and consumers stay.
    EXPECT_EQ(provider.Register(Stream(3), 3, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Stream(3).m_hStream, 0u);
    EXPECT_EQ(Stream(3).m_pProviderInfo, nullptr);
    // Another size: the old ring with its size and tail; joined consumers are not completed again.
    a.dwTail = 0xAAAA;
    Journal().clear();
    ASSERT_EQ(provider.Register(Stream(3), 3, 128), STATUS_SUCCESS);
    EXPECT_EQ(Stream(3).m_pBuffer, ring);
    EXPECT_EQ(late.request->Status(), STATUS_SUCCESS);
    EXPECT_EQ(late.dwBufferSize, 64u);
    EXPECT_EQ(late.dwTail, 10u);
    EXPECT_EQ(a.dwTail, 0xAAAAu);
    EXPECT_EQ(Journal(), (Strings{"A:5/0", "B:5/0", "L:5/0", "P:5/0/0", "A:3/null", "B:3/null", "L:3/null", "P:1/0/3"}));
    Show(QVDBG_MODULE_STREAM, 2);
    Lines();
    STREAMER_SRV_PARAM second{};
    second.RegisterProvider.hStream = 0x503;
    EXPECT_EQ(Stream(3).RegisterProvider(&second), STATUS_ALREADY_COMMITTED);
    EXPECT_EQ(Lines(), Strings{"[2]STREAM:RegisterProvider: WARNNING --- Stream 1283 already has provider"});
    // Provider gone, then every consumer: the last one frees the ring; no provider hears of it.
    Show(QVDBG_MODULE_STREAM, 3);
    ASSERT_EQ(Stream(3).UnRegisterProvider(), STATUS_SUCCESS);
    Journal().clear();
    for (TestConsumer *c : {&a, &b, &late}) {
        EXPECT_EQ(c->Unregister(Stream(3), 3), STATUS_SUCCESS);
    }
    EXPECT_TRUE(Journal().empty());
    EXPECT_EQ(Lines().back(), "[3]STREAM:UnRegisterConsumer: *** Cleaning Stream 3 *** (Free buffer)");
    EXPECT_EQ(Stream(3).m_pBuffer, nullptr);
}

// The map's table failing; the record and the provider's two blocks failing are golden.alloc-failure's.
TEST_F(Registration, AllocationFailuresAreRefusedWithoutLeaks)
{
    TestConsumer &c = Consumer("C", 0x10);
    Show(QVDBG_MODULE_STREAM, 1);
    kemu::FailNthAllocation(2, kTracedTag);
    EXPECT_EQ(c.Register(Stream(2), 2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Lines(), Strings{"[1]STREAM:RegisterConsumer: ERROR in stream 2, consumer 0x00000010 could not be added "
                               "to the consumer list (no memory)"});
    EXPECT_TRUE(Journal().empty()) << "refused consumers are not notified";
    // ... and the map takes the next one.
    kemu::ClearAllocationFailures();
    EXPECT_EQ(c.Register(Stream(2), 2), STATUS_PENDING);
    EXPECT_EQ(c.Unregister(Stream(2), 2), STATUS_SUCCESS);
}

// A consumer arriving while the ring is made (outside the lock) waits; no data or unregistration gets in.
TEST_F(Registration, AConsumerArrivingWhileTheRingIsMadeWaitsForIt)
{
    TestConsumer &c = Consumer("C", 0x10);
    NTSTATUS consumer = 0, unregister = 0;
    Show(QVDBG_MODULE_STREAM, 7);
    kemu::DebugService::SetSink([&](const std::string &line) {
        if (consumer == 0 && line.find("STREAM:CreateBuffer --- Start") != std::string::npos) {
            consumer = c.Register(Stream(12), 12);
            UCHAR byte = 0;
            QvProviderInfo::OnProvideData(12, &byte, 1);
            unregister = Stream(12).UnRegisterProvider();
        }
    });
    ASSERT_EQ(provider.Register(Stream(12), 12, 256), STATUS_SUCCESS);
    EXPECT_EQ(consumer, STATUS_PENDING);
    EXPECT_EQ(unregister, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(provider.completed.empty());
    EXPECT_EQ(c.request->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Journal(), (Strings{"C:5/0", "C:5/0", "P:5/0/0", "C:3/null", "P:1/0/1"}));
}

// The new tail is published only with the announcement: a consumer joining in between is told of the block.
// Then readers do not keep yielding to that registration once it has left its exclusive section.
TEST_F(Registration, AConsumerRegisteringBetweenCopyAndAnnouncementIsToldOfThatBlock)
{
    TestConsumer &c = Consumer("C", 0x10);
    ASSERT_EQ(provider.Register(Stream(13), 13, 16), STATUS_SUCCESS);
    UCHAR first[5] = {}, block[14] = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23};
    provider.pfnProvideData(13, first, 5);
    provider.quiet = true;
    auto readers = [] {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 2000; ++i) {
            Stream(13).NotifyProvider(nullptr, 30, nullptr);
        }
        return std::chrono::steady_clock::now() - start;
    };
    const auto before = readers();
    Show(QVDBG_MODULE_STREAM, 8);
    kemu::DebugService::SetSink([&](const std::string &line) {
        if (!c.request && line.find("STREAM:ProvideData: Before Acquire") != std::string::npos) {
            EXPECT_EQ(c.Register(Stream(13), 13), STATUS_SUCCESS);
        }
    });
    provider.pfnProvideData(13, block, sizeof(block));
    ASSERT_TRUE(c.request);
    EXPECT_EQ(c.dwTail, 5u);
    EXPECT_EQ(c.announced, std::vector<ULONG>{14});
    for (ULONG i = 0; i < sizeof(block); ++i) {
        EXPECT_EQ(c.pBuffer[(c.dwTail + i) % c.dwBufferSize], block[i]);
    }
    kemu::DebugService::SetSink({});
    Show(QVDBG_MODULE_STREAM, 0);
    EXPECT_LT(readers(), before * 20 + std::chrono::milliseconds(5));
}

// Teardown: 9 to each consumer before its cancel, then 10 to the provider; calls back are refused.
TEST_F(Registration, TeardownTellsEveryoneCancelsWaitersAndShutsOutCallsBack)
{
    TestConsumer &a = Consumer("A", 0x10), &b = Consumer("B", 0x20);
    TestConsumer &w1 = Consumer("W1", 0x30), &w2 = Consumer("W2", 0x40);
    ASSERT_EQ(provider.Register(Stream(11), 11, 128), STATUS_SUCCESS);
    ASSERT_EQ(a.Register(Stream(11), 11), STATUS_SUCCESS);
    ASSERT_EQ(b.Register(Stream(11), 11), STATUS_SUCCESS);
    UCHAR info[8] = {};
    provider.SendInfo(11, info, sizeof(info));
    std::vector<bool> completedAtNine;
    for (TestConsumer *w : {&w1, &w2}) {
        ASSERT_EQ(w->Register(Stream(10), 10), STATUS_PENDING);
        w->onNotify = [w, &completedAtNine](ULONG code) {
            completedAtNine.push_back(w->request->Completed());
            QvConsumerInfo::OnDataProcessed(10, w->handle, 5);
            QvProviderInfo::OnNotify(10, 39, nullptr);
            QvProviderInfo::OnProvideData(0x20A, nullptr, 0); // the stream's ID from the handle's low byte
            ULONG lane = 0; // where a control request would come in
            EXPECT_EQ(DvRundownEnter(10, &lane), nullptr);
        };
    }
    Show(QVDBG_MODULE_STREAM, 6);
    Show(QVDBG_MODULE_CONSUMER_INFO, 1);
    Show(QVDBG_MODULE_PROVIDER_INFO, 1);
    Journal().clear();
    Lines();
    for (ULONG i : {11u, 10u}) { // 255 down to 0: the Active stream before the Waiting one
        ASSERT_TRUE(DvRundownCloseStream(i));
        Stream(i).~DeVididi();
        new (&Stream(i)) DeVididi();
        DvRundownOpenStream(i, &Stream(i));
    }
    EXPECT_EQ(Journal(), (Strings{"A:9/null", "B:9/null", "P:10/0/null", "W1:9/null", "W2:9/null"}));
    EXPECT_EQ(completedAtNine, (std::vector<bool>{false, false}));
    for (TestConsumer *w : {&w1, &w2}) {
        EXPECT_EQ(w->request->Status(), STATUS_CANCELLED);
        EXPECT_EQ(w->request->Information(), 0u);
    }
    const std::vector<std::pair<std::string, size_t>> expected = {
        {"[6]STREAM:~DeVididi: Free buffer for stream b", 1},
        {"[1]CONSUMER_INFO:static OnDataProcessed: ERROR --- pDeVididiArray is NULL", 2},
        {"[1]PROVIDER_INFO:static OnNotify: ERROR --- pDeVididiArray is NULL", 2},
        {"[1]PROVIDER_INFO:static OnProvideData: ERROR --- stream 20a (ID=10) not exist", 2}};
    Strings lines = Lines();
    for (const auto &[line, times] : expected) {
        EXPECT_EQ(Count(lines, line), times) << line;
    }
    // Records, rings and the information block are freed: the fixture's leak check follows.
    // A close from inside a provider call on the stream is refused rather than waiting for itself.
    ULONG lane = 0;
    ASSERT_EQ(DvRundownEnterProvider(12, &lane), &Stream(12));
    EXPECT_FALSE(DvRundownCloseStream(12));
    DvRundownLeave(12, lane);
}

} // namespace
