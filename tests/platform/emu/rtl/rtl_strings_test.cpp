// Counted strings: the kernel's buffer limits, terminators and conversions.
#include "platform/emu/core_test_support.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr WCHAR kFill = 0xEEEE;

// A destination of MaximumLength bytes in a larger buffer of kFill: writes past it show.
struct WideBuffer {
    WCHAR storage[64];
    UNICODE_STRING us;
    explicit WideBuffer(USHORT maximumBytes) : us{0, maximumBytes, storage} { std::fill_n(storage, 64, kFill); }
    std::u16string Text() const { return std::u16string(us.Buffer, us.Length / 2); }
};

class RtlStrings : public CoreTest {};

TEST_F(RtlStrings, AnsiToUnicodeAllocatesFromPagedPoolOrNeedsRoomForTheTerminator)
{
    ANSI_STRING source;
    RtlInitAnsiString(&source, "Mot\xE9");
    UNICODE_STRING allocated;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&allocated, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(allocated.Buffer, allocated.Length / 2), u"Mot\u00E9");
    EXPECT_EQ(allocated.MaximumLength, 10);
    const auto block = kemu::FindPoolBlock(allocated.Buffer);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->type, PagedPool);
    RtlFreeUnicodeString(&allocated);
    EXPECT_EQ(allocated.Buffer, nullptr);
    EXPECT_EQ(allocated.MaximumLength, 0);
    WideBuffer exact(10);
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&exact.us, &source, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(exact.Text(), u"Mot\u00E9");
    EXPECT_EQ(exact.storage[4], 0);
    WideBuffer tight(8); // the text fits, its terminator does not
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&tight.us, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tight.storage[0], kFill) << "nothing converted";
    UNICODE_STRING wide;
    RtlInitUnicodeString(&wide, KWSTR("Caf\u00E9\u4E2D."));
    ANSI_STRING narrow;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&narrow, &wide, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(narrow.Buffer, narrow.Length), "Caf??.");
    EXPECT_EQ(narrow.MaximumLength, 7);
    EXPECT_EQ(narrow.Buffer[6], '\0');
    RtlFreeAnsiString(&narrow);
    EXPECT_EQ(narrow.Buffer, nullptr);
    // Too small: what fits is converted and terminated, and the overflow is still reported.
    char storage[8];
    std::memset(storage, 'x', sizeof storage);
    ANSI_STRING small{0, 4, storage};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&small, &wide, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(small.Length, 3);
    EXPECT_STREQ(storage, "Caf");
    EXPECT_EQ(storage[4], 'x');
    ANSI_STRING none{0, 0, storage};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&none, &wide, FALSE), STATUS_BUFFER_OVERFLOW);
}

// Copy takes what fits and terminates only when there is room; append refuses what does not fit.
TEST_F(RtlStrings, CopyAndAppendNeverWritePastMaximumLength)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, KWSTR("abcd"));
    struct Case {
        USHORT maximum;
        std::u16string text;
        WCHAR behind;
    };
    for (const Case &c : {Case{20, u"abcd", 0}, Case{8, u"abcd", kFill}, Case{6, u"abc", kFill}}) {
        SCOPED_TRACE(c.maximum);
        WideBuffer copy(c.maximum);
        RtlCopyUnicodeString(&copy.us, &source);
        EXPECT_EQ(copy.Text(), c.text);
        EXPECT_EQ(copy.storage[c.text.size()], c.behind);
        RtlCopyUnicodeString(&copy.us, nullptr);
        EXPECT_EQ(copy.us.Length, 0);
    }
    WideBuffer path(12);
    EXPECT_EQ(RtlAppendUnicodeToString(&path.us, KWSTR("ab")), STATUS_SUCCESS);
    EXPECT_EQ(path.storage[2], 0);
    EXPECT_EQ(RtlAppendUnicodeToString(&path.us, KWSTR("\\")), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&path.us, KWSTR("defg")), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(path.Text(), u"ab\\");
    EXPECT_EQ(path.storage[4], kFill);
    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, KWSTR("def"));
    EXPECT_EQ(RtlAppendUnicodeStringToString(&path.us, &tail), STATUS_SUCCESS);
    EXPECT_EQ(path.Text(), u"ab\\def");
    EXPECT_EQ(path.storage[6], kFill) << "full to MaximumLength: no terminator";
    EXPECT_EQ(RtlAppendUnicodeStringToString(&path.us, &tail), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlAppendUnicodeToString(&path.us, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(path.Text(), u"ab\\def");
}

TEST_F(RtlStrings, CompareOrdersByUpperCaseWhenAskedAndByLengthLast)
{
    auto compare = [](PCWSTR a, PCWSTR b, BOOLEAN caseInsensitive) {
        UNICODE_STRING first, second;
        RtlInitUnicodeString(&first, a);
        RtlInitUnicodeString(&second, b);
        return RtlCompareUnicodeString(&first, &second, caseInsensitive);
    };
    EXPECT_EQ(compare(KWSTR("Entry"), KWSTR("ENTRY"), TRUE), 0);
    EXPECT_GT(compare(KWSTR("Entry"), KWSTR("ENTRY"), FALSE), 0);
    EXPECT_LT(compare(KWSTR("Entry"), KWSTR("entry_"), TRUE), 0);
    EXPECT_EQ(compare(KWSTR("\u00E9t\u00E9"), KWSTR("\u00C9T\u00C9"), TRUE), 0);
    kemu::ScopedViolationRecording recording;
    ANSI_STRING source;
    RtlInitAnsiString(&source, "x");
    WideBuffer converted(8);
    {
        kemu::ScopedIrql dispatch(DISPATCH_LEVEL);
        RtlCopyUnicodeString(&converted.us, nullptr); // resident code: allowed
        EXPECT_TRUE(recording.TakeRules().empty());
        RtlAnsiStringToUnicodeString(&converted.us, &source, FALSE);
        RtlCompareUnicodeString(&converted.us, &converted.us, TRUE);
    }
    EXPECT_EQ(recording.TakeRules(), std::vector<std::string>(2, "pageable routine at DISPATCH_LEVEL or above"));
    {
        kemu::ScopedIrql apc(APC_LEVEL);
        RtlAnsiStringToUnicodeString(&converted.us, &source, FALSE);
    }
    EXPECT_TRUE(recording.TakeRules().empty());
}

} // namespace
