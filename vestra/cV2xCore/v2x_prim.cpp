// SPDX-License-Identifier: Apache-2.0
// The one failure line of a primitive lookup.
#include "v2x_prim.hpp"

#include "v2x_types.h"
#include "self_log.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

int prim_fail(const char* aipcEntry)
{
    LOGE("%s=NULL err!!!!\n", aipcEntry);
    return -ERR_V2X_PARM_CONT;  // the layer is not running
}
