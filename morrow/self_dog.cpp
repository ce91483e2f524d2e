// SPDX-License-Identifier: Apache-2.0
// Watchdog feeder.
#include "self_dog.h"

#include <errno.h>
#include <event2/event.h>
#include <fcntl.h>
#include <libconfig.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "self_log.h"
#include "unix_sock.h"
#include "v2x_evthread.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

namespace {

constexpr size_t kFedArea = 128;
constexpr size_t kFedNameMax = kFedArea - 5 - 2;  // 121 bytes on the wire

pthread_t giFeddogPthdId = 0;
int giFeddogFd = -1;
struct event* gipRxFeddogEt = nullptr;
struct event* gipTxFeddogHtEt = nullptr;
struct event_base* gipFedDogEtBse = nullptr;

// The thread's stop request; other threads reach gipFedDogEtBse only through it.
V2xLoopStop giDogStop(gipFedDogEtBse);
tFeddogCfg giFeddogCfg;  // the copy the feeder thread feeds from

char gicPthExit[] = "_feddog_func_pth() exit";

uint64_t _period_us(uint32_t aicSec, uint32_t aicUSec)
{
    return static_cast<uint64_t>(aicSec) * 1000000u + aicUSec;
}

// A period below the minimum is refused where it is handed in, with one line.
bool _period_ok(const tFeddogCfg* aipcCfg)
{
    if (_period_us(aipcCfg->feddogSec, aipcCfg->feddogUSec) >= FEDDOG_MIN_PERIOD_US) {
        return true;
    }
    LOGE("feddogSec(%u) feddogUSec(%u) below the %u us minimum period err!!!!\n",
         static_cast<unsigned>(aipcCfg->feddogSec), static_cast<unsigned>(aipcCfg->feddogUSec),
         FEDDOG_MIN_PERIOD_US);
    return false;
}

struct timeval _period(const tFeddogCfg* aipcCfg)
{
    struct timeval tv;
    // A record changed below the minimum while the feeder runs is fed at
    // the minimum rather than spinning.
    if (_period_us(aipcCfg->feddogSec, aipcCfg->feddogUSec) < FEDDOG_MIN_PERIOD_US) {
        tv.tv_sec = 0;
        tv.tv_usec = static_cast<suseconds_t>(FEDDOG_MIN_PERIOD_US);
        return tv;
    }
    // Clamped to one day on every target: libevent adds the period to the
    // monotonic clock, and a longer one overflows a 32-bit time_t into a
    // timer that fires at once, again and again.
    uint64_t sec = static_cast<uint64_t>(aipcCfg->feddogSec) + aipcCfg->feddogUSec / 1000000u;
    constexpr uint64_t kMaxSec = 86400;
    tv.tv_sec = static_cast<time_t>(sec < kMaxSec ? sec : kMaxSec);
    tv.tv_usec = static_cast<suseconds_t>(aipcCfg->feddogUSec % 1000000u);
    return tv;
}

// Opens the non-blocking socket (kept in giFeddogFd until self_feddog_exit)
// and connects it: 0, -4096 or -4098.
int _unix_socket_connect(const char* aipcPath, size_t aicMax)
{
    // Non-blocking and close-on-exec: a program the host starts must not
    // keep the watchdog connection.
    const int fd = unix_sock_connect(aipcPath, aicMax, 1);
    if (fd == UNIX_SOCK_FAIL_SOCKET) {
        LOGE("socket() err, msg:%s!!!!\n", strerror(errno));
        return -ERR_SOCKET_OPEN_DOG;
    }
    if (fd < 0) {
        // A bad path is refused, never cut: a shortened one names another socket.
        LOGE("connect() err, msg:%s!!!!!!", strerror(errno));
        return -ERR_SOCKET_CONNECT_DOG;
    }
    giFeddogFd = fd;
    return SUCCESS_DOG;
}

void _rx_feddog_cb(evutil_socket_t aicFd, short aicEvent, void* aipArg)
{
    (void)aicEvent;
    (void)aipArg;
    char buf[kFedArea];
    memset(buf, 0, sizeof(buf));
    ssize_t n = read(aicFd, buf, sizeof(buf) - 1);
    if (n > 0) {
        return;  // whatever the service sends is discarded
    }
    if (n == 0) {
        LOG0("Server close------\n");
    } else {
        LOGE("read() err, msg:%s!!!!\n", strerror(errno));
    }
    v2x_event_release(gipRxFeddogEt);
    unix_sock_close(&giFeddogFd);
}

void _tx_feddog_ht_cb(evutil_socket_t aicFd, short aicEvent, void* aipArg)
{
    (void)aicFd;
    (void)aicEvent;
    if (aipArg == nullptr) {
        LOGE("aipArg err!!!!\n");
        return;
    }
    const tFeddogCfg* cfg = static_cast<const tFeddogCfg*>(aipArg);
    uint8_t msg[kFedArea];
    memset(msg, 0, sizeof(msg));
    size_t len = strnlen(cfg->feddogNme, sizeof(cfg->feddogNme));
    if (len > kFedNameMax) {
        len = kFedNameMax;
    }
    msg[4] = static_cast<uint8_t>(len);
    memcpy(msg + 5, cfg->feddogNme, len);
    // One write; after the service has gone the descriptor is -1 and the
    // write fails without effect. No SIGPIPE for a peer that just left.
    ssize_t wr = send(giFeddogFd, msg, 5 + len, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)wr;
    if (gipTxFeddogHtEt != nullptr) {
        struct timeval tv = _period(cfg);
        event_add(gipTxFeddogHtEt, &tv);
    }
}

void* _feddog_func_pth(void* aipArg)
{
    if (aipArg == nullptr) {
        LOGE("aipArg err!!!!\n");
        return gicPthExit;
    }
    // Cancellation is replaced by a stop request: self_feddog_exit asks the
    // loop to exit and joins, so the thread never stops inside a handler.
    giDogStop.run([aipArg](struct event_base* aipBase) {
        if (_feed_dog_init(aipBase, static_cast<const tFeddogCfg*>(aipArg)) == SUCCESS_DOG) {
            return 0;
        }
        LOGE("_feed_dog_init() err!!!!\n");
        return -1;
    });
    return gicPthExit;
}

}  // namespace

extern "C" V2X_API int _feed_dog_init(const struct event_base* aipcEtBse,
                                      const tFeddogCfg* aipcFeddogCfg)
{
    LOGT();
    if (aipcEtBse == nullptr || aipcFeddogCfg == nullptr) {
        LOGE("aipArg err!!!!\n");
        return -ERR_EVENT_NEW_DOG;
    }
    if (!_period_ok(aipcFeddogCfg)) {
        return -ERR_PARAM_CONTENT_DOG;
    }
    int rc = _unix_socket_connect(aipcFeddogCfg->txFeddogHtDmNme,
                                  sizeof(aipcFeddogCfg->txFeddogHtDmNme));
    if (rc != SUCCESS_DOG) {
        LOGE("_unix_socket_connect() err!!!!\n");
        return rc;
    }
    struct event_base* base = const_cast<struct event_base*>(aipcEtBse);
    gipRxFeddogEt = event_new(base, giFeddogFd, EV_READ | EV_PERSIST, _rx_feddog_cb, nullptr);
    if (gipRxFeddogEt == nullptr) {
        LOGE("event_new() err!!!!\n");
        return -ERR_EVENT_NEW_DOG;
    }
    event_add(gipRxFeddogEt, nullptr);
    gipTxFeddogHtEt = evtimer_new(base, _tx_feddog_ht_cb, const_cast<tFeddogCfg*>(aipcFeddogCfg));
    if (gipTxFeddogHtEt == nullptr) {
        LOGE("evtimer_new() err!!!!\n");
        return -ERR_EVENT_NEW_DOG;
    }
    struct timeval tv = _period(aipcFeddogCfg);
    event_add(gipTxFeddogHtEt, &tv);
    return SUCCESS_DOG;
}

extern "C" V2X_API int self_feddog_init(const tFeddogCfg* aipcFeddogCfg)
{
    LOGT();
    if (giFeddogPthdId != 0) {
        LOGE("feddog already run err!!!!\n");
        return -ERR_PTHREAD_CREATE_DOG;
    }
    if (aipcFeddogCfg != nullptr && !_period_ok(aipcFeddogCfg)) {
        return -ERR_PARAM_CONTENT_DOG;
    }
    if (!v2x_event_threads_ready()) {
        LOGE("evthread_use_pthreads() err!!!!\n");
        return -ERR_EVENT_NEW_BASE_DOG;
    }
    int rc = giDogStop.start(giFeddogPthdId, _feddog_func_pth,
                             v2x_keep_cfg(giFeddogCfg, aipcFeddogCfg));
    if (rc != 0) {
        LOGE("pthread_create() err, msg:%s\n", strerror(rc));
        self_feddog_exit();
        return -ERR_PTHREAD_CREATE_DOG;
    }
    return SUCCESS_DOG;
}

extern "C" V2X_API int self_feddog_exit(void)
{
    LOGT();
    giDogStop.join(giFeddogPthdId, "_feddog_func_pth");
    v2x_event_release(gipTxFeddogHtEt);
    v2x_event_release(gipRxFeddogEt);
    if (struct event_base* b = giDogStop.detach()) {
        event_base_free(b);
    }
    giDogStop.clear();
    unix_sock_close(&giFeddogFd);
    return SUCCESS_DOG;
}

extern "C" V2X_API int load_feeddog_cfg(tFeddogCfg* aopcFedDog, const char* aicpcDogCfgNme,
                                        const struct config_t* aicpcCfg)
{
    LOGT();
    config_setting_t* grp = nullptr;
    if (aicpcCfg != nullptr && aicpcDogCfgNme != nullptr) {
        grp = config_lookup(aicpcCfg, aicpcDogCfgNme);
    }
    if (grp == nullptr || aopcFedDog == nullptr) {
        LOGE("config_lookup(\"%s\") err!!!!\n",
             aicpcDogCfgNme != nullptr ? aicpcDogCfgNme : "(null)");
        return -ERR_LIBCFG_CFG_LOOKUP_DOG;
    }
    // A negative period read as unsigned would be a huge one: refused, with
    // the record unchanged.
    int sec = 0;
    int usec = 0;
    const bool hasSec = config_setting_lookup_int(grp, "feddogSec", &sec) == CONFIG_TRUE;
    const bool hasUsec = config_setting_lookup_int(grp, "feddogUSec", &usec) == CONFIG_TRUE;
    if ((hasSec && sec < 0) || (hasUsec && usec < 0)) {
        LOGE("feddogSec(%d) feddogUSec(%d) err!!!!\n", sec, usec);
        return -ERR_LIBCFG_SETTING_LOOKUP_DOG;
    }
    if (hasSec || hasUsec) {
        tFeddogCfg next = *aopcFedDog;
        next.feddogSec = hasSec ? static_cast<uint32_t>(sec) : next.feddogSec;
        next.feddogUSec = hasUsec ? static_cast<uint32_t>(usec) : next.feddogUSec;
        if (!_period_ok(&next)) {
            return -ERR_PARAM_CONTENT_DOG;
        }
    }
    if (hasSec) {
        aopcFedDog->feddogSec = static_cast<uint32_t>(sec);
    }
    if (hasUsec) {
        aopcFedDog->feddogUSec = static_cast<uint32_t>(usec);
    }
    const char* s = nullptr;
    if (config_setting_lookup_string(grp, "feddogNme", &s) == CONFIG_TRUE && s != nullptr) {
        memset(aopcFedDog->feddogNme, 0, sizeof(aopcFedDog->feddogNme));
        strncpy(aopcFedDog->feddogNme, s, 62);
    }
    s = nullptr;
    if (config_setting_lookup_string(grp, "txFeddogHtDmNme", &s) == CONFIG_TRUE && s != nullptr) {
        memset(aopcFedDog->txFeddogHtDmNme, 0, sizeof(aopcFedDog->txFeddogHtDmNme));
        strncpy(aopcFedDog->txFeddogHtDmNme, s, 254);
    }
    return SUCCESS_DOG;
}
