// SPDX-License-Identifier: Apache-2.0
/* The public headers must compile as C11: this file includes them all. */
#include "buffer.h"
#include "core_app.h"
#include "cv2x_app.h"
#include "v2x_core.h"
#include "v2x_types.h"
#include "self_log.h"
#include "xfuncs.h"

int v2x_c_headers_probe(void);

/* Uses a little of each header so the declarations are checked as C. */
int v2x_c_headers_probe(void)
{
    tV2XSDKCfg cfg;
    uint32_t set = 0;
    _set_32bit_val(3, &set);
    cfg.rcvPort = 1;
    return (int)sizeof(cfg) + (int)_get_32bit_val(3, set) + (int)sizeof(buffer_t) +
           (int)LOG_LEV_MAX + (ERR_V2X_RX_DSM_FMT == 40973 ? 0 : 1000) +
           (sizeof(tDSMReq) == 270 && offsetof(tDSMInd, msg) == 14 ? 0 : 1000) +
           (core_app_dsm_req_len_ok(270, 0) && !core_app_dsm_req_len_ok(269, 0) ? 0 : 1000) + (int)cfg.rcvPort - 1;
}
