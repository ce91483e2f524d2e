// SPDX-License-Identifier: Apache-2.0
/* Watchdog feeder: a thread with its own libevent event base
 * that connects once to the watchdog service's Unix-domain stream socket and
 * sends a heartbeat carrying the process's watchdog name every period. When
 * the service closes the connection the feeder logs "Server close------"
 * and does not reconnect; the timer goes on writing nowhere. */
#ifndef MORROW_SELF_DOG_H
#define MORROW_SELF_DOG_H

#include <stdint.h>

#include "morrow_err.h"
#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

struct event_base;
struct config_t;

/* The same codes and values as _eDmnServErrVal_, with the suffix _DOG. */
typedef enum _eFeddogErrVal_ {
    MORROW_ERR_CODES(MORROW_ERR_ENUMERATOR, DOG)
    ERR_MAX_DOG = MORROW_ERR_MAX
} eFeddogErrVal;

typedef struct _tFeddogCfg_ {
    uint32_t feddogSec;         /* heartbeat period, whole seconds */
    uint32_t feddogUSec;        /* plus microseconds */
    char feddogNme[64];         /* watchdog name, zero-terminated */
    char txFeddogHtDmNme[256];  /* service socket path, < 108 bytes */
} tFeddogCfg;

/* Shortest heartbeat period the feeder takes, in microseconds (10 ms):
 * feddogSec * 1000000 + feddogUSec must be at least this. A shorter period,
 * 0 above all, would spin the feeder thread writing heartbeats without a
 * pause. Every call that takes a period refuses a shorter one, logs one
 * ERROR line and starts nothing. */
#define FEDDOG_MIN_PERIOD_US 10000u

/* Heartbeat on the stream: status (always 0), nameLen, then nameLen bytes
 * of the name without a terminating zero; 5 + nameLen bytes, packed, in the
 * host's byte order. */
#if defined(__GNUC__)
typedef struct __attribute__((packed)) _tWthdogFed_ {
    int32_t status;
    uint8_t nameLen;
    char name[123];
} tWthdogFed;
V2X_STATIC_ASSERT(sizeof(tWthdogFed) == 128, "heartbeat area is 128 bytes");
#endif

/* Starts the feeder thread and returns 0 at once; the connection is made
 * inside the thread, so its failures show only in the log. The record is
 * copied: the feeder keeps feeding from the copy. -11 when the thread cannot
 * be started (or the feeder already runs), -12 when libevent's thread
 * support cannot be enabled, -4107 (-ERR_PARAM_CONTENT_DOG) for a period
 * below FEDDOG_MIN_PERIOD_US (no thread is started). */
V2X_API int self_feddog_init(const tFeddogCfg* aipcFeddogCfg);

/* Stops the thread and releases everything; 0. Safe when never started or
 * already stopped. */
V2X_API int self_feddog_exit(void);

/* Connects (non-blocking) and arms the read event and the heartbeat timer on
 * the given base: 0, -4096 (socket), -4098 (connect: also for a path of 108
 * bytes or more or an empty one, never cut), -13 (events), -4107
 * (-ERR_PARAM_CONTENT_DOG: a period below FEDDOG_MIN_PERIOD_US; nothing is
 * opened). The record is read at every heartbeat and must outlive the
 * feeder; a period changed below the minimum meanwhile is fed at the
 * minimum. */
V2X_API int _feed_dog_init(const struct event_base* aipcEtBse, const tFeddogCfg* aipcFeddogCfg);

/* Fills the record from the group aicpcDogCfgNme: "feddogSec",
 * "feddogUSec", "feddogNme" (cut to 62 characters), "txFeddogHtDmNme" (cut
 * to 254). Absent keys leave the caller's values. 0, -15 when the group
 * is missing, -16 for a negative feddogSec or feddogUSec, or -4107
 * (-ERR_PARAM_CONTENT_DOG) when a period key is present and the period it
 * makes is below FEDDOG_MIN_PERIOD_US (record unchanged in every failure).
 * A period is used up to one day; longer ones are cut to one day. */
V2X_API int load_feeddog_cfg(tFeddogCfg* aopcFedDog, const char* aicpcDogCfgNme,
                             const struct config_t* aicpcCfg);

V2X_EXTERN_C_END

#endif /* MORROW_SELF_DOG_H */
