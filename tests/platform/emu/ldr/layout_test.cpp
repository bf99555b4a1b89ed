// The I/O records at 32 bits have the kernel's offsets, so that a kernel image and the emulation
// read the same fields; and the genuine image's pages have the protection its sections ask for.
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <fstream>
#include <iterator>

#include "emu/kemu/kemu.h"
#include "emu/kemu/ldr.h"

#if defined(__i386__) && DV_IMAGES_BUILT
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

// The permissions /proc/self/maps gives the page holding `address`, e.g. "r-xp".
std::string PagePermissions(const void *address)
{
    std::ifstream maps("/proc/self/maps");
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    for (std::string line; std::getline(maps, line);) {
        unsigned long from = 0, to = 0;
        char permissions[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, permissions) == 3 && at >= from && at < to) {
            return permissions;
        }
    }
    return "unmapped";
}

TEST(GenuineImage, CodeIsNotWritableDataNotExecutableAndACraftedImageIsRefusedByName)
{
    std::ifstream in(DV_IMAGE, std::ios::binary);
    ASSERT_TRUE(in) << DV_IMAGE << " is not built";
    const std::vector<uint8_t> original{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string error;
    kemu::ldr::ImageInfo info;
    ASSERT_TRUE(kemu::ldr::ReadImage(original, &info, &error)) << error;
    {
        auto module = kemu::DriverModule::Open(DV_IMAGE, &error);
        ASSERT_NE(module, nullptr) << error;
        const auto *base = static_cast<const uint8_t *>(module->Base());
        // What qemu-user lists for the execute bit is its own: writable and not, as the image asks.
        EXPECT_EQ(PagePermissions(base).substr(0, 2), "r-") << "headers";
        for (const kemu::ldr::Section &s : info.sections) {
            const bool code = s.characteristics & 0x20000000, data = s.characteristics & 0x80000000;
            if (code != data) {
                const std::string permissions = PagePermissions(base + s.rva);
                EXPECT_EQ(permissions.substr(0, 3), code ? "r-" + permissions.substr(2, 1) : "rw-") << s.name;
            }
        }
    }
    // Refused through the module, the reason comes after the file's name.
    std::vector<uint8_t> file = original;
    const size_t opt = original[0x3c] + (original[0x3d] << 8) + 24;
    std::fill(file.begin() + opt + 96 + 40, file.begin() + opt + 96 + 48, 0);
    const std::string path = ::testing::TempDir() + "crafted.sys";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(file.data()), file.size());
    EXPECT_EQ(kemu::DriverModule::Open(path, &error), nullptr);
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
    EXPECT_NE(error.find("no relocations"), std::string::npos) << error;
}

} // namespace
#endif
