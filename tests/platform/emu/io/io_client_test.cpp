// The client side: opening a device by name, device-control round trips, and closing.
#include <cstring>

#include "platform/emu/io/io_test_support.h"

namespace {

using iotest::Behavior;
using iotest::Complete;
using iotest::IoTest;
using Client = IoTest;

constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A driver with one named device and its link, as the real one has.
struct NamedDevice {
    Behavior behavior;
    PDRIVER_OBJECT driver = iotest::LoadRouteDriver();
    PDEVICE_OBJECT device = iotest::MakeDevice(driver, &behavior, u"\\Device\\IoClient");
    NamedDevice()
    {
        UNICODE_STRING link = iotest::Text(u"\\DosDevices\\IoClient"), name = iotest::Text(u"\\Device\\IoClient");
        EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    }
    ~NamedDevice()
    {
        UNICODE_STRING link = iotest::Text(u"\\DosDevices\\IoClient");
        IoDeleteSymbolicLink(&link);
        if (device != nullptr) IoDeleteDevice(device);
        kemu::UnloadDriver(driver);
    }
};

NTSTATUS Open(const char16_t *name, PFILE_OBJECT *file, PDEVICE_OBJECT *device)
{
    UNICODE_STRING text = iotest::Text(name);
    return IoGetDeviceObjectPointer(&text, FILE_ALL_ACCESS, file, device);
}

TEST_F(Client, OpensByItsLinkRoundTripsDeviceControlsAndTheLastDereferenceCloses)
{
    NamedDevice named;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(Open(u"\\??\\Nowhere", &file, &device), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(Open(u"\\??\\IoClient", &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, named.device);
    EXPECT_EQ(file->DeviceObject, named.device);
    EXPECT_EQ(named.device->ReferenceCount, 1);
    EXPECT_EQ(named.behavior.seen, std::vector<UCHAR>{IRP_MJ_CREATE});
    // Without a cleanup routine the I/O manager's refusal answers it; the close still follows.
    named.driver->MajorFunction[IRP_MJ_CLEANUP] = kemu::DefaultDispatch();
    ObDereferenceObject(file);
    EXPECT_EQ(named.behavior.seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLOSE}));
    EXPECT_EQ(named.device->ReferenceCount, 0);
    EXPECT_EQ(kemu::OpenFileCount(), 0u);
    // A driver that refuses the open leaves no file behind.
    named.behavior.handlers[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, STATUS_ACCESS_DENIED);
    };
    EXPECT_EQ(Open(u"\\Device\\IoClient", &file, &device), STATUS_ACCESS_DENIED);
    EXPECT_EQ(kemu::OpenFileCount(), 0u);
    // A buffered round trip that copies only the reported output: tests/entry ClientConversation.
    // An internal request reaches the other major function; a driver that reports more output than
    // the buffer holds is caught and the copy stops at the buffer's end.
    named.behavior.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP request) {
        return Complete(request, STATUS_SUCCESS, 16);
    };
    kemu::ScopedViolationRecording recording;
    IO_STATUS_BLOCK iosb{};
    char output[8] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(kBuffered, named.device, output, 8, output, 8, TRUE, nullptr, &iosb);
    EXPECT_EQ(IofCallDriver(named.device, irp), STATUS_SUCCESS);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kOutputTooLarge});
    EXPECT_EQ(named.behavior.seen.back(), IRP_MJ_INTERNAL_DEVICE_CONTROL);
    // A plain number such as 0xFF9 reads as METHOD_IN_DIRECT: the input goes in the system buffer,
    // an output buffer is described by an MDL, through which the driver writes the sender's bytes.
    named.behavior.handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP request) {
        EXPECT_EQ(IoGetCurrentIrpStackLocation(request)->Parameters.DeviceIoControl.IoControlCode, 0xFF9u);
        PMDL mdl = request->MdlAddress;
        EXPECT_EQ(MmGetMdlByteCount(mdl), 6u);
        std::memcpy(MmGetSystemAddressForMdlSafe(mdl, 0), "wxyz", 4);
        EXPECT_EQ(std::memcmp(request->AssociatedIrp.SystemBuffer, "ab", 2), 0);
        return Complete(request, STATUS_SUCCESS, 4);
    };
    char direct[2] = {'a', 'b'}, answer[6] = {};
    irp = IoBuildDeviceIoControlRequest(0xFF9, named.device, direct, 2, answer, sizeof answer, FALSE, nullptr, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(named.device, irp), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(answer, "wxyz", 4), 0);
}

// A program's call: the driver sees its file, and never the program's own memory for a buffered
// request; for METHOD_NEITHER it gets the program's addresses as they are. Its mode: golden.user-mode.
TEST_F(Client, AUserModeRequestCarriesItsModeAndFileAndCopiesBuffersAsTheMethodSays)
{
    NamedDevice named;
    static PFILE_OBJECT s_file;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(u"\\Device\\IoClient", &s_file, &device), STATUS_SUCCESS);
    static char input[4], output[8];
    std::memcpy(input, "ping", 4);
    named.behavior.handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(location->FileObject, s_file);
        if ((location->Parameters.DeviceIoControl.IoControlCode & 3) == METHOD_NEITHER) {
            EXPECT_EQ(location->Parameters.DeviceIoControl.Type3InputBuffer, input);
            EXPECT_EQ(irp->UserBuffer, output);
            return Complete(irp);
        }
        EXPECT_NE(irp->AssociatedIrp.SystemBuffer, input);
        EXPECT_EQ(std::memcmp(irp->AssociatedIrp.SystemBuffer, "ping", 4), 0);
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "pong", 4);
        return Complete(irp, STATUS_SUCCESS, 4);
    };
    IO_STATUS_BLOCK iosb{};
    for (ULONG method : {ULONG(METHOD_BUFFERED), ULONG(METHOD_NEITHER)}) {
        std::memset(output, 'x', sizeof output);
        PIRP irp = kemu::BuildUserDeviceIoControlRequest((kBuffered & ~ULONG(3)) | method, device, s_file, input,
                                                         sizeof input, output, sizeof output, nullptr, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IofCallDriver(device, irp), STATUS_SUCCESS);
        EXPECT_EQ(std::string(output, 8), method == METHOD_BUFFERED ? "pongxxxx" : "xxxxxxxx");
    }
    ObDereferenceObject(s_file);
}

// Where the kernel's I/O manager and Wine's part (tests/wine/user-requests.exceptions): a buffered
// request without lengths carries no system buffer; the code's device type is the driver's
// business; a file still open after the device's deletion goes on reaching the dispatch routine.
TEST_F(Client, AProgramsRequestReachesTheDriverWithoutLengthsWithAnyDeviceTypeAndAfterTheDeletion)
{
    NamedDevice named;
    static PFILE_OBJECT s_file;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(u"\\Device\\IoClient", &s_file, &device), STATUS_SUCCESS);
    static std::vector<std::pair<ULONG, bool>> s_seen; // each code, and whether a system buffer came
    s_seen.clear();
    named.behavior.handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        s_seen.emplace_back(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode,
                            irp->AssociatedIrp.SystemBuffer != nullptr);
        return Complete(irp, STATUS_UNSUCCESSFUL);
    };
    auto send = [device](ULONG code) {
        IO_STATUS_BLOCK iosb{};
        PIRP irp = kemu::BuildUserDeviceIoControlRequest(code, device, s_file, nullptr, 0, nullptr, 0, nullptr, &iosb);
        return irp == nullptr ? STATUS_INSUFFICIENT_RESOURCES : IofCallDriver(device, irp);
    };
    constexpr ULONG kTypeOne = CTL_CODE(1, 0x80B, METHOD_BUFFERED, FILE_ANY_ACCESS);
    kemu::ScopedViolationRecording recording;
    EXPECT_EQ(send(kBuffered), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(send(kTypeOne), STATUS_UNSUCCESSFUL);
    IoDeleteDevice(named.device);
    named.device = nullptr;
    EXPECT_EQ(send(kBuffered), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(s_seen, (std::vector<std::pair<ULONG, bool>>{{kBuffered, false}, {kTypeOne, false}, {kBuffered, false}}));
    EXPECT_TRUE(recording.Take().empty());
    ObDereferenceObject(s_file);
}

// A client that takes the device's file object in DriverEntry and forgets it in its unload.
PFILE_OBJECT g_keptFile = nullptr;
VOID NTAPI UnloadForgettingTheFile(PDRIVER_OBJECT) {}
NTSTATUS NTAPI EntryTakingTheFile(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = &UnloadForgettingTheFile;
    PDEVICE_OBJECT device = nullptr;
    return Open(u"\\Device\\IoClient", &g_keptFile, &device);
}

// Requests through such a file and the close reaching the driver: tests/entry ClientConversation.
TEST_F(Client, AFileObjectAClientStillHoldsAtItsUnloadIsReportedAndStillHoldsTheDevice)
{
    NamedDevice named;
    kemu::ScopedViolationRecording recording;
    kemu::DriverLoad load = kemu::LoadDriver(&EntryTakingTheFile, u"\\Driver\\Keeper", u"\\R");
    ASSERT_NE(load.driver, nullptr);
    kemu::UnloadDriver(load.driver);
    ExpectOneViolation(recording, kemu::rule::kReferenceLeftAtUnload, "\\Driver\\Keeper");
    EXPECT_EQ(named.device->ReferenceCount, 1) << "the forgotten reference keeps the device, as it would a kernel's";
    IoDeleteDevice(named.device);
    named.device = nullptr;
    EXPECT_EQ(kemu::FindDevice(u"\\Device\\IoClient"), nullptr) << "a deleted device's name goes at once";
    EXPECT_EQ(kemu::LiveDeviceCount(), 1u) << "the object waits for the file's last close";
    // Dropped later, by whoever finds it, it closes as any other, reported once only.
    ObDereferenceObject(g_keptFile);
    EXPECT_TRUE(recording.Take().empty());
    EXPECT_EQ(named.behavior.seen.back(), IRP_MJ_CLOSE);
    EXPECT_EQ(kemu::LiveDeviceCount(), 0u);
    ObDereferenceObject(g_keptFile);
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>{kemu::rule::kUnknownObject});
}

} // namespace
