// The echo sample against the exchange in the emulated kernel: the far end provides on stream 3,
// a listener consumes the echo on stream 9 and checks every byte. Each test guards one of the
// mistakes client drivers make most: reading across the ring's end, reporting more than was
// announced, reporting after unregistering, unloading with a request still pending.
#include <vector>

#include "devididi_testing.h"

namespace {

using devididi::kit::Consumer;
using devididi::kit::Provider;

constexpr ULONG kFarEndStream = 3;
constexpr ULONG kEchoStream = 9;

class EchoTest : public devididi::kit::ExchangeTest {
protected:
    void LoadEcho() { ASSERT_EQ(LoadClient("echo"), STATUS_SUCCESS) << PrintedText(); }
    static std::vector<UCHAR> Join(const std::vector<std::vector<UCHAR>> &blocks)
    {
        std::vector<UCHAR> all;
        for (const auto &block : blocks) {
            all.insert(all.end(), block.begin(), block.end());
        }
        return all;
    }
};

// The echo waits for a far end that comes later, then returns every byte in order, also the blocks
// that lie across the end of the far end's ring; on the DPC thread as it would run on a machine.
TEST_F(EchoTest, WaitsForTheFarEndThenEchoesEveryByteAcrossTheRingsEnd)
{
    kemu::SetDpcMode(kemu::DpcMode::Thread);
    LoadEcho();
    EXPECT_TRUE(Printed("echo: waiting for the far end")) << PrintedText();
    Consumer &listener = StartConsumer(kEchoStream);
    Provider &farEnd = StartProvider(kFarEndStream, 1000);
    EXPECT_TRUE(Printed("echo: consumer registration completed: 0x00000000"));

    std::vector<std::vector<UCHAR>> said;
    for (ULONG size : {300u, 300u, 300u, 300u, 700u, 999u, 1u, 1000u}) {
        said.push_back(farEnd.Provide(size));
        RunDpcs(); // the far end keeps within a ring of the echo: no byte is lost
    }
    said.push_back(farEnd.ProvideAcrossTheEnd(800));
    RunDpcs();
    EXPECT_EQ(listener.received, Join(said));
    EXPECT_TRUE(Logged("Lost Bytes").empty());
}

// Bytes overwritten before the echo read them are dropped with the block that overran them; after
// that the echo's reports add up exactly: a full ring is taken without loss, one byte more is lost.
TEST_F(EchoTest, DropsWhatWasOverrunAndReportsExactlyWhatItWasTold)
{
    Provider &farEnd = StartProvider(kFarEndStream, 1000);
    LoadEcho();
    Consumer &listener = StartConsumer(kEchoStream);

    farEnd.Provide(600);
    farEnd.Provide(600); // the DPC has not run: 200 bytes lost, this block unannounced
    ASSERT_EQ(Logged("Lost Bytes = 200").size(), 1u);
    RunDpcs();
    EXPECT_TRUE(Printed("echo: lost 200 bytes, dropping 1200 unread")) << PrintedText();
    EXPECT_TRUE(listener.received.empty());

    std::vector<std::vector<UCHAR>> said;
    said.push_back(farEnd.Provide(400));
    said.push_back(farEnd.Provide(600));
    RunDpcs();
    EXPECT_EQ(listener.received, Join(said));

    farEnd.Provide(1000);
    EXPECT_EQ(Logged("Lost Bytes").size(), 1u) << "the echo gave back less than it was told of";
    farEnd.Provide(1);
    EXPECT_EQ(Logged("Lost Bytes = 1").size(), 1u) << "the echo gave back more than it was told of";
    RunDpcs();
    EXPECT_EQ(listener.received.size(), 1000u);
    EXPECT_TRUE(Logged("ERROR").empty()) << Logged("ERROR")[0];
}

// Unloading with echo work still queued: the DPC is taken back before the consumer leaves, so no
// report reaches the exchange for a consumer it no longer knows.
TEST_F(EchoTest, UnloadWithWorkQueuedReportsNothingAfterUnregistering)
{
    Provider &farEnd = StartProvider(kFarEndStream, 1000);
    LoadEcho();
    farEnd.Provide(100);
    ASSERT_EQ(kemu::QueuedDpcCount(), 1u);
    UnloadClient();
    EXPECT_TRUE(Logged("has no consumer").empty()) << Logged("has no consumer")[0];
    EXPECT_TRUE(Printed("echo: unloaded"));
}

// Unloading while the consumer registration still pends cancels it: no request of the echo stays
// with the exchange to be completed into an unloaded driver later.
TEST_F(EchoTest, UnloadWhileTheRegistrationPendsCancelsIt)
{
    LoadEcho();
    ASSERT_EQ(kemu::LiveRequestCount(), 1u);
    UnloadClient();
    EXPECT_EQ(kemu::LiveRequestCount(), 0u) << "the echo's registration request outlived its driver";
    EXPECT_EQ(Logged("completed its IRP with STATUS_CANCELLED").size(), 1u);
    EXPECT_TRUE(Printed("echo: consumer registration completed: 0xc0000120"));
    StartProvider(kFarEndStream, 1000); // a provider arriving now finds no one waiting
}

// What the echo avoids, done wrong: a driver that leaves its pending registration with the
// exchange at its unload is named by the verifier.
TEST_F(EchoTest, VerifierNamesADriverUnloadedWithItsRegistrationPending)
{
    static STREAMER_SRV_PARAM param;
    static KEVENT done;
    static IO_STATUS_BLOCK iosb;
    static PFILE_OBJECT file;
    auto forgetful = [](PDRIVER_OBJECT driver, PUNICODE_STRING) NTAPI -> NTSTATUS {
        UNICODE_STRING name;
        PDEVICE_OBJECT exchange;
        RtlInitUnicodeString(&name, u"\\Device\\DeVididi");
        IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &exchange);
        param = STREAMER_SRV_PARAM{};
        param.RegisterConsumer.hStream = kFarEndStream;
        param.RegisterConsumer.hConsumer = &param;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCallDriver(exchange, IoBuildDeviceIoControlRequest(STREAMER_REGISTER_CONSUMER, exchange, &param, sizeof param,
                                                             nullptr, 0, FALSE, &done, &iosb));
        driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI { ObDereferenceObject(file); };
        return STATUS_SUCCESS;
    };
    LoadLinkedClient(forgetful, "Forgetful");
    UnloadClient();
    const std::vector<kemu::Violation> reports = kemu::TakeViolations();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].rule, kemu::rule::kRequestLeftAtUnload);
    EXPECT_NE(reports[0].detail.find("Forgetful"), std::string::npos) << reports[0].detail;
}

// The exchange removed under the echo: both registrations are deleted by it, the echo notices and,
// at its own unload, only drops its handle.
TEST_F(EchoTest, ExchangeRemovedUnderTheEcho)
{
    Provider &farEnd = StartProvider(kFarEndStream, 1000);
    LoadEcho();
    farEnd.Provide(10);
    RunDpcs();
    farEnd.Unregister();
    RemoveExchangeDevice();
    EXPECT_TRUE(Printed("echo: consumer deleted by the exchange")) << PrintedText();
    EXPECT_TRUE(Printed("echo: provider deleted by the exchange"));
    UnloadClient();
    EXPECT_FALSE(Printed("echo: unregister")) << PrintedText();
}

} // namespace
