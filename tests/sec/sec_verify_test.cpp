// SPDX-License-Identifier: Apache-2.0
// Signatures, the trust store and the verifier's receive rules: known
// answers from an independent PKI, a cross-check with plain OpenSSL, a
// three-level PKI made here, and verification from several threads.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include "sec_codec.hpp"
#include "sec_crypto.hpp"
#include "sec_service.hpp"
#include "sec_time.hpp"

using namespace sec;
using Bytes = std::vector<uint8_t>;

namespace {

std::string vectors_dir()
{
    std::string f = __FILE__;
    return f.substr(0, f.rfind('/')) + "/vectors/";
}

Bytes read_hex(const std::string& aicName)
{
    std::ifstream in(vectors_dir() + aicName);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes out;
    int hi = -1;
    for (char ch : text) {
        if (!isxdigit(static_cast<unsigned char>(ch)))
            continue;
        const int v = isdigit(static_cast<unsigned char>(ch)) ? ch - '0' : (tolower(ch) - 'a' + 10);
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

std::string hex(const uint8_t* p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

// A certificate for subject's key, signed by the issuer (self when null).
Bytes make_cert(const Bytes* aipIssuer, EVP_PKEY* aipIssuerKey, EVP_PKEY* aipSubject, uint32_t aicStart,
                DurationUnit aicUnit, uint16_t aicValue, std::vector<uint64_t> aicPsids,
                const EccP256Point* aipKeyOverride = nullptr)
{
    Certificate c;
    c.issuer = aipIssuer ? IssuerKind::Sha256AndDigest : IssuerKind::Self;
    if (aipIssuer)
        c.issuerDigest = hashed_id8(aipIssuer->data(), aipIssuer->size());
    c.idKind = CertIdKind::None;
    c.validity.start = aicStart;
    c.validity.unit = aicUnit;
    c.validity.value = aicValue;
    c.hasAppPermissions = !aicPsids.empty();
    for (uint64_t p : aicPsids)
        c.psids[c.psidCount++].psid = p;
    if (aipKeyOverride)
        c.verifyKey = *aipKeyOverride;
    else
        EXPECT_TRUE(compressed_point(aipSubject, c.verifyKey));
    uint8_t buf[1024];
    size_t n = 0;
    EXPECT_EQ(encode_cert_tbs(c, buf, sizeof buf, &n), CodecResult::Ok);
    uint8_t digest[32];
    signing_digest(buf, n, aipIssuer ? aipIssuer->data() : nullptr, aipIssuer ? aipIssuer->size() : 0, digest);
    EXPECT_TRUE(sign_digest(aipIssuerKey, digest, c.signature));
    c.hasSignature = true;
    EXPECT_EQ(encode_certificate(c, buf, sizeof buf, &n), CodecResult::Ok);
    return Bytes(buf, buf + n);
}

// Root, authority and end entity (PSID 32 and 33 only for the last),
// valid from a day ago for a year.
struct Pki {
    Pkey rootKey = generate_key(), caKey = generate_key(), eeKey = generate_key();
    uint32_t start = unix_s_to_time32(time(nullptr)) - 86400;
    Bytes root = make_cert(nullptr, rootKey.get(), rootKey.get(), start, DurationUnit::Years, 1, {});
    Bytes ca = make_cert(&root, rootKey.get(), caKey.get(), start, DurationUnit::Years, 1, {});
    Bytes ee = make_cert(&ca, caKey.get(), eeKey.get(), start, DurationUnit::Years, 1, {32, 33});

    void trust(TrustStore& aoStore, bool aicWithCa = true) const
    {
        ASSERT_TRUE(aoStore.add(root.data(), root.size(), true, nullptr));
        if (aicWithCa) {
            ASSERT_TRUE(aoStore.add(ca.data(), ca.size(), false, nullptr));
        }
    }
};

Pkey dup_key(EVP_PKEY* aipKey)
{
    EVP_PKEY_up_ref(aipKey);
    return Pkey(aipKey);
}

Bytes sign_rec(const Signer& aicS, uint64_t aicPsid, uint64_t aicGen, SignerKind aicKind, const char* aipcPayload)
{
    uint8_t buf[2048];
    size_t n = 0;
    EXPECT_EQ(aicS.sign(reinterpret_cast<const uint8_t*>(aipcPayload), strlen(aipcPayload), aicPsid, aicGen, aicKind,
                        buf, sizeof buf, &n),
              CodecResult::Ok);
    return Bytes(buf, buf + n);
}

VerifyResult check(Verifier& aoV, const Bytes& aicRec, uint64_t aicNow, VerifyOut* aopOut = nullptr)
{
    VerifyOut out;
    const VerifyResult r = aoV.verify(aicRec.data(), aicRec.size(), aicNow, out);
    if (aopOut)
        *aopOut = out;
    return r;
}

std::string temp_dir()
{
    char tmpl[] = "/tmp/sec_verify_XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    return tmpl;
}

}  // namespace

TEST(SecKnownAnswers, IndependentPkiHashesSignaturesAndRecord)
{
    struct V {
        const char* file;
        const char* issuer;  // null for a root
        const char* id;
    } certs[] = {
        {"lg_aca_root.cert.hex", nullptr, "033f821e76587884"},
        {"lg_aca_ica.cert.hex", "lg_aca_root.cert.hex", "a5e944214be5b9e6"},
        {"lg_aca_aca.cert.hex", "lg_aca_ica.cert.hex", "df158f6cb0f1e4f2"},
        {"lg_eca_root.cert.hex", nullptr, "d163e79063beef66"},
        {"lg_eca_ica.cert.hex", "lg_eca_root.cert.hex", "3631eee885298ccc"},
        {"lg_eca_eca.cert.hex", "lg_eca_ica.cert.hex", "b4e9c6cdab3ac006"},
    };
    const std::string dir = temp_dir();
    for (const V& v : certs) {
        SCOPED_TRACE(v.file);
        const Bytes b = read_hex(v.file);
        ASSERT_FALSE(b.empty());
        const HashedId8 id = hashed_id8(b.data(), b.size());
        EXPECT_EQ(hex(id.b, 8), v.id);
        Certificate c, ic;
        ASSERT_EQ(decode_certificate(b.data(), b.size(), c), CodecResult::Ok);
        const Bytes issuer = v.issuer ? read_hex(v.issuer) : b;
        ASSERT_EQ(decode_certificate(issuer.data(), issuer.size(), ic), CodecResult::Ok);
        if (v.issuer) {
            EXPECT_EQ(memcmp(c.issuerDigest.b, hashed_id8(issuer.data(), issuer.size()).b, 8), 0);
        }
        Pkey key = public_key(ic.verifyKey);
        ASSERT_TRUE(key);
        uint8_t digest[32];
        signing_digest(c.toBeSigned.p, c.toBeSigned.n, v.issuer ? issuer.data() : nullptr,
                       v.issuer ? issuer.size() : 0, digest);
        EXPECT_TRUE(verify_digest(key.get(), digest, c.signature));
        digest[5] ^= 1;
        EXPECT_FALSE(verify_digest(key.get(), digest, c.signature));
        FILE* f = fopen((dir + "/" + v.file).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(b.data(), 1, b.size(), f);
        fclose(f);
    }
    // The folder as a trust folder: the two roots are anchors.
    TrustStore folder;
    std::string why;
    EXPECT_EQ(folder.load_dir(dir.c_str(), &why), 6) << why;
    EXPECT_EQ(folder.anchors(), 2u);
    VerifyResult vr = VerifyResult::Ok;
    EXPECT_EQ(folder.find_checked(HashedId8{}, &vr), nullptr);
    EXPECT_EQ(vr, VerifyResult::UnknownSigner);
    {
        const Bytes aca = read_hex("lg_aca_aca.cert.hex");
        auto kc = folder.find_checked(hashed_id8(aca.data(), aca.size()), &vr);
        ASSERT_TRUE(kc);
        EXPECT_TRUE(kc->chainChecked);
        EXPECT_EQ(kc->depth, 3);
    }
    FILE* junk = fopen((dir + "/zz.cert").c_str(), "wb");
    ASSERT_NE(junk, nullptr);
    fputs("junk", junk);
    fclose(junk);
    EXPECT_EQ(TrustStore().load_dir(dir.c_str(), &why), -1);
    EXPECT_NE(why.find("zz.cert"), std::string::npos) << why;
    for (const V& v : certs)
        unlink((dir + "/" + v.file).c_str());
    unlink((dir + "/zz.cert").c_str());
    rmdir(dir.c_str());

    // The signed record: its signature and chain verify with the ECA root
    // as the only anchor, yet it is refused for its time and its PSID.
    const Bytes rec = read_hex("lg_crl.spdu.hex");
    ASSERT_EQ(rec.size(), 606u);
    SecuredData d;
    ASSERT_EQ(decode_secured_data(rec.data(), rec.size(), d), CodecResult::Ok);
    ASSERT_EQ(d.signer, SignerKind::Certificate);
    ASSERT_EQ(d.certCount, 3);
    Certificate signerCert;
    ASSERT_EQ(decode_certificate(d.certs[0].p, d.certs[0].n, signerCert), CodecResult::Ok);
    Pkey signerKey = public_key(signerCert.verifyKey);
    uint8_t digest[32];
    signing_digest(d.tbsData.p, d.tbsData.n, d.certs[0].p, d.certs[0].n, digest);
    EXPECT_TRUE(verify_digest(signerKey.get(), digest, d.signature));

    TrustStore store;
    const Bytes ecaRoot = read_hex("lg_eca_root.cert.hex");
    ASSERT_TRUE(store.add(ecaRoot.data(), ecaRoot.size(), true, &why)) << why;
    Verifier v(store, VerifyPolicy());
    VerifyOut out;
    EXPECT_EQ(check(v, rec, time64_now(), &out), VerifyResult::Expired);
    EXPECT_TRUE(out.signerWasNew);
    EXPECT_EQ(store.size(), 3u);  // the chain was learned: its signatures verified
    // At its own time the certificates are still not valid (2004): the
    // validity check comes before the PSID check, so the PSID refusal
    // shows in the signer's permissions.
    VerifyPolicy wide;
    wide.windowBackUs = wide.windowAheadUs = UINT64_MAX / 4;
    Verifier atItsTime(store, wide);
    EXPECT_EQ(check(atItsTime, rec, d.generationTime, &out), VerifyResult::Expired);
    EXPECT_FALSE(out.signerWasNew);
    auto kc = store.find_checked(out.signer, &vr);
    ASSERT_TRUE(kc);
    EXPECT_EQ(kc->depth, 3);
    EXPECT_FALSE(kc->permits(d.psid));
    EXPECT_EQ(d.psid, 1u);
    EXPECT_TRUE(kc->permits(35));
}

TEST(SecCrypto, CrossCheckWithPlainOpenSsl)
{
    Pkey key = generate_key();
    ASSERT_TRUE(key);
    uint8_t digest[32];
    sha256("message", 7, digest);

    // Ours signs, OpenSSL verifies the DER it is given.
    EcdsaP256Sig sig;
    ASSERT_TRUE(sign_digest(key.get(), digest, sig));
    EXPECT_EQ(sig.r.form, PointForm::XOnly);
    auto der_of = [](const EcdsaP256Sig& s) {
        ECDSA_SIG* e = ECDSA_SIG_new();
        ECDSA_SIG_set0(e, BN_bin2bn(s.r.x, 32, nullptr), BN_bin2bn(s.s, 32, nullptr));
        unsigned char* p = nullptr;
        const int n = i2d_ECDSA_SIG(e, &p);
        Bytes out(p, p + n);
        OPENSSL_free(p);
        ECDSA_SIG_free(e);
        return out;
    };
    auto ossl_verify = [&](const Bytes& der, const uint8_t* dg) {
        EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(key.get(), nullptr);
        const int r = EVP_PKEY_verify_init(c) == 1 ? EVP_PKEY_verify(c, der.data(), der.size(), dg, 32) : -1;
        EVP_PKEY_CTX_free(c);
        return r == 1;
    };
    EXPECT_TRUE(ossl_verify(der_of(sig), digest));
    EcdsaP256Sig bad = sig;
    bad.s[31] ^= 1;
    EXPECT_FALSE(ossl_verify(der_of(bad), digest));
    EXPECT_FALSE(verify_digest(key.get(), digest, bad));

    // OpenSSL signs; ours verifies, with r in any form (only x counts).
    // Signatures repeat until r and s both have a leading zero byte and a
    // top bit set, so that the DER's shortest and longest INTEGERs occur.
    bool sawShort = false, sawLong = false;
    for (int i = 0; i < 600 && !(sawShort && sawLong); ++i) {
        EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(key.get(), nullptr);
        unsigned char der[80];
        size_t n = sizeof der;
        ASSERT_EQ(EVP_PKEY_sign_init(c), 1);
        ASSERT_EQ(EVP_PKEY_sign(c, der, &n, digest, 32), 1);
        EVP_PKEY_CTX_free(c);
        const unsigned char* p = der;
        ECDSA_SIG* e = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(n));
        ASSERT_NE(e, nullptr);
        EcdsaP256Sig s;
        ASSERT_EQ(BN_bn2binpad(ECDSA_SIG_get0_r(e), s.r.x, 32), 32);
        ASSERT_EQ(BN_bn2binpad(ECDSA_SIG_get0_s(e), s.s, 32), 32);
        ECDSA_SIG_free(e);
        sawShort |= s.r.x[0] == 0 || s.s[0] == 0;
        sawLong |= (s.r.x[0] & 0x80) || (s.s[0] & 0x80);
        s.r.form = static_cast<PointForm>(i % 2 ? 0 : 2 + i % 3);
        ASSERT_TRUE(verify_digest(key.get(), digest, s)) << i;
        s.r.x[i % 32] ^= 0x10;
        ASSERT_FALSE(verify_digest(key.get(), digest, s)) << i;
    }
    EXPECT_TRUE(sawShort && sawLong);

    // Points: the compressed key gives the same key back; off-curve refused.
    EccP256Point pt;
    ASSERT_TRUE(compressed_point(key.get(), pt));
    Pkey back = public_key(pt);
    ASSERT_TRUE(back);
    EXPECT_EQ(EVP_PKEY_eq(back.get(), key.get()), 1);
    pt.form = PointForm::XOnly;
    EXPECT_FALSE(public_key(pt));
    EccP256Point un;
    un.form = PointForm::Uncompressed;
    memset(un.x, 0x11, 32);
    memset(un.y, 0x22, 32);
    EXPECT_FALSE(public_key(un));
}

TEST(SecKeyFiles, ModeRefusedAndSavedPrivate)
{
    const std::string dir = temp_dir();
    const std::string path = dir + "/station.key";
    Pkey key = generate_key();
    // An older, wider file: saving narrows it.
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    std::string why;
    ASSERT_TRUE(save_private_key(key.get(), path.c_str(), &why)) << why;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    Pkey loaded = load_private_key(path.c_str(), &why);
    ASSERT_TRUE(loaded) << why;
    EXPECT_EQ(EVP_PKEY_eq(loaded.get(), key.get()), 1);
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    why.clear();
    EXPECT_FALSE(load_private_key(path.c_str(), &why));
    EXPECT_NE(why.find(path), std::string::npos) << why;
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    EXPECT_FALSE(load_private_key(path.c_str(), &why));
    unlink(path.c_str());
    rmdir(dir.c_str());
}

TEST(SecVerifier, ReceiveRulesOnAPkiMadeHere)
{
    Pki pki;
    const uint64_t now = time64_now();
    Signer s;
    std::string why;
    EXPECT_FALSE(s.set(pki.ee.data(), pki.ee.size(), dup_key(pki.caKey.get()), &why));
    EXPECT_NE(why.find("does not match"), std::string::npos) << why;
    ASSERT_TRUE(s.set(pki.ee.data(), pki.ee.size(), dup_key(pki.eeKey.get()), &why)) << why;

    TrustStore store;
    pki.trust(store);
    Verifier v(store, VerifyPolicy());
    VerifyOut out;
    // A digest signer is unknown until a certificate-signed record teaches it.
    EXPECT_EQ(check(v, sign_rec(s, 32, now, SignerKind::Digest, "a"), now), VerifyResult::UnknownSigner);
    const Bytes withCert = sign_rec(s, 32, now, SignerKind::Certificate, "b");
    EXPECT_EQ(check(v, withCert, now, &out), VerifyResult::Ok);
    EXPECT_TRUE(out.signerWasNew);
    EXPECT_EQ(memcmp(out.signer.b, s.id().b, 8), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.payload.p), out.payload.n), "b");
    EXPECT_EQ(check(v, sign_rec(s, 32, now, SignerKind::Certificate, "c"), now, &out), VerifyResult::Ok);
    EXPECT_FALSE(out.signerWasNew);
    const Bytes rec = sign_rec(s, 32, now, SignerKind::Digest, "d");
    EXPECT_EQ(check(v, rec, now), VerifyResult::Ok);

    // The same record again, and with r re-encoded compressed (same x, so
    // the signature still verifies): a replay either way.
    EXPECT_EQ(check(v, rec, now), VerifyResult::Replay);
    SecuredData d;
    ASSERT_EQ(decode_secured_data(rec.data(), rec.size(), d), CodecResult::Ok);
    for (PointForm form : {PointForm::CompressedY0, PointForm::CompressedY1}) {
        d.signature.r.form = form;
        uint8_t buf[512];
        size_t n = 0;
        ASSERT_EQ(encode_secured_data(d, buf, sizeof buf, &n), CodecResult::Ok);
        ASSERT_EQ(n, rec.size() + 0u);
        EXPECT_EQ(check(v, Bytes(buf, buf + n), now), VerifyResult::Replay);
    }

    // Tampered signature, wrong PSID, time outside the window.
    Bytes bad = rec;
    bad[bad.size() - 1] ^= 1;
    EXPECT_EQ(check(v, bad, now), VerifyResult::BadSignature);
    EXPECT_EQ(check(v, sign_rec(s, 34, now, SignerKind::Digest, "e"), now), VerifyResult::PsidNotPermitted);
    EXPECT_EQ(check(v, sign_rec(s, 32, now - 31000000, SignerKind::Digest, "f"), now), VerifyResult::Stale);
    EXPECT_EQ(check(v, sign_rec(s, 32, now + 3000000, SignerKind::Digest, "g"), now), VerifyResult::Stale);
    EXPECT_EQ(check(v, sign_rec(s, 32, now - 29000000, SignerKind::Digest, "h"), now), VerifyResult::Ok);
    uint8_t plain[64];
    size_t plainLen = 0;
    SecuredData u;
    u.payload = Span{reinterpret_cast<const uint8_t*>("xy"), 2};
    ASSERT_EQ(encode_secured_data(u, plain, sizeof plain, &plainLen), CodecResult::Ok);
    EXPECT_EQ(check(v, Bytes(plain, plain + plainLen), now, &out), VerifyResult::Unsigned);
    EXPECT_EQ(out.payload.n, 2u);

    // The end entity in the trust folder (not learned from the air).
    {
        TrustStore folder;
        pki.trust(folder);
        ASSERT_TRUE(folder.add(pki.ee.data(), pki.ee.size(), false, &why)) << why;
        Verifier fv(folder, VerifyPolicy());
        EXPECT_EQ(check(fv, rec, now), VerifyResult::Ok);
    }

    // A certificate that expired an hour ago: valid for ten seconds.
    Pkey oldKey = generate_key();
    const Bytes oldCert = make_cert(&pki.ca, pki.caKey.get(), oldKey.get(), unix_s_to_time32(time(nullptr)) - 3600,
                                    DurationUnit::Seconds, 10, {32});
    Signer old;
    ASSERT_TRUE(old.set(oldCert.data(), oldCert.size(), std::move(oldKey), &why)) << why;
    EXPECT_EQ(check(v, sign_rec(old, 32, now, SignerKind::Certificate, "i"), now), VerifyResult::Expired);

    // A verification key with no point on the curve.
    EccP256Point offCurve;
    offCurve.form = PointForm::CompressedY0;
    for (uint8_t x = 1; public_key(offCurve); ++x)
        offCurve.x[31] = x;
    const Bytes badKeyCert = make_cert(&pki.ca, pki.caKey.get(), nullptr, pki.start, DurationUnit::Years, 1, {32},
                                       &offCurve);
    EXPECT_EQ(store.learn(badKeyCert.data(), badKeyCert.size(), nullptr), VerifyResult::Malformed);

    // The end entity's certificate sent with its key uncompressed and r
    // compressed is the same certificate: same id, issuer's signature good.
    // With y off the curve it is refused, not compressed into a valid key.
    {
        Certificate c;
        ASSERT_EQ(decode_certificate(pki.ee.data(), pki.ee.size(), c), CodecResult::Ok);
        uint8_t oct[65];
        size_t n = 0;
        ASSERT_EQ(EVP_PKEY_get_octet_string_param(pki.eeKey.get(), "pub", oct, sizeof oct, &n), 1);
        ASSERT_EQ(n, 65u);
        c.verifyKey.form = PointForm::Uncompressed;
        memcpy(c.verifyKey.y, oct + 33, 32);
        c.signature.r.form = PointForm::CompressedY1;
        uint8_t buf[1024];
        ASSERT_EQ(encode_certificate(c, buf, sizeof buf, &n), CodecResult::Ok);
        ASSERT_EQ(n, pki.ee.size() + 32);  // y added; r only changes its tag
        TrustStore other;
        pki.trust(other);
        std::shared_ptr<const KnownCert> kc;
        ASSERT_EQ(other.learn(buf, n, &kc), VerifyResult::Ok);
        EXPECT_EQ(memcmp(kc->id.b, s.id().b, 8), 0);
        c.verifyKey.y[31] ^= 1;
        ASSERT_EQ(encode_certificate(c, buf, sizeof buf, &n), CodecResult::Ok);
        EXPECT_EQ(TrustStore().learn(buf, n, nullptr), VerifyResult::Malformed);
    }

    // A chain of five: the signer's certificate five times over.
    const Bytes one = sign_rec(s, 32, now, SignerKind::Certificate, "j");
    Bytes head = {0x81, 0x01, 0x01};
    head.insert(head.end(), s.cert(), s.cert() + s.cert_len());
    auto at = std::search(one.begin(), one.end(), head.begin(), head.end());
    ASSERT_NE(at, one.end());
    Bytes five(one.begin(), at);
    five.insert(five.end(), {0x81, 0x01, 0x05});
    for (int i = 0; i < 5; ++i)
        five.insert(five.end(), s.cert(), s.cert() + s.cert_len());
    five.insert(five.end(), at + head.size(), one.end());
    EXPECT_EQ(check(v, five, now), VerifyResult::Malformed);

    // A small replay table forgets its oldest records first, and forgetting
    // one leaves the others findable.
    {
        VerifyPolicy small;
        small.replayCapacity = 4;
        Verifier sv(store, small);
        std::vector<Bytes> recs;
        for (int i = 0; i < 6; ++i)
            recs.push_back(sign_rec(s, 32, now - static_cast<uint64_t>(i), SignerKind::Digest, "r"));
        for (const Bytes& r : recs)
            EXPECT_EQ(check(sv, r, now), VerifyResult::Ok);
        for (int i = 5; i >= 2; --i)
            EXPECT_EQ(check(sv, recs[i], now), VerifyResult::Replay) << i;
        EXPECT_EQ(check(sv, recs[0], now), VerifyResult::Ok);  // forgotten
    }

    // A full store lets its oldest learned certificate go, never an anchor.
    {
        TrustStore tiny(3);
        pki.trust(tiny);
        ASSERT_EQ(tiny.learn(pki.ee.data(), pki.ee.size(), nullptr), VerifyResult::Ok);
        Pkey k2 = generate_key();
        const Bytes ee2 = make_cert(&pki.ca, pki.caKey.get(), k2.get(), pki.start, DurationUnit::Years, 1, {32});
        ASSERT_EQ(tiny.learn(ee2.data(), ee2.size(), nullptr), VerifyResult::Ok);
        EXPECT_EQ(tiny.size(), 3u);
        EXPECT_EQ(tiny.anchors(), 1u);
        VerifyResult why2 = VerifyResult::Ok;
        EXPECT_EQ(tiny.find_checked(hashed_id8(pki.ca.data(), pki.ca.size()), &why2), nullptr);
        EXPECT_NE(tiny.find_checked(hashed_id8(pki.root.data(), pki.root.size()), &why2), nullptr);
    }

    // A store without the authority cannot place the signer.
    TrustStore rootOnly;
    pki.trust(rootOnly, false);
    Verifier rv(rootOnly, VerifyPolicy());
    EXPECT_EQ(check(rv, sign_rec(s, 32, now, SignerKind::Certificate, "k"), now), VerifyResult::UnknownSigner);
}

TEST(SecVerifier, FourThreadsOneStore)
{
    Pki pki;
    Signer s;
    std::string why;
    ASSERT_TRUE(s.set(pki.ee.data(), pki.ee.size(), dup_key(pki.eeKey.get()), &why)) << why;
    const uint64_t now = time64_now();
    // Every thread starts with a certificate-signed record, so that they
    // race to learn the same signer, then goes on with digest-signed ones.
    constexpr int kThreads = 4, kPer = 25;
    std::vector<std::vector<Bytes>> recs(kThreads);
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kPer; ++i)
            recs[t].push_back(sign_rec(s, 33, now - static_cast<uint64_t>(t * kPer + i),
                                       i == 0 ? SignerKind::Certificate : SignerKind::Digest, "payload"));
    TrustStore store;
    pki.trust(store);
    Verifier v(store, VerifyPolicy());
    std::vector<int> ok(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (const Bytes& r : recs[t]) {
                VerifyOut out;
                ok[t] += v.verify(r.data(), r.size(), now, out) == VerifyResult::Ok;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(ok[t], kPer) << t;
    EXPECT_EQ(store.size(), 3u);
}
