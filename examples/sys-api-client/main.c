// SPDX-License-Identifier: Apache-2.0
/* sys-api-client: the blocking system API (cv2x_app_sys.h) on one machine.
 *
 * v2x_system_init starts a core with fixed settings that address a board's
 * radio module, so on a desktop this program runs the core itself instead:
 * v2x_core_init starts it on loopback with its radio link sending to its own
 * receive port (every message it sends comes straight back), and
 * v2x_system_attach then connects the system API to it, as it would to a
 * core another process runs. With --attach it joins such a core instead
 * (v2x-station --serve, for example); its messages come back only when
 * that core's radio loops them back or another station echoes them.
 *
 * It writes a message with v2x_system_write and reads it back with
 * v2x_system_read; then asks for receive records (v2x_system_set_rx_info),
 * writes one with v2x_system_write_ex and a lifetime, and reads it back with
 * v2x_system_read_rx, printing the record.
 *
 * v2x_system_read blocks until a message arrives: an alarm ends the program
 * with a clear message should nothing come back.
 *
 * Exit status: 0 when both messages came back, 1 when something failed (a
 * line on standard error says what), 2 for a bad command line. */
#define _GNU_SOURCE /* getopt_long, sigaction */
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vestra/cv2x_app_sys.h>

#ifndef V2X_VERSION
#define V2X_VERSION "unknown"
#endif

#define WAIT_S 10      /* generous: the radio takes about 14 datagrams a second */
#define MAX_OTHERS 100 /* other stations' messages read while looking for ours */

/* Only async-signal-safe calls here: the main thread may be inside a read. */
static void on_alarm(int aicSig)
{
    (void)aicSig;
    static const char msg[] = "sys-api-client: no message came back within 10 s\n";
    (void)!write(2, msg, sizeof(msg) - 1);
    _exit(1);
}

static const char* kind_name(uint32_t aid)
{
    static const char* const kinds[] = {"BSM", "RSI", "RSM", "MAP", "SPAT", "other"};
    return kinds[get_msg_type(aid)];
}

/* Reads until the message with exactly aipcText comes back; with aopRxInfo
 * through v2x_system_read_rx. 0 when it came, -1 when the core went away
 * or only others' messages came. */
static int read_back(const char* aipcText, tDSMRxInfo* aopRxInfo)
{
    const int want = (int)strlen(aipcText);
    char data[V2X_SYS_MAX_TX_DATA];
    tDSMRxParm rx;
    for (int others = 0; others < MAX_OTHERS;) {
        const int n = aopRxInfo != NULL
                          ? v2x_system_read_rx(data, (int)sizeof(data), &rx, aopRxInfo)
                          : v2x_system_read(data, (int)sizeof(data), &rx);
        if (n == -1) {
            fprintf(stderr, "sys-api-client: the core closed the connection\n");
            return -1;
        }
        if (n == 0) {
            continue; /* the confirm of the registration: no data */
        }
        if (n < 0) {
            fprintf(stderr, "sys-api-client: read: %d\n", n);
            ++others;
            continue;
        }
        printf("read: aid=%u kind=%s ver=%u len=%d data='%.*s'\n", (unsigned)rx.appId,
               kind_name(rx.appId), (unsigned)rx.dsmpVer, n, n, data);
        if (n == want && memcmp(data, aipcText, (size_t)n) == 0) {
            return 0;
        }
        ++others; /* another station's message */
    }
    fprintf(stderr, "sys-api-client: %d other messages, not ours\n", MAX_OTHERS);
    return -1;
}

static const char usage[] =
    "usage: sys-api-client [-s SOCKET] [-p PORT] [-a SOCKET]\n"
    "\n"
    "Runs a core on loopback with its radio link looped back to itself, writes\n"
    "two messages with the system API and reads them back.\n"
    "\n"
    "  -s, --socket PATH  the core's application socket\n"
    "                     (default /tmp/sys-api-client-PID.sock)\n"
    "  -p, --port PORT    the radio link's UDP port on 127.0.0.1 (default 47352)\n"
    "  -a, --attach PATH  start no core: join the one another process runs at PATH\n"
    "  -h, --help         this text\n"
    "      --version      the version\n"
    "\n"
    "Exit status: 0 when both messages came back, 1 on a failure, 2 for a bad\n"
    "command line.\n";

int main(int argc, char** argv)
{
    char sock[108];
    snprintf(sock, sizeof(sock), "/tmp/sys-api-client-%ld.sock", (long)getpid());
    long port = 47352;
    int attach = 0;
    static const struct option opts[] = {
        {"socket", required_argument, NULL, 's'}, {"port", required_argument, NULL, 'p'},
        {"attach", required_argument, NULL, 'a'}, {"help", no_argument, NULL, 'h'},
        {"version", no_argument, NULL, 'V'},      {NULL, 0, NULL, 0}};
    for (int c; (c = getopt_long(argc, argv, "s:p:a:h", opts, NULL)) != -1;) {
        char* end = NULL;
        switch (c) {
        case 's':
        case 'a':
            if (strlen(optarg) >= sizeof(sock)) {
                fprintf(stderr, "sys-api-client: socket path longer than 107 bytes\n");
                return 2;
            }
            snprintf(sock, sizeof(sock), "%s", optarg);
            attach = c == 'a';
            break;
        case 'p':
            port = strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || port < 1 || port > 65535) {
                fprintf(stderr, "sys-api-client: bad port '%s'\n", optarg);
                return 2;
            }
            break;
        case 'h':
        case 'V':
            fputs(c == 'h' ? usage : "sys-api-client (vestra) " V2X_VERSION "\n", stdout);
            return 0;
        default:
            fputs(usage, stderr);
            return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "sys-api-client: unexpected argument '%s'\n%s", argv[optind], usage);
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);

    if (!attach) {
        /* The core alone, on loopback: receives on 127.0.0.1:port and
         * sends there too, so it hears its own datagrams. */
        tV2XSDKCfg cfg;
        memset(&cfg, 0, sizeof(cfg));
        snprintf(cfg.dmnNme, sizeof(cfg.dmnNme), "%s", sock);
        snprintf(cfg.rcvIp, sizeof(cfg.rcvIp), "127.0.0.1");
        snprintf(cfg.sendIp, sizeof(cfg.sendIp), "127.0.0.1");
        cfg.rcvPort = (uint16_t)port;
        cfg.sendPort = (uint16_t)port;
        memset(cfg.macAddr, 0xFF, sizeof(cfg.macAddr));
        const int rc = v2x_core_init(&cfg);
        if (rc != 0) {
            fprintf(stderr, "sys-api-client: v2x_core_init failed: %d\n", rc);
            return 1;
        }
    }
    /* Connects and registers for every AID; the registration's confirm is
     * the first thing v2x_system_read returns (as 0). */
    int rc = v2x_system_attach(sock);
    if (rc != 0) {
        fprintf(stderr, "sys-api-client: v2x_system_attach(%s) failed: %d\n", sock, rc);
        v2x_core_exit(); /* safe when this process started none */
        return 1;
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, NULL);
    alarm(WAIT_S);

    int failed = 0;
    tDSMTxParm tx;
    memset(&tx, 0, sizeof(tx));
    tx.appId = 26; /* BSM */
    tx.protTp = PROT_TP_DSMP;
    tx.priority = 5;
    memset(tx.peerMac, 0xFF, sizeof(tx.peerMac));
    const char* first = "hello 1 (v2x_system_write)";
    rc = v2x_system_write(first, (int)strlen(first), &tx);
    printf("write: %d\n", rc);
    if (rc != (int)strlen(first) || read_back(first, NULL) != 0) {
        fprintf(stderr, "sys-api-client: the first message did not come back\n");
        failed = 1;
    }

    if (!failed) {
        /* From now on every message comes with its receive record. */
        rc = v2x_system_set_rx_info(1);
        if (rc != 0) {
            fprintf(stderr, "sys-api-client: v2x_system_set_rx_info failed: %d\n", rc);
            failed = 1;
        }
    }
    if (!failed) {
        tDSMTxOpt opt;
        memset(&opt, 0, sizeof(opt));
        opt.lifetimeMs = 2000; /* dropped rather than sent later than that */
        tx.appId = 30;         /* SPAT */
        const char* second = "hello 2 (v2x_system_write_ex, 2 s lifetime)";
        rc = v2x_system_write_ex(second, (int)strlen(second), &tx, &opt);
        printf("write: %d\n", rc);
        tDSMRxInfo info;
        memset(&info, 0, sizeof(info));
        if (rc != (int)strlen(second) || read_back(second, &info) != 0) {
            fprintf(stderr, "sys-api-client: the second message did not come back\n");
            failed = 1;
        } else {
            printf("  record: size=%u ver=%u flags=0x%02x rx_real_us=%llu security=%u\n",
                   (unsigned)info.size, (unsigned)info.dsmpVer, (unsigned)info.flags,
                   (unsigned long long)info.rxRealUs, (unsigned)info.secResult);
            if (!(info.flags & V2X_RX_INFO_HAS_TIME)) {
                fprintf(stderr, "sys-api-client: the message came without its receive time\n");
                failed = 1;
            }
        }
    }
    alarm(0);

    v2x_system_exit(); /* leaves the core running: it was attached */
    v2x_core_exit();   /* stops the core this process started, if any */
    if (failed) {
        return 1;
    }
    printf("sys-api-client: ok, both messages came back\n");
    return 0;
}
