// SPDX-License-Identifier: Apache-2.0
// Reading back the captures radio-sim writes (pcap_writer.h) for --replay:
// classic pcap (either byte order, micro- or nanosecond timestamps) and
// pcapng (section, interface and enhanced packet blocks, with opt_comment),
// of link type LINKTYPE_IPV4 carrying IPv4/UDP.
#ifndef RADIO_SIM_CAPTURE_READER_H
#define RADIO_SIM_CAPTURE_READER_H

#include <cstdint>
#include <string>
#include <vector>

namespace radiosim {

struct CapturedFrame {
    int64_t tsNs = 0;        // capture time
    uint32_t dstAddr = 0;    // IPv4 destination, host byte order
    uint16_t dstPort = 0;    // UDP destination port
    std::vector<uint8_t> payload;  // the UDP payload: the radio datagram
    std::string comment;     // pcapng opt_comment ("from=a to=b ..."), or empty
};

// Reads every UDP record of `path`; false with the reason in `err`.
bool read_capture(const std::string& path, std::vector<CapturedFrame>& out, std::string& err);

// The value of `key=` in a record's comment ("to" in "from=a to=b"), or "".
std::string comment_field(const std::string& comment, const std::string& key);

}  // namespace radiosim

#endif
