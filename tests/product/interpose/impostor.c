// SPDX-License-Identifier: Apache-2.0
/* A library of another project that happens to define names libmorrow and
 * libvestra export. Each definition counts its calls and does what the real
 * one does not, so a caller can tell which definition it reached. Built
 * twice: without symbol versions, and with a version node of its own. */
#include <string.h>

#include "buffer.h"
#include "md5.h"

__attribute__((visibility("default"))) int impostor_calls;

__attribute__((visibility("default"))) void md5_init_ctx(struct md5_ctx* ctx)
{
    ++impostor_calls;
    memset(ctx, 0, sizeof(*ctx));
}

__attribute__((visibility("default"))) buffer_t* buffer_init(int size)
{
    (void)size;
    ++impostor_calls;
    return NULL;
}

/* libvestra's dsm_request_ex calls dsm_request. */
__attribute__((visibility("default"))) int dsm_request(const void* req)
{
    (void)req;
    ++impostor_calls;
    return 4242;
}
