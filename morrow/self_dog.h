// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief Watchdog feeder: a thread with its own libevent event base that
 * sends heartbeats to the watchdog service.
 *
 * The feeder connects once to the watchdog service's Unix-domain stream socket and
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

/** @brief Result codes of the watchdog feeder: the same codes and values as
 * _eDmnServErrVal_ (the list of morrow_err.h), with the suffix _DOG.
 *
 * The codes and their values are the list in MORROW_ERR_CODES (see the
 * source of morrow_err.h). Functions return the negative of a code. */
typedef enum _eFeddogErrVal_ {
    MORROW_ERR_CODES(MORROW_ERR_ENUMERATOR, DOG)
    ERR_MAX_DOG = MORROW_ERR_MAX /**< end marker, one above the last code */
} eFeddogErrVal;

/** Configuration of the watchdog feeder. */
typedef struct _tFeddogCfg_ {
    uint32_t feddogSec;         /**< heartbeat period, whole seconds */
    uint32_t feddogUSec;        /**< plus microseconds */
    char feddogNme[64];         /**< watchdog name, zero-terminated */
    char txFeddogHtDmNme[256];  /**< service socket path, < 108 bytes */
} tFeddogCfg;

/** Shortest heartbeat period the feeder takes, in microseconds (10 ms):
 * feddogSec * 1000000 + feddogUSec must be at least this. A shorter period,
 * 0 above all, would spin the feeder thread writing heartbeats without a
 * pause. Every call that takes a period refuses a shorter one, logs one
 * ERROR line and starts nothing. */
#define FEDDOG_MIN_PERIOD_US 10000u

#if defined(__GNUC__)
/** Heartbeat on the stream: status (always 0), nameLen, then nameLen bytes
 * of the name without a terminating zero; 5 + nameLen bytes, packed, in the
 * host's byte order. */
typedef struct __attribute__((packed)) _tWthdogFed_ {
    int32_t status;  /**< always 0 */
    uint8_t nameLen; /**< bytes of name that are sent */
    char name[123];  /**< the watchdog name, without a terminating zero */
} tWthdogFed;
V2X_STATIC_ASSERT(sizeof(tWthdogFed) == 128, "heartbeat area is 128 bytes");
#endif

/** @brief Starts the feeder thread and returns at once.
 *
 * The connection is made inside the thread, so its failures show only in
 * the log. The record is copied: the feeder keeps feeding from the copy.
 *
 * @param aipcFeddogCfg the feeder's configuration (copied).
 * @retval 0 (SUCCESS_DOG) the thread was started.
 * @retval -11 (-ERR_PTHREAD_CREATE_DOG) the thread cannot be started, or the
 *         feeder already runs.
 * @retval -12 (-ERR_EVENT_NEW_BASE_DOG) libevent's thread support cannot be
 *         enabled.
 * @retval -4107 (-ERR_PARAM_CONTENT_DOG) a period below
 *         FEDDOG_MIN_PERIOD_US (no thread is started).
 */
V2X_API int self_feddog_init(const tFeddogCfg* aipcFeddogCfg);

/** @brief Stops the thread and releases everything.
 *
 * Safe when never started or already stopped.
 *
 * @retval 0 (SUCCESS_DOG) always.
 */
V2X_API int self_feddog_exit(void);

/** @brief Connects (non-blocking) and arms the read event and the heartbeat
 * timer on the given base.
 *
 * The record is read at every heartbeat and must outlive the feeder; a
 * period changed below the minimum meanwhile is fed at the minimum.
 *
 * @param aipcEtBse     the host's event base that runs the feeder.
 * @param aipcFeddogCfg the feeder's configuration; not copied.
 * @retval 0 (SUCCESS_DOG) connected and armed.
 * @retval -4096 (-ERR_SOCKET_OPEN_DOG) socket() failed.
 * @retval -4098 (-ERR_SOCKET_CONNECT_DOG) connect failed: also for a path of
 *         108 bytes or more or an empty one (never cut).
 * @retval -13 (-ERR_EVENT_NEW_DOG) the events cannot be made, or a null
 *         argument.
 * @retval -4107 (-ERR_PARAM_CONTENT_DOG) a period below
 *         FEDDOG_MIN_PERIOD_US; nothing is opened.
 */
V2X_API int _feed_dog_init(const struct event_base* aipcEtBse, const tFeddogCfg* aipcFeddogCfg);

/** @brief Fills the feeder's configuration from a parsed libconfig
 * configuration.
 *
 * Reads the group aicpcDogCfgNme: "feddogSec", "feddogUSec", "feddogNme"
 * (cut to 62 characters), "txFeddogHtDmNme" (cut to 254). Absent keys leave
 * the caller's values. The record is unchanged in every failure. A period
 * is used up to one day; longer ones are cut to one day.
 *
 * @param aopcFedDog     the record to fill.
 * @param aicpcDogCfgNme path of the group in the configuration.
 * @param aicpcCfg       the parsed configuration.
 * @retval 0 (SUCCESS_DOG) done.
 * @retval -15 (-ERR_LIBCFG_CFG_LOOKUP_DOG) the group is missing, or a null
 *         argument.
 * @retval -16 (-ERR_LIBCFG_SETTING_LOOKUP_DOG) a negative feddogSec or
 *         feddogUSec.
 * @retval -4107 (-ERR_PARAM_CONTENT_DOG) a period key is present and the
 *         period it makes is below FEDDOG_MIN_PERIOD_US.
 */
V2X_API int load_feeddog_cfg(tFeddogCfg* aopcFedDog, const char* aicpcDogCfgNme,
                             const struct config_t* aicpcCfg);

V2X_EXTERN_C_END

#endif /* MORROW_SELF_DOG_H */
