// The ring buffer, the data path, the per-consumer free space and the status report.
#include <numeric>

#include "streamer/stream_fixture.h"

namespace {

using namespace dvtest;

class Ring : public StreamTest {
protected:
    // Stream 4: a provider with a ring of `size` and consumer C.
    void Open(ULONG size)
    {
        ASSERT_EQ(provider.Register(Stream(4), 4, size), STATUS_SUCCESS);
        ASSERT_EQ(reader.Register(Stream(4), 4), STATUS_SUCCESS);
        Journal().clear();
    }
    std::vector<UCHAR> Provide(size_t n, UCHAR first = 0)
    {
        std::vector<UCHAR> b(n);
        std::iota(b.begin(), b.end(), first);
        provider.pfnProvideData(4, b.data(), ULONG(n));
        return b;
    }
    // What C reads in place: n bytes from pos, wrapping at the ring's end.
    std::vector<UCHAR> ReadAt(ULONG pos, ULONG n)
    {
        std::vector<UCHAR> out;
        for (ULONG i = 0; i < n; ++i) {
            out.push_back(reader.pBuffer[(pos + i) % reader.dwBufferSize]);
        }
        return out;
    }
    TestProvider provider;
    TestConsumer &reader = Consumer("C", 0x10);
};

TEST_F(Ring, BlocksGoInOneOrTwoPiecesAndAConsumerReadsThemInPlaceInOrder)
{
    reader.onNewData = [this](ULONG n) { reader.pfnDataProcessed(4, reader.handle, n); }; // reports at once
    Open(8);
    EXPECT_EQ(ReadAt(0, 8), std::vector<UCHAR>(8, 0)) << "a new ring is zero";
    Provide(6, 100);
    Show(QVDBG_MODULE_STREAM, 5);
    Lines();
    // 8 bytes, tail 6, a block of 5: bytes 0-1 at offsets 6-7, bytes 2-4 at offsets 0-2.
    auto b = Provide(5, 200);
    EXPECT_EQ(Lines(), (Strings{"[5]STREAM:ProvideData: Stream 4 is providing data to its consumers",
                                "[5]STREAM:ProvideData: (Before), Cyclic copy (tail=6)",
                                "[5]STREAM:ProvideData: (After), one Cyclic copy (tail=3)"}));
    EXPECT_EQ(ReadAt(6, 5), b);
    // Exactly the room left: one piece, the tail wraps to 0.
    auto c = Provide(5, 50);
    EXPECT_EQ(ReadAt(3, 5), c);
    // The whole ring: one piece at tail 0; two at tail 3, where the tail stays.
    Provide(8);
    EXPECT_EQ(Stream(4).m_nTail, 0u);
    Provide(3);
    auto whole = Provide(8, 1);
    EXPECT_EQ(Stream(4).m_nTail, 3u);
    EXPECT_EQ(ReadAt(3, 8), whole);
    // room + 1: the second piece is one byte.
    auto six = Provide(6, 70);
    EXPECT_EQ(Stream(4).m_nTail, 1u);
    EXPECT_EQ(ReadAt(3, 6), six);
    EXPECT_EQ(reader.announced, (std::vector<ULONG>{6, 5, 5, 8, 3, 8, 6}));
}

TEST_F(Ring, OversizedNullEmptyAndProviderlessBlocks)
{
    Open(8);
    Show(QVDBG_MODULE_STREAM, 5);
    Provide(9);
    provider.pfnProvideData(4, nullptr, 3);
    Strings lines = Lines();
    EXPECT_EQ(Count(lines, "[1]STREAM:ProvideData: ERROR --- Stream 4 failed to provide data to its consumers "
                           "(ProviderBuffer=0, dwSize=3)"),
              1u);
    EXPECT_TRUE(reader.announced.empty());
    EXPECT_TRUE(provider.completed.empty());
    EXPECT_EQ(Stream(4).m_pProviderInfo->m_nBytesProvided, 0u);
    // 0 bytes: a warning, consumers told 0, the buffer handed back, the tail where it was.
    UCHAR byte = 0;
    provider.pfnProvideData(4, &byte, 0);
    EXPECT_EQ(Lines()[1], "[2]STREAM:ProvideData: WARNING --- Stream 4 got ProvideData function with 0 size");
    EXPECT_EQ(reader.announced, std::vector<ULONG>{0});
    EXPECT_EQ(provider.completed, std::vector<PUCHAR>{&byte});
    EXPECT_EQ(std::string(Stream(4).m_pProviderInfo->m_pszCheckpoint),
              "static QvProviderInfo::OnProvideData after provide data (exiting)");
    // A waiting consumer on stream 5 (reached by handle 0x105), no provider: the entry point drops it.
    TestConsumer &waiting = Consumer("W", 0x20);
    ASSERT_EQ(waiting.Register(Stream(5), 0x105), STATUS_PENDING);
    Show(QVDBG_MODULE_PROVIDER_INFO, 1);
    Lines();
    QvProviderInfo::OnProvideData(0x105, &byte, 1);
    EXPECT_EQ(Lines(), Strings{"[1]PROVIDER_INFO:static OnProvideData: stream 105 (ID=5) has no provider."});
    EXPECT_TRUE(waiting.announced.empty());
}

// The data path tests its three modules' levels once a call: each module on alone still shows every
// line it shows beside the others, for a block and for reports from the walk and from elsewhere.
TEST_F(Ring, EachDataPathModuleOnAloneShowsAllItsLines)
{
    reader.onNewData = [this](ULONG n) { reader.pfnDataProcessed(4, reader.handle, n); };
    Open(8);
    const ULONG modules[] = {QVDBG_MODULE_PROVIDER_INFO, QVDBG_MODULE_CONSUMER_INFO, QVDBG_MODULE_STREAM};
    auto run = [this] { // the ring's size with its tail at 0: the same lines every time
        Provide(8);
        reader.pfnDataProcessed(4, reader.handle, 0);
        return Lines();
    };
    for (ULONG module : modules) {
        Show(module, 8);
    }
    const Strings all = run();
    for (ULONG shown : modules) {
        for (ULONG module : modules) {
            Show(module, module == shown ? 8 : 0);
        }
        const std::string tag = std::string("]") + DebugIdArray[shown].szModuleName + ":";
        Strings expected;
        std::copy_if(all.begin(), all.end(), std::back_inserter(expected),
                     [&](const std::string &line) { return line.find(tag) != std::string::npos; });
        EXPECT_FALSE(expected.empty()) << tag;
        EXPECT_EQ(run(), expected) << tag;
    }
}

TEST_F(Ring, FreeSpaceFollowsTheThousandByteExampleAndTakesEveryReport)
{
    Open(1000);
    for (ULONG size : {600u, 300u, 250u, 50u}) {
        Provide(size);
    }
    EXPECT_EQ(Journal(), (Strings{"C:data/600", "C:data/300", "C:8/150/250", "C:8/200/50"}));
    reader.pfnDataProcessed(4, reader.handle, 900);
    Provide(250);
    EXPECT_EQ(Journal().back(), "C:data/250");
    QvConsumerInfo *record = Record(Stream(4), reader.handle);
    EXPECT_EQ(record->AvailableSpace(), 450);
    Provide(450);
    EXPECT_EQ(record->AvailableSpace(), 0) << "a block as large as the space is announced";
    Provide(1);
    EXPECT_EQ(Journal().back(), "C:8/1/1");
    Show(QVDBG_MODULE_STREAM, 2);
    Show(QVDBG_MODULE_CONSUMER_INFO, 2);
    Lines();
    reader.pfnDataProcessed(4, reader.handle, 0xFFFFFFFF); // taken as -1
    reader.pfnDataProcessed(4, reader.handle, 32767);
    reader.pfnDataProcessed(4, reader.handle, 32768);
    EXPECT_EQ(Lines(), (Strings{"[2]STREAM:DataProcessed: WARNING at stream 4, the size of the processed data is -1",
                                "[1]STREAM:DataProcessed: ERROR in stream 4, The processed size (-1) is bigger than "
                                "the buffer size (1000)",
                                "[2]CONSUMER_INFO:DataProcessed: size is -1",
                                "[1]STREAM:DataProcessed: ERROR in stream 4, The processed size (32767) is bigger "
                                "than the buffer size (1000)",
                                "[2]STREAM:DataProcessed: WARNING at stream 4, the size of the processed data is 32768",
                                "[1]STREAM:DataProcessed: ERROR in stream 4, The processed size (32768) is bigger "
                                "than the buffer size (1000)"}));
    EXPECT_EQ(record->AvailableSpace(), -1 - 1 + 32767 + 32768) << "no upper bound";
    // A report that takes space away reaches the next block's decision, however much the walk saw.
    Provide(100);
    EXPECT_EQ(Journal().back(), "C:data/100");
    reader.pfnDataProcessed(4, reader.handle, 0u - ULONG(record->AvailableSpace() - 3));
    Provide(4);
    EXPECT_EQ(Journal().back(), "C:8/1/4");
}

// The report's other lines are pinned by the golden runs (addresses masked).
TEST_F(Ring, TheStatusReportShowsBytesSinceTheLastOneTailAndEachConsumersSpace)
{
    Open(100);
    Provide(60);
    ASSERT_EQ(Consumer("E", 0x30).Register(Stream(4), 4), STATUS_SUCCESS);
    Provide(60);
    Show(QVDBG_MODULE_STREAM, 2);
    Stream(4).ShowStream();
    // A consumer behind by more than the ring shows a negative space; one that joined late, its own.
    Strings lines = Lines();
    EXPECT_EQ(Count(lines, "[2]STREAM:(1) hConsumer 10, Free space on the buffer is -20"), 1u);
    EXPECT_EQ(Count(lines, "[2]STREAM:(2) hConsumer 30, Free space on the buffer is 40"), 1u);
}

} // namespace
