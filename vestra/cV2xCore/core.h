// SPDX-License-Identifier: Apache-2.0
/* Core start-up and shutdown: the core thread and its event loop. */
#ifndef VESTRA_CORE_H
#define VESTRA_CORE_H

#include "cv2x_app.h"

V2X_EXTERN_C_BEGIN

/* v2x_core_init and v2x_core_exit are declared in cv2x_app.h: a program
 * that serves applications of other processes runs the core alone. */

V2X_EXTERN_C_END

#endif /* VESTRA_CORE_H */
