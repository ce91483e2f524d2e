// SPDX-License-Identifier: Apache-2.0
// The daemon server's parts and what they share (library-internal): the
// listener admits connections, a connection reads and writes its own
// stream, the dispatcher decodes each request once and hands it to its
// layer, the control part answers queries. The server object owns their
// state; every call here runs on the core thread unless it says otherwise.
#ifndef VESTRA_DMN_SERVER_HPP
#define VESTRA_DMN_SERVER_HPP

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <mutex>

#include "buffer.h"
#include "core_app_frame.hpp"
#include "dme_dsm.hpp"
#include "domn_serv.hpp"
#include "self_list.h"
#include "unix_sock.h"
#include "v2x_core.h"
#include "v2x_limits.h"

struct event;
struct event_base;

// What a connection is: told by its first message (a control hello or
// anything else), or by its silence (kDmnDecideMs). Until then it is served
// and shown as an application's but not yet counted as accepted.
enum ConnKind : uint8_t { kConnPending = 0, kConnApp = 1, kConnCtl = 2 };

// A connection that has sent nothing this long after its accept is taken
// for an application's. A control connection says what it is with its first
// message, written right after its connect, so it is never this slow.
constexpr int kDmnDecideMs = 200;

// One accepted connection, owned by the server.
struct tClitNetCon {
    struct list_head hnode;     // first member: node and record share an address
    struct list_head waitNode;  // in the wait list while reading is held back
    int fd;
    uint32_t connId;            // owner number of what the connection registers
    int32_t pid;                // the peer, as the kernel reported it at accept
    int32_t uid;
    // Counted on the core thread; the out side under txLk.
    uint64_t msgsIn;
    uint64_t bytesIn;
    uint64_t refusedLen;
    uint64_t refusedType;
    uint64_t refusedValue;
    uint64_t msgsOut;
    uint64_t bytesOut;
    uint64_t droppedStalled;
    // What became of its DSM requests on the radio (core thread).
    uint64_t txSent;
    uint64_t txExpired;
    uint64_t txSuperseded;
    // Dropped while the congestion gate held them.
    uint64_t txGatedExpired;
    uint64_t txGatedSuperseded;
    // Its DSM requests of AIDs that sign dropped before the radio link
    // (signing failed, the queue was full). Logged when the connection
    // ends; tV2XCtlClient keeps its size for cv2x_app_conn_stats.
    uint64_t txSecDropped;
    uint8_t waitPrio;           // the full queue it is held back for
    // ConnKind; written on the core thread under the client list's write
    // lock, so the broadcast (read lock, any thread) sees it whole.
    uint8_t kind;
    // It asked for a receive record with every indication; written on the
    // core thread under the client list's write lock, like kind.
    bool rxInfo;
    bool idleArmed;             // pIdleEt is pending for the message under way
    uint32_t rxSeq;             // messages completed or refused so far
    uint32_t idleSeq;           // rxSeq when pIdleEt was armed
    struct event* pClitEt;      // persistent read event
    struct event* pIdleEt;      // fires when an incomplete message was held too long
    struct event* pDecideEt;    // fires when a silent connection is taken for an application's
    // Reading, one message at a time: its header, then its payload. The
    // payload goes straight into the shared receive buffer when it is all
    // there; only a payload that is not is kept in rxCarry, allocated to
    // its length and released once the message is complete.
    CoreAppHdrIn rxHdr;
    uint32_t rxNeed;            // payload length, once the header is complete
    uint32_t rxHeld;            // payload bytes in rxCarry
    char* rxCarry;
    // Writing: the unwritten rest of one message; while it is pending,
    // later messages are dropped whole so the stream never holds a torn one.
    pthread_mutex_t txLk;
    struct event* pTxEt;        // one-shot write event that flushes txPend
    uint32_t txOff;
    uint32_t txLen;
    uint32_t txDropCnt;         // whole messages dropped in the current stall
    char txPend[V2X_CORE_APP_BUF_LEN];
};

// The listener's state: the listening socket's companions, the counts the
// admission rules read, and who may connect.
struct DmnListener {
    // The socket file the server made, removed at its exit while still its own.
    tUnixSockOwn own{};
    // Re-enables accepting after a rest for lack of descriptors.
    struct event* acceptEt = nullptr;
    bool acceptStall = false;
    // Accepted connections and the most allowed at once; of connCnt, the
    // application (and undecided) ones and the control ones.
    int connCnt = 0;
    int appCnt = 0;
    int ctlCnt = 0;
    std::atomic<int> connMax{V2X_DMN_SERV_MAX_CLIT_DEF};
    bool capSaid = false;
    bool shareSaid = false;
    // Who may use the socket: set from any thread before the core starts,
    // taken into servAccess by the server's start for its whole run.
    tV2XAccessCfg accessCfg{V2X_SOCK_MODE_DEF, -1, {0}};
    std::mutex accessMtx;
    tV2XAccessCfg servAccess{V2X_SOCK_MODE_DEF, -1, {0}};
    // Owner numbers of connections: counted up, never 0, never reused while
    // the process runs (a descriptor number is, at once).
    uint32_t lastConnId = 0;
};

// Sending defaults per AID: set from any thread, taken into the serv copy
// by the server's start for its whole run (core thread).
struct DmnTxDefaults {
    tV2XTxDefault set[V2X_TX_DEFAULTS_MAX];
    int setCnt = 0;
    std::mutex mtx;
    tV2XTxDefault serv[V2X_TX_DEFAULTS_MAX];
    int servCnt = 0;
};

// The server: its parts' state, the connections held back for room in the
// transmit queue and the idle rule.
struct DmnServer {
    DmnServer() { INIT_LIST_HEAD(&waitHd); }
    DmnListener listener;
    DmnTxDefaults txDefs;
    // Connections whose reading waits for room in the radio link's transmit
    // queue, in the order they found it full; served in that order.
    struct list_head waitHd;
    // Made active when the queue has room again; runs on the core's loop.
    struct event* resumeEt = nullptr;
    // How long an incomplete message may be held; tests shorten it.
    std::atomic<int> idleMs{V2X_DMN_SERV_IDLE_MS_DEF};
    // When the last connection was closed for it: a close within the
    // timeout of the previous one belongs to the same episode and is
    // counted, not logged.
    long long idleLastMs = -(1LL << 40);
    // Sends to clients; tests replace it to make short writes happen at will.
    std::atomic<fDmnSend> sendFn{::send};
    // The answer to a query is built here.
    char ctlBuf[V2X_CORE_APP_BUF_LEN];
    // Open connections that asked for receive records (core thread).
    int rxInfoConns = 0;
};

// The one server of the process, owned by the core object (core.cpp).
DmnServer& dmn_server();

// The client list and its lock (any thread reads it under the read lock).
extern struct list_head giContCltHd;
extern pthread_rwlock_t giContCltLk;

// --- the server (domn_serv.cpp) ---
// Closes one connection. With aicDropOwned, what it registered goes too (a
// stopping server leaves that to the layers' own exits). aicIdle: closed for
// holding an incomplete message too long, counted and logged by the caller.
void dmn_close_conn(tClitNetCon* c, bool aicDropOwned = true, bool aicIdle = false);
// Turns receive records on or off for connection c (and keeps the count).
void dmn_set_rx_info(tClitNetCon* c, bool aicOn);
// Says what connection c is, once (see ConnKind).
void dmn_set_kind(tClitNetCon* c, uint8_t aicKind);
void dmn_count_kinds();
// The open connection with this owner number, or null. Called with the
// client list's lock held.
tClitNetCon* dmn_find_conn(uint32_t aicConnId);
// A connection's socket is readable / a silent connection's time is up.
void dmn_conn_read_cb(int aicFd, short aicWhat, void* aipArg);
void dmn_decide_cb(int aicFd, short aicWhat, void* aipArg);

// --- a connection (dmn_conn.cpp) ---
enum class RxStep { Done, Wait, Closed, Full };
// Reads at most one message and processes it once it is complete. Done: one
// message handled (or refused); Wait: the socket has nothing more now;
// Closed: the connection is gone; Full: the next message is a DSM request
// and its priority's transmit queue has no room, so it stays where it is.
RxStep dmn_conn_read_one(tClitNetCon* c);
void dmn_conn_drop_carry(tClitNetCon* c);
// Holds part of a message its peer has not finished writing.
bool dmn_conn_holds_partial(const tClitNetCon* c);
// Starts, keeps or stops the idle clock of the message under way.
void dmn_conn_idle_watch(tClitNetCon* c);
void dmn_conn_idle_cb(int aicFd, short aicWhat, void* aipArg);
// Sends one whole message, or keeps its rest, or drops it whole. Called with
// the client list's read lock held; any thread.
void dmn_conn_tx_one(tClitNetCon* c, const char* aipcMsg, uint32_t aicLen);
void dmn_conn_tx_flush_cb(int aicFd, short aicWhat, void* aipArg);

// --- the listener (dmn_listener.cpp) ---
// Takes the access settings, checks the directory, listens on aipcName and
// registers the accept event. 0 or a negated code after its line.
int dmn_listen(const char* aipcName, struct event_base* aipBase);
// Releases the listening socket, its events and the socket file.
void dmn_listener_close();

// --- the dispatcher (dmn_dispatch.cpp) ---
// A request of connection c whose payload is complete, decoded once: for a
// DSM request the record that goes down, or why it cannot.
struct DmnReq {
    uint32_t type = 0;
    const char* pld = nullptr;   // into the receive buffer or the carry
    uint32_t len = 0;
    int decodeRc = 0;            // 0, or the refusal of a malformed DSM request
    DsmTxReq dsm;
};
bool dmn_is_dsm_req(uint32_t aicType);
// The header's length rule of its type: 0, or -ERR_V2X_RX_APP_FMT after the
// type's line, counted for the connection.
int dmn_check_header(tClitNetCon* c, uint32_t aicType, uint32_t aicLen);
// The transmit priority of the DSM request whose first bytes are at
// aipcHead (dmn_tx_class_len of them), its AID's defaults applied.
uint32_t dmn_tx_class_len(uint32_t aicType);
uint8_t dmn_tx_prio(uint32_t aicType, const char* aipcHead);
// Decodes a complete request once.
void dmn_decode(const tClitNetCon* c, uint32_t aicType, const char* aipcPld, uint32_t aicLen,
                DmnReq* aopReq);
// Hands a decoded request to its layer and counts a refusal for c.
int dmn_dispatch(tClitNetCon* c, const DmnReq& aicReq);
// Takes the sending defaults set so far for the server's run.
void dmn_take_tx_defaults();

// --- control queries (dmn_ctl.cpp) ---
// Answers one query to the asking connection alone.
void dmn_answer_query(tClitNetCon* c, const char* aipcPld);
// The core's start (its socket's path) and stop, as V2X_CTL_STATUS tells
// them: marked by the core (core.cpp) once it serves, cleared at release.
void dmn_status_started(const char* aipcSockPath);
void dmn_status_stopped();

#endif
