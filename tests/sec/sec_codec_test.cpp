// SPDX-License-Identifier: Apache-2.0
// The secured-data and certificate codec against bytes from an independent
// test PKI (tests/sec/vectors) and a record written out by hand: decode,
// re-encode to the same bytes, every truncation, and each refusal.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "sec_codec.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
using sec::CodecResult;

Bytes from_hex(const std::string& aicHex)
{
    Bytes b;
    int hi = -1;
    for (char ch : aicHex) {
        int v;
        if (ch >= '0' && ch <= '9') {
            v = ch - '0';
        } else if (ch >= 'a' && ch <= 'f') {
            v = ch - 'a' + 10;
        } else if (ch >= 'A' && ch <= 'F') {
            v = ch - 'A' + 10;
        } else {
            continue;  // spaces, line ends
        }
        if (hi < 0) {
            hi = v;
        } else {
            b.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return b;
}

Bytes vector_file(const char* aipcName)
{
    std::string text;
    FILE* f = fopen((std::string(SEC_VECTORS_DIR) + "/" + aipcName).c_str(), "r");
    if (f == nullptr) {
        ADD_FAILURE() << "missing vector " << aipcName;
        return {};
    }
    char tmp[1024];
    size_t n;
    while ((n = fread(tmp, 1, sizeof(tmp), f)) > 0) {
        text.append(tmp, n);
    }
    fclose(f);
    return from_hex(text);
}

Bytes span_bytes(const sec::Span& s) { return s.n != 0 ? Bytes(s.p, s.p + s.n) : Bytes(); }

const char* const kCerts[] = {"lg_aca_root.cert.hex", "lg_aca_ica.cert.hex", "lg_aca_aca.cert.hex",
                              "lg_eca_root.cert.hex", "lg_eca_ica.cert.hex", "lg_eca_eca.cert.hex"};

// The last decoded input, in an allocation of exactly its size so that a
// read past the end shows under the address sanitizer; kept until the next
// decode because the record's spans point into it.
std::unique_ptr<uint8_t[]> gExact;

template <typename Rec, typename Fn>
CodecResult decode_exact(const uint8_t* p, size_t n, Rec& rec, Fn fn)
{
    gExact.reset(new uint8_t[n == 0 ? 1 : n]);
    if (n != 0) {
        memcpy(gExact.get(), p, n);
    }
    return fn(n != 0 ? gExact.get() : nullptr, n, rec);
}

// A digest-signed record: PSID 32, payload 01..05, generation time
// 0x00000A1B2C3D4E5F, written out field by field.
Bytes reference_record()
{
    std::string r;
    for (int i = 0; i < 32; ++i) {
        r += "a1";
    }
    std::string s;
    for (int i = 0; i < 32; ++i) {
        s += "b2";
    }
    return from_hex(
        "03 81 00"                        // version 3, signedData, hashId sha256
        "40 03 80 05 0102030405"          // payload present: version 3, unsecuredData, 5 bytes
        "40 01 20 00000a1b2c3d4e5f"       // headerInfo: generationTime present, psid 32, time
        "80 1122334455667788"             // signer digest
        "80 80" + r + s);                 // ecdsaNistP256Signature, r x-only, s
}

sec::SecuredData reference_fields()
{
    static const uint8_t payload[] = {1, 2, 3, 4, 5};
    sec::SecuredData d;
    d.kind = sec::ContentKind::Signed;
    d.payload = {payload, sizeof(payload)};
    d.psid = 32;
    d.hasGenerationTime = true;
    d.generationTime = 0x00000A1B2C3D4E5FULL;
    d.signer = sec::SignerKind::Digest;
    const uint8_t digest[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    memcpy(d.signerDigest.b, digest, 8);
    d.signature.r.form = sec::PointForm::XOnly;
    memset(d.signature.r.x, 0xA1, 32);
    memset(d.signature.s, 0xB2, 32);
    return d;
}

CodecResult decode_data(const Bytes& b, sec::SecuredData& d)
{
    return decode_exact(b.data(), b.size(), d, sec::decode_secured_data);
}

Bytes encode_data(const sec::SecuredData& d)
{
    Bytes out(2048);
    size_t n = 0;
    EXPECT_EQ(sec::encode_secured_data(d, out.data(), out.size(), &n), CodecResult::Ok);
    out.resize(n);
    return out;
}

TEST(SecCodec, VectorCertificatesRoundTrip)
{
    for (const char* name : kCerts) {
        SCOPED_TRACE(name);
        const Bytes in = vector_file(name);
        ASSERT_FALSE(in.empty());
        sec::Certificate c;
        ASSERT_EQ(decode_exact(in.data(), in.size(), c, sec::decode_certificate), CodecResult::Ok);
        EXPECT_TRUE(c.hasSignature);
        EXPECT_EQ(c.whole.n, in.size());

        Bytes out(1024);
        size_t n = 0;
        ASSERT_EQ(sec::encode_certificate(c, out.data(), out.size(), &n), CodecResult::Ok);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + n), in);
        ASSERT_EQ(sec::encode_cert_tbs(c, out.data(), out.size(), &n), CodecResult::Ok);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + n), span_bytes(c.toBeSigned));
        // One byte short of room is refused.
        EXPECT_EQ(sec::encode_certificate(c, out.data(), in.size() - 1, &n), CodecResult::NoRoom);
    }
}

TEST(SecCodec, VectorCertificateFields)
{
    const Bytes root = vector_file("lg_eca_root.cert.hex");
    sec::Certificate c;
    ASSERT_EQ(sec::decode_certificate(root.data(), root.size(), c), CodecResult::Ok);
    EXPECT_EQ(c.issuer, sec::IssuerKind::Self);
    EXPECT_EQ(c.idKind, sec::CertIdKind::BinaryId);
    EXPECT_EQ(c.id.n, 17u);  // length byte and 16 bytes
    EXPECT_EQ(c.validity.start, 0x28B19F7Eu);
    EXPECT_EQ(c.validity.unit, sec::DurationUnit::Years);
    EXPECT_EQ(c.validity.value, 10u);
    EXPECT_EQ(c.validity.end(), 0x28B19F7Eull + 10ull * 31556952ull);
    ASSERT_EQ(c.psidCount, 1u);
    EXPECT_TRUE(c.permits(35));
    EXPECT_FALSE(c.permits(1));
    EXPECT_EQ(span_bytes(c.psids[0].ssp), from_hex("80 03 810002"));
    EXPECT_EQ(c.verifyKey.form, sec::PointForm::CompressedY0);
    EXPECT_EQ(c.signature.r.form, sec::PointForm::XOnly);

    const Bytes aca = vector_file("lg_aca_aca.cert.hex");
    ASSERT_EQ(sec::decode_certificate(aca.data(), aca.size(), c), CodecResult::Ok);
    EXPECT_EQ(c.issuer, sec::IssuerKind::Sha256AndDigest);
    EXPECT_EQ(Bytes(c.issuerDigest.b, c.issuerDigest.b + 8), from_hex("a5e944214be5b9e6"));
    EXPECT_FALSE(c.hasAppPermissions);
    EXPECT_FALSE(c.permits(35));
}

TEST(SecCodec, VectorSignedDataRoundTrip)
{
    const Bytes in = vector_file("lg_crl.spdu.hex");
    ASSERT_EQ(in.size(), 606u);
    sec::SecuredData d;
    ASSERT_EQ(decode_data(in, d), CodecResult::Ok);
    EXPECT_EQ(d.kind, sec::ContentKind::Signed);
    EXPECT_EQ(d.psid, 1u);
    EXPECT_TRUE(d.hasGenerationTime);
    EXPECT_EQ(d.generationTime, 683569408u);
    EXPECT_FALSE(d.hasExpiryTime);
    EXPECT_TRUE(d.headerRest.empty());
    EXPECT_EQ(d.payload.n, 29u);
    ASSERT_EQ(d.signer, sec::SignerKind::Certificate);
    ASSERT_EQ(d.certCount, 3u);
    // The chain, signer first: a certificate issued by the ECA
    // intermediate, then the intermediate and the root.
    EXPECT_EQ(span_bytes(d.certs[1]), vector_file("lg_eca_ica.cert.hex"));
    EXPECT_EQ(span_bytes(d.certs[2]), vector_file("lg_eca_root.cert.hex"));
    sec::Certificate signer;
    ASSERT_EQ(sec::decode_certificate(d.certs[0].p, d.certs[0].n, signer), CodecResult::Ok);
    EXPECT_EQ(Bytes(signer.issuerDigest.b, signer.issuerDigest.b + 8), from_hex("3631eee885298ccc"));

    EXPECT_EQ(encode_data(d), in);
    Bytes tbs(1024);
    size_t n = 0;
    ASSERT_EQ(sec::encode_tbs_data(d, tbs.data(), tbs.size(), &n), CodecResult::Ok);
    tbs.resize(n);
    EXPECT_EQ(tbs, span_bytes(d.tbsData));
}

TEST(SecCodec, ReferenceRecord)
{
    const Bytes ref = reference_record();
    ASSERT_EQ(ref.size(), 93u + 5u);
    EXPECT_EQ(sec::signed_data_len(5, 32, 0), ref.size());

    EXPECT_EQ(encode_data(reference_fields()), ref);
    size_t n = 0;
    Bytes small(ref.size() - 1);
    EXPECT_EQ(sec::encode_secured_data(reference_fields(), small.data(), small.size(), &n),
              CodecResult::NoRoom);

    sec::SecuredData d;
    ASSERT_EQ(decode_data(ref, d), CodecResult::Ok);
    EXPECT_EQ(span_bytes(d.payload), from_hex("0102030405"));
    EXPECT_EQ(d.psid, 32u);
    EXPECT_EQ(d.generationTime, 0x00000A1B2C3D4E5FULL);
    EXPECT_EQ(d.signer, sec::SignerKind::Digest);
    EXPECT_EQ(Bytes(d.signerDigest.b, d.signerDigest.b + 8), from_hex("1122334455667788"));
    EXPECT_EQ(d.signature.r.x[31], 0xA1);
    EXPECT_EQ(d.signature.s[0], 0xB2);
    // tbsData runs from the payload's preamble to the end of headerInfo.
    EXPECT_EQ(span_bytes(d.tbsData), Bytes(ref.begin() + 3, ref.begin() + 3 + 20));
}

// The other headerInfo members travel as headerRest with their presence
// bits; an unsecured record carries its payload only.
TEST(SecCodec, HeaderRestAndUnsecured)
{
    Bytes rec = reference_record();
    // expiryTime and p2pcdLearningRequest present: preamble 0x68.
    rec[12] = 0x68;
    const Bytes expiry = from_hex("00000a1b2c3d4e60 abcdef");
    rec.insert(rec.begin() + 23, expiry.begin(), expiry.end());
    sec::SecuredData d;
    ASSERT_EQ(decode_data(rec, d), CodecResult::Ok);
    EXPECT_TRUE(d.hasExpiryTime);
    EXPECT_EQ(d.expiryTime, 0x00000A1B2C3D4E60ULL);
    EXPECT_EQ(span_bytes(d.headerRest), from_hex("abcdef"));
    EXPECT_EQ(d.headerRestBits, 0x08);
    EXPECT_EQ(encode_data(d), rec);
    // Bits without the bytes (or the other way round) have no encoding.
    d.headerRest = {};
    size_t n = 0;
    Bytes out(256);
    EXPECT_EQ(sec::encode_secured_data(d, out.data(), out.size(), &n), CodecResult::Invalid);

    const Bytes plain = from_hex("03 80 03 aabbcc");
    ASSERT_EQ(decode_data(plain, d), CodecResult::Ok);
    EXPECT_EQ(d.kind, sec::ContentKind::Unsecured);
    EXPECT_EQ(span_bytes(d.payload), from_hex("aabbcc"));
    EXPECT_EQ(encode_data(d), plain);

    // A 200-byte payload takes the long length form both ways.
    Bytes big = from_hex("03 80 81c8");
    big.resize(big.size() + 200, 0x5A);
    ASSERT_EQ(decode_data(big, d), CodecResult::Ok);
    EXPECT_EQ(d.payload.n, 200u);
    EXPECT_EQ(encode_data(d), big);
}

TEST(SecCodec, EveryTruncationIsTruncated)
{
    std::vector<Bytes> inputs = {vector_file("lg_crl.spdu.hex"), reference_record()};
    for (const Bytes& in : inputs) {
        for (size_t n = 0; n < in.size(); ++n) {
            sec::SecuredData d;
            ASSERT_EQ(decode_exact(in.data(), n, d, sec::decode_secured_data), CodecResult::Truncated)
                << "prefix " << n << " of " << in.size();
        }
    }
    for (const char* name : kCerts) {
        const Bytes in = vector_file(name);
        for (size_t n = 0; n < in.size(); ++n) {
            sec::Certificate c;
            ASSERT_EQ(decode_exact(in.data(), n, c, sec::decode_certificate), CodecResult::Truncated)
                << name << " prefix " << n;
        }
    }
}

TEST(SecCodec, Refusals)
{
    const Bytes ref = reference_record();
    sec::SecuredData d;
    auto with = [&](size_t at, uint8_t v) {
        Bytes b = ref;
        b[at] = v;
        return b;
    };
    EXPECT_EQ(decode_data(with(0, 2), d), CodecResult::Invalid);        // protocol version
    EXPECT_EQ(decode_data(with(4, 2), d), CodecResult::Invalid);        // inner version
    EXPECT_EQ(decode_data(with(1, 0x84), d), CodecResult::Unsupported); // content choice
    EXPECT_EQ(decode_data(with(23, 0x85), d), CodecResult::Unsupported);  // signer choice
    EXPECT_EQ(decode_data(with(32, 0x82), d), CodecResult::Unsupported);  // signature choice
    EXPECT_EQ(decode_data(with(33, 0x81), d), CodecResult::Invalid);      // r as fill
    EXPECT_EQ(decode_data(with(12, 0x41), d), CodecResult::Invalid);      // padding bit set

    Bytes trailing = ref;
    trailing.push_back(0);
    EXPECT_EQ(decode_data(trailing, d), CodecResult::Invalid);

    // The payload's length 5 in the long form, and psid 32 with a leading
    // zero byte: both non-minimal.
    Bytes longLen = ref;
    longLen[6] = 0x81;
    longLen.insert(longLen.begin() + 7, 0x05);
    EXPECT_EQ(decode_data(longLen, d), CodecResult::Invalid);
    Bytes widePsid = ref;
    widePsid[13] = 0x02;
    widePsid.insert(widePsid.begin() + 14, 0x00);
    EXPECT_EQ(decode_data(widePsid, d), CodecResult::Invalid);

    // A payload length past the end is short input, not a bad value.
    EXPECT_EQ(decode_data(with(6, 0x7F), d), CodecResult::Truncated);

    const Bytes cert = vector_file("lg_eca_root.cert.hex");
    sec::Certificate c;
    Bytes badVer = cert;
    badVer[1] = 2;
    EXPECT_EQ(sec::decode_certificate(badVer.data(), badVer.size(), c), CodecResult::Invalid);
    Bytes implicit = cert;
    implicit[2] = 1;
    EXPECT_EQ(sec::decode_certificate(implicit.data(), implicit.size(), c), CodecResult::Unsupported);
}

// A chain of up to four certificates is taken; five is refused.
TEST(SecCodec, ChainDepth)
{
    const Bytes spdu = vector_file("lg_crl.spdu.hex");
    sec::SecuredData d;
    ASSERT_EQ(decode_data(spdu, d), CodecResult::Ok);
    const size_t signerAt = 3 + d.tbsData.n;
    ASSERT_EQ(spdu[signerAt], 0x81);
    const Bytes eca = span_bytes(d.certs[0]);
    const Bytes ica = vector_file("lg_eca_ica.cert.hex");
    const Bytes root = vector_file("lg_eca_root.cert.hex");
    auto chain = [&](uint8_t count) {
        Bytes b(spdu.begin(), spdu.begin() + signerAt + 1);
        b.push_back(0x01);
        b.push_back(count);
        const Bytes* certs[] = {&eca, &ica, &root, &ica, &root};
        for (uint8_t i = 0; i < count; ++i) {
            b.insert(b.end(), certs[i]->begin(), certs[i]->end());
        }
        b.insert(b.end(), spdu.end() - 66, spdu.end());
        return b;
    };
    ASSERT_EQ(chain(3), spdu);
    const Bytes four = chain(4);
    ASSERT_EQ(decode_data(four, d), CodecResult::Ok);
    EXPECT_EQ(d.certCount, 4u);
    EXPECT_EQ(encode_data(d), four);
    EXPECT_EQ(decode_data(chain(5), d), CodecResult::Invalid);
}

}  // namespace
