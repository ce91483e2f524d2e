// The daemon client against a fake core: wire bytes of every request,
// coalesced and split messages from the core, bad headers, whole messages
// under a full socket, several sending threads, the end of the connection.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>

#include <algorithm>
#include <thread>

#include "fake_core.h"

using namespace v2xtest;

namespace {

// What the indication callback saw, in order.
struct IndRec {
    uint8_t ver;
    uint32_t aid;
    Bytes data;
    Bytes mac;
    uint8_t prio;
};
std::mutex gRecLk;
std::vector<IndRec> gInds;
std::vector<std::pair<int, int>> gProvCfms, gUserCfms;

int rec_ind(uint8_t ver, const uint32_t aid, uint16_t len, const char* msg, const char* mac,
            uint8_t prio)
{
    std::lock_guard<std::mutex> lk(gRecLk);
    gInds.push_back({ver, aid, Bytes(msg, msg + len), Bytes(mac, mac + 6), prio});
    return 0;
}
int rec_prov(int lcl, eDMERetCd ret)
{
    std::lock_guard<std::mutex> lk(gRecLk);
    gProvCfms.push_back({lcl, ret});
    return 0;
}
int rec_user(int lcl, eDMERetCd ret)
{
    std::lock_guard<std::mutex> lk(gRecLk);
    gUserCfms.push_back({lcl, ret});
    return 0;
}
size_t n_inds()
{
    std::lock_guard<std::mutex> lk(gRecLk);
    return gInds.size();
}

tDMEDSMServReq serv_req(uint16_t index, uint32_t action, uint32_t aid, uint8_t all)
{
    tDMEDSMServReq r;
    memset(&r, 0, sizeof(r));
    r.index = index;
    r.action = action;
    r.appId = aid;
    r.aidMthFlg = all;
    return r;
}

// Registers aid with rec_ind, consuming the request on the fake core.
void register_aid(ClientLoop& c, uint32_t aid, uint8_t all = 0)
{
    tDMEDSMServReq r = serv_req(0, DME_ACTION_ADD, aid, all);
    ASSERT_EQ(dme_dsm_serv_req(&r, nullptr, rec_ind), 0);
    ASSERT_EQ(read_msg(c.core.fd(), 2000).size(), 17u);
}

class DomnClit : public ::testing::Test {
protected:
    void SetUp() override
    {
        gInds.clear();
        gProvCfms.clear();
        gUserCfms.clear();
        ASSERT_TRUE(c_.core.listening());
        ASSERT_TRUE(c_.start());
    }
    void TearDown() override
    {
        c_.stop();
        c_.core.close_client();
    }
    ClientLoop c_;
};

}  // namespace

TEST(DomnClitNoConn, SendWithoutConnectionIsRefused)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    StdoutCapture cap;
    char b[4] = {0};
    EXPECT_EQ(send_core_app_msg(V2X_DSM_REQ, b, 4), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(count_lines_with(cap.stop(), "giClitRxFd=-1 err!!!!"), 1);
}

TEST(DomnClitNoConn, SocketNameOf108BytesIsRefusedAnd107Connects)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    v2x_event_threads_ready();
    int fds = open_fd_count();
    struct event_base* base = event_base_new();
    tV2XSDKCfg cfg;
    memset(&cfg, 0, sizeof(cfg));
    std::string p = unique_path("l");
    p.append(108 - p.size(), 'x');
    memcpy(cfg.dmnNme, p.data(), p.size());
    int withBase = open_fd_count();
    StdoutCapture cap;
    EXPECT_EQ(v2x_domn_clit_init(&cfg, base), -ERR_V2X_SOCKET_CONECT);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "dmnNme len(108) err!!!!"), 1) << out;
    EXPECT_EQ(open_fd_count(), withBase);

    // A name of 256 bytes without terminator is refused the same way.
    memset(cfg.dmnNme, 'y', sizeof(cfg.dmnNme));
    EXPECT_EQ(v2x_domn_clit_init(&cfg, base), -ERR_V2X_SOCKET_CONECT);

    // 107 bytes fit the address with their terminator.
    p.pop_back();
    memset(&cfg, 0, sizeof(cfg));
    memcpy(cfg.dmnNme, p.data(), p.size());
    {
        FakeCore core(p);
        ASSERT_TRUE(core.listening());
        EXPECT_EQ(v2x_domn_clit_init(&cfg, base), 0);
        EXPECT_TRUE(core.accept_client());
        v2x_domn_clit_exit();
    }
    event_base_free(base);
    EXPECT_EQ(open_fd_count(), fds);
}

TEST(DomnClitNoConn, ConnectFailureKeepsNoSocket)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    v2x_event_threads_ready();
    struct event_base* base = event_base_new();
    tV2XSDKCfg cfg;
    memset(&cfg, 0, sizeof(cfg));
    snprintf(cfg.dmnNme, sizeof(cfg.dmnNme), "%s", unique_path("none").c_str());
    const int fds = open_fd_count();
    StdoutCapture cap;
    EXPECT_EQ(v2x_domn_clit_init(&cfg, base), -ERR_V2X_SOCKET_CONECT);
    char b = 0;
    EXPECT_EQ(send_core_app_msg(V2X_DSM_REQ, &b, 1), -ERR_V2X_PARM_CONT);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "connect() err"), 1);
    EXPECT_EQ(count_lines_with(out, "_domn_clit_init() err!!!!"), 1);
    EXPECT_EQ(open_fd_count(), fds);
    EXPECT_EQ(v2x_domn_clit_exit(), 0);
    event_base_free(base);
}

TEST_F(DomnClit, PayloadOf4090LeavesWholeAnd4091IsRefused)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    Bytes p(4090);
    for (size_t i = 0; i < p.size(); ++i) {
        p[i] = static_cast<uint8_t>(i * 13 + 1);
    }
    ASSERT_EQ(send_core_app_msg(V2X_DSM_REQ, reinterpret_cast<const char*>(p.data()), 4090), 0);
    Bytes got = read_n(c_.core.fd(), 4096, 2000);
    EXPECT_EQ(got, app_msg(V2X_DSM_REQ, p));

    StdoutCapture cap;
    EXPECT_EQ(send_core_app_msg(V2X_DSM_REQ, reinterpret_cast<const char*>(p.data()), 4091),
              -ERR_V2X_SEND_LEN);
    EXPECT_EQ(send_core_app_msg(V2X_DSM_REQ, reinterpret_cast<const char*>(p.data()), -1),
              -ERR_V2X_SEND_LEN);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "aicLen(4091) too large, must<4090!!!!"), 1);
    EXPECT_TRUE(quiet_for(c_.core.fd(), 100));
    // An empty payload is a bare header.
    EXPECT_EQ(send_core_app_msg(V2X_DSM_REQ, nullptr, 0), 0);
    EXPECT_EQ(read_n(c_.core.fd(), 6, 2000), Bytes({0, 0, 0, 0, 0, 0}));
}

TEST_F(DomnClit, RequestsGoOutAsTheCoreExpectsThem)
{
    LevelGuard lvl(LOG_LEV_OFF);
    // DSM data: 270-byte head + data, checked against the harness's encoder.
    std::vector<char> buf(270 + 3820);
    auto* req = reinterpret_cast<tDSMReq*>(buf.data());
    req->appId = 26;
    req->protTp = PROT_TP_DSMP;
    req->priority = 1;
    memset(req->peerMac, 0xFF, 6);
    Bytes data(3820);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    uint16_t len = 3820;
    memcpy(buf.data() + 268, &len, 2);
    memcpy(buf.data() + 270, data.data(), data.size());
    ASSERT_EQ(dsm_request(req), 0);
    EXPECT_EQ(read_msg(c_.core.fd(), 2000), dsm_req(26, data));
    len = 3821;
    memcpy(buf.data() + 268, &len, 2);
    buf.push_back(0);
    EXPECT_EQ(dsm_request(reinterpret_cast<tDSMReq*>(buf.data())), -ERR_V2X_SEND_LEN);

    tDMEDSMServReq r = serv_req(3, DME_ACTION_ADD, 0x1234, 1);
    ASSERT_EQ(dme_dsm_serv_req(&r, nullptr, rec_ind), 0);
    EXPECT_EQ(read_msg(c_.core.fd(), 2000), dsm_serv_req(3, DME_ACTION_ADD, 0x1234, 1));

    tDMEProvServReq pr;
    memset(&pr, 0, sizeof(pr));
    pr.lclAppId = 5;
    pr.dmeAct = DME_ACTION_ADD;
    pr.appId = 26;
    pr.rptRte = 10;
    strcpy(pr.dsaHdrExt, "ext");
    ASSERT_EQ(dme_provider_serv_req(&pr, rec_prov), 0);
    EXPECT_EQ(read_msg(c_.core.fd(), 2000), prov_req(5, DME_ACTION_ADD, 26, 10, "ext"));

    tDMEUserServReq ur;
    memset(&ur, 0, sizeof(ur));
    ur.lclAppId = 7;
    ur.dmeAct = DME_ACTION_DEL;
    ur.dmeUsrReqTp = DME_USER_REQ_ALL_ACC;
    ur.appId = 30;
    ASSERT_EQ(dme_user_serv_req(&ur, rec_user), 0);
    EXPECT_EQ(read_msg(c_.core.fd(), 2000), user_req(7, DME_ACTION_DEL, 30));
}

TEST_F(DomnClit, IndicationReachesCallbackWithItsFields)
{
    register_aid(c_, 26);
    Bytes d = {1, 2, 3, 4, 5};
    Bytes m = dsm_ind_msg(26, d, 3, 7);
    m[6 + 5] = 0x02;  // first peer MAC byte
    ASSERT_TRUE(write_all(c_.core.fd(), m));
    ASSERT_TRUE(wait_for([] { return n_inds() == 1; }));
    std::lock_guard<std::mutex> lk(gRecLk);
    EXPECT_EQ(gInds[0].ver, 3);
    EXPECT_EQ(gInds[0].aid, 26u);
    EXPECT_EQ(gInds[0].data, d);
    EXPECT_EQ(gInds[0].mac, Bytes({0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(gInds[0].prio, 7);
}

TEST_F(DomnClit, CoalescedAndSplitMessagesAllArriveOnceInOrder)
{
    register_aid(c_, 26);
    // 300 indications written in odd-sized pieces: reads hold several
    // messages and end inside the next.
    Bytes all;
    for (int i = 0; i < 300; ++i) {
        Bytes d(100);
        d[0] = static_cast<uint8_t>(i);
        d[1] = static_cast<uint8_t>(i >> 8);
        d[99] = 0xA5;
        Bytes m = dsm_ind_msg(26, d);
        all.insert(all.end(), m.begin(), m.end());
    }
    size_t off = 0;
    size_t piece = 1;
    while (off < all.size()) {
        size_t n = std::min(piece, all.size() - off);
        ASSERT_TRUE(write_all(c_.core.fd(), Bytes(all.begin() + off, all.begin() + off + n)));
        off += n;
        piece = piece * 7 % 5003 + 1;
        if (piece % 3 == 0) {
            usleep(1000);
        }
    }
    ASSERT_TRUE(wait_for([] { return n_inds() == 300; }));
    std::lock_guard<std::mutex> lk(gRecLk);
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(gInds[i].data.size(), 100u);
        EXPECT_EQ(gInds[i].data[0] | (gInds[i].data[1] << 8), i);
        EXPECT_EQ(gInds[i].data[99], 0xA5);
    }
}

TEST_F(DomnClit, LargestIndicationIsDelivered)
{
    register_aid(c_, 26);
    Bytes d(V2X_DSM_IND_MAX_DATA, 0x5A);
    d.back() = 0x01;
    ASSERT_TRUE(write_all(c_.core.fd(), dsm_ind_msg(26, d)));
    ASSERT_TRUE(wait_for([] { return n_inds() == 1; }));
    std::lock_guard<std::mutex> lk(gRecLk);
    EXPECT_EQ(gInds[0].data, d);
}

TEST_F(DomnClit, BadMessagesAreLoggedAndDroppedAndTheStreamGoesOn)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    register_aid(c_, 26);
    StdoutCapture cap;
    // A reserved type, framed by its length: refused, the next one arrives.
    Bytes m = app_msg(V2X_DME_DSM_SERV_CFM, Bytes(4, 0));
    Bytes ok = dsm_ind_msg(26, Bytes(1, 1));
    m.insert(m.end(), ok.begin(), ok.end());
    // An indication whose record length disagrees with its header.
    Bytes bad = dsm_ind_msg(26, Bytes(99, 0));
    uint16_t rec = 100;
    memcpy(bad.data() + 6 + 12, &rec, 2);
    m.insert(m.end(), bad.begin(), bad.end());
    m.insert(m.end(), ok.begin(), ok.end());
    ASSERT_TRUE(write_all(c_.core.fd(), m));
    ASSERT_TRUE(wait_for([] { return n_inds() == 2; }));
    // A confirm with an impossible length drops what is held with it.
    Bytes cfm = app_msg(V2X_DSM_CFM, Bytes(6, 0));
    cfm.insert(cfm.end(), ok.begin(), ok.end());
    ASSERT_TRUE(write_all(c_.core.fd(), cfm));
    usleep(100 * 1000);
    ASSERT_TRUE(write_all(c_.core.fd(), ok));
    ASSERT_TRUE(wait_for([] { return n_inds() == 3; }));
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "msgType=8 err!!!!"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "113!=14+100 err!!!!"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "aicLen()=6 err!!!!"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "drop rxLen=33 err!!!!"), 1) << out;
    EXPECT_EQ(n_inds(), 3u);
}

TEST_F(DomnClit, ServerCloseEndsTheLoopAndLaterSendsFail)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    const int fds = open_fd_count();
    StdoutCapture cap;
    c_.core.close_client();
    ASSERT_TRUE(wait_for([this] { return c_.loop_ended.load(); }));
    char b = 0;
    EXPECT_EQ(send_core_app_msg(V2X_DSM_REQ, &b, 1), -ERR_V2X_PARM_CONT);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "Server close------"), 1);
    EXPECT_EQ(count_lines_with(out, "giClitRxFd=-1 err!!!!"), 1);
    // Both ends are gone: the fake core's and the one the client closed.
    EXPECT_EQ(open_fd_count(), fds - 2);
}

TEST_F(DomnClit, FullSocketDelaysSendsButEveryMessageLeavesWhole)
{
    // The fake core does not read for a while: the socket fills, sends must
    // wait for room instead of cutting a message.
    const int kCount = 200;
    std::atomic<int> failures{0};
    std::thread sender([&] {
        Bytes p(4000);
        for (int i = 0; i < kCount; ++i) {
            p[0] = static_cast<uint8_t>(i);
            p[3999] = static_cast<uint8_t>(i ^ 0xFF);
            if (send_core_app_msg(V2X_DSM_REQ, reinterpret_cast<const char*>(p.data()), 4000) != 0) {
                ++failures;
            }
        }
    });
    usleep(300 * 1000);
    for (int i = 0; i < kCount; ++i) {
        Bytes m = read_msg(c_.core.fd(), 5000);
        ASSERT_EQ(m.size(), 4006u) << i;
        EXPECT_EQ(m[6], static_cast<uint8_t>(i));
        EXPECT_EQ(m[4005], static_cast<uint8_t>(i ^ 0xFF));
    }
    sender.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(DomnClit, SendThatCannotWriteAnythingReportsSocketWrite)
{
    LevelGuard lvl(LOG_LEV_OFF);
    // Nobody reads: fill the socket until a send gives up (bounded wait).
    Bytes p(4090, 1);
    int rc = 0;
    for (int i = 0; i < 10000 && rc == 0; ++i) {
        rc = send_core_app_msg(V2X_DSM_REQ, reinterpret_cast<const char*>(p.data()), 4090);
    }
    EXPECT_EQ(rc, -ERR_V2X_SOCKET_WRITE);
}

TEST_F(DomnClit, ThreadsSendingAtOnceNeverInterleave)
{
    const int kThreads = 4, kEach = 150;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                // Sizes differ so a cut would show as a misread header.
                size_t n = 20 + static_cast<size_t>((i * 37 + t * 11) % 3000);
                Bytes p(n, static_cast<uint8_t>(t));
                p[0] = static_cast<uint8_t>(i);
                EXPECT_EQ(send_core_app_msg(static_cast<eV2XMsgType>(V2X_DSM_REQ), reinterpret_cast<const char*>(p.data()),
                                            static_cast<int>(n)),
                          0);
            }
        });
    }
    std::vector<int> next(kThreads, 0);
    for (int k = 0; k < kThreads * kEach; ++k) {
        Bytes m = read_msg(c_.core.fd(), 5000);
        ASSERT_GE(m.size(), 26u) << k;
        int t = m[7];
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(m[6], static_cast<uint8_t>(next[t]));
        EXPECT_TRUE(std::all_of(m.begin() + 7, m.end(), [t](uint8_t b) { return b == t; }));
        ++next[t];
    }
    for (auto& th : ts) {
        th.join();
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kEach));
}

// The client's connection must not leak into programs the application
// starts: its descriptor is close-on-exec.
TEST(DomnClitNoConn, ConnectionIsClosedOnExec)
{
    v2x_event_threads_ready();
    struct event_base* base = event_base_new();
    std::string p = unique_path("cloexec");
    tV2XSDKCfg cfg;
    memset(&cfg, 0, sizeof(cfg));
    memcpy(cfg.dmnNme, p.data(), p.size());
    FakeCore core(p);
    ASSERT_TRUE(core.listening());
    std::vector<int> before;
    for (int fd = 0; fd < 1024; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) {
            before.push_back(fd);
        }
    }
    ASSERT_EQ(v2x_domn_clit_init(&cfg, base), 0);
    int found = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        int fl = fcntl(fd, F_GETFD);
        if (fl >= 0 && std::find(before.begin(), before.end(), fd) == before.end()) {
            EXPECT_TRUE(fl & FD_CLOEXEC) << "descriptor " << fd;
            ++found;
        }
    }
    EXPECT_EQ(found, 1);
    v2x_domn_clit_exit();
    event_base_free(base);
}
