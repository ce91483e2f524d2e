// SPDX-License-Identifier: Apache-2.0
// ECDSA P-256 and SHA-256 on OpenSSL 3's EVP interfaces. Signatures are
// made and checked over a digest the caller computed (the hash of hashes),
// so the raw EVP_PKEY_sign / EVP_PKEY_verify calls are used, never the
// digest-and-sign ones, and (r, s) is converted to and from DER here.
#include "sec_crypto.hpp"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

namespace sec {

void PkeyFree::operator()(EVP_PKEY* p) const
{
    EVP_PKEY_free(p);
}

namespace {

constexpr const char* kGroupName = "prime256v1";

struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

struct GroupFree {
    void operator()(EC_GROUP* g) const { EC_GROUP_free(g); }
};
struct PointFree {
    void operator()(EC_POINT* p) const { EC_POINT_free(p); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};

// The curve, built once: building it costs more than decoding a point.
const EC_GROUP* p256()
{
    static const std::unique_ptr<EC_GROUP, GroupFree> g(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    return g.get();
}

// One DER INTEGER of a 32-byte big-endian unsigned value: leading zero
// bytes dropped (one kept for zero), a zero byte put back in front when the
// top bit is set. At most 35 bytes.
size_t der_integer(const uint8_t aicV[32], uint8_t* aopOut)
{
    size_t i = 0;
    while (i < 31 && aicV[i] == 0)
        ++i;
    const bool pad = (aicV[i] & 0x80) != 0;
    const size_t n = 32 - i + (pad ? 1 : 0);
    size_t o = 0;
    aopOut[o++] = 0x02;
    aopOut[o++] = static_cast<uint8_t>(n);
    if (pad)
        aopOut[o++] = 0;
    memcpy(aopOut + o, aicV + i, 32 - i);
    return o + 32 - i;
}

// ECDSA-Sig-Value (SEQUENCE of two INTEGERs) from r and s; at most 72 bytes,
// so the length is always one byte.
size_t der_signature(const uint8_t aicR[32], const uint8_t aicS[32], uint8_t aopOut[72])
{
    uint8_t body[70];
    size_t n = der_integer(aicR, body);
    n += der_integer(aicS, body + n);
    aopOut[0] = 0x30;
    aopOut[1] = static_cast<uint8_t>(n);
    memcpy(aopOut + 2, body, n);
    return n + 2;
}

// Reads the key's public point as an uncompressed or compressed octet string.
bool public_octets(EVP_PKEY* aipKey, uint8_t aoBuf[65], size_t* aopLen)
{
    if (!aipKey || !EVP_PKEY_is_a(aipKey, "EC"))
        return false;
    char group[32];
    size_t glen = 0;
    if (!EVP_PKEY_get_utf8_string_param(aipKey, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &glen) ||
        strcmp(group, kGroupName) != 0)
        return false;
    return EVP_PKEY_get_octet_string_param(aipKey, OSSL_PKEY_PARAM_PUB_KEY, aoBuf, 65, aopLen) == 1;
}

bool is_p256(EVP_PKEY* aipKey)
{
    uint8_t buf[65];
    size_t n = 0;
    return public_octets(aipKey, buf, &n);
}

// Verification contexts of the keys this thread verified with last. Setting
// up a context (the provider fetch and key export behind it) is a measurable
// share of a P-256 verification; a receiver sees the same few signers over
// and over. Each context holds a reference to its key, so a cached key
// cannot be freed and its address taken by another key while it is here;
// the few keys kept alive that way are released when the thread ends.
class VerifyCtxCache {
public:
    ~VerifyCtxCache()
    {
        for (Slot& s : slots_)
            EVP_PKEY_CTX_free(s.ctx);
    }
    EVP_PKEY_CTX* get(EVP_PKEY* aipKey)
    {
        for (Slot& s : slots_)
            if (s.key == aipKey)
                return s.ctx;
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(aipKey, nullptr);
        if (!ctx || EVP_PKEY_verify_init(ctx) != 1) {
            EVP_PKEY_CTX_free(ctx);
            return nullptr;
        }
        Slot& s = slots_[next_];
        next_ = (next_ + 1) % kSlots;
        EVP_PKEY_CTX_free(s.ctx);
        s.key = aipKey;
        s.ctx = ctx;
        return ctx;
    }

private:
    static constexpr size_t kSlots = 4;
    struct Slot {
        EVP_PKEY* key = nullptr;
        EVP_PKEY_CTX* ctx = nullptr;
    };
    Slot slots_[kSlots];
    size_t next_ = 0;
};

thread_local VerifyCtxCache tVerifyCtx;

// Passphrase callback that gives none: an encrypted key is refused rather
// than OpenSSL's default asking on the terminal, which would hang a daemon.
int no_passphrase(char*, int, int, void*)
{
    return -1;
}

void set_why(std::string* aopWhy, const std::string& aicWhy)
{
    if (aopWhy)
        *aopWhy = aicWhy;
}

}  // namespace

void sha256(const void* aipcData, size_t aicLen, uint8_t aoOut[32])
{
    // The one-shot call takes no provider fetch: the cheapest path for the
    // short inputs of the per-message digests.
    SHA256(static_cast<const unsigned char*>(aipcData), aicLen, aoOut);
}

HashedId8 hashed_id8(const uint8_t* aipcData, size_t aicLen)
{
    uint8_t h[32];
    sha256(aipcData, aicLen, h);
    HashedId8 id;
    memcpy(id.b, h + 24, 8);
    return id;
}

void signing_digest_h(const uint8_t* aipcTbs, size_t aicTbsLen, const uint8_t aicSignerHash[32], uint8_t aoOut[32])
{
    uint8_t both[64];
    sha256(aipcTbs, aicTbsLen, both);
    memcpy(both + 32, aicSignerHash, 32);
    sha256(both, sizeof both, aoOut);
}

void signing_digest(const uint8_t* aipcTbs, size_t aicTbsLen, const uint8_t* aipcSigner, size_t aicSignerLen,
                    uint8_t aoOut[32])
{
    uint8_t signerHash[32];
    sha256(aipcSigner ? aipcSigner : reinterpret_cast<const uint8_t*>(""), aipcSigner ? aicSignerLen : 0, signerHash);
    signing_digest_h(aipcTbs, aicTbsLen, signerHash, aoOut);
}

Pkey generate_key()
{
    return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

Pkey public_key(const EccP256Point& aicPoint)
{
    uint8_t oct[65];
    size_t n = 0;
    switch (aicPoint.form) {
    case PointForm::CompressedY0:
    case PointForm::CompressedY1:
        oct[0] = aicPoint.form == PointForm::CompressedY0 ? 0x02 : 0x03;
        memcpy(oct + 1, aicPoint.x, 32);
        n = 33;
        break;
    case PointForm::Uncompressed:
        oct[0] = 0x04;
        memcpy(oct + 1, aicPoint.x, 32);
        memcpy(oct + 33, aicPoint.y, 32);
        n = 65;
        break;
    default:
        return nullptr;  // x-only names no point
    }
    const EC_GROUP* g = p256();
    if (!g)
        return nullptr;
    // oct2point refuses an x with no point on the curve and an uncompressed
    // point off it; the explicit check below stays so that the refusal does
    // not rest on that detail.
    std::unique_ptr<EC_POINT, PointFree> pt(EC_POINT_new(g));
    if (!pt || EC_POINT_oct2point(g, pt.get(), oct, n, nullptr) != 1 ||
        EC_POINT_is_on_curve(g, pt.get(), nullptr) != 1 || EC_POINT_is_at_infinity(g, pt.get())) {
        ERR_clear_error();
        return nullptr;
    }
    // The key keeps the point uncompressed, so verifications never
    // decompress it again.
    n = EC_POINT_point2oct(g, pt.get(), POINT_CONVERSION_UNCOMPRESSED, oct, sizeof oct, nullptr);
    if (n != 65)
        return nullptr;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>(kGroupName), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, oct, n),
        OSSL_PARAM_construct_end(),
    };
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    return Pkey(key);
}

bool compressed_point(EVP_PKEY* aipKey, EccP256Point& aoPoint)
{
    uint8_t oct[65];
    size_t n = 0;
    if (!public_octets(aipKey, oct, &n))
        return false;
    if (n == 65 && oct[0] == 0x04) {
        aoPoint.form = (oct[64] & 1) ? PointForm::CompressedY1 : PointForm::CompressedY0;
    } else if (n == 33 && (oct[0] == 0x02 || oct[0] == 0x03)) {
        aoPoint.form = oct[0] == 0x03 ? PointForm::CompressedY1 : PointForm::CompressedY0;
    } else {
        return false;
    }
    memcpy(aoPoint.x, oct + 1, 32);
    memset(aoPoint.y, 0, sizeof aoPoint.y);
    return true;
}

bool sign_digest(EVP_PKEY* aipKey, const uint8_t aicDigest[32], EcdsaP256Sig& aoSig)
{
    if (!aipKey)
        return false;
    PkeyCtx ctx(EVP_PKEY_CTX_new(aipKey, nullptr));
    uint8_t der[80];
    size_t derLen = sizeof der;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_sign(ctx.get(), der, &derLen, aicDigest, 32) != 1) {
        ERR_clear_error();
        return false;
    }
    const unsigned char* p = der;
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLen));
    if (!sig) {
        ERR_clear_error();
        return false;
    }
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(sig, &r, &s);
    const bool ok = BN_bn2binpad(r, aoSig.r.x, 32) == 32 && BN_bn2binpad(s, aoSig.s, 32) == 32;
    ECDSA_SIG_free(sig);
    aoSig.r.form = PointForm::XOnly;
    memset(aoSig.r.y, 0, sizeof aoSig.r.y);
    return ok;
}

bool verify_digest(EVP_PKEY* aipKey, const uint8_t aicDigest[32], const EcdsaP256Sig& aicSig)
{
    if (!aipKey)
        return false;
    // Only r's x is the signature's r, whatever form it came in.
    uint8_t der[72];
    const size_t derLen = der_signature(aicSig.r.x, aicSig.s, der);
    EVP_PKEY_CTX* ctx = tVerifyCtx.get(aipKey);
    const bool ok = ctx && EVP_PKEY_verify(ctx, der, derLen, aicDigest, 32) == 1;
    if (!ok)
        ERR_clear_error();
    return ok;
}

Pkey load_private_key(const char* aipcPath, std::string* aopWhy)
{
    const std::string path = aipcPath ? aipcPath : "";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        set_why(aopWhy, path + ": " + strerror(errno));
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        set_why(aopWhy, path + ": not a regular file");
        return nullptr;
    }
    if (st.st_mode & 077) {
        close(fd);
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        set_why(aopWhy, path + ": private key readable by group or others (mode " + mode +
                            "); make it 0600");
        return nullptr;
    }
    // A PEM P-256 key is a few hundred bytes: anything much larger is not one.
    constexpr size_t kMax = 16384;
    if (st.st_size <= 0 || static_cast<unsigned long long>(st.st_size) > kMax) {
        close(fd);
        set_why(aopWhy, path + ": not a private key (size)");
        return nullptr;
    }
    uint8_t buf[kMax];
    size_t n = 0;
    while (n < sizeof buf) {
        const ssize_t r = read(fd, buf + n, sizeof buf - n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            const int e = errno;
            close(fd);
            OPENSSL_cleanse(buf, n);
            set_why(aopWhy, path + ": " + strerror(e));
            return nullptr;
        }
        if (r == 0)
            break;
        n += static_cast<size_t>(r);
    }
    close(fd);
    EVP_PKEY* key = nullptr;
    {
        std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(buf, static_cast<int>(n)));
        if (bio)
            key = PEM_read_bio_PrivateKey(bio.get(), nullptr, no_passphrase, nullptr);
    }
    OPENSSL_cleanse(buf, n);
    Pkey out(key);
    if (!out) {
        ERR_clear_error();
        set_why(aopWhy, path + ": not a PEM private key");
        return nullptr;
    }
    if (!is_p256(out.get())) {
        ERR_clear_error();
        set_why(aopWhy, path + ": not a NIST P-256 key");
        return nullptr;
    }
    return out;
}

bool save_private_key(EVP_PKEY* aipKey, const char* aipcPath, std::string* aopWhy)
{
    const std::string path = aipcPath ? aipcPath : "";
    if (!aipKey) {
        set_why(aopWhy, path + ": no key");
        return false;
    }
    // The PEM goes through secure memory, cleared when freed.
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_secmem()));
    if (!bio || PEM_write_bio_PKCS8PrivateKey(bio.get(), aipKey, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        ERR_clear_error();
        set_why(aopWhy, path + ": cannot encode the key");
        return false;
    }
    char* pem = nullptr;
    const long pemLen = BIO_get_mem_data(bio.get(), &pem);
    if (pemLen <= 0 || !pem) {
        set_why(aopWhy, path + ": cannot encode the key");
        return false;
    }
    // O_NOFOLLOW: a planted link must not redirect the key elsewhere.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    if (fd < 0) {
        set_why(aopWhy, path + ": " + strerror(errno));
        return false;
    }
    // An existing file keeps its mode through O_CREAT: narrow it before
    // the key is in it.
    if (fchmod(fd, 0600) != 0) {
        const int e = errno;
        close(fd);
        set_why(aopWhy, path + ": " + strerror(e));
        return false;
    }
    size_t off = 0;
    const size_t len = static_cast<size_t>(pemLen);
    while (off < len) {
        const ssize_t w = write(fd, pem + off, len - off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            const int e = w < 0 ? errno : EIO;
            close(fd);
            set_why(aopWhy, path + ": " + strerror(e));
            return false;
        }
        off += static_cast<size_t>(w);
    }
    const bool synced = fsync(fd) == 0;
    const int syncErr = errno;
    if (close(fd) != 0 || !synced) {
        set_why(aopWhy, path + ": " + strerror(synced ? errno : syncErr));
        return false;
    }
    return true;
}

}  // namespace sec
