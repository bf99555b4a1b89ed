// Two kernel-mode clients through the I/O manager from opening by name to a removal with a handle open.
#include "entry_fixture.h"

namespace {

using namespace dvtest;

struct ProviderClient {
    std::vector<PUCHAR> returned;
    std::vector<ULONG> notifications;
    STREAMER_PROVIDE_DATA_ENTRY pfnProvideData = nullptr;
    STREAMER_PROVIDER_NOTIFY_ENTRY pfnNotify = nullptr;
    static VOID STREAMER_CALL DataComplete(PUCHAR pBuffer, PVOID pContext)
    {
        static_cast<ProviderClient *>(pContext)->returned.push_back(pBuffer);
    }
    static VOID STREAMER_CALL Notify(PVOID, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM, PVOID pContext)
    {
        static_cast<ProviderClient *>(pContext)->notifications.push_back(dwType);
    }
};

// The consumer's handle is its callback context: the object itself.
struct ConsumerClient {
    ULONG hStream = 0;
    PUCHAR pRing = nullptr;
    ULONG dwRingSize = 0;
    ULONG dwReadAt = 0;
    STREAMER_DATA_PROCESSED_ENTRY pfnDataProcessed = nullptr;
    STREAMER_CONSUMER_NOTIFY_ENTRY pfnNotify = nullptr;
    PVOID hMine = nullptr;
    std::vector<UCHAR> received;
    std::vector<ULONG> notifications;
    // Reads the new bytes in place and gives the space back at once.
    static VOID STREAMER_CALL NewData(ULONG dwSize, PVOID pContext)
    {
        auto self = static_cast<ConsumerClient *>(pContext);
        for (ULONG i = 0; i < dwSize; ++i, self->dwReadAt = (self->dwReadAt + 1) % self->dwRingSize) {
            self->received.push_back(self->pRing[self->dwReadAt]);
        }
        self->pfnDataProcessed(self->hStream, self, dwSize);
    }
    static VOID STREAMER_CALL Notify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM, PVOID pContext)
    {
        static_cast<ConsumerClient *>(pContext)->notifications.push_back(dwType);
    }
};

class ClientConversation : public DriverFrameTest {};

TEST_F(ClientConversation, TwoClientsExchangeDataAndEverythingIsReturnedAtRemoval)
{
    Load();
    PDEVICE_OBJECT pdo = AddFunctionDevice();
    KString deviceName(kDeviceName), linkName(kLinkName);
    PFILE_OBJECT consumerFile = nullptr, providerFile = nullptr;
    PDEVICE_OBJECT device = nullptr, sameDevice = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&deviceName.string, FILE_ALL_ACCESS, &consumerFile, &device), STATUS_SUCCESS);
    ASSERT_EQ(IoGetDeviceObjectPointer(&linkName.string, FILE_ALL_ACCESS, &providerFile, &sameDevice), STATUS_SUCCESS);
    EXPECT_EQ(device, sameDevice);
    EXPECT_EQ(nCounter, 2);
    constexpr ULONG kVideo = 0x00000104; // stream 4, LOCAL VIDEO
    ConsumerClient consumer;
    consumer.hStream = kVideo;
    STREAMER_SRV_PARAM joining = ZeroRecord();
    joining.RegisterConsumer = {kVideo, ConsumerClient::NewData, ConsumerClient::Notify, &consumer,
                                &consumer.pRing, &consumer.dwRingSize, &consumer.dwReadAt, &consumer.pfnDataProcessed,
                                &consumer.pfnNotify, &consumer.hMine};
    ClientCall consumerJoins(device, STREAMER_REGISTER_CONSUMER, &joining, sizeof joining);
    ASSERT_EQ(consumerJoins.returned, STATUS_PENDING);
    EXPECT_EQ(consumer.hMine, &consumer);
    ProviderClient provider;
    STREAMER_STREAM_INFO info = {STREAMINFO_VIDEO, {{352 * 288, 30, 263}}};
    STREAMER_SRV_PARAM offering = ZeroRecord();
    offering.RegisterProvider = {kVideo, 64, ProviderClient::DataComplete, ProviderClient::Notify, &info,
                                 (LONG)sizeof info, &provider.pfnProvideData, &provider.pfnNotify, &provider};
    EXPECT_EQ(ClientCall(device, STREAMER_REGISTER_PROVIDER, &offering, sizeof offering).Wait(), STATUS_SUCCESS);
    // The provider's arrival completed the consumer's request after handing it the ring.
    EXPECT_EQ(consumerJoins.Wait(), STATUS_SUCCESS);
    ASSERT_NE(consumer.pRing, nullptr);
    EXPECT_EQ(consumer.dwRingSize, 64u);
    ASSERT_NE(provider.pfnProvideData, nullptr);
    // Three blocks of 40 bytes through a ring of 64: the second and the third wrap around.
    std::vector<UCHAR> sent;
    UCHAR blocks[3][40];
    for (int b = 0; b < 3; ++b) {
        for (int i = 0; i < 40; ++i) {
            sent.push_back(blocks[b][i] = static_cast<UCHAR>(b * 40 + i));
        }
        provider.pfnProvideData(kVideo, blocks[b], sizeof blocks[b]);
    }
    EXPECT_EQ(consumer.received, sent);
    EXPECT_EQ(provider.returned, (std::vector<PUCHAR>{blocks[0], blocks[1], blocks[2]}));
    STREAMER_NOTIFICATION_PARAM param{};
    provider.pfnNotify(kVideo, 20, &param);
    consumer.pfnNotify(kVideo, &consumer, 21, &param);
    EXPECT_EQ(consumer.notifications.back(), 20u);
    EXPECT_EQ(provider.notifications.back(), 21u);
    // Only the figure's word is copied back into the client's output buffer.
    std::vector<int64_t> readings;
    for (int64_t start = 0; start < 10000; start += 1000) {
        readings.insert(readings.end(), {start, start + 300});
    }
    kemu::ScriptPerformanceCounter(readings, 10000);
    STREAMER_BANDWIDTH_PARAM question = {0, 0, 1}, answer = {0x11111111, 0x22222222, 0x33333333};
    ClientCall bandwidth(device, STREAMER_IOCTL_GET_BANDWIDTH, &question, sizeof question, &answer, sizeof answer);
    EXPECT_EQ(bandwidth.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(bandwidth.iosb.Information, 4u);
    EXPECT_EQ(answer.dwBandwidth, 1280u);
    EXPECT_EQ(answer.dwReserved, 0x22222222u);
    STREAMER_SRV_PARAM leaving = ZeroRecord();
    leaving.UnRegisterConsumer = {kVideo, &consumer};
    EXPECT_EQ(ClientCall(device, STREAMER_UNREGISTER_CONSUMER, &leaving, sizeof leaving.UnRegisterConsumer).Wait(), STATUS_SUCCESS);
    EXPECT_EQ(ClientCall(device, STREAMER_UNREGISTER_PROVIDER, &offering, sizeof offering).Wait(), STATUS_SUCCESS);
    EXPECT_EQ(pDeVididiArray[4].m_pBuffer, nullptr);
    ObDereferenceObject(providerFile);
    // The consumer's handle outlives the removal; requests that need the stream table are refused.
    ClearLog();
    ASSERT_EQ(kemu::PnpRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Count("[7]STREAMER_Unload --- End"), 1u);
    EXPECT_TRUE(Entry({"Allocation tracing", "TermNewDel"}).empty()); // an empty leak report
    ClearLog();
    STREAMER_PRINT_RANGE range = {0, 3};
    const std::vector<std::tuple<ULONG, void *, ULONG, NTSTATUS>> late = {
        {STREAMER_REGISTER_PROVIDER, &offering, sizeof offering, STATUS_UNSUCCESSFUL},
        {STREAMER_UNREGISTER_PROVIDER, &offering, sizeof offering, STATUS_UNSUCCESSFUL},
        {STREAMER_REGISTER_CONSUMER, &joining, sizeof joining, STATUS_UNSUCCESSFUL},
        {STREAMER_UNREGISTER_CONSUMER, &leaving, sizeof leaving.UnRegisterConsumer, STATUS_UNSUCCESSFUL},
        {STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range, STATUS_UNSUCCESSFUL},
        {STREAMER_IOCTL_IS_ORBDRV_ACTIVE, nullptr, 0, STATUS_UNSUCCESSFUL},
        {STREAMER_IOCTL_RESYNC_OAPI_CONSUMER, nullptr, 0, STATUS_SUCCESS},
        {STREAMER_IOCTL_UPDATE_DEBUG_LEVELS, nullptr, 0, STATUS_SUCCESS}};
    for (const auto &[code, input, length, status] : late) {
        EXPECT_EQ(ClientCall(device, code, input, length).Wait(), status) << std::hex << code;
        if (code == STREAMER_IOCTL_PRINT_STREAMS) {
            // 0xFF9 reads as a direct-I/O code to the I/O manager, so it goes to the dispatch routine directly.
            kemu::TestRequest print(STREAMER_IOCTL_PRINT_STATUS);
            EXPECT_EQ(print.Dispatch(STREAMER_Dispatch), STATUS_UNSUCCESSFUL);
        }
    }
    EXPECT_EQ(Entry({"RegisterProvider: ERROR", "UnRegisterProvider: ERROR", "RegisterConsumer: ERROR",
                     "UnRegisterConsumer: ERROR", "STREAMER_Dispatch: ERROR"}),
              (Lines{"[1]RegisterProvider: ERROR --- pDeVididiArray is NULL.",
                     "[1]UnRegisterProvider: ERROR --- pDeVididiArray is NULL.",
                     "[1]RegisterConsumer: ERROR --- pDeVididiArray is NULL.",
                     "[1]UnRegisterConsumer: ERROR --- pDeVididiArray is NULL.",
                     "[1]STREAMER_Dispatch: ERROR --- pDeVididiArray is NULL, no stream to print.",
                     "[1]STREAMER_Dispatch: ERROR --- pDeVididiArray is NULL, no stream to print.",
                     "[1]STREAMER_Dispatch: ERROR --- pDeVididiArray is NULL, STREAMER_IOCTL_IS_ORBDRV_ACTIVE not handled."}));
    EXPECT_EQ(Count("[3]UnRegisterConsumer --- End (With STATUS_UNSUCCESSFUL)"), 1u);
    // Its last close lets the platform unload the driver a second time.
    ObDereferenceObject(consumerFile);
    EXPECT_EQ(nCounter, 0);
    EXPECT_FALSE(kemu::DriverIsLoaded(m_driver));
    EXPECT_EQ(Count("[7]STREAMER_Unload --- End"), 1u);
    EXPECT_EQ(kemu::PoolLeakReport(), "");
    EXPECT_EQ(kemu::OpenFileCount(), 0u);
    EXPECT_EQ(kemu::LiveRequestCount(), 0u);
    EXPECT_EQ(kemu::ViolationCount(), 0u);
}

} // namespace
