// TracedNew, TracedDelete and the leak report of TermNewDel.
#include <thread>
#include <vector>

#include "alloc/alloc_fixture.h"

namespace {

using dvtest::HeaderOf;
using dvtest::Hex08;
using dvtest::kListTag;
using dvtest::kTracedTag;
using Lines = std::vector<std::string>;

const std::string kDoubleFree = "might be double deallocation of a single allocation). Deallocation ignored.";
const std::string kNotNew = "might not be allocated using 'NEW()' macro)";

std::string Unrecognized(void *p, const std::string &why)
{
    return "1000 [1]DEVIDIDI-ENTRY:TracedDelete(...): deallocation of unrecognized pointer (address=0x" + Hex08(p) +
           ", " + why;
}

class TracedNew : public dvtest::TracedAllocationTest {};
class TracedDelete : public dvtest::TracedAllocationTest {};
class TermNewDel_ : public dvtest::TracedAllocationTest {};
class InitNewDel_ : public dvtest::TracedAllocationTest {};

TEST_F(TracedNew, GivesZeroedNonPagedMemoryBehindAHeaderNamingTheCaller)
{
    // Pool type and tag are the caller's wish only: every block is non-paged 'Trcd'.
    char *p = static_cast<char *>(::TracedNew(40, PagedPool, KX_POOL_TAG('a', 'b', 'c', 'd'), "unit", 77));
    ASSERT_NE(p, nullptr);
    PTRACED_BLOCK_HEADER header = HeaderOf(p);
    EXPECT_EQ(header->dwCookie, 0xDEAD0000u);
    EXPECT_EQ(std::vector<char>(p, p + 40), std::vector<char>(40, 0));
    auto block = kemu::FindPoolBlock(header);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->size, 40 + sizeof(TRACED_BLOCK_HEADER));
    EXPECT_EQ(block->tag, kTracedTag);
    EXPECT_EQ(block->type, NonPagedPool);
    EXPECT_EQ(Current(), 1);
    ::TracedDelete(p);
    EXPECT_FALSE(kemu::FindPoolBlock(header));
    EXPECT_EQ(Total(), 1);
    EXPECT_EQ(Current(), 0);
    EXPECT_EQ(Shown(), (Lines{Line(5, "TracedNew(...): 40 bytes allocated from unit:77."),
                              Line(5, "TracedDelete(...): deallocated block allocation from at unit:77.")}));
}

// An exhausted pool gives NULL quietly; a size overflowing with the header is logged, never asked.
TEST_F(TracedNew, ExhaustedPoolAndSizesThatOverflowWithTheHeaderGiveNull)
{
    kemu::FailNthAllocation(1, kTracedTag);
    EXPECT_EQ(::TracedNew(16, NonPagedPool, kTracedTag, "unit", 1), nullptr);
    EXPECT_TRUE(Shown().empty());
    const ULONG largestFit = 0xFFFFFFFFu - ULONG(sizeof(TRACED_BLOCK_HEADER));
    const uint64_t attempts = kemu::PoolAllocationAttempts();
    EXPECT_EQ(::TracedNew(largestFit + 1, NonPagedPool, kTracedTag, "huge", 5), nullptr);
    EXPECT_EQ(::TracedNew(0xFFFFFFFFu, NonPagedPool, kTracedTag, "huge", 6), nullptr);
    EXPECT_EQ(kemu::PoolAllocationAttempts(), attempts);
    EXPECT_EQ(Total(), 0);
    EXPECT_EQ(Current(), 0);
    EXPECT_EQ(Shown(), (Lines{Line(1, "TracedNew(...): ERROR --- " + std::to_string(largestFit + 1) +
                                          " bytes from huge:5 do not fit with the block header."),
                              Line(1, "TracedNew(...): ERROR --- 4294967295 bytes from huge:6 do not fit with the "
                                      "block header.")}));
    // The largest size that fits is asked of the pool (which has not that much).
    EXPECT_EQ(::TracedNew(largestFit, NonPagedPool, kTracedTag, "huge", 7), nullptr);
    EXPECT_EQ(kemu::PoolAllocationAttempts(), attempts + 1);
}

TEST_F(TracedNew, BlockWhoseListNodeFailsIsUntrackedAndItsFreeRefused)
{
    kemu::FailNthAllocation(1, kListTag);
    void *p = ::TracedNew(8, NonPagedPool, kTracedTag, "unit", 3);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(g_pTraceList->m_nCount, 0);
    EXPECT_EQ(Current(), 1);
    kemu::DebugService::Clear();
    ::TracedDelete(p);
    EXPECT_EQ(Shown(), Lines{Unrecognized(p, kDoubleFree)});
    EXPECT_TRUE(kemu::FindPoolBlock(HeaderOf(p)));
    EXPECT_EQ(Current(), 0);
    ExFreePool(HeaderOf(p));
}

TEST_F(TracedDelete, FreeingNullTwiceOrAForeignCookieIsRefusedAndLogged)
{
    void *keep = ::TracedNew(4, NonPagedPool, kTracedTag, "unit", 1);
    void *p = ::TracedNew(4, NonPagedPool, kTracedTag, "unit", 2);
    kemu::DebugService::Clear();
    ::TracedDelete(nullptr);
    EXPECT_EQ(Current(), 2);
    EXPECT_EQ(Shown(), Lines{Line(1, "TracedDelete(...): delete NULL detected!")});
    ::TracedDelete(p);
    kemu::DebugService::Clear();
    ::TracedDelete(p);
    EXPECT_EQ(Shown(), Lines{Unrecognized(p, kDoubleFree)});
    EXPECT_EQ(Current(), 0);              // lowered once more
    EXPECT_EQ(g_pTraceList->m_nCount, 1); // the other block is still listed
    EXPECT_TRUE(kemu::FindPoolBlock(HeaderOf(keep)));
    // A foreign cookie: logged, the block kept, though it has left the list all the same.
    void *foreign = ::TracedNew(4, NonPagedPool, kTracedTag, "unit", 9);
    HeaderOf(foreign)->dwCookie = 0x12345678;
    kemu::DebugService::Clear();
    ::TracedDelete(foreign);
    EXPECT_EQ(Shown(), (Lines{Line(5, "TracedDelete(...): deallocated block allocation from at unit:9."),
                              Unrecognized(foreign, "cookie=0x12345678, " + kNotNew)}));
    EXPECT_TRUE(kemu::FindPoolBlock(HeaderOf(foreign)));
    EXPECT_EQ(g_pTraceList->m_nCount, 1);
    EXPECT_EQ(Current(), 0);
    ExFreePool(HeaderOf(foreign));
    // keep's own free now takes the count below zero: refused, the block stays allocated.
    kemu::DebugService::Clear();
    ::TracedDelete(keep);
    EXPECT_EQ(Shown(), Lines{Line(1, "TracedDelete(...): deallocation count exceeds allocation count")});
    EXPECT_EQ(Current(), -1);
    EXPECT_TRUE(kemu::FindPoolBlock(HeaderOf(keep)));
    EXPECT_EQ(g_pTraceList->m_nCount, 1);
    EXPECT_EQ(TermNewDel(), 0xFFFFFFFFu);
    ExFreePool(HeaderOf(keep));
}

std::string Leak(void *p, const std::string &where)
{
    return "1000 [1]DEVIDIDI-ENTRY:TermNewDel(...): address 0x" + Hex08(HeaderOf(p)) + ": 'new' without 'delete' (" +
           where + ")";
}

// Also: several leaks are listed oldest first and their blocks kept; a second unload repeats the count.
TEST_F(TermNewDel_, ASingleLeakIsCountedToo)
{
    void *only = ::TracedNew(4, NonPagedPool, kTracedTag, "only", 21);
    kemu::DebugService::Clear();
    EXPECT_EQ(TermNewDel(), 1u);
    EXPECT_EQ(Shown(), (Lines{Line(1, "Allocation tracing module: 1 allocations were not deallocated."),
                              Leak(only, "only:21")}));
    ExFreePool(HeaderOf(only));
    InitNewDel();
    void *first = ::TracedNew(4, NonPagedPool, kTracedTag, "first", 11);
    ::TracedDelete(::TracedNew(4, NonPagedPool, kTracedTag, "freed", 12));
    void *second = ::TracedNew(4, NonPagedPool, kTracedTag, "second", 13);
    kemu::DebugService::Clear();
    EXPECT_EQ(TermNewDel(), 2u);
    EXPECT_EQ(Shown(), (Lines{Line(1, "Allocation tracing module: 2 allocations were not deallocated."),
                              Leak(first, "first:11"), Leak(second, "second:13")}));
    EXPECT_EQ(g_pTraceList, nullptr);
    EXPECT_EQ(kemu::PoolStats(kListTag).liveBlocks, 0u);
    EXPECT_EQ(kemu::PoolStats(kTracedTag).liveBlocks, 2u);
    kemu::DebugService::Clear();
    EXPECT_EQ(TermNewDel(), 2u);
    EXPECT_EQ(Shown(), Lines{Line(1, "Allocation tracing module: 2 allocations were not deallocated.")});
    ExFreePool(HeaderOf(first));
    ExFreePool(HeaderOf(second));
}

// Without pool for the list the driver runs on, and the cookie alone decides a free.
TEST_F(InitNewDel_, WithoutTheListTheCookieAloneDecides)
{
    TermNewDel();
    kemu::FailNthAllocation(1, kListTag);
    InitNewDel();
    ASSERT_EQ(g_pTraceList, nullptr);
    void *good = ::TracedNew(4, NonPagedPool, kTracedTag, "unit", 1);
    void *bad = ::TracedNew(4, NonPagedPool, kTracedTag, "unit", 2);
    HeaderOf(bad)->dwCookie = 0xDEADBABE;
    kemu::DebugService::Clear();
    ::TracedDelete(good);
    ::TracedDelete(bad);
    EXPECT_FALSE(kemu::FindPoolBlock(HeaderOf(good)));
    EXPECT_TRUE(kemu::FindPoolBlock(HeaderOf(bad)));
    EXPECT_EQ(Shown(), Lines{Unrecognized(bad, "cookie=0xdeadbabe, " + kNotNew)});
    kemu::DebugService::Clear();
    EXPECT_EQ(TermNewDel(), 0u);
    EXPECT_TRUE(Shown().empty());
    ExFreePool(HeaderOf(bad));
}

class TracedAllocationQuiet : public dvtest::TracedAllocationTest {
protected:
    TracedAllocationQuiet() : TracedAllocationTest(0) {}
};

// Several processors allocating and freeing at dispatch level, inside a spin lock of their own.
TEST_F(TracedAllocationQuiet, ConcurrentAllocationsKeepTheCountsExact)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            void *kept[4] = {};
            for (int i = 0; i < kRounds; ++i) {
                KIRQL old = KfAcquireSpinLock(&lock);
                void *&slot = kept[i % 4];
                if (slot) {
                    ::TracedDelete(slot);
                }
                slot = ::TracedNew(16, NonPagedPool, kTracedTag, "thread", i);
                KfReleaseSpinLock(&lock, old);
            }
            for (void *p : kept) {
                ::TracedDelete(p);
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(Total(), kThreads * kRounds);
    EXPECT_EQ(Current(), 0);
    EXPECT_EQ(g_pTraceList->m_nCount, 0);
    EXPECT_TRUE(IsListEmpty(&g_pTraceList->m_ListHead));
    EXPECT_TRUE(kemu::TakeViolations().empty());
}

} // namespace
