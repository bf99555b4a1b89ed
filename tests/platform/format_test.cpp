// sprintf/_vsnprintf with the kernel's conventions, as driver code sees them through kernel.h.
#include "core_test_support.h"

#include <cstring>

namespace {

class KernelFormat : public CoreTest {};

// Calls _vsnprintf the way driver code does, into a buffer pre-filled with '#'.
int Vsn(char *buffer, size_t count, const char *format, ...)
{
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

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(Vsn(buffer, 10, "%s", "abcdef"), 6);
    EXPECT_STREQ(buffer, "abcdef");

    // Exactly full: the count comes back and there is no NUL.
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(Vsn(buffer, 6, "ab%dde%c", 3, 'f'), 6);
    EXPECT_EQ(std::string(buffer, 7), "ab3def#");

    // Too long: -1, the first count characters, and no NUL.
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(Vsn(buffer, 3, "abcdef"), -1);
    EXPECT_EQ(std::string(buffer, 4), "abc#");

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(Vsn(buffer, 0, "x"), -1);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(Vsn(buffer, 0, ""), 0);
}

TEST_F(KernelFormat, LongIsThirtyTwoBitsAndI64SixtyFour)
{
    // Were %ld read as the host's 64-bit long, the second value would be swallowed into the first.
    EXPECT_EQ(Format("%ld %ld", LONG(-1), LONG(7)), "-1 7");
    EXPECT_EQ(Format("%lu|%lx|%lX", ULONG(0xFFFFFFFF), ULONG(0xBEEF), ULONG(0xBEEF)), "4294967295|beef|BEEF");
    EXPECT_EQ(Format("%ld", LONG(0x80000000u)), "-2147483648");
    EXPECT_EQ(Format("%I64d %lld %d", LONGLONG(-5000000000), LONGLONG(1) << 40, 9), "-5000000000 1099511627776 9");
    EXPECT_EQ(Format("%I64X %I32u", ULONGLONG(0x123456789ABCDEF0ull), ULONG(42)), "123456789ABCDEF0 42");
}

TEST_F(KernelFormat, ShortTakesTheLowSixteenBits)
{
    EXPECT_EQ(Format("%08hX", ULONG(0x00222030)), "00002030");
    EXPECT_EQ(Format("%hd %hu", 0x18000, 0x18000), "-32768 32768");
}

TEST_F(KernelFormat, FlagsWidthAndPrecisionFollowPrintf)
{
    EXPECT_EQ(Format("[%-5d][%5d][%05d][%+d][% d]", 42, 42, 42, 42, 42), "[42   ][   42][00042][+42][ 42]");
    EXPECT_EQ(Format("[%5.3d][%.0d][%*d][%-*d]", 7, 0, 4, 1, 3, 2), "[  007][][   1][2  ]");
    EXPECT_EQ(Format("[%#x][%#o][%08x]", 255u, 8u, 0xABCu), "[0xff][010][00000abc]");
    EXPECT_EQ(Format("[%.3s][%6s][%-6s][%.*s]", "abcdef", "ab", "ab", 2, "xyz"), "[abc][    ab][ab    ][xy]");
    EXPECT_EQ(Format("%c%c%%", 'o', 'k'), "ok%");
    EXPECT_EQ(Format("%s", static_cast<const char *>(nullptr)), "(null)");
    char text[64];
    EXPECT_EQ(sprintf(text, "%ld-%s", LONG(-3), "x"), 4);
    EXPECT_STREQ(text, "-3-x");
}

TEST_F(KernelFormat, PointerPrintsEveryHexDigitInCapitals)
{
    void *p = reinterpret_cast<void *>(uintptr_t(0xABC));
    std::string expected = std::string(2 * sizeof(void *) - 3, '0') + "ABC";
    EXPECT_EQ(Format("%p", p), expected);
}

TEST_F(KernelFormat, WideAndCountedStringsAreShownAsAscii)
{
    const WCHAR wide[] = u"Reg\u00e9";
    char ansiText[] = "DEVIDIDI-extra";
    struct Counted {
        USHORT Length, MaximumLength;
        const void *Buffer;
    } ansi{8, 8, ansiText}, unicode{6, 8, wide};
    EXPECT_EQ(Format("%ws|%S|%ls|%hs", wide, wide, wide, "n"), "Reg?|Reg?|Reg?|n");
    EXPECT_EQ(Format("%Z|%wZ|%wc", &ansi, &unicode, int(u'W')), "DEVIDIDI|Reg|W");
}

TEST_F(KernelFormat, WideTextAboveItsLevelAndHostOnlyConversionsAreReported)
{
    kemu::ScopedViolationRecording recording;
    {
        kemu::ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(Format("%ws", u"x"), "x");
    }
    // The size of the argument is unknown, so the rest is shown as it stands.
    EXPECT_EQ(Format("a%zu b%d", size_t(1), 2), "a%zu b%d");
    EXPECT_EQ(Format("%f", 1.5), "%f");
    EXPECT_EQ(Format("%n", nullptr), "%n");
    std::vector<kemu::Violation> v = recording.Take();
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0].rule, "Unicode format used above PASSIVE_LEVEL");
    EXPECT_TRUE(Contains(v[0].detail, "IRQL 2"));
    EXPECT_EQ(v[1].rule, "format the kernel does not support");
    EXPECT_TRUE(Contains(v[1].detail, "\"%zu\""));
    EXPECT_TRUE(Contains(v[2].detail, "floating point"));
    EXPECT_TRUE(Contains(v[3].detail, "\"%n\""));
}

} // namespace
