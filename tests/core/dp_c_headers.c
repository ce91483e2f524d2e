// SPDX-License-Identifier: Apache-2.0
/* The data-plane headers must compile as C11 with the same layouts. */
#include "aces_lyr.h"
#include "adap_lyr.h"
#include "core_mib.h"
#include "dme_dsm.h"
#include "rlink.h"

int v2x_dp_c_headers_probe(void);

/* Sizes and a few offsets as C sees them, folded into one number. */
int v2x_dp_c_headers_probe(void)
{
    tDSMHdr1 h;
    h.dsmHdr1 = 0;
    h.bits.optInd = 1;
    h.bits.version = 5;
    return (int)sizeof(tAcesLyr) * 1000000 + (int)sizeof(tDot3WsmServiceEntry) * 10000 +
           (int)offsetof(tDot3WsmServiceEntry, aidMthFlg) * 1000 + (int)h.dsmHdr1 * 10 +
           (int)sizeof(tAdapLyr);
}
