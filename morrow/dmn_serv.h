// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief Generic daemon server: a Unix-domain stream-socket server in
 * its own thread with its own libevent event base.
 *
 * It accepts any number of
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

/** @brief Result codes of the daemon server (the list of morrow_err.h with
 * the suffix _DMN).
 *
 * The codes and their values are the list in MORROW_ERR_CODES (see the
 * source of morrow_err.h).
 * Functions return the negative of a code. This server itself returns only
 * ERR_SOCKET_OPEN_DMN, ERR_SOCKET_LISTEN_DMN, ERR_SOCKET_BIND_DMN,
 * ERR_EVENT_NEW_DMN, ERR_PTHREAD_CREATE_DMN, ERR_EVENT_NEW_BASE_DMN and
 * ERR_LIBCFG_CFG_LOOKUP_DMN. */
typedef enum _eDmnServErrVal_ {
    MORROW_ERR_CODES(MORROW_ERR_ENUMERATOR, DMN)
    ERR_MAX_DMN = MORROW_ERR_MAX /**< end marker, one above the last code */
} eDmnServErrVal;

/** Size of the path field of a Unix-domain socket address: paths must be
 * shorter than this. */
#define DMN_SUN_PATH_MAX 108

/** Configuration of the daemon server. */
typedef struct _tDmnServCfg_ {
    char dmNme[256]; /**< listening socket path, zero-terminated, < 108 bytes */
} tDmnServCfg;

/** Link of the server's intrusive circular client list. */
typedef struct _tDmnLink_ {
    struct _tDmnLink_* next; /**< next link (the list head after the last) */
    struct _tDmnLink_* prev; /**< previous link (the list head before the first) */
} tDmnLink;

/** One accepted connection, owned by the server. */
typedef struct _tClitNetCon_ {
    tDmnLink hnode;         /**< the connection's link in the client list */
    int fd;                 /**< the connection's socket */
    struct event* pClitEt;  /**< the read event of the socket */
} tClitNetCon;

/** @brief Starts the server thread and returns at once.
 *
 * The socket is made inside the thread, so setup failures show only in the
 * log. The record is copied, so it need not outlive the call.
 *
 * @param aipcDmnServCfg the server's configuration (copied).
 * @retval 0 (SUCCESS_DMN) the thread was started.
 * @retval -11 (-ERR_PTHREAD_CREATE_DMN) the thread cannot be started, or the
 *         server already runs.
 * @retval -12 (-ERR_EVENT_NEW_BASE_DMN) libevent's thread support cannot be
 *         enabled.
 */
V2X_API int dmn_server_init(const tDmnServCfg* aipcDmnServCfg);

/** @brief Stops the thread and releases everything.
 *
 * Safe when never started or already stopped. The socket file the server
 * made is removed, also when _dmn_server_init made it on a host's own base;
 * a file someone else put at the path meanwhile (another inode) is left
 * alone.
 *
 * @retval 0 (SUCCESS_DMN) always.
 */
V2X_API int dmn_server_exit(void);

/** @brief Writes a message to every connected client.
 *
 * One non-blocking write per client; results are not examined, so a slow or
 * gone client misses the message or part of it.
 *
 * @param aipcMsg   the bytes to send; null sends nothing.
 * @param aicMsgLen number of bytes; 0 or less sends nothing.
 * @retval 0 (SUCCESS_DMN) always.
 */
V2X_API int dmn_serv_tx_clit_msg(const char* aipcMsg, const int aicMsgLen);

/** @brief Creates the listening socket and registers its accept event on the
 * given base.
 *
 * A socket file at the path that nobody answers on is removed first; other
 * kinds of file are left alone (-4100). Ignores SIGPIPE process-wide. The
 * client-list lock is static and needs no set-up by a host that runs this
 * on its own base.
 *
 * @param aipcEtBse     the host's event base that serves the socket.
 * @param aipcFeddogCfg the server's configuration (the socket path).
 * @retval 0 (SUCCESS_DMN) listening.
 * @retval -4096 (-ERR_SOCKET_OPEN_DMN) socket() failed.
 * @retval -4100 (-ERR_SOCKET_BIND_DMN) bind failed: also for a path of 108
 *         bytes or more, an empty path, a path at which a live server
 *         answers, or a file at the path that is not a socket.
 * @retval -4097 (-ERR_SOCKET_LISTEN_DMN) listen() failed.
 * @retval -13 (-ERR_EVENT_NEW_DMN) an event cannot be made, or a null
 *         argument.
 */
V2X_API int _dmn_server_init(const struct event_base* aipcEtBse, const tDmnServCfg* aipcFeddogCfg);

/** @brief Fills the configuration from a parsed libconfig configuration.
 *
 * Fills dmNme from the string "dmNme" of the group aicpcCfgNme (cut to 254
 * characters); an absent key leaves the caller's value.
 *
 * @param aopcDmnCfg  the record to fill.
 * @param aicpcCfgNme path of the group in the configuration.
 * @param aicpcCfg    the parsed configuration.
 * @retval 0 (SUCCESS_DMN) done.
 * @retval -15 (-ERR_LIBCFG_CFG_LOOKUP_DMN) the group is missing, or a null
 *         argument (record unchanged).
 */
V2X_API int load_dmn_serv_cfg(tDmnServCfg* aopcDmnCfg, const char* aicpcCfgNme,
                              const struct config_t* aicpcCfg);

V2X_EXTERN_C_END

#endif /* MORROW_DMN_SERV_H */
