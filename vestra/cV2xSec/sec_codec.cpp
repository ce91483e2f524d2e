// SPDX-License-Identifier: Apache-2.0
// Secured data and explicit certificates in canonical OER.
//
// The reader walks the received bytes with a cursor that stays failed after
// its first error, so each step checks once and the first error is what the
// caller gets. Members kept as encoded bytes are walked only far enough to
// find where they end and to refuse what a canonical encoding forbids; the
// writer copies them back unchanged.
#include "sec_codec.hpp"

#include <string.h>

namespace sec {

namespace {

// Choice tags: context class (0x80) plus the alternative's index.
constexpr uint8_t kTag0 = 0x80;
constexpr uint8_t kTag1 = 0x81;
constexpr uint8_t kTag2 = 0x82;
constexpr uint8_t kTag3 = 0x83;
constexpr uint8_t kTag4 = 0x84;

// Presence bits of the certificate's toBeSigned preamble.
constexpr uint8_t kTbsExt = 0x80;
constexpr uint8_t kTbsRegion = 0x40;
constexpr uint8_t kTbsAssurance = 0x20;
constexpr uint8_t kTbsApp = 0x10;
constexpr uint8_t kTbsIssue = 0x08;
constexpr uint8_t kTbsRequest = 0x04;
constexpr uint8_t kTbsRollover = 0x02;
constexpr uint8_t kTbsEncKey = 0x01;

// Presence bits of headerInfo's preamble; bit 0 is padding.
constexpr uint8_t kHdrExt = 0x80;
constexpr uint8_t kHdrGenTime = 0x40;
constexpr uint8_t kHdrExpiry = 0x20;
constexpr uint8_t kHdrLocation = 0x10;
constexpr uint8_t kHdrP2pcd = 0x08;
constexpr uint8_t kHdrMissingCrl = 0x04;
constexpr uint8_t kHdrEncKey = 0x02;
constexpr uint8_t kHdrRestMask = kHdrExt | kHdrLocation | kHdrP2pcd | kHdrMissingCrl | kHdrEncKey;

constexpr size_t kPointLen = 32;
constexpr size_t kTwoDLocationLen = 8;    // latitude, longitude: 4 bytes each
constexpr size_t kThreeDLocationLen = 10; // and a 2-byte elevation
constexpr size_t kLinkageValueLen = 9;
constexpr size_t kMaxHostname = 255;
constexpr size_t kMaxBinaryId = 64;
constexpr size_t kMaxBitmapSsp = 31;
constexpr size_t kMaxBitmapSspRange = 32;

// Stands in for a null input so that the cursor never offsets a null pointer.
const uint8_t kNoBytes[1] = {0};

// Bounds-checked reader over received bytes. The first error sticks; later
// reads yield zeros and null pointers.
class Reader {
public:
    Reader(const uint8_t* aipcData, size_t aicLen)
        : p_(aipcData != nullptr ? aipcData : kNoBytes), n_(aipcData != nullptr ? aicLen : 0)
    {
    }

    bool ok() const { return err_ == CodecResult::Ok; }
    CodecResult err() const { return err_; }
    void fail(CodecResult r)
    {
        if (ok()) {
            err_ = r;
        }
    }
    size_t pos() const { return pos_; }
    size_t left() const { return ok() ? n_ - pos_ : 0; }

    // The next `len` bytes, or null (and Truncated) when they are not there.
    const uint8_t* take(size_t len)
    {
        if (!ok()) {
            return nullptr;
        }
        if (len > n_ - pos_) {
            fail(CodecResult::Truncated);
            return nullptr;
        }
        const uint8_t* b = p_ + pos_;
        pos_ += len;
        return b;
    }
    uint8_t u8()
    {
        const uint8_t* b = take(1);
        return b != nullptr ? b[0] : 0;
    }
    uint64_t be(size_t len)
    {
        const uint8_t* b = take(len);
        uint64_t v = 0;
        for (size_t i = 0; b != nullptr && i < len; ++i) {
            v = (v << 8) | b[i];
        }
        return v;
    }
    uint16_t be16() { return static_cast<uint16_t>(be(2)); }
    uint32_t be32() { return static_cast<uint32_t>(be(4)); }
    uint64_t be64() { return be(8); }
    void copy(uint8_t* aopDst, size_t len)
    {
        const uint8_t* b = take(len);
        if (b != nullptr) {
            memcpy(aopDst, b, len);
        } else {
            memset(aopDst, 0, len);
        }
    }

    // Length determinant: one byte below 128, else 0x80|n and n big-endian
    // bytes. The long form for a length that fits the short one, or with a
    // leading zero byte, is not canonical.
    size_t length()
    {
        const uint8_t b = u8();
        if (!ok() || b < 0x80) {
            return b;
        }
        const size_t k = b & 0x7Fu;
        if (k == 0) {
            fail(CodecResult::Invalid);
            return 0;
        }
        const uint8_t* q = take(k);
        if (q == nullptr) {
            return 0;
        }
        if (q[0] == 0) {
            fail(CodecResult::Invalid);
            return 0;
        }
        if (k > sizeof(size_t)) {
            // Minimal and wider than size_t: longer than any input.
            fail(CodecResult::Truncated);
            return 0;
        }
        size_t v = 0;
        for (size_t i = 0; i < k; ++i) {
            v = (v << 8) | q[i];
        }
        if (v < 0x80) {
            fail(CodecResult::Invalid);
            return 0;
        }
        return v;
    }

    // Length-prefixed unsigned integer (Psid, a SEQUENCE OF's quantity):
    // at least one byte, no leading zero byte; wider than 64 bits is more
    // than this stack takes.
    uint64_t uint_var()
    {
        const size_t len = length();
        const uint8_t* q = take(len);
        if (q == nullptr) {
            return 0;
        }
        if (len == 0 || (len > 1 && q[0] == 0)) {
            fail(CodecResult::Invalid);
            return 0;
        }
        if (len > 8) {
            fail(CodecResult::Unsupported);
            return 0;
        }
        uint64_t v = 0;
        for (size_t i = 0; i < len; ++i) {
            v = (v << 8) | q[i];
        }
        return v;
    }

    // Length-prefixed two's complement integer, skipped; its bytes (null on
    // error) so that the caller can compare with a default.
    const uint8_t* int_var(size_t* aopLen)
    {
        const size_t len = length();
        const uint8_t* q = take(len);
        *aopLen = len;
        if (q == nullptr) {
            return nullptr;
        }
        const bool redundant =
            len > 1 && ((q[0] == 0x00 && (q[1] & 0x80) == 0) || (q[0] == 0xFF && (q[1] & 0x80) != 0));
        if (len == 0 || redundant) {
            fail(CodecResult::Invalid);
            return nullptr;
        }
        return q;
    }

    // The bytes from `start` to here.
    Span since(size_t start) const
    {
        Span s;
        if (ok() && start <= pos_) {
            s.p = p_ + start;
            s.n = pos_ - start;
        }
        return s;
    }

private:
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
    CodecResult err_ = CodecResult::Ok;
};

// A SEQUENCE OF's quantity, refused early when even one byte per element
// cannot fit, which also bounds every loop over elements by the input.
uint64_t quantity(Reader& r)
{
    const uint64_t q = r.uint_var();
    if (r.ok() && q > r.left()) {
        r.fail(CodecResult::Truncated);
        return 0;
    }
    return q;
}

// Skips `count` fixed-size elements.
void skip_fixed(Reader& r, uint64_t count, size_t size)
{
    if (!r.ok()) {
        return;
    }
    if (count > r.left() / size) {
        r.fail(CodecResult::Truncated);
        return;
    }
    r.take(static_cast<size_t>(count) * size);
}

// An open type (an extension alternative's value) read through a cursor of
// its own: its content must fill exactly the announced length. A content
// that runs short inside a complete outer length is a malformed value, not a
// short input.
class OpenType {
public:
    explicit OpenType(Reader& r) : outer_(r), inner_(nullptr, 0)
    {
        const size_t len = r.length();
        const uint8_t* b = r.take(len);
        if (b != nullptr) {
            inner_ = Reader(b, len);
        }
    }
    Reader& in() { return inner_; }
    void close()
    {
        if (!outer_.ok()) {
            return;
        }
        if (!inner_.ok()) {
            outer_.fail(inner_.err() == CodecResult::Truncated ? CodecResult::Invalid : inner_.err());
        } else if (inner_.left() != 0) {
            outer_.fail(CodecResult::Invalid);
        }
    }

private:
    Reader& outer_;
    Reader inner_;
};

// A sequence's extension additions: the presence bitmap (length, unused
// bit count, bits), then one open type per addition present. The additions
// are not interpreted.
void skip_extensions(Reader& r)
{
    const size_t len = r.length();
    const uint8_t* bits = r.take(len);
    if (bits == nullptr) {
        return;
    }
    if (len < 2 || bits[0] > 7 || (bits[len - 1] & ((1u << bits[0]) - 1u)) != 0) {
        r.fail(CodecResult::Invalid);
        return;
    }
    size_t present = 0;
    for (size_t i = 1; i < len; ++i) {
        for (uint8_t b = bits[i]; b != 0; b &= static_cast<uint8_t>(b - 1)) {
            ++present;
        }
    }
    // Canonical: the extension bit is set only when an addition is there.
    if (present == 0) {
        r.fail(CodecResult::Invalid);
        return;
    }
    for (size_t i = 0; i < present && r.ok(); ++i) {
        r.take(r.length());
    }
}

void read_point(Reader& r, EccP256Point& aopPt)
{
    aopPt = EccP256Point();
    const uint8_t tag = r.u8();
    if (!r.ok()) {
        return;
    }
    switch (tag) {
    case kTag0:
    case kTag2:
    case kTag3:
        aopPt.form = static_cast<PointForm>(tag & 0x7F);
        r.copy(aopPt.x, kPointLen);
        break;
    case kTag4:
        aopPt.form = PointForm::Uncompressed;
        r.copy(aopPt.x, kPointLen);
        r.copy(aopPt.y, kPointLen);
        break;
    case kTag1:  // fill: never a point
        r.fail(CodecResult::Invalid);
        break;
    default:
        r.fail(CodecResult::Unsupported);
        break;
    }
}

void read_signature(Reader& r, EcdsaP256Sig& aopSig)
{
    aopSig = EcdsaP256Sig();
    const uint8_t tag = r.u8();
    if (r.ok() && tag != kTag0) {
        r.fail(CodecResult::Unsupported);
        return;
    }
    read_point(r, aopSig.r);
    r.copy(aopSig.s, kPointLen);
}

void skip_identified_region(Reader& r)
{
    const uint8_t tag = r.u8();
    if (!r.ok()) {
        return;
    }
    switch (tag) {
    case kTag0:  // countryOnly
        r.take(2);
        break;
    case kTag1:  // countryAndRegions: country, SEQUENCE OF Uint8
        r.take(2);
        skip_fixed(r, quantity(r), 1);
        break;
    case kTag2: {  // countryAndSubregions
        r.take(2);
        const uint64_t q = quantity(r);
        for (uint64_t i = 0; i < q && r.ok(); ++i) {
            r.take(1);  // region
            skip_fixed(r, quantity(r), 2);
        }
        break;
    }
    default:
        r.fail(CodecResult::Unsupported);
        break;
    }
}

void skip_region(Reader& r)
{
    const uint8_t tag = r.u8();
    if (!r.ok()) {
        return;
    }
    switch (tag) {
    case kTag0:  // circular: centre and a 2-byte radius
        r.take(kTwoDLocationLen + 2);
        break;
    case kTag1:  // rectangles: two corners each
        skip_fixed(r, quantity(r), 2 * kTwoDLocationLen);
        break;
    case kTag2: {  // polygon of three corners or more
        const uint64_t q = quantity(r);
        if (r.ok() && q < 3) {
            r.fail(CodecResult::Invalid);
        }
        skip_fixed(r, q, kTwoDLocationLen);
        break;
    }
    case kTag3: {
        const uint64_t q = quantity(r);
        for (uint64_t i = 0; i < q && r.ok(); ++i) {
            skip_identified_region(r);
        }
        break;
    }
    default:
        r.fail(CodecResult::Unsupported);
        break;
    }
}

void skip_ssp(Reader& r)
{
    const uint8_t tag = r.u8();
    if (!r.ok()) {
        return;
    }
    if (tag == kTag0) {  // opaque
        r.take(r.length());
    } else if (tag == kTag1) {  // bitmapSsp, an extension alternative
        OpenType ot(r);
        const size_t len = ot.in().length();
        if (ot.in().ok() && len > kMaxBitmapSsp) {
            ot.in().fail(CodecResult::Invalid);
        }
        ot.in().take(len);
        ot.close();
    } else {
        r.fail(CodecResult::Unsupported);
    }
}

void skip_ssp_range(Reader& r)
{
    const uint8_t tag = r.u8();
    if (!r.ok()) {
        return;
    }
    if (tag == kTag0) {  // opaque: SEQUENCE OF OCTET STRING
        const uint64_t q = quantity(r);
        for (uint64_t i = 0; i < q && r.ok(); ++i) {
            r.take(r.length());
        }
    } else if (tag == kTag1) {  // all
    } else if (tag == kTag2) {  // bitmapSspRange, an extension alternative
        OpenType ot(r);
        for (int i = 0; i < 2; ++i) {  // value, then mask
            const size_t len = ot.in().length();
            if (ot.in().ok() && (len < 1 || len > kMaxBitmapSspRange)) {
                ot.in().fail(CodecResult::Invalid);
            }
            ot.in().take(len);
        }
        ot.close();
    } else {
        r.fail(CodecResult::Unsupported);
    }
}

// SequenceOfPsidGroupPermissions. A member equal to its DEFAULT must be left
// out, so one written out with the default value is refused.
void skip_group_permissions(Reader& r)
{
    const uint64_t q = quantity(r);
    for (uint64_t i = 0; i < q && r.ok(); ++i) {
        const uint8_t pre = r.u8();
        if (r.ok() && (pre & 0x1F) != 0) {
            r.fail(CodecResult::Invalid);
        }
        const uint8_t tag = r.u8();
        if (!r.ok()) {
            return;
        }
        if (tag == kTag0) {  // explicit: SEQUENCE OF PsidSspRange
            const uint64_t k = quantity(r);
            for (uint64_t j = 0; j < k && r.ok(); ++j) {
                const uint8_t rpre = r.u8();
                if (r.ok() && (rpre & 0x7F) != 0) {
                    r.fail(CodecResult::Invalid);
                }
                r.uint_var();
                if ((rpre & 0x80) != 0) {
                    skip_ssp_range(r);
                }
            }
        } else if (tag != kTag1) {  // kTag1: all
            r.fail(CodecResult::Unsupported);
        }
        size_t len = 0;
        if ((pre & 0x80) != 0) {  // minChainLength, default 1
            const uint8_t* v = r.int_var(&len);
            if (v != nullptr && len == 1 && v[0] == 1) {
                r.fail(CodecResult::Invalid);
            }
        }
        if ((pre & 0x40) != 0) {  // chainLengthRange, default 0
            const uint8_t* v = r.int_var(&len);
            if (v != nullptr && len == 1 && v[0] == 0) {
                r.fail(CodecResult::Invalid);
            }
        }
        if ((pre & 0x20) != 0) {  // eeType, default {app}; never empty
            const uint8_t ee = r.u8();
            if (r.ok() && (ee == 0x80 || ee == 0)) {
                r.fail(CodecResult::Invalid);
            }
        }
    }
}

void skip_public_encryption_key(Reader& r)
{
    const uint8_t alg = r.u8();  // aes128Ccm 0, sm4Ccm 1
    if (r.ok() && alg > 1) {
        r.fail(CodecResult::Unsupported);
    }
    const uint8_t tag = r.u8();
    if (r.ok() && tag != kTag0 && tag != kTag1) {
        r.fail(CodecResult::Unsupported);
    }
    EccP256Point pt;
    read_point(r, pt);
}

void read_cert_id(Reader& r, Certificate& c)
{
    const uint8_t tag = r.u8();
    if (!r.ok()) {
        return;
    }
    const size_t start = r.pos();
    switch (tag) {
    case kTag0: {  // linkageData: iCert, linkage value, optional group value
        c.idKind = CertIdKind::LinkageData;
        const uint8_t pre = r.u8();
        if (r.ok() && (pre & 0x7F) != 0) {
            r.fail(CodecResult::Invalid);
        }
        r.take(2 + kLinkageValueLen);
        if ((pre & 0x80) != 0) {
            r.take(4 + kLinkageValueLen);
        }
        break;
    }
    case kTag1: {  // name
        c.idKind = CertIdKind::Name;
        const size_t len = r.length();
        if (r.ok() && len > kMaxHostname) {
            r.fail(CodecResult::Invalid);
        }
        r.take(len);
        break;
    }
    case kTag2: {  // binaryId
        c.idKind = CertIdKind::BinaryId;
        const size_t len = r.length();
        if (r.ok() && (len < 1 || len > kMaxBinaryId)) {
            r.fail(CodecResult::Invalid);
        }
        r.take(len);
        break;
    }
    case kTag3:
        c.idKind = CertIdKind::None;
        break;
    default:
        r.fail(CodecResult::Unsupported);
        break;
    }
    c.id = r.since(start);
}

void read_certificate(Reader& r, Certificate& c)
{
    c = Certificate();
    const size_t start = r.pos();
    const uint8_t pre = r.u8();  // signature present
    if (r.ok() && (pre & 0x7F) != 0) {
        r.fail(CodecResult::Invalid);
    }
    const uint8_t version = r.u8();
    if (r.ok() && version != kCertVersion) {
        r.fail(CodecResult::Invalid);
    }
    const uint8_t type = r.u8();
    if (r.ok() && type != 0) {  // implicit or unknown
        r.fail(CodecResult::Unsupported);
    }
    const uint8_t issuer = r.u8();
    if (r.ok()) {
        if (issuer == kTag0) {
            c.issuer = IssuerKind::Sha256AndDigest;
            r.copy(c.issuerDigest.b, sizeof(c.issuerDigest.b));
        } else if (issuer == kTag1) {
            c.issuer = IssuerKind::Self;
            if (r.u8() != 0 && r.ok()) {  // hash other than SHA-256
                r.fail(CodecResult::Unsupported);
            }
        } else {
            r.fail(CodecResult::Unsupported);
        }
    }

    const size_t tbsStart = r.pos();
    const uint8_t tpre = r.u8();
    if (r.ok() && (tpre & kTbsExt) != 0) {  // additions this record cannot keep
        r.fail(CodecResult::Unsupported);
    }
    read_cert_id(r, c);
    r.copy(c.cracaId, sizeof(c.cracaId));
    c.crlSeries = r.be16();
    c.validity.start = r.be32();
    const uint8_t unit = r.u8();
    if (r.ok() && (unit < kTag0 || unit > (kTag0 | static_cast<uint8_t>(DurationUnit::Years)))) {
        r.fail(CodecResult::Unsupported);
    }
    c.validity.unit = static_cast<DurationUnit>(unit & 0x07);
    c.validity.value = r.be16();
    size_t s = r.pos();
    if ((tpre & kTbsRegion) != 0) {
        skip_region(r);
        c.region = r.since(s);
    }
    s = r.pos();
    if ((tpre & kTbsAssurance) != 0) {
        r.take(1);
        c.assuranceLevel = r.since(s);
    }
    if ((tpre & kTbsApp) != 0) {
        c.hasAppPermissions = true;
        const uint64_t q = quantity(r);
        if (r.ok() && q > kMaxPsids) {
            r.fail(CodecResult::Unsupported);
        }
        for (uint64_t i = 0; i < q && r.ok(); ++i) {
            PsidSsp& ps = c.psids[i];
            const uint8_t ppre = r.u8();
            if (r.ok() && (ppre & 0x7F) != 0) {
                r.fail(CodecResult::Invalid);
            }
            ps.psid = r.uint_var();
            s = r.pos();
            if ((ppre & 0x80) != 0) {
                skip_ssp(r);
                ps.ssp = r.since(s);
            }
        }
        c.psidCount = r.ok() ? static_cast<uint8_t>(q) : 0;
    }
    s = r.pos();
    if ((tpre & kTbsIssue) != 0) {
        skip_group_permissions(r);
        c.certIssuePermissions = r.since(s);
    }
    s = r.pos();
    if ((tpre & kTbsRequest) != 0) {
        skip_group_permissions(r);
        c.certRequestPermissions = r.since(s);
    }
    c.canRequestRollover = (tpre & kTbsRollover) != 0;
    s = r.pos();
    if ((tpre & kTbsEncKey) != 0) {
        skip_public_encryption_key(r);
        c.encryptionKey = r.since(s);
    }
    // verifyKeyIndicator: verificationKey, ecdsaNistP256 only.
    const uint8_t vki = r.u8();
    const uint8_t alg = r.u8();
    if (r.ok() && (vki != kTag0 || alg != kTag0)) {
        r.fail(CodecResult::Unsupported);
    }
    read_point(r, c.verifyKey);
    c.toBeSigned = r.since(tbsStart);

    if ((pre & 0x80) != 0) {
        c.hasSignature = true;
        read_signature(r, c.signature);
    }
    c.whole = r.since(start);
}

// headerInfo after psid and the times: what the record keeps as headerRest.
void skip_header_rest(Reader& r, uint8_t aicPre)
{
    if ((aicPre & kHdrLocation) != 0) {
        r.take(kThreeDLocationLen);
    }
    if ((aicPre & kHdrP2pcd) != 0) {
        r.take(3);
    }
    if ((aicPre & kHdrMissingCrl) != 0) {  // cracaId, crlSeries, extensible
        const uint8_t mpre = r.u8();
        if (r.ok() && (mpre & 0x7F) != 0) {
            r.fail(CodecResult::Invalid);
        }
        r.take(3 + 2);
        if ((mpre & 0x80) != 0) {
            skip_extensions(r);
        }
    }
    if ((aicPre & kHdrEncKey) != 0) {
        const uint8_t tag = r.u8();
        if (tag == kTag0 && r.ok()) {
            skip_public_encryption_key(r);
        } else if (tag == kTag1 && r.ok()) {  // symmetric: aes128Ccm only
            if (r.u8() != kTag0 && r.ok()) {
                r.fail(CodecResult::Unsupported);
            }
            r.take(16);
        } else {
            r.fail(CodecResult::Unsupported);
        }
    }
    if ((aicPre & kHdrExt) != 0) {
        skip_extensions(r);
    }
}

void read_signed(Reader& r, SecuredData& d)
{
    d.kind = ContentKind::Signed;
    const uint8_t hashId = r.u8();
    if (r.ok() && hashId != 0) {  // SHA-256 only
        r.fail(CodecResult::Unsupported);
    }
    const size_t tbsStart = r.pos();
    // SignedDataPayload: data present, extDataHash and additions not taken.
    const uint8_t ppre = r.u8();
    if (r.ok()) {
        if ((ppre & 0x1F) != 0) {
            r.fail(CodecResult::Invalid);
        } else if ((ppre & 0xA0) != 0) {
            r.fail(CodecResult::Unsupported);
        } else if ((ppre & 0x40) == 0) {  // neither data nor hash
            r.fail(CodecResult::Invalid);
        }
    }
    const uint8_t version = r.u8();
    if (r.ok() && version != kProtocolVersion) {
        r.fail(CodecResult::Invalid);
    }
    const uint8_t inner = r.u8();
    if (r.ok() && inner != kTag0) {  // nested signing or encryption
        r.fail(CodecResult::Unsupported);
    }
    const size_t len = r.length();
    const uint8_t* payload = r.take(len);
    if (payload != nullptr) {
        d.payload.p = payload;
        d.payload.n = len;
    }

    const uint8_t hpre = r.u8();
    if (r.ok() && (hpre & 0x01) != 0) {
        r.fail(CodecResult::Invalid);
    }
    d.psid = r.uint_var();
    d.hasGenerationTime = (hpre & kHdrGenTime) != 0;
    if (d.hasGenerationTime) {
        d.generationTime = r.be64();
    }
    d.hasExpiryTime = (hpre & kHdrExpiry) != 0;
    if (d.hasExpiryTime) {
        d.expiryTime = r.be64();
    }
    const size_t restStart = r.pos();
    skip_header_rest(r, hpre);
    d.headerRest = r.since(restStart);
    d.headerRestBits = static_cast<uint8_t>(hpre & kHdrRestMask);
    d.tbsData = r.since(tbsStart);

    const uint8_t signer = r.u8();
    if (!r.ok()) {
        return;
    }
    if (signer == kTag0) {
        d.signer = SignerKind::Digest;
        r.copy(d.signerDigest.b, sizeof(d.signerDigest.b));
    } else if (signer == kTag1) {
        d.signer = SignerKind::Certificate;
        const uint64_t q = quantity(r);
        if (r.ok() && (q == 0 || q > kMaxChain)) {
            r.fail(CodecResult::Invalid);
        }
        Certificate scratch;
        for (uint64_t i = 0; i < q && r.ok(); ++i) {
            const size_t s = r.pos();
            read_certificate(r, scratch);
            d.certs[i] = r.since(s);
        }
        d.certCount = r.ok() ? static_cast<uint8_t>(q) : 0;
    } else if (signer == kTag2) {
        d.signer = SignerKind::Self;
    } else {
        r.fail(CodecResult::Unsupported);
    }
    read_signature(r, d.signature);
}

// Bounds-checked writer into a caller's buffer. NoRoom when it does not
// fit, Invalid when the record holds something with no encoding; the first
// error sticks.
class Writer {
public:
    Writer(uint8_t* aopBuf, size_t aicCap) : p_(aopBuf), cap_(aopBuf != nullptr ? aicCap : 0) {}

    bool ok() const { return err_ == CodecResult::Ok; }
    CodecResult err() const { return err_; }
    void fail(CodecResult r)
    {
        if (ok()) {
            err_ = r;
        }
    }
    size_t used() const { return pos_; }

    void bytes(const void* aipcSrc, size_t len)
    {
        if (!ok() || len == 0) {
            return;
        }
        if (aipcSrc == nullptr) {
            fail(CodecResult::Invalid);
            return;
        }
        if (len > cap_ - pos_) {
            fail(CodecResult::NoRoom);
            return;
        }
        memcpy(p_ + pos_, aipcSrc, len);
        pos_ += len;
    }
    void span(const Span& s) { bytes(s.p, s.n); }
    void u8(uint8_t v) { bytes(&v, 1); }
    void be(uint64_t v, size_t len)
    {
        uint8_t b[8];
        for (size_t i = 0; i < len; ++i) {
            b[len - 1 - i] = static_cast<uint8_t>(v >> (8 * i));
        }
        bytes(b, len);
    }
    void length(size_t n)
    {
        if (n < 0x80) {
            u8(static_cast<uint8_t>(n));
            return;
        }
        size_t k = 0;
        for (size_t v = n; v != 0; v >>= 8) {
            ++k;
        }
        u8(static_cast<uint8_t>(0x80 | k));
        be(n, k);
    }
    void uint_var(uint64_t v)
    {
        size_t k = 1;
        while (k < 8 && (v >> (8 * k)) != 0) {
            ++k;
        }
        length(k);
        be(v, k);
    }

private:
    uint8_t* p_;
    size_t cap_;
    size_t pos_ = 0;
    CodecResult err_ = CodecResult::Ok;
};

void write_point(Writer& w, const EccP256Point& aicPt)
{
    switch (aicPt.form) {
    case PointForm::XOnly:
    case PointForm::CompressedY0:
    case PointForm::CompressedY1:
        w.u8(static_cast<uint8_t>(kTag0 | static_cast<uint8_t>(aicPt.form)));
        w.bytes(aicPt.x, kPointLen);
        break;
    case PointForm::Uncompressed:
        w.u8(kTag4);
        w.bytes(aicPt.x, kPointLen);
        w.bytes(aicPt.y, kPointLen);
        break;
    default:
        w.fail(CodecResult::Invalid);
        break;
    }
}

void write_signature(Writer& w, const EcdsaP256Sig& aicSig)
{
    w.u8(kTag0);
    write_point(w, aicSig.r);
    w.bytes(aicSig.s, kPointLen);
}

void write_cert_tbs(Writer& w, const Certificate& c)
{
    if (c.idKind > CertIdKind::None || c.validity.unit > DurationUnit::Years ||
        c.psidCount > kMaxPsids || (!c.assuranceLevel.empty() && c.assuranceLevel.n != 1) ||
        (c.idKind != CertIdKind::None && c.id.empty())) {
        w.fail(CodecResult::Invalid);
        return;
    }
    uint8_t pre = 0;
    pre |= c.region.empty() ? 0 : kTbsRegion;
    pre |= c.assuranceLevel.empty() ? 0 : kTbsAssurance;
    pre |= c.hasAppPermissions ? kTbsApp : 0;
    pre |= c.certIssuePermissions.empty() ? 0 : kTbsIssue;
    pre |= c.certRequestPermissions.empty() ? 0 : kTbsRequest;
    pre |= c.canRequestRollover ? kTbsRollover : 0;
    pre |= c.encryptionKey.empty() ? 0 : kTbsEncKey;
    w.u8(pre);
    w.u8(static_cast<uint8_t>(kTag0 | static_cast<uint8_t>(c.idKind)));
    if (c.idKind != CertIdKind::None) {
        w.span(c.id);
    }
    w.bytes(c.cracaId, sizeof(c.cracaId));
    w.be(c.crlSeries, 2);
    w.be(c.validity.start, 4);
    w.u8(static_cast<uint8_t>(kTag0 | static_cast<uint8_t>(c.validity.unit)));
    w.be(c.validity.value, 2);
    w.span(c.region);
    w.span(c.assuranceLevel);
    if (c.hasAppPermissions) {
        w.uint_var(c.psidCount);
        for (size_t i = 0; i < c.psidCount; ++i) {
            w.u8(c.psids[i].ssp.empty() ? 0 : 0x80);
            w.uint_var(c.psids[i].psid);
            w.span(c.psids[i].ssp);
        }
    }
    w.span(c.certIssuePermissions);
    w.span(c.certRequestPermissions);
    w.span(c.encryptionKey);
    w.u8(kTag0);  // verificationKey
    w.u8(kTag0);  // ecdsaNistP256
    write_point(w, c.verifyKey);
}

void write_certificate(Writer& w, const Certificate& c)
{
    w.u8(c.hasSignature ? 0x80 : 0x00);
    w.u8(kCertVersion);
    w.u8(0);  // explicit
    if (c.issuer == IssuerKind::Sha256AndDigest) {
        w.u8(kTag0);
        w.bytes(c.issuerDigest.b, sizeof(c.issuerDigest.b));
    } else if (c.issuer == IssuerKind::Self) {
        w.u8(kTag1);
        w.u8(0);  // SHA-256
    } else {
        w.fail(CodecResult::Invalid);
    }
    write_cert_tbs(w, c);
    if (c.hasSignature) {
        write_signature(w, c.signature);
    }
}

void write_tbs_data(Writer& w, const SecuredData& d)
{
    const bool restBitsOk = (d.headerRestBits & ~kHdrRestMask) == 0 &&
                            d.headerRest.empty() == (d.headerRestBits == 0);
    if (d.kind != ContentKind::Signed || !restBitsOk) {
        w.fail(CodecResult::Invalid);
        return;
    }
    w.u8(0x40);  // data present
    w.u8(kProtocolVersion);
    w.u8(kTag0);  // unsecuredData
    w.length(d.payload.n);
    w.span(d.payload);
    uint8_t hpre = d.headerRestBits;
    hpre |= d.hasGenerationTime ? kHdrGenTime : 0;
    hpre |= d.hasExpiryTime ? kHdrExpiry : 0;
    w.u8(hpre);
    w.uint_var(d.psid);
    if (d.hasGenerationTime) {
        w.be(d.generationTime, 8);
    }
    if (d.hasExpiryTime) {
        w.be(d.expiryTime, 8);
    }
    w.span(d.headerRest);
}

CodecResult finish(const Writer& w, size_t* aopLen)
{
    if (aopLen != nullptr) {
        *aopLen = w.ok() ? w.used() : 0;
    }
    return w.err();
}

size_t length_size(size_t n)
{
    size_t k = 1;
    if (n >= 0x80) {
        for (size_t v = n; v != 0; v >>= 8) {
            ++k;
        }
    }
    return k;
}

size_t uint_size(uint64_t v)
{
    size_t k = 1;
    while (k < 8 && (v >> (8 * k)) != 0) {
        ++k;
    }
    return length_size(k) + k;
}

}  // namespace

uint64_t ValidityPeriod::end() const
{
    uint64_t secs = 0;
    switch (unit) {
    case DurationUnit::Microseconds: secs = value / 1000000u; break;
    case DurationUnit::Milliseconds: secs = value / 1000u; break;
    case DurationUnit::Seconds: secs = value; break;
    case DurationUnit::Minutes: secs = uint64_t{value} * 60u; break;
    case DurationUnit::Hours: secs = uint64_t{value} * 3600u; break;
    case DurationUnit::SixtyHours: secs = uint64_t{value} * 216000u; break;
    case DurationUnit::Years: secs = uint64_t{value} * 31556952u; break;
    }
    return uint64_t{start} + secs;
}

bool Certificate::permits(uint64_t psid) const
{
    if (!hasAppPermissions) {
        return false;
    }
    for (size_t i = 0; i < psidCount && i < kMaxPsids; ++i) {
        if (psids[i].psid == psid) {
            return true;
        }
    }
    return false;
}

const char* codec_result_name(CodecResult r)
{
    switch (r) {
    case CodecResult::Ok: return "ok";
    case CodecResult::Truncated: return "truncated";
    case CodecResult::Unsupported: return "unsupported";
    case CodecResult::Invalid: return "invalid";
    case CodecResult::NoRoom: return "no room";
    }
    return "?";
}

CodecResult decode_certificate(const uint8_t* aipcData, size_t aicLen, Certificate& aoCert)
{
    Reader r(aipcData, aicLen);
    read_certificate(r, aoCert);
    if (r.ok() && r.left() != 0) {
        r.fail(CodecResult::Invalid);
    }
    return r.err();
}

CodecResult decode_secured_data(const uint8_t* aipcData, size_t aicLen, SecuredData& aoData)
{
    aoData = SecuredData();
    Reader r(aipcData, aicLen);
    const uint8_t version = r.u8();
    if (r.ok() && version != kProtocolVersion) {
        r.fail(CodecResult::Invalid);
    }
    const uint8_t tag = r.u8();
    if (r.ok()) {
        if (tag == kTag0) {
            aoData.kind = ContentKind::Unsecured;
            const size_t len = r.length();
            const uint8_t* b = r.take(len);
            if (b != nullptr) {
                aoData.payload.p = b;
                aoData.payload.n = len;
            }
        } else if (tag == kTag1) {
            read_signed(r, aoData);
        } else {
            r.fail(CodecResult::Unsupported);
        }
    }
    if (r.ok() && r.left() != 0) {
        r.fail(CodecResult::Invalid);
    }
    return r.err();
}

CodecResult encode_certificate(const Certificate& aicCert, uint8_t* aopBuf, size_t aicCap,
                               size_t* aopLen)
{
    Writer w(aopBuf, aicCap);
    write_certificate(w, aicCert);
    return finish(w, aopLen);
}

CodecResult encode_cert_tbs(const Certificate& aicCert, uint8_t* aopBuf, size_t aicCap,
                            size_t* aopLen)
{
    Writer w(aopBuf, aicCap);
    write_cert_tbs(w, aicCert);
    return finish(w, aopLen);
}

CodecResult encode_secured_data(const SecuredData& aicData, uint8_t* aopBuf, size_t aicCap,
                                size_t* aopLen)
{
    const SecuredData& d = aicData;
    Writer w(aopBuf, aicCap);
    w.u8(kProtocolVersion);
    if (d.kind == ContentKind::Unsecured) {
        w.u8(kTag0);
        w.length(d.payload.n);
        w.span(d.payload);
        return finish(w, aopLen);
    }
    w.u8(kTag1);
    w.u8(0);  // hashId SHA-256
    write_tbs_data(w, d);
    switch (d.signer) {
    case SignerKind::Digest:
        w.u8(kTag0);
        w.bytes(d.signerDigest.b, sizeof(d.signerDigest.b));
        break;
    case SignerKind::Certificate:
        if (d.certCount == 0 || d.certCount > kMaxChain) {
            w.fail(CodecResult::Invalid);
            break;
        }
        w.u8(kTag1);
        w.uint_var(d.certCount);
        for (size_t i = 0; i < d.certCount; ++i) {
            if (d.certs[i].empty()) {
                w.fail(CodecResult::Invalid);
            }
            w.span(d.certs[i]);
        }
        break;
    case SignerKind::Self:
        w.u8(kTag2);
        break;
    default:
        w.fail(CodecResult::Invalid);
        break;
    }
    write_signature(w, d.signature);
    return finish(w, aopLen);
}

CodecResult encode_tbs_data(const SecuredData& aicData, uint8_t* aopBuf, size_t aicCap,
                            size_t* aopLen)
{
    Writer w(aopBuf, aicCap);
    write_tbs_data(w, aicData);
    return finish(w, aopLen);
}

size_t signed_data_len(size_t aicLen, uint64_t aicPsid, size_t aicSignerCertLen)
{
    // version, signedData tag, hashId
    size_t n = 3;
    // payload preamble, inner version and tag, length, payload
    n += 3 + length_size(aicLen) + aicLen;
    // headerInfo preamble, psid, generation time
    n += 1 + uint_size(aicPsid) + 8;
    // signer: a digest, or one certificate (tag, quantity 1, certificate)
    n += aicSignerCertLen == 0 ? 1 + 8 : 1 + uint_size(1) + aicSignerCertLen;
    // signature: tag, r (tag, x), s
    n += 1 + 1 + kPointLen + kPointLen;
    return n;
}

}  // namespace sec
