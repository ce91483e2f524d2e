// SPDX-License-Identifier: Apache-2.0
// IEEE 1609.2 secured data and explicit certificates in canonical OER
// (COER): the members this stack signs, verifies and issues.
//
// Decoded records hold views (Span) into the bytes they were decoded from,
// so decoding allocates nothing; the caller keeps those bytes alive while it
// uses the record. Encoders write into a caller's buffer and fail, writing
// nothing usable, when it is too small.
#ifndef VESTRA_SEC_CODEC_HPP
#define VESTRA_SEC_CODEC_HPP

#include <stddef.h>
#include <stdint.h>

namespace sec {

// A view of bytes owned by someone else.
struct Span {
    const uint8_t* p = nullptr;
    size_t n = 0;
    bool empty() const { return n == 0; }
};

constexpr uint8_t kProtocolVersion = 3;
constexpr uint8_t kCertVersion = 3;
// Deepest chain accepted (signer certificate included).
constexpr size_t kMaxChain = 4;
// Application permissions kept per certificate.
constexpr size_t kMaxPsids = 16;

// HashedId8: the last 8 bytes of SHA-256 over a certificate's COER.
struct HashedId8 {
    uint8_t b[8] = {};
};

// EccP256CurvePoint. Choice indices as on the wire: x-only 0, fill 1
// (refused), compressed-y-0 2, compressed-y-1 3, uncompressed 4.
enum class PointForm : uint8_t { XOnly = 0, CompressedY0 = 2, CompressedY1 = 3, Uncompressed = 4 };
struct EccP256Point {
    PointForm form = PointForm::XOnly;
    uint8_t x[32] = {};
    uint8_t y[32] = {};  // only for Uncompressed
};

// EcdsaP256Signature (Signature choice ecdsaNistP256Signature). Other
// signature choices are refused as Unsupported.
struct EcdsaP256Sig {
    EccP256Point r;
    uint8_t s[32] = {};
};

// Duration choice indices: microseconds 0 ... years 6.
enum class DurationUnit : uint8_t {
    Microseconds = 0,
    Milliseconds = 1,
    Seconds = 2,
    Minutes = 3,
    Hours = 4,
    SixtyHours = 5,
    Years = 6
};
struct ValidityPeriod {
    uint32_t start = 0;  // Time32: TAI seconds since 2004-01-01
    DurationUnit unit = DurationUnit::Years;
    uint16_t value = 0;
    // Last TAI second of validity (start + duration, a year being 31556952
    // s as the standard's Duration comments say).
    uint64_t end() const;
};

struct PsidSsp {
    uint64_t psid = 0;
    Span ssp;  // the ServiceSpecificPermissions as encoded (choice tag on), empty if absent
};

enum class IssuerKind : uint8_t { Sha256AndDigest = 0, Self = 1 };
enum class CertIdKind : uint8_t { LinkageData = 0, Name = 1, BinaryId = 2, None = 3 };

// CertificateBase with type explicit. Members not interpreted (region,
// assurance level, certificate request permissions, encryption key) are kept
// as their encoded bytes so that a decoded certificate re-encodes to the
// same bytes; certIssuePermissions too (only its presence matters here).
struct Certificate {
    IssuerKind issuer = IssuerKind::Self;
    HashedId8 issuerDigest;        // for Sha256AndDigest
    CertIdKind idKind = CertIdKind::None;
    Span id;                       // linkage data, name or binary id as encoded after the tag
    uint8_t cracaId[3] = {};
    uint16_t crlSeries = 0;
    ValidityPeriod validity;
    Span region;                   // encoded GeographicRegion, empty if absent
    Span assuranceLevel;           // encoded SubjectAssurance, empty if absent
    bool hasAppPermissions = false;
    uint8_t psidCount = 0;
    PsidSsp psids[kMaxPsids];
    Span certIssuePermissions;     // encoded SequenceOfPsidGroupPermissions, empty if absent
    Span certRequestPermissions;   // likewise
    bool canRequestRollover = false;
    Span encryptionKey;            // encoded PublicEncryptionKey, empty if absent
    EccP256Point verifyKey;        // verificationKey ecdsaNistP256 (compressed on the wire)
    bool hasSignature = false;
    EcdsaP256Sig signature;
    Span toBeSigned;               // the toBeSigned bytes as received (decode only)
    Span whole;                    // the whole certificate as received (decode only)

    bool permits(uint64_t psid) const;
};

enum class ContentKind : uint8_t { Unsecured = 0, Signed = 1 };
enum class SignerKind : uint8_t { Digest = 0, Certificate = 1, Self = 2 };

// Ieee1609Dot2Data with unsecuredData, or signedData whose tbsData carries
// the payload as unsecured data (extDataHash refused as Unsupported).
struct SecuredData {
    ContentKind kind = ContentKind::Unsecured;
    Span payload;                  // the application's bytes
    // Signed only:
    uint64_t psid = 0;
    bool hasGenerationTime = false;
    uint64_t generationTime = 0;   // Time64: TAI microseconds since 2004-01-01
    bool hasExpiryTime = false;
    uint64_t expiryTime = 0;
    Span headerRest;               // other headerInfo members as encoded
    // The headerInfo presence bits of the members in headerRest (extension
    // 0x80, generationLocation 0x10, p2pcdLearningRequest 0x08,
    // missingCrlIdentifier 0x04, encryptionKey 0x02): the encoder cannot
    // tell them from headerRest's bytes alone. 0 with an empty headerRest.
    uint8_t headerRestBits = 0;
    Span tbsData;                  // ToBeSignedData as received (decode only)
    SignerKind signer = SignerKind::Digest;
    HashedId8 signerDigest;        // for Digest
    uint8_t certCount = 0;         // for Certificate: chain, signer first
    Span certs[kMaxChain];         // each certificate's bytes as received
    EcdsaP256Sig signature;
};

enum class CodecResult : uint8_t {
    Ok = 0,
    Truncated,    // a read passed the end (a length past the end included)
    Unsupported,  // a choice or option this stack does not take (unknown choice, other curve, implicit certificate)
    Invalid,      // a value the encoding forbids (wrong version, non-minimal length, trailing bytes, point form 1, too many certificates)
    NoRoom,       // encoder: the buffer is too small
};
const char* codec_result_name(CodecResult r);

// Decoders read exactly aicLen bytes: trailing bytes are Invalid.
CodecResult decode_certificate(const uint8_t* aipcData, size_t aicLen, Certificate& aoCert);
CodecResult decode_secured_data(const uint8_t* aipcData, size_t aicLen, SecuredData& aoData);

// Encoders. The certificate's verification key and the signature's r are
// written as given (callers canonicalise: key compressed, r x-only); Span
// members that hold encoded bytes are written as they are. *aopLen gets the
// length written. decode-then-encode gives back the same bytes.
CodecResult encode_certificate(const Certificate& aicCert, uint8_t* aopBuf, size_t aicCap, size_t* aopLen);
// Just the toBeSigned part (what the issuer signs).
CodecResult encode_cert_tbs(const Certificate& aicCert, uint8_t* aopBuf, size_t aicCap, size_t* aopLen);
// Unsecured: payload only. Signed: payload, psid, generation time (and
// expiry when set; headerRest written as it is), signer, signature.
CodecResult encode_secured_data(const SecuredData& aicData, uint8_t* aopBuf, size_t aicCap, size_t* aopLen);
// Just the ToBeSignedData of a signed record (what the signer signs).
CodecResult encode_tbs_data(const SecuredData& aicData, uint8_t* aopBuf, size_t aicCap, size_t* aopLen);

// Size of a digest-signed record for a payload of aicLen bytes and a PSID
// (93 + N for N < 128 and a PSID below 256).
size_t signed_data_len(size_t aicLen, uint64_t aicPsid, size_t aicSignerCertLen);

}  // namespace sec

#endif
