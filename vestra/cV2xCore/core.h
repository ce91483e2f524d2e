// SPDX-License-Identifier: Apache-2.0
/* Core start-up and shutdown: the core thread and its event loop. */
#ifndef VESTRA_CORE_H
#define VESTRA_CORE_H

#include "v2x_core.h"

V2X_EXTERN_C_BEGIN

/* v2x_core_init and v2x_core_exit are declared in v2x_core.h, which the
 * client side includes to start and stop its in-process core: the client
 * never includes this header, nor this header the client's. */

V2X_EXTERN_C_END

#endif /* VESTRA_CORE_H */
