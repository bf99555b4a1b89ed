// Requests from user mode: a program that opens the device may ask for the diagnostics and the
// bandwidth, but never register or unregister anything, whatever its record holds.
#include "entry_fixture.h"

namespace {

using namespace dvtest;

// What a registration would write through the record's pointers; filled so that a write shows.
struct Targets {
    PVOID slots[8];
    Targets() { std::memset(slots, 0x5A, sizeof slots); }
    bool Untouched() const
    {
        Targets fresh;
        return std::memcmp(slots, fresh.slots, sizeof slots) == 0;
    }
};

VOID STREAMER_CALL NeverCalledData(ULONG, PVOID) { ADD_FAILURE() << "a user-mode record's callback was called"; }
VOID STREAMER_CALL NeverCalledNotify(ULONG, PSTREAMER_NOTIFICATION_PARAM, PVOID)
{
    ADD_FAILURE() << "a user-mode record's callback was called";
}

class FromUserMode : public DriverFrameTest {
protected:
    void SetUp() override
    {
        DriverFrameTest::SetUp();
        SetLevel("STREAM", 0);
        Load();
        KString name(kDeviceName);
        ASSERT_EQ(IoGetDeviceObjectPointer(&name.string, FILE_ALL_ACCESS, &m_file, &m_device), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (m_file != nullptr) {
            ObDereferenceObject(m_file);
        }
        DriverFrameTest::TearDown();
    }

    // A program's DeviceIoControl on its handle, waited for; info receives IoStatus.Information.
    NTSTATUS FromUser(ULONG code, void *in = nullptr, ULONG inLength = 0, void *out = nullptr, ULONG outLength = 0,
                      ULONG_PTR *info = nullptr)
    {
        KEVENT done;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = kemu::BuildUserDeviceIoControlRequest(code, m_device, m_file, in, inLength, out, outLength, &done,
                                                         &iosb);
        EXPECT_NE(irp, nullptr);
        if (irp == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        EXPECT_EQ(irp->RequestorMode, UserMode);
        NTSTATUS status = IoCallDriver(m_device, irp);
        EXPECT_NE(status, STATUS_PENDING) << "a user-mode request is never kept";
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        if (info != nullptr) {
            *info = iosb.Information;
        }
        return status;
    }
    NTSTATUS FromKernel(ULONG code, STREAMER_SRV_PARAM &record)
    {
        return ClientCall(m_device, code, &record, sizeof record).Wait();
    }

    STREAMER_SRV_PARAM ProviderRecord(ULONG hStream, Targets &to)
    {
        STREAMER_SRV_PARAM record = ZeroRecord();
        auto &r = record.RegisterProvider;
        r.hStream = hStream;
        r.dwBufferSize = 1000;
        r.ppfnProvideData = reinterpret_cast<STREAMER_PROVIDE_DATA_ENTRY *>(&to.slots[0]);
        r.ppfnNotify = reinterpret_cast<STREAMER_PROVIDER_NOTIFY_ENTRY *>(&to.slots[1]);
        return record;
    }
    // The program's callbacks must never run; a kernel-mode consumer here has none.
    STREAMER_SRV_PARAM ConsumerRecord(ULONG hStream, ULONG_PTR hConsumer, Targets &to, bool program = true)
    {
        STREAMER_SRV_PARAM record = ZeroRecord();
        auto &r = record.RegisterConsumer;
        r.hStream = hStream;
        r.pfnNewDataReady = program ? NeverCalledData : nullptr;
        r.pfnNotify = program ? NeverCalledNotify : nullptr;
        r.hConsumer = reinterpret_cast<PVOID>(hConsumer);
        r.ppBuffer = reinterpret_cast<PUCHAR *>(&to.slots[0]);
        r.pdwBufferSize = reinterpret_cast<PULONG>(&to.slots[1]);
        r.pdwTail = reinterpret_cast<PULONG>(&to.slots[2]);
        r.ppfnDataProcessed = reinterpret_cast<STREAMER_DATA_PROCESSED_ENTRY *>(&to.slots[3]);
        r.ppfnNotify = reinterpret_cast<STREAMER_CONSUMER_NOTIFY_ENTRY *>(&to.slots[4]);
        r.phConsumer = &to.slots[5];
        return record;
    }

    PFILE_OBJECT m_file = nullptr;
    PDEVICE_OBJECT m_device = nullptr;
};

TEST_F(FromUserMode, RegistrationCodesAreRefusedBeforeTheRecordIsReadAndChangeNothing)
{
    // Kernel-mode clients on stream 2, which the program then tries to register on and tear down.
    Targets kernelProvider, kernelConsumer;
    STREAMER_SRV_PARAM provider = ProviderRecord(2, kernelProvider);
    STREAMER_SRV_PARAM consumer = ConsumerRecord(2, 0x20, kernelConsumer, false);
    ASSERT_EQ(FromKernel(STREAMER_REGISTER_PROVIDER, provider), STATUS_SUCCESS);
    ASSERT_EQ(FromKernel(STREAMER_REGISTER_CONSUMER, consumer), STATUS_SUCCESS);
    QvProviderInfo *const providerInfo = pDeVididiArray[2].m_pProviderInfo;

    Targets program;
    STREAMER_SRV_PARAM newProvider = ProviderRecord(3, program);
    STREAMER_SRV_PARAM waitingConsumer = ConsumerRecord(6, 0x30, program); // would pend: no provider on 6
    STREAMER_SRV_PARAM leavingProvider = ProviderRecord(2, program);
    STREAMER_SRV_PARAM leavingConsumer = ZeroRecord();
    leavingConsumer.UnRegisterConsumer = {2, reinterpret_cast<PVOID>(0x20)};
    const std::vector<std::tuple<ULONG, const char *, STREAMER_SRV_PARAM *>> requests = {
        {STREAMER_REGISTER_PROVIDER, "STREAMER_REGISTER_PROVIDER", &newProvider},
        {STREAMER_UNREGISTER_PROVIDER, "STREAMER_UNREGISTER_PROVIDER", &leavingProvider},
        {STREAMER_REGISTER_CONSUMER, "STREAMER_REGISTER_CONSUMER", &waitingConsumer},
        {STREAMER_UNREGISTER_CONSUMER, "STREAMER_UNREGISTER_CONSUMER", &leavingConsumer}};
    for (const auto &[code, name, record] : requests) {
        SCOPED_TRACE(name);
        const Lines refused = {"[7]STREAMER_Dispatch --- Start", std::string("[3]STREAMER_Dispatch: Got ") + name + ".",
                               std::string("[1]STREAMER_Dispatch: ERROR --- ") + name + " refused: sent from user mode",
                               "[7]STREAMER_Dispatch --- End"};
        // A whole record, a short one and none: refused alike, before any length is looked at.
        for (ULONG length : {ULONG(sizeof *record), ULONG(1), ULONG(0)}) {
            ClearLog();
            ULONG_PTR info = 0xFF;
            EXPECT_EQ(FromUser(code, length ? record : nullptr, length, nullptr, 0, &info), STATUS_ACCESS_DENIED);
            EXPECT_EQ(info, 0u);
            EXPECT_EQ(Entry(), refused);
        }
    }
    EXPECT_TRUE(program.Untouched());
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(pDeVididiArray[i].m_pProviderInfo, i == 2 ? providerInfo : nullptr) << i;
        EXPECT_EQ(pDeVididiArray[i].m_Consumers.m_nCount, i == 2 ? 1 : 0) << i;
    }

    // The same records from kernel mode go through as before.
    EXPECT_EQ(FromKernel(STREAMER_UNREGISTER_CONSUMER, leavingConsumer), STATUS_SUCCESS);
    EXPECT_EQ(FromKernel(STREAMER_UNREGISTER_PROVIDER, leavingProvider), STATUS_SUCCESS);
    EXPECT_EQ(FromKernel(STREAMER_REGISTER_PROVIDER, newProvider), STATUS_SUCCESS);
    EXPECT_FALSE(program.Untouched()) << "the kernel-mode registration hands out its entry points";
    EXPECT_EQ(FromKernel(STREAMER_UNREGISTER_PROVIDER, newProvider), STATUS_SUCCESS);
}

TEST_F(FromUserMode, DiagnosticsAndTheBandwidthStayOpenWithEveryLengthChecked)
{
    EXPECT_EQ(FromUser(STREAMER_IOCTL_UPDATE_DEBUG_LEVELS), STATUS_SUCCESS);
    EXPECT_EQ(FromUser(STREAMER_IOCTL_PRINT_STATUS), STATUS_SUCCESS);
    EXPECT_EQ(FromUser(STREAMER_IOCTL_RESYNC_OAPI_CONSUMER), STATUS_SUCCESS);
    EXPECT_EQ(FromUser(STREAMER_IOCTL_IS_ORBDRV_ACTIVE), STATUS_SUCCESS);
    EXPECT_EQ(FromUser(0x00222030), STATUS_SUCCESS) << "an unknown code is answered as from kernel mode";

    STREAMER_PRINT_RANGE range{7, 8};
    ClearLog();
    EXPECT_EQ(FromUser(STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range), STATUS_SUCCESS);
    EXPECT_EQ(Count("[1]Stream (REMOTE FECC) number 8"), 1u);
    EXPECT_EQ(FromUser(STREAMER_IOCTL_PRINT_STREAMS, &range, sizeof range - 1), STATUS_BUFFER_TOO_SMALL);

    // The figure comes back through the I/O manager's copy of the output, and only its four bytes.
    std::vector<int64_t> readings;
    for (int64_t at = 1000000, trial = 0; trial < 10; ++trial, at += 1000) {
        readings.push_back(at);
        readings.push_back(at + 300);
    }
    kemu::ScriptPerformanceCounter(readings, 10000);
    STREAMER_BANDWIDTH_PARAM param{0, 0, 1};
    ULONG figure[2] = {0xAAAAAAAA, 0xBBBBBBBB};
    ULONG_PTR info = 0;
    EXPECT_EQ(FromUser(STREAMER_IOCTL_GET_BANDWIDTH, &param, sizeof param, figure, sizeof figure, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(info, sizeof(ULONG));
    EXPECT_EQ(figure[0], 1280u);
    EXPECT_EQ(figure[1], 0xBBBBBBBBu);
    EXPECT_EQ(FromUser(STREAMER_IOCTL_GET_BANDWIDTH, &param, sizeof param - 1, figure, sizeof figure),
              STATUS_BUFFER_TOO_SMALL);
    kemu::UseRealPerformanceCounter();
}

} // namespace
