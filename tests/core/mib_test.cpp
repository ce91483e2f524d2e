// SPDX-License-Identifier: Apache-2.0
// The DSM service table: add, delete, change, query; wildcard entries; two
// indexes with one AID; the table after a restart.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "core_harness.h"
#include "core_mib.h"
#include "test_support.h"

using v2xtest::StdoutCapture;
using v2xtest::count_lines_with;

namespace {

int upd(uint16_t index, uint32_t action, uint32_t aid, uint8_t all = 0)
{
    tDMEDSMServReq r = v2xtest::serv_rec(index, action, aid, all);
    return mib_dsm_serv_info_updata(&r);
}

struct MibFixture : ::testing::Test {
    void SetUp() override { ASSERT_EQ(v2x_mib_init(), 0); }
    void TearDown() override { EXPECT_EQ(v2x_mib_exit(), 0); }
};

}  // namespace

using Mib = MibFixture;

TEST_F(Mib, EmptyTableAcceptsNothing)
{
    for (uint32_t aid : {0u, 1u, 32u, 135u, 16511u, 0xFFFFFFFFu}) {
        EXPECT_EQ(mib_query_dme_dsm_appid(aid), -1) << aid;
    }
}

TEST_F(Mib, AddDeleteAndTheStaleFieldsOfADeletedEntry)
{
    EXPECT_EQ(upd(3, DME_ACTION_ADD, 32), 0);
    EXPECT_EQ(mib_query_dme_dsm_appid(32), 0);
    EXPECT_EQ(mib_query_dme_dsm_appid(33), -1);
    // A second add at the same index is refused and the first stays.
    EXPECT_EQ(upd(3, DME_ACTION_ADD, 40), -ERR_V2X_ACTION_ADD);
    EXPECT_EQ(mib_query_dme_dsm_appid(32), 0);
    EXPECT_EQ(mib_query_dme_dsm_appid(40), -1);
    EXPECT_EQ(upd(3, DME_ACTION_DEL, 0), 0);
    EXPECT_EQ(mib_query_dme_dsm_appid(32), -1);
    EXPECT_EQ(upd(3, DME_ACTION_DEL, 0), -ERR_V2X_ACTION_DEL);
    EXPECT_EQ(upd(9, DME_ACTION_DEL, 0), -ERR_V2X_ACTION_DEL);
}

TEST_F(Mib, WildcardEntriesMatchEveryAidOnlyWithFlagOne)
{
    EXPECT_EQ(upd(0, DME_ACTION_ADD, 7, 2), 0);
    EXPECT_EQ(mib_query_dme_dsm_appid(7), 0);
    EXPECT_EQ(mib_query_dme_dsm_appid(8), -1);
    EXPECT_EQ(upd(1, DME_ACTION_ADD, 99, 1), 0);
    for (uint32_t aid : {0u, 8u, 135u, 16511u}) {
        EXPECT_EQ(mib_query_dme_dsm_appid(aid), 0) << aid;
    }
    EXPECT_EQ(upd(1, DME_ACTION_DEL, 0), 0);
    EXPECT_EQ(mib_query_dme_dsm_appid(8), -1);
}

TEST_F(Mib, ChangeCreatesOrReplaces)
{
    EXPECT_EQ(upd(5, DME_ACTION_CHGE, 50), 0);
    EXPECT_EQ(mib_query_dme_dsm_appid(50), 0);
    EXPECT_EQ(upd(5, DME_ACTION_CHGE, 51, 0), 0);
    EXPECT_EQ(mib_query_dme_dsm_appid(50), -1);
    EXPECT_EQ(mib_query_dme_dsm_appid(51), 0);
    EXPECT_EQ(upd(5, DME_ACTION_CHGE, 51, 1), 0);
    EXPECT_EQ(mib_query_dme_dsm_appid(12345), 0);
    // The changed entry is in use: an add there is refused.
    EXPECT_EQ(upd(5, DME_ACTION_ADD, 1), -ERR_V2X_ACTION_ADD);
}

TEST_F(Mib, TwoIndexesWithOneAid)
{
    EXPECT_EQ(upd(2, DME_ACTION_ADD, 32), 0);
    EXPECT_EQ(upd(30, DME_ACTION_ADD, 32), 0);
    EXPECT_EQ(upd(2, DME_ACTION_DEL, 0), 0);
    EXPECT_EQ(mib_query_dme_dsm_appid(32), 0);
    EXPECT_EQ(upd(30, DME_ACTION_DEL, 0), 0);
    EXPECT_EQ(mib_query_dme_dsm_appid(32), -1);
}

TEST_F(Mib, IndexBoundsAndUnknownActionsChangeNothing)
{
    StdoutCapture cap;
    EXPECT_EQ(upd(31, DME_ACTION_ADD, 31), 0);
    const uint64_t regs = v2xtest::stats_now().mgmtRegistrations;
    EXPECT_EQ(upd(32, DME_ACTION_ADD, 32), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(upd(0xFFFF, DME_ACTION_CHGE, 33), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(upd(4, 3, 34), -ERR_V2X_ACTION_PARM);
    EXPECT_EQ(upd(4, 0xFFFFFFFFu, 35), -ERR_V2X_ACTION_PARM);
    EXPECT_EQ(mib_dsm_serv_info_updata(nullptr), -ERR_V2X_PARM_CONT);
    std::string out = cap.stop();
    EXPECT_EQ(mib_query_dme_dsm_appid(31), 0);
    for (uint32_t aid : {32u, 33u, 34u, 35u}) {
        EXPECT_EQ(mib_query_dme_dsm_appid(aid), -1) << aid;
    }
    EXPECT_EQ(count_lines_with(out, "index=32 err!!!!"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "index=65535 err!!!!"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "action=3 err!!!!"), 1) << out;
    // Add and delete refusals are left to the caller to report.
    EXPECT_EQ(upd(31, DME_ACTION_ADD, 1), -ERR_V2X_ACTION_ADD);
    EXPECT_EQ(v2xtest::stats_now().mgmtRegistrations, regs);  // the table's count too
}

TEST_F(Mib, AllThirtyTwoSlotsAndRestartEmptiesTheTable)
{
    for (uint16_t i = 0; i < 32; ++i) {
        ASSERT_EQ(upd(i, DME_ACTION_ADD, 1000u + i), 0) << i;
    }
    for (uint16_t i = 0; i < 32; ++i) {
        EXPECT_EQ(mib_query_dme_dsm_appid(1000u + i), 0) << i;
    }
    EXPECT_EQ(v2x_mib_exit(), 0);
    EXPECT_EQ(v2x_mib_exit(), 0);
    EXPECT_EQ(v2x_mib_init(), 0);
    EXPECT_EQ(mib_query_dme_dsm_appid(1000), -1);
    EXPECT_EQ(upd(0, DME_ACTION_ADD, 1), 0);
}
