// SPDX-License-Identifier: Apache-2.0
// v2x-cert: what the commands share (exit statuses, hex and time text) and
// the `show` printer, which lives in show.cpp.
#ifndef V2X_CERT_HPP
#define V2X_CERT_HPP

#include <stddef.h>
#include <stdint.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sec_codec.hpp"
#include "sec_service.hpp"

namespace v2xcert {

// Exit statuses; `v2x-cert --help` lists them.
enum Exit : int {
    kExitOk = 0,
    kExitFail = 1,   // verify: the record was refused; otherwise the input does
                     // not decode or signing failed
    kExitUsage = 2,  // bad command line, or a file that cannot be read or written
};

enum Cmd : unsigned { kNone = 0, kRoot = 1, kIssue = 2, kShow = 4, kSign = 8, kVerify = 16 };

// The command line as read (options.cpp).
struct Options {
    Cmd cmd = kNone;
    const char* name = "";  // the command as typed
    const char *out = nullptr, *keyOut = nullptr, *issuer = nullptr, *issuerKey = nullptr;
    const char *cert = nullptr, *key = nullptr, *trust = nullptr;
    bool ca = false, force = false, json = false, randomId = false;
    uint32_t days = 365;
    bool hasStart = false, hasTime = false, hasNow = false;
    int64_t start = 0, time = 0, now = 0;  // Unix seconds
    std::vector<uint64_t> psids;
    sec::SignerKind signer = sec::SignerKind::Digest;
    sec::VerifyPolicy policy;
    std::vector<const char*> operands;
};

// Reads the command line into *aopOpt. Returns -1 when the command is to
// run; otherwise the exit status (kExitOk after --help or --version,
// kExitUsage after one line on stderr).
int parse(int argc, char** argv, Options* aopOpt);

// Writes "v2x-cert: " and the message as one line to stderr. Returns
// aicStatus.
__attribute__((format(printf, 2, 3))) int fail(int aicStatus, const char* aipcFmt, ...);

// Lower-case hex of the bytes.
std::string hex(const uint8_t* aipcData, size_t aicLen);
inline std::string hex(const sec::HashedId8& aicId)
{
    return hex(aicId.b, sizeof(aicId.b));
}

// ISO 8601 UTC text of a Time32 (whole seconds, "2026-12-09T12:00:00Z") and
// of a Time64 (with microseconds, "2026-12-09T12:00:00.000000Z"); "?" for a
// time the C library cannot render.
std::string utc_time32(uint64_t aicTime32);
std::string utc_time64(uint64_t aicTime64);

// A JSON string literal of the text, quotes included.
std::string json_str(const std::string& aicText);

// Prints a decoded certificate (aicBytes are its COER) or secured record,
// as indented text or as one JSON object on one line.
void print_certificate(FILE* aopOut, const sec::Certificate& aicCert, const uint8_t* aipcBytes,
                       size_t aicLen, bool aicJson);
void print_secured_data(FILE* aopOut, const sec::SecuredData& aicData, bool aicJson);

}  // namespace v2xcert

#endif
