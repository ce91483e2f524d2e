// SPDX-License-Identifier: Apache-2.0
// Issuing explicit certificates: for test chains (v2x-cert, the tests and
// the benchmark), not for a production authority.
#ifndef VESTRA_SEC_ISSUE_HPP
#define VESTRA_SEC_ISSUE_HPP

#include <stddef.h>
#include <stdint.h>

#include "sec_codec.hpp"
#include "sec_crypto.hpp"

namespace sec {

struct IssueParams {
    bool ca = false;             // may issue others (certIssuePermissions: all)
    uint32_t start = 0;          // Time32
    DurationUnit unit = DurationUnit::Hours;
    uint16_t value = 24 * 365;
    const uint64_t* psids = nullptr;  // appPermissions, none when 0
    size_t psidCount = 0;
    uint8_t id[8] = {};          // binaryId; all zero: id none
};

// Writes a certificate for the subject's key, signed by the issuer (its
// certificate and key), or self-signed when aipcIssuer is null (aipIssuerKey
// then signs too, and must be the subject's key). Ok, NoRoom, or Invalid
// (more than kMaxPsids PSIDs, a key that cannot be compressed, signing
// failed).
CodecResult issue_certificate(const IssueParams& aicParams, EVP_PKEY* aipSubjectKey,
                              const uint8_t* aipcIssuer, size_t aicIssuerLen,
                              EVP_PKEY* aipIssuerKey, uint8_t* aopOut, size_t aicCap,
                              size_t* aopLen);

// The duration unit and value that cover aicDays: hours while they fit a
// Uint16, else years (rounded up).
void duration_for_days(uint32_t aicDays, DurationUnit* aopUnit, uint16_t* aopValue);

}  // namespace sec

#endif
