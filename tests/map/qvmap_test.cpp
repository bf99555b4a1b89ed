// QvMap as a stream uses it: consumer handles to consumer records.
#include <algorithm>
#include <utility>
#include <vector>

#include "alloc/alloc_fixture.h"
#include "QvMap.h"

class QvConsumerInfo;

namespace {

using dvtest::HeaderOf;
using dvtest::kTracedTag;
using ConsumerMap = QvMap<void *, void *, QvConsumerInfo *, QvConsumerInfo *>;
using Keys = std::vector<uintptr_t>;

void *K(uintptr_t n) { return reinterpret_cast<void *>(n); }
QvConsumerInfo *V(uintptr_t n) { return reinterpret_cast<QvConsumerInfo *>(n); }

// The whole walk, as the stream's callers do it.
std::vector<std::pair<uintptr_t, uintptr_t>> Walk(const ConsumerMap &map)
{
    std::vector<std::pair<uintptr_t, uintptr_t>> seen;
    for (POSITION pos = map.GetStartPosition(); pos;) {
        void *key = nullptr;
        QvConsumerInfo *value = nullptr;
        map.GetNextAssoc(pos, key, value);
        seen.emplace_back(reinterpret_cast<uintptr_t>(key), reinterpret_cast<uintptr_t>(value));
    }
    return seen;
}

// A walk that removes the elements `remove` picks (by their place in the walk, from 1) as it goes.
template <typename Pick> Keys WalkRemoving(ConsumerMap &map, Pick remove)
{
    Keys seen;
    for (POSITION pos = map.GetStartPosition(); pos;) {
        void *key = nullptr;
        QvConsumerInfo *value = nullptr;
        map.GetNextAssoc(pos, key, value);
        seen.push_back(reinterpret_cast<uintptr_t>(key));
        if (remove(seen.size())) {
            EXPECT_TRUE(map.RemoveKey(key));
        }
    }
    return seen;
}

class QvMapTest : public dvtest::TracedAllocationTest {
protected:
    QvMapTest() : TracedAllocationTest(0) {}
};

TEST_F(QvMapTest, BucketIsTheKeyShiftedFourModSeventeenNewestFirst)
{
    ConsumerMap map;
    QvConsumerInfo *value = nullptr;
    const Keys keys = {0x100, 0x10F, 0x100 + 17 * 16, 0x110, 0x0F};
    for (uintptr_t k : keys) {
        map[K(k)] = V(k + 1);
    }
    // The walk goes bucket by bucket, newest first within a bucket.
    const std::vector<std::pair<uintptr_t, uintptr_t>> walked = {
        {0x0F, 0x10}, {0x110, 0x111}, {0x210, 0x211}, {0x10F, 0x110}, {0x100, 0x101}};
    EXPECT_EQ(Walk(map), walked);
    for (uintptr_t k : keys) {
        EXPECT_TRUE(map.Lookup(K(k), value));
        EXPECT_EQ(value, V(k + 1));
    }
    // Indexing a present key hands out the same slot again.
    EXPECT_EQ(&map[K(0x110)], &map[K(0x110)]);
    EXPECT_EQ(map[K(0x110)], V(0x111));
    EXPECT_EQ(map.GetCount(), 5);
    if constexpr (sizeof(void *) == 8) {
        // Only the low 32 bits choose the bucket; the whole key tells elements apart.
        const uintptr_t high = (uintptr_t(1) << 32) | 0x100;
        map[K(high)] = V(7);
        EXPECT_EQ(map.GetCount(), 6);
        EXPECT_TRUE(map.RemoveKey(K(high)));
        EXPECT_TRUE(map.Lookup(K(0x100), value));
        EXPECT_EQ(value, V(0x101));
    }
}

TEST_F(QvMapTest, NodesComeTenToABlockAndAllMemoryReturnsWhenEmptied)
{
    ConsumerMap map;
    map[K(0x10)] = V(1);
    EXPECT_EQ(Current(), 2); // the bucket table and the first block, both traced
    EXPECT_STREQ(HeaderOf(map.m_pBlocks)->pszFile, "QvMap");
    EXPECT_EQ(kemu::FindPoolBlock(map.m_pHashTable)->size, 17 * sizeof(void *) + sizeof(TRACED_BLOCK_HEADER));
    for (uintptr_t i = 1; i < 10; ++i) {
        map[K(0x10 * (i + 1))] = V(i + 1);
    }
    EXPECT_EQ(Current(), 2);
    map[K(0x110)] = V(11);
    EXPECT_EQ(Current(), 3);
    EXPECT_EQ(map.GetCount(), 11);
    // A freed node is reused before any new block.
    QvConsumerInfo **freedSlot = &map[K(0x50)];
    EXPECT_TRUE(map.RemoveKey(K(0x50)));
    map[K(0x999)] = V(99);
    EXPECT_EQ(&map[K(0x999)], freedSlot);
    EXPECT_EQ(Current(), 3);
    for (uintptr_t k : {0x10, 0x20, 0x30, 0x40, 0x999, 0x60, 0x70, 0x80, 0x90, 0xA0}) {
        EXPECT_TRUE(map.RemoveKey(K(k)));
    }
    EXPECT_EQ(Current(), 3);
    EXPECT_FALSE(map.RemoveKey(K(0x10)));
    EXPECT_TRUE(map.RemoveKey(K(0x110)));
    EXPECT_EQ(Current(), 0);
    EXPECT_EQ(map.m_pHashTable, nullptr);
}

TEST_F(QvMapTest, RemovingTheReturnedElementDuringAWalkVisitsEveryOtherOnce)
{
    ConsumerMap map;
    Keys all;
    for (uintptr_t i = 0; i < 25; ++i) {
        all.push_back(0x10 * (i % 9) + 0x1000 * (i / 9) + (i % 3)); // several keys per bucket
        map[K(all.back())] = V(i + 1);
    }
    ASSERT_EQ(map.GetCount(), 25);
    // Remove every other element returned: each is still visited once.
    const Keys first = WalkRemoving(map, [](size_t n) { return n % 2 == 1; });
    EXPECT_TRUE(std::is_permutation(first.begin(), first.end(), all.begin(), all.end()));
    Keys kept;
    for (size_t i = 1; i < first.size(); i += 2) {
        kept.push_back(first[i]);
    }
    EXPECT_EQ(map.GetCount(), 12);
    // Then remove every one, the last leaving the map without memory.
    EXPECT_EQ(WalkRemoving(map, [](size_t) { return true; }), kept);
    EXPECT_EQ(map.GetCount(), 0);
    EXPECT_EQ(map.m_pHashTable, nullptr);
    EXPECT_EQ(Current(), 0);
}

// Each map has its own error slot: two streams failing at once never write the same memory.
TEST_F(QvMapTest, FailedAllocationLandsInTheMapsOwnErrorSlot)
{
    ConsumerMap a;
    ConsumerMap b;
    kemu::FailNthAllocation(2, kTracedTag); // a's table succeeds, its first node block fails
    QvConsumerInfo *&ra = a[K(0x10)];
    EXPECT_EQ(&ra, &a.error);
    ra = V(1);
    QvConsumerInfo *value = nullptr;
    EXPECT_FALSE(a.Lookup(K(0x10), value));
    EXPECT_EQ(a.GetCount(), 0);
    EXPECT_EQ(a.GetStartPosition(), nullptr);
    kemu::FailNthAllocation(1, kTracedTag); // b's table fails: b refuses every insertion from now on
    QvConsumerInfo *&rb = b[K(0x10)];
    EXPECT_EQ(&rb, &b.error);
    EXPECT_NE(&rb, &ra);
    rb = V(2);
    EXPECT_EQ(a.error, V(1));
    EXPECT_EQ(b[K(0x20)], nullptr); // handed out again, cleared
    EXPECT_FALSE(b.Lookup(K(0x20), value));
    EXPECT_FALSE(b.RemoveKey(K(0x20)));
    // a recovers once the pool does.
    a[K(0x10)] = V(5);
    EXPECT_TRUE(a.Lookup(K(0x10), value));
    EXPECT_EQ(value, V(5));
}

} // namespace
