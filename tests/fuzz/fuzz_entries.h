// SPDX-License-Identifier: Apache-2.0
// Entry functions shared by the libFuzzer targets (tests/fuzz/targets) and
// by the corpus replay test. Each takes one input, drives it through the
// code under test and aborts with a message on stderr when a property fails;
// the sanitizers catch what the properties cannot.
#ifndef V2X_FUZZ_ENTRIES_H
#define V2X_FUZZ_ENTRIES_H

#include <stddef.h>
#include <stdint.h>

namespace v2xfuzz {

// A datagram from the air through the radio link's hand-over with every AID
// registered: what reaches the application must be what the frame carried,
// and must encode back to the same frame.
int air_frame(const uint8_t* aipcData, size_t aicLen);

// A byte stream on an application connection to the core's daemon server,
// written in pieces of random size. Byte 0 chooses the pieces.
int app_stream(const uint8_t* aipcData, size_t aicLen);

// A byte stream from the core to the client library's reader (runtime
// thread reader and its reassembly), in pieces of random size. Byte 0
// chooses the pieces.
int client_reader(const uint8_t* aipcData, size_t aicLen);

// The same for the simple system API's blocking reader; byte 1 also chooses
// the size of the caller's buffer.
int sys_reader(const uint8_t* aipcData, size_t aicLen);

// Base64: encode then decode gives the bytes back; decoding arbitrary text
// into a buffer of exact size stays inside it.
int base64(const uint8_t* aipcData, size_t aicLen);

// AES-128-CBC on arbitrary lengths: decrypt(encrypt(x)) == x for the whole
// blocks, the tail is never touched.
int aes_cbc(const uint8_t* aipcData, size_t aicLen);

// Secured data from the air: what decodes encodes back to exactly the same
// bytes (the record, its signed part and each certificate of its chain),
// and the receive checks (chain, signatures, permissions, time, replay)
// take any of it without a fault.
int sec_data(const uint8_t* aipcData, size_t aicLen);

// A certificate: what decodes encodes back to exactly the same bytes, and
// its signed part to the bytes the decoder found for it.
int sec_cert(const uint8_t* aipcData, size_t aicLen);

struct Target {
    const char* name;  // also the corpus folder name
    int (*fn)(const uint8_t*, size_t);
};
extern const Target kTargets[];
extern const size_t kTargetCount;

}  // namespace v2xfuzz

#endif
