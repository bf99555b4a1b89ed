// A kernel-mode client's handle outliving the removal: its requests are refused, its close unloads.
#include "entry_fixture.h"

namespace {

using namespace dvtest;

class ClientConversation : public DriverFrameTest {};

TEST_F(ClientConversation, AHandleOutlivingTheRemovalIsRefusedAndItsLastCloseUnloads)
{
    Load();
    PDEVICE_OBJECT pdo = AddFunctionDevice();
    KString deviceName(kDeviceName);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&deviceName.string, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(nCounter, 1);
    ClearLog();
    ASSERT_EQ(kemu::PnpRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Count("[7]STREAMER_Unload --- End"), 1u);
    EXPECT_TRUE(Entry({"Allocation tracing", "TermNewDel"}).empty()); // an empty leak report
    ClearLog();
    STREAMER_SRV_PARAM offering = ProviderRecord(4), joining = ConsumerRecord(4, 0x41);
    STREAMER_SRV_PARAM leaving = ConsumerRecord(4, 0x41, true);
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
    ObDereferenceObject(file);
    EXPECT_EQ(nCounter, 0);
    EXPECT_FALSE(kemu::DriverIsLoaded(m_driver));
    EXPECT_EQ(Count("[7]STREAMER_Unload --- End"), 1u);
    EXPECT_EQ(kemu::OpenFileCount(), 0u);
    EXPECT_EQ(kemu::LiveRequestCount(), 0u);
    EXPECT_EQ(kemu::ViolationCount(), 0u);
}

} // namespace
