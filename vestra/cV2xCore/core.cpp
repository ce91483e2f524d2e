// The core thread: builds the event base, starts the layers, dispatches, and
// stops everything again in the reverse order.
#include "core.h"

#include <event2/event.h>
#include <pthread.h>
#include <string.h>

#include "aces_lyr.h"
#include "adap_lyr.hpp"
#include "core_mib.h"
#include "dme.h"
#include "dme_dsm.hpp"
#include "domn_serv.hpp"
#include "rlink.hpp"
#include "self_log.h"
#include "v2x_evthread.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_INFO;

// The core thread, 0 when none is recorded. Written only by the callers of
// v2x_core_init/v2x_core_exit, which serialise themselves.
static pthread_t giNewPthdId = 0;
// The core's event base. Written by the core thread and read by
// v2x_core_exit on another thread, so only through giCoreStop.
static struct event_base* gipPthdEtBse = nullptr;
// Asked for by v2x_core_exit; the core thread then leaves the releases to
// v2x_core_exit.
static V2xLoopStop giCoreStop(gipPthdEtBse);
// The core keeps its own copy of the configuration, so the caller's record
// need not outlive v2x_core_init.
static tV2XSDKCfg giCoreCfg;

// Releases every layer, newest first, then the event base. Each layer's exit
// is harmless when its layer never started or already stopped.
static void _core_release()
{
    // Layer exits, newest first. Events registered on the base are deleted
    // by their owners here, before the base is freed below.
    v2x_sdk_dmn_serv_exit();
    rlink_exit();
    dme_exit();
    dme_dsm_exit();
    adaptation_layer_exit();
    access_layer_exit();
    v2x_mib_exit();

    struct event_base* base = giCoreStop.detach();
    if (base != nullptr) {
        event_base_loopbreak(base);
        event_base_free(base);
    }
}

// Start-up steps that need the event base. Returns false after logging the
// failed step.
static bool _core_start_layers(const tV2XSDKCfg* aipcCfg, struct event_base* aipBase)
{
    if (v2x_mib_init() != 0) {
        LOGE("v2x_mib_init() err!!!!\n");
        return false;
    }
    if (access_layer_init() != 0) {
        LOGE("access_layer_init() err!!!!\n");
        return false;
    }
    if (adaptation_layer_init() != 0) {
        LOGE("adaptation_layer_init() err!!!!\n");
        return false;
    }
    if (dme_init(aipBase) != 0) {
        LOGE("dme_init() err!!!!\n");
        return false;
    }
    if (dme_dsm_init(reinterpret_cast<const char*>(aipcCfg->macAddr)) != 0) {
        LOGE("dme_dsm_init() err!!!!\n");
        return false;
    }
    LOGI("dmnNme=%s\n", aipcCfg->dmnNme);
    if (v2x_sdk_dmn_serv_init(aipcCfg->dmnNme, aipBase) != 0) {
        LOGE("v2x_sdk_dmn_serv_init() err!!!!\n");
        return false;
    }
    // Received DSM messages go to every application, advertisement frames
    // to the management entity's dump.
    dme_dsm_set_ind_sink(v2x_sdk_dmn_serv_tx_clit_msg);
    // A place freed in the radio link's transmit queue lets the daemon
    // server read the requests it held back.
    rlink_set_tx_room_sink(dmn_serv_tx_room);
    adap_lyr_set_dme_sink(parse_dme_payload);
    if (rlink_init(aipcCfg, aipBase) != 0) {
        LOGE("rlink_init() err!!!!\n");
        return false;
    }
    return true;
}

// The core's event base. Its timers keep the monotonic clock to the
// microsecond: the radio link's drain timer spaces datagrams by 70 ms, and a
// coarse clock would stretch every gap by up to a tick.
static struct event_base* _core_base_new()
{
    struct event_config* cfg = event_config_new();
    if (cfg == nullptr) {
        return nullptr;
    }
    event_config_set_flag(cfg, EVENT_BASE_FLAG_PRECISE_TIMER);
    struct event_base* base = event_base_new_with_config(cfg);
    event_config_free(cfg);
    return base;
}

static void* _v2x_core_func_pth(void* aipArg)
{
    LOGT();
    const auto* cfg = static_cast<const tV2XSDKCfg*>(aipArg);
    if (cfg == nullptr) {
        LOGE("aipArg err!!!!\n");
        _core_release();
        return nullptr;
    }

    struct event_base* base = _core_base_new();
    const bool canStop = giCoreStop.attach(base);
    if (base == nullptr) {
        LOGE("event_base_new() err!!!!\n");
        _core_release();
        return nullptr;
    }
    if (!canStop) {
        LOGE("event_new() err!!!!\n");
        _core_release();
        return nullptr;
    }
    if (!_core_start_layers(cfg, base)) {
        _core_release();
        return nullptr;
    }

    LOGI("V2X core event base dispatch start------\n");
    if (!giCoreStop.requested()) {
        event_base_dispatch(base);
    }
    // The loop ended without a stop request (it failed): shut down here.
    // When v2x_core_exit stopped it, v2x_core_exit does the releases.
    if (!giCoreStop.requested()) {
        _core_release();
    }
    return nullptr;
}

extern "C" V2X_API int v2x_core_init(const tV2XSDKCfg* aipcV2XCore)
{
    LOGT();
    // Thread support for libevent before the core's base exists; if it cannot
    // be enabled a stop from another thread would hang, so refuse to start.
    if (!v2x_event_threads_ready()) {
        LOGE("evthread_use_pthreads() err!!!!\n");
        return -ERR_V2X_EVENT_NEW_BASE;
    }
    void* arg = nullptr;
    if (aipcV2XCore != nullptr) {
        memcpy(&giCoreCfg, aipcV2XCore, sizeof(giCoreCfg));
        giCoreCfg.dmnNme[sizeof(giCoreCfg.dmnNme) - 1] = '\0';
        giCoreCfg.rcvIp[sizeof(giCoreCfg.rcvIp) - 1] = '\0';
        giCoreCfg.sendIp[sizeof(giCoreCfg.sendIp) - 1] = '\0';
        arg = &giCoreCfg;
    }
    giCoreStop.clear();
    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, _v2x_core_func_pth, arg);
    if (rc != 0) {
        LOGE("pthread_create() err, msg:%s\n", strerror(rc));
        return -ERR_V2X_PTHREAD_CREATE;
    }
    giNewPthdId = tid;
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_core_exit(void)
{
    LOGT();
    if (giNewPthdId != 0) {
        LOG0("Wait _v2x_core_func_pth() pthread stop------\n");
        giCoreStop.request();
        pthread_join(giNewPthdId, nullptr);
        LOG0("_v2x_core_func_pth() pthread already stop------\n");
        giNewPthdId = 0;
    }
    _core_release();
    return V2X_SUCCESS;
}
