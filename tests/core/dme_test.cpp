// SPDX-License-Identifier: Apache-2.0
// The management entity on its own: the dump of received advertisement
// frames and the primitive table's life.
#include <gtest/gtest.h>

#include "air_log.hpp"
#include "dme.h"
#include "test_support.h"

using v2xtest::StdoutCapture;

TEST(DmeDump, OneHexLinePerPayloadWithARunningCount)
{
    const char two[] = {0x01, 0x02};
    air_log_gate() = AirLogGate();  // a fresh second's allowance
    StdoutCapture cap;
    parse_dme_payload(two, 2);
    parse_dme_payload(nullptr, 0);
    const char high[] = {static_cast<char>(0xFF), static_cast<char>(0x80)};
    parse_dme_payload(high, 2);
    std::string out = cap.stop();
    // The count keeps running across calls; check the shape of each line.
    size_t first = out.find("RX DME::");
    ASSERT_NE(first, std::string::npos) << out;
    std::string line1 = out.substr(first, out.find('\n', first) - first + 1);
    EXPECT_EQ(line1.substr(14), " len=0002 01 02 \n");
    EXPECT_NE(out.find(" len=0000 \n"), std::string::npos) << out;
    EXPECT_NE(out.find(" len=0002 FF 80 \n"), std::string::npos) << out;
}

TEST(DmePrim, EntriesAreSetByInitAndClearedByExit)
{
    tDMEPrim* p = get_dme_prim();
    ASSERT_EQ(p, get_dme_prim());
    EXPECT_EQ(dme_exit(), 0);
    EXPECT_EQ(p->provReq, nullptr);
    EXPECT_EQ(p->userReq, nullptr);
    EXPECT_EQ(dme_init(nullptr), 0);
    EXPECT_NE(p->provReq, nullptr);
    EXPECT_NE(p->userReq, nullptr);
    EXPECT_EQ(dme_exit(), 0);
    EXPECT_EQ(dme_exit(), 0);
    EXPECT_EQ(p->provReq, nullptr);
}

// Without an event base no timer can be made: the add is refused with a
// confirm and leaves no entry behind (nothing would ever advertise it), so
// a second add tries again and a delete finds nothing.
TEST(DmeProvider, TimerFailureLeavesNoEntry)
{
    v2xtest::LevelGuard lg(LOG_LEV_ERROR);
    ASSERT_EQ(dme_init(nullptr), 0);
    dme_set_tx_sink([](uint32_t, const char*, const int) { return 0; });
    StdoutCapture cap;
    EXPECT_EQ(_dme_provder_serv_req(1, DME_ACTION_ADD, 5, 10, "a", "b"), 0);
    EXPECT_EQ(_dme_provder_serv_req(1, DME_ACTION_ADD, 5, 10, "a", "b"), 0);
    EXPECT_EQ(_dme_provder_serv_req(1, DME_ACTION_DEL, 5, 10, "a", "b"), 0);
    std::string out = cap.stop();
    dme_set_tx_sink(nullptr);
    dme_exit();
    EXPECT_EQ(v2xtest::count_lines_with(out, "evtimer_new() err!!!!"), 2) << out;
    EXPECT_EQ(v2xtest::count_lines_with(out, "Provider add(1) err, already exist!!!!"), 0) << out;
    EXPECT_EQ(v2xtest::count_lines_with(out, "Provider del(1) err, no it!!!!"), 1) << out;
}

// The dump is a line the air causes: past the gate's allowance the rest of
// a flood is counted, not written.
TEST(DmeDump, AFloodPassesTheAirLineGate)
{
    v2xtest::LevelGuard lg(LOG_LEV_LOUD);
    air_log_gate() = AirLogGate();
    const char one[] = {0x01};
    StdoutCapture cap;
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(parse_dme_payload(one, 1), 0);
    }
    const int lines = v2xtest::count_lines_with(cap.stop(), " len=0001 01 ");
    const AirLogGate& g = air_log_gate();
    // Twenty calls span at most two seconds' allowances.
    EXPECT_LE(lines, static_cast<int>(2 * kAirLinesPerSec));
    EXPECT_EQ(g.held + g.heldReady, 20u - static_cast<unsigned long>(lines));
}
