// SPDX-License-Identifier: Apache-2.0
// The daemon client against a fake core: wire bytes of every request,
// coalesced and split messages from the core, bad headers, whole messages
// under a full socket, several sending threads, the end of the connection.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>

#include <algorithm>
#include <thread>

#include "core_app_tx.hpp"
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

// The payload of a DSM request the client sends: AID aid, no extension.
Bytes dsm_payload(const Bytes& data, uint32_t aid = 1)
{
    Bytes m = dsm_req(aid, data);
    return Bytes(m.begin() + V2X_CORE_APP_HDR_LEN, m.end());
}

// n data bytes, a pattern starting at seed.
Bytes pattern(size_t n, uint8_t seed)
{
    Bytes d(n);
    for (size_t i = 0; i < n; ++i) {
        d[i] = static_cast<uint8_t>(seed + i * 13 + 1);
    }
    return d;
}

int send_bytes(uint32_t type, const Bytes& p)
{
    return send_core_app_msg(static_cast<eV2XMsgType>(type),
                             reinterpret_cast<const char*>(p.data()), static_cast<int>(p.size()));
}

// The largest DSM request payload: the head and the data of a one-byte AID.
constexpr size_t kMaxDsmPayload = V2X_DSM_REQ_HEAD_LEN + V2X_LIM_DSM_DATA_MAX_1B;  // 2305

// Registers aid with rec_ind, consuming the request on the fake core.
void register_aid(ClientLoop& c, uint32_t aid, uint8_t all = 0)
{
    tDMEDSMServReq r = serv_rec(0, DME_ACTION_ADD, aid, all);
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

TEST_F(DomnClit, LargestDsmRequestLeavesWholeAndOneByteMoreIsRefused)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    const Bytes p = dsm_payload(pattern(V2X_LIM_DSM_DATA_MAX_1B, 0));
    ASSERT_EQ(p.size(), kMaxDsmPayload);
    ASSERT_EQ(send_bytes(V2X_DSM_REQ, p), 0);
    EXPECT_EQ(read_n(c_.core.fd(), 6 + kMaxDsmPayload, 2000), app_msg(V2X_DSM_REQ, p));

    StdoutCapture cap;
    EXPECT_EQ(send_bytes(V2X_DSM_REQ, dsm_payload(pattern(V2X_LIM_DSM_DATA_MAX_1B + 1, 0))),
              -ERR_V2X_SEND_LEN);
    // Beyond what one message can carry, whatever it holds.
    Bytes big(V2X_CORE_APP_MAX_PAYLOAD + 1);
    EXPECT_EQ(send_core_app_msg(V2X_DSM_REQ, reinterpret_cast<const char*>(big.data()), 4091),
              -ERR_V2X_SEND_LEN);
    EXPECT_EQ(send_core_app_msg(V2X_DSM_REQ, reinterpret_cast<const char*>(big.data()), -1),
              -ERR_V2X_SEND_LEN);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "aicLen(4091) too large, must<4090!!!!"), 1);
    // An empty payload is no DSM record (it used to go out as a bare header);
    // the smallest request is the head with no data.
    EXPECT_EQ(send_core_app_msg(V2X_DSM_REQ, nullptr, 0), -ERR_V2X_SEND_LEN);
    // Synchronous sends on a local socket: a refused one would already be there.
    EXPECT_TRUE(quiet_for(c_.core.fd(), 0));
    const Bytes head = dsm_payload(Bytes());
    EXPECT_EQ(send_bytes(V2X_DSM_REQ, head), 0);
    EXPECT_EQ(read_msg(c_.core.fd(), 2000), app_msg(V2X_DSM_REQ, head));
}

TEST_F(DomnClit, RequestsGoOutAsTheCoreExpectsThem)
{
    LevelGuard lvl(LOG_LEV_OFF);
    // DSM data: 270-byte head + the most data AID 26 may carry, checked
    // against the harness's encoder; one byte more is refused unsent (the
    // next read below would meet it).
    std::vector<char> buf(270 + V2X_LIM_DSM_DATA_MAX_1B + 1);
    auto* req = reinterpret_cast<tDSMReq*>(buf.data());
    req->appId = 26;
    req->protTp = PROT_TP_DSMP;
    req->priority = 1;
    memset(req->peerMac, 0xFF, 6);
    Bytes data = pattern(V2X_LIM_DSM_DATA_MAX_1B, 0);
    uint16_t len = V2X_LIM_DSM_DATA_MAX_1B;
    memcpy(buf.data() + 268, &len, 2);
    memcpy(buf.data() + 270, data.data(), data.size());
    ASSERT_EQ(dsm_request(req), 0);
    EXPECT_EQ(read_msg(c_.core.fd(), 2000), dsm_req(26, data));
    ++len;
    memcpy(buf.data() + 268, &len, 2);
    EXPECT_EQ(dsm_request(req), -ERR_V2X_SEND_LEN);

    tDMEDSMServReq r = serv_rec(3, DME_ACTION_ADD, 0x1234, 1);
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

TEST_F(DomnClit, RefusedMessagesSendNothing)
{
    LevelGuard lvl(LOG_LEV_OFF);
    const Bytes ok = dsm_payload(Bytes(3, 7));
    // A type the core does not take from an application.
    EXPECT_EQ(send_bytes(V2X_DSM_IND, ok), -ERR_V2X_PARM_CONT);
    // An AID beyond the two-byte form; an extension longer than 253 bytes.
    EXPECT_EQ(send_bytes(V2X_DSM_REQ, dsm_payload(Bytes(3, 7), 16512)), -ERR_V2X_PARM_CONT);
    Bytes ext = ok;
    ext[13] = 254;
    EXPECT_EQ(send_bytes(V2X_DSM_REQ, ext), -ERR_V2X_PARM_CONT);
    // One data byte over the limit of either AID form.
    EXPECT_EQ(send_bytes(V2X_DSM_REQ, dsm_payload(Bytes(V2X_LIM_DSM_DATA_MAX_1B + 1), 127)),
              -ERR_V2X_SEND_LEN);
    EXPECT_EQ(send_bytes(V2X_DSM_REQ, dsm_payload(Bytes(V2X_LIM_DSM_DATA_MAX_2B + 1), 128)),
              -ERR_V2X_SEND_LEN);
    // A record whose own length disagrees with the message's.
    Bytes longer = ok;
    longer.push_back(0);
    EXPECT_EQ(send_bytes(V2X_DSM_REQ, longer), -ERR_V2X_SEND_LEN);
    // A provider request one byte short of its record.
    EXPECT_EQ(send_bytes(V2X_DME_PROV_SERV_REQ, Bytes(V2X_DME_PROV_SERV_REQ_LEN - 1)),
              -ERR_V2X_SEND_LEN);
    EXPECT_TRUE(quiet_for(c_.core.fd(), 0));
    // The connection is intact: the next request is the first thing there.
    ASSERT_EQ(send_bytes(V2X_DSM_REQ, ok), 0);
    EXPECT_EQ(read_msg(c_.core.fd(), 2000), app_msg(V2X_DSM_REQ, ok));
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
            // Read by the client before the next piece: a read ends here.
            ASSERT_TRUE(wait_for([&] { return unread_by_peer(c_.core.fd()) == 0; }));
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
    // Read (and dropped) before what follows is written.
    ASSERT_TRUE(wait_for([&] { return unread_by_peer(c_.core.fd()) == 0; }));
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
    // A request the core would take: only the lost connection refuses it,
    // every time.
    const Bytes p = dsm_payload(Bytes(4, 1));
    EXPECT_EQ(send_bytes(V2X_DSM_REQ, p), -ERR_V2X_SOCKET_CONECT);
    EXPECT_EQ(send_bytes(V2X_DSM_REQ, p), -ERR_V2X_SOCKET_CONECT);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "Server close------"), 1);
    // Both ends are gone: the fake core's and the one the client closed.
    EXPECT_EQ(open_fd_count(), fds - 2);
}

// After the exit there is no connection at all, whatever ended the last one.
TEST_F(DomnClit, ExitAfterServerCloseLeavesNoConnection)
{
    LevelGuard lvl(LOG_LEV_OFF);
    c_.core.close_client();
    ASSERT_TRUE(wait_for([this] { return c_.loop_ended.load(); }));
    c_.stop();
    EXPECT_EQ(send_bytes(V2X_DSM_REQ, dsm_payload(Bytes(4, 1))), -ERR_V2X_PARM_CONT);
}

TEST_F(DomnClit, FullSocketDelaysSendsButEveryMessageLeavesWhole)
{
    // The fake core does not read for a while: the socket fills, sends must
    // wait for room instead of cutting a message.
    const int kCount = 200;
    std::atomic<int> failures{0};
    std::thread sender([&] {
        for (int i = 0; i < kCount; ++i) {
            Bytes p = dsm_payload(pattern(V2X_LIM_DSM_DATA_MAX_1B, static_cast<uint8_t>(i)));
            if (send_bytes(V2X_DSM_REQ, p) != 0) {
                ++failures;
            }
        }
    });
    // A window, not a wait: the socket fills meanwhile. Its length only
    // changes how long the sends wait, never what must arrive.
    usleep(300 * 1000);
    for (int i = 0; i < kCount; ++i) {
        if (read_msg(c_.core.fd(), 5000) !=
            dsm_req(1, pattern(V2X_LIM_DSM_DATA_MAX_1B, static_cast<uint8_t>(i)))) {
            ADD_FAILURE() << "message " << i;
            c_.core.close_client();  // the sender's next calls fail at once
            break;
        }
    }
    sender.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(DomnClit, SendThatCannotWriteAnythingReportsSocketWrite)
{
    LevelGuard lvl(LOG_LEV_OFF);
    // Nobody reads: fill the socket until a send gives up (bounded wait).
    const Bytes p = dsm_payload(pattern(V2X_LIM_DSM_DATA_MAX_1B, 1));
    int rc = 0;
    for (int i = 0; i < 10000 && rc == 0; ++i) {
        rc = send_bytes(V2X_DSM_REQ, p);
    }
    EXPECT_EQ(rc, -ERR_V2X_SOCKET_WRITE);
}

TEST_F(DomnClit, ThreadsSendingAtOnceNeverInterleave)
{
    const int kThreads = 4, kEach = 150;
    // Data: the message number, then the thread's number throughout. Sizes
    // differ so a cut would show as a misread header.
    auto data = [](int t, int i) {
        Bytes d(2 + static_cast<size_t>((i * 37 + t * 11) % (V2X_LIM_DSM_DATA_MAX_1B - 1)),
                static_cast<uint8_t>(t));
        d[0] = static_cast<uint8_t>(i);
        return d;
    };
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([t, &data] {
            for (int i = 0; i < kEach; ++i) {
                EXPECT_EQ(send_bytes(V2X_DSM_REQ, dsm_payload(data(t, i))), 0);
            }
        });
    }
    std::vector<int> next(kThreads, 0);
    for (int k = 0; k < kThreads * kEach; ++k) {
        Bytes m = read_msg(c_.core.fd(), 5000);
        const int t = m.size() >= 6u + 272 ? m[6 + 271] : kThreads;
        if (t >= kThreads || m != dsm_req(1, data(t, next[t]))) {
            ADD_FAILURE() << "message " << k;
            c_.core.close_client();  // the senders' next calls fail at once
            break;
        }
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
    ASSERT_TRUE(core.accept_client());
    int found = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        int fl = fcntl(fd, F_GETFD);
        // The fake core's end of the connection is the test's, not the client's.
        if (fl >= 0 && fd != core.fd() && std::find(before.begin(), before.end(), fd) == before.end()) {
            EXPECT_TRUE(fl & FD_CLOEXEC) << "descriptor " << fd;
            ++found;
        }
    }
    EXPECT_EQ(found, 1);
    v2x_domn_clit_exit();
    event_base_free(base);
}

namespace {
// A socket slow to take the bytes: the first write waits for another
// thread's question about the connection (up to 3 s), then goes out.
std::atomic<int> gSlowStage{0};  // 1: a sender is inside, 2: the question was answered
std::atomic<bool> gAnsweredInside{false};

ssize_t slow_send(int aicFd, const void* aipcBuf, size_t aicLen, int aicFlags)
{
    int idle = 0;
    if (gSlowStage.compare_exchange_strong(idle, 1)) {
        gAnsweredInside = wait_for([] { return gSlowStage.load() == 2; }, 3000);
    }
    return ::send(aicFd, aipcBuf, aicLen, aicFlags);
}
}  // namespace

// A send that waits holds no lock: another thread's question about the
// connection is answered while the send is still inside, and the message
// still leaves whole.
TEST_F(DomnClit, ASendThatWaitsHoldsNoLock)
{
    gSlowStage = 0;
    gAnsweredInside = false;
    core_app_tx_set_send_fn(slow_send);
    const Bytes p = dsm_payload(pattern(40, 3));
    std::thread sender([&p] { EXPECT_EQ(send_bytes(V2X_DSM_REQ, p), 0); });
    ASSERT_TRUE(wait_for([] { return gSlowStage.load() == 1; }));
    EXPECT_EQ(cv2x_app_core_connected(), 1);
    gSlowStage = 2;
    sender.join();
    core_app_tx_set_send_fn(nullptr);
    EXPECT_TRUE(gAnsweredInside.load());
    EXPECT_EQ(read_msg(c_.core.fd(), 2000), dsm_req(1, pattern(40, 3)));
}
