// SPDX-License-Identifier: Apache-2.0
/* callback-client: the callback client library (cv2x_app.h) on one machine.
 *
 * Starts the stack in this process on loopback with its radio link sending
 * to its own receive port, so that every message it puts "on the air" comes
 * straight back as if another station had sent it. It registers two AIDs:
 *   26 (BSM)  with dme_dsm_serv_req:    plain indications;
 *   32        with dme_dsm_serv_req_rx: indications with the receive record
 *             (after cv2x_app_set_rx_info(1)).
 * Then it sends three messages, two with dsm_request and one with
 * dsm_request_ex and a lifetime, waits until all three came back, prints
 * them, and stops.
 *
 * Callbacks run on the library's runtime thread; main() waits for them on a
 * condition variable with a deadline, never with a blind sleep.
 *
 * Exit status: 0 when every message came back, 1 when something failed (a
 * line on standard error says what), 2 for a bad command line. */
#define _GNU_SOURCE /* getopt_long */
#include <errno.h>
#include <getopt.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <vestra/cv2x_app.h>

/* The project's build passes its version; built on its own against the
 * installed libraries, it has none. */
#ifndef V2X_VERSION
#define V2X_VERSION "unknown"
#endif

#define AID_PLAIN 26u  /* BSM: indications without the record */
#define AID_RECORD 32u /* indications with the receive record */
#define MSG_COUNT 3
#define WAIT_MS 5000 /* generous: the radio takes about 14 datagrams a second */

/* What the callbacks tell main(); guarded by lock. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed;
static int confirms;    /* registrations the core confirmed */
static int refusals;    /* registrations the core refused */
static int indications; /* messages that came back */
static int with_record; /* of which with a receive record holding a value */

static void bump(int* aopCounter)
{
    pthread_mutex_lock(&lock);
    ++*aopCounter;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}

/* The core's answer to a registration. */
static int on_cfm(const uint32_t aid, eDMERetCd ret)
{
    printf("confirm: aid=%u %s\n", (unsigned)aid, ret == DME_RET_ACCEPT ? "accepted" : "refused");
    bump(ret == DME_RET_ACCEPT ? &confirms : &refusals);
    return 0;
}

/* A plain indication. msg is the library's buffer, valid during the call
 * only, and not terminated: print it with its length. */
static int on_ind(uint8_t ver, const uint32_t aid, uint16_t len, const char* msg,
                  const char* peerMac, uint8_t prio)
{
    (void)peerMac; /* always broadcast: the radio link carries no address */
    (void)prio;    /* always 0 on receive */
    printf("indication: aid=%u ver=%u len=%u data='%.*s'\n", (unsigned)aid, (unsigned)ver,
           (unsigned)len, (int)len, msg);
    bump(&indications);
    return 0;
}

/* An indication with its receive record. Only the fields whose flag is set
 * hold a value; on loopback the datagrams carry no radio measurements, so
 * only the receive time is there. */
static int on_ind_rx(const uint32_t aid, uint16_t len, const char* msg, const tDSMRxInfo* info)
{
    printf("indication: aid=%u len=%u data='%.*s'\n", (unsigned)aid, (unsigned)len, (int)len, msg);
    printf("  record: size=%u ver=%u flags=0x%02x", (unsigned)info->size, (unsigned)info->dsmpVer,
           (unsigned)info->flags);
    if (info->flags & V2X_RX_INFO_HAS_TIME) {
        printf(" rx_mono_us=%llu", (unsigned long long)info->rxMonoUs);
    }
    if (info->flags & V2X_RX_INFO_HAS_SRC) {
        printf(" src=%06x", (unsigned)info->srcL2Id);
    }
    if (info->flags & V2X_RX_INFO_HAS_RSSI) {
        printf(" rssi=%.1fdBm", info->rssiHalfDb / 2.0);
    }
    if (info->flags & V2X_RX_INFO_HAS_CBR) {
        printf(" cbr=%u/1000", (unsigned)info->cbrPermille);
    }
    printf(" security=%u\n", (unsigned)info->secResult);
    if (info->flags != 0) {
        bump(&with_record);
    }
    bump(&indications);
    return 0;
}

/* Waits until *aipcCounter reaches aicWant or the deadline passes; whether
 * it did. The condition variable runs on the monotonic clock, so a change
 * of the wall clock cannot cut or stretch the wait. */
static int wait_for(const int* aipcCounter, int aicWant, int aicMs)
{
    struct timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += aicMs / 1000;
    end.tv_nsec += (long)(aicMs % 1000) * 1000000L;
    if (end.tv_nsec >= 1000000000L) {
        end.tv_sec += 1;
        end.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&lock);
    int rc = 0;
    while (*aipcCounter < aicWant && rc != ETIMEDOUT) {
        rc = pthread_cond_timedwait(&changed, &lock, &end);
    }
    const int reached = *aipcCounter >= aicWant;
    pthread_mutex_unlock(&lock);
    return reached;
}

static int read_counter(const int* aipcCounter)
{
    pthread_mutex_lock(&lock);
    const int v = *aipcCounter;
    pthread_mutex_unlock(&lock);
    return v;
}

/* Sends one message: the 270-byte tDSMReq head followed directly by its
 * data. With aipcOpt, through dsm_request_ex. */
static int send_text(uint32_t aicAid, const char* aipcText, const tDSMTxOpt* aipcOpt)
{
    char buf[sizeof(tDSMReq) + 64];
    const size_t len = strlen(aipcText);
    if (len > sizeof(buf) - sizeof(tDSMReq)) {
        return -ERR_V2X_SEND_LEN;
    }
    memset(buf, 0, sizeof(buf));
    tDSMReq* req = (tDSMReq*)buf;
    req->appId = aicAid;
    req->protTp = PROT_TP_DSMP;
    req->priority = 5;
    memset(req->peerMac, 0xFF, sizeof(req->peerMac)); /* broadcast */
    req->msgLen = (uint16_t)len;
    memcpy(buf + sizeof(tDSMReq), aipcText, len);
    return aipcOpt != NULL ? dsm_request_ex(req, aipcOpt) : dsm_request(req);
}

static const char usage[] =
    "usage: callback-client [-s SOCKET] [-p PORT]\n"
    "\n"
    "Starts the stack on loopback with its radio link looped back to itself,\n"
    "registers two AIDs, sends three messages and waits until they come back.\n"
    "\n"
    "  -s, --socket PATH  the application socket\n"
    "                     (default /tmp/callback-client-PID.sock)\n"
    "  -p, --port PORT    the radio link's UDP port on 127.0.0.1 (default 47350)\n"
    "  -h, --help         this text\n"
    "      --version      the version\n"
    "\n"
    "Exit status: 0 when every message came back, 1 on a failure, 2 for a bad\n"
    "command line.\n";

int main(int argc, char** argv)
{
    char sock[108];
    snprintf(sock, sizeof(sock), "/tmp/callback-client-%ld.sock", (long)getpid());
    long port = 47350;
    static const struct option opts[] = {{"socket", required_argument, NULL, 's'},
                                         {"port", required_argument, NULL, 'p'},
                                         {"help", no_argument, NULL, 'h'},
                                         {"version", no_argument, NULL, 'V'},
                                         {NULL, 0, NULL, 0}};
    for (int c; (c = getopt_long(argc, argv, "s:p:h", opts, NULL)) != -1;) {
        char* end = NULL;
        switch (c) {
        case 's':
            if (strlen(optarg) >= sizeof(sock)) {
                fprintf(stderr, "callback-client: socket path longer than 107 bytes\n");
                return 2;
            }
            snprintf(sock, sizeof(sock), "%s", optarg);
            break;
        case 'p':
            port = strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || port < 1 || port > 65535) {
                fprintf(stderr, "callback-client: bad port '%s'\n", optarg);
                return 2;
            }
            break;
        case 'h':
        case 'V':
            fputs(c == 'h' ? usage : "callback-client (vestra) " V2X_VERSION "\n", stdout);
            return 0;
        default:
            fputs(usage, stderr);
            return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "callback-client: unexpected argument '%s'\n%s", argv[optind], usage);
        return 2;
    }
    /* Lines appear at once also when the output is a file or a pipe. */
    setvbuf(stdout, NULL, _IOLBF, 0);

    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&changed, &ca);
    pthread_condattr_destroy(&ca);

    /* The radio link receives on 127.0.0.1:port and sends to the same
     * address: the core hears its own datagrams. */
    tV2XSDKCfg cfg;
    memset(&cfg, 0, sizeof(cfg));
    snprintf(cfg.dmnNme, sizeof(cfg.dmnNme), "%s", sock);
    snprintf(cfg.rcvIp, sizeof(cfg.rcvIp), "127.0.0.1");
    snprintf(cfg.sendIp, sizeof(cfg.sendIp), "127.0.0.1");
    cfg.rcvPort = (uint16_t)port;
    cfg.sendPort = (uint16_t)port;
    memset(cfg.macAddr, 0xFF, sizeof(cfg.macAddr));
    int rc = cv2x_app_init(&cfg);
    if (rc != 0) {
        /* Nothing runs; the library's ERROR line names the address. */
        fprintf(stderr, "callback-client: cv2x_app_init failed: %d\n", rc);
        pthread_cond_destroy(&changed);
        return 1;
    }

    int failed = 0;
    /* Records with every indication from now on. The core takes this in
     * order with the registrations below, so their indications carry it. */
    rc = cv2x_app_set_rx_info(1);
    if (rc != 0) {
        fprintf(stderr, "callback-client: cv2x_app_set_rx_info failed: %d\n", rc);
        failed = 1;
    }

    /* Each application numbers its registrations from 0; the index calls
     * keep track of the numbers in use. */
    int idx[2] = {0, 0};
    tDMEDSMServReq reg;
    if (!failed) {
        get_dme_dsm_serv_req_index(&idx[0]);
        memset(&reg, 0, sizeof(reg));
        reg.index = (uint16_t)idx[0];
        reg.action = DME_ACTION_ADD;
        reg.appId = AID_PLAIN;
        rc = dme_dsm_serv_req(&reg, on_cfm, on_ind);
        if (rc == 0) {
            get_dme_dsm_serv_req_index(&idx[1]);
            reg.index = (uint16_t)idx[1];
            reg.appId = AID_RECORD;
            rc = dme_dsm_serv_req_rx(&reg, on_cfm, on_ind_rx);
        }
        if (rc != 0) {
            fprintf(stderr, "callback-client: registration failed: %d\n", rc);
            failed = 1;
        } else if (!wait_for(&confirms, 2, WAIT_MS)) {
            fprintf(stderr,
                    "callback-client: the core confirmed %d of 2 registrations (%d refused)\n",
                    read_counter(&confirms), read_counter(&refusals));
            failed = 1;
        }
    }

    if (!failed) {
        /* A lifetime: should the radio be busy for longer, the core drops
         * the message rather than send it late. */
        tDSMTxOpt opt;
        memset(&opt, 0, sizeof(opt));
        opt.lifetimeMs = 2000;
        const int r1 = send_text(AID_PLAIN, "hello 1 (dsm_request)", NULL);
        const int r2 = send_text(AID_PLAIN, "hello 2 (dsm_request_ex, 2 s lifetime)", &opt);
        const int r3 = send_text(AID_RECORD, "hello 3 (with a receive record)", NULL);
        printf("sent: %d %d %d\n", r1, r2, r3);
        if (r1 != 0 || r2 != 0 || r3 != 0) {
            fprintf(stderr, "callback-client: a send failed\n");
            failed = 1;
        } else if (!wait_for(&indications, MSG_COUNT, WAIT_MS)) {
            fprintf(stderr, "callback-client: %d of %d messages came back within %d ms\n",
                    read_counter(&indications), MSG_COUNT, WAIT_MS);
            failed = 1;
        } else if (read_counter(&with_record) != 1) {
            fprintf(stderr, "callback-client: the AID %u message came without a receive record\n",
                    AID_RECORD);
            failed = 1;
        }
    }

    /* From this thread, never from a callback: stops the runtime and the
     * core, and releases everything (registrations included). */
    cv2x_app_exit();
    pthread_cond_destroy(&changed);
    if (failed) {
        return 1;
    }
    printf("callback-client: ok, %d of %d messages came back\n", MSG_COUNT, MSG_COUNT);
    return 0;
}
