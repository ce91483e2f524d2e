// SPDX-License-Identifier: Apache-2.0
// The secured-data and certificate codec on arbitrary input: it never
// reads outside the bytes, and whatever it takes is canonical, so encoding
// the decoded record gives back exactly the input.
#include <string.h>

#include <vector>

#include "fuzz_common.h"
#include "fuzz_entries.h"
#include "sec_codec.hpp"

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
