// Calls meeting the unload: none let in once the close has begun, every one inside waited for, and
// no wait for the call the unload is nested in.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "entry_fixture.h"

namespace {

using namespace dvtest;
using namespace std::chrono_literals;

// A provider on stream 5 whose data-complete callback can hold its call inside the driver.
struct BlockingProvider {
    std::atomic<bool> inside{false}, release{false};
    std::function<void()> whileInside;
    STREAMER_PROVIDE_DATA_ENTRY pfnProvideData = nullptr;
    STREAMER_PROVIDER_NOTIFY_ENTRY pfnNotify = nullptr;
    static VOID STREAMER_CALL DataComplete(PUCHAR, PVOID pContext)
    {
        auto self = static_cast<BlockingProvider *>(pContext);
        self->inside = true;
        if (self->whileInside) {
            self->whileInside();
        }
        while (!self->release) {
            std::this_thread::sleep_for(1ms);
        }
    }
    NTSTATUS Register(PDEVICE_OBJECT device, ULONG hStream)
    {
        STREAMER_SRV_PARAM offer = ZeroRecord();
        offer.RegisterProvider = {hStream, 64, DataComplete, nullptr, nullptr, 0, &pfnProvideData, &pfnNotify, this};
        return ClientCall(device, STREAMER_REGISTER_PROVIDER, &offer, sizeof offer).Wait();
    }
};

class Rundown : public DriverFrameTest {
protected:
    // Until a call on another stream is refused: the unload has closed the streams.
    static void WaitUntilClosed()
    {
        const std::string refused = "[1]DEVIDIDI-PROVIDER_INFO:static OnNotify: ERROR --- pDeVididiArray is NULL";
        for (;;) {
            QvProviderInfo::OnNotify(9, 30, nullptr);
            const Lines lines = Shown();
            if (std::find(lines.begin(), lines.end(), refused) != lines.end()) {
                return;
            }
            std::this_thread::sleep_for(1ms);
        }
    }
};

// Every control code sent while the unload waits for a provider call is refused, the table untouched.
TEST_F(Rundown, ControlCodesWhileTheUnloadWaitsAreRefusedAndLeaveTheTableAlone)
{
    kemu::DebugService::SetPresent(true);
    SetLevel("PROVIDER_INFO", 1);
    Load();
    PDEVICE_OBJECT pdo = AddFunctionDevice();
    PDEVICE_OBJECT device = ControlDevice();
    BlockingProvider provider;
    ASSERT_EQ(provider.Register(device, 5), STATUS_SUCCESS);
    ClearLog();
    UCHAR block[4] = {1, 2, 3, 4};
    std::thread providing([&] { provider.pfnProvideData(5, block, sizeof block); });
    while (!provider.inside) {
        std::this_thread::sleep_for(1ms);
    }
    std::atomic<bool> removed{false};
    std::thread removal([&] {
        EXPECT_EQ(kemu::PnpRemoveDevice(pdo), STATUS_SUCCESS);
        removed = true;
    });
    WaitUntilClosed();
    STREAMER_PROVIDE_DATA_ENTRY handedOut = nullptr;
    STREAMER_SRV_PARAM offer = ProviderRecord(7), join = ConsumerRecord(7, 0x70), part = ConsumerRecord(5, 0x50, true);
    STREAMER_SRV_PARAM leave = ProviderRecord(5, 0); // its stream only
    offer.RegisterProvider.ppfnProvideData = &handedOut;
    STREAMER_PRINT_RANGE range = {0, 8};
    const std::tuple<ULONG, void *, ULONG> codes[] = {
        {STREAMER_REGISTER_PROVIDER, &offer, sizeof offer}, {STREAMER_UNREGISTER_PROVIDER, &leave, sizeof leave},
        {STREAMER_REGISTER_CONSUMER, &join, sizeof join},   {STREAMER_UNREGISTER_CONSUMER, &part, sizeof part},
        {STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range}, {STREAMER_IOCTL_IS_ORBDRV_ACTIVE, nullptr, 0}};
    for (const auto &[code, input, length] : codes) {
        EXPECT_EQ(ClientCall(device, code, input, length).Wait(), STATUS_UNSUCCESSFUL) << std::hex << code;
    }
    kemu::TestRequest print(STREAMER_IOCTL_PRINT_STATUS);
    EXPECT_EQ(print.Dispatch(STREAMER_Dispatch), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(handedOut, nullptr);
    EXPECT_EQ(pDeVididiArray[7].m_pProviderInfo, nullptr);
    EXPECT_NE(pDeVididiArray[5].m_pProviderInfo, nullptr);
    EXPECT_EQ(Count("[7]RegisterProvider --- End (With 0)"), 0u);
    EXPECT_FALSE(removed.load()) << "the unload did not wait for the provider's call";
    provider.release = true;
    providing.join();
    removal.join();
    EXPECT_EQ(pDeVididiArray, nullptr);
}

// A removal from inside the provider's callback says it cannot wait for itself and unloads nothing.
TEST_F(Rundown, UnloadReachedFromInsideAProviderCallRefusesInsteadOfWaitingForItself)
{
    Load();
    PDEVICE_OBJECT pdo = AddFunctionDevice();
    BlockingProvider provider;
    ASSERT_EQ(provider.Register(ControlDevice(), 5), STATUS_SUCCESS);
    provider.release = true;
    provider.whileInside = [pdo] { kemu::PnpRemoveDevice(pdo); };
    UCHAR block[4] = {};
    provider.pfnProvideData(5, block, sizeof block); // returns: no spin
    EXPECT_EQ(Count("[1]STREAMER_Unload: ERROR --- reached from inside a call that holds stream 5, nothing is unloaded"),
              1u);
    EXPECT_NE(pDeVididiArray, nullptr);
    provider.whileInside = nullptr;
    provider.pfnProvideData(5, block, sizeof block); // refused: the streams stay closed
    EXPECT_NE(pDeVididiArray[5].m_pProviderInfo, nullptr);
    kemu::UnloadDriver(m_driver);
    m_driver = nullptr;
    EXPECT_EQ(pDeVididiArray, nullptr);
}

} // namespace
