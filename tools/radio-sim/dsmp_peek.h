// SPDX-License-Identifier: Apache-2.0
// Reading the AID of a radio datagram for the frame log, without trusting it.
#ifndef RADIO_SIM_DSMP_PEEK_H
#define RADIO_SIM_DSMP_PEEK_H

#include <cstddef>
#include <cstdint>

namespace radiosim {

enum class AidKind {
    kNone,  // the datagram ends before the AID, or the AID form is not one of ours
    kAid,   // a one- or two-byte AID
    kDme,   // the one-byte DME marker 0x87
};

struct AidPeek {
    AidKind kind = AidKind::kNone;
    uint32_t aid = 0;
};

// `dgram` is the whole UDP payload: one protocol-type byte, then a DSMP frame.
// Never reads dgram[len] or beyond.
AidPeek peek_aid(const uint8_t* dgram, size_t len);

// Where the data of a DSMP frame lies inside its datagram.
struct DataPeek {
    AidPeek aid;
    size_t off = 0;  // first data byte, counted from dgram[0]
    size_t len = 0;  // the length field's value
};

// True when `dgram` is a DSMP datagram (protocol type 4) with a one- or
// two-byte AID (not the DME marker) whose length field matches exactly the
// bytes after it, and at least one data byte: the frames receivers accept.
// Then `out` tells where the data is; dgram[out.off + out.len - 1] is its
// last byte and lies inside the datagram. Never reads dgram[len] or beyond.
bool peek_data(const uint8_t* dgram, size_t len, DataPeek& out);

// Writes the AID column ("32", "dme" or "-") into `out` (at least 12 bytes).
void format_aid(const AidPeek& peek, char* out, size_t outSize);

}  // namespace radiosim

#endif
