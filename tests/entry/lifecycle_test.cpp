// Start-up, the function devices of plug-and-play, removal, unload, and open/close counting.
#include <atomic>
#include <thread>

#include "entry_fixture.h"

namespace {

using namespace dvtest;

class DriverEntryTest : public DriverFrameTest {};
class AddDeviceTest : public DriverFrameTest {};
// Removal through the plug-and-play manager: the whole driver goes, then the platform unloads it
// a second time, which must find nothing to do.
class PnpTest : public DriverFrameTest {
protected:
    void ExpectRemovalTearsDownEverything(bool busCompletesLater)
    {
        PDEVICE_OBJECT pdo = kemu::CreatePdo(u"DeVididi");
        ASSERT_EQ(kemu::PnpAddDevice(m_driver, pdo), STATUS_SUCCESS);
        kemu::SetBusCompletesLater(busCompletesLater);
        ClearLog();

        EXPECT_EQ(kemu::PnpRemoveDevice(pdo), STATUS_SUCCESS);

        EXPECT_FALSE(kemu::DriverIsLoaded(m_driver));
        EXPECT_EQ(pDeVididiArray, nullptr);
        EXPECT_EQ(g_pTraceList, nullptr);
        EXPECT_EQ(kemu::LiveDeviceCount(), 0u);
        EXPECT_FALSE(kemu::SymbolicLinkExists(kLinkName));
        EXPECT_FALSE(kemu::InterfaceEnabled(STREAMER_GUID));
        EXPECT_EQ(kemu::PoolLeakReport(), "");
    }
};
class UnloadTest : public DriverFrameTest {};
class OpenCloseTest : public DriverFrameTest {};

TEST_F(DriverEntryTest, BuildsControlDeviceLinkEntryTableAndAllStreams)
{
    Load();

    PDEVICE_OBJECT control = ControlDevice();
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(m_driver->DeviceObject, control);
    EXPECT_EQ(control->NextDevice, nullptr);
    EXPECT_EQ(control->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(control->Characteristics, 0u);
    EXPECT_NE(control->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(kemu::SymbolicLinkTarget(kLinkName), kDeviceName);

    EXPECT_EQ(m_driver->DriverExtension->AddDevice, &STREAMER_AddDevice);
    EXPECT_EQ(m_driver->MajorFunction[IRP_MJ_CREATE], &STREAMER_Create);
    EXPECT_EQ(m_driver->MajorFunction[IRP_MJ_CLOSE], &STREAMER_Close);
    EXPECT_EQ(m_driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], &STREAMER_Dispatch);
    EXPECT_EQ(m_driver->MajorFunction[IRP_MJ_PNP], &STREAMER_Pnp);
    EXPECT_EQ(m_driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], kemu::DefaultDispatch());
    EXPECT_EQ(m_driver->MajorFunction[IRP_MJ_POWER], kemu::DefaultDispatch());
    EXPECT_EQ(m_driver->DriverUnload, &STREAMER_Unload);

    // One traced block holds all 256 streams, each constructed.
    ASSERT_NE(pDeVididiArray, nullptr);
    std::optional<kemu::PoolBlock> table = kemu::FindPoolBlock(pDeVididiArray);
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(table->tag, TRACED_POOL_TAG);
    EXPECT_EQ(table->size, 256 * sizeof(DeVididi) + sizeof(TRACED_BLOCK_HEADER));
    EXPECT_EQ(g_nCurrentAllocations, 1);
    for (int i = 0; i < 256; ++i) {
        EXPECT_STREQ(pDeVididiArray[i].m_pszCheckpoint, "DeVididi::DeVididi") << "stream " << i;
    }
    EXPECT_EQ(nCounter, 0);

    // The first line comes before the levels are read, so it is lost.
    EXPECT_EQ(EntryStartingWith({"DriverEntry"}),
              (Lines{"[3]DriverEntry: pDeviceObject has been created.", "[7]DriverEntry --- End"}));
}

TEST_F(DriverEntryTest, FailureAtEachStepLeavesNothingBehindAndStopsTracing)
{
    struct Case {
        const char *what;
        std::function<void()> arm;
        NTSTATUS expected;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"device", [] { kemu::FailNextIoCreateDevice(STATUS_INSUFFICIENT_RESOURCES); }, STATUS_INSUFFICIENT_RESOURCES,
         "[1]DriverEntry: ERROR --- Create Device failed, code 0xc000009a"},
        {"link", [] { kemu::FailNextIoCreateSymbolicLink(STATUS_OBJECT_NAME_COLLISION); },
         STATUS_OBJECT_NAME_COLLISION, "[1]DriverEntry: ERROR --- IoCreateSymbolicLink failed"},
        {"table", [] { kemu::FailNthAllocation(1, TRACED_POOL_TAG); }, STATUS_NO_MEMORY,
         "[1]DriverEntry: ERROR --- Allocates of pDeVididiArray failed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ClearLog();
        DebugIdArray[QVDBG_MODULE_ENTRY].nDebugLevel = 0; // as at a fresh load
        c.arm();
        kemu::DriverLoad load = kemu::LoadDriver(DriverEntry, u"\\Driver\\DeVididi", u"");

        EXPECT_EQ(load.status, c.expected);
        EXPECT_EQ(load.driver, nullptr);
        EXPECT_EQ(kemu::LiveDeviceCount(), 0u);
        EXPECT_FALSE(kemu::SymbolicLinkExists(kLinkName));
        EXPECT_EQ(pDeVididiArray, nullptr);
        // No unload follows a failed start-up, so the start-up itself ended the tracing.
        EXPECT_EQ(g_pTraceList, nullptr);
        EXPECT_EQ(kemu::PoolLeakReport(), "");
        EXPECT_EQ(EntryStartingWith({"DriverEntry", "Allocation tracing", "TermNewDel"}), Lines{c.line});
        EXPECT_EQ(kemu::ViolationCount(), 0u);
    }
}

TEST_F(AddDeviceTest, AttachesAFunctionDeviceWithEnabledInterface)
{
    Load();
    PDEVICE_OBJECT pdo = kemu::CreatePdo(u"DeVididi");
    ClearLog();

    ASSERT_EQ(kemu::PnpAddDevice(m_driver, pdo), STATUS_SUCCESS);

    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(fdo->DriverObject, m_driver);
    EXPECT_EQ(m_driver->DeviceObject, fdo);
    EXPECT_EQ(fdo->NextDevice, ControlDevice());
    EXPECT_EQ(kemu::LowerDevice(fdo), pdo);
    EXPECT_EQ(fdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(fdo->Characteristics, static_cast<ULONG>(FILE_AUTOGENERATED_DEVICE_NAME));
    EXPECT_EQ(fdo->Flags & (DO_DEVICE_INITIALIZING | DO_DIRECT_IO | DO_POWER_PAGABLE),
              static_cast<ULONG>(DO_DIRECT_IO | DO_POWER_PAGABLE));

    auto extension = static_cast<PSTREAMER_DEVICE_EXTENSION>(fdo->DeviceExtension);
    EXPECT_EQ(extension->pNextDeviceOnStack, pdo);
    std::vector<kemu::InterfaceInfo> interfaces = kemu::Interfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(std::memcmp(&interfaces[0].guid, &STREAMER_GUID, sizeof(GUID)), 0);
    EXPECT_EQ(interfaces[0].pdo, pdo);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(std::u16string(extension->InterfaceLinkName.Buffer,
                             extension->InterfaceLinkName.Length / sizeof(WCHAR)),
              interfaces[0].link);

    // The start request went down the stack without a line of its own.
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_AddDevice --- Start", "[7]STREAMER_AddDevice --- End (With STATUS_SUCCESS)"}));
    EXPECT_EQ(kemu::PnpRemoveDevice(pdo), STATUS_SUCCESS);
}

TEST_F(AddDeviceTest, NullArgumentsAndEachFailingStepLeaveNoDeviceAndNoMessage)
{
    Load();
    PDEVICE_OBJECT pdo = kemu::CreatePdo(u"DeVididi");
    const size_t devices = kemu::LiveDeviceCount();
    const size_t blocks = kemu::LivePoolBlocks().size();

    ClearLog();
    EXPECT_EQ(STREAMER_AddDevice(m_driver, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(STREAMER_AddDevice(nullptr, pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_AddDevice --- Start", "[7]STREAMER_AddDevice --- Start"}));

    const std::vector<std::pair<const char *, std::function<void()>>> failures = {
        {"create", [] { kemu::FailNextIoCreateDevice(); }},
        {"register interface", [] { kemu::FailNextIoRegisterDeviceInterface(); }},
        {"enable interface", [] { kemu::FailNextIoSetDeviceInterfaceState(); }},
        {"attach", [] { kemu::FailNextIoAttachDeviceToDeviceStack(); }},
    };
    for (const auto &[what, arm] : failures) {
        SCOPED_TRACE(what);
        ClearLog();
        arm();
        EXPECT_EQ(STREAMER_AddDevice(m_driver, pdo), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(kemu::LiveDeviceCount(), devices);
        EXPECT_EQ(pdo->AttachedDevice, nullptr);
        EXPECT_FALSE(kemu::InterfaceEnabled(STREAMER_GUID));
        // The interface's link name, allocated by the platform, went back as well.
        EXPECT_EQ(kemu::LivePoolBlocks().size(), blocks);
        EXPECT_EQ(Entry(), Lines{"[7]STREAMER_AddDevice --- Start"});
    }
    // The platform's bus still owns its device.
    kemu::PnpRemoveDevice(pdo);
    EXPECT_TRUE(kemu::DriverIsLoaded(m_driver));
}

TEST_F(PnpTest, RemovalTearsDownEverythingAndTheSecondUnloadChangesNothing)
{
    Load();
    ExpectRemovalTearsDownEverything(false);

    EXPECT_EQ(EntryStartingWith({"STREAMER_Pnp", "STREAMER_Unload", "Allocation tracing", "TermNewDel"}),
              (Lines{"[3]STREAMER_Pnp: remove device",
                     "[7]STREAMER_Unload --- Start",
                     "[3]STREAMER_Unload: Free pDeVididiArray",
                     "[3]STREAMER_Unload: deleting device",
                     "[3]STREAMER_Unload: deleting device",
                     "[7]STREAMER_Unload --- End",
                     // the platform's own unload, once no device is left
                     "[7]STREAMER_Unload --- Start",
                     "[7]STREAMER_Unload --- End"}));
}

TEST_F(PnpTest, RemovalWaitsForABusThatCompletesFromAnotherThread)
{
    Load();
    ExpectRemovalTearsDownEverything(true);
    EXPECT_EQ(CountEntry("[3]STREAMER_Pnp: remove device"), 1u);
    EXPECT_EQ(CountEntry("[7]STREAMER_Unload --- End"), 2u);
}

TEST_F(PnpTest, OtherRequestsPassDownQuietlyAndCarryTheLowerStatus)
{
    Load();
    PDEVICE_OBJECT pdo = kemu::CreatePdo(u"DeVididi");
    ASSERT_EQ(kemu::PnpAddDevice(m_driver, pdo), STATUS_SUCCESS);

    for (bool later : {false, true}) {
        SCOPED_TRACE(later ? "bus completes later" : "bus completes at once");
        kemu::SetBusCompletesLater(later);
        ClearLog();
        EXPECT_EQ(kemu::PnpSendRequest(pdo, IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_SUPPORTED);
        kemu::FailBusPnp(IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(kemu::PnpSendRequest(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
        kemu::FailBusPnp(IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS);
        // Surprise removal is not a removal for this driver: everything stays.
        EXPECT_EQ(kemu::PnpSendRequest(pdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
        EXPECT_NE(pDeVididiArray, nullptr);
        EXPECT_EQ(pdo->AttachedDevice->DriverObject, m_driver);
        EXPECT_TRUE(Entry().empty());
    }
    kemu::SetBusCompletesLater(false);
    EXPECT_EQ(kemu::PnpRemoveDevice(pdo), STATUS_SUCCESS);
}

TEST_F(UnloadTest, WithoutDriverObjectDestroysTableAndLinkButLeavesDevicesAndTracing)
{
    Load();
    ClearLog();

    STREAMER_Unload(nullptr);

    EXPECT_EQ(pDeVididiArray, nullptr);
    EXPECT_FALSE(kemu::SymbolicLinkExists(kLinkName));
    EXPECT_EQ(m_driver->DeviceObject, ControlDevice());
    EXPECT_NE(g_pTraceList, nullptr);
    EXPECT_EQ(EntryStartingWith({"STREAMER_Unload"}),
              (Lines{"[7]STREAMER_Unload --- Start", "[3]STREAMER_Unload: Free pDeVididiArray"}));

    // The platform's unload then does the rest.
    ClearLog();
    kemu::UnloadDriver(m_driver);
    m_driver = nullptr;
    EXPECT_EQ(kemu::LiveDeviceCount(), 0u);
    EXPECT_EQ(g_pTraceList, nullptr);
    EXPECT_EQ(EntryStartingWith({"STREAMER_Unload"}),
              (Lines{"[7]STREAMER_Unload --- Start", "[3]STREAMER_Unload: deleting device",
                     "[7]STREAMER_Unload --- End"}));
}

// Which consumer heard of its stream's destruction, in order.
std::vector<ULONG> g_deletedStreams;
VOID STREAMER_CALL RecordDeletion(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM, PVOID pContext)
{
    if (dwType == STREAMERNOTIFY_CONSUMER_DELETED) {
        g_deletedStreams.push_back(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(pContext)));
    }
}
VOID STREAMER_CALL IgnoreData(ULONG, PVOID) {}

TEST_F(UnloadTest, DestroysStreamsFromTheLastToTheFirstAndCancelsWaitingConsumers)
{
    Load();
    g_deletedStreams.clear();
    const std::vector<ULONG> streams = {0, 1, 128, 255};
    std::vector<STREAMER_SRV_PARAM> records(streams.size());
    std::vector<std::unique_ptr<kemu::TestRequest>> requests;
    for (size_t i = 0; i < streams.size(); ++i) {
        std::memset(&records[i], 0, sizeof(STREAMER_SRV_PARAM));
        records[i].RegisterConsumer.hStream = streams[i];
        records[i].RegisterConsumer.pfnNewDataReady = IgnoreData;
        records[i].RegisterConsumer.pfnNotify = RecordDeletion;
        // The consumer's handle is also its callback context: here the stream number (plus one, never null).
        records[i].RegisterConsumer.hConsumer = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(streams[i] + 1));
        requests.push_back(std::make_unique<kemu::TestRequest>(STREAMER_REGISTER_CONSUMER, &records[i],
                                                               sizeof(STREAMER_SRV_PARAM), 0));
        ASSERT_EQ(requests.back()->Dispatch(STREAMER_Dispatch, ControlDevice()), STATUS_PENDING);
    }

    kemu::UnloadDriver(m_driver);
    m_driver = nullptr;

    EXPECT_EQ(g_deletedStreams, (std::vector<ULONG>{256, 129, 2, 1}));
    for (auto &request : requests) {
        EXPECT_TRUE(request->Completed());
        EXPECT_EQ(request->Status(), STATUS_CANCELLED);
    }
}

TEST_F(OpenCloseTest, TwoOpensAndThreeClosesLeaveMinusOneAndOneErrorLine)
{
    Load();
    ClearLog();
    std::vector<NTSTATUS> results;
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLOSE, IRP_MJ_CLOSE}) {
        kemu::TestRequest request(kemu::TestRequest::Major{major});
        results.push_back(request.Dispatch(m_driver->MajorFunction[major], ControlDevice()));
        EXPECT_TRUE(request.Completed());
        EXPECT_EQ(request.Status(), STATUS_SUCCESS);
        EXPECT_EQ(request.Information(), 0u);
    }
    EXPECT_EQ(results, std::vector<NTSTATUS>(5, STATUS_SUCCESS));
    EXPECT_EQ(nCounter, -1);

    const Lines lines = Entry();
    const Lines firstOpen(lines.begin(), lines.begin() + 7);
    EXPECT_EQ(firstOpen, (Lines{"[7]STREAMER_Create --- Start", "[6]STREAMER_Create: nCounter = 0",
                                "[6]STREAMER_Create: Before AcquireSpinLock", "[6]STREAMER_Create: nCounter = 1",
                                "[6]STREAMER_Create: After ReleaseSpinLock", "[6]STREAMER_Create: nCounter = 1",
                                "[7]STREAMER_Create --- End"}));
    const Lines lastClose(lines.end() - 7, lines.end());
    EXPECT_EQ(lastClose, (Lines{"[7]STREAMER_Close --- Start", "[6]STREAMER_Close: Before AcquireSpinLock",
                                "[6]STREAMER_Close: counter = 0",
                                "[1]STREAMER_Close: ERROR --- More Close then Create !!!",
                                "[6]STREAMER_Close: counter=-1", "[6]STREAMER_Close: After ReleaseSpinLock",
                                "[7]STREAMER_Close --- End"}));
    EXPECT_EQ(CountEntry("[1]STREAMER_Close: ERROR --- More Close then Create !!!"), 1u);
}

TEST_F(OpenCloseTest, OpenWithoutRequestFailsAndLeavesTheCounter)
{
    Load();
    ClearLog();
    EXPECT_EQ(STREAMER_Create(ControlDevice(), nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(nCounter, 0);
    EXPECT_EQ(Entry(), (Lines{"[7]STREAMER_Create --- Start", "[6]STREAMER_Create: nCounter = 0",
                              "[1]STREAMER_Create: ERROR --- Irp in STREAMER_Create is NULL !!!",
                              "[3]STREAMER_Create --- End (With STATUS_UNSUCCESSFUL)"}));
}

TEST_F(OpenCloseTest, ClientsOpeningAndClosingAtOnceKeepTheCountExact)
{
    Load();
    SetLevel("ENTRY", 1);
    DebugIdArray[QVDBG_MODULE_ENTRY].nDebugLevel = 1;
    constexpr int kThreads = 4;
    constexpr int kRounds = 100;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            KString name(t % 2 ? kLinkName : kDeviceName);
            for (int i = 0; i < kRounds; ++i) {
                PFILE_OBJECT file = nullptr;
                PDEVICE_OBJECT device = nullptr;
                if (IoGetDeviceObjectPointer(name.get(), FILE_ALL_ACCESS, &file, &device) != STATUS_SUCCESS) {
                    ++failures;
                    continue;
                }
                ObDereferenceObject(file);
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(nCounter, 0);
    EXPECT_EQ(CountEntry("[1]STREAMER_Close: ERROR --- More Close then Create !!!"), 0u);
}

} // namespace
