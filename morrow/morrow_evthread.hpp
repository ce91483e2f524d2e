// libevent's thread support must be on before any event base exists: without
// it a loop exit asked for from another thread never wakes the loop
// (library-internal).
#ifndef MORROW_EVTHREAD_HPP
#define MORROW_EVTHREAD_HPP

#include <event2/thread.h>

// Enables libevent's pthread support once per process; true when it is on.
inline bool morrow_event_threads_ready()
{
    static const bool ok = evthread_use_pthreads() == 0;
    return ok;
}

#endif
