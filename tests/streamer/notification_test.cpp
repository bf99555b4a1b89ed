// Notifications between provider and consumers, the stream information block, code 11 and the
// entry points without a stream table.
#include <cstring>

#include "streamer/stream_fixture.h"

namespace {

using namespace dvtest;

constexpr ULONG kTracedTag = KX_POOL_TAG('T', 'r', 'c', 'd');
using Strings = std::vector<std::string>;

class Notifications : public StreamTest {
protected:
    void Open(ULONG index)
    {
        ASSERT_EQ(provider.Register(Stream(index), index, 64), STATUS_SUCCESS);
        ASSERT_EQ(a.Register(Stream(index), index), STATUS_SUCCESS);
        ASSERT_EQ(b.Register(Stream(index), index), STATUS_SUCCESS);
        Journal().clear();
        ClearLines();
    }
    static STREAMER_NOTIFICATION_PARAM Info(void *pInfo, LONG nSize)
    {
        STREAMER_NOTIFICATION_PARAM p{};
        p.StreamInfo.pInfo = pInfo;
        p.StreamInfo.nSize = nSize;
        return p;
    }

    TestProvider provider;
    TestConsumer &a = Consumer("A", 0x10);
    TestConsumer &b = Consumer("B", 0x20);
};

TEST_F(Notifications, CodesBelowFortyReachEveryConsumerAndAnyCodeReachesTheProvider)
{
    Open(20);
    ShowModule(QVDBG_MODULE_STREAM, 5);
    ShowModule(QVDBG_MODULE_PROVIDER_INFO, 7);
    STREAMER_NOTIFICATION_PARAM p{};
    p.adwWords[0] = 7;
    provider.pfnNotify(20, 39, &p);
    provider.pfnNotify(20, 40, &p);
    EXPECT_EQ(Journal(), (Strings{"A:39", "B:39"}));
    EXPECT_TRUE(Logged("[1]STREAM:NotifyConsumers: ERROR --- Stream 20 notify an invalid message to its consumers "
                       "(dwType = 40)"));
    EXPECT_TRUE(Logged("[5]STREAM:NotifyConsumers --- End (With Error)"));
    EXPECT_TRUE(Logged("[5]STREAM:NotifyConsumers: Notify Consumer 0x00000020 about notification number 39"));

    Journal().clear();
    a.pfnNotify(20, a.handle, 1000, &p);
    EXPECT_EQ(Journal(), Strings{"P:1000/A/7"});
    EXPECT_TRUE(Logged("[4]STREAM:NotifyProvider: Consumer 0x00000010 is notifying the provider on stream 20 with message 1000"));

    // Consumer leaves: the provider learns how many are left; without a provider nobody is told.
    Journal().clear();
    EXPECT_EQ(a.Unregister(Stream(20), 20), STATUS_SUCCESS);
    EXPECT_EQ(Journal(), Strings{"P:2/A/n=1"});
    ASSERT_EQ(Stream(20).UnRegisterProvider(), STATUS_SUCCESS);
    ClearLines();
    b.pfnNotify(20, b.handle, 6, nullptr);
    EXPECT_TRUE(Logged("[4]STREAM:NotifyProvider: There is no provider for consumer 0x00000020"));
    EXPECT_TRUE(Logged("[5]STREAM:NotifyProvider --- End (Without passing notification 6)"));
}

TEST_F(Notifications, TheInformationBlockIsCopiedReplacedEmptiedAndHandedToLateConsumers)
{
    Open(21);
    ShowModule(QVDBG_MODULE_STREAM, 4);
    DeVididi &s = Stream(21);
    STREAMER_STREAM_INFO video{STREAMINFO_VIDEO, {{4, 25, 2}}};
    auto p = Info(&video, sizeof(video));
    provider.pfnNotify(21, STREAMERNOTIFY_STREAM_INFO_CHANGED, &p);
    EXPECT_TRUE(Logged("[4]STREAM:NotifyConsumers: Stream 21 got Video information: FrameSize 4   FrameRate 25    "
                       "CompStandard 2"));
    EXPECT_EQ(Journal(), (Strings{"A:5/16", "B:5/16", "P:5/0/16"}));
    PVOID copy = s.m_pStreamInfo;
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, static_cast<PVOID>(&video));
    EXPECT_EQ(a.infoSeen.back(), copy);
    EXPECT_EQ(provider.infoSeen.back(), copy);
    video.u.Video.FrameRate = 99;
    EXPECT_EQ(static_cast<PSTREAMER_STREAM_INFO>(copy)->u.Video.FrameRate, 25) << "the sender's later change is invisible";

    // 12 bytes: kept and passed on, no information line.
    ClearLines();
    STREAMER_STREAM_INFO audio{STREAMINFO_AUDIO, {{9, 0, 0}}};
    p = Info(&audio, 12);
    provider.pfnNotify(21, STREAMERNOTIFY_STREAM_INFO_CHANGED, &p);
    EXPECT_EQ(s.m_nStreamInfoSize, 12);
    EXPECT_EQ(std::memcmp(s.m_pStreamInfo, &audio, 12), 0);
    EXPECT_EQ(CountLogged("[4]STREAM:NotifyConsumers: Stream 21 got Audio information: CompStandard 9"), 0u);
    p = Info(&audio, 16);
    provider.pfnNotify(21, STREAMERNOTIFY_STREAM_INFO_CHANGED, &p);
    EXPECT_TRUE(Logged("[4]STREAM:NotifyConsumers: Stream 21 got Audio information: CompStandard 9"));

    // No block, or a negative size: the kept block goes out again.
    Journal().clear();
    PVOID kept = s.m_pStreamInfo;
    provider.pfnNotify(21, STREAMERNOTIFY_STREAM_INFO_CHANGED, nullptr);
    p = Info(&audio, -1);
    provider.pfnNotify(21, STREAMERNOTIFY_STREAM_INFO_CHANGED, &p);
    EXPECT_EQ(Journal(), (Strings{"A:5/16", "B:5/16", "P:5/0/16", "A:5/16", "B:5/16", "P:5/0/16"}));
    EXPECT_EQ(b.infoSeen.back(), kept);
    EXPECT_EQ(s.m_pStreamInfo, kept);

    // A size with a null pointer: the old block goes, the size is recorded as sent.
    p = Info(nullptr, 24);
    provider.pfnNotify(21, STREAMERNOTIFY_STREAM_INFO_CHANGED, &p);
    EXPECT_EQ(s.m_pStreamInfo, nullptr);
    EXPECT_EQ(s.m_nStreamInfoSize, 24);

    // No memory for the copy: error line, and everyone is told null and 0.
    ClearLines();
    Journal().clear();
    kemu::FailNthAllocation(1, kTracedTag);
    p = Info(&video, sizeof(video));
    provider.pfnNotify(21, STREAMERNOTIFY_STREAM_INFO_CHANGED, &p);
    EXPECT_TRUE(Logged("[1]STREAM:Streamer: ERROR --- Stream 21 failed in allocating an info struct in size of 16 "
                       "bytes (m_pStreamInfo = NULL)"));
    EXPECT_EQ(Journal(), (Strings{"A:5/0", "B:5/0", "P:5/0/0"}));

    // Size 0 empties it; a consumer registering later gets null and 0 too.
    provider.pfnNotify(21, STREAMERNOTIFY_STREAM_INFO_CHANGED, &p);
    p = Info(&video, 0);
    provider.pfnNotify(21, STREAMERNOTIFY_STREAM_INFO_CHANGED, &p);
    EXPECT_EQ(s.m_pStreamInfo, nullptr);
    TestConsumer &late = Consumer("L", 0x30);
    ASSERT_EQ(late.Register(s, 21), STATUS_SUCCESS);
    EXPECT_EQ(late.infoSeen, std::vector<PVOID>{nullptr});
    EXPECT_EQ(late.params.front().StreamInfo.nSize, 0);
}

// A client that answers a notification by sending new information replaces the block while the
// outer pass still hands the old one to the others: that one must stay readable until they are done.
TEST_F(Notifications, AReplacementFromInsideAPassLeavesTheOuterPassesBlockReadable)
{
    Open(22);
    UCHAR first[32], second[32];
    std::memset(first, 0x11, sizeof(first));
    std::memset(second, 0x22, sizeof(second));
    bool replaced = false;
    a.onNotify = [&](ULONG code) {
        if (code == STREAMERNOTIFY_STREAM_INFO_CHANGED && !replaced) {
            replaced = true;
            auto p = Info(second, sizeof(second));
            QvProviderInfo::OnNotify(22, STREAMERNOTIFY_STREAM_INFO_CHANGED, &p);
        }
    };
    std::vector<UCHAR> seenByB;
    b.onNotify = [&](ULONG code) {
        if (code == STREAMERNOTIFY_STREAM_INFO_CHANGED) {
            const UCHAR *block = static_cast<const UCHAR *>(b.infoSeen.back());
            seenByB.push_back(block[0]);
            seenByB.push_back(block[31]);
        }
    };
    const LONG blocksBefore = __atomic_load_n(&g_nCurrentAllocations, __ATOMIC_RELAXED);
    auto p = Info(first, sizeof(first));
    provider.pfnNotify(22, STREAMERNOTIFY_STREAM_INFO_CHANGED, &p);
    // Inner pass: A, B and the provider get the second block; then the outer pass goes on with the first.
    EXPECT_EQ(seenByB, (std::vector<UCHAR>{0x22, 0x22, 0x11, 0x11}));
    EXPECT_EQ(std::memcmp(Stream(22).m_pStreamInfo, second, sizeof(second)), 0);
    EXPECT_EQ(__atomic_load_n(&g_nCurrentAllocations, __ATOMIC_RELAXED), blocksBefore + 1)
        << "the replaced block is freed once both passes are over";
}

TEST_F(Notifications, OrbDrvActiveIsAnsweredOnlyOnTheNotificationStream)
{
    TestConsumer &n = Consumer("N", 0x40);
    ASSERT_EQ(n.Register(Stream(1), 1), STATUS_PENDING);
    STREAMER_NOTIFICATION_PARAM p{};
    p.fOrbDrvActive = 0xFF;
    Stream(1).NotifyConsumers(STREAMERNOTIFY_IS_ORBDRV_ACTIVE, &p);
    EXPECT_EQ(p.fOrbDrvActive, 0u);
    EXPECT_EQ(n.params.back().fOrbDrvActive, 0u);

    ASSERT_EQ(provider.Register(Stream(1), 1, 16), STATUS_SUCCESS);
    Stream(1).NotifyConsumers(STREAMERNOTIFY_IS_ORBDRV_ACTIVE, &p);
    EXPECT_EQ(p.fOrbDrvActive, 1u);
    EXPECT_EQ(n.params.back().fOrbDrvActive, 1u);

    // Without a block there is nowhere to answer: an error, and nobody is told.
    ShowModule(QVDBG_MODULE_STREAM, 5);
    Journal().clear();
    Stream(1).NotifyConsumers(STREAMERNOTIFY_IS_ORBDRV_ACTIVE, nullptr);
    EXPECT_TRUE(Logged("[1]STREAM:NotifyConsumers: ERROR --- Stream 1 got STREAMERNOTIFY_IS_ORBDRV_ACTIVE without a "
                       "parameter block"));
    EXPECT_TRUE(Logged("[5]STREAM:NotifyConsumers --- End (Without passing STREAMERNOTIFY_IS_ORBDRV_ACTIVE  notification)"));

    // Any other stream, or stream 1 before anyone gave it its handle, refuses the code.
    Open(2);
    provider.pfnNotify(2, STREAMERNOTIFY_IS_ORBDRV_ACTIVE, &p);
    Stream(9).NotifyConsumers(STREAMERNOTIFY_IS_ORBDRV_ACTIVE, &p);
    EXPECT_TRUE(Logged("[1]STREAM:NotifyConsumers: ERROR --- Stream 2 got STREAMERNOTIFY_IS_ORBDRV_ACTIVE (This message "
                       "belong only to Notification stream !!!"));
    EXPECT_TRUE(Logged("[1]STREAM:NotifyConsumers: ERROR --- Stream 0 got STREAMERNOTIFY_IS_ORBDRV_ACTIVE (This message "
                       "belong only to Notification stream !!!"));
    EXPECT_TRUE(Journal().empty());
    EXPECT_EQ(p.fOrbDrvActive, 1u);
}

TEST_F(Notifications, EntryPointsWithoutAStreamTableOnlyLog)
{
    Open(3);
    for (ULONG module : {QVDBG_MODULE_PROVIDER_INFO, QVDBG_MODULE_CONSUMER_INFO}) {
        ShowModule(module, 4);
    }
    DeVididi *table = pDeVididiArray;
    pDeVididiArray = nullptr;
    UCHAR byte = 0;
    QvProviderInfo::OnProvideData(0x203, &byte, 1);
    QvProviderInfo::OnNotify(3, 39, nullptr);
    QvConsumerInfo::OnDataProcessed(3, a.handle, 1);
    QvConsumerInfo::OnNotify(3, a.handle, 1, nullptr);
    Record(table[3], a.handle)->NewDataReady(1);
    pDeVididiArray = table;
    EXPECT_EQ(Lines(), (Strings{"[1]PROVIDER_INFO:static OnProvideData: ERROR --- stream 203 (ID=3) not exist",
                                "[4]PROVIDER_INFO:static OnProvideData --- End (With Error)",
                                "[1]PROVIDER_INFO:static OnNotify: ERROR --- pDeVididiArray is NULL",
                                "[3]PROVIDER_INFO:static OnNotify --- End (With Critical Error)",
                                "[1]CONSUMER_INFO:static OnDataProcessed: ERROR --- pDeVididiArray is NULL",
                                "[4]CONSUMER_INFO:static OnDataProcessed --- End (With Critical Error)",
                                "[1]CONSUMER_INFO:static OnNotify: ERROR --- pDeVididiArray is NULL",
                                "[4]CONSUMER_INFO:static OnNotify --- End (With Critical Error)",
                                "[1]CONSUMER_INFO:NewDataReady: ERROR --- pDeVididiArray is NULL",
                                "[4]CONSUMER_INFO:NewDataReady --- End (With Critical Error)"}));
    EXPECT_TRUE(Journal().empty());
    EXPECT_EQ(Record(table[3], a.handle)->m_nAvailableSpace, 64);
}

} // namespace
