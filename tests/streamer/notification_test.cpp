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

// What a later consumer gets of an emptied block is golden.notifications'.
TEST_F(Notifications, TheInformationBlockIsCopiedReplacedEmptiedAndHandedToLateConsumers)
{
    Open(21);
    Show(QVDBG_MODULE_STREAM, 1);
    DeVididi &s = Stream(21);
    STREAMER_STREAM_INFO video{STREAMINFO_VIDEO, {{4, 25, 2}}}, audio{STREAMINFO_AUDIO, {{9, 0, 0}}};
    provider.SendInfo(21, &video, sizeof(video));
    provider.SendInfo(21, &audio, 12);
    provider.SendInfo(21, &audio, 16);
    EXPECT_EQ(Journal(), (Strings{"A:5/16", "B:5/16", "P:5/0/16", "A:5/12", "B:5/12", "P:5/0/12", "A:5/16", "B:5/16",
                                  "P:5/0/16"}));
    const PVOID copy = s.m_pStreamInfo;
    EXPECT_EQ(std::memcmp(copy, &audio, 16), 0);
    EXPECT_EQ(a.params.back().StreamInfo.pInfo, copy);
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
    // A block of size 0 empties it too.
    provider.SendInfo(21, &video, sizeof(video));
    provider.SendInfo(21, &video, 0);
    EXPECT_EQ(s.m_pStreamInfo, nullptr);
}

// Two senders at once, and a reader's pass replacing the block that the pass's next reader is handed:
// every reader sees a whole block, never a freed one.
struct WholeBlockReader {
    static inline std::atomic<int> torn{0};
    static inline TestProvider *sender = nullptr;
    static VOID STREAMER_CALL Notify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM p, PVOID)
    {
        thread_local bool nested = false;
        if (dwType != STREAMERNOTIFY_STREAM_INFO_CHANGED || p == nullptr || p->StreamInfo.pInfo == nullptr) {
            return;
        }
        const UCHAR *bytes = static_cast<const UCHAR *>(p->StreamInfo.pInfo);
        torn += std::count(bytes, bytes + 24, bytes[0]) != 24 || bytes[0] == kemu::kPoolFreedFill ? 1 : 0;
        if (!nested) {
            nested = true;
            UCHAR inner[24];
            std::memset(inner, 0xEE, sizeof(inner));
            sender->SendInfo(23, inner, sizeof(inner));
            nested = false;
        }
    }
};

TEST_F(Notifications, ConcurrentReplacementsHandOutOnlyLiveBlocks)
{
    WholeBlockReader::sender = &provider;
    provider.quiet = true;
    ASSERT_EQ(provider.Register(Stream(23), 23, 64), STATUS_SUCCESS);
    UCHAR handles[2];
    STREAMER_SRV_PARAM records[2];
    for (int i = 0; i < 2; ++i) {
        records[i] = ConsumerRecord(23, &handles[i], nullptr, WholeBlockReader::Notify);
        kemu::TestRequest request(STREAMER_REGISTER_CONSUMER, &records[i], sizeof(records[i]));
        ASSERT_EQ(CompleteUnlessPending(request, Stream(23).RegisterConsumer(request.Irp())), STATUS_SUCCESS);
    }
    const LONG live = __atomic_load_n(&g_nCurrentAllocations, __ATOMIC_RELAXED);
    auto send = [&](UCHAR fill) {
        UCHAR info[24];
        for (int n = 0; n < 1000; ++n) {
            std::memset(info, fill + n % 7, sizeof(info));
            provider.SendInfo(23, info, n % 5 == 0 ? 0 : sizeof(info));
        }
    };
    std::thread other(send, UCHAR(0x10));
    send(0x80);
    other.join();
    EXPECT_EQ(WholeBlockReader::torn, 0);
    EXPECT_EQ(__atomic_load_n(&g_nCurrentAllocations, __ATOMIC_RELAXED), live + 1) << "the replaced blocks are freed";
    for (UCHAR &handle : handles) {
        EXPECT_EQ(UnregisterConsumer(Stream(23), 23, &handle), STATUS_SUCCESS);
    }
}

// Two passes hand out one block (a replacement, and a snapshot nested in its callback); a third
// replaces it meanwhile. The inner pass ends first: the block stays until the outer one ends too.
TEST_F(Notifications, AnInformationBlockHandedOutByTwoPassesLastsUntilBothEnd)
{
    Open(22);
    UCHAR first[16], second[16];
    std::memset(first, 0x11, sizeof first);
    std::memset(second, 0x22, sizeof second);
    int depth = 0;
    std::vector<UCHAR> seenAfter;
    a.onNotify = [&](ULONG code) {
        if (code != STREAMERNOTIFY_STREAM_INFO_CHANGED) {
            return;
        }
        const auto *mine = static_cast<const UCHAR *>(a.params.back().StreamInfo.pInfo);
        ++depth;
        if (depth == 1) {
            provider.pfnNotify(22, STREAMERNOTIFY_STREAM_INFO_CHANGED, nullptr); // a snapshot of the same block
            seenAfter.assign(mine, mine + sizeof first);
        } else if (depth == 2) {
            provider.SendInfo(22, second, sizeof second); // the stream's block now another
        }
    };
    provider.SendInfo(22, first, sizeof first);
    EXPECT_EQ(depth, 3);
    EXPECT_EQ(seenAfter, std::vector<UCHAR>(first, first + sizeof first)) << "the block was freed under its pass";
    EXPECT_EQ(std::memcmp(Stream(22).m_pStreamInfo, second, sizeof second), 0);
}

// The walk reads the global table: without it, no callback; the entry points on a closed stream are
// Registration.TeardownTellsEveryone...'s.
TEST_F(Notifications, WithoutATableTheEntryPointsAndNewDataReadyOnlyLog)
{
    Open(3);
    Show(QVDBG_MODULE_CONSUMER_INFO, 1);
    QvConsumerInfo *record = Record(Stream(3), a.handle);
    const LONG space = record->AvailableSpace();
    DeVididi *table = __atomic_exchange_n(&pDeVididiArray, nullptr, __ATOMIC_SEQ_CST);
    record->NewDataReady(1000);
    __atomic_store_n(&pDeVididiArray, table, __ATOMIC_SEQ_CST);
    EXPECT_EQ(record->AvailableSpace(), space);
    EXPECT_TRUE(Journal().empty()) << "no callback, not even the lost-bytes one";
    EXPECT_EQ(Lines(), Strings{"[1]CONSUMER_INFO:NewDataReady: ERROR --- pDeVididiArray is NULL"});
}

// The answers (the control request hands a zeroed block) and another stream's refusal are golden.orb-query's.
TEST_F(Notifications, OrbDrvActiveIsAnsweredOnlyOnTheNotificationStream)
{
    TestConsumer &n = Consumer("N", 0x40);
    ASSERT_EQ(n.Register(Stream(1), 1), STATUS_PENDING);
    ASSERT_EQ(provider.Register(Stream(1), 1, 16), STATUS_SUCCESS);
    // Without a block there is nowhere to answer; stream 0 (no handle yet) refuses the code.
    Show(QVDBG_MODULE_STREAM, 1);
    Journal().clear();
    STREAMER_NOTIFICATION_PARAM p{};
    Stream(1).NotifyConsumers(STREAMERNOTIFY_IS_ORBDRV_ACTIVE, nullptr);
    Stream(9).NotifyConsumers(STREAMERNOTIFY_IS_ORBDRV_ACTIVE, &p);
    EXPECT_EQ(Lines(), (Strings{"[1]STREAM:NotifyConsumers: ERROR --- Stream 1 got STREAMERNOTIFY_IS_ORBDRV_ACTIVE "
                                "without a parameter block",
                                "[1]STREAM:NotifyConsumers: ERROR --- Stream 0 got STREAMERNOTIFY_IS_ORBDRV_ACTIVE (This "
                                "message belong only to Notification stream !!!"}));
    EXPECT_TRUE(Journal().empty());
}

} // namespace
