// SPDX-License-Identifier: Apache-2.0
// ECDSA NIST P-256 and SHA-256 through OpenSSL 3's libcrypto, in the forms
// IEEE 1609.2 uses: compressed public keys, signatures as (r x-only, s),
// and the hash-of-hashes the signer signs.
#ifndef VESTRA_SEC_CRYPTO_HPP
#define VESTRA_SEC_CRYPTO_HPP

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

#include "sec_codec.hpp"

typedef struct evp_pkey_st EVP_PKEY;

namespace sec {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const;
};
// An OpenSSL key, freed with it.
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

void sha256(const void* aipcData, size_t aicLen, uint8_t aoOut[32]);
// The last 8 bytes of SHA-256 over the bytes (a certificate's COER).
HashedId8 hashed_id8(const uint8_t* aipcData, size_t aicLen);

// What 1609.2 signs: SHA-256( SHA-256(tbs) || SHA-256(signer) ), where
// signer is the signer certificate's COER, or empty for a self-signed one.
void signing_digest(const uint8_t* aipcTbs, size_t aicTbsLen, const uint8_t* aipcSigner,
                    size_t aicSignerLen, uint8_t aoOut[32]);
// The same with SHA-256(signer) already computed (a cached signer).
void signing_digest_h(const uint8_t* aipcTbs, size_t aicTbsLen, const uint8_t aicSignerHash[32],
                      uint8_t aoOut[32]);

// A new P-256 key pair, or null.
Pkey generate_key();
// The public key from a curve point (compressed or uncompressed; x-only
// refused), or null when the point is not on the curve.
Pkey public_key(const EccP256Point& aicPoint);
// The public key compressed (form CompressedY0 or CompressedY1).
bool compressed_point(EVP_PKEY* aipKey, EccP256Point& aoPoint);

// Signs a 32-byte digest; r is written x-only. false on failure.
bool sign_digest(EVP_PKEY* aipKey, const uint8_t aicDigest[32], EcdsaP256Sig& aoSig);
// Verifies a signature over a 32-byte digest: only r's x counts (any of its
// forms is accepted). true only when it verifies.
bool verify_digest(EVP_PKEY* aipKey, const uint8_t aicDigest[32], const EcdsaP256Sig& aicSig);

// Private keys as PEM, PKCS#8, unencrypted. load_private_key refuses a file
// that group or others may read (*aopWhy then says so) and cleanses the
// bytes it read. save_private_key creates the file with mode 0600.
Pkey load_private_key(const char* aipcPath, std::string* aopWhy);
bool save_private_key(EVP_PKEY* aipKey, const char* aipcPath, std::string* aopWhy);

}  // namespace sec

#endif
