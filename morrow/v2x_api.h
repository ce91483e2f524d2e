// SPDX-License-Identifier: Apache-2.0
/* Export and compile-time check macros shared by libmorrow and libvestra. */
#ifndef V2X_API_H
#define V2X_API_H

/* The one export macro: the libraries build with hidden visibility, so only
 * declarations that carry it form the C ABI. */
#if defined(__GNUC__)
#define V2X_API __attribute__((visibility("default")))
#else
#define V2X_API
#endif

#ifdef __cplusplus
#define V2X_EXTERN_C_BEGIN extern "C" {
#define V2X_EXTERN_C_END }
#define V2X_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define V2X_EXTERN_C_BEGIN
#define V2X_EXTERN_C_END
#define V2X_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#endif /* V2X_API_H */
