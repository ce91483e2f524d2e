/* Core start-up and shutdown: the core thread and its event loop. */
#ifndef VESTRA_CORE_H
#define VESTRA_CORE_H

#include "cv2x_app.h"

V2X_EXTERN_C_BEGIN

/* Starts the core thread and waits until it listens on the application
 * socket and its radio link is bound, at most 5 seconds. 0 then; otherwise
 * the failed step's code after one ERROR line naming it (for example -8 with
 * "bind() PATH err, msg=..." for the socket path, "bind(IP:PORT) err, ..."
 * for the radio link), and nothing of the core is left running.
 * -ERR_V2X_PTHREAD_CREATE also while a core already runs in this process
 * (that one is left untouched), -ERR_V2X_TMP when the start-up did not end
 * within the wait. The record is copied, so the caller may release it once
 * this returns. Any thread may call it, but not a core callback. */
V2X_API int v2x_core_init(const tV2XSDKCfg* aipcV2XCore);

/* Stops the core thread and releases every layer. Always 0; safe without a
 * prior init, after a failed start-up and when called twice. Blocks until
 * the core thread has ended (it never waits for the radio). */
V2X_API int v2x_core_exit(void);

V2X_EXTERN_C_END

#endif /* VESTRA_CORE_H */
