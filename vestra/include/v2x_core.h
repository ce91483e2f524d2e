// SPDX-License-Identifier: Apache-2.0
/** @file
 * The core of this process: the calls that start and stop it, and the
 * settings of its daemon server that a program gives before the start. The
 * application runtime (cv2x_app_init) and the system API (v2x_system_init)
 * start their in-process core through v2x_core_init and stop it through
 * v2x_core_exit, like a program that runs the core alone; the core defines
 * these calls. Included by cv2x_app.h. */
#ifndef VESTRA_V2X_CORE_H
#define VESTRA_V2X_CORE_H

#include <stddef.h>
#include <stdint.h>

#include <morrow/v2x_api.h>

#include "v2x_types.h"

V2X_EXTERN_C_BEGIN

/* ---- The core alone ------------------------------------------------------
 * For a program that only serves the applications of other processes (they
 * attach to its socket), such as `v2x-station --serve`. */
/** Starts the core thread and waits until it listens on the application
 * socket and its radio link is bound, at most 5 seconds.
 * On failure nothing of the core is left running. The record is copied, so
 * the caller may release it once this returns. Any thread may call it, but
 * not a core callback.
 * @param aipcV2XCore the start-up configuration (socket path, radio link
 *        addresses, MAC address).
 * @return 0 once the core listens and its radio link is bound; otherwise
 *         the failed step's negated code after one ERROR line naming it.
 * @retval 0 (V2X_SUCCESS) the core runs.
 * @retval -ERR_V2X_SOCKET_BIND (-8) a bind failed, with "bind() PATH err,
 *         msg=..." for the socket path, "bind(IP:PORT) err, ..." for the
 *         radio link.
 * @retval -ERR_V2X_PTHREAD_CREATE no thread, or a core already runs in this
 *         process (that one is left untouched).
 * @retval -ERR_V2X_TMP the start-up did not end within the wait. */
V2X_API int v2x_core_init(const tV2XSDKCfg* aipcV2XCore);

/** Stops the core thread and releases every layer. Safe without a prior
 * init, after a failed start-up and when called twice. Blocks until the
 * core thread has ended (it never waits for the radio).
 * @retval 0 always. */
V2X_API int v2x_core_exit(void);

/** Most connections the core's daemon server keeps at once, of applications
 * and control connections alike. Of these one peer user may hold three
 * quarters (rounded down, at least 1: 48 of 64), so that one user cannot
 * take every place. A connection beyond either is told why in its greeting
 * (V2X_CTL_REFUSED_CAP, V2X_CTL_REFUSED_SHARE) and closed, with one log line
 * per episode; cv2x_app_init and attach then fail with
 * -ERR_V2X_CONN_REFUSED. */
#define V2X_DMN_SERV_MAX_CLIT_DEF 64
/** A connection that holds an incomplete message (part of a header, or of a
 * payload) this long is closed, counted in appIdleClosed and logged once
 * per episode. A connection that sends whole messages, however slowly, and
 * one whose reading the core holds back for the radio are never closed for
 * it. */
#define V2X_DMN_SERV_IDLE_MS_DEF 10000
/** Sets the most connections the core keeps (V2X_DMN_SERV_MAX_CLIT_DEF by
 * default) for connections accepted from now on, in any process state (also
 * before the core starts).
 * @param aicMax the most connections, at least 1.
 * @retval 0 set.
 * @retval -ERR_V2X_PARM_CONT aicMax below 1. */
V2X_API int v2x_sdk_dmn_serv_set_max_clit(int aicMax);

/** Mode of the application socket file unless tV2XAccessCfg.sockMode says
 * otherwise. */
#define V2X_SOCK_MODE_DEF 0660
/** Who may use the application socket of a core started in this process.
 * The core makes the socket's directory when it is missing (mode 0750) and
 * refuses one that is not a real directory, not owned by this user or root,
 * or writable by others (by its group too, unless allowGid is set). The
 * socket file gets sockMode whatever the umask, and allowGid as its group.
 * Each connection is served only when its peer runs as this user, as root,
 * as one of allowUids, or in group allowGid; any other is closed at once
 * with one line naming its uid and pid. */
typedef struct _tV2XAccessCfg_ {
    uint32_t sockMode;     /**< mode of the socket file; 0 for V2X_SOCK_MODE_DEF */
    int32_t allowGid;      /**< a group served and owning the socket file; -1: none */
    uint32_t allowUids[8]; /**< further users served; 0 marks an unused place */
} tV2XAccessCfg;
V2X_STATIC_ASSERT(sizeof(tV2XAccessCfg) == 40, "tV2XAccessCfg is 40 bytes");
/** Sets who may use the application socket (tV2XAccessCfg) for cores
 * started from now on. Any thread, before the start.
 * @param aipcAccess the settings; null: the defaults.
 * @retval 0 set.
 * @retval -ERR_V2X_PARM_CONT a mode writable by others or beyond 0777, or a
 *         group below -1. */
V2X_API int v2x_sdk_dmn_serv_set_access(const tV2XAccessCfg* aipcAccess);

/** Most entries of the table of sending defaults per AID. */
#define V2X_TX_DEFAULTS_MAX 32
/** Sending defaults per AID, for requests sent with dsm_request (which
 * cannot say how they may wait): such a request for a listed AID takes the
 * entry's lifetime and supersede, and its priority when the request's own
 * is 0. Requests sent with dsm_request_ex keep exactly what they say. */
typedef struct _tV2XTxDefault_ {
    uint32_t aid;        /**< the AID, 0..16511 */
    uint8_t priority;    /**< 0..7 */
    uint8_t supersede;   /**< as tDSMTxOpt.supersede */
    uint8_t rsvd[2];     /**< must be zero */
    uint32_t lifetimeMs; /**< as tDSMTxOpt.lifetimeMs */
} tV2XTxDefault;
V2X_STATIC_ASSERT(sizeof(tV2XTxDefault) == 12, "tV2XTxDefault is 12 bytes");
V2X_STATIC_ASSERT(offsetof(tV2XTxDefault, lifetimeMs) == 8, "tV2XTxDefault.lifetimeMs");
/** Sets the table of sending defaults per AID (tV2XTxDefault) for cores
 * started from now on (the core takes a copy when it starts). Any thread.
 * @param aipcDefs aicCnt entries.
 * @param aicCnt the number of entries; 0 clears the table.
 * @retval 0 set.
 * @retval -ERR_V2X_PARM_CONT null with a count, a count outside
 *         0..V2X_TX_DEFAULTS_MAX, an AID above 16511 or listed twice, a
 *         priority above 7, reserved bytes not zero. */
V2X_API int v2x_sdk_dmn_serv_set_tx_defaults(const tV2XTxDefault* aipcDefs, int aicCnt);

/* Signed messages (IEEE 1609.2), per AID. */
/** Most security profiles (tV2XSecProfile). */
#define V2X_SEC_PROFILES_MAX 32
#define V2X_SEC_SIGNER_DIGEST 0 /**< the certificate's digest, the whole certificate once a
                                   second and when a receiver may not know it */
#define V2X_SEC_SIGNER_CERT 1   /**< the whole certificate every time */
/** Signed messages (IEEE 1609.2), per AID. A profile says whether this
 * station signs the AID's messages, whether it verifies the AID's received
 * messages, how its signer is named, and what becomes of received messages
 * that are unsigned or fail a check. Messages of AIDs without a profile are
 * sent and received as they are. */
typedef struct _tV2XSecProfile_ {
    uint32_t aid;     /**< the AID */
    uint8_t sign;     /**< 1: sign this AID's messages (needs certPath and keyPath) */
    uint8_t verify;   /**< 1: verify this AID's received messages (needs trustDir) */
    uint8_t signer;   /**< V2X_SEC_SIGNER_DIGEST or V2X_SEC_SIGNER_CERT */
    uint8_t passFailed; /**< 0: drop unsigned and failed messages; 1: hand them up
                           (counted in rxSecPassedUnverified) */
} tV2XSecProfile;
V2X_STATIC_ASSERT(sizeof(tV2XSecProfile) == 8, "tV2XSecProfile is 8 bytes");

/** The security settings of v2x_core_set_security: files and profiles. */
typedef struct _tV2XSecCfg_ {
    const char* trustDir;  /**< certificates (COER files): self-signed ones are trust anchors,
                              the others known intermediates; null when nothing verifies */
    const char* certPath;  /**< this station's certificate (COER); null when nothing signs */
    const char* keyPath;   /**< its private key, PEM PKCS#8, readable by its owner only */
    const tV2XSecProfile* profiles; /**< profileCnt profiles, one per AID */
    int profileCnt;        /**< 0..V2X_SEC_PROFILES_MAX */
    int workers;           /**< threads that sign and verify; 0: one per CPU */
    int queueLen;          /**< messages waiting for them, at most; 0: 128 */
    uint32_t windowBackMs; /**< oldest generation time accepted, behind the clock; 0: 30000 */
    uint32_t windowAheadMs; /**< newest, ahead of the clock; 0: 2000 */
} tV2XSecCfg;

/** Loads the trust folder, the certificate and the key, and sets the
 * profiles for cores started from now on. The key is kept in memory only,
 * never logged, and cleansed when replaced. On a refusal one log line says
 * which file and why. Any thread, before the start.
 * @param aipcCfg the settings; null: no security.
 * @retval 0 loaded and set.
 * @retval -ERR_V2X_PARM_CONT a count or value out of range, an AID twice, a
 *         profile that signs without certificate and key or verifies
 *         without a trust folder.
 * @retval -ERR_V2X_SEC_LOAD a file that cannot be read or decoded, a key
 *         that group or others may read or that does not match the
 *         certificate, a trust folder without a trust anchor. */
V2X_API int v2x_core_set_security(const tV2XSecCfg* aipcCfg);

/** Longest station name v2x_core_set_station_name takes, in bytes. */
#define V2X_STATION_NAME_MAX 31

/**
 * Names this station for those who ask the core what it is (the control
 * query V2X_CTL_STATUS, `v2x-ctl status`). The name is copied; it may be set
 * before the core starts or while it runs, from any thread, and stays for
 * later starts of the core in this process.
 *
 * @param aipcName the name, at most V2X_STATION_NAME_MAX bytes of printable
 *                 characters (no control characters); null or "" clears it
 * @retval 0 the name is set (or cleared)
 * @retval -ERR_V2X_PARM_CONT longer than V2X_STATION_NAME_MAX bytes, or it
 *         holds a control character; the name set before stays
 */
V2X_API int v2x_core_set_station_name(const char* aipcName);

/** Most CBR ranges of the reactive rule's table. */
#define V2X_CC_RANGES_MAX 8

/** One row of the reactive rule's table: while the smoothed CBR is at most
 * cbrMaxPermille (and above the row before), a datagram of priority p leaves
 * no sooner than gapMs[p] after this station's last datagram of that
 * priority. */
typedef struct _tV2XCcRange_ {
    uint16_t cbrMaxPermille; /**< the row holds CBRs up to this, per mille; the last row 1000 */
    uint16_t rsvd;           /**< must be zero */
    uint32_t gapMs[8];       /**< per priority 0..7, milliseconds; 0: not held */
} tV2XCcRange;
V2X_STATIC_ASSERT(sizeof(tV2XCcRange) == 36, "tV2XCcRange is 36 bytes");

/** The congestion gate in front of the transmit queues. With no CBR known
 * (no report, or the last one older than staleMs) the gate is open under
 * any rule. Start from v2x_core_congestion_defaults and change what differs. */
typedef struct _tV2XCongestionCfg_ {
    uint32_t size;           /**< sizeof(tV2XCongestionCfg) */
    uint32_t rule;           /**< V2X_CC_RULE_OFF (default), _REACTIVE or _ADAPTIVE */
    uint32_t ungatedMask;    /**< bit p set: priority p is never held (default 0x80: 7) */
    uint32_t staleMs;        /**< a report older than this leaves the CBR not known (1000) */
    uint32_t occupancyUs;    /**< the channel time one datagram takes, microseconds (500: one
                                subframe on half the sub-channels); the adaptive rule's gap is
                                occupancyUs over the allowed duty cycle */
    uint32_t rangeCnt;       /**< rows of range in use, 1..V2X_CC_RANGES_MAX */
    tV2XCcRange range[V2X_CC_RANGES_MAX]; /**< reactive: rows by rising cbrMaxPermille */
    double alpha;            /**< adaptive: 0.016 */
    double beta;             /**< adaptive: 0.0012 */
    double target;           /**< adaptive: the CBR it steers toward, 0.68 */
    double dutyMin;          /**< adaptive: least allowed duty cycle, 0.0006 */
    double dutyMax;          /**< adaptive: most allowed duty cycle, and where it starts, 0.03 */
    uint32_t periodMs;       /**< adaptive: how often it steps, 200 */
    uint32_t maxGapMs;       /**< adaptive: the longest gap it sets, 1000 */
} tV2XCongestionCfg;
V2X_STATIC_ASSERT(offsetof(tV2XCongestionCfg, range) == 24, "tV2XCongestionCfg.range");
V2X_STATIC_ASSERT(offsetof(tV2XCongestionCfg, alpha) == 312, "tV2XCongestionCfg.alpha");
V2X_STATIC_ASSERT(sizeof(tV2XCongestionCfg) == 360, "tV2XCongestionCfg is 360 bytes");

/**
 * Fills the gate's defaults: rule off, priority 7 never held, reports stale
 * after 1 s, 500 us per datagram; the reactive table from the per-priority
 * channel-occupancy limits of ETSI TS 103 574 (docs/congestion.md gives the
 * table and how it was derived); LIMERIC's published parameters.
 *
 * @param aopCfg receives the defaults
 * @retval 0 filled
 * @retval -ERR_V2X_PARM_CONT aopCfg is null
 */
V2X_API int v2x_core_congestion_defaults(tV2XCongestionCfg* aopCfg);

/**
 * Sets the congestion gate. Any thread, before the core starts or while it
 * runs: a running core takes it with its next CBR report, and later starts
 * of the core in this process keep it.
 *
 * @param aipcCfg the settings; null: the defaults (rule off)
 * @retval 0 set
 * @retval -ERR_V2X_PARM_CONT a wrong size, an unknown rule, no rows or too
 *         many, rows whose CBRs do not rise or whose last is not 1000, a
 *         reserved field not 0, a gap over 10000 ms, alpha or beta not in
 *         (0, 1), a target not in (0, 1), duty cycles not 0 < min <= max <= 1,
 *         staleMs or periodMs 0 or over 60000, occupancyUs 0 or over 1000000;
 *         the settings before stay
 */
V2X_API int v2x_core_set_congestion(const tV2XCongestionCfg* aipcCfg);

V2X_EXTERN_C_END

#endif /* VESTRA_V2X_CORE_H */
