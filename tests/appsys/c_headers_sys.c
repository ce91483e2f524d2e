// SPDX-License-Identifier: Apache-2.0
/* The system API's public header must compile as C11. */
#include "cv2x_app_sys.h"

int v2x_sys_c_header_probe(void);

int v2x_sys_c_header_probe(void)
{
    tDSMTxParm tx;
    tDSMRxParm rx;
    tx.appId = 26;
    rx.priority = 1;
    return (int)sizeof(tx) + (int)sizeof(rx) + (int)MSG_TYPE_MAX + (int)tx.appId - 26 +
           (int)rx.priority - 1 + (offsetof(tDSMRxParm, priority) == 11 ? 0 : 1000);
}
