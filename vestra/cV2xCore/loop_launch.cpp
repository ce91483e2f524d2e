// SPDX-License-Identifier: Apache-2.0
// Starting a loop thread and waiting for its start-up result.
#include <string.h>

#include "v2x_types.h"
#include "self_log.h"
#include "v2x_evthread.hpp"
#include "v2x_lock.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

int v2x_loop_launch(StartGate& aiopGate, V2xLoopStop& aiopStop, pthread_t& aopTid,
                    void* (*aipFn)(void*), void* aipArg, int aicMs, const char* aipcName)
{
    aiopGate.reset();
    const int err = aiopStop.start(aopTid, aipFn, aipArg);
    if (err != 0) {
        LOGE("pthread_create() err, msg:%s\n", strerror(err));
        return -ERR_V2X_PTHREAD_CREATE;
    }
    const int rc = aiopGate.wait(aicMs, -ERR_V2X_TMP);
    if (rc == -ERR_V2X_TMP) {
        LOGE("%s() start-up took over %d ms err!!!!\n", aipcName, aicMs);
    }
    return rc;
}
