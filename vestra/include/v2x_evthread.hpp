// libevent's thread support must be on before any event base exists: without
// it a loop break or exit asked for from another thread never wakes the loop.
#ifndef VESTRA_V2X_EVTHREAD_H
#define VESTRA_V2X_EVTHREAD_H

#include <event2/thread.h>

// Enables libevent's pthread support once per process; true when it is on.
inline bool v2x_event_threads_ready()
{
    static const bool ok = evthread_use_pthreads() == 0;
    return ok;
}

#endif
