// The pool: accounting, leak report, fill patterns, refused calls and failure injection.
#include "platform/emu/core_test_support.h"

#include <algorithm>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

class Pool : public CoreTest {};
class PoolDeathTest : public CoreTest {};

const ULONG kTrcd = KX_POOL_TAG('T', 'r', 'c', 'd');
const ULONG kWdm = KX_POOL_TAG('W', 'd', 'm', ' ');

// Live blocks, live bytes, peak bytes, allocations and frees of a tag.
std::vector<size_t> Accounts(ULONG tag)
{
    const kemu::PoolTagStats s = kemu::PoolStats(tag);
    return {size_t(s.liveBlocks), size_t(s.liveBytes), size_t(s.peakBytes), size_t(s.allocations), size_t(s.frees)};
}

TEST_F(Pool, CountsLiveBlocksAndBytesPerTagAndListsThemOldestFirst)
{
    void *a = ExAllocatePoolWithTag(NonPagedPool, 10, kTrcd);
    void *b = ExAllocatePoolWithTag(NonPagedPool, 20, kTrcd);
    void *c = ExAllocatePoolWithTag(PagedPool, 8, kWdm);
    ASSERT_TRUE(a && b && c);
    // Fresh blocks carry a fill pattern, which is how an uninitialised lock word is recognised.
    EXPECT_EQ(std::string(static_cast<char *>(a), 10), std::string(10, char(kemu::kPoolFreshFill)));
    EXPECT_EQ(Accounts(kTrcd), (std::vector<size_t>{2, 30, 30, 2, 0}));
    EXPECT_EQ(kemu::PoolStats(kWdm).liveBytes, 8u);
    ExFreePool(a);
    EXPECT_EQ(Accounts(kTrcd), (std::vector<size_t>{1, 20, 30, 2, 1}));
    std::vector<kemu::PoolBlock> live = kemu::LivePoolBlocks();
    ASSERT_EQ(live.size(), 2u);
    EXPECT_EQ(live[0].address, b);
    EXPECT_EQ(live[1].address, c);
    EXPECT_LT(live[0].sequence, live[1].sequence);
    EXPECT_EQ(live[1].type, PagedPool);
    std::string report = kemu::PoolLeakReport();
    EXPECT_TRUE(Contains(report, "2 pool block(s) still live, 28 bytes"));
    EXPECT_TRUE(Contains(report, HexOf(b) + " #" + std::to_string(live[0].sequence) + " 'Trcd' NonPagedPool 20 bytes"));
    EXPECT_TRUE(Contains(report, "'Wdm ' PagedPool 8 bytes"));
    EXPECT_LT(report.find("'Trcd'"), report.find("'Wdm '"));
    ExFreePoolWithTag(b, kTrcd);
    ExFreePool(c);
    EXPECT_EQ(kemu::PoolLeakReport(), "");
}

TEST_F(Pool, FailsTheKthAllocationOfTheChosenTagOnly)
{
    kemu::FailNthAllocation(3, kTrcd);
    void *other = ExAllocatePoolWithTag(NonPagedPool, 1, kWdm); // not counted: another tag
    void *first = ExAllocatePoolWithTag(NonPagedPool, 1, kTrcd);
    void *second = ExAllocatePoolWithTag(NonPagedPool, 1, kTrcd);
    void *third = ExAllocatePoolWithTag(NonPagedPool, 1, kTrcd);
    void *fourth = ExAllocatePoolWithTag(NonPagedPool, 1, kTrcd);
    EXPECT_TRUE(other && first && second && fourth);
    EXPECT_EQ(third, nullptr);
    EXPECT_EQ(kemu::InjectedAllocationFailures(), 1u);
    EXPECT_EQ(kemu::PoolStats(kTrcd).failedAllocations, 1u);
    EXPECT_EQ(kemu::PoolAllocationAttempts(), 5u);
    kemu::FailNthAllocation(1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1, kWdm), nullptr);
    for (void *p : {other, first, second, fourth}) ExFreePool(p);
    // Which of 2000 allocations fail, as a string of 0 and 1.
    auto failures = [](double p, uint64_t seed) {
        kemu::FailAllocationsWithProbability(p, seed, UINT64_MAX, kTrcd);
        std::string failed;
        for (int i = 0; i < 2000; ++i) {
            void *block = ExAllocatePoolWithTag(NonPagedPool, 1, kTrcd);
            failed += block == nullptr ? '1' : '0';
            if (block != nullptr) ExFreePool(block);
        }
        kemu::ClearAllocationFailures();
        return failed;
    };
    const std::string seeded = failures(0.1, 7);
    const auto count = std::count(seeded.begin(), seeded.end(), '1');
    EXPECT_GT(count, 140);
    EXPECT_LT(count, 260);
    EXPECT_EQ(failures(0.1, 7), seeded);
    EXPECT_NE(failures(0.1, 8), seeded);
    EXPECT_EQ(failures(0, 7), std::string(2000, '0'));
}

TEST_F(Pool, BadFreesAreReportedWithWhatWasFound)
{
    kemu::ScopedViolationRecording recording;
    auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTrcd));
    auto *q = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTrcd));
    int onTheStack = 0;
    ExFreePool(q + 4);
    ExFreePool(&onTheStack);
    ExFreePool(nullptr);
    ExFreePool(p);
    ExFreePool(p);
    ExFreePoolWithTag(q, kWdm); // the wrong tag: reported, and the block still freed
    const std::string notLive = "pool free of a pointer that is not a live pool block";
    ExpectViolations(recording, {{notLive, "lies 4 bytes inside block " + HexOf(q)},
                                 {notLive, "ExFreePool(" + HexOf(&onTheStack) + "): foreign pointer"},
                                 {"pool free of NULL", ""},
                                 {notLive, "'Trcd' NonPagedPool 16 bytes was freed before"},
                                 {"pool freed with a wrong tag", "allocated with tag 'Trcd', freed with 'Wdm '"}});
    EXPECT_EQ(kemu::LivePoolBlocks().size(), 0u);
}

TEST_F(Pool, LevelRulesRefuseTheCallsTheKernelWould)
{
    kemu::ScopedViolationRecording recording;
    void *paged = ExAllocatePoolWithTag(PagedPool, 8, kWdm);
    {
        kemu::ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kWdm), nullptr);
        EXPECT_EQ(ExAllocatePoolWithTag(PagedPoolCacheAligned, 8, kWdm), nullptr);
        void *nonPaged = ExAllocatePoolWithTag(NonPagedPool, 8, kTrcd);
        EXPECT_NE(nonPaged, nullptr);
        ExFreePool(nonPaged);
        ExFreePool(paged);
    }
    EXPECT_EQ(recording.TakeRules(), (std::vector<std::string>{"paged pool allocated at DISPATCH_LEVEL or above",
                                                               "paged pool allocated at DISPATCH_LEVEL or above",
                                                               "paged pool freed above APC_LEVEL"}));
    void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTrcd);
    {
        kemu::ScopedIrql high(HIGH_LEVEL);
        EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTrcd), nullptr);
        ExFreePool(p); // refused: stays allocated
    }
    EXPECT_EQ(ExAllocatePoolWithTag(DontUseThisType, 8, kTrcd), nullptr);
    ExpectViolations(recording,
                     {{"pool allocated above DISPATCH_LEVEL", "ExAllocatePoolWithTag(NonPagedPool, 8, 'Trcd') at IRQL 31"},
                      {"pool freed above DISPATCH_LEVEL", ""}, {"invalid pool type", ""}});
    EXPECT_EQ(kemu::LivePoolBlocks().size(), 1u);
    ExFreePool(p);
}

// Under AddressSanitizer the guard and freed blocks are poisoned: BadAccessesStopAtOnceUnderAsan instead.
#if !defined(__SANITIZE_ADDRESS__)
TEST_F(Pool, WritingPastTheEndOrAfterTheFreeIsFound)
{
    kemu::ScopedViolationRecording recording;
    auto *p = static_cast<volatile unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 8, kTrcd));
    p[9] = 'x';
    ExFreePool(const_cast<unsigned char *>(p));
    ExpectOneViolation(recording, "pool block overrun", "at least 2 byte(s) written past its end");
    p = static_cast<volatile unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 8, kTrcd));
    ExFreePool(const_cast<unsigned char *>(p));
    EXPECT_EQ(p[3], kemu::kPoolFreedFill); // still held back from the host, so this read is safe here
    p[5] = 0;
    kemu::CheckFreedPool();
    ExpectOneViolation(recording, "pool memory written after it was freed",
                       "'Trcd' NonPagedPool 8 bytes: byte 5 is 0x00 instead of the freed pattern");
}
#else
TEST_F(PoolDeathTest, BadAccessesStopAtOnceUnderAsan)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto *p = static_cast<volatile char *>(ExAllocatePoolWithTag(NonPagedPool, 8, kTrcd));
            p[8] = 'x';
        },
        "use-after-poison");
    EXPECT_DEATH(
        {
            auto *p = static_cast<volatile char *>(ExAllocatePoolWithTag(NonPagedPool, 8, kTrcd));
            ExFreePool(const_cast<char *>(p));
            p[0] = 'x';
        },
        "use-after-poison");
}
#endif

// The special pool in every flavour: its pages are its own, not the sanitizer's.
TEST_F(PoolDeathTest, TheSpecialPoolStopsAUseAfterTheFreeAndGivesItsSlotsBack)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kemu::SetSpecialPoolTag(kTrcd);
    EXPECT_DEATH(
        {
            auto *p = static_cast<volatile char *>(ExAllocatePoolWithTag(NonPagedPool, 100, kTrcd));
            ExFreePool(const_cast<char *>(p));
            (void)p[10];
        },
        "STOP: read of a freed pool block: pool block 0x[0-9a-f]+ 'Trcd' 100 bytes, byte 10, allocated by .+, "
        "freed by .+, by code at ");
    // More blocks than there are slots, each freed: the slots come back, and the last is guarded still.
    for (int i = 0; i < 5000; ++i) {
        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 16, kTrcd));
    }
    EXPECT_DEATH(
        {
            auto *p = static_cast<volatile char *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTrcd));
            p[16] = 'x';
        },
        "STOP: write past the end of a pool block: pool block 0x[0-9a-f]+ 'Trcd' 16 bytes, 0 bytes past its end");
    // Every slot live at once: the pool says so once, and the block beyond still comes (unguarded).
    std::vector<void *> live;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 4098; ++i) {
        live.push_back(ExAllocatePoolWithTag(NonPagedPool, 16, kTrcd));
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "kemu: the special pool is full: 4096 blocks of tag 'Trcd' are live; later ones are not guarded "
                    "until some are freed\n");
    EXPECT_EQ(std::count(live.begin(), live.end(), nullptr), 0);
    for (void *block : live) {
        ExFreePool(block);
    }
}

// A view shows the block's own bytes; closed, a read through it stops in the closer's words; once the
// block is freed, a use through any of its views is the freed block's, however many blocks come after.
TEST_F(PoolDeathTest, AViewOfASpecialBlockSharesItsBytesAndStopsOnceClosedOrFreed)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kemu::SetSpecialPoolTag(kTrcd);
    auto *block = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 100, kTrcd));
    auto *view = static_cast<volatile char *>(kemu::OpenPoolView(block + 10, "the test's block"));
    ASSERT_NE(view, nullptr);
    block[10] = 'x';
    EXPECT_EQ(view[0], 'x');
    // A forked process (a death test, the explorer's child) writes to a copy of its own, which its
    // views show; the parent's bytes stay as they were.
    block[20] = 'p';
    const pid_t child = fork();
    if (child == 0) {
        block[20] = 'c';
        _exit(view[10] == 'c' ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(block[20], 'p');
    EXPECT_EQ(view[10], 'p');
    auto *closed = static_cast<volatile char *>(kemu::OpenPoolView(block, "the test's block"));
    kemu::ClosePoolView(const_cast<char *>(closed), "after its closing");
    EXPECT_DEATH((void)closed[12], "STOP: read of the test's block after its closing: pool block 0x[0-9a-f]+ 'Trcd' "
                                   "100 bytes, byte 12, allocated by .+, by code at ");
    ExFreePool(block);
    for (int i = 0; i < 5000; ++i) {
        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 16, kTrcd));
    }
    EXPECT_DEATH(view[1] = 'y', "STOP: write to a freed pool block: pool block 0x[0-9a-f]+ 'Trcd' 100 bytes, byte 11, ");
    EXPECT_DEATH((void)closed[3], "STOP: read of a freed pool block: pool block 0x[0-9a-f]+ 'Trcd' 100 bytes, byte 3, ");
}

} // namespace
