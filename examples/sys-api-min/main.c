/* sys-api-min: the smallest program of the simple system API.
 *
 * Starts the stack with its built-in board settings, sends one BSM-kind
 * message, prints the next five DSM messages that arrive with their kind,
 * and stops. Run it on a board whose interface towards the radio module
 * carries the default address (see cv2x_app_sys.h). */
#include <stdio.h>
#include <string.h>

#include <vestra/cv2x_app_sys.h>
#include <morrow/self_log.h>

/* The libraries read the log level of their host. */
eLogLevl gLogLevl = LOG_LEV_ERROR;

static const char* kind_name(uint32_t aid)
{
    static const char* const kinds[] = {"BSM", "RSI", "RSM", "MAP", "SPAT", "other"};
    return kinds[get_msg_type(aid)];
}

int main(void)
{
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
