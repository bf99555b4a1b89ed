// sprintf/_vsnprintf with the kernel's conventions, as driver code sees them through kernel.h.
#include "platform/emu/core_test_support.h"

#include <cstring>

namespace {

class KernelFormat : public CoreTest {};

// Calls _vsnprintf the way driver code does, into a 16-byte buffer first filled with '#'.
int Vsn(char *buffer, size_t count, const char *format, ...)
{
    std::memset(buffer, '#', 16);
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

std::string Format(const char *format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return n < 0 ? "<overflow>" : std::string(buffer, size_t(n));
}

TEST_F(KernelFormat, VsnprintfTerminatesOnlyWhenTheTextFitsWithRoomToSpare)
{
    char buffer[16];
    EXPECT_EQ(Vsn(buffer, 10, "%s", "abcdef"), 6);
    EXPECT_STREQ(buffer, "abcdef");
    EXPECT_EQ(Vsn(buffer, 6, "ab%dde%c", 3, 'f'), 6); // exactly full: no NUL
    EXPECT_EQ(std::string(buffer, 7), "ab3def#");
    EXPECT_EQ(Vsn(buffer, 3, "abcdef"), -1);
    EXPECT_EQ(std::string(buffer, 4), "abc#");
    EXPECT_EQ(Vsn(buffer, 0, "x"), -1);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(Vsn(buffer, 0, ""), 0);
    EXPECT_EQ(Format("%lu|%lx|%lX", ULONG(0xFFFFFFFF), ULONG(0xBEEF), ULONG(0xBEEF)), "4294967295|beef|BEEF");
    EXPECT_EQ(Format("%ld", LONG(0x80000000u)), "-2147483648");
    EXPECT_EQ(Format("%I64d %lld %d", LONGLONG(-5000000000), LONGLONG(1) << 40, 9), "-5000000000 1099511627776 9");
    EXPECT_EQ(Format("%I64X %I32u", ULONGLONG(0x123456789ABCDEF0ull), ULONG(42)), "123456789ABCDEF0 42");
    EXPECT_EQ(Format("%08hX", ULONG(0x00222030)), "00002030"); // a short: the low sixteen bits
    EXPECT_EQ(Format("%hd %hu", 0x18000, 0x18000), "-32768 32768");
    EXPECT_EQ(Format("[%-5d][%05d][%+d][% d][%5.3d][%.0d][%*d]", 42, 42, 42, 42, 7, 0, 4, 1),
              "[42   ][00042][+42][ 42][  007][][   1]");
    EXPECT_EQ(Format("[%#x][%#o][%.3s][%.*s][%c%%]", 255u, 8u, "abcdef", 2, "xyz", 'o'), "[0xff][010][abc][xy][o%]");
    EXPECT_EQ(Format("%s", static_cast<const char *>(nullptr)), "(null)");
    // A pointer prints every hex digit, in capitals.
    EXPECT_EQ(Format("%p", reinterpret_cast<void *>(uintptr_t(0xABC))), std::string(2 * sizeof(void *) - 3, '0') + "ABC");
}

TEST_F(KernelFormat, HostOnlyConversionsAreReported)
{
    kemu::ScopedViolationRecording recording;
    // The size of the argument is unknown, so the rest is shown as it stands.
    EXPECT_EQ(Format("a%zu b%d", size_t(1), 2), "a%zu b%d");
    EXPECT_EQ(Format("%f", 1.5), "%f");
    EXPECT_EQ(Format("%n", nullptr), "%n");
    const std::string rule = "format the kernel does not support";
    ExpectViolations(recording, {{rule, "\"%zu\""}, {rule, "floating point"}, {rule, "\"%n\""}});
}

} // namespace
