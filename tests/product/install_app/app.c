// SPDX-License-Identifier: Apache-2.0
/* An application built out of tree against the installed libraries: it uses
 * headers of both, starts the application runtime on loopback, registers an
 * AID, checks a digest of libmorrow, its log settings read through libconfig
 * (linked by the libraries' own flags) and the message kinds of libvestra,
 * and stops. Prints "app: ok" when everything answered as documented.
 *
 * With -DV2X_FLAT_INCLUDES it includes the headers by their short names, as
 * programs of release 1.0 did (the compatibility include folders).
 *
 * usage: app SOCKET RCVPORT SENDPORT */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <libconfig.h>

#ifdef V2X_FLAT_INCLUDES
#include <cv2x_app.h>
#include <cv2x_app_sys.h>
#include <md5.h>
#include <self_log.h>
#else
#include <vestra/cv2x_app.h>
#include <vestra/cv2x_app_sys.h>
#include <morrow/md5.h>
#include <morrow/self_log.h>
#endif

eLogLevl gLogLevl = LOG_LEV_ERROR;

static int on_ind(uint8_t ver, const uint32_t aid, uint16_t len, const char* msg,
                  const char* mac, uint8_t prio)
{
    (void)ver, (void)aid, (void)len, (void)msg, (void)mac, (void)prio;
    return 0;
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: app SOCKET RCVPORT SENDPORT\n");
        return 2;
    }
    int bad = 0;
    if (get_msg_type(26) != MSG_TYPE_BSM || get_msg_type(31) != MSG_TYPE_MAX || get_mtu() != 1024) {
        fprintf(stderr, "app: message kinds or MTU wrong\n");
        bad = 1;
    }

    /* MD5("abc") = 900150983cd24fb0d6963f7d28e17f72 */
    struct md5_ctx ctx;
    unsigned char sum[16];
    md5_init_ctx(&ctx);
    md5_process_bytes("abc", 3, &ctx);
    md5_finish_ctx(&ctx, sum);
    if (sum[0] != 0x90 || sum[1] != 0x01 || sum[15] != 0x72) {
        fprintf(stderr, "app: md5 wrong\n");
        bad = 1;
    }

    config_t conf;
    config_init(&conf);
    tLogCfg log;
    memset(&log, 0, sizeof(log));
    if (config_read_string(&conf, "log = { logSaveMaxCnt = 77; };") != CONFIG_TRUE ||
        load_log_cfg(&log, "log", &conf) != 0 || log.logSaveMaxCnt != 77) {
        fprintf(stderr, "app: log settings not read\n");
        bad = 1;
    }
    config_destroy(&conf);

    tV2XSDKCfg cfg;
    memset(&cfg, 0, sizeof(cfg));
    snprintf(cfg.dmnNme, sizeof(cfg.dmnNme), "%s", argv[1]);
    snprintf(cfg.rcvIp, sizeof(cfg.rcvIp), "127.0.0.1");
    cfg.rcvPort = (uint16_t)atoi(argv[2]);
    snprintf(cfg.sendIp, sizeof(cfg.sendIp), "127.0.0.1");
    cfg.sendPort = (uint16_t)atoi(argv[3]);
    memset(cfg.macAddr, 0xFF, sizeof(cfg.macAddr));
    if (cv2x_app_init(&cfg) != 0) {
        fprintf(stderr, "app: cv2x_app_init failed\n");
        return 1;
    }
    tDMEDSMServReq req;
    memset(&req, 0, sizeof(req));
    req.action = DME_ACTION_ADD;
    req.appId = 26;
    const int rc = dme_dsm_serv_req(&req, NULL, on_ind);
    if (rc != 0) {
        fprintf(stderr, "app: registration failed: %d\n", rc);
        bad = 1;
    }
    cv2x_app_exit();
    if (!bad) {
        printf("app: ok\n");
    }
    return bad;
}
