// SPDX-License-Identifier: Apache-2.0
/* Reports which definitions calls reached, in one line:
 *   digest=   md5 of "abc" by md5_buffer, which calls md5_init_ctx inside
 *             libmorrow
 *   dsm=      dsm_request_ex(NULL, NULL), which calls dsm_request inside
 *             libvestra (the real one refuses the null request)
 *   internal= calls the impostor library got during those two (-1: none
 *             is loaded)
 *   own_md5=, own_buffer=  whose md5_init_ctx and buffer_init this
 *             program's own references reached: morrow or impostor
 * Built twice: linked against the libraries alone (its references carry
 * their version nodes), and with the impostor linked ahead of them. */
#include <dlfcn.h>
#include <stdio.h>

#include "buffer.h"
#include "cv2x_app.h"
#include "md5.h"
#include "self_log.h"

eLogLevl gLogLevl = LOG_LEV_OFF;

static int impostor_calls(void)
{
    const int* n = (const int*)dlsym(RTLD_DEFAULT, "impostor_calls");
    return n != NULL ? *n : -1;
}

int main(void)
{
    unsigned char d[MD5_DIGEST_SIZE];
    md5_buffer("abc", 3, d);
    const int dsm = dsm_request_ex(NULL, NULL);
    const int internal = impostor_calls();

    struct md5_ctx ctx;
    md5_init_ctx(&ctx);
    buffer_t* b = buffer_init(10);
    printf("digest=");
    for (size_t i = 0; i < sizeof(d); ++i) {
        printf("%02x", d[i]);
    }
    printf(" dsm=%d internal=%d own_md5=%s own_buffer=%s\n", dsm, internal,
           ctx.A == 0x67452301u ? "morrow" : "impostor", b != NULL ? "morrow" : "impostor");
    buffer_free(b);
    return 0;
}
