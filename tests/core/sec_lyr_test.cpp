// SPDX-License-Identifier: Apache-2.0
// Signed messages through a running core: an application's message of an
// AID that signs leaves signed, comes back from the air verified and reaches
// the application as the bytes it sent; every kind of bad message is dropped
// and counted by its own counter; AIDs without a profile pass as before.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "core.h"
#include "core_app_frame.hpp"
#include "core_harness.h"
#include "sec_issue.hpp"
#include "sec_lyr.hpp"
#include "sec_time.hpp"
#include "test_support.h"
#include "v2x_core.h"

using v2xtest::Bytes;
using v2xtest::StatDelta;

namespace {

#define SD(f) offsetof(tV2XCoreStats, f)

std::atomic<uint64_t> gNow{0};
uint64_t fake_clock() { return gNow.load(); }

bool write_file(const std::string& path, const uint8_t* p, size_t n)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = fwrite(p, 1, n, f) == n;
    return fclose(f) == 0 && ok;
}

// A root, and certificates it issued, in a folder of their own.
struct Pki {
    std::string dir;
    sec::Pkey rootKey = sec::generate_key();
    Bytes root;
    explicit Pki(uint32_t start)
    {
        char tmpl[] = "/tmp/v2x-sec-XXXXXX";
        dir = mkdtemp(tmpl);
        mkdir((dir + "/trust").c_str(), 0700);
        sec::IssueParams s;
        s.ca = true;
        s.start = start;
        root = issue(s, rootKey.get(), nullptr);
        EXPECT_TRUE(write_file(dir + "/trust/root.cert", root.data(), root.size()));
    }
    ~Pki() { (void)system(("rm -rf " + dir).c_str()); }
    Bytes issue(const sec::IssueParams& s, EVP_PKEY* subject, const Bytes* issuer) const
    {
        uint8_t out[1024];
        size_t n = 0;
        EXPECT_EQ(sec::issue_certificate(s, subject, issuer ? issuer->data() : nullptr,
                                         issuer ? issuer->size() : 0,
                                         issuer ? rootKey.get() : subject, out, sizeof(out), &n),
                  sec::CodecResult::Ok);
        return Bytes(out, out + n);
    }
    // An end entity for the PSIDs, its certificate and key in files.
    void entity(const std::string& name, std::initializer_list<uint64_t> psids, uint32_t start,
                uint16_t hours, sec::Signer* aopSigner = nullptr) const
    {
        sec::Pkey key = sec::generate_key();
        const std::vector<uint64_t> ps(psids);
        sec::IssueParams s;
        s.start = start;
        s.unit = sec::DurationUnit::Hours;
        s.value = hours;
        s.psids = ps.data();
        s.psidCount = ps.size();
        const Bytes cert = issue(s, key.get(), &root);
        ASSERT_TRUE(write_file(dir + "/" + name + ".cert", cert.data(), cert.size()));
        std::string why;
        ASSERT_TRUE(sec::save_private_key(key.get(), (dir + "/" + name + ".key").c_str(), &why)) << why;
        if (aopSigner != nullptr) {
            ASSERT_TRUE(aopSigner->set(cert.data(), cert.size(), std::move(key), &why)) << why;
        }
    }
};

uint32_t now32() { return sec::unix_s_to_time32(time(nullptr)); }

// The data of a datagram the core sent (04, DSMP header 00, one-byte AID,
// length): the signed record.
Bytes data_of(const Bytes& d) { return d.size() > 5 ? Bytes(d.begin() + 5, d.end()) : Bytes(); }

Bytes signed_rec(const sec::Signer& s, const Bytes& payload, uint64_t psid, uint64_t t,
                 sec::SignerKind kind = sec::SignerKind::Certificate)
{
    uint8_t out[2048];
    size_t n = 0;
    EXPECT_EQ(s.sign(payload.data(), payload.size(), psid, t, kind, out, sizeof(out), &n),
              sec::CodecResult::Ok);
    return Bytes(out, out + n);
}

// A core whose AID 32 signs and verifies (digest signer), and its PKI.
struct SecCore {
    Pki pki{now32() - 3600};
    std::unique_ptr<v2xtest::CoreHarness> core;
    int app = -1;
    explicit SecCore(uint8_t passFailed = 0)
    {
        gNow = sec::time64_now();
        pki.entity("station", {32, 135}, now32() - 3600, 48);
        tV2XSecProfile prof = {32, 1, 1, V2X_SEC_SIGNER_DIGEST, passFailed};
        const std::string trust = pki.dir + "/trust", cert = pki.dir + "/station.cert",
                          key = pki.dir + "/station.key";
        tV2XSecCfg c = {trust.c_str(), cert.c_str(), key.c_str(), &prof, 1, 2, 16, 0, 0};
        EXPECT_EQ(v2x_core_set_security(&c), 0);
        sec_lyr_set_clock(fake_clock);
        core = std::make_unique<v2xtest::CoreHarness>();
        app = core->connect_app();
        EXPECT_EQ(v2xtest::register_aid(app, 1, 32), 0);
        EXPECT_EQ(v2xtest::register_aid(app, 2, 33), 0);
    }
    ~SecCore()
    {
        core.reset();
        sec_lyr_set_clock(nullptr);
        v2x_core_set_security(nullptr);
    }
    // Sends data on AID 32 from the application; the datagram that left.
    Bytes send(const Bytes& data)
    {
        EXPECT_TRUE(v2xtest::write_all(app, v2xtest::dsm_req(32, data)));
        return core->radio.recv(5000);
    }
    // The data of the next indication, empty when none came within ms.
    Bytes indication(int ms = 5000)
    {
        const Bytes m = v2xtest::read_msg(app, ms);
        return m.size() > V2X_CORE_APP_HDR_LEN + V2X_DSM_IND_HEAD_LEN
                   ? Bytes(m.begin() + V2X_CORE_APP_HDR_LEN + V2X_DSM_IND_HEAD_LEN, m.end())
                   : Bytes();
    }
};

}  // namespace

TEST(SecLayer, SignedMessagesGoOutAndComeBackVerified)
{
    SecCore sc;
    ASSERT_TRUE(sc.core->started());
    StatDelta d;
    const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
    // The first message carries the certificate, the next one (same second)
    // its digest only: 93 + 5 bytes.
    const Bytes first = sc.send(hello);
    gNow += 1000;  // generation times differ, or the second would be a replay
    const Bytes second = sc.send(hello);
    ASSERT_GT(data_of(first).size(), 98u + 100);
    ASSERT_EQ(data_of(second).size(), 98u);
    EXPECT_EQ(data_of(second)[1], 0x81);  // signedData
    // A second later the certificate goes out again.
    gNow += 1000001;
    const Bytes third = sc.send(hello);
    EXPECT_GT(data_of(third).size(), 98u + 100);
    EXPECT_EQ(d(SD(txSecSigned)), 3u);

    // Back from the air: the digest-signed one is verifiable once the
    // certificate-signed one taught the store (the station's own folder
    // holds the root only).
    ASSERT_TRUE(sc.core->air_send(first));
    ASSERT_TRUE(sc.core->air_send(second));
    EXPECT_EQ(sc.indication(), hello);
    EXPECT_EQ(sc.indication(), hello);
    EXPECT_EQ(d(SD(rxSecVerified)), 2u);
    // The same datagram again is a replay.
    ASSERT_TRUE(sc.core->air_send(second));
    ASSERT_TRUE(v2xtest::wait_for([&] { return d(SD(rxSecReplay)) == 1; }));
    EXPECT_TRUE(v2xtest::quiet_for(sc.app, 100));

    // AID 33 has no profile: plain bytes pass as they are, both ways.
    ASSERT_TRUE(v2xtest::write_all(sc.app, v2xtest::dsm_req(33, {1, 2, 3})));
    EXPECT_EQ(sc.core->radio.recv(5000), (Bytes{0x04, 0x00, 0x21, 0x00, 0x03, 1, 2, 3}));
    ASSERT_TRUE(sc.core->air_send(v2xtest::air_frame(33, {9, 8})));
    EXPECT_EQ(sc.indication(), (Bytes{9, 8}));
}

TEST(SecLayer, EachBadMessageIsDroppedAndCountedByItsReason)
{
    SecCore sc;
    ASSERT_TRUE(sc.core->started());
    const uint32_t t32 = now32();
    sec::Signer good, noPsid, expired, stranger;
    sc.pki.entity("good", {32}, t32 - 3600, 48, &good);
    sc.pki.entity("nopsid", {33}, t32 - 3600, 48, &noPsid);
    sc.pki.entity("expired", {32}, t32 - 7200, 1, &expired);
    {
        // Issued by a root nobody trusts.
        Pki other(t32 - 3600);
        other.entity("x", {32}, t32 - 3600, 48, &stranger);
    }
    const uint64_t now = gNow.load();
    const Bytes p = {7, 7, 7};
    Bytes tampered = signed_rec(good, p, 32, now);
    tampered.back() ^= 0x01;
    Bytes garbage = signed_rec(good, p, 32, now + 1);
    garbage.resize(40);

    struct Case {
        Bytes rec;
        size_t counter;
    } cases[] = {
        {tampered, SD(rxSecBadSignature)},
        {signed_rec(noPsid, p, 33, now), SD(rxSecPsidNotPermitted)},
        {signed_rec(good, p, 33, now + 2), SD(rxSecPsidNotPermitted)},  // record's PSID is not the frame's AID
        {signed_rec(expired, p, 32, now), SD(rxSecExpired)},
        {signed_rec(stranger, p, 32, now), SD(rxSecUnknownSigner)},
        {signed_rec(good, p, 32, now, sec::SignerKind::Digest), SD(rxSecUnknownSigner)},
        {signed_rec(good, p, 32, now - 31000000), SD(rxSecStale)},
        {signed_rec(good, p, 32, now + 3000000), SD(rxSecStale)},
        {garbage, SD(rxSecMalformed)},
        {Bytes{0x03, 0x80, 0x02, 0x01, 0x02}, SD(rxSecUnsigned)},
    };
    // The digest-signed case above must come before any record teaches the
    // store "good": the certificate-signed ones follow it.
    std::swap(cases[0], cases[5]);
    for (const Case& c : cases) {
        StatDelta d;
        ASSERT_TRUE(sc.core->air_send(v2xtest::air_frame(32, c.rec)));
        ASSERT_TRUE(v2xtest::wait_for([&] { return d(c.counter) == 1; })) << c.counter;
        EXPECT_EQ(d(SD(rxSecVerified)), 0u);
    }
    EXPECT_TRUE(v2xtest::quiet_for(sc.app, 100));
}

TEST(SecLayer, ProfileThatPassesHandsFailuresUpCounted)
{
    SecCore sc(1);
    ASSERT_TRUE(sc.core->started());
    StatDelta d;
    ASSERT_TRUE(sc.core->air_send(v2xtest::air_frame(32, {0x03, 0x80, 0x02, 0x05, 0x06})));
    EXPECT_EQ(sc.indication(), (Bytes{0x05, 0x06}));
    EXPECT_EQ(d(SD(rxSecUnsigned)), 1u);
    EXPECT_EQ(d(SD(rxSecPassedUnverified)), 1u);
}

TEST(SecLayer, BadSettingsAreRefusedWithoutTouchingTheRunningOnes)
{
    Pki pki(now32() - 60);
    pki.entity("st", {32}, now32() - 60, 24);
    const std::string trust = pki.dir + "/trust", cert = pki.dir + "/st.cert",
                      key = pki.dir + "/st.key";
    tV2XSecProfile prof = {32, 1, 1, V2X_SEC_SIGNER_DIGEST, 0};
    tV2XSecCfg c = {trust.c_str(), cert.c_str(), key.c_str(), &prof, 1, 0, 0, 0, 0};
    // A key others may read.
    chmod(key.c_str(), 0644);
    EXPECT_EQ(v2x_core_set_security(&c), -ERR_V2X_SEC_LOAD);
    chmod(key.c_str(), 0600);
    // An AID the certificate does not permit.
    tV2XSecProfile p33 = prof;
    p33.aid = 33;
    c.profiles = &p33;
    EXPECT_EQ(v2x_core_set_security(&c), -ERR_V2X_SEC_LOAD);
    // Signing without a key, the same AID twice, a trust folder without root.
    c.profiles = &prof;
    c.keyPath = nullptr;
    EXPECT_EQ(v2x_core_set_security(&c), -ERR_V2X_PARM_CONT);
    c.keyPath = key.c_str();
    const tV2XSecProfile twice[2] = {prof, prof};
    c.profiles = twice;
    c.profileCnt = 2;
    EXPECT_EQ(v2x_core_set_security(&c), -ERR_V2X_PARM_CONT);
    c.profiles = &prof;
    c.profileCnt = 1;
    c.trustDir = pki.dir.c_str();  // certificates, but no self-signed one
    unlink(cert.c_str());
    unlink(key.c_str());
    prof.sign = 0;
    EXPECT_EQ(v2x_core_set_security(&c), -ERR_V2X_SEC_LOAD);
    EXPECT_EQ(v2x_core_set_security(nullptr), 0);
}

// A sender faster than the radio is held back, as for AIDs that do not
// sign: messages being signed count against the queue's room, so none is
// signed only to find the queue full.
TEST(SecLayer, SigningKeepsTheHoldBackOfAFastSender)
{
    SecCore sc;
    ASSERT_TRUE(sc.core->started());
    StatDelta d;
    constexpr int kN = 25;
    for (int i = 0; i < kN; ++i) {
        gNow += 1000;
        ASSERT_TRUE(v2xtest::write_all(sc.app, v2xtest::dsm_req(32, {static_cast<uint8_t>(i)})));
    }
    int got = 0;
    while (got < kN && !sc.core->radio.recv(3000).empty()) {
        ++got;
    }
    EXPECT_EQ(got, kN);
    EXPECT_EQ(d(SD(txSecSigned)), static_cast<uint64_t>(kN));
    EXPECT_EQ(d(SD(txSecFailed)), 0u);
    EXPECT_EQ(d(SD(txSecOverload)), 0u);
    EXPECT_GT(d(SD(txHeldBack)), 0u);
}

// The receive record of a connection that asked for one carries the
// verdict: the signer's identity for a verified message, "not checked" for
// an AID without a profile, "unsigned" for what a passing profile let by.
TEST(SecLayer, ReceiveRecordCarriesTheVerdictAndTheSigner)
{
    SecCore sc(1);
    ASSERT_TRUE(sc.core->started());
    const int rec = sc.core->connect_app();
    const tV2XRxInfoReq on = {1, 0};
    Bytes m(V2X_CORE_APP_HDR_LEN + sizeof(on));
    core_app_hdr_put(reinterpret_cast<char*>(m.data()), V2X_DSM_RX_INFO_REQ, sizeof(on));
    memcpy(m.data() + V2X_CORE_APP_HDR_LEN, &on, sizeof(on));
    ASSERT_TRUE(v2xtest::write_all(rec, m));
    ASSERT_TRUE(v2xtest::wait_for([&] { return v2xtest::unread_by_peer(rec) == 0; }));
    const auto next = [&](tDSMRxInfo* aopRx) {
        const Bytes e = v2xtest::read_msg(rec, 5000);
        CoreAppDsmInd ind{};
        return e.size() > V2X_CORE_APP_HDR_LEN &&
               core_app_dsm_ind_ex_parse(reinterpret_cast<const char*>(e.data()) + V2X_CORE_APP_HDR_LEN,
                                         e.size() - V2X_CORE_APP_HDR_LEN, aopRx, &ind);
    };
    const uint8_t zero[8] = {};
    tDSMRxInfo rx;
    ASSERT_TRUE(sc.core->air_send(sc.send({'h', 'i'})));
    ASSERT_TRUE(next(&rx));
    EXPECT_EQ(rx.secResult, V2X_RX_SEC_VERIFIED);
    EXPECT_NE(memcmp(rx.signerId, zero, sizeof(zero)), 0);
    ASSERT_TRUE(sc.core->air_send(v2xtest::air_frame(33, {9, 8})));
    ASSERT_TRUE(next(&rx));
    EXPECT_EQ(rx.secResult, V2X_RX_SEC_NOT_CHECKED);
    EXPECT_EQ(memcmp(rx.signerId, zero, sizeof(zero)), 0);
    ASSERT_TRUE(sc.core->air_send(v2xtest::air_frame(32, {0x03, 0x80, 0x02, 0x05, 0x06})));
    ASSERT_TRUE(next(&rx));
    EXPECT_EQ(rx.secResult, V2X_RX_SEC_UNSIGNED);
    EXPECT_EQ(rx.flags, V2X_RX_INFO_HAS_TIME);
}
