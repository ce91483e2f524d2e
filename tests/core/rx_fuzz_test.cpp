// SPDX-License-Identifier: Apache-2.0
// Randomized receive path: random and mutated frames of every length from 0
// to 65507 through the radio link's hand-over, the adaptation layer and the
// DSM layer; then random datagrams over a real socket, each followed by the
// check that the link still reads. Run under the sanitizers, a read or write
// outside a buffer aborts the test.
#include <gtest/gtest.h>

#include <event2/event.h>
#include <string.h>

#include <memory>
#include <random>
#include <vector>

#include "core.hpp"
#include "adap_lyr.hpp"
#include "core_app.h"
#include "core_harness.h"
#include "core_mib.h"
#include "dme_dsm.hpp"
#include "rlink.hpp"
#include "test_support.h"
#include "v2x_evthread.hpp"

using v2xtest::Bytes;
using v2xtest::StdoutCapture;
using v2xtest::UdpPeer;

namespace {

constexpr size_t kMaxDatagram = 65507;

unsigned long gIndCnt = 0;
unsigned long gBadInd = 0;
unsigned long gDmeCnt = 0;

// Checks every indication for consistency: type, lengths, and that it is
// no longer than a frame from the radio link can make it.
int check_ind(const char* msg, const int len)
{
    ++gIndCnt;
    tCoreApp hdr;
    tDSMInd ind;
    if (len < 20) {
        ++gBadInd;
        return 0;
    }
    memcpy(&hdr, msg, sizeof(hdr));
    memcpy(&ind, msg + 6, sizeof(ind));
    if (hdr.msgType != V2X_DSM_IND || hdr.msgLen + 6 != len || ind.msgLen + 14 != hdr.msgLen ||
        ind.msgLen > V2X_DSM_IND_MAX_DATA) {
        ++gBadInd;
    }
    return 0;
}

int count_dme(const char* msg, const uint16_t len)
{
    (void)msg;
    (void)len;
    ++gDmeCnt;
    return 0;
}

const Bytes kSeeds[] = {
    {0x04, 0x00, 0x20, 0x00, 0x03, 0x61, 0x62, 0x63},
    {0x04, 0x00, 0x80, 0x07, 0x00, 0x02, 0x01, 0x02},
    {0x04, 0x08, 0x05, 0x02, 0xAA, 0xBB, 0x20, 0x00, 0x03, 0x61, 0x62, 0x63},
    {0x04, 0x00, 0x87, 0x00, 0x02, 0xDE, 0xAD},
    {0x04, 0x08, 0x01, 0x20, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
     21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 0xBF, 0xFF, 0x00, 0x01, 0x99},
};

class Fuzzer {
public:
    explicit Fuzzer(uint32_t seed) : rng_(seed) {}

    Bytes next()
    {
        const unsigned kind = pick(1000);
        if (kind < 450) {
            return mutate(kSeeds[pick(sizeof(kSeeds) / sizeof(kSeeds[0]))]);
        }
        if (kind < 800) {
            return random_bytes(pick(64));
        }
        if (kind < 995) {
            return with_length_field(pick(2100));
        }
        return random_bytes(pick(kMaxDatagram + 1));
    }

    unsigned pick(size_t n) { return static_cast<unsigned>(rng_() % n); }

private:
    Bytes random_bytes(size_t n)
    {
        Bytes b(n);
        for (size_t i = 0; i < n; i += 4) {
            const uint32_t r = rng_();
            memcpy(&b[i], &r, n - i < 4 ? n - i : 4);
        }
        return b;
    }

    // Bit flips, byte changes, cuts and extensions of a valid frame.
    Bytes mutate(Bytes b)
    {
        const unsigned edits = 1 + pick(4);
        for (unsigned e = 0; e < edits; ++e) {
            switch (pick(5)) {
            case 0:
                if (!b.empty()) {
                    b[pick(b.size())] ^= static_cast<uint8_t>(1u << pick(8));
                }
                break;
            case 1:
                if (!b.empty()) {
                    b[pick(b.size())] = static_cast<uint8_t>(rng_());
                }
                break;
            case 2:
                b.resize(pick(b.size() + 1));
                break;
            case 3:
                b.push_back(static_cast<uint8_t>(rng_()));
                break;
            default:
                if (b.size() > 2) {
                    b[1 + pick(b.size() - 1)] = pick(2) ? 0x87 : 0x08;
                }
                break;
            }
        }
        return b;
    }

    // A plausible header whose length field matches, or nearly matches.
    Bytes with_length_field(size_t dataLen)
    {
        Bytes b = {0x04, static_cast<uint8_t>(pick(16)), static_cast<uint8_t>(pick(256))};
        if (b[2] & 0x80) {
            b.push_back(static_cast<uint8_t>(rng_()));
        }
        const size_t l = dataLen + pick(3) - 1;
        b.push_back(static_cast<uint8_t>(l >> 8));
        b.push_back(static_cast<uint8_t>(l));
        Bytes d = random_bytes(dataLen);
        b.insert(b.end(), d.begin(), d.end());
        return b;
    }

    std::mt19937 rng_;
};

class RxFuzz : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(v2x_mib_init(), 0);
        ASSERT_EQ(adaptation_layer_init(), 0);
        const char mac[6] = {1, 2, 3, 4, 5, 6};
        ASSERT_EQ(dme_dsm_init(mac), 0);
        core_wire_stack();
        dme_dsm_set_ind_sink(check_ind);
        adap_lyr_set_dme_sink(count_dme);
        // Every AID registered, so frames get past the filter to the length
        // check and the DSM layer.
        tDMEDSMServReq r;
        memset(&r, 0, sizeof(r));
        r.action = DME_ACTION_ADD;
        r.aidMthFlg = 1;
        ASSERT_EQ(mib_dsm_serv_info_updata(&r), 0);
    }
    void TearDown() override
    {
        core_unwire_stack();
        dme_dsm_set_ind_sink(nullptr);
        adap_lyr_set_dme_sink(nullptr);
        dme_dsm_exit();
        adaptation_layer_exit();
        v2x_mib_exit();
    }
};

}  // namespace

TEST_F(RxFuzz, HundredThousandFramesThroughTheHandOver)
{
    const uint32_t seed = 0x5eed0003u;
    Fuzzer fz(seed);
    // Log lines are formatted but go nowhere.
    StdoutCapture cap;
    unsigned long refused = 0;
    unsigned long bad = 0;
    for (int i = 0; i < 100000; ++i) {
        Bytes b = fz.next();
        // An allocation of exactly the datagram's size: any read past it is
        // caught by the address sanitizer.
        std::unique_ptr<char[]> exact(new char[b.size() + (b.empty() ? 1 : 0)]);
        if (!b.empty()) {
            memcpy(exact.get(), b.data(), b.size());
        }
        const int r = _parse_rx_msg(exact.get(), static_cast<int>(b.size()));
        if (r == -ERR_V2X_RX_DSM_FMT || r == -ERR_V2X_RX_ADAP_FMT) {
            ++refused;
        } else if (r != 0) {
            ++bad;
        }
    }
    cap.stop();
    EXPECT_EQ(bad, 0u) << "seed " << seed;
    EXPECT_EQ(gBadInd, 0u) << "seed " << seed;
    // The mix reaches every outcome, not only the early refusals.
    EXPECT_GT(gIndCnt, 1000u);
    EXPECT_GT(gDmeCnt, 100u);
    EXPECT_GT(refused, 1000u);
}

TEST_F(RxFuzz, RandomDatagramsOverTheSocketNeverStopTheNextOne)
{
    ASSERT_TRUE(v2x_event_threads_ready());
    struct event_base* base = event_base_new();
    ASSERT_NE(base, nullptr);
    UdpPeer radio;
    UdpPeer air;
    tV2XSDKCfg cfg = v2xtest::sdk_cfg("", "127.0.0.1", 0, radio.port());
    ASSERT_EQ(rlink_init(&cfg, base), 0);
    const auto port = static_cast<uint16_t>(rlink_rx_port());

    Fuzzer fz(0x5eed0004u);
    const Bytes probe = {0x04, 0x00, 0x20, 0x00, 0x01, 0x7A};
    StdoutCapture cap;
    for (int i = 0; i < 400; ++i) {
        Bytes b = i % 40 == 0 ? Bytes(kMaxDatagram - fz.pick(3), static_cast<uint8_t>(i)) : fz.next();
        ASSERT_TRUE(air.send_to(port, b)) << i << " len " << b.size();
        // Each datagram is read by exactly one callback.
        ASSERT_EQ(event_base_loop(base, EVLOOP_ONCE), 0);
        if (i % 50 == 49) {
            const unsigned long before = gIndCnt;
            ASSERT_TRUE(air.send_to(port, probe));
            ASSERT_EQ(event_base_loop(base, EVLOOP_ONCE), 0);
            EXPECT_EQ(gIndCnt, before + 1) << "after datagram " << i;
        }
    }
    cap.stop();
    EXPECT_EQ(gBadInd, 0u);
    EXPECT_EQ(rlink_exit(), 0);
    event_base_free(base);
}
