// SPDX-License-Identifier: Apache-2.0
/* The public headers of libmorrow compile as C (C11, warnings as errors) and
 * their calls link from C. Called from c_headers_test.cpp. Like any POSIX
 * header user under a strict -std=c11, a C host asks for the POSIX and
 * glibc-default interfaces (pthread types, the terminal speed constants). */
#define _DEFAULT_SOURCE 1
#include <string.h>

#include "aes.h"
#include "bbase64.h"
#include "buffer.h"
#include "dmn_serv.h"
#include "md5.h"
#include "popen2.h"
#include "self_dog.h"
#include "self_fifo.h"
#include "self_log.h"
#include "sha256.h"
#include "spinlock.h"
#include "unix_sock.h"
#include "xfuncs.h"

int morrow_c_headers_probe(void);

int morrow_c_headers_probe(void)
{
    int bad = 0;
    unsigned char d[16];
    struct md5_ctx m;
    md5_init_ctx(&m);
    md5_process_bytes("abc", 3, &m);
    md5_finish_ctx(&m, d);
    bad += d[0] != 0x90;

    struct sha256_ctx s;
    unsigned char h[32];
    sha256_init_ctx(&s);
    sha256_process_bytes("abc", 3, &s);
    sha256_finish_ctx(&s, h);
    bad += h[0] != 0xba;

    char b64[8];
    bad += bbase64_encode((const unsigned char*)"foo", 3, b64, sizeof(b64)) != 4;

    spinlock_t sl;
    spinlock_init(&sl);
    bad += spinlock_try_lock(&sl) != 1;
    spinlock_unlock(&sl);

    int store[2];
    int v = 5;
    tFifo f;
    fifo_init(&f, store, sizeof(int), 2);
    bad += fifo_add_one(&f, &v) != 1;

    tDmnServCfg dc;
    tFeddogCfg fc;
    tLogCfg lc;
    memset(&dc, 0, sizeof(dc));
    memset(&fc, 0, sizeof(fc));
    memset(&lc, 0, sizeof(lc));
    bad += sizeof(tWthdogFed) != 128;
    bad += (int)ERR_SOCKET_BIND_DMN != 4100 || (int)ERR_SOCKET_CONNECT_DOG != 4098;
    bad += (int)ERR_LOG_PARM_CONT != 40960;
    bad += xorCheckSum("a", "a") != 'a';
    bad += tty_get_baudrate(9600) != B9600;

    struct sockaddr_un ua;
    socklen_t ul = 0;
    bad += unix_sock_addr("/tmp/x", UNIX_SOCK_PATH_MAX, &ua, &ul) != 0 || ul != 2 + 6;
    bad += unix_sock_live("", 1) != 0;

    uint8_t key[16] = {0};
    uint8_t blk[16] = {0};
    uint8_t out[16];
    AES128_ECB_encrypt(blk, key, out);
    bad += out[0] != 0x66; /* AES-128 of zero block under zero key: 66e94bd4... */
    return bad;
}
