// SPDX-License-Identifier: Apache-2.0
// The wall clock as Time64.
#include "sec_time.hpp"

#include <time.h>

namespace sec {

uint64_t time64_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return unix_us_to_time64(static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000);
}

}  // namespace sec
