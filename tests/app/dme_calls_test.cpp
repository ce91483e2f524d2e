// SPDX-License-Identifier: Apache-2.0
// Registrations, indications and confirms of the DSM and DME calls, through a
// fake core; the three index allocators.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>

#include "fake_core.h"

using namespace v2xtest;

namespace {

std::mutex gLk;
std::vector<std::string> gCalls;  // "<who>:<aid or lcl>:<ret>"

void note(const std::string& s)
{
    std::lock_guard<std::mutex> lk(gLk);
    gCalls.push_back(s);
}
std::vector<std::string> calls()
{
    std::lock_guard<std::mutex> lk(gLk);
    return gCalls;
}

int ind_a(uint8_t, const uint32_t aid, uint16_t, const char*, const char*, uint8_t)
{
    note("A:" + std::to_string(aid));
    return 0;
}
int ind_b(uint8_t, const uint32_t aid, uint16_t, const char*, const char*, uint8_t)
{
    note("B:" + std::to_string(aid));
    return 0;
}
int ind_fail(uint8_t, const uint32_t aid, uint16_t, const char*, const char*, uint8_t)
{
    note("F:" + std::to_string(aid));
    return -7;
}
int dsm_cfm(const uint32_t aid, eDMERetCd ret)
{
    note("C:" + std::to_string(aid) + ":" + std::to_string(ret));
    return 0;
}
int prov_1(int lcl, eDMERetCd ret)
{
    note("P1:" + std::to_string(lcl) + ":" + std::to_string(ret));
    return 0;
}
int prov_2(int lcl, eDMERetCd ret)
{
    note("P2:" + std::to_string(lcl) + ":" + std::to_string(ret));
    return 0;
}
int user_1(int lcl, eDMERetCd ret)
{
    note("U1:" + std::to_string(lcl) + ":" + std::to_string(ret));
    return 0;
}

tDMEDSMServReq sreq(uint32_t action, uint32_t aid, uint8_t all = 0, uint16_t index = 0)
{
    return serv_rec(index, action, aid, all);
}

tDMEProvServReq preq(uint16_t lcl)
{
    tDMEProvServReq r;
    memset(&r, 0, sizeof(r));
    r.lclAppId = lcl;
    r.appId = 26;
    r.rptRte = 10;
    return r;
}

tDMEUserServReq ureq(uint16_t lcl)
{
    tDMEUserServReq r;
    memset(&r, 0, sizeof(r));
    r.lclAppId = lcl;
    r.appId = 26;
    return r;
}

class DmeCalls : public ::testing::Test {
protected:
    void SetUp() override
    {
        gCalls.clear();
        ASSERT_TRUE(c_.core.listening());
        ASSERT_TRUE(c_.start());
    }
    void TearDown() override { c_.stop(); }
    // Consumes n requests on the fake core.
    void drain(int n)
    {
        for (int i = 0; i < n; ++i) {
            ASSERT_GE(read_msg(c_.core.fd(), 2000).size(), 6u);
        }
    }
    void core_sends(const Bytes& b) { ASSERT_TRUE(write_all(c_.core.fd(), b)); }
    // The core indicates aid with len bytes: the n-th callback is then want.
    void indicated(uint32_t aid, size_t len, size_t n, const char* want)
    {
        core_sends(dsm_ind_msg(aid, Bytes(len)));
        ASSERT_TRUE(wait_for([n] { return calls().size() == n; }));
        EXPECT_EQ(calls()[n - 1], want);
    }
    ClientLoop c_;
};

Bytes dsm_cfm_msg(uint32_t aid, uint32_t ret)
{
    Bytes p(8);
    memcpy(p.data(), &aid, 4);
    memcpy(p.data() + 4, &ret, 4);
    return app_msg(V2X_DSM_CFM, p);
}

}  // namespace

TEST_F(DmeCalls, FirstMatchingRegistrationTakesEachIndication)
{
    tDMEDSMServReq r17 = sreq(DME_ACTION_ADD, 17), rAll = sreq(DME_ACTION_ADD, 99, 1, 1);
    ASSERT_EQ(dme_dsm_serv_req(&r17, nullptr, ind_a), 0);
    ASSERT_EQ(dme_dsm_serv_req(&rAll, nullptr, ind_b), 0);
    drain(2);
    core_sends(dsm_ind_msg(17, Bytes(1)));
    core_sends(dsm_ind_msg(18, Bytes(1)));
    ASSERT_TRUE(wait_for([] { return calls().size() == 2; }));
    EXPECT_EQ(calls(), std::vector<std::string>({"A:17", "B:18"}));

    // Wildcard first: it takes everything.
    tDMEDSMServReq d17 = sreq(DME_ACTION_DEL, 17);
    ASSERT_EQ(dme_dsm_serv_req(&d17, nullptr, nullptr), 0);
    ASSERT_EQ(dme_dsm_serv_req(&r17, nullptr, ind_a), 0);
    drain(2);
    indicated(17, 1, 3, "B:17");
}

// What the local table refuses is never sent, so the core's table and this
// one cannot drift apart.
TEST_F(DmeCalls, RegistrationRulesAndTheirLines)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    StdoutCapture cap;
    tDMEDSMServReq a = sreq(DME_ACTION_ADD, 26);
    EXPECT_EQ(dme_dsm_serv_req(&a, dsm_cfm, ind_a), 0);
    drain(1);
    EXPECT_EQ(dme_dsm_serv_req(&a, dsm_cfm, ind_a), -ERR_V2X_PRIM_ACTION);
    tDMEDSMServReq a27 = sreq(DME_ACTION_ADD, 27);  // index 0 is 26's
    EXPECT_EQ(dme_dsm_serv_req(&a27, dsm_cfm, ind_a), -ERR_V2X_PRIM_ACTION);
    tDMEDSMServReq d = sreq(DME_ACTION_DEL, 27), ch = sreq(DME_ACTION_CHGE, 27);
    EXPECT_EQ(dme_dsm_serv_req(&d, nullptr, nullptr), -ERR_V2X_PRIM_ACTION);
    EXPECT_EQ(dme_dsm_serv_req(&ch, nullptr, ind_a), -ERR_V2X_PRIM_ACTION);
    tDMEDSMServReq d26 = sreq(DME_ACTION_DEL, 26, 0, 5);  // 26 is at index 0
    EXPECT_EQ(dme_dsm_serv_req(&d26, nullptr, nullptr), -ERR_V2X_PRIM_ACTION);
    tDMEDSMServReq bad = sreq(3, 26);
    EXPECT_EQ(dme_dsm_serv_req(&bad, nullptr, ind_a), -ERR_V2X_PRIM_ACTION);
    tDMEDSMServReq big = sreq(DME_ACTION_ADD, 40, 0, 32);
    EXPECT_EQ(dme_dsm_serv_req(&big, nullptr, ind_a), -ERR_V2X_PARM_CONT);
    // An add or change without an indication callback is refused unsent.
    tDMEDSMServReq c26 = sreq(DME_ACTION_CHGE, 26);
    tDMEDSMServReq a30 = sreq(DME_ACTION_ADD, 30);
    EXPECT_EQ(dme_dsm_serv_req(&a30, dsm_cfm, nullptr), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(dme_dsm_serv_req(&c26, dsm_cfm, nullptr), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(dme_dsm_serv_req(nullptr, dsm_cfm, ind_a), -ERR_V2X_PARM_CONT);
    EXPECT_TRUE(quiet_for(c_.core.fd(), 100));
    std::string out = cap.stop();
    expect_lines(out, {{"appId already exist err!!!!", 1},
                       {"index(0) already in use err!!!!", 1},
                       {"appId not exist err!!!!", 2},
                       {"action=3 err!!!!", 1},
                       {"aipDSMIndFunc=NULL err!!!!", 2}});

    // A change replaces the callbacks and keeps the registration.
    EXPECT_EQ(dme_dsm_serv_req(&c26, nullptr, ind_fail), 0);
    drain(1);
    indicated(26, 2, 1, "F:26");
}

// Each confirm answers the oldest waiting registration of its AID; a
// refused add leaves the local table too.
TEST_F(DmeCalls, DsmConfirmsGoToTheRegistration)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    tDMEDSMServReq a = sreq(DME_ACTION_ADD, 26), b = sreq(DME_ACTION_ADD, 27, 0, 1);
    ASSERT_EQ(dme_dsm_serv_req(&a, dsm_cfm, ind_a), 0);
    ASSERT_EQ(dme_dsm_serv_req(&b, nullptr, ind_a), 0);
    drain(2);
    tDMEDSMServCfm cfm = {26, 0};
    EXPECT_EQ(app_dme_dsm_serv_cfm(&cfm), 0);
    EXPECT_EQ(app_dme_dsm_serv_cfm(&cfm), -ERR_V2X_NO_FIND_IND_HOK);  // answered once
    cfm.appId = 27;
    EXPECT_EQ(app_dme_dsm_serv_cfm(&cfm), 0);  // no callback wanted
    EXPECT_EQ(calls(), std::vector<std::string>({"C:26:0"}));

    tDMEDSMServReq c = sreq(DME_ACTION_ADD, 28, 0, 2);
    ASSERT_EQ(dme_dsm_serv_req(&c, dsm_cfm, ind_b), 0);
    drain(1);
    StdoutCapture cap;
    core_sends(dsm_cfm_msg(99, 0));  // nobody asked: logged
    core_sends(dsm_cfm_msg(28, 1));
    ASSERT_TRUE(wait_for([] { return calls().size() == 2; }));
    std::string out = cap.stop();
    EXPECT_EQ(calls()[1], "C:28:1");
    EXPECT_EQ(count_lines_with(out, "app_dme_dsm_serv_cfm() err!!!!"), 1) << out;
    core_sends(dsm_ind_msg(28, Bytes(1)));
    core_sends(dsm_ind_msg(26, Bytes(1)));
    ASSERT_TRUE(wait_for([] { return calls().size() == 3; }));
    EXPECT_EQ(calls()[2], "A:26");  // 28 was refused: nobody takes it
    ASSERT_EQ(dme_dsm_serv_req(&c, dsm_cfm, ind_b), 0);  // and may be asked again
    drain(1);
}

namespace {

std::atomic<int> gNested{1};

int ind_nested(uint8_t, const uint32_t, uint16_t, const char*, const char*, uint8_t)
{
    tDMEDSMServReq r = sreq(DME_ACTION_ADD, 60, 0, 9);
    gNested = dme_dsm_serv_req(&r, nullptr, ind_a);
    return 0;
}

int prov_nested(int, eDMERetCd)
{
    tDMEProvServReq p = preq(8);
    gNested = dme_provider_serv_req(&p, prov_1);
    return 0;
}

}  // namespace

// The calls a callback must not make come back at once instead of waiting
// on the thread that runs the callback.
TEST_F(DmeCalls, ForbiddenCallsFromCallbacksReturnAtOnce)
{
    LevelGuard lvl(LOG_LEV_OFF);
    tDMEDSMServReq r = sreq(DME_ACTION_ADD, 61);
    ASSERT_EQ(dme_dsm_serv_req(&r, nullptr, ind_nested), 0);
    drain(1);
    core_sends(dsm_ind_msg(61, Bytes(1)));
    ASSERT_TRUE(wait_for([] { return gNested.load() != 1; }));
    EXPECT_EQ(gNested.load(), -ERR_V2X_PARM_CONT);
    gNested = 1;
    tDMEProvServReq p = preq(7);
    ASSERT_EQ(dme_provider_serv_req(&p, prov_nested), 0);
    drain(1);
    core_sends(serv_cfm_msg(V2X_DME_PROV_SERV_CFM, 7, 0));
    ASSERT_TRUE(wait_for([] { return gNested.load() != 1; }));
    EXPECT_EQ(gNested.load(), -ERR_V2X_PARM_CONT);
    EXPECT_TRUE(quiet_for(c_.core.fd(), 100));  // nothing of them was sent
}

TEST_F(DmeCalls, ProviderConfirmsServeOneRequestEach)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    StdoutCapture cap;
    tDMEProvServReq p3 = preq(3);
    EXPECT_EQ(dme_provider_serv_req(&p3, prov_1), 0);
    drain(1);
    EXPECT_EQ(dme_provider_serv_req(&p3, prov_2), -ERR_V2X_PRIM_ACTION);  // unsent
    tDMEProvServReq p4 = preq(4);
    EXPECT_EQ(dme_provider_serv_req(&p4, nullptr), 0);
    drain(1);
    core_sends(serv_cfm_msg(V2X_DME_PROV_SERV_CFM, 3, 1));
    core_sends(serv_cfm_msg(V2X_DME_PROV_SERV_CFM, 3, 0));
    core_sends(serv_cfm_msg(V2X_DME_PROV_SERV_CFM, 4, 0));
    // The same lclAppId waits as user too; its confirm type keeps them apart.
    tDMEUserServReq u3 = ureq(3);
    EXPECT_EQ(dme_user_serv_req(&u3, user_1), 0);
    drain(1);
    core_sends(serv_cfm_msg(V2X_DME_USER_SERV_CFM, 3, 0));
    ASSERT_TRUE(wait_for([] { return calls().size() == 2; }));
    // A window, not a wait: no third callback comes within it.
    usleep(50 * 1000);
    std::string out = cap.stop();
    EXPECT_EQ(calls(), std::vector<std::string>({"P1:3:1", "U1:3:0"}));
    EXPECT_EQ(count_lines_with(out, "lclAppId exist err!!!!"), 1);
    EXPECT_EQ(count_lines_with(out, "aipDMEProvCfmFunc=NULL, quit------"), 1);
    EXPECT_EQ(count_lines_with(out, "app_dme_provider_serv_cfm() err!!!!"), 2);

    // Once confirmed, the lclAppId is free again.
    EXPECT_EQ(dme_provider_serv_req(&p3, prov_2), 0);
    drain(1);
    tDMEProvServCfm c = {3, 0};
    EXPECT_EQ(app_dme_provider_serv_cfm(&c), 0);
    EXPECT_EQ(app_dme_provider_serv_cfm(&c), -ERR_V2X_NO_FIND_IND_HOK);
    EXPECT_EQ(calls().back(), "P2:3:0");
}

TEST_F(DmeCalls, UserDuplicateAndExitWithPendingRequests)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    StdoutCapture cap;
    tDMEUserServReq u = ureq(9);
    EXPECT_EQ(dme_user_serv_req(&u, user_1), 0);
    drain(1);
    EXPECT_EQ(dme_user_serv_req(&u, user_1), -ERR_V2X_PRIM_ACTION);  // unsent
    EXPECT_EQ(dme_user_serv_req(nullptr, user_1), -ERR_V2X_PARM_CONT);
    tDMEProvServReq p = preq(9);
    EXPECT_EQ(dme_provider_serv_req(&p, prov_1), 0);
    drain(1);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "lclAppId already exist err!!!!"), 1);
    // Exit frees the waiting records and calls nobody.
    EXPECT_EQ(v2x_app_dme_exit(), 0);
    tDMEUserServCfm uc = {9, 0};
    tDMEProvServCfm pc = {9, 0};
    EXPECT_EQ(app_dme_user_serv_cfm(&uc), -ERR_V2X_NO_FIND_IND_HOK);
    EXPECT_EQ(app_dme_provider_serv_cfm(&pc), -ERR_V2X_NO_FIND_IND_HOK);
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(v2x_app_dme_exit(), 0);
}

TEST_F(DmeCalls, ConfirmRaceWithTheRequestStillFindsTheRecord)
{
    // The fake core answers each request the moment it reads it: the confirm
    // may be dispatched before the requesting call returns.
    std::thread answer([this] {
        for (int i = 0; i < 100; ++i) {
            Bytes m = read_msg(c_.core.fd(), 3000);
            if (m.size() != 6 + 523) {
                return;
            }
            uint16_t lcl;
            memcpy(&lcl, m.data() + 6, 2);
            write_all(c_.core.fd(), serv_cfm_msg(V2X_DME_PROV_SERV_CFM, lcl, 0));
        }
    });
    for (int i = 0; i < 100; ++i) {
        tDMEProvServReq p = preq(static_cast<uint16_t>(i));
        ASSERT_EQ(dme_provider_serv_req(&p, prov_1), 0);
    }
    answer.join();
    ASSERT_TRUE(wait_for([] { return calls().size() == 100; }));
}

TEST(AppIndexes, ThirtyTwoEachThenTheFamilysCode)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    struct Family {
        int (*get)(const int*);
        int (*clear)(const int);
        int exhausted;
        const char* setText;
    } fams[] = {
        {get_dme_dsm_serv_req_index, clear_dme_dsm_serv_req_index,
         -ERR_V2X_NO_FIND_DSM_SERV_REQ_INDEX, "index=5, giDMEDSMServReqInex=FFFFFFDF!!!!"},
        {get_dme_prov_serv_req_index, clear_dme_prov_serv_req_index,
         -ERR_V2X_NO_FIND_PROV_SERV_REQ_INDEX, "index=5, giDMEProvServReqInex=FFFFFFDF!!!!"},
        {get_dme_user_serv_req_index, clear_dme_user_serv_req_index,
         -ERR_V2X_NO_FIND_USER_SERV_REQ_INDEX, "index=5, giDMEUserServReqInex=FFFFFFDF!!!!"},
    };
    v2x_app_dme_init();
    v2x_app_dme_dsm_init();
    for (const Family& f : fams) {
        for (int i = 0; i < 32; ++i) {
            int idx = -1;
            ASSERT_EQ(f.get(&idx), 0);
            EXPECT_EQ(idx, i);
        }
        int idx = -1;
        EXPECT_EQ(f.get(&idx), f.exhausted);
        EXPECT_EQ(idx, -1);
        EXPECT_EQ(f.get(nullptr), -ERR_V2X_PARM_CONT);

        StdoutCapture cap;
        EXPECT_EQ(f.clear(5), 0);
        EXPECT_EQ(f.clear(5), -ERR_V2X_CLR_INDEX);
        EXPECT_EQ(f.clear(32), -ERR_V2X_CLR_INDEX);
        EXPECT_EQ(f.clear(33), -ERR_V2X_CLR_INDEX);
        // Negative indexes must not wrap onto a real bit (-255 would be 1).
        EXPECT_EQ(f.clear(-255), -ERR_V2X_CLR_INDEX);
        EXPECT_EQ(f.clear(-1), -ERR_V2X_CLR_INDEX);
        std::string out = cap.stop();
        EXPECT_EQ(count_lines_with(out, "Clear no find use index()!!!!"), 2) << out;
        EXPECT_EQ(count_lines_with(out, f.setText), 1) << out;
        EXPECT_EQ(count_lines_with(out, "aicIndex=33 err!!!!"), 1);
        EXPECT_EQ(count_lines_with(out, "aicIndex=-255 err!!!!"), 1);
        ASSERT_EQ(f.get(&idx), 0);
        EXPECT_EQ(idx, 5);
        EXPECT_EQ(f.clear(1), 0);  // still set: the negative clears touched nothing
    }
    // Stop and start give every index back.
    v2x_app_dme_exit();
    v2x_app_dme_dsm_exit();
    for (const Family& f : fams) {
        int idx = -1;
        ASSERT_EQ(f.get(&idx), 0);
        EXPECT_EQ(idx, 0);
    }
    v2x_app_dme_exit();
    v2x_app_dme_dsm_exit();
}

TEST(AppIndexes, ConcurrentGetsHandOutEachIndexOnce)
{
    v2x_app_dme_dsm_init();
    std::vector<int> got(32, -1);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([&got, t] {
            for (int i = 0; i < 8; ++i) {
                get_dme_dsm_serv_req_index(&got[t * 8 + i]);
            }
        });
    }
    for (auto& th : ts) {
        th.join();
    }
    std::sort(got.begin(), got.end());
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(got[i], i);
    }
    v2x_app_dme_dsm_exit();
}
