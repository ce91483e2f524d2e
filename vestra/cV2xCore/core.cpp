// SPDX-License-Identifier: Apache-2.0
// The core thread: builds the event base, starts the layers, dispatches, and
// stops everything again (in the order _core_release gives).
#include "core.hpp"

#include <event2/event.h>
#include <pthread.h>
#include <string.h>

#include <mutex>

#include "aces_lyr.hpp"
#include "adap_lyr.hpp"
#include "core_mib.hpp"
#include "dme.hpp"
#include "dme_dsm.hpp"
#include "dmn_server.hpp"
#include "rlink.hpp"
#include "sec_lyr.hpp"
#include "self_log.h"
#include "v2x_evthread.hpp"
#include "v2x_lock.hpp"
#include "v2x_prim.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_INFO;

// The core thread, 0 when none is recorded. Read and written under the
// core's life mutex: start and stop may come from different threads.
static pthread_t giNewPthdId = 0;
// How long v2x_core_init waits for the start-up result. Start-up only opens
// sockets and allocates, so it ends long before; the bound is for a stuck
// machine.
static constexpr int gicStartWaitMs = 5000;
// The core's event base. Written by the core thread and read by
// v2x_core_exit on another thread, so only through the core's loop stop.
static struct event_base* gipPthdEtBse = nullptr;

namespace {

// The core object: its own life and every layer's state beside the names
// the layers keep (their sockets, tables and rings). One per process.
struct Core {
    std::mutex lifeMtx;
    // The core thread's start-up result: 0 once every layer runs, else the
    // code of the step that failed.
    StartGate start;
    // Asked for by v2x_core_exit; the core thread then leaves the releases
    // to v2x_core_exit.
    V2xLoopStop stop{gipPthdEtBse};
    // The core keeps its own copy of the configuration, so the caller's
    // record need not outlive v2x_core_init.
    tV2XSDKCfg cfg;
    RlinkState rlink;
    AcesState aces;
    AdapState adap;
    DsmState dsm;
    MibState mib;
    DmeState dme;
    SecState sec;
    DmnServer serv;
};

Core giCore;

}  // namespace

RlinkState& rlink_state() { return giCore.rlink; }
AcesState& aces_state() { return giCore.aces; }
AdapState& adap_state() { return giCore.adap; }
DsmState& dsm_state() { return giCore.dsm; }
MibState& mib_state() { return giCore.mib; }
DmeState& dme_state() { return giCore.dme; }
SecState& sec_state() { return giCore.sec; }
DmnServer& dmn_server() { return giCore.serv; }

// The way up from the radio link and the access layer: the adaptation
// layer's indication, looked up in its table on every call, so that a
// stopped layer is never called.
static int _up_adap_ind(const uint8_t aicProtTp, const char* aipcSrc, const char* aipcDst,
                        const char* aipcData, const uint8_t aicPrity, const uint16_t aicLen)
{
    tAdapLyrPrim* p = nullptr;
    if (PrimFetch why = prim_fetch(p, get_adaptation_layer_prim, &tAdapLyrPrim::indication);
        why != PrimFetch::Ok) {
        return prim_fail("gipAdapLyrPrim->indication");
    }
    return p->indication(aicProtTp, aipcSrc, aipcDst, aipcData, aicPrity, aicLen);
}

// The way up from the adaptation layer: the DSM layer's indication.
static int _up_dsm_ind(uint8_t aiVer, const uint32_t aicAid, uint16_t aiLen, const char* aipcData,
                       const char* aipcPeerMac, uint8_t aiPrity)
{
    tDMEDSMPrim* p = nullptr;
    if (PrimFetch why = prim_fetch(p, get_dme_dsm_prim, &tDMEDSMPrim::indication);
        why != PrimFetch::Ok) {
        return prim_fail("gipDSMPrim->indication");
    }
    return p->indication(aiVer, aicAid, aiLen, aipcData, aipcPeerMac, aiPrity);
}

void core_wire_stack(void)
{
    rlink_set_rx_sink(_up_adap_ind);
    aces_lyr_set_rx_sink(_up_adap_ind);
    // Received DSM frames pass the security layer, which verifies those of
    // AIDs whose profile asks for it and hands the rest straight on.
    adap_lyr_set_dsm_sink(sec_lyr_ind);
    sec_lyr_set_ind_sink(_up_dsm_ind);
    // Frames of AIDs no application registered stop at the adaptation layer.
    adap_lyr_set_wanted_sink(mib_query_dme_dsm_appid);
}

void core_unwire_stack(void)
{
    rlink_set_rx_sink(nullptr);
    aces_lyr_set_rx_sink(nullptr);
    adap_lyr_set_dsm_sink(nullptr);
    sec_lyr_set_ind_sink(nullptr);
    adap_lyr_set_wanted_sink(nullptr);
}

// Points every upward hand-over at the layer above it; each sink counts
// what comes while it is unset.
static void _core_wire()
{
    core_wire_stack();
    // Received DSM messages go to every application, advertisement frames
    // to the management entity's dump.
    dme_dsm_set_ind_sink(v2x_sdk_dmn_serv_tx_clit_msg);
    // ... with a receive record to the connections that asked for one.
    dsm_state().indPair.set(dmn_serv_tx_ind);
    dsm_state().indForms = dmn_serv_ind_forms;
    adap_lyr_set_dme_sink(parse_dme_payload);
    // A place freed in the radio link's transmit queue lets the daemon
    // server read the requests it held back.
    rlink_set_tx_room_sink(dmn_serv_tx_room);
    // What became of each application's requests is counted for it.
    rlink_set_tx_news_sink(dmn_serv_tx_news);
    sec_lyr_set_tx_news_sink(dmn_serv_tx_news);
    sec_lyr_set_tx_room_sink(dmn_serv_tx_room);
    // Confirms of the management entity go to the connection that asked.
    dme_set_tx_sink(v2x_sdk_dmn_serv_tx_to_clit);
}

static void _core_unwire()
{
    core_unwire_stack();
    dme_dsm_set_ind_sink(nullptr);
    adap_lyr_set_dme_sink(nullptr);
    rlink_set_tx_room_sink(nullptr);
    rlink_set_tx_news_sink(nullptr);
    sec_lyr_set_tx_news_sink(nullptr);
    sec_lyr_set_tx_room_sink(nullptr);
    dme_set_tx_sink(nullptr);
}

// Releases every layer, then the event base, in a fixed order that is not
// the reverse of the start: the daemon server goes first, so no
// application request arrives while the layers below it stop; then the
// radio link, so nothing more comes from the air; then the DME, the DSM
// layer, the adaptation layer, the access layer and the MIB. Each layer's
// exit is harmless when its layer never started or already stopped, so a
// partial start and a second call release nothing twice.
static void _core_release()
{
    dmn_status_stopped();
    // Events registered on the base are deleted by their owners here,
    // before the base is freed below.
    v2x_sdk_dmn_serv_exit();
    // No request comes any more: the security workers stop, and what they
    // still held is sent or counted.
    sec_lyr_exit();
    // The server is gone: what the layers still hand up (the radio link's
    // drops at its exit) is counted by the unset sinks, not sent.
    _core_unwire();
    rlink_exit();
    dme_exit();
    dme_dsm_exit();
    adaptation_layer_exit();
    access_layer_exit();
    v2x_mib_exit();

    struct event_base* base = giCore.stop.detach();
    if (base != nullptr) {
        event_base_loopbreak(base);
        event_base_free(base);
    }
}

// Start-up steps that need the event base, in a fixed order: MIB, access
// layer, adaptation layer, DME, DSM layer, security layer, daemon server,
// then the radio link last, once everything a received datagram reaches is in place.
// Returns 0, or the failed step's code after logging it; the caller then
// releases everything (_core_release), started or not.
static int _core_start_layers(const tV2XSDKCfg* aipcCfg, struct event_base* aipBase)
{
    int rc = v2x_mib_init();
    if (rc != 0) {
        LOGE("v2x_mib_init() err!!!!\n");
        return rc;
    }
    rc = access_layer_init();
    if (rc != 0) {
        LOGE("access_layer_init() err!!!!\n");
        return rc;
    }
    rc = adaptation_layer_init();
    if (rc != 0) {
        LOGE("adaptation_layer_init() err!!!!\n");
        return rc;
    }
    rc = dme_init(aipBase);
    if (rc != 0) {
        LOGE("dme_init() err!!!!\n");
        return rc;
    }
    rc = dme_dsm_init(reinterpret_cast<const char*>(aipcCfg->macAddr));
    if (rc != 0) {
        LOGE("dme_dsm_init() err!!!!\n");
        return rc;
    }
    rc = sec_lyr_init(aipBase);
    if (rc != 0) {
        LOGE("sec_lyr_init() err!!!!\n");
        return rc;
    }
    LOGI("dmnNme=%s\n", aipcCfg->dmnNme);
    rc = v2x_sdk_dmn_serv_init(aipcCfg->dmnNme, aipBase);
    if (rc != 0) {
        LOGE("v2x_sdk_dmn_serv_init() err!!!!\n");
        return rc;
    }
    _core_wire();
    rc = rlink_init(aipcCfg, aipBase);
    if (rc != 0) {
        LOGE("rlink_init() err!!!!\n");
        return rc;
    }
    return 0;
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
        giCore.start.post(-ERR_V2X_PARM_CONT);
        return nullptr;
    }

    int rc = 0;
    const V2xLoopStop::End end = giCore.stop.run(_core_base_new, [cfg, &rc](struct event_base* b) {
        rc = _core_start_layers(cfg, b);
        if (rc == 0) {
            dmn_status_started(cfg->dmnNme);
            // Listening and bound: whoever waits in v2x_core_init may
            // connect now.
            giCore.start.post(0);
            LOGI("V2X core event base dispatch start------\n");
        }
        return rc;
    });
    if (end != V2xLoopStop::End::kRan) {
        if (end == V2xLoopStop::End::kNoBase) {
            LOGE("event_base_new() err!!!!\n");
            rc = -ERR_V2X_EVENT_NEW_BASE;
        } else if (end == V2xLoopStop::End::kNoWake) {
            LOGE("event_new() err!!!!\n");
            rc = -ERR_V2X_EVENT_NEW;
        } else if (end == V2xLoopStop::End::kStopped) {
            rc = -ERR_V2X_TMP;  // v2x_core_exit came first: nobody waits
        }
        _core_release();
        giCore.start.post(rc);
        return nullptr;
    }
    // The loop ended without a stop request (it failed): shut down here.
    // When v2x_core_exit stopped it, v2x_core_exit does the releases.
    if (!giCore.stop.requested()) {
        _core_release();
    }
    return nullptr;
}

// Stops and joins the core thread, then releases what it left. Called with
// giCore.lifeMtx held.
static void _core_stop_locked()
{
    giCore.stop.join(giNewPthdId, "_v2x_core_func_pth");
    _core_release();
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
    std::lock_guard<std::mutex> life(giCore.lifeMtx);
    if (giNewPthdId != 0) {
        // One core per process: a second start would rebuild the layers under
        // the running one and close its sockets.
        LOGE("_v2x_core_func_pth() already running err!!!!\n");
        return -ERR_V2X_PTHREAD_CREATE;
    }
    auto* arg = v2x_keep_cfg(giCore.cfg, aipcV2XCore);
    if (arg != nullptr) {
        arg->dmnNme[sizeof(arg->dmnNme) - 1] = '\0';
        arg->rcvIp[sizeof(arg->rcvIp) - 1] = '\0';
        arg->sendIp[sizeof(arg->sendIp) - 1] = '\0';
    }
    const int rc = v2x_loop_launch(giCore.start, giCore.stop, giNewPthdId, _v2x_core_func_pth, arg,
                                   gicStartWaitMs, "_v2x_core_func_pth");
    if (rc != 0) {
        // The thread has released what it built; join it so that a later
        // start finds no core.
        _core_stop_locked();
    }
    return rc;
}

extern "C" V2X_API int v2x_core_exit(void)
{
    LOGT();
    std::lock_guard<std::mutex> life(giCore.lifeMtx);
    _core_stop_locked();
    return V2X_SUCCESS;
}
