// SPDX-License-Identifier: Apache-2.0
// The simple system API's client against a fake core: write bounds and wire
// bytes, reading one message per call out of coalesced and split reads,
// confirms, oversized data, the end of the connection.
#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "../app/fake_core.h"
#include "core_app_tx.hpp"
#include "core_harness.h"
#include "cv2x_app_sys.h"

using namespace v2xtest;

namespace {

class SysClit : public ::testing::Test {
protected:
    void SetUp() override
    {
        fds_ = open_fd_count();
        ASSERT_TRUE(core_.listening());
        memset(&cfg_, 0, sizeof(cfg_));
        memcpy(cfg_.dmnNme, path_.data(), path_.size());
        ASSERT_EQ(v2x_sys_net_init(&cfg_), 0);
        ASSERT_TRUE(core_.accept_client());
        // The every-AID registration comes first.
        ASSERT_EQ(read_msg(core_.fd(), 2000), dsm_serv_req(0, DME_ACTION_ADD, 0, 1));
    }
    void TearDown() override
    {
        EXPECT_EQ(v2x_sys_net_exit(), 0);
        EXPECT_EQ(v2x_sys_net_exit(), 0);
        core_.close_client();
        EXPECT_EQ(open_fd_count(), fds_);  // both ends closed again
    }
    void core_sends(const Bytes& b) { ASSERT_TRUE(write_all(core_.fd(), b)); }

    std::string path_ = unique_path("sys");
    FakeCore core_{path_};
    tV2XSDKCfg cfg_;
    int fds_ = 0;
};

tDSMTxParm tx_parm(uint32_t aid)
{
    tDSMTxParm p;
    memset(&p, 0, sizeof(p));
    p.appId = aid;
    p.protTp = PROT_TP_DSMP;
    p.priority = 1;
    memset(p.peerMac, 0xFF, 6);
    return p;
}

}  // namespace

TEST(SysApi, MessageKindsAndMtu)
{
    EXPECT_EQ(get_msg_type(26), MSG_TYPE_BSM);
    EXPECT_EQ(get_msg_type(27), MSG_TYPE_RSI);
    EXPECT_EQ(get_msg_type(28), MSG_TYPE_RSM);
    EXPECT_EQ(get_msg_type(29), MSG_TYPE_MAP);
    EXPECT_EQ(get_msg_type(30), MSG_TYPE_SPAT);
    EXPECT_EQ(get_msg_type(25), MSG_TYPE_MAX);
    EXPECT_EQ(get_msg_type(31), MSG_TYPE_MAX);
    EXPECT_EQ(get_msg_type(0), MSG_TYPE_MAX);
    EXPECT_EQ(get_msg_type(26 + 0x10000), MSG_TYPE_MAX);
    EXPECT_EQ(get_mtu(), 1024u);
}

TEST(SysApi, ReadAndWriteBeforeInit)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    // The loss of the core is said once per episode, and an earlier test of
    // this process may have left one open: an exit starts a new one.
    EXPECT_EQ(v2x_system_exit(), 0);
    char buf[16] = {};
    tDSMRxParm rx{};
    StdoutCapture cap;
    EXPECT_EQ(v2x_system_read(buf, sizeof(buf), &rx), -1);
    tDSMTxParm tx = tx_parm(26);
    EXPECT_EQ(v2x_system_write(buf, 4, &tx), -ERR_V2X_PARM_CONT);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "giClitRxFd=-1 err!!!!"), 2) << out;
    EXPECT_EQ(v2x_system_exit(), 0);
    EXPECT_EQ(v2x_system_exit(), 0);
}

TEST_F(SysClit, WriteBoundsAndBytes)
{
    LevelGuard lvl(LOG_LEV_OFF);
    tDSMTxParm tx = tx_parm(26);
    EXPECT_EQ(v2x_system_write(nullptr, 0, &tx), 0);
    EXPECT_EQ(read_msg(core_.fd(), 2000), dsm_req(26, Bytes()));

    // The most a one-byte AID's message carries (2035 bytes, a 2311-byte
    // message); one byte more is refused.
    Bytes d(V2X_SYS_MAX_TX_DATA + 1);
    for (size_t i = 0; i < d.size(); ++i) {
        d[i] = static_cast<uint8_t>(i * 3);
    }
    const int most = static_cast<int>(V2X_SYS_MAX_TX_DATA);
    EXPECT_EQ(v2x_system_write(reinterpret_cast<const char*>(d.data()), most, &tx), most);
    Bytes m = read_msg(core_.fd(), 2000);
    EXPECT_EQ(m.size(), 6u + 270 + 2035);
    EXPECT_EQ(m, dsm_req(26, Bytes(d.begin(), d.end() - 1)));

    EXPECT_EQ(v2x_system_write(reinterpret_cast<const char*>(d.data()), most + 1, &tx),
              -ERR_V2X_SEND_LEN);
    EXPECT_EQ(v2x_system_write(reinterpret_cast<const char*>(d.data()), -1, &tx),
              -ERR_V2X_SEND_LEN);
    EXPECT_EQ(v2x_system_write(reinterpret_cast<const char*>(d.data()), 1, nullptr),
              -ERR_V2X_PARM_CONT);
    // A two-byte AID leaves one byte less.
    tDSMTxParm tx2 = tx_parm(128);
    EXPECT_EQ(v2x_system_write(reinterpret_cast<const char*>(d.data()), most, &tx2),
              -ERR_V2X_SEND_LEN);
    EXPECT_TRUE(quiet_for(core_.fd(), 0));

    // The extension block is taken up to its first zero byte.
    memset(tx.dsmHdrExts, 0x41, sizeof(tx.dsmHdrExts));
    tx.dsmHdrExts[5] = 0;
    const char one = 'x';
    EXPECT_EQ(v2x_system_write(&one, 1, &tx), 1);
    m = read_msg(core_.fd(), 2000);
    ASSERT_EQ(m.size(), 6u + 271);
    Bytes ext(m.begin() + 6 + 12, m.begin() + 6 + 12 + 256);
    Bytes want(256, 0);
    memset(want.data(), 0x41, 5);
    EXPECT_EQ(ext, want);
}

TEST_F(SysClit, ConfirmsAndIndicationsOneCallEach)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    Bytes d(100);
    for (size_t i = 0; i < d.size(); ++i) {
        d[i] = static_cast<uint8_t>(200 - i);
    }
    // Confirm, data indication, empty indication: one write.
    Bytes all = serv_cfm_msg(V2X_DME_PROV_SERV_CFM, 5, 0);
    Bytes ind = dsm_ind_msg(28, d, 2, 6);
    all.insert(all.end(), ind.begin(), ind.end());
    Bytes empty = dsm_ind_msg(29, Bytes(), 1, 3);
    all.insert(all.end(), empty.begin(), empty.end());
    core_sends(all);

    char buf[200];
    memset(buf, 0x11, sizeof(buf));
    tDSMRxParm rx{};
    memset(&rx, 0x22, sizeof(rx));
    EXPECT_EQ(v2x_system_read(buf, sizeof(buf), &rx), 0);
    EXPECT_EQ(+rx.appId, 0x22222222u);  // untouched
    EXPECT_EQ(buf[0], 0x11);
    EXPECT_EQ(v2x_system_read(buf, sizeof(buf), &rx), 100);
    EXPECT_EQ(memcmp(buf, d.data(), 100), 0);
    EXPECT_EQ(buf[100], 0x11);
    EXPECT_EQ(rx.dsmpVer, 2);
    EXPECT_EQ(+rx.appId, 28u);
    EXPECT_EQ(rx.priority, 6);
    EXPECT_EQ(Bytes(rx.peerMac, rx.peerMac + 6), Bytes(6, 0xFF));
    EXPECT_EQ(v2x_system_read(buf, sizeof(buf), &rx), 0);
    EXPECT_EQ(+rx.appId, 29u);
    EXPECT_EQ(rx.priority, 3);
}

TEST_F(SysClit, BurstAndSplitMessagesAreReadCompletelyInOrder)
{
    Bytes all;
    for (int i = 0; i < 100; ++i) {
        Bytes d(100, static_cast<uint8_t>(i));
        Bytes m = dsm_ind_msg(26, d);
        all.insert(all.end(), m.begin(), m.end());
    }
    std::thread writer([&] {
        // Pieces that end inside messages, each read before the next.
        size_t off = 0, piece = 3;
        while (off < all.size()) {
            size_t n = std::min(piece, all.size() - off);
            write_all(core_.fd(), Bytes(all.begin() + off, all.begin() + off + n));
            off += n;
            piece = piece * 5 % 4001 + 1;
            wait_for([&] { return unread_by_peer(core_.fd()) == 0; }, 2000);
        }
    });
    char buf[4096] = {};
    tDSMRxParm rx{};
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(v2x_system_read(buf, sizeof(buf), &rx), 100) << i;
        EXPECT_EQ(static_cast<uint8_t>(buf[0]), i);
        EXPECT_EQ(static_cast<uint8_t>(buf[99]), i);
    }
    writer.join();
    // The largest indication crosses two reads and still arrives.
    Bytes big(V2X_DSM_IND_MAX_DATA, 0x3C);
    core_sends(dsm_ind_msg(30, big));
    ASSERT_EQ(v2x_system_read(buf, sizeof(buf), &rx), static_cast<int>(V2X_DSM_IND_MAX_DATA));
    EXPECT_EQ(Bytes(buf, buf + V2X_DSM_IND_MAX_DATA), big);
}

TEST_F(SysClit, DataLongerThanTheBufferIsRefusedAndNothingIsWrittenPastIt)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    core_sends(dsm_ind_msg(26, Bytes(50, 7)));
    core_sends(dsm_ind_msg(26, Bytes(8, 9)));
    char buf[64];
    memset(buf, 0, sizeof(buf));
    tDSMRxParm rx{};
    memset(&rx, 0, sizeof(rx));
    StdoutCapture cap;
    EXPECT_EQ(v2x_system_read(buf, 49, &rx), -ERR_V2X_RX_CORE_FMT);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "aicBufLen(49)<msgLen(50) err!!!!"), 1) << out;
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(+rx.appId, 0u);
    EXPECT_EQ(v2x_system_read(buf, 8, &rx), 8);
    EXPECT_EQ(buf[7], 9);
    EXPECT_EQ(buf[8], 0);
    EXPECT_EQ(v2x_system_read(buf, 8, nullptr), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(v2x_system_read(nullptr, 8, &rx), -ERR_V2X_PARM_CONT);
}

TEST_F(SysClit, MalformedMessagesAreRefusedAndReadingGoesOn)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    Bytes all = app_msg(V2X_DME_DSM_SERV_CFM, Bytes(2, 0));  // reserved type
    Bytes bad = dsm_ind_msg(26, Bytes(10, 0));
    uint16_t rec = 11;
    memcpy(bad.data() + 6 + 12, &rec, 2);
    all.insert(all.end(), bad.begin(), bad.end());
    Bytes ok = dsm_ind_msg(26, Bytes(3, 4));
    all.insert(all.end(), ok.begin(), ok.end());
    core_sends(all);
    char buf[16] = {};
    tDSMRxParm rx{};
    StdoutCapture cap;
    EXPECT_EQ(v2x_system_read(buf, sizeof(buf), &rx), -ERR_V2X_RX_CORE_FMT);
    EXPECT_EQ(v2x_system_read(buf, sizeof(buf), &rx), -ERR_V2X_RX_CORE_FMT);
    EXPECT_EQ(v2x_system_read(buf, sizeof(buf), &rx), 3);
    // An impossible header drops what is held with it.
    Bytes cfm = app_msg(V2X_DME_USER_SERV_CFM, Bytes(7, 0));
    cfm.insert(cfm.end(), ok.begin(), ok.end());
    core_sends(cfm);
    EXPECT_EQ(v2x_system_read(buf, sizeof(buf), &rx), -ERR_V2X_RX_CORE_FMT);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "msgType=8 err!!!!"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "24!=14+11 err!!!!"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "aicLen()=7 err!!!!"), 1) << out;
    core_sends(ok);
    EXPECT_EQ(v2x_system_read(buf, sizeof(buf), &rx), 3);
}

TEST_F(SysClit, EndOfConnectionIsMinusOneEveryTime)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    core_.close_client();
    char buf[16] = {};
    tDSMRxParm rx{};
    StdoutCapture cap;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(v2x_system_read(buf, sizeof(buf), &rx), -1);
    }
    // Writing finds the connection broken, and every later write knows it.
    tDSMTxParm tx = tx_parm(26);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(v2x_system_write(buf, 1, &tx), -ERR_V2X_SOCKET_CONECT);
    }
    std::string out = cap.stop();
    // Said once each, not on every call the application keeps making.
    EXPECT_EQ(count_lines_with(out, "Server close------"), 1) << out;
    EXPECT_LE(count_lines_with(out, "err!!!!"), 2) << out;
}

TEST_F(SysClit, ExitWakesABlockedReader)
{
    LevelGuard lvl(LOG_LEV_OFF);
    std::atomic<int> rc{1};
    std::thread reader([&rc] {
        char buf[16] = {};
        tDSMRxParm rx{};
        rc = v2x_system_read(buf, sizeof(buf), &rx);
    });
    // A window, not a wait: the reader blocks in it. Were it late, its read
    // would fail at once all the same, so a short window cannot flake.
    usleep(100 * 1000);
    EXPECT_EQ(v2x_sys_net_exit(), 0);
    reader.join();
    EXPECT_EQ(rc.load(), -1);
}

extern "C" int v2x_sys_c_header_probe(void);

TEST(SysApi, PublicHeaderCompilesAsCWithTheSameLayout)
{
    EXPECT_EQ(v2x_sys_c_header_probe(), 268 + 12 + 5);
}

// Joined to a core that is not its own: it registers (the first read is the
// confirm), reads and writes like after v2x_system_init, refuses a second
// start, and its exit leaves that core running.
TEST(SysApi, AttachUsesAnotherCoreAndLeavesItRunning)
{
    LevelGuard lvl(LOG_LEV_OFF);
    CoreHarness core;
    ASSERT_TRUE(core.started());
    EXPECT_EQ(v2x_system_attach("/nonexistent-dir/sock"), -ERR_V2X_SOCKET_CONECT);
    ASSERT_EQ(v2x_system_attach(core.cfg.dmnNme), 0);
    EXPECT_EQ(v2x_system_init(), -ERR_V2X_PTHREAD_CREATE);
    EXPECT_EQ(v2x_system_attach(core.cfg.dmnNme), -ERR_V2X_PTHREAD_CREATE);
    char buf[64];
    tDSMRxParm rx;
    EXPECT_EQ(v2x_system_read(buf, sizeof(buf), &rx), 0);  // the registration's confirm
    ASSERT_TRUE(core.air_send(air_frame(26, {7, 8, 9})));
    ASSERT_EQ(v2x_system_read(buf, sizeof(buf), &rx), 3);
    EXPECT_EQ(static_cast<uint32_t>(rx.appId), 26u);  // a copy: the field is unaligned
    tDSMTxParm tx;
    memset(&tx, 0, sizeof(tx));
    tx.appId = 27;
    tx.protTp = PROT_TP_DSMP;
    EXPECT_EQ(v2x_system_write("abcd", 4, &tx), 4);
    EXPECT_EQ(core.radio.recv(3000), Bytes({4, 0, 27, 0, 4, 'a', 'b', 'c', 'd'}));
    EXPECT_EQ(v2x_system_exit(), 0);
    EXPECT_GE(core.connect_app(), 0);  // still serving
}

// At the cap the attach fails with the refusal's own code and can be
// repeated once a place is free.
TEST(SysApi, AttachAtTheCapIsRefusedWithItsOwnCode)
{
    LevelGuard lvl(LOG_LEV_OFF);
    CoreHarness core;  // holds the one place
    ASSERT_TRUE(core.started());
    v2x_sdk_dmn_serv_set_max_clit(1);
    const int rc = v2x_system_attach(core.cfg.dmnNme);
    v2x_sdk_dmn_serv_set_max_clit(V2X_DMN_SERV_MAX_CLIT_DEF);
    EXPECT_EQ(rc, -ERR_V2X_CONN_REFUSED);
    ASSERT_EQ(v2x_system_attach(core.cfg.dmnNme), 0);
    EXPECT_EQ(v2x_system_exit(), 0);
}

// The system API offers the options too: five superseding writes leave one
// datagram, the newest, and the application reads what was superseded.
TEST(SysApi, WriteWithOptionsSupersedesAndTheApplicationReadsItsDrops)
{
    LevelGuard lvl(LOG_LEV_OFF);
    CoreHarness core;
    ASSERT_TRUE(core.started());
    tV2XCtlClient st;
    EXPECT_EQ(v2x_system_conn_stats(&st), -ERR_V2X_PARM_CONT);  // not started
    ASSERT_EQ(v2x_system_attach(core.cfg.dmnNme), 0);
    tDSMTxParm tx;
    memset(&tx, 0, sizeof(tx));
    tx.appId = 26;
    tx.protTp = PROT_TP_DSMP;
    tx.priority = 6;
    const tDSMTxOpt bad = {0, 1, {0, 0, 1}};
    EXPECT_EQ(v2x_system_write_ex("x", 1, &tx, &bad), -ERR_V2X_PARM_CONT);
    tx.appId = 27;  // another AID: not superseded, whether it leaves at once or waits
    EXPECT_EQ(v2x_system_write_ex("0", 1, &tx, nullptr), 1);
    tx.appId = 26;
    const tDSMTxOpt sup = {0, 1, {0, 0, 0}};
    for (char c = '1'; c <= '5'; ++c) {
        ASSERT_EQ(v2x_system_write_ex(&c, 1, &tx, &sup), 1);
    }
    EXPECT_EQ(core.radio.recv(3000), Bytes({4, 0, 27, 0, 1, '0'}));
    EXPECT_EQ(core.radio.recv(3000), Bytes({4, 0, 26, 0, 1, '5'}));
    EXPECT_TRUE(core.radio.recv(300).empty());
    ASSERT_EQ(v2x_system_conn_stats(&st), 0);
    EXPECT_EQ(st.txSent, 2u);
    EXPECT_EQ(st.txSuperseded, 4u);
    EXPECT_EQ(v2x_system_conn_stats(nullptr), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(v2x_system_exit(), 0);
}

// A message v2x_system_write left written in part: v2x_system_exit finishes
// it while the core reads (the core gets it whole), and says it was cut
// when the core has gone.
TEST(SysApi, ExitFinishesAPartlyWrittenMessageOrReportsItCut)
{
    const Bytes data(100, 'S');
    const Bytes whole = dsm_req(26, data);
    for (const bool coreReads : {true, false}) {
        SCOPED_TRACE(coreReads);
        const std::string path = unique_path("sysexitcut");
        FakeCore core(path);
        ASSERT_TRUE(core.listening());
        ASSERT_EQ(v2x_system_attach(path.c_str()), 0);
        ASSERT_TRUE(core.accept_client());
        ASSERT_EQ(read_msg(core.fd(), 2000), dsm_serv_req(0, DME_ACTION_ADD, 0, 1));
        core_app_tx_set_send_fn(stingy_send);
        LevelGuard quiet(LOG_LEV_OFF);
        gStingyTake = 100;
        const tDSMTxParm tx = tx_parm(26);
        EXPECT_EQ(v2x_system_write(reinterpret_cast<const char*>(data.data()), 100, &tx), 100);
        EXPECT_EQ(read_n(core.fd(), 100, 2000), Bytes(whole.begin(), whole.begin() + 100));
        if (coreReads) {
            // The core reads once the exit waits: a send refused after it began.
            std::atomic<int> atExit{-1};
            std::thread later([&] {
                wait_for([&] {
                    return atExit.load() >= 0 && gStingyStalls.load() > atExit.load();
                });
                gStingyTake = -1;
            });
            atExit = gStingyStalls.load();
            EXPECT_EQ(v2x_system_exit(), 0);
            later.join();
            EXPECT_EQ(read_n(core.fd(), whole.size() - 100, 2000),
                      Bytes(whole.begin() + 100, whole.end()));
        } else {
            core.close_client();
            gStingyTake = -1;
            EXPECT_EQ(v2x_system_exit(), -ERR_V2X_SOCKET_WRITE);
        }
        gStingyTake = -1;
        core_app_tx_set_send_fn(nullptr);
        EXPECT_EQ(v2x_system_exit(), 0);
    }
}
