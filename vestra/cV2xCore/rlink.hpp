// Radio link internals reachable from the library's tests.
#ifndef VESTRA_RLINK_HPP
#define VESTRA_RLINK_HPP

#include <stdint.h>

#include "rlink.h"

// Minimum gap between two datagrams to the radio module, in microseconds.
constexpr uint64_t RLINK_PACE_US = 70000;

// Hands one received datagram (protocol type, then the frame) to the
// adaptation layer. The bytes are the caller's and are only read during the
// call. 0 or a negated code.
V2X_API int _parse_rx_msg(const char* aipcMsg, const int aicLen);

// Port the receive socket is bound to (useful when rcvPort was 0), or -1.
V2X_API int rlink_rx_port(void);

// Number of sends since the process started that waited for the gap.
V2X_API unsigned long rlink_pause_count(void);

#endif
