// SPDX-License-Identifier: Apache-2.0
// The secured-data and certificate codec on arbitrary input: it never
// reads outside the bytes, and whatever it takes is canonical, so encoding
// the decoded record gives back exactly the input.
#include <string.h>

#include <vector>

#include "fuzz_common.h"
#include "fuzz_entries.h"
#include "sec_codec.hpp"
#include "sec_service.hpp"

namespace v2xfuzz {

namespace {

bool same(const std::vector<uint8_t>& aicOut, size_t aicLen, const uint8_t* aipcExpect, size_t aicExpectLen)
{
    return aicLen == aicExpectLen && (aicLen == 0 || memcmp(aicOut.data(), aipcExpect, aicLen) == 0);
}

// A decoded certificate encodes back to its bytes, and its toBeSigned to
// the span the decoder found.
void check_certificate(const sec::Certificate& aicCert, const uint8_t* aipcData, size_t aicLen)
{
    std::vector<uint8_t> out(aicLen + 1);
    size_t n = 0;
    V2XF_CHECK(sec::encode_certificate(aicCert, out.data(), out.size(), &n) == sec::CodecResult::Ok);
    V2XF_CHECK(same(out, n, aipcData, aicLen));
    V2XF_CHECK(sec::encode_certificate(aicCert, out.data(), aicLen - 1, &n) == sec::CodecResult::NoRoom);
    V2XF_CHECK(sec::encode_cert_tbs(aicCert, out.data(), out.size(), &n) == sec::CodecResult::Ok);
    V2XF_CHECK(same(out, n, aicCert.toBeSigned.p, aicCert.toBeSigned.n));
}

// The receive checks behind the codec: a store whose anchors are the test
// PKI's two roots, kept across inputs (as a receiver's is), so that chains
// the fuzzer builds from the seeds reach the signature and permission
// checks. Any verdict is fine; a crash, a sanitizer report or a leak is not.
constexpr char kEcaRoot[] =
    "8003008100108210fba26c725aa2fca027fc9ed8079dbdd7010203000028b19f7e86000a0101800123800381"
    "00028080828fa35c637beddf1b711ed8ee5c742cec434cd6d176289db1a425a8e26586a0a78080d12c28f474"
    "ab8ee25c755f6a7a8c0b6b808b57ace6725513ed9019eeaa70709f2543644c0262458f52213823929abbbf4d"
    "e61b4e131ed7546c472fdcf346e45b";
constexpr char kAcaRoot[] =
    "8003008100008210e552a811e2329e936e8cb7212ce093490102030000272737ca86000a8080821bed0bc3c1"
    "7823b3cedc15cf3384d61f699ad4fb3d350ae7fb2683ea9a1ab8ba8080adacf2b4ee7fc2333b8d54d2695f91"
    "a7aa162e3ec35fd1161f6083d008eb6cc234e3904685008dddbb61dbd9f247cf8041591946bd33611bdb0154"
    "4be38dfc0c";

std::vector<uint8_t> unhex(const char* aipcHex)
{
    std::vector<uint8_t> b;
    for (size_t i = 0; aipcHex[i] != 0 && aipcHex[i + 1] != 0; i += 2) {
        const char t[3] = {aipcHex[i], aipcHex[i + 1], 0};
        b.push_back(static_cast<uint8_t>(strtoul(t, nullptr, 16)));
    }
    return b;
}

sec::Verifier& verifier()
{
    static sec::TrustStore* store = [] {
        auto* s = new sec::TrustStore(64);
        for (const char* h : {kEcaRoot, kAcaRoot}) {
            const std::vector<uint8_t> c = unhex(h);
            V2XF_CHECK(s->add(c.data(), c.size(), true, nullptr));
        }
        return s;
    }();
    static sec::Verifier* v = new sec::Verifier(*store, sec::VerifyPolicy{});
    return *v;
}

}  // namespace

int sec_data(const uint8_t* aipcData, size_t aicLen)
{
    sec::SecuredData d;
    const sec::CodecResult r = sec::decode_secured_data(aipcData, aicLen, d);
    if (r != sec::CodecResult::Ok) {
        return 0;
    }
    std::vector<uint8_t> out(aicLen + 1);
    size_t n = 0;
    V2XF_CHECK(sec::encode_secured_data(d, out.data(), out.size(), &n) == sec::CodecResult::Ok);
    V2XF_CHECK(same(out, n, aipcData, aicLen));
    V2XF_CHECK(sec::encode_secured_data(d, out.data(), aicLen - 1, &n) == sec::CodecResult::NoRoom);
    if (d.kind == sec::ContentKind::Signed) {
        V2XF_CHECK(sec::encode_tbs_data(d, out.data(), out.size(), &n) == sec::CodecResult::Ok);
        V2XF_CHECK(same(out, n, d.tbsData.p, d.tbsData.n));
        // Each certificate of the chain stands on its own.
        for (size_t i = 0; i < d.certCount; ++i) {
            sec::Certificate c;
            V2XF_CHECK(sec::decode_certificate(d.certs[i].p, d.certs[i].n, c) == sec::CodecResult::Ok);
            check_certificate(c, d.certs[i].p, d.certs[i].n);
        }
    }
    // The seeds' generation time (2004) as the clock, so that their records
    // get past the time checks where their chains allow.
    sec::VerifyOut vout;
    const sec::VerifyResult vr = verifier().verify(aipcData, aicLen, d.generationTime, vout);
    if (vr == sec::VerifyResult::Ok || vr == sec::VerifyResult::Unsigned) {
        V2XF_CHECK(vout.payload.n == d.payload.n);
    }
    return 0;
}

int sec_cert(const uint8_t* aipcData, size_t aicLen)
{
    sec::Certificate c;
    if (sec::decode_certificate(aipcData, aicLen, c) == sec::CodecResult::Ok) {
        V2XF_CHECK(c.whole.p == aipcData && c.whole.n == aicLen);
        check_certificate(c, aipcData, aicLen);
    }
    return 0;
}

}  // namespace v2xfuzz
