// A whole conversation of two kernel-mode clients with the driver, through the I/O manager as real
// clients hold it: open by name, build device-control requests with an event and a status block,
// call the driver, wait when it pends; then data through the entry points, and the removal.
#include "entry_fixture.h"

namespace {

using namespace dvtest;

// One device-control request of a client, kept alive until it has finished.
struct Call {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS returned = STATUS_UNSUCCESSFUL;

    Call(PDEVICE_OBJECT device, ULONG code, void *input, ULONG inputLength, void *output = nullptr,
         ULONG outputLength = 0)
    {
        iosb.Status = STATUS_UNSUCCESSFUL;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength, FALSE,
                                                 &done, &iosb);
        if (irp != nullptr) {
            returned = IoCallDriver(device, irp);
        }
    }
    bool Pending() const { return returned == STATUS_PENDING; }
    // The final status, waiting for it when the driver kept the request.
    NTSTATUS Wait()
    {
        if (returned == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            return iosb.Status;
        }
        return returned;
    }
};

struct ProviderClient {
    std::vector<PUCHAR> returnedBuffers;
    std::vector<ULONG> notifications;
    STREAMER_PROVIDE_DATA_ENTRY pfnProvideData = nullptr;
    STREAMER_PROVIDER_NOTIFY_ENTRY pfnNotify = nullptr;

    static VOID STREAMER_CALL DataComplete(PUCHAR pBuffer, PVOID pContext)
    {
        static_cast<ProviderClient *>(pContext)->returnedBuffers.push_back(pBuffer);
    }
    static VOID STREAMER_CALL Notify(PVOID, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM, PVOID pContext)
    {
        static_cast<ProviderClient *>(pContext)->notifications.push_back(dwType);
    }
};

struct ConsumerClient {
    ULONG hStream = 0;
    PUCHAR pRing = nullptr;
    ULONG dwRingSize = 0xFFFFFFFF;
    ULONG dwReadAt = 0xFFFFFFFF;
    STREAMER_DATA_PROCESSED_ENTRY pfnDataProcessed = nullptr;
    STREAMER_CONSUMER_NOTIFY_ENTRY pfnNotify = nullptr;
    PVOID hMine = nullptr;
    std::vector<UCHAR> received;
    std::vector<ULONG> notifications;

    // The consumer's handle is its context: this object.
    static VOID STREAMER_CALL NewData(ULONG dwSize, PVOID pContext)
    {
        auto self = static_cast<ConsumerClient *>(pContext);
        for (ULONG i = 0; i < dwSize; ++i) {
            self->received.push_back(self->pRing[self->dwReadAt]);
            self->dwReadAt = (self->dwReadAt + 1) % self->dwRingSize;
        }
        self->pfnDataProcessed(self->hStream, self, dwSize);
    }
    static VOID STREAMER_CALL Notify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM, PVOID pContext)
    {
        static_cast<ConsumerClient *>(pContext)->notifications.push_back(dwType);
    }
};

class ClientConversationTest : public DriverFrameTest {};

TEST_F(ClientConversationTest, TwoClientsExchangeDataThroughTheDriverAndEverythingIsReturnedAtRemoval)
{
    SetLevel("STREAM", 2);
    Load();
    PDEVICE_OBJECT pdo = kemu::CreatePdo(u"DeVididi");
    ASSERT_EQ(kemu::PnpAddDevice(m_driver, pdo), STATUS_SUCCESS);

    // Both ways of naming the driver lead to its control device.
    KString deviceName(kDeviceName), linkName(kLinkName);
    PFILE_OBJECT consumerFile = nullptr, providerFile = nullptr;
    PDEVICE_OBJECT consumerDevice = nullptr, providerDevice = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(deviceName.get(), FILE_ALL_ACCESS, &consumerFile, &consumerDevice), STATUS_SUCCESS);
    ASSERT_EQ(IoGetDeviceObjectPointer(linkName.get(), FILE_ALL_ACCESS, &providerFile, &providerDevice), STATUS_SUCCESS);
    EXPECT_EQ(consumerDevice, providerDevice);
    EXPECT_EQ(nCounter, 2);

    // The consumer comes first and waits for its provider.
    constexpr ULONG kVideo = 0x00000104; // stream 4, LOCAL VIDEO
    ConsumerClient consumer;
    consumer.hStream = kVideo;
    STREAMER_SRV_PARAM joining;
    std::memset(&joining, 0, sizeof joining);
    joining.RegisterConsumer.hStream = kVideo;
    joining.RegisterConsumer.pfnNewDataReady = ConsumerClient::NewData;
    joining.RegisterConsumer.pfnNotify = ConsumerClient::Notify;
    joining.RegisterConsumer.hConsumer = &consumer;
    joining.RegisterConsumer.ppBuffer = &consumer.pRing;
    joining.RegisterConsumer.pdwBufferSize = &consumer.dwRingSize;
    joining.RegisterConsumer.pdwTail = &consumer.dwReadAt;
    joining.RegisterConsumer.ppfnDataProcessed = &consumer.pfnDataProcessed;
    joining.RegisterConsumer.ppfnNotify = &consumer.pfnNotify;
    joining.RegisterConsumer.phConsumer = &consumer.hMine;
    Call consumerJoins(consumerDevice, STREAMER_REGISTER_CONSUMER, &joining, sizeof joining);
    ASSERT_TRUE(consumerJoins.Pending());
    EXPECT_EQ(consumer.pRing, nullptr);
    EXPECT_EQ(consumer.hMine, &consumer);

    ProviderClient provider;
    STREAMER_STREAM_INFO info = {STREAMINFO_VIDEO, {{352 * 288, 30, 263}}};
    STREAMER_SRV_PARAM offering;
    std::memset(&offering, 0, sizeof offering);
    offering.RegisterProvider.hStream = kVideo;
    offering.RegisterProvider.dwBufferSize = 64;
    offering.RegisterProvider.pfnProvideDataComplete = ProviderClient::DataComplete;
    offering.RegisterProvider.pfnNotify = ProviderClient::Notify;
    offering.RegisterProvider.pStreamInfo = &info;
    offering.RegisterProvider.nStreamInfoSize = sizeof info;
    offering.RegisterProvider.ppfnProvideData = &provider.pfnProvideData;
    offering.RegisterProvider.ppfnNotify = &provider.pfnNotify;
    offering.RegisterProvider.pContext = &provider;
    Call providerJoins(providerDevice, STREAMER_REGISTER_PROVIDER, &offering, sizeof offering);
    EXPECT_EQ(providerJoins.Wait(), STATUS_SUCCESS);

    // The provider's arrival completed the consumer's request, after handing it the ring.
    EXPECT_EQ(consumerJoins.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(consumerJoins.iosb.Information, 0u);
    ASSERT_NE(consumer.pRing, nullptr);
    EXPECT_EQ(consumer.dwRingSize, 64u);
    EXPECT_EQ(consumer.dwReadAt, 0u);
    ASSERT_NE(consumer.pfnDataProcessed, nullptr);
    ASSERT_NE(provider.pfnProvideData, nullptr);

    // Three blocks of 40 bytes through a ring of 64: the second and third wrap around.
    std::vector<UCHAR> sent;
    UCHAR blocks[3][40];
    for (int b = 0; b < 3; ++b) {
        for (int i = 0; i < 40; ++i) {
            blocks[b][i] = static_cast<UCHAR>(b * 40 + i);
            sent.push_back(blocks[b][i]);
        }
        provider.pfnProvideData(kVideo, blocks[b], sizeof blocks[b]);
    }
    EXPECT_EQ(consumer.received, sent);
    EXPECT_EQ(provider.returnedBuffers, (std::vector<PUCHAR>{blocks[0], blocks[1], blocks[2]}));

    // Notifications both ways through the entry points.
    STREAMER_NOTIFICATION_PARAM param{};
    provider.pfnNotify(kVideo, 20, &param);
    consumer.pfnNotify(kVideo, &consumer, 21, &param);
    EXPECT_EQ(consumer.notifications.back(), 20u);
    EXPECT_EQ(provider.notifications.back(), 21u);

    // The bandwidth figure is the only thing copied back into the client's output.
    kemu::ScriptPerformanceCounter({0, 300, 1000, 1300, 2000, 2300, 3000, 3300, 4000, 4300, 5000, 5300, 6000, 6300,
                                    7000, 7300, 8000, 8300, 9000, 9300},
                                   10000);
    STREAMER_BANDWIDTH_PARAM question = {0, 0, 1};
    STREAMER_BANDWIDTH_PARAM answer = {0x11111111, 0x22222222, 0x33333333};
    Call bandwidth(providerDevice, STREAMER_IOCTL_GET_BANDWIDTH, &question, sizeof question, &answer, sizeof answer);
    EXPECT_EQ(bandwidth.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(bandwidth.iosb.Information, 4u);
    EXPECT_EQ(answer.dwBandwidth, 1280u);
    EXPECT_EQ(answer.dwReserved, 0x22222222u);
    EXPECT_EQ(answer.nMode, 0x33333333);

    // Both leave again.
    STREAMER_SRV_PARAM leaving;
    std::memset(&leaving, 0, sizeof leaving);
    leaving.UnRegisterConsumer.hStream = kVideo;
    leaving.UnRegisterConsumer.hConsumer = &consumer;
    EXPECT_EQ(Call(consumerDevice, STREAMER_UNREGISTER_CONSUMER, &leaving, sizeof leaving.UnRegisterConsumer).Wait(),
              STATUS_SUCCESS);
    EXPECT_EQ(provider.notifications.back(), static_cast<ULONG>(STREAMERNOTIFY_CONSUMER_UNREGISTERED));
    EXPECT_EQ(Call(providerDevice, STREAMER_UNREGISTER_PROVIDER, &offering, sizeof offering).Wait(), STATUS_SUCCESS);
    EXPECT_EQ(pDeVididiArray[4].m_pBuffer, nullptr);

    ObDereferenceObject(consumerFile);
    ObDereferenceObject(providerFile);
    EXPECT_EQ(nCounter, 0);

    ClearLog();
    ASSERT_EQ(kemu::PnpRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_FALSE(kemu::DriverIsLoaded(m_driver));
    // An empty leak report: tracing found every block freed, and so does the pool.
    EXPECT_TRUE(EntryStartingWith({"Allocation tracing", "TermNewDel"}).empty());
    EXPECT_EQ(kemu::PoolLeakReport(), "");
    EXPECT_EQ(kemu::OpenFileCount(), 0u);
    EXPECT_EQ(kemu::LiveRequestCount(), 0u);
    EXPECT_EQ(kemu::ViolationCount(), 0u);
}

} // namespace
