// Registration of providers and consumers, waiting consumers, refusals and teardown.
#include <cstring>

#include "streamer/stream_fixture.h"

namespace {

using namespace dvtest;

constexpr ULONG kTracedTag = KX_POOL_TAG('T', 'r', 'c', 'd');
using Strings = std::vector<std::string>;

class Registration : public StreamTest {
protected:
    TestProvider provider;
};

TEST_F(Registration, WaitingConsumersAreCompletedWhenTheProviderArrivesAndToldInOrder)
{
    TestConsumer &c1 = Consumer("C1", 0x10), &c2 = Consumer("C2", 0x20), &c3 = Consumer("C3", 0x30);
    for (TestConsumer *c : {&c1, &c2, &c3}) {
        ASSERT_EQ(c->Register(Stream(5), 5), STATUS_PENDING);
        EXPECT_TRUE(c->request->MarkedPending());
        EXPECT_FALSE(c->request->Completed());
        EXPECT_EQ(c->pBuffer, nullptr);
        EXPECT_EQ(c->dwBufferSize, 0u);
        EXPECT_EQ(c->dwTail, 0u);
        EXPECT_EQ(c->hReturned, c->handle);
        EXPECT_EQ(c->pfnDataProcessed, &QvConsumerInfo::OnDataProcessed);
        EXPECT_EQ(c->pfnNotify, &QvConsumerInfo::OnNotify);
    }
    EXPECT_EQ(Journal(), (Strings{"C1:5/0", "C2:5/0", "C3:5/0"}));
    Journal().clear();

    ShowModule(QVDBG_MODULE_STREAM);
    STREAMER_STREAM_INFO info{STREAMINFO_VIDEO, {{352, 30, 7}}};
    ASSERT_EQ(provider.Register(Stream(5), 5, 4096, &info, sizeof(info)), STATUS_SUCCESS);
    EXPECT_EQ(provider.pfnProvideData, &QvProviderInfo::OnProvideData);
    EXPECT_EQ(provider.pfnNotify, &QvProviderInfo::OnNotify);
    for (TestConsumer *c : {&c1, &c2, &c3}) {
        ASSERT_TRUE(c->request->Completed());
        EXPECT_EQ(c->request->Status(), STATUS_SUCCESS);
        EXPECT_EQ(c->request->Information(), 0u);
        EXPECT_EQ(c->pBuffer, Stream(5).m_pBuffer);
        EXPECT_EQ(c->dwBufferSize, 4096u);
        EXPECT_EQ(c->dwTail, 0u);
        QvConsumerInfo *record = Record(Stream(5), c->handle);
        EXPECT_EQ(record->m_nAvailableSpace, 4096);
        EXPECT_EQ(record->m_fProviderRegistered, 1u);
        EXPECT_EQ(record->m_pPendingIrp, nullptr);
        EXPECT_EQ(c->infoSeen.back(), Stream(5).m_pStreamInfo) << "the stream's copy, not the sender's";
    }
    EXPECT_EQ(Journal(), (Strings{"C1:5/16", "C2:5/16", "C3:5/16", "P:5/0/16", "C1:3/null", "C2:3/null", "C3:3/null",
                                  "P:1/0/n=3"}));
    EXPECT_NE(Stream(5).m_pStreamInfo, static_cast<PVOID>(&info));
    EXPECT_EQ(CountLogged("[3]STREAM:RegisterProvider: Stream 5 is updating parameters for pending consumer/s"), 3u);
    EXPECT_TRUE(Logged("[4]STREAM:NotifyConsumers: Stream 5 got Video information: FrameSize 352   FrameRate 30    "
                       "CompStandard 7"));

    // A consumer arriving now is joined at once: 5, then the provider's 1, then its 3 (cleared block).
    Journal().clear();
    ClearLines();
    TestConsumer &c4 = Consumer("C4", 0x40);
    ASSERT_EQ(c4.Register(Stream(5), 5), STATUS_SUCCESS);
    EXPECT_FALSE(c4.request->MarkedPending());
    EXPECT_EQ(Journal(), (Strings{"C4:5/16", "P:1/C4/n=4", "C4:3"}));
    EXPECT_EQ(CountLogged("[7]STREAM:RegisterConsumer --- End (With STATUS_SUCCESS)"), 2u);
    EXPECT_EQ(c4.dwBufferSize, 4096u);
}

TEST_F(Registration, RefusalsOfConsumerRequests)
{
    TestConsumer &waiting = Consumer("W", 0x20), &ghost = Consumer("G", 0x60), &nameless = Consumer("Z", 0);
    ShowModule(QVDBG_MODULE_STREAM, 3);
    ASSERT_EQ(waiting.Register(Stream(6), 6), STATUS_PENDING);

    // The same handle again: refused, the first registration untouched.
    STREAMER_SRV_PARAM twin{};
    twin.RegisterConsumer.hStream = 6;
    twin.RegisterConsumer.hConsumer = waiting.handle;
    kemu::TestRequest twinRequest(STREAMER_REGISTER_CONSUMER, &twin, sizeof(twin));
    EXPECT_EQ(Stream(6).RegisterConsumer(twinRequest.Irp()), STATUS_ADDRESS_ALREADY_ASSOCIATED);
    EXPECT_TRUE(Logged("[2]STREAM:RegisterConsumer: A handle 0x00000020 is already exist in the consumer list of stream 6"));
    EXPECT_EQ(Record(Stream(6), waiting.handle)->m_pPendingIrp, waiting.request->Irp());

    EXPECT_EQ(ghost.Unregister(Stream(6), 6), STATUS_NOT_FOUND);
    EXPECT_TRUE(Logged("[2]STREAM:UnRegisterConsumer: Consumer 0x00000060 is not found in stream 6 consumer's list"));

    // The only, waiting consumer leaves: its request is cancelled and the stream is Empty again.
    EXPECT_EQ(waiting.Unregister(Stream(6), 6), STATUS_SUCCESS);
    ASSERT_TRUE(waiting.request->Completed());
    EXPECT_EQ(waiting.request->Status(), STATUS_CANCELLED);
    EXPECT_EQ(waiting.request->Information(), 0u);
    EXPECT_TRUE(Logged("[3]STREAM:UnRegisterConsumer: *** Cleaning Stream 6 *** (There is no buffer to clean)"));
    EXPECT_EQ(Stream(6).m_hStream, 0u);
    EXPECT_EQ(Journal(), Strings{"W:5/0"}) << "the consumer is not told of its own unregistration";

    // A null consumer handle is refused, but the stream has taken the record's handle (0x307 = 775).
    EXPECT_EQ(nameless.Register(Stream(7), 0x307), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Logged("[1]STREAM:RegisterConsumer: ERROR in stream 775, the handle that was given to the consumer is NULL."));
    EXPECT_EQ(Stream(7).m_hStream, 0x307u);
    EXPECT_EQ(Stream(7).m_Consumers.GetCount(), 0);

    EXPECT_EQ(Stream(7).RegisterConsumer(nullptr), STATUS_INVALID_PARAMETER_1);
    kemu::TestRequest bare(STREAMER_REGISTER_CONSUMER);
    EXPECT_EQ(Stream(7).UnRegisterConsumer(bare.Irp()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Stream(7).RegisterProvider(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(Registration, AnOrphanedStreamKeepsRingAndTailForTheNextProvider)
{
    TestConsumer &a = Consumer("A", 0x10), &b = Consumer("B", 0x20), &late = Consumer("L", 0x30);
    ASSERT_EQ(provider.Register(Stream(3), 3, 64), STATUS_SUCCESS);
    ASSERT_EQ(a.Register(Stream(3), 3), STATUS_SUCCESS);
    ASSERT_EQ(b.Register(Stream(3), 3), STATUS_SUCCESS);
    UCHAR bytes[10] = {};
    provider.pfnProvideData(3, bytes, sizeof(bytes));
    PUCHAR ring = Stream(3).m_pBuffer;
    Journal().clear();

    ASSERT_EQ(Stream(3).UnRegisterProvider(), STATUS_SUCCESS);
    EXPECT_EQ(Journal(), (Strings{"A:4/null", "B:4/null"}));
    EXPECT_EQ(Stream(3).m_pProviderInfo, nullptr);
    EXPECT_EQ(Stream(3).m_pBuffer, ring);
    EXPECT_EQ(Stream(3).m_nTail, 10u);

    // A consumer arriving now waits, but already reads the kept ring.
    ASSERT_EQ(late.Register(Stream(3), 3), STATUS_PENDING);
    EXPECT_EQ(late.pBuffer, ring);
    EXPECT_EQ(late.dwTail, 10u);

    // A provider asking for size 0 fails and resets the handle; ring and consumers stay.
    ShowModule(QVDBG_MODULE_STREAM, 2);
    EXPECT_EQ(provider.Register(Stream(3), 3, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Stream(3).m_hStream, 0u);
    EXPECT_EQ(Stream(3).m_pBuffer, ring);
    EXPECT_EQ(Stream(3).m_pProviderInfo, nullptr);
    EXPECT_TRUE(Logged("[1]STREAM:CreateBuffer: ERROR in stream 3, A request to create buffer occur with invalid buffer "
                       "size (0)"));
    EXPECT_TRUE(Logged("[1]STREAM:RegisterProvider: ERROR --- An attemp to create buffer for Stream 0 has failed "
                       "(CreateBuffer failed)"));

    // One asking for another size gets the old ring with its size and tail.
    a.dwTail = b.dwTail = 0xAAAA;
    Journal().clear();
    ASSERT_EQ(provider.Register(Stream(3), 3, 128), STATUS_SUCCESS);
    EXPECT_EQ(Stream(3).m_pBuffer, ring);
    EXPECT_EQ(Stream(3).m_nBufferSize, 64u);
    EXPECT_EQ(late.request->Status(), STATUS_SUCCESS);
    EXPECT_EQ(late.dwBufferSize, 64u);
    EXPECT_EQ(late.dwTail, 10u);
    EXPECT_EQ(a.dwTail, 0xAAAAu) << "joined consumers are not completed again";
    EXPECT_EQ(Journal(), (Strings{"A:5/0", "B:5/0", "L:5/0", "P:5/0/0", "A:3/null", "B:3/null", "L:3/null", "P:1/0/n=3"}));

    // A second provider is refused; the warning names the handle it asked with.
    STREAMER_SRV_PARAM second{};
    second.RegisterProvider.hStream = 0x503;
    second.RegisterProvider.dwBufferSize = 16;
    EXPECT_EQ(Stream(3).RegisterProvider(&second), STATUS_ALREADY_COMMITTED);
    EXPECT_TRUE(Logged("[2]STREAM:RegisterProvider: WARNNING --- Stream 1283 already has provider"));

    // Provider gone, then the consumers: the last one frees the ring.
    ShowModule(QVDBG_MODULE_STREAM, 3);
    ASSERT_EQ(Stream(3).UnRegisterProvider(), STATUS_SUCCESS);
    Journal().clear();
    EXPECT_EQ(a.Unregister(Stream(3), 3), STATUS_SUCCESS);
    EXPECT_EQ(b.Unregister(Stream(3), 3), STATUS_SUCCESS);
    EXPECT_EQ(late.Unregister(Stream(3), 3), STATUS_SUCCESS);
    EXPECT_TRUE(Journal().empty()) << "without a provider, code 2 goes nowhere";
    EXPECT_TRUE(Logged("[3]STREAM:UnRegisterConsumer: *** Cleaning Stream 3 *** (Free buffer)"));
    EXPECT_EQ(Stream(3).m_pBuffer, nullptr);
    EXPECT_EQ(Stream(3).m_nTail, 0u);

    // A provider without consumers leaves: cleaned at once, nobody told.
    ASSERT_EQ(provider.Register(Stream(8), 8, 32), STATUS_SUCCESS);
    Journal().clear();
    ASSERT_EQ(Stream(8).UnRegisterProvider(), STATUS_SUCCESS);
    EXPECT_TRUE(Logged("[3]STREAM:UnRegisterProvider: *** Cleaning stream 8 ***  (Free buffer !)"));
    EXPECT_TRUE(Journal().empty());
    EXPECT_EQ(Stream(8).m_hStream, 0u);
}

TEST_F(Registration, AllocationFailuresAreRefusedWithoutLeaks)
{
    TestConsumer &c = Consumer("C", 0x10);
    ShowModule(QVDBG_MODULE_STREAM, 1);

    // Record allocated, map table refused: the record is freed and the registration refused ...
    kemu::FailNthAllocation(2, kTracedTag);
    EXPECT_EQ(c.Register(Stream(2), 2), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Logged("[1]STREAM:RegisterConsumer: ERROR in stream 2, consumer 0x00000010 could not be added to the "
                       "consumer list (no memory)"));
    EXPECT_EQ(Stream(2).m_Consumers.GetCount(), 0);
    EXPECT_TRUE(Journal().empty()) << "the refused consumer is not notified";
    // ... and the map takes the next one.
    kemu::ClearAllocationFailures();
    EXPECT_EQ(c.Register(Stream(2), 2), STATUS_PENDING);
    EXPECT_EQ(c.Unregister(Stream(2), 2), STATUS_SUCCESS);

    kemu::FailNthAllocation(1, kTracedTag);
    EXPECT_EQ(c.Register(Stream(2), 2), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Logged("[1]STREAM:RegisterConsumer: ERROR in stream 2, (Allocates QvConsumerInfo class failed)"));

    kemu::FailNthAllocation(1, kTracedTag);
    EXPECT_EQ(provider.Register(Stream(2), 2, 4096), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Logged("[1]STREAM:CreateProviderInfoClass: ERROR in stream 0 (Allocation QvProviderInfo class failed)"));
    EXPECT_EQ(Stream(2).m_pProviderInfo, nullptr);

    kemu::FailNthAllocation(2, kTracedTag);
    EXPECT_EQ(provider.Register(Stream(2), 2, 4096), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Logged("[1]STREAM:CreateBuffer: ERROR in stream 0, Buffer allocation with size 4096 has failed"));
    EXPECT_EQ(Stream(2).m_pProviderInfo, nullptr);
    EXPECT_EQ(Stream(2).m_hStream, 0u);
}

// A consumer registering while the provider's registration creates the ring without the lock
// waits, and that registration completes it; no data and no unregistration get in meanwhile.
TEST_F(Registration, AConsumerArrivingWhileTheRingIsMadeWaitsForIt)
{
    TestConsumer &c = Consumer("C", 0x10);
    NTSTATUS consumerStatus = 0, unregisterStatus = 0;
    bool inWindow = false;
    ShowModule(QVDBG_MODULE_STREAM, 7);
    kemu::DebugService::SetSink([&](const std::string &line) {
        // Runs inside CreateBuffer (the lock is released there); nested log lines are dropped.
        if (!inWindow && line.find("STREAM:CreateBuffer --- Start") != std::string::npos) {
            inWindow = true;
            consumerStatus = c.Register(Stream(12), 12);
            UCHAR byte = 0;
            QvProviderInfo::OnProvideData(12, &byte, 1);
            unregisterStatus = Stream(12).UnRegisterProvider();
        }
    });
    ASSERT_EQ(provider.Register(Stream(12), 12, 256), STATUS_SUCCESS);
    kemu::DebugService::SetSink({});
    ASSERT_TRUE(inWindow);
    EXPECT_EQ(consumerStatus, STATUS_PENDING);
    EXPECT_EQ(unregisterStatus, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(provider.completed.empty());
    EXPECT_TRUE(c.announced.empty());
    ASSERT_TRUE(c.request->Completed());
    EXPECT_EQ(c.request->Status(), STATUS_SUCCESS);
    EXPECT_EQ(c.pBuffer, Stream(12).m_pBuffer);
    EXPECT_EQ(c.dwBufferSize, 256u);
    EXPECT_EQ(Record(Stream(12), c.handle)->m_nAvailableSpace, 256);
    EXPECT_EQ(Journal(), (Strings{"C:5/0", "C:5/0", "P:5/0/0", "C:3/null", "P:1/0/n=1"}));
}

// The provider's new tail becomes visible only with the announcement: a consumer registering after
// the copy but before the announcement gets the old tail and is told of the block.
TEST_F(Registration, AConsumerRegisteringBetweenCopyAndAnnouncementIsToldOfThatBlock)
{
    TestConsumer &c = Consumer("C", 0x10);
    ASSERT_EQ(provider.Register(Stream(13), 13, 16), STATUS_SUCCESS);
    UCHAR first[5] = {1, 2, 3, 4, 5};
    provider.pfnProvideData(13, first, 5);
    ShowModule(QVDBG_MODULE_STREAM, 8);
    kemu::DebugService::SetSink([&](const std::string &line) {
        if (line.find("STREAM:ProvideData: Before Acquire") != std::string::npos && !c.request) {
            EXPECT_EQ(c.Register(Stream(13), 13), STATUS_SUCCESS);
        }
    });
    UCHAR block[14] = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23};
    provider.pfnProvideData(13, block, sizeof(block));
    kemu::DebugService::SetSink({});
    ASSERT_TRUE(c.request);
    EXPECT_EQ(c.dwTail, 5u);
    EXPECT_EQ(c.announced, std::vector<ULONG>{14});
    for (ULONG i = 0; i < sizeof(block); ++i) {
        EXPECT_EQ(c.pBuffer[(c.dwTail + i) % c.dwBufferSize], block[i]);
    }
}

class Teardown : public StreamTest {
protected:
    TestProvider provider;
};

TEST_F(Teardown, TellsConsumersThenProviderCancelsWaitersAndShutsOutCallsBack)
{
    TestConsumer &a = Consumer("A", 0x10), &b = Consumer("B", 0x20);
    TestConsumer &w1 = Consumer("W1", 0x30), &w2 = Consumer("W2", 0x40);
    ASSERT_EQ(provider.Register(Stream(11), 11, 128), STATUS_SUCCESS);
    ASSERT_EQ(a.Register(Stream(11), 11), STATUS_SUCCESS);
    ASSERT_EQ(b.Register(Stream(11), 11), STATUS_SUCCESS);
    UCHAR info[8] = {};
    STREAMER_NOTIFICATION_PARAM param{};
    param.StreamInfo.pInfo = info;
    param.StreamInfo.nSize = sizeof(info);
    provider.pfnNotify(11, STREAMERNOTIFY_STREAM_INFO_CHANGED, &param);
    ASSERT_EQ(w1.Register(Stream(10), 10), STATUS_PENDING);
    ASSERT_EQ(w2.Register(Stream(10), 10), STATUS_PENDING);

    std::vector<bool> completedAtNine;
    for (TestConsumer *w : {&w1, &w2}) {
        w->onNotify = [this, w, &completedAtNine](ULONG code) {
            if (code != STREAMERNOTIFY_CONSUMER_DELETED) {
                return;
            }
            completedAtNine.push_back(w->request->Completed());
            // Calls back into the dying stream are refused, not waited for.
            QvConsumerInfo::OnDataProcessed(10, w->handle, 5);
            QvConsumerInfo::OnNotify(10, w->handle, 77, nullptr);
            QvProviderInfo::OnNotify(10, 39, nullptr);
            EXPECT_EQ(w->Unregister(Stream(10), 10), STATUS_UNSUCCESSFUL);
        };
    }
    ShowModule(QVDBG_MODULE_STREAM, 6);
    Journal().clear();

    // The table goes from 255 down to 0: the Active stream 11 before the Waiting stream 10.
    DeVididi &active = Stream(11);
    active.~DeVididi();
    EXPECT_EQ(Journal(), (Strings{"A:9/null", "B:9/null", "P:10/0/null"}));
    EXPECT_TRUE(Logged("[6]STREAM:~DeVididi: Free Provider for stream 11"));
    EXPECT_TRUE(Logged("[6]STREAM:~DeVididi: Free buffer for stream b"));
    new (&active) DeVididi();

    Journal().clear();
    ClearLines();
    DeVididi &waiting = Stream(10);
    waiting.~DeVididi();
    new (&waiting) DeVididi();
    EXPECT_EQ(Journal(), (Strings{"W1:9/null", "W2:9/null"}));
    EXPECT_EQ(completedAtNine, (std::vector<bool>{false, false})) << "9 comes before the cancellation";
    for (TestConsumer *w : {&w1, &w2}) {
        ASSERT_TRUE(w->request->Completed());
        EXPECT_EQ(w->request->Status(), STATUS_CANCELLED);
        EXPECT_EQ(w->request->Information(), 0u);
    }
    EXPECT_TRUE(Logged("[6]STREAM:~DeVididi: Delete hConsumer 0x00000030"));
    EXPECT_TRUE(Logged("[1]STREAM:DataProcessed: ERROR --- Stream 10 is being torn down (hConsumer=0x00000030)"));
    EXPECT_TRUE(Logged("[1]STREAM:NotifyProvider: ERROR --- Stream 10 is being torn down (hConsumer=0x00000040)"));
    EXPECT_TRUE(Logged("[1]STREAM:NotifyConsumers: ERROR --- Stream 10 is being torn down (dwType = 39)"));
    EXPECT_TRUE(Logged("[1]STREAM:UnRegisterConsumer: ERROR --- Stream 10 is being torn down"));
    // Records, rings and the information block are all freed: the fixture's leak check follows.
}

} // namespace
