// QvInterlockedList: one pool node per value, removal of every copy, order kept.
#include <gtest/gtest.h>

#include <vector>

#include "alloc/alloc_fixture.h"
#include "QvInterlockedList.h"

namespace {

using dvtest::kListTag;
using List = QvInterlockedList<void *>;

void *V(uintptr_t n) { return reinterpret_cast<void *>(n); }

std::vector<uintptr_t> Drain(List &list)
{
    std::vector<uintptr_t> values;
    void *value = nullptr;
    while (NT_SUCCESS(list.RemoveHead(value))) {
        values.push_back(reinterpret_cast<uintptr_t>(value));
    }
    return values;
}

class InterlockedList : public ::testing::Test {
protected:
    void SetUp() override { kemu::ResetCore(); }
    void TearDown() override
    {
        EXPECT_EQ(kemu::LivePoolBlocks().size(), 0u) << kemu::PoolLeakReport();
        kemu::ResetCore();
    }
};

TEST_F(InterlockedList, RemoveTakesEveryCopyAndKeepsTheOthersInOrder)
{
    List list;
    void *value = V(0x55);
    EXPECT_EQ(list.RemoveHead(value), STATUS_PIPE_EMPTY);
    EXPECT_EQ(value, V(0x55)) << "an empty list leaves the value alone";
    for (uintptr_t n : {1, 2, 1, 3, 1}) {
        ASSERT_EQ(list.InsertTail(V(n)), STATUS_SUCCESS);
    }
    EXPECT_EQ(kemu::PoolStats(kListTag).liveBlocks, 5u); // one non-paged node per value
    EXPECT_EQ(kemu::LivePoolBlocks()[0].type, NonPagedPool);
    EXPECT_EQ(list.Remove(V(1)), STATUS_SUCCESS);
    EXPECT_EQ(list.m_nCount, 2);
    EXPECT_EQ(kemu::PoolStats(kListTag).liveBlocks, 2u);
    EXPECT_EQ(list.Remove(V(7)), STATUS_NOT_FOUND);
    EXPECT_EQ(list.m_nCount, 2);
    EXPECT_EQ(list.InsertTail(V(4)), STATUS_SUCCESS);
    EXPECT_EQ(Drain(list), (std::vector<uintptr_t>{2, 3, 4}));
    EXPECT_EQ(list.m_nCount, 0);
    // Removing the only values, all copies of one, leaves an empty list that still works.
    list.InsertTail(V(5));
    list.InsertTail(V(5));
    EXPECT_EQ(list.Remove(V(5)), STATUS_SUCCESS);
    EXPECT_TRUE(IsListEmpty(&list.m_ListHead));
    EXPECT_EQ(list.Remove(V(5)), STATUS_NOT_FOUND);
    list.InsertTail(V(6));
    kemu::FailNthAllocation(1, kListTag); // a failed node inserts nothing
    EXPECT_EQ(list.InsertTail(V(7)), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(list.m_nCount, 1);
    EXPECT_EQ(Drain(list), std::vector<uintptr_t>{6});
}

} // namespace
