// SPDX-License-Identifier: Apache-2.0
/* sys-api-min: the smallest program of the simple system API.
 *
 * Starts the stack with its built-in board settings, sends one BSM-kind
 * message, prints the next five DSM messages that arrive with their kind,
 * and stops. Run it on a board whose interface towards the radio module
 * carries the default address (see cv2x_app_sys.h). */
#include <getopt.h>
#include <stdio.h>
#include <string.h>

#include <vestra/cv2x_app_sys.h>
#include <morrow/self_log.h>

/* The project's build passes its version; built on its own against the
 * installed libraries (as an application would be), it has none. */
#ifndef V2X_VERSION
#define V2X_VERSION "unknown"
#endif

/* The libraries read the log level of their host. */
eLogLevl gLogLevl = LOG_LEV_ERROR;

static const char* kind_name(uint32_t aid)
{
    static const char* const kinds[] = {"BSM", "RSI", "RSM", "MAP", "SPAT", "other"};
    return kinds[get_msg_type(aid)];
}

static const char usage[] =
    "usage: sys-api-min\n"
    "\n"
    "Starts the stack with the simple system API's built-in board settings, sends\n"
    "one BSM-kind message, prints the next five messages that arrive, and stops.\n"
    "\n"
    "  -h, --help     this text\n"
    "      --version  the version\n"
    "\n"
    "Exit status: 0 when done, 1 when the stack did not start, 2 for a bad command\n"
    "line.\n";

int main(int argc, char** argv)
{
    static const struct option opts[] = {
        {"help", no_argument, NULL, 'h'}, {"version", no_argument, NULL, 'V'}, {NULL, 0, NULL, 0}};
    for (int c; (c = getopt_long(argc, argv, "h", opts, NULL)) != -1;) {
        if (c == 'h' || c == 'V') {
            fputs(c == 'h' ? usage : "sys-api-min (vestra) " V2X_VERSION "\n", stdout);
            return 0;
        }
        fputs(usage, stderr);
        return 2;
    }
    if (optind < argc) {
        fprintf(stderr, "sys-api-min: unexpected argument '%s'\n%s", argv[optind], usage);
        return 2;
    }

    if (v2x_system_init() != 0) {
        fprintf(stderr, "sys-api-min: the stack did not start\n");
        v2x_system_exit();
        return 1;
    }

    tDSMTxParm tx;
    memset(&tx, 0, sizeof(tx));
    tx.appId = 26; /* BSM */
    tx.protTp = PROT_TP_DSMP;
    memset(tx.peerMac, 0xFF, sizeof(tx.peerMac));
    const char hello[] = "hello from sys-api-min";
    int rc = v2x_system_write(hello, (int)sizeof(hello) - 1, &tx);
    printf("write: %d\n", rc);

    char data[V2X_SYS_MAX_TX_DATA];
    tDSMRxParm rx;
    for (int got = 0; got < 5;) {
        rc = v2x_system_read(data, (int)sizeof(data), &rx);
        if (rc == -1) {
            break; /* the core went away */
        }
        if (rc > 0) {
            printf("aid=%u kind=%s len=%d\n", (unsigned)rx.appId, kind_name(rx.appId), rc);
            ++got;
        }
    }

    v2x_system_exit();
    return 0;
}
