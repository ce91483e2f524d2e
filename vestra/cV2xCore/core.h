/* Core start-up and shutdown: the core thread and its event loop. */
#ifndef VESTRA_CORE_H
#define VESTRA_CORE_H

#include "cv2x_app.h"

V2X_EXTERN_C_BEGIN

/* Starts the core thread and returns at once; start-up runs on that thread
 * and its failures are only logged. 0, or -ERR_V2X_PTHREAD_CREATE. The record
 * is copied, so the caller may release it once this returns. */
V2X_API int v2x_core_init(const tV2XSDKCfg* aipcV2XCore);

/* Stops the core thread and releases every layer. Always 0; safe without a
 * prior init, after a failed start-up and when called twice. */
V2X_API int v2x_core_exit(void);

V2X_EXTERN_C_END

#endif /* VESTRA_CORE_H */
