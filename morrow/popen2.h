// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief Small system helpers: XOR checksum, serial-line speed
 * constants, the open-file limit, an interface's IPv6 link-local address,
 * random strings, and a pipe to a shell command (popen2/pclose2).
 * Base64 is in bbase64.h. From C under a strict -std=c11, define
 * _DEFAULT_SOURCE before any include (speed_t and the B* constants). */
#ifndef MORROW_POPEN2_H
#define MORROW_POPEN2_H

#include <netinet/in.h>
#include <stdio.h>
#include <termios.h>

#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

/** @brief XOR of all bytes from aicpcStartPtr up to and including
 * aicpcEndPtr.
 * @param aicpcStartPtr the first byte.
 * @param aicpcEndPtr   the last byte (included).
 * @return the XOR of the bytes; 0 when the start lies after the end (or
 *         either pointer is null).
 */
V2X_API char xorCheckSum(const char* aicpcStartPtr, const char* aicpcEndPtr);

/** @brief Terminal speed constant (B0 ... B4000000) for a rate in bits per
 * second.
 * @param aicBaudRate the rate in bits per second.
 * @return the speed constant.
 * @retval (speed_t)-1 an unsupported rate.
 */
V2X_API speed_t tty_get_baudrate(const int aicBaudRate);

/** @brief Sets the soft and hard open-file limits to 40000.
 * @retval 0  the limits were set.
 * @retval -2 the limit cannot be read.
 * @retval -3 the limit cannot be set (raising the hard limit needs the
 *            privilege to do so).
 */
V2X_API int system_set_rlimit(void);

/** @brief Finds the fe80::/10 address of an interface.
 *
 * Prints every entry it walks on standard output.
 *
 * @param aopcAddr6 receives the address.
 * @param aipcIface the interface's name.
 * @retval 0  done; also when no link-local address was found: aopcAddr6 then
 *            holds the last IPv6 address examined, or is unchanged.
 * @retval -1 null arguments, or the interface list cannot be read.
 */
V2X_API int get_linklocal_ipv6addr(struct in6_addr* aopcAddr6, const char* aipcIface);

/** @brief New zero-terminated string of aicLen random letters and digits.
 *
 * Release with free. Reseeds the process-wide rand() generator with the
 * current second at every call.
 *
 * @param aicLen number of characters.
 * @return the string; an empty string for a length of 0 or less.
 * @retval NULL aicLen is INT_MAX (the terminator would not fit), or
 *         allocation failure.
 */
V2X_API char* gen_random_string(const int aicLen);
/** @brief New zero-terminated string of aicLen random decimal digits.
 *
 * Release with free. Reseeds the process-wide rand() generator with the
 * current second at every call.
 *
 * @param aicLen number of digits.
 * @return the string; an empty string for a length of 0 or less.
 * @retval NULL aicLen is INT_MAX (the terminator would not fit), or
 *         allocation failure.
 */
V2X_API char* gen_random_number_string(const int aicLen);

/** @brief Runs a shell command with a pipe to its standard output or input.
 *
 * Runs program with "/bin/sh -c". The shell is made the leader of a new
 * process group of its own. Not thread-safe: one thread at a time may open
 * or close command streams.
 *
 * @param program the command line.
 * @param type    "r" to read the command's standard output, "w" to write
 *                its standard input.
 * @return a stream on the command's standard output (type "r") or standard
 *         input (type "w"); close it with pclose2.
 * @retval NULL any other type, or a failure.
 */
V2X_API FILE* popen2(char* program, char* type);

/** @brief Closes a stream of popen2 and stops its command.
 *
 * Sends SIGTERM to the process group that popen2 created for it (the shell
 * and whatever it started), never to any other process. Does not wait for
 * the shell to end: reaping it is the host's business.
 *
 * @param iop a stream that popen2 returned.
 * @retval 0  the signal was sent.
 * @retval -1 the stream was not opened by popen2 (it is then left open), or
 *            the group no longer exists (the stream is closed all the same).
 */
V2X_API int pclose2(FILE* iop);

V2X_EXTERN_C_END

#endif /* MORROW_POPEN2_H */
