// The I/O records at 32 bits have the kernel's offsets, so that a kernel image and the emulation
// read the same fields; and the genuine image, run twice, starts afresh each time.
#include <gtest/gtest.h>

#include <fstream>

#include "emu/kemu.h"
#include "emu/kemu_ldr.h"

#if defined(__i386__)
// The offsets and sizes of the kernel's own headers for i386.
static_assert(offsetof(IRP, Flags) == 8 && offsetof(IRP, AssociatedIrp) == 12 && offsetof(IRP, IoStatus) == 24);
static_assert(offsetof(IRP, PendingReturned) == 33 && offsetof(IRP, UserIosb) == 40 &&
              offsetof(IRP, UserEvent) == 44 && offsetof(IRP, UserBuffer) == 60);
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 96 && offsetof(IRP, EmuState) == 112);
static_assert(offsetof(DRIVER_OBJECT, DriverExtension) == 24 && offsetof(DRIVER_OBJECT, DriverUnload) == 52 &&
              offsetof(DRIVER_OBJECT, MajorFunction) == 56 && offsetof(DRIVER_OBJECT, EmuState) == 168);
static_assert(offsetof(DEVICE_OBJECT, Flags) == 28 && offsetof(DEVICE_OBJECT, DeviceExtension) == 40 &&
              offsetof(DEVICE_OBJECT, StackSize) == 48 && offsetof(DEVICE_OBJECT, EmuState) == 184);
static_assert(offsetof(FILE_OBJECT, FsContext) == 12 && offsetof(FILE_OBJECT, EmuState) == 128);
static_assert(sizeof(IO_STACK_LOCATION) == 36 && sizeof(DRIVER_EXTENSION) == 20 && sizeof(KEVENT) <= 16);

namespace {

std::vector<std::string> Shown()
{
    std::vector<std::string> lines = kemu::DebugService::Lines();
    kemu::DebugService::Clear();
    return lines;
}

TEST(GenuineImage, RunsTwiceInBothFamiliesEachLoadFromAFreshMapping)
{
    if (!std::ifstream(DV_IMAGE)) {
        GTEST_SKIP() << DV_IMAGE << " is not built";
    }
    kemu::ResetCore();
    kemu::ResetIo();
    kemu::ResetRegistry();
    kemu::SetTickCount(0);
    kemu::SetRegistryDword("\\Registry\\Machine\\SOFTWARE\\NRV\\debug\\krnl\\DEVIDIDI\\ENTRY", "DebugLevel", 7);
    std::vector<std::string> firstLines;
    for (int load = 0; load < 3; ++load) {
        if (load == 2) {
            kemu::SetWdmVersion(1, 0x10); // the NT family: no service call is made
        }
        std::string error;
        auto module = kemu::DriverModule::Open(DV_IMAGE, &error);
        ASSERT_NE(module, nullptr) << error;
        EXPECT_NE(module->Base(), reinterpret_cast<const void *>(0x10000));
        kemu::DriverLoad loaded = kemu::LoadDriver(module->Entry(), u"\\Driver\\DeVididi", u"\\Registry\\X");
        ASSERT_EQ(loaded.status, STATUS_SUCCESS);
        kemu::UnloadDriver(loaded.driver);
        EXPECT_TRUE(kemu::LivePoolBlocks().empty());
        std::vector<std::string> lines = Shown();
        if (load == 0) {
            ASSERT_FALSE(lines.empty()); // the version call found the service, the show calls reached it
            firstLines = lines;
        } else if (load == 1) {
            EXPECT_EQ(lines, firstLines);
        } else {
            EXPECT_TRUE(lines.empty());
        }
    }
    kemu::SetWdmVersion(1, 0x05);
    EXPECT_EQ(kemu::ViolationCount(), 0u);
}

} // namespace
#endif
