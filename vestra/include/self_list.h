// SPDX-License-Identifier: Apache-2.0
/* Intrusive circular doubly linked list. A record that lives in a list has
 * a list_head named hnode as its first member, so node and record share an
 * address. No locking: each list's owner guards it. */
#ifndef VESTRA_SELF_LIST_H
#define VESTRA_SELF_LIST_H

struct list_head {
    struct list_head* next;
    struct list_head* prev;
};

#define LIST_HEAD_INIT(name) {&(name), &(name)}
#define LIST_HEAD(name) struct list_head name = LIST_HEAD_INIT(name)

static inline void INIT_LIST_HEAD(struct list_head* list)
{
    list->next = list;
    list->prev = list;
}

static inline void __list_add(struct list_head* node, struct list_head* prev,
                              struct list_head* next)
{
    next->prev = node;
    node->next = next;
    node->prev = prev;
    prev->next = node;
}

static inline void list_add_tail(struct list_head* node, struct list_head* head)
{
    __list_add(node, head->prev, head);
}

static inline void __list_del(struct list_head* prev, struct list_head* next)
{
    next->prev = prev;
    prev->next = next;
}

static inline void list_del_init(struct list_head* entry)
{
    __list_del(entry->prev, entry->next);
    INIT_LIST_HEAD(entry);
}

static inline int list_empty(const struct list_head* head)
{
    return head->next == head;
}

/* Safe walk: the successor is kept before pos is visited, so pos may be
 * unlinked (and released) inside the loop. */
#define list_for_each_safe(pos, n, head) \
    for ((pos) = (head)->next, (n) = (pos)->next; (pos) != (head); (pos) = (n), (n) = (pos)->next)

#endif /* VESTRA_SELF_LIST_H */
