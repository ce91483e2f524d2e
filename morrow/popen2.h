// SPDX-License-Identifier: Apache-2.0
/* Small system helpers: XOR checksum, serial-line speed
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

/* XOR of all bytes from aicpcStartPtr up to and including aicpcEndPtr; 0
 * when the start lies after the end. */
V2X_API char xorCheckSum(const char* aicpcStartPtr, const char* aicpcEndPtr);

/* Terminal speed constant (B0 ... B4000000) for a rate in bits per second,
 * or (speed_t)-1 for an unsupported rate. */
V2X_API speed_t tty_get_baudrate(const int aicBaudRate);

/* Sets the soft and hard open-file limits to 40000: 0, -2 when the limit
 * cannot be read, -3 when it cannot be set (raising the hard limit needs the
 * privilege to do so). */
V2X_API int system_set_rlimit(void);

/* Finds the fe80::/10 address of interface aipcIface; prints every entry it
 * walks on standard output. 0 (also when no link-local address was found:
 * aopcAddr6 then holds the last IPv6 address examined, or is unchanged), or
 * -1 for null arguments or when the interface list cannot be read. */
V2X_API int get_linklocal_ipv6addr(struct in6_addr* aopcAddr6, const char* aipcIface);

/* New zero-terminated string of aicLen random letters and digits (or
 * decimal digits only); release with free. Reseeds the process-wide rand()
 * generator with the current second at every call. Null for INT_MAX (the
 * terminator would not fit) and on allocation
 * failure; an empty string for a length of 0 or less. */
V2X_API char* gen_random_string(const int aicLen);
V2X_API char* gen_random_number_string(const int aicLen);

/* Runs program with "/bin/sh -c" and returns a stream on its standard output
 * (type "r") or standard input (type "w"); null for any other type or on
 * failure. The shell is made the leader of a new process group of its own.
 * Not thread-safe: one thread at a time may open or close command streams. */
V2X_API FILE* popen2(char* program, char* type);

/* Closes a stream of popen2 and sends SIGTERM to the process group that
 * popen2 created for it (the shell and whatever it started), never to any
 * other process. Does not wait for the shell to end: reaping it is the
 * host's business. 0 when the signal was sent; -1 when the stream was not
 * opened by popen2 (it is then left open) or the group no longer exists. */
V2X_API int pclose2(FILE* iop);

V2X_EXTERN_C_END

#endif /* MORROW_POPEN2_H */
