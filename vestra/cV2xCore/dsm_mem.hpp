// SPDX-License-Identifier: Apache-2.0
// The fixed buffer rings of the data plane (library-internal).
//
// The radio link receives into one ring of ten buffers and the DSM layer
// builds frames in another. Buffers are never handed back: taking one moves
// the ring's first buffer to its tail, so a buffer's bytes stay untouched
// until ten further buffers have been taken from the same ring.
#ifndef VESTRA_DSM_MEM_HPP
#define VESTRA_DSM_MEM_HPP

#include <pthread.h>
#include <stdlib.h>

#include "self_list.h"
#include "v2x_limits.h"
#include "v2x_lock.hpp"
#include "xfuncs.h"

// Bytes of a buffer's message area: the largest datagram either ring holds.
constexpr int DSM_MEM_MSG_LEN = static_cast<int>(V2X_LIM_FRAME_BUF);
// Buffers per ring.
constexpr int DSM_MEM_CNT = static_cast<int>(V2X_LIM_DSM_MEM_CNT);

// One ring buffer: the list link first, so node and record share an address.
typedef struct _tDSMMem_ {
    struct list_head hnode;
    char msg[DSM_MEM_MSG_LEN];
} tDSMMem;

// A ring of DSM_MEM_CNT buffers under its own reader-writer lock. The lock
// is initialised statically and never destroyed, so building and releasing
// stay safe in any order and any number of times.
class DsmMemRing {
public:
    DsmMemRing() = default;
    DsmMemRing(const DsmMemRing&) = delete;
    DsmMemRing& operator=(const DsmMemRing&) = delete;

    // Appends one zeroed buffer at the tail; false when allocation fails.
    bool add_one()
    {
        auto* mem = static_cast<tDSMMem*>(xzMalloc(static_cast<int>(sizeof(tDSMMem))));
        if (mem == nullptr) {
            return false;
        }
        WriteLock lk(lock_);
        list_add_tail(&mem->hnode, &head_);
        return true;
    }

    // Takes the next buffer in ring order, or null when the ring is empty.
    tDSMMem* take()
    {
        WriteLock lk(lock_);
        if (list_empty(&head_)) {
            return nullptr;
        }
        struct list_head* first = head_.next;
        list_del_init(first);
        list_add_tail(first, &head_);
        return reinterpret_cast<tDSMMem*>(first);
    }

    // Unlinks and frees every buffer.
    void release()
    {
        WriteLock lk(lock_);
        struct list_head* pos;
        struct list_head* n;
        list_for_each_safe(pos, n, &head_)
        {
            list_del_init(pos);
            free(pos);
        }
    }

    // Message area of the buffer the next take() returns, or null.
    const char* peek_msg()
    {
        WriteLock lk(lock_);
        if (list_empty(&head_)) {
            return nullptr;
        }
        return reinterpret_cast<tDSMMem*>(head_.next)->msg;
    }

    int count()
    {
        WriteLock lk(lock_);
        int c = 0;
        for (struct list_head* p = head_.next; p != &head_; p = p->next) {
            ++c;
        }
        return c;
    }

private:
    struct list_head head_ = {&head_, &head_};
    pthread_rwlock_t lock_ = PTHREAD_RWLOCK_INITIALIZER;
};

#endif
