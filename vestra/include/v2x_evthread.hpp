// libevent's thread support must be on before any event base exists: without
// it a loop break or exit asked for from another thread never wakes the loop.
#ifndef VESTRA_V2X_EVTHREAD_H
#define VESTRA_V2X_EVTHREAD_H

#include <event2/event-config.h>
#include <event2/thread.h>
#include <stddef.h>
#include <time.h>

// The libevent headers must be the target's own: a cross build that picked
// up the build machine's configuration header would disagree with the
// library about type sizes (32-bit ARM has 4-byte long, size_t, pointers and
// time_t).
static_assert(EVENT__SIZEOF_LONG == sizeof(long) && EVENT__SIZEOF_SIZE_T == sizeof(size_t) &&
                  EVENT__SIZEOF_VOID_P == sizeof(void*) && EVENT__SIZEOF_TIME_T == sizeof(time_t),
              "libevent's event-config.h does not belong to this target");

// Enables libevent's pthread support once per process; true when it is on.
inline bool v2x_event_threads_ready()
{
    static const bool ok = evthread_use_pthreads() == 0;
    return ok;
}

#endif
