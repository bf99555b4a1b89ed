// The echo sample against the exchange in the emulated kernel: the far end provides on stream 3,
// a listener consumes the echo on stream 9 and checks every byte. Each test guards one of the
// mistakes client drivers make most: reading across the ring's end, reporting more than was
// announced, reporting after unregistering, unloading with a request still pending.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "devididi_exchange.h"
#include "emu/kemu/kemu.h"
#include "streamer.h"

extern "C" NTSTATUS NTAPI echo_DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath);

namespace {

constexpr ULONG kFarEndStream = 3;
constexpr ULONG kEchoStream = 9;

// A client of the test's own, with a handle on the exchange's control device.
class Client {
public:
    Client()
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\DeVididi");
        EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &m_file, &m_device), STATUS_SUCCESS);
    }
    ~Client() { ObDereferenceObject(m_file); }
    NTSTATUS Send(ULONG code, STREAMER_SRV_PARAM &param)
    {
        KEVENT done;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, m_device, &param, sizeof param, nullptr, 0, FALSE, &done, &iosb);
        NTSTATUS status = IoCallDriver(m_device, irp);
        return status == STATUS_PENDING ? STATUS_PENDING : iosb.Status;
    }

private:
    PFILE_OBJECT m_file = nullptr;
    PDEVICE_OBJECT m_device = nullptr;
};

// The far end: provider of stream 3, counting the bytes it sends.
class FarEnd : public Client {
public:
    NTSTATUS Register(ULONG ringSize)
    {
        STREAMER_SRV_PARAM param{};
        param.RegisterProvider.hStream = kFarEndStream;
        param.RegisterProvider.dwBufferSize = ringSize;
        param.RegisterProvider.pfnProvideDataComplete = [](PUCHAR, PVOID) STREAMER_CALL {};
        param.RegisterProvider.pfnNotify = [](PVOID, ULONG, PSTREAMER_NOTIFICATION_PARAM, PVOID) STREAMER_CALL {};
        param.RegisterProvider.ppfnProvideData = &m_pfnProvide;
        param.RegisterProvider.ppfnNotify = &m_pfnNotify;
        return Send(STREAMER_REGISTER_PROVIDER, param);
    }
    NTSTATUS Unregister()
    {
        STREAMER_SRV_PARAM param{};
        param.UnRegisterProvider.hStream = kFarEndStream;
        return Send(STREAMER_UNREGISTER_PROVIDER, param);
    }
    // A block whose bytes number their position in the far end's whole stream.
    std::vector<UCHAR> Say(ULONG size)
    {
        std::vector<UCHAR> block(size);
        for (UCHAR &byte : block) {
            byte = static_cast<UCHAR>(m_sent++ * 7 + 1);
        }
        m_pfnProvide(kFarEndStream, block.data(), size);
        return block;
    }

private:
    STREAMER_PROVIDE_DATA_ENTRY m_pfnProvide = nullptr;
    STREAMER_PROVIDER_NOTIFY_ENTRY m_pfnNotify = nullptr;
    ULONG m_sent = 0;
};

// A consumer of the echo that copies each block out of the ring as it is told of it.
class Listener : public Client {
public:
    NTSTATUS Register()
    {
        STREAMER_SRV_PARAM param{};
        param.RegisterConsumer.hStream = kEchoStream;
        param.RegisterConsumer.pfnNewDataReady = [](ULONG size, PVOID self) STREAMER_CALL {
            static_cast<Listener *>(self)->Heard(size);
        };
        param.RegisterConsumer.pfnNotify = [](ULONG, PSTREAMER_NOTIFICATION_PARAM, PVOID) STREAMER_CALL {};
        param.RegisterConsumer.hConsumer = this;
        param.RegisterConsumer.ppBuffer = &m_pRing;
        param.RegisterConsumer.pdwBufferSize = &m_nSize;
        param.RegisterConsumer.pdwTail = &m_nTail;
        param.RegisterConsumer.ppfnDataProcessed = &m_pfnProcessed;
        param.RegisterConsumer.ppfnNotify = &m_pfnNotify;
        return Send(STREAMER_REGISTER_CONSUMER, param);
    }
    NTSTATUS Unregister()
    {
        STREAMER_SRV_PARAM param{};
        param.UnRegisterConsumer.hStream = kEchoStream;
        param.UnRegisterConsumer.hConsumer = this;
        return Send(STREAMER_UNREGISTER_CONSUMER, param);
    }
    std::vector<UCHAR> heard;

private:
    void Heard(ULONG size)
    {
        for (ULONG i = 0; i < size; ++i) {
            heard.push_back(m_pRing[(m_nTail + i) % m_nSize]);
        }
        m_nTail = (m_nTail + size) % m_nSize;
        m_pfnProcessed(kEchoStream, this, size);
    }
    PUCHAR m_pRing = nullptr;
    ULONG m_nSize = 0, m_nTail = 0;
    STREAMER_DATA_PROCESSED_ENTRY m_pfnProcessed = nullptr;
    STREAMER_CONSUMER_NOTIFY_ENTRY m_pfnNotify = nullptr;
};

class EchoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kemu::ResetCore();
        kemu::ResetIo();
        kemu::ResetRegistry();
        kemu::SetViolationMode(kemu::ViolationMode::Record);
        kemu::SetDpcMode(kemu::DpcMode::Manual);
        for (const char *module : {"STREAM", "CONSUMER_INFO", "PROVIDER_INFO"}) {
            kemu::SetRegistryDword(std::string("\\Registry\\Machine\\SOFTWARE\\NRV\\debug\\krnl\\DEVIDIDI\\") + module,
                                   "DebugLevel", 5);
        }
        kemu::SetDbgPrintSink([this](const std::string &text) { m_echoSaid += text; });
        m_exchange = kemu::LoadDriver(DriverEntry, u"\\Driver\\DeVididi", u"").driver;
        ASSERT_NE(m_exchange, nullptr);
        m_pdo = kemu::CreatePdo(u"DeVididi");
        ASSERT_EQ(kemu::PnpAddDevice(m_exchange, m_pdo), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (m_echo != nullptr) {
            UnloadEcho();
        }
        m_farEnd.reset();
        m_listener.reset();
        if (m_pdo != nullptr) {
            kemu::PnpRemoveDevice(m_pdo);
        }
        kemu::UnloadDriver(m_exchange);
        EXPECT_EQ(kemu::LiveRequestCount(), 0u) << "a request is left pending";
        EXPECT_EQ(kemu::PoolLeakReport(), "");
        EXPECT_EQ(kemu::ResetDpcs(), 0u) << "a DPC was left queued";
        EXPECT_EQ(kemu::ResetIo(), 0u);
        for (const auto &violation : kemu::TakeViolations()) {
            ADD_FAILURE() << "kernel rule broken: " << violation.rule << ": " << violation.detail;
        }
        kemu::ResetCore();
    }

    void LoadEcho()
    {
        kemu::DriverLoad load = kemu::LoadDriver(echo_DriverEntry, u"\\Driver\\Echo", u"");
        ASSERT_EQ(load.status, STATUS_SUCCESS) << m_echoSaid;
        m_echo = load.driver;
    }
    void UnloadEcho()
    {
        kemu::UnloadDriver(m_echo);
        m_echo = nullptr;
        kemu::RunQueuedDpcs(); // a DPC the unload left behind would run now, too late
    }
    FarEnd &StartFarEnd(ULONG ringSize)
    {
        m_farEnd = std::make_unique<FarEnd>();
        EXPECT_EQ(m_farEnd->Register(ringSize), STATUS_SUCCESS);
        return *m_farEnd;
    }
    Listener &StartListener()
    {
        m_listener = std::make_unique<Listener>();
        EXPECT_EQ(m_listener->Register(), STATUS_SUCCESS);
        return *m_listener;
    }
    // The exchange's log lines that contain the text.
    static std::vector<std::string> Logged(const std::string &text)
    {
        std::vector<std::string> found;
        for (const std::string &line : kemu::DebugService::Lines()) {
            if (line.find(text) != std::string::npos) {
                found.push_back(line);
            }
        }
        return found;
    }
    static std::vector<UCHAR> Join(const std::vector<std::vector<UCHAR>> &blocks)
    {
        std::vector<UCHAR> all;
        for (const auto &block : blocks) {
            all.insert(all.end(), block.begin(), block.end());
        }
        return all;
    }

    PDRIVER_OBJECT m_exchange = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    PDRIVER_OBJECT m_echo = nullptr;
    std::unique_ptr<FarEnd> m_farEnd;
    std::unique_ptr<Listener> m_listener;
    std::string m_echoSaid;
};

// The echo waits for a far end that comes later, then returns every byte in order, also the blocks
// that lie across the end of the far end's ring; on the DPC thread as it would run on a machine.
TEST_F(EchoTest, WaitsForTheFarEndThenEchoesEveryByteAcrossTheRingsEnd)
{
    kemu::SetDpcMode(kemu::DpcMode::Thread);
    LoadEcho();
    EXPECT_NE(m_echoSaid.find("echo: waiting for the far end"), std::string::npos) << m_echoSaid;
    Listener &listener = StartListener();
    FarEnd &farEnd = StartFarEnd(1000);
    EXPECT_NE(m_echoSaid.find("echo: consumer registration completed: 0x00000000"), std::string::npos);

    std::vector<std::vector<UCHAR>> said;
    for (ULONG size : {300u, 300u, 300u, 300u, 700u, 999u, 1u, 1000u}) {
        said.push_back(farEnd.Say(size));
        kemu::RunQueuedDpcs(); // the far end keeps within a ring of the echo: no byte is lost
    }
    EXPECT_EQ(listener.heard, Join(said));
    EXPECT_TRUE(Logged("Lost Bytes").empty());
}

// Bytes overwritten before the echo read them are dropped with the block that overran them; after
// that the echo's reports add up exactly: a full ring is taken without loss, one byte more is lost.
TEST_F(EchoTest, DropsWhatWasOverrunAndReportsExactlyWhatItWasTold)
{
    FarEnd &farEnd = StartFarEnd(1000);
    LoadEcho();
    Listener &listener = StartListener();

    farEnd.Say(600);
    farEnd.Say(600); // the DPC has not run: 200 bytes lost, this block unannounced
    ASSERT_EQ(Logged("Lost Bytes = 200").size(), 1u);
    kemu::RunQueuedDpcs();
    EXPECT_NE(m_echoSaid.find("echo: lost 200 bytes, dropping 1200 unread"), std::string::npos) << m_echoSaid;
    EXPECT_TRUE(listener.heard.empty());

    std::vector<std::vector<UCHAR>> said;
    said.push_back(farEnd.Say(400));
    said.push_back(farEnd.Say(600));
    kemu::RunQueuedDpcs();
    EXPECT_EQ(listener.heard, Join(said));

    farEnd.Say(1000);
    EXPECT_EQ(Logged("Lost Bytes").size(), 1u) << "the echo gave back less than it was told of";
    farEnd.Say(1);
    EXPECT_EQ(Logged("Lost Bytes = 1").size(), 1u) << "the echo gave back more than it was told of";
    kemu::RunQueuedDpcs();
    EXPECT_EQ(listener.heard.size(), 1000u);
    EXPECT_TRUE(Logged("ERROR").empty()) << Logged("ERROR")[0];
}

// Unloading with echo work still queued: the DPC is taken back before the consumer leaves, so no
// report reaches the exchange for a consumer it no longer knows.
TEST_F(EchoTest, UnloadWithWorkQueuedReportsNothingAfterUnregistering)
{
    FarEnd &farEnd = StartFarEnd(1000);
    LoadEcho();
    farEnd.Say(100);
    ASSERT_EQ(kemu::QueuedDpcCount(), 1u);
    UnloadEcho();
    EXPECT_TRUE(Logged("has no consumer").empty()) << Logged("has no consumer")[0];
    EXPECT_NE(m_echoSaid.find("echo: unloaded"), std::string::npos);
}

// Unloading while the consumer registration still pends cancels it: no request of the echo stays
// with the exchange to be completed into an unloaded driver later.
TEST_F(EchoTest, UnloadWhileTheRegistrationPendsCancelsIt)
{
    LoadEcho();
    ASSERT_EQ(kemu::LiveRequestCount(), 1u);
    UnloadEcho();
    EXPECT_EQ(kemu::LiveRequestCount(), 0u) << "the echo's registration request outlived its driver";
    EXPECT_EQ(Logged("completed its IRP with STATUS_CANCELLED").size(), 1u);
    EXPECT_NE(m_echoSaid.find("echo: consumer registration completed: 0xc0000120"), std::string::npos);
    StartFarEnd(1000); // a provider arriving now finds no one waiting
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
    kemu::UnloadDriver(kemu::LoadDriver(forgetful, u"\\Driver\\Forgetful", u"").driver);
    const std::vector<kemu::Violation> reports = kemu::TakeViolations();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].rule, kemu::rule::kRequestLeftAtUnload);
    EXPECT_NE(reports[0].detail.find("Forgetful"), std::string::npos) << reports[0].detail;
}

// The exchange removed under the echo: both registrations are deleted by it, the echo notices and,
// at its own unload, only drops its handle.
TEST_F(EchoTest, ExchangeRemovedUnderTheEcho)
{
    {
        FarEnd &farEnd = StartFarEnd(1000);
        LoadEcho();
        farEnd.Say(10);
        kemu::RunQueuedDpcs();
    }
    m_farEnd.reset();
    ASSERT_EQ(kemu::PnpRemoveDevice(m_pdo), STATUS_SUCCESS);
    m_pdo = nullptr;
    EXPECT_NE(m_echoSaid.find("echo: consumer deleted by the exchange"), std::string::npos) << m_echoSaid;
    EXPECT_NE(m_echoSaid.find("echo: provider deleted by the exchange"), std::string::npos);
    UnloadEcho();
    EXPECT_EQ(m_echoSaid.find("echo: unregister"), std::string::npos) << m_echoSaid;
}

} // namespace
