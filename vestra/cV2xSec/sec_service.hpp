// SPDX-License-Identifier: Apache-2.0
// The security services: a trust store that is also the cache of verified
// certificates, a verifier that applies the receive rules, and a signer.
// All three may be used from several threads at once (the worker pool).
#ifndef VESTRA_SEC_SERVICE_HPP
#define VESTRA_SEC_SERVICE_HPP

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <mutex>
#include <string>

#include "sec_codec.hpp"
#include "sec_crypto.hpp"

namespace sec {

// Why a record was refused, or Ok. The names are the counters' suffixes.
enum class VerifyResult : uint8_t {
    Ok = 0,
    Malformed,         // does not decode, or a chain deeper than kMaxChain, or a key not on the curve
    BadSignature,      // the record's or a certificate's signature does not verify
    UnknownSigner,     // a digest (or an issuer) not in the store, or no path to a trust anchor
    Expired,           // a certificate of the chain is not valid at the generation time
    PsidNotPermitted,  // the signer certificate does not permit the record's PSID
    Stale,             // generation time missing, or outside the window around the receiver's clock
    Replay,            // the same signer, generation time and tbsData seen within the window
    Unsigned,          // unsecured data where the profile asks for a signature
};
const char* verify_result_name(VerifyResult r);

// A certificate the store knows, with what verifying against it needs.
struct KnownCert {
    HashedId8 id;
    HashedId8 issuer;          // own id for an anchor
    bool anchor = false;
    bool chainChecked = false; // its chain up to an anchor verified
    uint8_t hash[32] = {};     // SHA-256 of its COER (the signing digest's second half)
    Pkey key;                  // its verification key
    uint64_t validFrom = 0;    // Time32, intersected with its issuers' once chain-checked
    uint64_t validTo = 0;
    uint8_t psidCount = 0;
    uint64_t psids[kMaxPsids] = {};
    uint8_t depth = 1;         // certificates from it up to its anchor, itself included
    bool permits(uint64_t psid) const;
};

// Trust anchors (self-signed certificates that verify) and every other
// certificate learned: from the trust folder or from received chains. Known
// certificates are looked up by HashedId8, so a known signer costs one
// verification. Bounded: when full, the least recently added non-anchor
// entry goes.
class TrustStore {
public:
    explicit TrustStore(size_t aicCapacity = 1024);
    ~TrustStore();
    TrustStore(const TrustStore&) = delete;
    TrustStore& operator=(const TrustStore&) = delete;

    // Reads every regular file of the folder as a certificate: a
    // self-signed one that verifies is an anchor, any other a known
    // intermediate (chain-checked when first used). Returns the number of
    // certificates taken, or -1 (*aopWhy says which file and why).
    int load_dir(const char* aipcDir, std::string* aopWhy);
    // One certificate's COER; anchors must be self-signed and verify.
    bool add(const uint8_t* aipcCert, size_t aicLen, bool aicAnchor, std::string* aopWhy);

    // The entry for an id, chain-checked (verifying the path up to an anchor
    // on first use), or null with *aopWhy set (UnknownSigner, BadSignature,
    // Expired is not decided here).
    std::shared_ptr<const KnownCert> find_checked(const HashedId8& aicId, VerifyResult* aopWhy);
    // Takes a received certificate whose issuer is known; verifies it against
    // the issuer and caches it. Ok, or why not. *aopNew (when given) tells
    // whether this call added it (false when it was already known).
    VerifyResult learn(const uint8_t* aipcCert, size_t aicLen, std::shared_ptr<const KnownCert>* aopOut,
                       bool* aopNew = nullptr);

    size_t size() const;
    size_t anchors() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Receive rules beside the signature.
struct VerifyPolicy {
    uint64_t windowBackUs = 30000000;  // generation time at most this far behind the clock
    uint64_t windowAheadUs = 2000000;  // and at most this far ahead
    bool checkReplay = true;
    size_t replayCapacity = 4096;      // remembered records; the oldest go first when full
};

struct VerifyOut {
    Span payload;              // view into the record
    uint64_t psid = 0;
    uint64_t generationTime = 0;
    HashedId8 signer;          // the signer certificate's HashedId8
    bool signerWasNew = false; // the signer certificate came with the record and was not known
};

class Verifier {
public:
    Verifier(TrustStore& aoStore, const VerifyPolicy& aicPolicy);
    ~Verifier();
    // Verifies a secured record as received at aicNow (Time64). Checks, in
    // this order: decoding and chain depth; signer known or learnable;
    // signature; validity of every certificate at the generation time;
    // PSID permission; the time window; replay. Unsecured data gives
    // Unsigned (with the payload in aoOut).
    VerifyResult verify(const uint8_t* aipcData, size_t aicLen, uint64_t aicNow, VerifyOut& aoOut);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A station's signing identity: its certificate and private key.
class Signer {
public:
    Signer();
    ~Signer();
    // Loads the certificate (COER file) and the key (PEM, PKCS#8; refused
    // when group or others may read it). false with *aopWhy.
    bool load(const char* aipcCertPath, const char* aipcKeyPath, std::string* aopWhy);
    bool set(const uint8_t* aipcCert, size_t aicLen, Pkey aoKey, std::string* aopWhy);
    bool ready() const;
    const HashedId8& id() const;
    size_t cert_len() const;
    const uint8_t* cert() const;
    // Writes a signed record of the payload for the PSID, generated at
    // aicGenTime (Time64), signer as digest or as certificate.
    CodecResult sign(const uint8_t* aipcPayload, size_t aicLen, uint64_t aicPsid, uint64_t aicGenTime,
                     SignerKind aicKind, uint8_t* aopOut, size_t aicCap, size_t* aopLen) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sec

#endif
