// SPDX-License-Identifier: Apache-2.0
// Issuing explicit certificates: see sec_issue.hpp.
#include "sec_issue.hpp"

#include <string.h>

namespace sec {

namespace {

// certIssuePermissions of a CA: one PsidGroupPermissions with subject
// permissions `all` and every DEFAULT member left out (minChainLength 1,
// chainLengthRange 0, eeType {app}): quantity 1, the preamble (no
// extension, three DEFAULT members absent), the choice `all`.
constexpr uint8_t kIssueAll[] = {0x01, 0x01, 0x00, 0x81};

}  // namespace

void duration_for_days(uint32_t aicDays, DurationUnit* aopUnit, uint16_t* aopValue)
{
    const uint64_t hours = static_cast<uint64_t>(aicDays) * 24;
    if (hours <= 0xFFFF) {
        *aopUnit = DurationUnit::Hours;
        *aopValue = static_cast<uint16_t>(hours);
        return;
    }
    *aopUnit = DurationUnit::Years;
    const uint64_t years = (static_cast<uint64_t>(aicDays) + 364) / 365;
    *aopValue = static_cast<uint16_t>(years > 0xFFFF ? 0xFFFF : years);
}

CodecResult issue_certificate(const IssueParams& aicParams, EVP_PKEY* aipSubjectKey,
                              const uint8_t* aipcIssuer, size_t aicIssuerLen,
                              EVP_PKEY* aipIssuerKey, uint8_t* aopOut, size_t aicCap,
                              size_t* aopLen)
{
    if (aicParams.psidCount > kMaxPsids || aipSubjectKey == nullptr || aipIssuerKey == nullptr) {
        return CodecResult::Invalid;
    }
    Certificate c;
    if (aipcIssuer != nullptr) {
        c.issuer = IssuerKind::Sha256AndDigest;
        c.issuerDigest = hashed_id8(aipcIssuer, aicIssuerLen);
    } else {
        c.issuer = IssuerKind::Self;
    }
    static const uint8_t kZero[8] = {};
    uint8_t id[1 + sizeof(aicParams.id)] = {sizeof(aicParams.id)};  // binaryId: length, bytes
    if (memcmp(aicParams.id, kZero, sizeof(kZero)) != 0) {
        memcpy(id + 1, aicParams.id, sizeof(aicParams.id));
        c.idKind = CertIdKind::BinaryId;
        c.id = Span{id, sizeof(id)};
    }
    c.validity.start = aicParams.start;
    c.validity.unit = aicParams.unit;
    c.validity.value = aicParams.value;
    c.hasAppPermissions = aicParams.psidCount > 0;
    c.psidCount = static_cast<uint8_t>(aicParams.psidCount);
    for (size_t i = 0; i < aicParams.psidCount; ++i) {
        c.psids[i].psid = aicParams.psids[i];
    }
    if (aicParams.ca) {
        c.certIssuePermissions = Span{kIssueAll, sizeof(kIssueAll)};
    }
    if (!compressed_point(aipSubjectKey, c.verifyKey)) {
        return CodecResult::Invalid;
    }
    uint8_t tbs[1024];
    size_t tbsLen = 0;
    if (CodecResult rc = encode_cert_tbs(c, tbs, sizeof(tbs), &tbsLen); rc != CodecResult::Ok) {
        return rc;
    }
    uint8_t digest[32];
    signing_digest(tbs, tbsLen, aipcIssuer, aipcIssuer != nullptr ? aicIssuerLen : 0, digest);
    c.hasSignature = true;
    if (!sign_digest(aipIssuerKey, digest, c.signature)) {
        return CodecResult::Invalid;
    }
    return encode_certificate(c, aopOut, aicCap, aopLen);
}

}  // namespace sec
