// The ring buffer, the data path and the per-consumer free space.
#include <cstring>
#include <numeric>

#include "streamer/stream_fixture.h"

namespace {

using namespace dvtest;

class Ring : public StreamTest {
protected:
    // A provider with a ring of `size` on stream 4 and one consumer joined to it, which reports
    // each block processed from inside its new-data callback if asked to.
    void Open(ULONG size, bool reportAtOnce = false)
    {
        if (reportAtOnce) {
            reader.onNewData = [this](ULONG n) { reader.pfnDataProcessed(4, reader.handle, n); };
        }
        ASSERT_EQ(provider.Register(Stream(4), 4, size), STATUS_SUCCESS);
        ASSERT_EQ(reader.Register(Stream(4), 4), STATUS_SUCCESS);
        Journal().clear();
    }
    std::vector<UCHAR> Block(size_t n, UCHAR first)
    {
        std::vector<UCHAR> b(n);
        std::iota(b.begin(), b.end(), first);
        return b;
    }
    void Provide(std::vector<UCHAR> &bytes) { provider.pfnProvideData(4, bytes.data(), ULONG(bytes.size())); }
    // What a consumer reads in place: n bytes from `pos`, wrapping at the ring's end.
    std::vector<UCHAR> ReadInPlace(ULONG pos, ULONG n)
    {
        std::vector<UCHAR> out;
        for (ULONG i = 0; i < n; ++i) {
            out.push_back(reader.pBuffer[(pos + i) % reader.dwBufferSize]);
        }
        return out;
    }

    TestProvider provider;
    TestConsumer reader{"C", 0x10};
};

TEST_F(Ring, BlocksWrapInOneOrTwoPiecesAndAConsumerReadsThemInOrder)
{
    Open(8, true);
    EXPECT_EQ(std::vector<UCHAR>(reader.pBuffer, reader.pBuffer + 8), std::vector<UCHAR>(8, 0)) << "a new ring is zero";
    ShowModule(QVDBG_MODULE_STREAM, 5);

    auto a = Block(6, 100);
    Provide(a);
    EXPECT_EQ(Stream(4).m_nTail, 6u);

    // Ring of 8, tail 6, a block of 5: bytes 0-1 at offsets 6-7, bytes 2-4 at offsets 0-2.
    ClearLines();
    const ULONG handedTail = Stream(4).m_nTail;
    auto b = Block(5, 200);
    Provide(b);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"[5]STREAM:ProvideData: Stream 4 is providing data to its consumers",
                                                 "[5]STREAM:ProvideData: (Before), Cyclic copy (tail=6)",
                                                 "[5]STREAM:ProvideData: (After), one Cyclic copy (tail=3)"}));
    EXPECT_EQ(reader.pBuffer[6], 200);
    EXPECT_EQ(reader.pBuffer[7], 201);
    EXPECT_EQ(reader.pBuffer[0], 202);
    EXPECT_EQ(reader.pBuffer[2], 204);
    EXPECT_EQ(ReadInPlace(handedTail, reader.announced.back()), b);

    // Exactly the room left (5 at tail 3): one piece, the tail wraps to 0.
    ClearLines();
    auto c = Block(5, 50);
    Provide(c);
    EXPECT_TRUE(Logged("[5]STREAM:ProvideData: (Before), There is enough place in DeVididi buffer (tail=3)"));
    EXPECT_TRUE(Logged("[5]STREAM:ProvideData: (After), tail=0"));
    EXPECT_EQ(ReadInPlace(3, 5), c);

    // The whole ring at tail 0 is one piece; at tail T > 0 it is two and the tail stays at T.
    auto whole = Block(8, 1);
    Provide(whole);
    EXPECT_EQ(Stream(4).m_nTail, 0u);
    auto three = Block(3, 9);
    Provide(three);
    ClearLines();
    Provide(whole);
    EXPECT_TRUE(Logged("[5]STREAM:ProvideData: (Before), Cyclic copy (tail=3)"));
    EXPECT_EQ(Stream(4).m_nTail, 3u);
    EXPECT_EQ(ReadInPlace(3, 8), whole);

    // room + 1: the second piece is one byte.
    auto six = Block(6, 70);
    Provide(six);
    EXPECT_EQ(Stream(4).m_nTail, 1u);
    EXPECT_EQ(ReadInPlace(3, 6), six);

    EXPECT_EQ(reader.announced, (std::vector<ULONG>{6, 5, 5, 8, 3, 8, 6}));
    EXPECT_EQ(provider.completed.size(), 7u);
    EXPECT_EQ(provider.completed.back(), six.data());
}

TEST_F(Ring, OversizedNullAndEmptyBlocks)
{
    Open(8);
    ShowModule(QVDBG_MODULE_STREAM, 5);
    auto nine = Block(9, 0);
    Provide(nine);
    provider.pfnProvideData(4, nullptr, 3);
    EXPECT_TRUE(Logged("[1]STREAM:ProvideData: ERROR --- Stream 4 failed to provide data to its consumers "
                       "(ProviderBuffer=0, dwSize=3)"));
    EXPECT_EQ(CountLogged("[5]STREAM:ProvideData --- End (Action stoped)"), 2u);
    EXPECT_TRUE(reader.announced.empty());
    EXPECT_TRUE(provider.completed.empty());
    EXPECT_EQ(Stream(4).m_pProviderInfo->m_nBytesProvided, 0u);
    EXPECT_EQ(std::string(Stream(4).m_pszCheckpoint), "Provide data exit (bad parameters)");

    // 0 bytes: a warning, consumers told 0, the buffer handed back, the tail where it was.
    UCHAR byte = 0;
    provider.pfnProvideData(4, &byte, 0);
    EXPECT_TRUE(Logged("[2]STREAM:ProvideData: WARNING --- Stream 4 got ProvideData function with 0 size"));
    EXPECT_EQ(reader.announced, std::vector<ULONG>{0});
    EXPECT_EQ(provider.completed, std::vector<PUCHAR>{&byte});
    EXPECT_EQ(Stream(4).m_nTail, 0u);
    EXPECT_EQ(std::string(Stream(4).m_pszCheckpoint), "Provide data exit (end ok)");
    EXPECT_EQ(std::string(Stream(4).m_pProviderInfo->m_pszCheckpoint),
              "static QvProviderInfo::OnProvideData after provide data (exiting)");
}

TEST_F(Ring, DataForAStreamWithoutProviderIsDroppedByTheEntryPoint)
{
    // Handle 0x104 reaches stream 4 like 4 does; the consumer waits, there is no provider.
    ASSERT_EQ(reader.Register(Stream(4), 0x104), STATUS_PENDING);
    ShowModule(QVDBG_MODULE_PROVIDER_INFO);
    UCHAR bytes[4] = {1, 2, 3, 4};
    QvProviderInfo::OnProvideData(0x104, bytes, 4);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"[7]PROVIDER_INFO:static OnProvideData --- Start",
                                                 "[5]PROVIDER_INFO:static OnProvideData(260, [pProviderBuffer], 4)",
                                                 "[1]PROVIDER_INFO:static OnProvideData: stream 104 (ID=4) has no provider.",
                                                 "[4]PROVIDER_INFO:static OnProvideData --- End (With Error)"}));
    EXPECT_TRUE(reader.announced.empty());
    EXPECT_EQ(Stream(4).m_hStream, 0x104u) << "the first registrant's whole handle";
}

class FreeSpace : public Ring {};

TEST_F(FreeSpace, TheThousandByteWorkedExample)
{
    Open(1000);
    EXPECT_EQ(reader.dwBufferSize, 1000u);
    for (ULONG size : {600u, 300u, 250u, 50u}) {
        auto b = Block(size, 0);
        Provide(b);
    }
    EXPECT_EQ(Journal(), (std::vector<std::string>{"C:data/600", "C:data/300", "C:8/150/250", "C:8/200/50"}));
    reader.pfnDataProcessed(4, reader.handle, 900);
    Journal().clear();
    auto b = Block(250, 0);
    Provide(b);
    EXPECT_EQ(Journal(), std::vector<std::string>{"C:data/250"});
    QvConsumerInfo *record = Record(Stream(4), reader.handle);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->m_nAvailableSpace, 450);

    // A block exactly as large as the space leaves 0 and is announced; one byte more is lost.
    auto rest = Block(450, 0);
    Provide(rest);
    EXPECT_EQ(record->m_nAvailableSpace, 0);
    auto one = Block(1, 0);
    Provide(one);
    EXPECT_EQ(Journal().back(), "C:8/1/1");
}

TEST_F(FreeSpace, ReportsLargeNegativeUnknownAndEarly)
{
    TestConsumer &early = Consumer("E", 0x20);
    ASSERT_EQ(early.Register(Stream(4), 4), STATUS_PENDING);
    ShowModule(QVDBG_MODULE_CONSUMER_INFO);
    ShowModule(QVDBG_MODULE_STREAM);
    QvConsumerInfo::OnDataProcessed(4, early.handle, 10);
    EXPECT_TRUE(Logged("[4]CONSUMER_INFO:QvConsumerInfo::DataProcessed No provider is registered."));

    Open(1000);
    QvConsumerInfo *record = Record(Stream(4), reader.handle);
    ASSERT_NE(record, nullptr);

    ClearLines();
    reader.pfnDataProcessed(4, reader.handle, 0xFFFFFFFF);
    EXPECT_TRUE(Logged("[2]CONSUMER_INFO:DataProcessed: size is -1"));
    EXPECT_EQ(record->m_nAvailableSpace, 999);

    ClearLines();
    reader.pfnDataProcessed(4, reader.handle, 32767);
    EXPECT_EQ(CountLogged("[2]STREAM:DataProcessed: WARNING at stream 4, the size of the processed data is 32767"), 0u);
    EXPECT_TRUE(Logged("[1]STREAM:DataProcessed: ERROR in stream 4, The processed size (32767) is bigger than the "
                       "buffer size (1000)"));
    reader.pfnDataProcessed(4, reader.handle, 32768);
    EXPECT_TRUE(Logged("[2]STREAM:DataProcessed: WARNING at stream 4, the size of the processed data is 32768"));
    EXPECT_EQ(record->m_nAvailableSpace, 999 + 32767 + 32768) << "no upper bound";

    ClearLines();
    reader.pfnDataProcessed(4, H(0x990), 5);
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "[7]CONSUMER_INFO:static OnDataProcessed --- Start",
                           "[5]CONSUMER_INFO:static OnDataProcessed: (hStream=4, hConsumer=990, dwSize=5)",
                           "[7]STREAM:DataProcessed --- Start", "[6]STREAM:DataProcessed: hConsumer=0x00000990 dwSize=5",
                           "[1]STREAM:OnDataProcessed: ERROR in stream 4 has no consumer 0x00000990",
                           "[5]STREAM:DataProcessed --- End (With Error)",
                           "[7]CONSUMER_INFO:static OnDataProcessed --- End"}));
}

class ShowStream_ : public Ring {};

TEST_F(ShowStream_, ReportsProviderBytesTailAndEveryConsumersSpace)
{
    ShowModule(QVDBG_MODULE_STREAM, 2);
    Stream(9).ShowStream();
    EXPECT_EQ(Lines(), (std::vector<std::string>{"[1]STREAM:Stream 0 -------------------------------------------------",
                                                 "[2]STREAM: Has no provider", "[2]STREAM: This stream has no consumers !",
                                                 "[1]STREAM:ShowStream -------------------------------------------------"}));

    Open(100);
    TestConsumer &second = Consumer("D", 0x20);
    TestConsumer &third = Consumer("E", 0x30);
    ASSERT_EQ(second.Register(Stream(4), 4), STATUS_SUCCESS);
    auto b = Block(60, 0);
    Provide(b);
    ASSERT_EQ(third.Register(Stream(4), 4), STATUS_SUCCESS);
    Provide(b);
    ClearLines();
    Stream(4).ShowStream();
    char provider_line[160];
    std::snprintf(provider_line, sizeof(provider_line),
                  "[2]STREAM: The Provider => provided 120 bytes since previous Get Status, (Pointer=0x%s) (Tail "
                  "position=20)",
                  Hex8(Stream(4).m_pProviderInfo).c_str());
    EXPECT_EQ(Lines(), (std::vector<std::string>{"[1]STREAM:Stream 4 -------------------------------------------------",
                                                 provider_line, "[2]STREAM: Consumers => This stream has 3 consumer(s)",
                                                 "[2]STREAM:(1) hConsumer 10, Free space on the buffer is -20",
                                                 "[2]STREAM:(2) hConsumer 20, Free space on the buffer is -20",
                                                 "[2]STREAM:(3) hConsumer 30, Free space on the buffer is 40",
                                                 "[1]STREAM:ShowStream -------------------------------------------------"}));
    ClearLines();
    Stream(4).ShowStream();
    EXPECT_NE(Lines()[1].find("provided 0 bytes since previous Get Status"), std::string::npos);
}

} // namespace
