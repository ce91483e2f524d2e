// SPDX-License-Identifier: Apache-2.0
// The application runtime: one thread with its own event loop that starts the
// core in this process, connects the daemon client and dispatches every
// message from the core to the application's callbacks.
#include <event2/event.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include "app_util.hpp"
#include "cv2x_app.h"
#include "self_log.h"
#include "v2x_core.h"
#include "v2x_evthread.hpp"
#include "v2x_lock.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

// The runtime thread, 0 when none is recorded. Written only by
// cv2x_app_init/cv2x_app_exit, which the application serialises.
static pthread_t giNewPthdId = 0;
// The runtime's event base. Created on the runtime thread and read by
// cv2x_app_exit on another, so only through giAppStop.
static struct event_base* gipPthdEtBse = nullptr;
// Asked for by cv2x_app_exit: the thread then leaves every release to
// cv2x_app_exit. Also ends the thread's pause before connecting.
static V2xLoopStop giAppStop(gipPthdEtBse);
// Process copy of the configuration: the caller's record need not outlive
// cv2x_app_init.
static tV2XSDKCfg giAppCfg;

// The runtime thread's start-up result for cv2x_app_init: 0 once it is
// connected to its core and ready to dispatch, else the failed step's code.
static StartGate giAppStart;
// True when the runtime started its own core (cv2x_app_init), false when it
// joined one of another process (cv2x_app_attach). Written before the thread
// starts and after it is joined.
static bool giAppOwnsCore = true;
// True once the runtime thread started a core, until the exit stopped it:
// the exit stops only a core this runtime started, however often it runs.
static bool giAppStartedCore = false;
// Bound on the whole start-up: the core's own wait, then the connection.
static constexpr int gicAppStartWaitMs = 10000;

static char gicPthdExit[] = "_cv2x_app_func_pth() exit";

// End of the runtime thread. When the thread ends by itself (start-up failed
// or the core closed the connection) it releases what only it uses: the
// client socket and the event base. The registration lists and the core stay
// until cv2x_app_exit, because application threads may still call into them.
// When cv2x_app_exit stopped it, cv2x_app_exit releases everything after the
// join, so nothing is released twice.
static void* _app_thread_end()
{
    struct event_base* base = nullptr;
    if (!giAppStop.detach_unless_requested(&base)) {
        return gicPthdExit;
    }
    domn_clit_release();  // its event goes before the base it belongs to
    if (base != nullptr) {
        event_base_free(base);
    }
    return gicPthdExit;
}

// Ends the thread after a failed start-up step, handing its code over.
static void* _app_start_failed(int aicRc)
{
    giAppStart.post(aicRc);
    return _app_thread_end();
}

// The runtime's start-up on its base: the core when it owns one, the
// connection, the management and DSM modules. 0, or the failed step's code
// after logging it.
static int _app_start_steps(const tV2XSDKCfg* aipcCfg, struct event_base* aipBase)
{
    int rc;
    if (giAppOwnsCore) {
        // Returns once the core listens, or with the reason it does not.
        rc = v2x_core_init(aipcCfg);
        // A core that already ran is the host's own: never this runtime's
        // to stop. Any other start, even a failed one, is stopped at exit.
        giAppStartedCore = rc != -ERR_V2X_PTHREAD_CREATE;
        if (rc != 0) {
            LOGE("v2x_core_init() err!!!!\n");
            return rc;
        }
    }
    rc = v2x_domn_clit_init(aipcCfg, aipBase);
    if (rc != 0) {
        LOGE("v2x_domn_clit_init() err!!!!\n");
        return rc;
    }
    if (giAppOwnsCore && !domn_clit_peer_is_self()) {
        // Another process took the path between our core's bind and this
        // connect: talking to it would hand our requests to a stranger.
        LOGE("v2x_domn_clit_init() err!!!!\n");
        return -ERR_V2X_SOCKET_CONECT;
    }
    rc = v2x_app_dme_init();
    if (rc != 0) {
        LOGE("v2x_app_dme_init() err!!!!\n");
        return rc;
    }
    rc = v2x_app_dme_dsm_init();
    if (rc != 0) {
        LOGE("v2x_app_dme_dsm_init() err!!!!\n");
        return rc;
    }
    return 0;
}

static void* _cv2x_app_func_pth(void* aipArg)
{
    LOGT();
    app_mark_runtime_thread();
    const auto* cfg = static_cast<const tV2XSDKCfg*>(aipArg);
    if (cfg == nullptr) {
        LOGE("aipArg err!!!!\n");
        return _app_start_failed(-ERR_V2X_PARM_CONT);
    }
    int rc = 0;
    const V2xLoopStop::End end = giAppStop.run(event_base_new, [cfg, &rc](struct event_base* b) {
        rc = _app_start_steps(cfg, b);
        if (rc == 0) {
            giAppStart.post(0);
            LOGI("cv2x app event base dispatch start------\n");
        }
        return rc;
    });
    switch (end) {
    case V2xLoopStop::End::kRan:
        break;
    case V2xLoopStop::End::kNoBase:
        LOGE("event_base_new() err!!!!\n");
        return _app_start_failed(-ERR_V2X_EVENT_NEW_BASE);
    case V2xLoopStop::End::kNoWake:
        LOGE("event_new() err!!!!\n");
        return _app_start_failed(-ERR_V2X_EVENT_NEW);
    case V2xLoopStop::End::kStopped:
        return _app_start_failed(-ERR_V2X_TMP);  // cv2x_app_exit came first
    case V2xLoopStop::End::kInitFailed:
        return _app_start_failed(rc);
    }
    return _app_thread_end();
}

// Starts the runtime thread and waits for its start-up result; on failure
// everything it started is stopped again, so the call can be repeated.
static int _app_start(const tV2XSDKCfg* aipcSDKCfg, bool aicOwnCore)
{
    // Thread support must be on before the runtime's base exists, or a stop
    // from an application thread could not wake the loop.
    if (!v2x_event_threads_ready()) {
        LOGE("evthread_use_pthreads() err!!!!\n");
        return -ERR_V2X_EVENT_NEW_BASE;
    }
    if (giNewPthdId != 0) {
        // One runtime per process: a second thread would read the copy of
        // the configuration while it is overwritten, and the first could no
        // longer be stopped.
        LOGE("_cv2x_app_func_pth() already running err!!!!\n");
        return -ERR_V2X_PTHREAD_CREATE;
    }
    memset(&giAppCfg, 0, sizeof(giAppCfg));
    giAppOwnsCore = aicOwnCore;
    const int rc = v2x_loop_launch(giAppStart, giAppStop, giNewPthdId, _cv2x_app_func_pth,
                                   v2x_keep_cfg(giAppCfg, aipcSDKCfg), gicAppStartWaitMs,
                                   "_cv2x_app_func_pth");
    if (rc != 0) {
        cv2x_app_exit();
    }
    return rc;
}

extern "C" V2X_API int cv2x_app_init(const tV2XSDKCfg* aipcSDKCfg)
{
    LOGT();
    return _app_start(aipcSDKCfg, true);
}

extern "C" V2X_API int cv2x_app_attach(const tV2XSDKCfg* aipcSDKCfg)
{
    LOGT();
    return _app_start(aipcSDKCfg, false);
}

extern "C" V2X_API int cv2x_app_conn_stats(tV2XCtlClient* aopStats)
{
    LOGT();
    if (aopStats == nullptr || giNewPthdId == 0 || app_on_runtime_thread()) {
        // The runtime thread would wait for a read only it can do.
        LOGE("aopStats=%p or no runtime err!!!!\n", static_cast<void*>(aopStats));
        return -ERR_V2X_PARM_CONT;
    }
    return app_conn_stats(giAppCfg.dmnNme, aopStats, sizeof(*aopStats));
}

extern "C" V2X_API int cv2x_app_conn_stats_ex(tV2XCtlClientEx* aopStats)
{
    LOGT();
    if (aopStats == nullptr || giNewPthdId == 0 || app_on_runtime_thread()) {
        LOGE("aopStats=%p or no runtime err!!!!\n", static_cast<void*>(aopStats));
        return -ERR_V2X_PARM_CONT;
    }
    return app_conn_stats(giAppCfg.dmnNme, aopStats, sizeof(*aopStats));
}

extern "C" V2X_API int cv2x_app_exit(void)
{
    LOGT();
    if (giNewPthdId != 0) {
        if (pthread_equal(pthread_self(), giNewPthdId)) {
            // From a callback: joining itself would never return.
            LOGE("cv2x_app_exit() in callback err!!!!\n");
            return -ERR_V2X_PARM_CONT;
        }
        giAppStop.join(giNewPthdId, "_cv2x_app_func_pth");
    }
    // Finishes a message written in part while the core still reads, or
    // reports it cut; everything is stopped either way.
    const int cut = v2x_domn_clit_exit();
    struct event_base* base = giAppStop.detach();
    if (base != nullptr) {
        event_base_loopbreak(base);
        event_base_free(base);
    }
    v2x_app_dme_exit();
    v2x_app_dme_dsm_exit();
    if (giAppStartedCore) {
        v2x_core_exit();
        giAppStartedCore = false;
    }
    giAppOwnsCore = true;
    return cut;
}
