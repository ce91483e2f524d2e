// SPDX-License-Identifier: Apache-2.0
// v2x-cert show: a decoded certificate or secured record as text for a
// person, or as one JSON object on one line for a script. Both print the
// same fields; the JSON keys are the text's labels.
#include <time.h>

#include <cinttypes>
#include <string>
#include <utility>
#include <vector>

#include "cert.hpp"
#include "sec_crypto.hpp"
#include "sec_time.hpp"

namespace v2xcert {

std::string hex(const uint8_t* aipcData, size_t aicLen)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(aicLen * 2);
    for (size_t i = 0; i < aicLen; ++i) {
        s += kDigits[aipcData[i] >> 4];
        s += kDigits[aipcData[i] & 15];
    }
    return s;
}

namespace {

// Unix seconds plus a fraction as ISO 8601 UTC.
std::string utc_text(int64_t aicUnix, const char* aipcFraction)
{
    const time_t t = static_cast<time_t>(aicUnix);
    struct tm tmv;
    char buf[64];
    if (static_cast<int64_t>(t) != aicUnix || gmtime_r(&t, &tmv) == nullptr ||
        strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%S", &tmv) == 0) {
        return "?";
    }
    return std::string(buf) + aipcFraction + "Z";
}

const char* unit_name(sec::DurationUnit aicUnit)
{
    static const char* const kNames[] = {"microseconds", "milliseconds", "seconds", "minutes",
                                         "hours",        "sixtyHours",   "years"};
    const size_t i = static_cast<size_t>(aicUnit);
    return i < sizeof(kNames) / sizeof(kNames[0]) ? kNames[i] : "?";
}

const char* id_kind_name(sec::CertIdKind aicKind)
{
    switch (aicKind) {
    case sec::CertIdKind::LinkageData:
        return "linkageData";
    case sec::CertIdKind::Name:
        return "name";
    case sec::CertIdKind::BinaryId:
        return "binaryId";
    case sec::CertIdKind::None:
        break;
    }
    return "none";
}

// A point as SEC 1 hex: 02/03 and x compressed, 04 x y uncompressed; an
// x-only point (a signature's r) is its x alone.
std::string point_hex(const sec::EccP256Point& aicPoint)
{
    switch (aicPoint.form) {
    case sec::PointForm::CompressedY0:
        return "02" + hex(aicPoint.x, 32);
    case sec::PointForm::CompressedY1:
        return "03" + hex(aicPoint.x, 32);
    case sec::PointForm::Uncompressed:
        return "04" + hex(aicPoint.x, 32) + hex(aicPoint.y, 32);
    case sec::PointForm::XOnly:
        break;
    }
    return hex(aicPoint.x, 32);
}

std::string span_hex(const sec::Span& aicSpan)
{
    return hex(aicSpan.p, aicSpan.n);
}

// Collects label/value pairs and prints them as aligned text or as one
// JSON object. Values are JSON already (quoted strings, numbers, arrays).
class Fields {
public:
    void str(const char* aipcKey, const std::string& aicValue) { add(aipcKey, json_str(aicValue)); }
    void num(const char* aipcKey, uint64_t aicValue) { add(aipcKey, std::to_string(aicValue)); }
    // aicText: what the text shows instead of the JSON value ("" for the same).
    void raw(const char* aipcKey, const std::string& aicJson, const std::string& aicText = "")
    {
        add(aipcKey, aicJson, aicText);
    }
    void add(const char* aipcKey, const std::string& aicJson, const std::string& aicText = "")
    {
        kv_.push_back({aipcKey, aicJson, aicText});
    }

    void print(FILE* aopOut, const char* aipcTitle, bool aicJson) const
    {
        if (aicJson) {
            std::string line = "{\"type\":" + json_str(aipcTitle);
            for (const Item& kv : kv_) {
                line += "," + json_str(kv.key) + ":" + kv.json;
            }
            fprintf(aopOut, "%s}\n", line.c_str());
            return;
        }
        fprintf(aopOut, "%s\n", aipcTitle);
        for (const Item& kv : kv_) {
            // Strings lose their quotes in the text; numbers stay.
            std::string v = !kv.text.empty() ? kv.text : kv.json;
            if (kv.text.empty() && v.size() >= 2 && v.front() == '"') {
                v = v.substr(1, v.size() - 2);
            }
            fprintf(aopOut, "  %-22s %s\n", kv.key.c_str(), v.c_str());
        }
    }

private:
    struct Item {
        std::string key, json, text;
    };
    std::vector<Item> kv_;
};

}  // namespace

std::string utc_time32(uint64_t aicTime32)
{
    return utc_text(
        static_cast<int64_t>(aicTime32) + sec::kEpoch2004Unix - sec::kLeapSecondsSince2004, "");
}

std::string utc_time64(uint64_t aicTime64)
{
    const int64_t us = sec::time64_to_unix_us(aicTime64);
    // Floor division: a time before 1970 would not print, but keep the sign right.
    int64_t s = us / 1000000, frac = us % 1000000;
    if (frac < 0) {
        --s;
        frac += 1000000;
    }
    char buf[16];
    snprintf(buf, sizeof(buf), ".%06" PRId64, frac);
    return utc_text(s, buf);
}

std::string json_str(const std::string& aicText)
{
    std::string s = "\"";
    for (const char c : aicText) {
        if (c == '"' || c == '\\') {
            s += '\\';
            s += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\u%04x", static_cast<unsigned>(c));
            s += esc;
        } else {
            s += c;
        }
    }
    return s + "\"";
}

void print_certificate(FILE* aopOut, const sec::Certificate& aicCert, const uint8_t* aipcBytes,
                       size_t aicLen, bool aicJson)
{
    Fields f;
    f.str("digest", hex(sec::hashed_id8(aipcBytes, aicLen)));
    f.str("issuer", aicCert.issuer == sec::IssuerKind::Self ? std::string("self")
                                                            : hex(aicCert.issuerDigest));
    f.str("idKind", id_kind_name(aicCert.idKind));
    if (aicCert.idKind != sec::CertIdKind::None) {
        f.str("id", span_hex(aicCert.id));  // as encoded after the choice tag
    }
    f.str("cracaId", hex(aicCert.cracaId, sizeof(aicCert.cracaId)));
    f.num("crlSeries", aicCert.crlSeries);
    f.str("validFrom", utc_time32(aicCert.validity.start));
    f.str("validTo", utc_time32(aicCert.validity.end()));
    const std::string unit = unit_name(aicCert.validity.unit);
    const std::string value = std::to_string(aicCert.validity.value);
    f.raw("duration", "{\"" + unit + "\":" + value + "}", value + " " + unit);
    if (aicCert.hasAppPermissions) {
        std::string perms = "[", text;
        for (uint8_t i = 0; i < aicCert.psidCount && i < sec::kMaxPsids; ++i) {
            const sec::PsidSsp& p = aicCert.psids[i];
            const std::string psid = std::to_string(p.psid);
            perms += (i > 0 ? ",{\"psid\":" : "{\"psid\":") + psid;
            perms += p.ssp.empty() ? "}" : ",\"ssp\":\"" + span_hex(p.ssp) + "\"}";
            text += (i > 0 ? ", " : "") + psid +
                    (p.ssp.empty() ? "" : " (ssp " + span_hex(p.ssp) + ")");
        }
        f.raw("appPermissions", perms + "]", text.empty() ? "(none)" : text);
    }
    // The members this tool does not interpret, as their encoded bytes.
    const std::pair<const char*, const sec::Span*> kept[] = {
        {"region", &aicCert.region},
        {"assuranceLevel", &aicCert.assuranceLevel},
        {"certIssuePermissions", &aicCert.certIssuePermissions},
        {"certRequestPermissions", &aicCert.certRequestPermissions},
        {"encryptionKey", &aicCert.encryptionKey}};
    for (const auto& k : kept) {
        if (!k.second->empty()) {
            f.str(k.first, span_hex(*k.second));
        }
    }
    if (aicCert.canRequestRollover) {
        f.raw("canRequestRollover", "true");
    }
    f.str("verifyKey", point_hex(aicCert.verifyKey));
    if (aicCert.hasSignature) {
        f.str("signatureR", point_hex(aicCert.signature.r));
        f.str("signatureS", hex(aicCert.signature.s, 32));
    }
    f.print(aopOut, "certificate", aicJson);
}

void print_secured_data(FILE* aopOut, const sec::SecuredData& aicData, bool aicJson)
{
    Fields f;
    if (aicData.kind == sec::ContentKind::Signed) {
        f.num("psid", aicData.psid);
        if (aicData.hasGenerationTime) {
            f.num("generationTime", aicData.generationTime);
            f.str("generationTimeUtc", utc_time64(aicData.generationTime));
        }
        if (aicData.hasExpiryTime) {
            f.num("expiryTime", aicData.expiryTime);
            f.str("expiryTimeUtc", utc_time64(aicData.expiryTime));
        }
        if (!aicData.headerRest.empty()) {
            f.str("headerRest", span_hex(aicData.headerRest));
        }
        switch (aicData.signer) {
        case sec::SignerKind::Digest:
            f.str("signer", "digest");
            f.str("signerDigest", hex(aicData.signerDigest));
            break;
        case sec::SignerKind::Certificate: {
            f.str("signer", "certificate");
            // Each certificate of the chain by its digest, signer first.
            std::string chain = "[", text;
            for (uint8_t i = 0; i < aicData.certCount && i < sec::kMaxChain; ++i) {
                const std::string id = hex(sec::hashed_id8(aicData.certs[i].p, aicData.certs[i].n));
                chain += (i > 0 ? ",\"" : "\"") + id + "\"";
                text += (i > 0 ? " " : "") + id;
            }
            f.raw("chain", chain + "]", text);
            break;
        }
        case sec::SignerKind::Self:
            f.str("signer", "self");
            break;
        }
        f.str("signatureR", point_hex(aicData.signature.r));
        f.str("signatureS", hex(aicData.signature.s, 32));
    }
    f.num("payloadLength", aicData.payload.n);
    // The text shows the first 64 bytes; the JSON all of them.
    const size_t shown = aicData.payload.n < 64 ? aicData.payload.n : 64;
    f.raw("payload", json_str(span_hex(aicData.payload)),
          shown < aicData.payload.n ? hex(aicData.payload.p, shown) + "..." : "");
    f.print(aopOut, aicData.kind == sec::ContentKind::Signed ? "signedData" : "unsecuredData",
            aicJson);
}

}  // namespace v2xcert
