// SPDX-License-Identifier: Apache-2.0
// Intrusive list and 32-bit index bitmap edges.
#include <gtest/gtest.h>

#include "self_list.h"
#include "xfuncs.h"

namespace {
struct Item {
    struct list_head hnode;
    int v;
};
}  // namespace

TEST(List, AddTailOnEmptyHead)
{
    LIST_HEAD(head);
    EXPECT_TRUE(list_empty(&head));
    Item a{{nullptr, nullptr}, 1};
    list_add_tail(&a.hnode, &head);
    EXPECT_FALSE(list_empty(&head));
    EXPECT_EQ(head.next, &a.hnode);
    EXPECT_EQ(head.prev, &a.hnode);
    EXPECT_EQ(a.hnode.next, &head);
    EXPECT_EQ(a.hnode.prev, &head);
}

TEST(List, DelInitLinksNeighboursAndEmptiesNode)
{
    LIST_HEAD(head);
    Item a{{}, 1}, b{{}, 2}, c{{}, 3};
    list_add_tail(&a.hnode, &head);
    list_add_tail(&b.hnode, &head);
    list_add_tail(&c.hnode, &head);
    list_del_init(&b.hnode);
    EXPECT_TRUE(list_empty(&b.hnode));
    EXPECT_EQ(a.hnode.next, &c.hnode);
    EXPECT_EQ(c.hnode.prev, &a.hnode);
}

TEST(List, SafeWalkMayUnlinkEveryNode)
{
    LIST_HEAD(head);
    Item items[5];
    for (int i = 0; i < 5; ++i) {
        items[i].v = i;
        list_add_tail(&items[i].hnode, &head);
    }
    struct list_head *pos, *n;
    int seen = 0;
    list_for_each_safe(pos, n, &head)
    {
        auto* it = reinterpret_cast<Item*>(pos);  // hnode is the first member
        EXPECT_EQ(it->v, seen++);
        list_del_init(pos);
    }
    EXPECT_EQ(seen, 5);
    EXPECT_TRUE(list_empty(&head));
}

TEST(Bitmap, EdgesAt31And32)
{
    EXPECT_EQ(_get_32bit_val(31, 0x80000000u), 1);
    EXPECT_EQ(_get_32bit_val(30, 0x80000000u), 0);
    EXPECT_EQ(_get_32bit_val(32, 0xFFFFFFFFu), 0);
    EXPECT_EQ(_get_32bit_val(255, 0xFFFFFFFFu), 0);
    uint32_t v = 0x5;
    _set_32bit_val(32, &v);
    EXPECT_EQ(v, 0x5u);
    _clear_32bit_val(40, &v);
    EXPECT_EQ(v, 0x5u);
    _set_32bit_val(31, &v);
    EXPECT_EQ(v, 0x80000005u);
    _clear_32bit_val(0, &v);
    EXPECT_EQ(v, 0x80000004u);
    _set_32bit_val(0, &v);
    _set_32bit_val(0, &v);
    EXPECT_EQ(v, 0x80000005u);
}
