// SPDX-License-Identifier: Apache-2.0
/** @file
 * What the running core counts, and how to ask it.
 *
 * The core counts every datagram, message and drop where it decides about
 * it, in 64-bit counters that only grow (from the start of the process) and
 * a few gauges that say how things stand now. A program in the core's own
 * process copies them with v2x_core_stats(); any other process asks over the
 * application socket with a V2X_CTL_QUERY_REQ message (v2x-ctl does). The
 * counter names are a stable interface: fields are only ever added at the
 * end of a record, and a reader uses the size the core reports.
 *
 * All records are packed, in host byte order, like the other records of the
 * application socket (core_app.h). */
#ifndef VESTRA_V2X_STATS_H
#define VESTRA_V2X_STATS_H

#include <stddef.h>
#include <stdint.h>

#include <morrow/v2x_api.h>

V2X_EXTERN_C_BEGIN

/* Message types of the query, outside the range of eV2XMsgType. Sent to the
 * asking connection only; nothing else on the socket changes. */
#define V2X_CTL_QUERY_REQ 0x5600u /**< application to core, tV2XCtlReq */
#define V2X_CTL_QUERY_RSP 0x5601u /**< core to application, tV2XCtlRsp + records */
#define V2X_CTL_VERSION 1u        /**< version of the query records */

/** What a query asks for (tV2XCtlReq.what) and the records that answer it. */
typedef enum _eV2XCtlWhat_ {
    V2X_CTL_STATS = 1,     /**< one tV2XCoreStats */
    V2X_CTL_AIDS = 2,      /**< tV2XCtlAid per DSM registration */
    V2X_CTL_PROVIDERS = 3, /**< tV2XCtlProvider per provider */
    V2X_CTL_CLIENTS = 4,   /**< tV2XCtlClient per application connection */
    V2X_CTL_SELF = 5,      /**< one tV2XCtlClient: the sum over the asking process's
                              other application connections (count 0 when it has none) */
    V2X_CTL_STATUS = 6     /**< one tV2XCtlStatus: who the core is and since when */
} eV2XCtlWhat;

/* tV2XCtlRsp.status */
#define V2X_CTL_OK 0          /**< answered */
#define V2X_CTL_BAD_WHAT 1    /**< what is none of the above */
#define V2X_CTL_BAD_VERSION 2 /**< version is 0 */

/* Core to application: the first message of every connection the core
 * accepts, tV2XCtlGreeting. A client waits for it at connect (at most
 * V2X_CTL_GREETING_WAIT_MS): with V2X_CTL_WELCOME the core serves the
 * connection; with a refusal it closes it right after. A peer the access
 * settings do not admit is closed without one. */
#define V2X_CTL_GREETING 0x5602u     /**< core to application, tV2XCtlGreeting, first on every connection */
#define V2X_CTL_GREETING_WAIT_MS 2000 /**< how long a client waits for the greeting at connect, ms */
/* Application to core, tV2XCtlHello, sent as the connection's first message:
 * it is a control connection (a query tool, the counters' short connection).
 * Such a connection gets no indications, may send queries only, is not
 * listed among the applications (V2X_CTL_CLIENTS, V2X_CTL_SELF) and is
 * counted apart (ctlAccepted, ctlConnections). */
#define V2X_CTL_HELLO 0x5603u /**< application to core, tV2XCtlHello: a control connection */

/* tV2XCtlGreeting.status */
#define V2X_CTL_WELCOME 0       /**< the core serves the connection */
#define V2X_CTL_REFUSED_CAP 1   /**< the core holds as many connections as it keeps */
#define V2X_CTL_REFUSED_SHARE 2 /**< the peer's user holds its share of them */

#pragma pack(push, 1)

/** tV2XCoreStats.cbrAgeMs before the first CBR report. */
#define V2X_CBR_AGE_NONE 0xFFFFFFFFu

/** Counters of the core. Fields marked "now" are gauges; all others count up
 * from the start of the process. */
typedef struct _tV2XCoreStats_ {
    uint32_t size;    /**< bytes of this record that are filled */
    uint32_t version; /**< V2X_CTL_VERSION */

    /* Radio receive: every datagram from the radio module. */
    uint64_t rxDatagrams;         /**< datagrams read */
    uint64_t rxBytes;             /**< their bytes, as sent */
    uint64_t rxIndications;       /**< frames handed to the applications */
    uint64_t rxDmeFrames;         /**< management frames handed to the management entity */
    uint64_t rxProtTypeOther;     /**< protocol type other than 4 (still decoded) */
    uint64_t rxDropTooShort;      /**< empty, or a frame of 3 bytes or fewer */
    uint64_t rxDropShortExt;      /**< ends inside the extension element */
    uint64_t rxDropShortAid;      /**< ends inside the AID */
    uint64_t rxDropShortLen;      /**< ends inside the length field */
    uint64_t rxDropExtTooLong;    /**< extension value above 32 bytes */
    uint64_t rxDropAidFormat;     /**< unsupported AID form (first byte 11xxxxxx) */
    uint64_t rxDropNotRegistered; /**< AID no application registered */
    uint64_t rxDropLenMismatch;   /**< length field disagrees with the frame */
    uint64_t rxDropTruncated;     /**< datagram larger than the receive buffer */
    uint64_t rxDropRecvErr;       /**< receive calls that failed */
    uint64_t rxDropNoBuffer;      /**< no receive buffer free */

    /* Radio send: every datagram for the radio module. */
    uint64_t txDatagrams;      /**< datagrams sent */
    uint64_t txBytes;          /**< their bytes */
    uint64_t txQueued;         /**< now: waiting for the 70 ms gap */
    uint64_t txQueuedMax;      /**< most ever waiting at once */
    uint64_t txWaited;         /**< datagrams that waited in the queue */
    uint64_t txFullRefused;    /**< sends refused because the queue was full */
    uint64_t txHeldBack;       /**< times a connection was held back for a full queue */
    uint64_t txErrBusy;        /**< send failed: EAGAIN, ENOBUFS, ENOMEM */
    uint64_t txErrUnreachable; /**< send failed, or the far end refused the datagram (ICMP):
                                  ECONNREFUSED, EHOSTUNREACH, ENETUNREACH, ENETDOWN, EHOSTDOWN */
    uint64_t txErrOther;       /**< send failed otherwise */
    uint64_t txDroppedAtExit;  /**< waiting datagrams dropped when the core stopped */
    uint64_t dsaSent;          /**< advertisements sent */
    uint64_t dsaSkipped;       /**< advertisements skipped for a full queue */

    /* Applications on the socket. */
    uint64_t appConnections;   /**< now: connections open */
    uint64_t appAccepted;      /**< connections accepted */
    uint64_t appRefusedPeer;   /**< connections refused by the access settings */
    uint64_t appRefusedCap;    /**< connections refused at the connection cap */
    uint64_t appAcceptErrs;    /**< accept calls that failed */
    uint64_t appMsgsIn;        /**< whole messages read */
    uint64_t appBytesIn;       /**< their bytes, headers included */
    uint64_t appMsgsOut;       /**< whole messages sent (or left pending) */
    uint64_t appBytesOut;      /**< their bytes, headers included */
    uint64_t appRefusedLen;    /**< requests refused for their length */
    uint64_t appRefusedType;   /**< requests refused for their type */
    uint64_t appRefusedValue;  /**< requests their layer refused (a field's value) */
    uint64_t appDroppedStalled;/**< messages dropped for connections that did not read */
    uint64_t appCutDropped;    /**< messages cut by the end of their connection */

    /* Management. */
    uint64_t mgmtRegistrations; /**< now: DSM registrations */
    uint64_t mgmtProviders;     /**< now: providers */
    uint64_t cfmAccepted;       /**< confirms sent with DME_RET_ACCEPT */
    uint64_t cfmRefusedValue;   /**< confirms sent with DME_RET_REJ_VAL_ERR */
    uint64_t cfmRefusedOther;   /**< confirms sent with any other refusal */

    /* Radio send, added later: requests accepted and then never sent. */
    uint64_t txExpired;    /**< their lifetime ran out while they waited */
    uint64_t txSuperseded; /**< replaced by a newer request of the same connection and AID */

    /* Applications on the socket, added later. Control connections (a query
     * tool, the counters' short connection: see V2X_CTL_HELLO) are counted
     * here and in none of the application counters above; refusals and
     * idle closes count connections of either kind. */
    uint64_t appRefusedShare; /**< connections refused: their user held its share of the cap */
    uint64_t appIdleClosed;   /**< connections closed holding an incomplete message too long */
    uint64_t ctlConnections;  /**< now: control connections open */
    uint64_t ctlAccepted;     /**< control connections accepted */

    /* The core itself, added later. */
    uint64_t logLinesDropped; /**< log lines lost because the log thread did not keep up
                                 (the process's, as log_lines_dropped() gives them) */
    uint64_t sinkUnsetDrops;  /**< hand-overs between the core's layers that found no
                                 receiver set (during a start or a stop) */

    /* Security (signed messages), added later. Only AIDs with a security
     * profile count here. */
    uint64_t txSecSigned;           /**< messages signed and handed to the radio link */
    uint64_t txSecFailed;           /**< messages not sent: signing failed, or the signed
                                       message was refused below */
    uint64_t txSecOverload;         /**< messages refused: the signing queue was full */
    uint64_t rxSecVerified;         /**< messages whose signature and signer verified */
    uint64_t rxSecBadSignature;     /**< dropped: the message's or a certificate's signature failed */
    uint64_t rxSecUnknownSigner;    /**< dropped: the signer (or an issuer) is not known */
    uint64_t rxSecExpired;          /**< dropped: a certificate not valid at the generation time */
    uint64_t rxSecPsidNotPermitted; /**< dropped: the signer may not sign for the AID */
    uint64_t rxSecStale;            /**< dropped: generation time outside the window */
    uint64_t rxSecReplay;           /**< dropped: seen before within the window */
    uint64_t rxSecMalformed;        /**< dropped: not a well-formed secured message */
    uint64_t rxSecOverload;         /**< dropped: the verification queue was full */
    uint64_t rxSecUnsigned;         /**< dropped: unsigned where a signature is required */
    uint64_t rxSecPassedUnverified; /**< handed up although unsigned or failed (profiles that
                                       do not drop) */

    /* Radio receive, added later: receive-record datagrams (PROT_TP_RX_REC,
     * v2x_types.h) and the records handed to applications. */
    uint64_t rxRecDatagrams; /**< receive-record datagrams read (also in rxDatagrams) */
    uint64_t rxDropRecShort; /**< dropped: ends inside its record, or no frame after it */
    uint64_t rxDropRecBad;   /**< dropped: unknown version or flag bits, record length out of
                                range, CBR above 1000 per mille */
    uint64_t rxCbrLast;      /**< now: the CBR the module reported last, per mille;
                                V2X_RX_INFO_CBR_UNKNOWN (65535) before the first */
    uint64_t rxIndRecords;   /**< indications sent with a receive record (V2X_DSM_IND_EX),
                                one per connection that asked */

    /* Congestion control, added later: the module's CBR reports
     * (PROT_TP_CBR_RPT, v2x_types.h) and the gate in front of the transmit
     * queues (v2x_core_set_congestion). A datagram dropped while the gate
     * held it counts in txGatedExpired or txGatedSuperseded, not in
     * txExpired or txSuperseded. */
    uint64_t cbrReports;        /**< CBR reports applied */
    uint64_t cbrDropLen;        /**< dropped: shorter or longer than its record */
    uint64_t cbrDropBad;        /**< dropped: unknown version or record length, reserved bytes
                                   not 0, CBR above 1000 per mille */
    uint64_t cbrDropFuture;     /**< dropped: measured later than now (V2X_CBR_CLOCK_SKEW_MS) */
    uint64_t cbrLast;           /**< now: the CBR last reported, per mille; 65535 before the first */
    uint64_t cbrSmoothed;       /**< now: the smoothed CBR the gate uses, per mille; 65535 before
                                   the first report */
    uint64_t cbrAgeMs;          /**< now: milliseconds since the last report's measurement;
                                   V2X_CBR_AGE_NONE before the first */
    uint64_t ccRule;            /**< now: the gate's rule (V2X_CC_RULE_OFF, _REACTIVE, _ADAPTIVE) */
    uint64_t ccDutyPpm;         /**< now: the adaptive rule's allowed duty cycle, parts per
                                   million; 0 under another rule */
    uint64_t txGateHeld;        /**< datagrams the gate held before they left or were dropped */
    uint64_t txGatedExpired;    /**< dropped at the gate: their lifetime ran out while it held them */
    uint64_t txGatedSuperseded; /**< dropped at the gate: replaced by a newer request */
    uint64_t ccIntervalUs[8];   /**< now: per priority 0..7, the least time between two of this
                                   station's datagrams the gate allows, microseconds; 0 while the
                                   gate lets that priority go at the radio's pace */
} tV2XCoreStats;
V2X_STATIC_ASSERT(offsetof(tV2XCoreStats, rxDatagrams) == 8, "counters start at byte 8");
V2X_STATIC_ASSERT(offsetof(tV2XCoreStats, txDatagrams) == 8 + 16 * 8, "send counters");
V2X_STATIC_ASSERT(offsetof(tV2XCoreStats, appConnections) == 8 + 29 * 8, "application counters");
V2X_STATIC_ASSERT(offsetof(tV2XCoreStats, txExpired) == 8 + 48 * 8, "later send counters");
V2X_STATIC_ASSERT(offsetof(tV2XCoreStats, appRefusedShare) == 8 + 50 * 8, "later application counters");
V2X_STATIC_ASSERT(offsetof(tV2XCoreStats, logLinesDropped) == 8 + 54 * 8, "core counters");
V2X_STATIC_ASSERT(offsetof(tV2XCoreStats, txSecSigned) == 8 + 56 * 8, "security counters");
V2X_STATIC_ASSERT(offsetof(tV2XCoreStats, rxRecDatagrams) == 8 + 70 * 8, "receive-record counters");
V2X_STATIC_ASSERT(offsetof(tV2XCoreStats, cbrReports) == 8 + 75 * 8, "congestion counters");
V2X_STATIC_ASSERT(offsetof(tV2XCoreStats, ccIntervalUs) == 8 + 87 * 8, "tV2XCoreStats.ccIntervalUs");
V2X_STATIC_ASSERT(sizeof(tV2XCoreStats) == 8 + 95 * 8, "tV2XCoreStats is 768 bytes");

/** V2X_CTL_GREETING payload. */
typedef struct _tV2XCtlGreeting_ {
    uint32_t version;    /**< V2X_CTL_VERSION */
    uint32_t status;     /**< V2X_CTL_WELCOME, V2X_CTL_REFUSED_CAP, V2X_CTL_REFUSED_SHARE */
    uint32_t connId;     /**< the connection's number (as V2X_CTL_CLIENTS shows it); 0 when refused */
    uint32_t maxClients; /**< the connection cap (v2x_sdk_dmn_serv_set_max_clit) */
    uint32_t userShare;  /**< most connections one peer user may hold */
    uint32_t held;       /**< connections open (cap), or of the peer's user (share), at the refusal */
} tV2XCtlGreeting;
V2X_STATIC_ASSERT(sizeof(tV2XCtlGreeting) == 24, "tV2XCtlGreeting is 24 bytes");
V2X_STATIC_ASSERT(offsetof(tV2XCtlGreeting, status) == 4, "tV2XCtlGreeting.status");
V2X_STATIC_ASSERT(offsetof(tV2XCtlGreeting, held) == 20, "tV2XCtlGreeting.held");

/** V2X_CTL_HELLO payload. */
typedef struct _tV2XCtlHello_ {
    uint32_t version; /**< V2X_CTL_VERSION */
    uint32_t rsvd;    /**< 0 */
} tV2XCtlHello;
V2X_STATIC_ASSERT(sizeof(tV2XCtlHello) == 8, "tV2XCtlHello is 8 bytes");

/** V2X_CTL_QUERY_REQ payload. */
typedef struct _tV2XCtlReq_ {
    uint32_t what;    /**< eV2XCtlWhat */
    uint32_t version; /**< V2X_CTL_VERSION */
    uint32_t first;   /**< lists: index of the first record wanted */
} tV2XCtlReq;
V2X_STATIC_ASSERT(sizeof(tV2XCtlReq) == 12, "tV2XCtlReq is 12 bytes");

/** V2X_CTL_QUERY_RSP payload: this head, then count records of recSize bytes
 * each (records first .. first + count - 1 of total). A list longer than one
 * message is read with further requests from first + count. */
typedef struct _tV2XCtlRsp_ {
    uint32_t what;    /**< as asked */
    uint32_t version; /**< V2X_CTL_VERSION */
    uint32_t status;  /**< V2X_CTL_OK, V2X_CTL_BAD_WHAT, V2X_CTL_BAD_VERSION */
    uint32_t recSize; /**< bytes of each record */
    uint32_t first;   /**< index of the first record that follows */
    uint32_t count;   /**< records that follow */
    uint32_t total;   /**< records in the whole list */
} tV2XCtlRsp;
V2X_STATIC_ASSERT(sizeof(tV2XCtlRsp) == 28, "tV2XCtlRsp is 28 bytes");

/** V2X_CTL_AIDS record: one DSM registration. */
typedef struct _tV2XCtlAid_ {
    uint32_t aid;    /**< the registered AID */
    uint32_t index;  /**< the registering process's index */
    uint32_t connId; /**< owning connection (0: registered inside the core's process) */
} tV2XCtlAid;
V2X_STATIC_ASSERT(sizeof(tV2XCtlAid) == 12, "tV2XCtlAid is 12 bytes");

/** V2X_CTL_PROVIDERS record: one provider service. */
typedef struct _tV2XCtlProvider_ {
    uint32_t aid;      /**< the AID advertised */
    uint32_t connId;   /**< owning connection (0: inside the core's process) */
    uint16_t lclAppId; /**< the provider's local index (tDMEProvServReq.lclAppId) */
    uint8_t rptRte;    /**< advertisements per 5 s */
    uint8_t reserved;  /**< 0 */
} tV2XCtlProvider;
V2X_STATIC_ASSERT(sizeof(tV2XCtlProvider) == 12, "tV2XCtlProvider is 12 bytes");

/** V2X_CTL_CLIENTS and V2X_CTL_SELF record: one application connection
 * (or the sum over several), counted like the app* counters of
 * tV2XCoreStats. */
typedef struct _tV2XCtlClient_ {
    uint32_t connId; /**< the connection's number */
    int32_t pid; /**< peer process, -1 when unknown */
    int32_t uid; /**< peer user, -1 when unknown */
    uint32_t heldBack; /**< 1 while its reading waits for room in the transmit queue */
    uint64_t msgsIn;       /**< whole messages read from it */
    uint64_t bytesIn;      /**< their bytes, headers included */
    uint64_t msgsOut;      /**< whole messages sent to it (or left pending) */
    uint64_t bytesOut;     /**< their bytes, headers included */
    uint64_t refusedLen;   /**< its requests refused for their length */
    uint64_t refusedType;  /**< its requests refused for their type */
    uint64_t refusedValue; /**< its requests their layer refused (a field's value) */
    uint64_t droppedStalled; /**< messages dropped while it did not read */
    uint64_t pendingBytes;   /**< now: bytes of a message waiting to be written to it */
    /* Its DSM requests on the radio (added later). */
    uint64_t txSent;       /**< datagrams that left */
    uint64_t txQueued;     /**< now: waiting in the transmit queue */
    uint64_t txExpired;    /**< dropped: their lifetime ran out while they waited */
    uint64_t txSuperseded; /**< dropped: replaced by a newer request for the same AID */
} tV2XCtlClient;
V2X_STATIC_ASSERT(offsetof(tV2XCtlClient, msgsIn) == 16, "tV2XCtlClient counters");
V2X_STATIC_ASSERT(offsetof(tV2XCtlClient, txSent) == 88, "tV2XCtlClient send counters");
V2X_STATIC_ASSERT(sizeof(tV2XCtlClient) == 120, "tV2XCtlClient is 120 bytes");

/** V2X_CTL_CLIENTS and V2X_CTL_SELF record of a core that has the congestion
 * gate: tV2XCtlClient (whose size callers of cv2x_app_conn_stats rely on),
 * then the drops of the connection's datagrams while the gate held them.
 * These count in neither txExpired nor txSuperseded. */
typedef struct _tV2XCtlClientEx_ {
    tV2XCtlClient c;            /**< as before */
    uint64_t txGatedExpired;    /**< dropped: their lifetime ran out at the gate */
    uint64_t txGatedSuperseded; /**< dropped: replaced at the gate by a newer request for the
                                   same AID */
} tV2XCtlClientEx;
V2X_STATIC_ASSERT(offsetof(tV2XCtlClientEx, txGatedExpired) == 120, "tV2XCtlClientEx gate counters");
V2X_STATIC_ASSERT(sizeof(tV2XCtlClientEx) == 136, "tV2XCtlClientEx is 136 bytes");

/** The core's identity and health at a glance (V2X_CTL_STATUS): what runs,
 * since when, where and for whom. Texts are NUL-terminated within their
 * field (cut when longer), empty when unknown. Like tV2XCoreStats, fields
 * are only ever appended, and a reader uses the size the core reports. */
typedef struct _tV2XCtlStatus_ {
    uint32_t size;           /**< bytes of this record that are filled */
    uint32_t version;        /**< V2X_CTL_VERSION */
    uint64_t startRealUs;    /**< when the core last started, CLOCK_REALTIME in microseconds;
                                  0 when it does not run */
    uint64_t uptimeMs;       /**< how long it has run since, by CLOCK_MONOTONIC */
    int32_t pid;             /**< the core's process */
    uint32_t appConnections; /**< application connections open now */
    uint32_t ctlConnections; /**< control connections open now (the asker's included) */
    uint32_t maxClients;     /**< the connection cap (v2x_sdk_dmn_serv_set_max_clit) */
    char libVersion[32];     /**< the library's version, "1.0.0" */
    char build[64];          /**< how it was built ("git 450b742, RelWithDebInfo"), or empty */
    char sockPath[108];      /**< the application socket's path */
    char station[32];        /**< the station's name (v2x_core_set_station_name), or empty */
} tV2XCtlStatus;
V2X_STATIC_ASSERT(offsetof(tV2XCtlStatus, startRealUs) == 8, "tV2XCtlStatus.startRealUs");
V2X_STATIC_ASSERT(offsetof(tV2XCtlStatus, pid) == 24, "tV2XCtlStatus.pid");
V2X_STATIC_ASSERT(offsetof(tV2XCtlStatus, libVersion) == 40, "tV2XCtlStatus texts");
V2X_STATIC_ASSERT(offsetof(tV2XCtlStatus, sockPath) == 136, "tV2XCtlStatus.sockPath");
V2X_STATIC_ASSERT(offsetof(tV2XCtlStatus, station) == 244, "tV2XCtlStatus.station");
V2X_STATIC_ASSERT(sizeof(tV2XCtlStatus) == 276, "tV2XCtlStatus is 276 bytes");

#pragma pack(pop)

/** Copies the core's counters into *aopStats. Set aopStats->size to the
 * size of the record you have (sizeof(tV2XCoreStats) of your header) first:
 * the core fills at most that much, and at most its own record, and sets
 * size to what it filled. Works whether or not the core runs (the counters
 * stay from its last run). Any thread; never blocks.
 * @param aopStats the record to fill; its size field set by the caller.
 * @retval 0 copied; aopStats->size says how many bytes.
 * @retval -ERR_V2X_PARM_CONT null, or size below 8. */
V2X_API int v2x_core_stats(tV2XCoreStats* aopStats);

V2X_EXTERN_C_END

#endif /* VESTRA_V2X_STATS_H */
