// SPDX-License-Identifier: Apache-2.0
// tools/v2x-cert as a process: a root, an authority and an end entity; a
// payload signed with either signer form and verified against a trust
// folder; a tampered signature, a late clock, and the refusals of files and
// command lines.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "child_proc.h"
#include "sec_crypto.hpp"
#include "sec_service.hpp"
#include "sec_time.hpp"
#include "test_support.h"

#ifndef V2X_CERT_PATH
#error "V2X_CERT_PATH must name the v2x-cert executable"
#endif

using namespace v2xtest;
namespace fs = std::filesystem;

namespace {

struct ToolRun {
    int status = -1;
    std::string out, err;
};

ToolRun cert(std::vector<std::string> aicArgs)
{
    aicArgs.insert(aicArgs.begin(), V2X_CERT_PATH);
    Proc p("v2xcert");
    ToolRun r;
    if (p.start(aicArgs)) {
        r.status = p.wait_exit(60000);
        r.out = p.text();
        r.err = p.errors();
    }
    return r;
}

std::vector<uint8_t> bytes_of(const std::string& aicPath)
{
    const std::string s = slurp(aicPath);
    return std::vector<uint8_t>(s.begin(), s.end());
}

void put(const std::string& aicPath, const std::vector<uint8_t>& aicBytes)
{
    std::ofstream(aicPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(aicBytes.data()),
               static_cast<std::streamsize>(aicBytes.size()));
}

std::string hex(const uint8_t* aipcData, size_t aicLen)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < aicLen; ++i) {
        snprintf(b, sizeof(b), "%02x", aipcData[i]);
        s += b;
    }
    return s;
}

// Whether the text is one JSON value and nothing else (a strict reader:
// strings, numbers, literals, arrays, objects).
class JsonCheck {
public:
    explicit JsonCheck(const std::string& aicText) : s_(aicText) {}
    bool ok() { return value() && (ws(), i_ == s_.size()); }

private:
    void ws()
    {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n')) {
            ++i_;
        }
    }
    bool lit(const char* aipcWord)
    {
        const size_t n = strlen(aipcWord);
        return s_.compare(i_, n, aipcWord) == 0 && (i_ += n) > 0;
    }
    bool str()
    {
        if (s_[i_++] != '"') {
            return false;
        }
        while (i_ < s_.size() && s_[i_] != '"') {
            if (static_cast<unsigned char>(s_[i_]) < 0x20) {
                return false;
            }
            i_ += s_[i_] == '\\' ? 2 : 1;
        }
        return i_++ < s_.size();
    }
    bool value()
    {
        ws();
        if (i_ >= s_.size()) {
            return false;
        }
        const char c = s_[i_];
        if (c == '"') {
            return str();
        }
        if (c == '{' || c == '[') {
            ++i_;
            ws();
            if (i_ < s_.size() && s_[i_] == (c == '{' ? '}' : ']')) {
                return ++i_ > 0;
            }
            do {
                ws();
                if (c == '{' &&
                    !(i_ < s_.size() && str() && (ws(), i_ < s_.size()) && s_[i_++] == ':')) {
                    return false;
                }
                if (!value()) {
                    return false;
                }
                ws();
            } while (i_ < s_.size() && s_[i_] == ',' && ++i_ > 0);
            return i_ < s_.size() && s_[i_++] == (c == '{' ? '}' : ']');
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            const size_t at = i_;
            while (i_ < s_.size() && strchr("-+.eE0123456789", s_[i_]) != nullptr) {
                ++i_;
            }
            return i_ > at;
        }
        return lit("true") || lit("false") || lit("null");
    }

    const std::string s_;
    size_t i_ = 0;
};

bool one_json_line(const std::string& aicOut)
{
    return !aicOut.empty() && aicOut.find('\n') == aicOut.size() - 1 && JsonCheck(aicOut).ok();
}

class V2xCert : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = unique_path("v2xcert") + ".d";
        ASSERT_TRUE(fs::create_directories(dir_ + "/trust"));
        ASSERT_TRUE(fs::create_directories(dir_ + "/trust-ee"));
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string at(const std::string& aicName) const { return dir_ + "/" + aicName; }

    // root -> authority (--ca) -> end entity for PSID 32, from 2026-01-01.
    void make_chain()
    {
        const std::string start = "2026-01-01T00:00:00Z";
        ASSERT_EQ(cert({"root", "--out", at("root.cert"), "--key-out", at("root.key"), "--start",
                        start, "--days", "3650", "--id", "random"})
                      .status,
                  0);
        ASSERT_EQ(cert({"issue", "--issuer", at("root.cert"), "--issuer-key", at("root.key"),
                        "--psid", "32,135", "--ca", "--out", at("ca.cert"), "--key-out",
                        at("ca.key"), "--start", start, "--days", "1000"})
                      .status,
                  0);
        const ToolRun ee =
            cert({"issue", "--issuer", at("ca.cert"), "--issuer-key", at("ca.key"), "--psid", "32",
                  "--out", at("ee.cert"), "--key-out", at("ee.key"), "--start", start});
        ASSERT_EQ(ee.status, 0) << ee.err;
        for (const char* c : {"root.cert", "ca.cert"}) {
            fs::copy_file(at(c), at(std::string("trust/") + c));
            fs::copy_file(at(c), at(std::string("trust-ee/") + c));
        }
        fs::copy_file(at("ee.cert"), at("trust-ee/ee.cert"));
    }

    std::string dir_;
};

TEST_F(V2xCert, ChainSignsAndVerifiesAndRefusesTamperingAndLateClocks)
{
    make_chain();
    struct stat st;
    for (const char* k : {"root.key", "ca.key", "ee.key"}) {
        ASSERT_EQ(stat(at(k).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << k;
    }
    // Issuers may issue (one PsidGroupPermissions granting all); the end entity may not.
    const ToolRun rootShow = cert({"show", "--json", at("root.cert")});
    EXPECT_TRUE(one_json_line(rootShow.out)) << rootShow.out;
    EXPECT_NE(rootShow.out.find("\"issuer\":\"self\""), std::string::npos);
    EXPECT_NE(rootShow.out.find("\"certIssuePermissions\":\"01010081\""), std::string::npos);
    EXPECT_NE(rootShow.out.find("\"idKind\":\"binaryId\",\"id\":\"08"), std::string::npos);
    const std::vector<uint8_t> ca = bytes_of(at("ca.cert")), ee = bytes_of(at("ee.cert"));
    const ToolRun eeShow = cert({"show", "--json", at("ee.cert")});
    EXPECT_TRUE(one_json_line(eeShow.out)) << eeShow.out;
    const sec::HashedId8 caId = sec::hashed_id8(ca.data(), ca.size());
    EXPECT_NE(eeShow.out.find("\"issuer\":\"" + hex(caId.b, 8) + "\""), std::string::npos)
        << eeShow.out;
    EXPECT_NE(eeShow.out.find("\"duration\":{\"hours\":8760}"), std::string::npos);
    EXPECT_NE(eeShow.out.find("\"appPermissions\":[{\"psid\":32}]"), std::string::npos);
    EXPECT_EQ(eeShow.out.find("certIssuePermissions"), std::string::npos);

    const std::vector<uint8_t> payload = {'h', 'i', 0, 0xff, '\n'};
    put(at("payload"), payload);
    const std::string when = "2026-03-01T12:00:00Z", soon = "2026-03-01T12:00:01Z";
    for (const char* kind : {"digest", "certificate"}) {
        const std::string spdu = at(std::string(kind) + ".spdu");
        const ToolRun s = cert({"sign", "--cert", at("ee.cert"), "--key", at("ee.key"), "--psid",
                                "32", "--signer", kind, "--time", when, at("payload"), spdu});
        ASSERT_EQ(s.status, 0) << s.err;
        // A digest names a signer the receiver must already know.
        const std::string trust = at(strcmp(kind, "digest") == 0 ? "trust-ee" : "trust");
        const ToolRun v = cert({"verify", "--trust", trust, "--now", soon, spdu});
        EXPECT_EQ(v.status, 0) << kind << ": " << v.out << v.err;
        EXPECT_TRUE(one_json_line(v.out)) << v.out;
        const sec::HashedId8 eeId = sec::hashed_id8(ee.data(), ee.size());
        const uint64_t gen = sec::unix_us_to_time64(1772366400LL * 1000000);
        EXPECT_EQ(v.out,
                  "{\"result\":\"ok\",\"psid\":32,\"generationTime\":" + std::to_string(gen) +
                      ",\"generationTimeUtc\":\"2026-03-01T12:00:00.000000Z\",\"signer\":\"" +
                      hex(eeId.b, 8) + "\",\"payload\":\"686900ff0a\"}\n");
        const ToolRun sh = cert({"show", "--json", spdu});
        EXPECT_TRUE(one_json_line(sh.out)) << sh.out;

        // The last byte is the signature's s.
        std::vector<uint8_t> bad = bytes_of(spdu);
        bad.back() ^= 0x01;
        put(spdu + ".bad", bad);
        const ToolRun b = cert({"verify", "--trust", trust, "--now", soon, spdu + ".bad"});
        EXPECT_EQ(b.status, 1) << kind;
        EXPECT_EQ(b.out.rfind(std::string("{\"result\":\"") +
                                  sec::verify_result_name(sec::VerifyResult::BadSignature) + "\"",
                              0),
                  0u)
            << b.out;

        const ToolRun late =
            cert({"verify", "--trust", trust, "--now", "2027-03-01T12:00:00Z", spdu});
        EXPECT_EQ(late.status, 1) << kind;
        const std::string expired = sec::verify_result_name(sec::VerifyResult::Expired);
        const std::string stale = sec::verify_result_name(sec::VerifyResult::Stale);
        EXPECT_TRUE(late.out.find("\"" + expired + "\"") != std::string::npos ||
                    late.out.find("\"" + stale + "\"") != std::string::npos)
            << late.out;
    }
    // Without the end entity's certificate a digest names no one known.
    const ToolRun u = cert({"verify", "--trust", at("trust"), "--now", soon, at("digest.spdu")});
    EXPECT_EQ(u.status, 1);
    EXPECT_NE(u.out.find(sec::verify_result_name(sec::VerifyResult::UnknownSigner)),
              std::string::npos);
}

TEST_F(V2xCert, RefusesOverwritesForeignKeysAndBadCommandLines)
{
    make_chain();
    const std::vector<uint8_t> root = bytes_of(at("root.cert"));
    // An existing output stays as it was; --force replaces it, the key still 0600.
    ToolRun r = cert({"root", "--out", at("root.cert"), "--key-out", at("new.key")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("v2x-cert: ", 0), 0u) << r.err;
    EXPECT_EQ(bytes_of(at("root.cert")), root);
    EXPECT_FALSE(fs::exists(at("new.key")));
    r = cert({"root", "--out", at("root.cert"), "--key-out", at("root.key"), "--force"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(bytes_of(at("root.cert")), root);
    struct stat st;
    ASSERT_EQ(stat(at("root.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Only an issuer may issue, and only with its own key.
    EXPECT_EQ(cert({"issue", "--issuer", at("ee.cert"), "--issuer-key", at("ee.key"), "--psid",
                    "32", "--out", at("x.cert"), "--key-out", at("x.key")})
                  .status,
              2);
    EXPECT_EQ(cert({"issue", "--issuer", at("ca.cert"), "--issuer-key", at("ee.key"), "--psid",
                    "32", "--out", at("x.cert"), "--key-out", at("x.key")})
                  .status,
              2);
    EXPECT_FALSE(fs::exists(at("x.cert")) || fs::exists(at("x.key")));
    // Bad values and misplaced options leave standard output empty.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"root", "--out", at("y.cert"), "--key-out", at("y.key"), "--start",
              "2026-02-30T00:00:00Z"},
             {"root", "--out", at("y.cert"), "--key-out", at("y.key"), "--start", "@1000"},
             {"root", "--out", at("y.cert"), "--key-out", at("y.cert")},
             {"root", "--out", at("y.cert"), "--key-out", at("y.key"), "--days", "0"},
             {"show", "--psid", "1", at("ee.cert")},
             {"sign", "--cert", at("ee.cert"), "--key", at("ee.key"), "--psid", "32,33",
              at("payload"), at("o")},
             {"verify", "--trust", at("trust"), at("no-such-file")},
             {"show", at("ee.key")},
             {"frobnicate"}}) {
        r = cert(args);
        EXPECT_EQ(r.status, 2) << args[0] << " " << args.back();
        EXPECT_EQ(r.out, "") << args.back();
        EXPECT_NE(r.err, "") << args.back();
    }
}

}  // namespace
