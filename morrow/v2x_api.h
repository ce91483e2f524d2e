// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief Export and compile-time check macros shared by libmorrow and
 * libvestra. */
#ifndef V2X_API_H
#define V2X_API_H

/* The one export macro: the libraries build with hidden visibility, so only
 * declarations that carry it form the C ABI. */
#if defined(__GNUC__)
#define V2X_API __attribute__((visibility("default"))) /**< marks a declaration exported */
#else
#define V2X_API /**< marks a declaration exported (no effect without GCC attributes) */
#endif

#ifdef __cplusplus
#define V2X_EXTERN_C_BEGIN extern "C" { /**< opens the C linkage block of a header */
#define V2X_EXTERN_C_END }             /**< closes the C linkage block of a header */
/** Compile-time check in C++ and C alike. @param cond the condition.
 * @param msg the message when it fails. */
#define V2X_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define V2X_EXTERN_C_BEGIN /**< opens the C linkage block of a header (empty in C) */
#define V2X_EXTERN_C_END   /**< closes the C linkage block of a header (empty in C) */
/** Compile-time check in C++ and C alike. @param cond the condition.
 * @param msg the message when it fails. */
#define V2X_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#endif /* V2X_API_H */
