// SPDX-License-Identifier: Apache-2.0
/* provider-user: provider and user services of the management entity
 * (dme_provider_serv_req, dme_user_serv_req) on one machine.
 *
 * Starts the stack in this process on loopback with its radio link sending
 * to its own receive port, and registers for the advertisements' AID (135)
 * like any other. It then
 *   - adds a provider service: the core advertises it on the air five times
 *     a second, with the provider's AID; the advertisements come straight
 *     back as indications, as another station would receive them;
 *   - adds the same provider again, which the core refuses (a duplicate);
 *   - adds a user service for the advertised AID;
 *   - deletes both,
 * printing every confirm and advertisement. Callbacks run on the library's
 * runtime thread; main() waits for each on a condition variable with a
 * deadline.
 *
 * Exit status: 0 when every confirm said what it should and the
 * advertisements went out and came back, 1 when something failed (a line
 * on standard error says what), 2 for a bad command line. */
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

#ifndef V2X_VERSION
#define V2X_VERSION "unknown"
#endif

#define SERVICE_AID V2X_AID_DSA /* 135: the AID advertisements go out with */
#define WAIT_MS 5000 /* generous: a confirm takes milliseconds, an advertisement 200 ms */

/* What the callbacks tell main(), guarded by lock: confirms of [0] provider,
 * [1] user requests, the last one's result, and advertisements received. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed;
static int answers[2];
static eDMERetCd last_ret[2];
static int registered; /* the registration for AID 135 was accepted */
static int adverts;

static const char* ret_name(eDMERetCd aicRet)
{
    switch (aicRet) {
    case DME_RET_ACCEPT:
        return "accepted";
    case DME_RET_REJ_VAL_ERR:
        return "refused (bad value or duplicate)";
    case DME_RET_REJ_NO_REASON:
        return "refused (table full)";
    }
    return "unknown";
}

static void record(int aicFamily, int aicLclAppId, eDMERetCd aicRet)
{
    printf("%s confirm: lclAppId=%d %s\n", aicFamily == 0 ? "provider" : "user", aicLclAppId,
           ret_name(aicRet));
    pthread_mutex_lock(&lock);
    last_ret[aicFamily] = aicRet;
    ++answers[aicFamily];
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}

static int on_prov(int lclAppId, eDMERetCd ret)
{
    record(0, lclAppId, ret);
    return 0;
}

static int on_user(int lclAppId, eDMERetCd ret)
{
    record(1, lclAppId, ret);
    return 0;
}

static void bump(int* aopCounter)
{
    pthread_mutex_lock(&lock);
    ++*aopCounter;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}

static int on_dsm_cfm(const uint32_t aid, eDMERetCd ret)
{
    printf("registration confirm: aid=%u %s\n", (unsigned)aid, ret_name(ret));
    if (ret == DME_RET_ACCEPT) {
        bump(&registered);
    }
    return 0;
}

/* An advertisement that came back: two header bytes, then the provider's
 * header-extension text. msg is valid during the call only. */
static int on_advert(uint8_t ver, const uint32_t aid, uint16_t len, const char* msg,
                     const char* peerMac, uint8_t prio)
{
    (void)ver, (void)peerMac, (void)prio;
    printf("advertisement: aid=%u len=%u text='%.*s'\n", (unsigned)aid, (unsigned)len,
           len > 2 ? (int)len - 2 : 0, len > 2 ? msg + 2 : "");
    bump(&adverts);
    return 0;
}

static struct timespec deadline(int aicMs)
{
    struct timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += aicMs / 1000;
    end.tv_nsec += (long)(aicMs % 1000) * 1000000L;
    if (end.tv_nsec >= 1000000000L) {
        end.tv_sec += 1;
        end.tv_nsec -= 1000000000L;
    }
    return end;
}

/* Waits for the next confirm of a family (the one after aicSeen); whether
 * it came within WAIT_MS and said aicWant. */
static int confirmed(int aicFamily, int aicSeen, eDMERetCd aicWant)
{
    const struct timespec end = deadline(WAIT_MS);
    pthread_mutex_lock(&lock);
    int rc = 0;
    while (answers[aicFamily] <= aicSeen && rc != ETIMEDOUT) {
        rc = pthread_cond_timedwait(&changed, &lock, &end);
    }
    const int came = answers[aicFamily] > aicSeen;
    const eDMERetCd ret = last_ret[aicFamily];
    pthread_mutex_unlock(&lock);
    if (!came) {
        fprintf(stderr, "provider-user: no %s confirm within %d ms\n",
                aicFamily == 0 ? "provider" : "user", WAIT_MS);
        return 0;
    }
    if (ret != aicWant) {
        fprintf(stderr, "provider-user: %s confirm %s, expected %s\n",
                aicFamily == 0 ? "provider" : "user", ret_name(ret), ret_name(aicWant));
        return 0;
    }
    return 1;
}

/* Sends a provider request and waits for its confirm. */
static int provider(const tDMEProvServReq* aipcReq, int* aiopSeen, eDMERetCd aicWant)
{
    const int rc = dme_provider_serv_req(aipcReq, on_prov);
    if (rc != 0) {
        fprintf(stderr, "provider-user: dme_provider_serv_req failed: %d\n", rc);
        return 0;
    }
    return confirmed(0, (*aiopSeen)++, aicWant);
}

static int user(const tDMEUserServReq* aipcReq, int* aiopSeen, eDMERetCd aicWant)
{
    const int rc = dme_user_serv_req(aipcReq, on_user);
    if (rc != 0) {
        fprintf(stderr, "provider-user: dme_user_serv_req failed: %d\n", rc);
        return 0;
    }
    return confirmed(1, (*aiopSeen)++, aicWant);
}

/* Waits until *aipcCounter reaches aicWant; whether it did within WAIT_MS. */
static int reached(const int* aipcCounter, int aicWant, const char* aipcWhat)
{
    const struct timespec end = deadline(WAIT_MS);
    pthread_mutex_lock(&lock);
    int rc = 0;
    while (*aipcCounter < aicWant && rc != ETIMEDOUT) {
        rc = pthread_cond_timedwait(&changed, &lock, &end);
    }
    const int got = *aipcCounter;
    pthread_mutex_unlock(&lock);
    if (got < aicWant) {
        fprintf(stderr, "provider-user: %d of %d %s within %d ms\n", got, aicWant, aipcWhat,
                WAIT_MS);
        return 0;
    }
    return 1;
}

static const char usage[] =
    "usage: provider-user [-s SOCKET] [-p PORT]\n"
    "\n"
    "Starts the stack on loopback with its radio link looped back to itself,\n"
    "adds a provider service and a user service, and prints their confirms.\n"
    "\n"
    "  -s, --socket PATH  the application socket\n"
    "                     (default /tmp/provider-user-PID.sock)\n"
    "  -p, --port PORT    the radio link's UDP port on 127.0.0.1 (default 47354)\n"
    "  -h, --help         this text\n"
    "      --version      the version\n"
    "\n"
    "Exit status: 0 when every confirm came as expected, 1 on a failure, 2 for a\n"
    "bad command line.\n";

int main(int argc, char** argv)
{
    char sock[108];
    snprintf(sock, sizeof(sock), "/tmp/provider-user-%ld.sock", (long)getpid());
    long port = 47354;
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
                fprintf(stderr, "provider-user: socket path longer than 107 bytes\n");
                return 2;
            }
            snprintf(sock, sizeof(sock), "%s", optarg);
            break;
        case 'p':
            port = strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || port < 1 || port > 65535) {
                fprintf(stderr, "provider-user: bad port '%s'\n", optarg);
                return 2;
            }
            break;
        case 'h':
        case 'V':
            fputs(c == 'h' ? usage : "provider-user (vestra) " V2X_VERSION "\n", stdout);
            return 0;
        default:
            fputs(usage, stderr);
            return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "provider-user: unexpected argument '%s'\n%s", argv[optind], usage);
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);

    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&changed, &ca);
    pthread_condattr_destroy(&ca);

    /* The radio link receives on 127.0.0.1:port and sends there too. */
    tV2XSDKCfg cfg;
    memset(&cfg, 0, sizeof(cfg));
    snprintf(cfg.dmnNme, sizeof(cfg.dmnNme), "%s", sock);
    snprintf(cfg.rcvIp, sizeof(cfg.rcvIp), "127.0.0.1");
    snprintf(cfg.sendIp, sizeof(cfg.sendIp), "127.0.0.1");
    cfg.rcvPort = (uint16_t)port;
    cfg.sendPort = (uint16_t)port;
    memset(cfg.macAddr, 0xFF, sizeof(cfg.macAddr));
    const int rc = cv2x_app_init(&cfg);
    if (rc != 0) {
        fprintf(stderr, "provider-user: cv2x_app_init failed: %d\n", rc);
        pthread_cond_destroy(&changed);
        return 1;
    }
    /* Advertisements arrive as DSM indications of their AID. */
    tDMEDSMServReq reg;
    memset(&reg, 0, sizeof(reg));
    reg.index = 0;
    reg.action = DME_ACTION_ADD;
    reg.appId = SERVICE_AID;
    int ok = 1;
    const int regRc = dme_dsm_serv_req(&reg, on_dsm_cfm, on_advert);
    if (regRc != 0) {
        fprintf(stderr, "provider-user: dme_dsm_serv_req failed: %d\n", regRc);
        ok = 0;
    }
    ok = ok && reached(&registered, 1, "registration confirms");

    int provSeen = 0, userSeen = 0;
    int provId = 0, userId = 0;
    get_dme_prov_serv_req_index(&provId);
    get_dme_user_serv_req_index(&userId);

    tDMEProvServReq prov;
    memset(&prov, 0, sizeof(prov));
    prov.lclAppId = (uint16_t)provId;
    prov.dmeAct = DME_ACTION_ADD;
    prov.appId = SERVICE_AID;
    prov.rptRte = 25; /* advertisements per 5 seconds: one every 200 ms */
    snprintf(prov.dsaHdrExt, sizeof(prov.dsaHdrExt), "parking");
    snprintf(prov.otherInfo, sizeof(prov.otherInfo), "level 2, 40 places");

    tDMEUserServReq usr;
    memset(&usr, 0, sizeof(usr));
    usr.lclAppId = (uint16_t)userId;
    usr.dmeAct = DME_ACTION_ADD;
    usr.dmeUsrReqTp = DME_USER_REQ_MATCH_AUTO_ACC;
    usr.appId = SERVICE_AID;
    snprintf(usr.otherInfo, sizeof(usr.otherInfo), "parking");

    /* Each step runs only when the one before it succeeded. */
    ok = ok && provider(&prov, &provSeen, DME_RET_ACCEPT);
    /* The same lclAppId again: the core keeps one service per number and
     * refuses it (its ERROR line says so too). */
    ok = ok && provider(&prov, &provSeen, DME_RET_REJ_VAL_ERR);
    ok = ok && user(&usr, &userSeen, DME_RET_ACCEPT);
    ok = ok && reached(&adverts, 2, "advertisements");
    prov.dmeAct = DME_ACTION_DEL;
    usr.dmeAct = DME_ACTION_DEL;
    ok = ok && provider(&prov, &provSeen, DME_RET_ACCEPT);
    ok = ok && user(&usr, &userSeen, DME_RET_ACCEPT);

    /* From this thread, never from a callback. */
    cv2x_app_exit();
    pthread_cond_destroy(&changed);
    if (!ok) {
        return 1;
    }
    printf("provider-user: ok, %d provider and %d user confirms\n", provSeen, userSeen);
    return 0;
}
