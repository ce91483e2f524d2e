// SPDX-License-Identifier: Apache-2.0
// Trust store, verifier and signer. Signature checks run outside the locks:
// the store's mutex only guards lookups and inserts, and the replay table's
// only its probe and insert.
#include "sec_service.hpp"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <random>
#include <unordered_map>
#include <vector>

#include <openssl/evp.h>

namespace sec {

const char* verify_result_name(VerifyResult r)
{
    switch (r) {
    case VerifyResult::Ok: return "Ok";
    case VerifyResult::Malformed: return "Malformed";
    case VerifyResult::BadSignature: return "BadSignature";
    case VerifyResult::UnknownSigner: return "UnknownSigner";
    case VerifyResult::Expired: return "Expired";
    case VerifyResult::PsidNotPermitted: return "PsidNotPermitted";
    case VerifyResult::Stale: return "Stale";
    case VerifyResult::Replay: return "Replay";
    case VerifyResult::Unsigned: return "Unsigned";
    }
    return "?";
}

bool KnownCert::permits(uint64_t psid) const
{
    for (uint8_t i = 0; i < psidCount && i < kMaxPsids; ++i)
        if (psids[i] == psid)
            return true;
    return false;
}

namespace {

uint64_t id_key(const HashedId8& aicId)
{
    uint64_t k;
    memcpy(&k, aicId.b, sizeof k);
    return k;
}

// A decoded certificate in its canonical form (verification key
// compressed, signature r x-only), which is what its id, its hash and its
// issuer's signature are over. A certificate received in another form is
// re-encoded into canon; one already canonical is used as received.
struct Parsed {
    Certificate c;
    std::vector<uint8_t> canon;
    const uint8_t* bytes = nullptr;
    size_t len = 0;
    HashedId8 id;
    uint8_t hash[32] = {};
    uint8_t tbsHash[32] = {};
};

VerifyResult parse_cert(const uint8_t* aipcCert, size_t aicLen, Parsed& aoP)
{
    if (!aipcCert || decode_certificate(aipcCert, aicLen, aoP.c) != CodecResult::Ok || !aoP.c.hasSignature)
        return VerifyResult::Malformed;
    bool reencode = false;
    if (aoP.c.verifyKey.form == PointForm::Uncompressed) {
        // Checked before compressing: compressing drops y, and with it the
        // evidence of a point off the curve.
        if (!public_key(aoP.c.verifyKey))
            return VerifyResult::Malformed;
        aoP.c.verifyKey.form = (aoP.c.verifyKey.y[31] & 1) ? PointForm::CompressedY1 : PointForm::CompressedY0;
        memset(aoP.c.verifyKey.y, 0, sizeof aoP.c.verifyKey.y);
        reencode = true;
    } else if (aoP.c.verifyKey.form == PointForm::XOnly) {
        return VerifyResult::Malformed;
    }
    if (aoP.c.signature.r.form != PointForm::XOnly) {
        aoP.c.signature.r.form = PointForm::XOnly;
        memset(aoP.c.signature.r.y, 0, sizeof aoP.c.signature.r.y);
        reencode = true;
    }
    if (reencode) {
        // The canonical forms are never longer than the received ones.
        aoP.canon.resize(aicLen);
        size_t n = 0;
        if (encode_certificate(aoP.c, aoP.canon.data(), aoP.canon.size(), &n) != CodecResult::Ok)
            return VerifyResult::Malformed;
        aoP.canon.resize(n);
        // Decoded again so that toBeSigned points at the canonical bytes.
        if (decode_certificate(aoP.canon.data(), n, aoP.c) != CodecResult::Ok)
            return VerifyResult::Malformed;
        aoP.bytes = aoP.canon.data();
        aoP.len = n;
    } else {
        aoP.bytes = aipcCert;
        aoP.len = aicLen;
    }
    sha256(aoP.bytes, aoP.len, aoP.hash);
    memcpy(aoP.id.b, aoP.hash + 24, 8);
    sha256(aoP.c.toBeSigned.p, aoP.c.toBeSigned.n, aoP.tbsHash);
    return VerifyResult::Ok;
}

// SHA-256( tbsHash || signerHash ): the signing digest from its halves.
void digest_of(const uint8_t aicTbsHash[32], const uint8_t aicSignerHash[32], uint8_t aoOut[32])
{
    uint8_t both[64];
    memcpy(both, aicTbsHash, 32);
    memcpy(both + 32, aicSignerHash, 32);
    sha256(both, sizeof both, aoOut);
}

// The entry for a parsed certificate, not yet chain-checked; null when its
// key is not a point of the curve.
std::shared_ptr<KnownCert> make_known(const Parsed& aicP)
{
    auto kc = std::make_shared<KnownCert>();
    kc->key = public_key(aicP.c.verifyKey);
    if (!kc->key)
        return nullptr;
    kc->id = aicP.id;
    kc->issuer = aicP.c.issuer == IssuerKind::Self ? aicP.id : aicP.c.issuerDigest;
    memcpy(kc->hash, aicP.hash, 32);
    kc->validFrom = aicP.c.validity.start;
    kc->validTo = aicP.c.validity.end();
    if (aicP.c.hasAppPermissions) {
        const uint8_t n = std::min<uint8_t>(aicP.c.psidCount, kMaxPsids);
        for (uint8_t i = 0; i < n; ++i)
            kc->psids[i] = aicP.c.psids[i].psid;
        kc->psidCount = n;
    }
    return kc;
}

// A copy of an entry, chain-checked below a checked issuer: its validity
// narrowed to the issuer's, its depth one more.
std::shared_ptr<KnownCert> checked_copy(const KnownCert& aicK, const KnownCert& aicIssuer)
{
    auto kc = std::make_shared<KnownCert>();
    kc->id = aicK.id;
    kc->issuer = aicK.issuer;
    kc->anchor = false;
    kc->chainChecked = true;
    memcpy(kc->hash, aicK.hash, 32);
    if (EVP_PKEY_up_ref(aicK.key.get()) == 1)
        kc->key.reset(aicK.key.get());
    kc->validFrom = std::max(aicK.validFrom, aicIssuer.validFrom);
    kc->validTo = std::min(aicK.validTo, aicIssuer.validTo);
    kc->psidCount = aicK.psidCount;
    memcpy(kc->psids, aicK.psids, sizeof kc->psids);
    kc->depth = static_cast<uint8_t>(aicIssuer.depth + 1);
    return kc;
}

void set_why(std::string* aopWhy, const std::string& aicWhy)
{
    if (aopWhy)
        *aopWhy = aicWhy;
}

// Reads a whole small file (certificates are a few hundred bytes).
bool read_file(const std::string& aicPath, std::vector<uint8_t>& aoData, bool* aopRegular, std::string* aopWhy)
{
    constexpr size_t kMax = 65536;
    *aopRegular = true;
    const int fd = open(aicPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        set_why(aopWhy, aicPath + ": " + strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *aopRegular = false;
        return false;
    }
    if (static_cast<unsigned long long>(st.st_size) > kMax) {
        close(fd);
        set_why(aopWhy, aicPath + ": too large for a certificate");
        return false;
    }
    aoData.resize(kMax);
    size_t n = 0;
    for (;;) {
        const ssize_t r = read(fd, aoData.data() + n, aoData.size() - n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            const int e = errno;
            close(fd);
            set_why(aopWhy, aicPath + ": " + strerror(e));
            return false;
        }
        if (r == 0)
            break;
        n += static_cast<size_t>(r);
        if (n == aoData.size()) {
            close(fd);
            set_why(aopWhy, aicPath + ": too large for a certificate");
            return false;
        }
    }
    close(fd);
    aoData.resize(n);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// TrustStore

struct TrustStore::Impl {
    struct Entry {
        std::shared_ptr<const KnownCert> kc;
        // What checking it against its issuer needs (until chain-checked).
        uint8_t tbsHash[32] = {};
        EcdsaP256Sig sig;
    };
    size_t capacity;
    mutable std::mutex m;
    std::unordered_map<uint64_t, Entry> map;
    std::deque<uint64_t> order;  // non-anchor ids, oldest first
    size_t anchors = 0;

    explicit Impl(size_t aicCap) : capacity(aicCap ? aicCap : 1) { map.reserve(capacity); }

    // Under m. Makes room for one non-anchor entry; false when only anchors
    // are left.
    bool make_room()
    {
        while (map.size() >= capacity && !order.empty()) {
            map.erase(order.front());
            order.pop_front();
        }
        return map.size() < capacity;
    }

    // Under m. Inserts unless the id is there; returns the entry now held.
    // *aopStored is false when the store, full of anchors, could not keep it.
    std::shared_ptr<const KnownCert> insert(std::shared_ptr<const KnownCert> aoKc, const Parsed& aicP, bool* aopNew,
                                            bool* aopStored = nullptr)
    {
        const uint64_t k = id_key(aoKc->id);
        auto it = map.find(k);
        if (aopStored)
            *aopStored = true;
        if (it != map.end()) {
            *aopNew = false;
            return it->second.kc;
        }
        if (!aoKc->anchor && !make_room()) {
            // Full of anchors: usable now, not kept.
            *aopNew = true;
            if (aopStored)
                *aopStored = false;
            return aoKc;
        }
        Entry e;
        e.kc = aoKc;
        memcpy(e.tbsHash, aicP.tbsHash, 32);
        e.sig = aicP.c.signature;
        map.emplace(k, std::move(e));
        if (aoKc->anchor)
            ++anchors;
        else
            order.push_back(k);
        *aopNew = true;
        return aoKc;
    }

    // A certificate from the trust folder or add(): self-signed ones must
    // verify and become anchors; others wait for their first use.
    bool add(const uint8_t* aipcCert, size_t aicLen, int aicAnchor /* 1 yes, 0 no, -1 by issuer */,
             std::string* aopWhy)
    {
        Parsed p;
        if (parse_cert(aipcCert, aicLen, p) != VerifyResult::Ok) {
            set_why(aopWhy, "not a certificate this stack takes");
            return false;
        }
        const bool self = p.c.issuer == IssuerKind::Self;
        const bool anchor = aicAnchor < 0 ? self : aicAnchor == 1;
        if (anchor && !self) {
            set_why(aopWhy, "a trust anchor must be self-signed");
            return false;
        }
        if (!anchor && self) {
            set_why(aopWhy, "a self-signed certificate can only be a trust anchor");
            return false;
        }
        std::shared_ptr<KnownCert> kc = make_known(p);
        if (!kc) {
            set_why(aopWhy, "verification key not on the curve");
            return false;
        }
        if (anchor) {
            uint8_t emptyHash[32];
            uint8_t digest[32];
            sha256("", 0, emptyHash);
            digest_of(p.tbsHash, emptyHash, digest);
            if (!verify_digest(kc->key.get(), digest, p.c.signature)) {
                set_why(aopWhy, "self-signature does not verify");
                return false;
            }
            kc->anchor = true;
            kc->chainChecked = true;
            kc->depth = 1;
        }
        std::lock_guard<std::mutex> lock(m);
        auto it = map.find(id_key(kc->id));
        if (it != map.end() && anchor && !it->second.kc->anchor) {
            // Known as an intermediate until now (learned first): promoted.
            for (auto o = order.begin(); o != order.end(); ++o) {
                if (*o == id_key(kc->id)) {
                    order.erase(o);
                    break;
                }
            }
            it->second.kc = kc;
            ++anchors;
            return true;
        }
        bool isNew = false;
        bool stored = true;
        insert(kc, p, &isNew, &stored);
        if (!stored) {
            set_why(aopWhy, "the store is full of anchors");
            return false;
        }
        return true;
    }

    std::shared_ptr<const KnownCert> find_checked(const HashedId8& aicId, VerifyResult* aopWhy)
    {
        struct Step {
            std::shared_ptr<const KnownCert> kc;
            uint8_t tbsHash[32];
            EcdsaP256Sig sig;
        };
        Step path[kMaxChain];
        size_t n = 0;
        std::shared_ptr<const KnownCert> top;
        {
            std::lock_guard<std::mutex> lock(m);
            auto it = map.find(id_key(aicId));
            if (it == map.end()) {
                *aopWhy = VerifyResult::UnknownSigner;
                return nullptr;
            }
            if (it->second.kc->chainChecked)
                return it->second.kc;
            // Up to the first checked certificate (an anchor at the latest).
            for (;;) {
                if (n == kMaxChain) {
                    *aopWhy = VerifyResult::Malformed;
                    return nullptr;
                }
                path[n].kc = it->second.kc;
                memcpy(path[n].tbsHash, it->second.tbsHash, 32);
                path[n].sig = it->second.sig;
                ++n;
                auto up = map.find(id_key(it->second.kc->issuer));
                if (up == map.end() || up == it) {
                    *aopWhy = VerifyResult::UnknownSigner;
                    return nullptr;
                }
                if (up->second.kc->chainChecked) {
                    top = up->second.kc;
                    break;
                }
                it = up;
            }
        }
        if (top->depth + n > kMaxChain) {
            *aopWhy = VerifyResult::Malformed;
            return nullptr;
        }
        // Signatures verified without the lock, from the top down.
        std::shared_ptr<const KnownCert> checked[kMaxChain];
        std::shared_ptr<const KnownCert> parent = top;
        for (size_t i = n; i-- > 0;) {
            uint8_t digest[32];
            digest_of(path[i].tbsHash, parent->hash, digest);
            if (!verify_digest(parent->key.get(), digest, path[i].sig)) {
                *aopWhy = VerifyResult::BadSignature;
                return nullptr;
            }
            checked[i] = checked_copy(*path[i].kc, *parent);
            if (!checked[i]->key) {
                *aopWhy = VerifyResult::Malformed;
                return nullptr;
            }
            parent = checked[i];
        }
        std::lock_guard<std::mutex> lock(m);
        for (size_t i = 0; i < n; ++i) {
            auto it = map.find(id_key(path[i].kc->id));
            // Another thread may have checked it (or it went): keep theirs.
            if (it != map.end() && it->second.kc == path[i].kc)
                it->second.kc = checked[i];
        }
        return checked[0];
    }

    VerifyResult learn(const uint8_t* aipcCert, size_t aicLen, std::shared_ptr<const KnownCert>* aopOut,
                       bool* aopNew)
    {
        *aopNew = false;
        Parsed p;
        VerifyResult r = parse_cert(aipcCert, aicLen, p);
        if (r != VerifyResult::Ok)
            return r;
        // Known already: the cached entry (chain-checked if not yet).
        {
            std::unique_lock<std::mutex> lock(m);
            if (map.count(id_key(p.id))) {
                lock.unlock();
                VerifyResult why = VerifyResult::UnknownSigner;
                auto kc = find_checked(p.id, &why);
                if (!kc)
                    return why;
                *aopOut = std::move(kc);
                return VerifyResult::Ok;
            }
        }
        // A self-signed certificate from the air is trusted by nobody.
        if (p.c.issuer == IssuerKind::Self)
            return VerifyResult::UnknownSigner;
        VerifyResult why = VerifyResult::UnknownSigner;
        std::shared_ptr<const KnownCert> issuer = find_checked(p.c.issuerDigest, &why);
        if (!issuer)
            return why;
        if (issuer->depth + 1u > kMaxChain)
            return VerifyResult::Malformed;
        std::shared_ptr<KnownCert> kc = make_known(p);
        if (!kc)
            return VerifyResult::Malformed;
        uint8_t digest[32];
        digest_of(p.tbsHash, issuer->hash, digest);
        if (!verify_digest(issuer->key.get(), digest, p.c.signature))
            return VerifyResult::BadSignature;
        kc->chainChecked = true;
        kc->validFrom = std::max(kc->validFrom, issuer->validFrom);
        kc->validTo = std::min(kc->validTo, issuer->validTo);
        kc->depth = static_cast<uint8_t>(issuer->depth + 1);
        std::lock_guard<std::mutex> lock(m);
        *aopOut = insert(kc, p, aopNew);
        return VerifyResult::Ok;
    }
};

TrustStore::TrustStore(size_t aicCapacity) : impl_(new Impl(aicCapacity)) {}
TrustStore::~TrustStore() = default;

int TrustStore::load_dir(const char* aipcDir, std::string* aopWhy)
{
    const std::string dir = aipcDir ? aipcDir : "";
    DIR* d = opendir(dir.c_str());
    if (!d) {
        set_why(aopWhy, dir + ": " + strerror(errno));
        return -1;
    }
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
        // Hidden files (editors' and tools' leftovers) are not certificates.
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    }
    closedir(d);
    // Sorted, so that a failure names the same file every time.
    std::sort(names.begin(), names.end());
    int taken = 0;
    std::vector<uint8_t> data;
    for (const std::string& name : names) {
        const std::string path = dir + "/" + name;
        bool regular = true;
        if (!read_file(path, data, &regular, aopWhy)) {
            if (!regular)
                continue;
            return -1;
        }
        std::string why;
        if (!impl_->add(data.data(), data.size(), -1, &why)) {
            set_why(aopWhy, path + ": " + why);
            return -1;
        }
        ++taken;
    }
    return taken;
}

bool TrustStore::add(const uint8_t* aipcCert, size_t aicLen, bool aicAnchor, std::string* aopWhy)
{
    return impl_->add(aipcCert, aicLen, aicAnchor ? 1 : 0, aopWhy);
}

std::shared_ptr<const KnownCert> TrustStore::find_checked(const HashedId8& aicId, VerifyResult* aopWhy)
{
    VerifyResult why = VerifyResult::Ok;
    auto kc = impl_->find_checked(aicId, &why);
    if (!kc && aopWhy)
        *aopWhy = why;
    return kc;
}

VerifyResult TrustStore::learn(const uint8_t* aipcCert, size_t aicLen, std::shared_ptr<const KnownCert>* aopOut,
                               bool* aopNew)
{
    bool isNew = false;
    std::shared_ptr<const KnownCert> kc;
    const VerifyResult r = impl_->learn(aipcCert, aicLen, &kc, &isNew);
    if (aopOut)
        *aopOut = r == VerifyResult::Ok ? kc : nullptr;
    if (aopNew)
        *aopNew = r == VerifyResult::Ok && isNew;
    return r;
}

size_t TrustStore::size() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->map.size();
}

size_t TrustStore::anchors() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->anchors;
}

// ---------------------------------------------------------------------------
// Verifier

namespace {

// Records seen within the window: a ring in arrival order (the oldest go
// first) indexed by an open-addressing table, so that a check costs no
// allocation. Keyed on what the signature covers, never on the record's
// bytes: r is outside the signature, so a record with r in another form
// is the same record.
class ReplayTable {
public:
    explicit ReplayTable(size_t aicCap) : ring_(aicCap ? aicCap : 1)
    {
        size_t slots = 16;
        while (slots < ring_.size() * 2)
            slots <<= 1;
        slots_.assign(slots, 0);
        mask_ = slots - 1;
        std::random_device rd;
        seed_ = (static_cast<uint64_t>(rd()) << 32) ^ rd();
    }

    // true when the key was seen; otherwise remembers it. Entries whose
    // generation time fell before aicOldest go first.
    bool seen_or_add(const HashedId8& aicSigner, uint64_t aicGen, const uint8_t aicTbsHash[32], uint64_t aicOldest)
    {
        Key k;
        memcpy(k.signer, aicSigner.b, 8);
        k.gen = aicGen;
        memcpy(k.tbs, aicTbsHash, 32);
        k.h = hash(k);
        std::lock_guard<std::mutex> lock(m_);
        for (size_t i = k.h & mask_; slots_[i] != 0; i = (i + 1) & mask_) {
            const Key& o = ring_[slots_[i] - 1];
            if (o.h == k.h && o.gen == k.gen && memcmp(o.signer, k.signer, 8) == 0 && memcmp(o.tbs, k.tbs, 32) == 0)
                return true;
        }
        while (count_ > 0 && (count_ == ring_.size() || ring_[head_].gen < aicOldest)) {
            unindex(head_);
            head_ = (head_ + 1) % ring_.size();
            --count_;
        }
        const size_t r = (head_ + count_) % ring_.size();
        ring_[r] = k;
        ++count_;
        size_t i = k.h & mask_;
        while (slots_[i] != 0)
            i = (i + 1) & mask_;
        slots_[i] = static_cast<uint32_t>(r + 1);
        return false;
    }

private:
    struct Key {
        uint8_t signer[8];
        uint64_t gen;
        uint8_t tbs[32];
        uint64_t h;
    };

    uint64_t hash(const Key& aicK) const
    {
        // The tbs hash is SHA-256 output; the secret seed keeps a sender
        // from aiming records at one probe run.
        uint64_t t, s;
        memcpy(&t, aicK.tbs, 8);
        memcpy(&s, aicK.signer, 8);
        uint64_t x = t ^ s ^ (aicK.gen * 0x9e3779b97f4a7c15ull) ^ seed_;
        x ^= x >> 30;
        x *= 0xbf58476d1ce4e5b9ull;
        x ^= x >> 27;
        x *= 0x94d049bb133111ebull;
        x ^= x >> 31;
        return x;
    }

    // Removes ring entry r from the index (backward-shift deletion, so that
    // no tombstones build up).
    void unindex(size_t r)
    {
        size_t i = ring_[r].h & mask_;
        while (slots_[i] != r + 1) {
            if (slots_[i] == 0)
                return;
            i = (i + 1) & mask_;
        }
        for (;;) {
            slots_[i] = 0;
            size_t j = i;
            for (;;) {
                j = (j + 1) & mask_;
                if (slots_[j] == 0)
                    return;
                const size_t home = ring_[slots_[j] - 1].h & mask_;
                // The entry at j may move to i unless its home lies
                // cyclically in (i, j].
                const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
                if (!stays)
                    break;
            }
            slots_[i] = slots_[j];
            i = j;
        }
    }

    std::mutex m_;
    std::vector<Key> ring_;
    std::vector<uint32_t> slots_;
    size_t mask_ = 0;
    size_t head_ = 0;
    size_t count_ = 0;
    uint64_t seed_ = 0;
};

}  // namespace

struct Verifier::Impl {
    TrustStore& store;
    VerifyPolicy policy;
    ReplayTable replay;
    Impl(TrustStore& aoStore, const VerifyPolicy& aicPolicy)
        : store(aoStore), policy(aicPolicy), replay(aicPolicy.replayCapacity)
    {
    }
};

Verifier::Verifier(TrustStore& aoStore, const VerifyPolicy& aicPolicy) : impl_(new Impl(aoStore, aicPolicy)) {}
Verifier::~Verifier() = default;

VerifyResult Verifier::verify(const uint8_t* aipcData, size_t aicLen, uint64_t aicNow, VerifyOut& aoOut)
{
    aoOut = VerifyOut();
    SecuredData d;
    if (!aipcData || decode_secured_data(aipcData, aicLen, d) != CodecResult::Ok)
        return VerifyResult::Malformed;
    aoOut.payload = d.payload;
    if (d.kind == ContentKind::Unsecured)
        return VerifyResult::Unsigned;
    aoOut.psid = d.psid;
    aoOut.generationTime = d.generationTime;

    // The signer: known by digest, or learned from the carried chain.
    std::shared_ptr<const KnownCert> signer;
    switch (d.signer) {
    case SignerKind::Digest: {
        VerifyResult why = VerifyResult::UnknownSigner;
        signer = impl_->store.find_checked(d.signerDigest, &why);
        if (!signer)
            return why;
        break;
    }
    case SignerKind::Certificate: {
        if (d.certCount == 0 || d.certCount > kMaxChain)
            return VerifyResult::Malformed;
        // All of the chain decodes before any of it is learned.
        for (size_t i = 0; i < d.certCount; ++i) {
            Certificate c;
            if (decode_certificate(d.certs[i].p, d.certs[i].n, c) != CodecResult::Ok)
                return VerifyResult::Malformed;
        }
        // From the top down, so that each one's issuer is known when it
        // comes.
        for (size_t i = d.certCount; i-- > 0;) {
            std::shared_ptr<const KnownCert> kc;
            bool isNew = false;
            const VerifyResult r = impl_->store.learn(d.certs[i].p, d.certs[i].n, &kc, &isNew);
            if (r != VerifyResult::Ok)
                return r;
            if (i == 0) {
                signer = std::move(kc);
                aoOut.signerWasNew = isNew;
            }
        }
        break;
    }
    default:
        // Signed by its own key: no path to an anchor.
        return VerifyResult::UnknownSigner;
    }
    aoOut.signer = signer->id;

    uint8_t tbsHash[32];
    uint8_t digest[32];
    sha256(d.tbsData.p, d.tbsData.n, tbsHash);
    digest_of(tbsHash, signer->hash, digest);
    if (!verify_digest(signer->key.get(), digest, d.signature))
        return VerifyResult::BadSignature;

    // The signer's validity is already narrowed to its whole chain's.
    // Without a generation time there is nothing to compare: the window
    // check below refuses the record.
    if (d.hasGenerationTime) {
        const uint64_t s = d.generationTime / 1000000;
        if (s < signer->validFrom || s > signer->validTo)
            return VerifyResult::Expired;
    }

    if (!signer->permits(d.psid))
        return VerifyResult::PsidNotPermitted;

    const VerifyPolicy& pol = impl_->policy;
    const uint64_t oldest = aicNow > pol.windowBackUs ? aicNow - pol.windowBackUs : 0;
    const uint64_t newest = aicNow > UINT64_MAX - pol.windowAheadUs ? UINT64_MAX : aicNow + pol.windowAheadUs;
    if (!d.hasGenerationTime || d.generationTime < oldest || d.generationTime > newest)
        return VerifyResult::Stale;
    // A record past its own expiry time is no fresher than an old one.
    if (d.hasExpiryTime && d.expiryTime < aicNow)
        return VerifyResult::Stale;

    if (pol.checkReplay && impl_->replay.seen_or_add(signer->id, d.generationTime, tbsHash, oldest))
        return VerifyResult::Replay;
    return VerifyResult::Ok;
}

// ---------------------------------------------------------------------------
// Signer

struct Signer::Impl {
    std::vector<uint8_t> cert;  // canonical COER
    HashedId8 id;
    uint8_t hash[32] = {};
    Pkey key;
};

Signer::Signer() : impl_(new Impl) {}
Signer::~Signer() = default;

bool Signer::load(const char* aipcCertPath, const char* aipcKeyPath, std::string* aopWhy)
{
    std::vector<uint8_t> cert;
    bool regular = true;
    const std::string certPath = aipcCertPath ? aipcCertPath : "";
    if (!read_file(certPath, cert, &regular, aopWhy)) {
        if (!regular)
            set_why(aopWhy, certPath + ": not a regular file");
        return false;
    }
    Pkey key = load_private_key(aipcKeyPath, aopWhy);
    if (!key)
        return false;
    std::string why;
    if (!set(cert.data(), cert.size(), std::move(key), &why)) {
        set_why(aopWhy, certPath + ": " + why);
        return false;
    }
    return true;
}

bool Signer::set(const uint8_t* aipcCert, size_t aicLen, Pkey aoKey, std::string* aopWhy)
{
    Parsed p;
    if (parse_cert(aipcCert, aicLen, p) != VerifyResult::Ok) {
        set_why(aopWhy, "not a certificate this stack takes");
        return false;
    }
    EccP256Point pub;
    if (!aoKey || !compressed_point(aoKey.get(), pub)) {
        set_why(aopWhy, "not a NIST P-256 key");
        return false;
    }
    if (pub.form != p.c.verifyKey.form || memcmp(pub.x, p.c.verifyKey.x, 32) != 0) {
        set_why(aopWhy, "the private key does not match the certificate's verification key");
        return false;
    }
    impl_->cert.assign(p.bytes, p.bytes + p.len);
    impl_->id = p.id;
    memcpy(impl_->hash, p.hash, 32);
    impl_->key = std::move(aoKey);
    return true;
}

bool Signer::ready() const
{
    return impl_->key != nullptr;
}

const HashedId8& Signer::id() const
{
    return impl_->id;
}

size_t Signer::cert_len() const
{
    return impl_->cert.size();
}

const uint8_t* Signer::cert() const
{
    return impl_->cert.data();
}

CodecResult Signer::sign(const uint8_t* aipcPayload, size_t aicLen, uint64_t aicPsid, uint64_t aicGenTime,
                         SignerKind aicKind, uint8_t* aopOut, size_t aicCap, size_t* aopLen) const
{
    if (!ready() || !aopOut || !aopLen || (aicKind != SignerKind::Digest && aicKind != SignerKind::Certificate))
        return CodecResult::Unsupported;
    SecuredData d;
    d.kind = ContentKind::Signed;
    d.payload = Span{aipcPayload, aicLen};
    d.psid = aicPsid;
    d.hasGenerationTime = true;
    d.generationTime = aicGenTime;
    d.signer = aicKind;
    if (aicKind == SignerKind::Digest) {
        d.signerDigest = impl_->id;
    } else {
        d.certCount = 1;
        d.certs[0] = Span{impl_->cert.data(), impl_->cert.size()};
    }
    // The output buffer holds the tbsData while it is hashed: it is no
    // longer than the whole record, so it fits wherever the record does.
    size_t n = 0;
    const CodecResult r = encode_tbs_data(d, aopOut, aicCap, &n);
    if (r != CodecResult::Ok)
        return r;
    uint8_t tbsHash[32];
    uint8_t digest[32];
    sha256(aopOut, n, tbsHash);
    digest_of(tbsHash, impl_->hash, digest);
    if (!sign_digest(impl_->key.get(), digest, d.signature))
        return CodecResult::Invalid;
    return encode_secured_data(d, aopOut, aicCap, aopLen);
}

}  // namespace sec
