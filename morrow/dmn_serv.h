// SPDX-License-Identifier: Apache-2.0
/* Generic daemon server: a Unix-domain stream-socket server in
 * its own thread with its own libevent event base. It accepts any number of
 * local clients, drops each on its first read error or end of stream, reads
 * and discards what clients send, and lets the host broadcast bytes to all
 * connected clients. */
#ifndef MORROW_DMN_SERV_H
#define MORROW_DMN_SERV_H

#include "morrow_err.h"
#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

struct event_base;
struct event;
struct config_t;

/* Functions return the negative of a code. This server itself returns only
 * ERR_SOCKET_OPEN_DMN, ERR_SOCKET_LISTEN_DMN, ERR_SOCKET_BIND_DMN,
 * ERR_EVENT_NEW_DMN, ERR_PTHREAD_CREATE_DMN, ERR_EVENT_NEW_BASE_DMN and
 * ERR_LIBCFG_CFG_LOOKUP_DMN. */
typedef enum _eDmnServErrVal_ {
    MORROW_ERR_CODES(MORROW_ERR_ENUMERATOR, DMN)
    ERR_MAX_DMN = MORROW_ERR_MAX
} eDmnServErrVal;

/* Size of the path field of a Unix-domain socket address: paths must be
 * shorter than this. */
#define DMN_SUN_PATH_MAX 108

typedef struct _tDmnServCfg_ {
    char dmNme[256]; /* listening socket path, zero-terminated, < 108 bytes */
} tDmnServCfg;

/* Link of the server's intrusive circular client list. */
typedef struct _tDmnLink_ {
    struct _tDmnLink_* next;
    struct _tDmnLink_* prev;
} tDmnLink;

/* One accepted connection, owned by the server. */
typedef struct _tClitNetCon_ {
    tDmnLink hnode;
    int fd;
    struct event* pClitEt;
} tClitNetCon;

/* Starts the server thread and returns 0 at once; the socket is made inside
 * the thread, so setup failures show only in the log. The record is copied,
 * so it need not outlive the call. -11 when the thread cannot be started (or
 * the server already runs), -12 when libevent's thread support cannot be
 * enabled. */
V2X_API int dmn_server_init(const tDmnServCfg* aipcDmnServCfg);

/* Stops the thread and releases everything; 0. Safe when never started or
 * already stopped. The socket file the server made is removed, also when
 * _dmn_server_init made it on a host's own base; a file someone else put at
 * the path meanwhile (another inode) is left alone. */
V2X_API int dmn_server_exit(void);

/* Writes aicMsgLen bytes to every connected client, one non-blocking write
 * each; results are not examined. 0. */
V2X_API int dmn_serv_tx_clit_msg(const char* aipcMsg, const int aicMsgLen);

/* Creates the listening socket and registers its accept event on the given
 * base: 0, -4096 (socket), -4100 (bind: also for a path of 108 bytes or more,
 * an empty path, or a path at which a live server answers), -4097 (listen),
 * -13 (event). A socket file at the path that nobody answers on is removed
 * first; other kinds of file are left alone (-4100).
 * Ignores SIGPIPE process-wide. The client-list lock is static and needs no
 * set-up by a host that runs this on its own base. */
V2X_API int _dmn_server_init(const struct event_base* aipcEtBse, const tDmnServCfg* aipcFeddogCfg);

/* Fills dmNme from the string "dmNme" of the group aicpcCfgNme (cut to 254
 * characters); 0, or -15 when the group is missing (record unchanged). */
V2X_API int load_dmn_serv_cfg(tDmnServCfg* aopcDmnCfg, const char* aicpcCfgNme,
                              const struct config_t* aicpcCfg);

V2X_EXTERN_C_END

#endif /* MORROW_DMN_SERV_H */
