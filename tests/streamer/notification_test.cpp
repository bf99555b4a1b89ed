// Notifications between provider and consumers, the stream information block and code 11.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "streamer/stream_fixture.h"

namespace {

using namespace dvtest;

class Notifications : public StreamTest {
protected:
    void Open(ULONG index)
    {
        ASSERT_EQ(provider.Register(Stream(index), index, 64), STATUS_SUCCESS);
        ASSERT_EQ(a.Register(Stream(index), index), STATUS_SUCCESS);
        ASSERT_EQ(b.Register(Stream(index), index), STATUS_SUCCESS);
        Journal().clear();
        Lines();
    }
    TestProvider provider;
    TestConsumer &a = Consumer("A", 0x10);
    TestConsumer &b = Consumer("B", 0x20);
};

TEST_F(Notifications, CodesBelowFortyReachEveryConsumerAndAnyCodeReachesTheProvider)
{
    Open(20);
    Show(QVDBG_MODULE_STREAM, 1);
    STREAMER_NOTIFICATION_PARAM p{};
    p.adwWords[0] = 7;
    provider.pfnNotify(20, 39, &p);
    provider.pfnNotify(20, 40, &p);
    a.pfnNotify(20, a.handle, 1000, &p);
    EXPECT_EQ(a.Unregister(Stream(20), 20), STATUS_SUCCESS);
    EXPECT_EQ(Journal(), (Strings{"A:39", "B:39", "P:1000/A/7", "P:2/A/1"}));
    EXPECT_EQ(Lines(), Strings{"[1]STREAM:NotifyConsumers: ERROR --- Stream 20 notify an invalid message to its "
                               "consumers (dwType = 40)"});
}

TEST_F(Notifications, TheInformationBlockIsCopiedReplacedEmptiedAndHandedToLateConsumers)
{
    Open(21);
    Show(QVDBG_MODULE_STREAM, 4);
    Show(QVDBG_MODULE_ENTRY, 5);
    DeVididi &s = Stream(21);
    STREAMER_STREAM_INFO video{STREAMINFO_VIDEO, {{4, 25, 2}}}, audio{STREAMINFO_AUDIO, {{9, 0, 0}}};
    provider.SendInfo(21, &video, sizeof(video));
    provider.SendInfo(21, &audio, 12);
    provider.SendInfo(21, &audio, 16);
    Strings lines = Lines();
    // Each kept copy is one traced block of exactly the block's size; the replaced ones go later.
    Strings allocations;
    for (const std::string &line : lines) {
        if (line.find("bytes allocated") != std::string::npos) {
            allocations.push_back(line.substr(0, line.find(" from ")));
        }
    }
    EXPECT_EQ(allocations, (Strings{"[5]ENTRY:TracedNew(...): 16 bytes allocated", "[5]ENTRY:TracedNew(...): 12 bytes allocated",
                                    "[5]ENTRY:TracedNew(...): 16 bytes allocated"}));
    EXPECT_EQ(Count(lines, "[4]STREAM:NotifyConsumers: Stream 21 got Video information: FrameSize 4   FrameRate 25    "
                           "CompStandard 2"),
              1u);
    EXPECT_EQ(Count(lines, "[4]STREAM:NotifyConsumers: Stream 21 got Audio information: CompStandard 9"), 1u)
        << "12 bytes are kept and passed on without an information line";
    EXPECT_EQ(Journal(), (Strings{"A:5/16", "B:5/16", "P:5/0/16", "A:5/12", "B:5/12", "P:5/0/12", "A:5/16", "B:5/16",
                                  "P:5/0/16"}));
    const PVOID copy = s.m_pStreamInfo;
    EXPECT_EQ(std::memcmp(copy, &audio, 16), 0);
    EXPECT_EQ(a.params.back().StreamInfo.pInfo, copy);
    EXPECT_EQ(provider.infoSeen.back(), copy);
    audio.u.Audio.CompStandard = 99;
    EXPECT_EQ(static_cast<PSTREAMER_STREAM_INFO>(copy)->u.Audio.CompStandard, 9) << "the sender's later change";
    // No block, or a negative size: the kept one goes out again.
    Journal().clear();
    provider.pfnNotify(21, STREAMERNOTIFY_STREAM_INFO_CHANGED, nullptr);
    provider.SendInfo(21, &video, -1);
    EXPECT_EQ(Journal(), (Strings{"A:5/16", "B:5/16", "P:5/0/16", "A:5/16", "B:5/16", "P:5/0/16"}));
    EXPECT_EQ(b.params.back().StreamInfo.pInfo, copy);
    // A size without data: the old block goes, the size stays as sent.
    provider.SendInfo(21, nullptr, 24);
    EXPECT_EQ(s.m_pStreamInfo, nullptr);
    EXPECT_EQ(s.m_nStreamInfoSize, 24);
    // No memory for the copy: an error, and everyone is told null and 0.
    Journal().clear();
    kemu::FailNthAllocation(1, kTracedTag);
    provider.SendInfo(21, &video, sizeof(video));
    EXPECT_EQ(Count(Lines(), "[1]STREAM:Streamer: ERROR --- Stream 21 failed in allocating an info struct in size of "
                             "16 bytes (m_pStreamInfo = NULL)"),
              1u);
    EXPECT_EQ(Journal(), (Strings{"A:5/0", "B:5/0", "P:5/0/0"}));
    // Size 0 empties it; a consumer registering later gets null and 0 too.
    provider.SendInfo(21, &video, sizeof(video));
    provider.SendInfo(21, &video, 0);
    EXPECT_EQ(s.m_pStreamInfo, nullptr);
    TestConsumer &late = Consumer("L", 0x30);
    ASSERT_EQ(late.Register(s, 21), STATUS_SUCCESS);
    EXPECT_EQ(late.params.front().StreamInfo.pInfo, nullptr);
    EXPECT_EQ(late.params.front().StreamInfo.nSize, 0);
}

// Code 5 answered three deep: a replaced block stays readable until its last outer pass ends.
TEST_F(Notifications, ReplacementsFromInsidePassesLeaveEachOuterPassesBlockReadable)
{
    Open(22);
    UCHAR blocks[4][32];
    for (int i = 0; i < 4; ++i) {
        std::memset(blocks[i], 0x11 * (i + 1), sizeof(blocks[i]));
    }
    int depth = 0;
    a.onNotify = [&](ULONG code) {
        if (code == STREAMERNOTIFY_STREAM_INFO_CHANGED && depth < 3) {
            ++depth;
            provider.SendInfo(22, blocks[depth], sizeof(blocks[depth]));
        }
    };
    std::vector<UCHAR> seenByB;
    b.onNotify = [&](ULONG code) {
        if (code != STREAMERNOTIFY_STREAM_INFO_CHANGED) {
            return;
        }
        const UCHAR *block = static_cast<const UCHAR *>(b.params.back().StreamInfo.pInfo);
        seenByB.insert(seenByB.end(), {block[0], block[31]});
    };
    const LONG live = __atomic_load_n(&g_nCurrentAllocations, __ATOMIC_RELAXED);
    const auto tags = kemu::PoolStatsAll();
    provider.SendInfo(22, blocks[0], sizeof(blocks[0]));
    EXPECT_EQ(seenByB, (std::vector<UCHAR>{0x44, 0x44, 0x33, 0x33, 0x22, 0x22, 0x11, 0x11})) << "innermost first";
    EXPECT_EQ(std::memcmp(Stream(22).m_pStreamInfo, blocks[3], sizeof(blocks[3])), 0);
    EXPECT_EQ(__atomic_load_n(&g_nCurrentAllocations, __ATOMIC_RELAXED), live + 1) << "the old blocks are freed after";
    for (const auto &[tag, stats] : kemu::PoolStatsAll()) {
        const uint64_t before = tags.count(tag) != 0 ? tags.at(tag).allocations : 0;
        EXPECT_EQ(stats.allocations - before, tag == kTracedTag || tag == kListTag ? 4u : 0u) << std::hex << tag;
    }
}

// Updates from two threads at once, each also nested once: every client reads whole, live blocks.
struct WholeBlockReader {
    std::atomic<int> torn{0};
    ULONG hStream = 0;
    TestProvider *provider = nullptr;
    static VOID STREAMER_CALL Notify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM p, PVOID self)
    {
        thread_local bool nested = false;
        auto *reader = static_cast<WholeBlockReader *>(self);
        if (dwType != STREAMERNOTIFY_STREAM_INFO_CHANGED || p == nullptr || p->StreamInfo.pInfo == nullptr) {
            return;
        }
        const UCHAR *bytes = static_cast<const UCHAR *>(p->StreamInfo.pInfo);
        reader->torn += std::count(bytes, bytes + 24, bytes[0]) != 24 ? 1 : 0;
        if (!nested) {
            nested = true;
            UCHAR inner[24];
            std::memset(inner, 0xEE, sizeof(inner));
            reader->provider->SendInfo(reader->hStream, inner, sizeof(inner));
            nested = false;
        }
    }
};

TEST_F(Notifications, ConcurrentReplacementsHandOutOnlyLiveBlocks)
{
    provider.quiet = true;
    ASSERT_EQ(provider.Register(Stream(23), 23, 64), STATUS_SUCCESS);
    WholeBlockReader readers[2];
    for (WholeBlockReader &reader : readers) {
        reader.hStream = 23;
        reader.provider = &provider;
        STREAMER_SRV_PARAM record = ConsumerRecord(23, &reader, nullptr, WholeBlockReader::Notify);
        kemu::TestRequest request(STREAMER_REGISTER_CONSUMER, &record, sizeof(record));
        ASSERT_EQ(CompleteUnlessPending(request, Stream(23).RegisterConsumer(request.Irp())), STATUS_SUCCESS);
    }
    const LONG live = __atomic_load_n(&g_nCurrentAllocations, __ATOMIC_RELAXED);
    auto sender = [&](UCHAR fill) {
        UCHAR info[24];
        for (int n = 0; n < 1000; ++n) {
            std::memset(info, fill + n % 7, sizeof(info));
            provider.SendInfo(23, info, n % 5 == 0 ? 0 : sizeof(info));
        }
    };
    std::thread other(sender, UCHAR(0x10));
    sender(0x80);
    other.join();
    EXPECT_EQ(readers[0].torn + readers[1].torn, 0);
    EXPECT_EQ(__atomic_load_n(&g_nCurrentAllocations, __ATOMIC_RELAXED), live + 1) << "the last copy alone";
    for (WholeBlockReader &reader : readers) {
        EXPECT_EQ(UnregisterConsumer(Stream(23), 23, &reader), STATUS_SUCCESS);
    }
}

// A closed stream is the missing table to its entry points; the walk's own test reads the global.
TEST_F(Notifications, WithoutATableTheEntryPointsAndNewDataReadyOnlyLog)
{
    Open(3);
    Show(QVDBG_MODULE_PROVIDER_INFO, 4);
    Show(QVDBG_MODULE_CONSUMER_INFO, 4);
    ASSERT_TRUE(DvRundownCloseStream(3));
    UCHAR byte = 0;
    QvProviderInfo::OnProvideData(0x203, &byte, 1);
    QvProviderInfo::OnNotify(3, 39, nullptr);
    QvConsumerInfo::OnDataProcessed(3, a.handle, 1);
    QvConsumerInfo::OnNotify(3, a.handle, 1, nullptr);
    DvRundownOpenStream(3, &Stream(3));
    QvConsumerInfo *record = Record(Stream(3), a.handle);
    const LONG space = record->AvailableSpace();
    DeVididi *table = __atomic_exchange_n(&pDeVididiArray, nullptr, __ATOMIC_SEQ_CST);
    record->NewDataReady(1);
    record->NewDataReady(1000);
    __atomic_store_n(&pDeVididiArray, table, __ATOMIC_SEQ_CST);
    EXPECT_EQ(record->AvailableSpace(), space);
    EXPECT_TRUE(Journal().empty()) << "no callback, not even the lost-bytes one";
    EXPECT_EQ(Lines(), (Strings{"[1]PROVIDER_INFO:static OnProvideData: ERROR --- stream 203 (ID=3) not exist",
                                "[4]PROVIDER_INFO:static OnProvideData --- End (With Error)",
                                "[1]PROVIDER_INFO:static OnNotify: ERROR --- pDeVididiArray is NULL",
                                "[3]PROVIDER_INFO:static OnNotify --- End (With Critical Error)",
                                "[1]CONSUMER_INFO:static OnDataProcessed: ERROR --- pDeVididiArray is NULL",
                                "[4]CONSUMER_INFO:static OnDataProcessed --- End (With Critical Error)",
                                "[1]CONSUMER_INFO:static OnNotify: ERROR --- pDeVididiArray is NULL",
                                "[4]CONSUMER_INFO:static OnNotify --- End (With Critical Error)",
                                "[1]CONSUMER_INFO:NewDataReady: ERROR --- pDeVididiArray is NULL",
                                "[4]CONSUMER_INFO:NewDataReady --- End (With Critical Error)",
                                "[1]CONSUMER_INFO:NewDataReady: ERROR --- pDeVididiArray is NULL",
                                "[4]CONSUMER_INFO:NewDataReady --- End (With Critical Error)"}));
}

TEST_F(Notifications, OrbDrvActiveIsAnsweredOnlyOnTheNotificationStream)
{
    TestConsumer &n = Consumer("N", 0x40);
    ASSERT_EQ(n.Register(Stream(1), 1), STATUS_PENDING);
    STREAMER_NOTIFICATION_PARAM p{};
    p.fOrbDrvActive = 0xFF;
    Stream(1).NotifyConsumers(STREAMERNOTIFY_IS_ORBDRV_ACTIVE, &p);
    EXPECT_EQ(n.params.back().fOrbDrvActive, 0u);
    ASSERT_EQ(provider.Register(Stream(1), 1, 16), STATUS_SUCCESS);
    Stream(1).NotifyConsumers(STREAMERNOTIFY_IS_ORBDRV_ACTIVE, &p);
    EXPECT_EQ(n.params.back().fOrbDrvActive, 1u);
    // Without a block there is nowhere to answer; other streams (handle 2, or 0) refuse the code.
    Open(2);
    Show(QVDBG_MODULE_STREAM, 5);
    Stream(1).NotifyConsumers(STREAMERNOTIFY_IS_ORBDRV_ACTIVE, nullptr);
    provider.pfnNotify(2, STREAMERNOTIFY_IS_ORBDRV_ACTIVE, &p);
    Stream(9).NotifyConsumers(STREAMERNOTIFY_IS_ORBDRV_ACTIVE, &p);
    const std::string end = "[5]STREAM:NotifyConsumers --- End (Without passing STREAMERNOTIFY_IS_ORBDRV_ACTIVE  "
                            "notification)";
    const std::string alien = " got STREAMERNOTIFY_IS_ORBDRV_ACTIVE (This message belong only to Notification stream !!!";
    Strings lines = Lines();
    EXPECT_EQ(Count(lines, "[1]STREAM:NotifyConsumers: ERROR --- Stream 1 got STREAMERNOTIFY_IS_ORBDRV_ACTIVE without "
                           "a parameter block"),
              1u);
    EXPECT_EQ(Count(lines, "[1]STREAM:NotifyConsumers: ERROR --- Stream 2" + alien), 1u);
    EXPECT_EQ(Count(lines, "[1]STREAM:NotifyConsumers: ERROR --- Stream 0" + alien), 1u);
    EXPECT_EQ(Count(lines, end), 3u);
    EXPECT_TRUE(Journal().empty());
}

} // namespace
