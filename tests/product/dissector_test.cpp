// SPDX-License-Identifier: Apache-2.0
// The Wireshark dissector, run by tshark on captures that radio-sim records:
// hand-made datagrams covering every field, and the traffic of two stations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "product_support.hpp"

using namespace product;
using v2xtest::unique_path;

#if defined(V2X_STATION_PATH) && defined(V2X_RADIO_SIM_PATH) && defined(V2X_SOURCE_DIR)

namespace {

const std::string kDissector = std::string(V2X_SOURCE_DIR) + "/tools/wireshark/v2x_dsmp.lua";

const char* const kFields[] = {
    "v2xradio.prot_type", "v2xdsmp.version", "v2xdsmp.opt_ind",  "v2xdsmp.ext.id",
    "v2xdsmp.ext.len",    "v2xdsmp.ext.value", "v2xdsmp.aid",    "v2xdsmp.aid.raw",
    "v2xdsmp.aid.form",   "v2xdsmp.dme",     "v2xdsmp.kind",     "v2xdsmp.len",
    "v2xdsmp.data",       "v2xdsa.opt_ind",  "v2xdsa.content_count", "v2xdsa.hdr_ext",
    "_ws.expert.message"};

// Why tshark cannot run the dissector here, or "" when it can.
std::string tshark_missing()
{
    std::string out;
    if (shell("tshark -v", out) != 0) {
        return "tshark is not installed (scripts/deps installs it)";
    }
    if (out.find("with Lua") == std::string::npos && out.find("Lua ") == std::string::npos) {
        return "this tshark has no Lua support";
    }
    return "";
}

using Row = std::vector<std::string>;

// One row per packet: `fields`, in that order; the first value of each, or
// with `all` every value, separated by commas.
std::vector<Row> decode_fields(const std::string& pcap, const std::string& extra,
                               const std::vector<std::string>& fields, std::string& raw,
                               bool all = false)
{
    std::string cmd = "tshark -X lua_script:'" + kDissector + "' " + extra + " -r '" + pcap +
                      "' -T fields -E separator='|' -E occurrence=" + (all ? "a" : "f");
    for (const std::string& f : fields) {
        cmd += " -e " + f;
    }
    std::vector<Row> rows;
    if (shell(cmd, raw) != 0) {
        return rows;
    }
    std::istringstream is(raw);
    std::string line;
    while (std::getline(is, line)) {
        if (line.find('|') == std::string::npos) {
            continue; // tshark's own notes
        }
        Row r;
        size_t start = 0, bar;
        while ((bar = line.find('|', start)) != std::string::npos) {
            r.push_back(line.substr(start, bar - start));
            start = bar + 1;
        }
        r.push_back(line.substr(start));
        rows.push_back(r);
    }
    return rows;
}

// One row per packet: the fields of kFields, in that order.
std::vector<Row> decode(const std::string& pcap, const std::string& extra, std::string& raw)
{
    return decode_fields(pcap, extra, std::vector<std::string>(std::begin(kFields), std::end(kFields)),
                         raw);
}

enum Col { PROT, VER, OPT, EXT_ID, EXT_LEN, EXT_VAL, AID, AID_RAW, AID_FORM, DME, KIND, LEN, DATA,
           DSA_OPT, DSA_CNT, DSA_TEXT, EXPERT };

} // namespace

TEST(Dissector, DecodesEveryFieldOfInjectedDatagrams)
{
    const std::string why = tshark_missing();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    v2xtest::UdpPeer rcv;
    const std::vector<uint16_t> p = free_ports(1);
    const std::string pcap = unique_path("dis") + ".pcap";
    std::string ext33hex = "04 08 05 21";
    for (int i = 0; i < 33; ++i) {
        ext33hex += " 11";
    }
    ext33hex += " 20 00 00";
    const std::vector<std::string> frames = {
        "04 00 20 00 03 61 62 63",             // 1: AID 32, one-byte form
        "04 08 05 02 AA BB 20 00 03 61 62 63", // 2: extension element 5 = AA BB
        "04 00 80 07 00 05 10 30 61 62 63",    // 3: AID 135, two-byte form, advertisement "abc"
        "04 00 87 00 02 00 30",                // 4: DME marker, advertisement without text
        "04 00 1a 00 02 01 02",                // 5: AID 26, BSM
        "04 00 bf ff 00 01 ff",                // 6: AID 16511, the largest two-byte AID
        "04 00 c0 00 00",                      // 7: three-byte AID form
        "04 00 20 00 05 61",                   // 8: length says 5, one byte follows
        "05 45 00",                            // 9: protocol type IPv4
        ext33hex,                              // 10: extension value of 33 bytes
        "04 0f 20 00 00",                      // 11: version 7, reserved bits clear
    };
    std::vector<std::string> args = {V2X_RADIO_SIM_PATH, "--quiet", "--duration", "0", "--pcap",
                                     pcap, "--station",
                                     "S,127.0.0.1:" + std::to_string(p[0]) + ",127.0.0.1:" +
                                         std::to_string(rcv.port())};
    for (const std::string& f : frames) {
        args.insert(args.end(), {"--inject", f, "--to", "S"});
    }
    Proc sim("sim");
    ASSERT_TRUE(sim.start(args));
    ASSERT_EQ(sim.wait_exit(20000), 0) << sim.errors();

    std::string raw;
    const std::vector<Row> rows = decode(pcap, "-o v2xradio.ports:" + std::to_string(p[0]), raw);
    ASSERT_EQ(rows.size(), frames.size()) << raw;
    for (const Row& r : rows) {
        ASSERT_EQ(r.size(), sizeof(kFields) / sizeof(kFields[0])) << raw;
    }
    // 1
    EXPECT_EQ(rows[0][PROT], "4");
    EXPECT_EQ(rows[0][VER], "0");
    EXPECT_EQ(rows[0][OPT], "0");
    EXPECT_EQ(rows[0][AID], "32");
    EXPECT_EQ(rows[0][AID_RAW], "0x0020");
    EXPECT_EQ(rows[0][AID_FORM], "1");
    EXPECT_EQ(rows[0][LEN], "3");
    EXPECT_EQ(rows[0][DATA], "616263");
    EXPECT_EQ(rows[0][DSA_CNT], ""); // AID 32 carries no advertisement
    EXPECT_EQ(rows[0][EXPERT], "");
    // 2
    EXPECT_EQ(rows[1][OPT], "1");
    EXPECT_EQ(rows[1][EXT_ID], "5");
    EXPECT_EQ(rows[1][EXT_LEN], "2");
    EXPECT_EQ(rows[1][EXT_VAL], "aabb");
    EXPECT_EQ(rows[1][AID], "32");
    EXPECT_EQ(rows[1][DATA], "616263");
    // 3
    EXPECT_EQ(rows[2][AID], "135");
    EXPECT_EQ(rows[2][AID_RAW], "0x8007");
    EXPECT_EQ(rows[2][AID_FORM], "2");
    EXPECT_EQ(rows[2][DME], "");
    EXPECT_EQ(rows[2][DSA_OPT], "1");
    EXPECT_EQ(rows[2][DSA_CNT], "3");
    EXPECT_EQ(rows[2][DSA_TEXT], "abc");
    // 4
    EXPECT_EQ(rows[3][DME], "1");
    EXPECT_EQ(rows[3][AID_RAW], "0x0087");
    EXPECT_EQ(rows[3][KIND], "DME");
    EXPECT_EQ(rows[3][LEN], "2");
    EXPECT_EQ(rows[3][DSA_OPT], "0");
    EXPECT_EQ(rows[3][DSA_CNT], "3");
    EXPECT_EQ(rows[3][DSA_TEXT], "");
    EXPECT_NE(rows[3][EXPERT].find("DME frame"), std::string::npos);
    // 5, 6
    EXPECT_EQ(rows[4][AID], "26");
    EXPECT_EQ(rows[4][KIND], "BSM");
    EXPECT_EQ(rows[5][AID], "16511");
    EXPECT_EQ(rows[5][AID_RAW], "0xbfff");
    // 7, 8: what receivers refuse or drop is marked, not hidden
    EXPECT_EQ(rows[6][AID], "");
    EXPECT_NE(rows[6][EXPERT].find("three or more bytes"), std::string::npos) << raw;
    EXPECT_EQ(rows[7][LEN], "5");
    EXPECT_EQ(rows[7][DATA], "61");
    EXPECT_NE(rows[7][EXPERT].find("Length does not match"), std::string::npos) << raw;
    // 9: not DSMP
    EXPECT_EQ(rows[8][PROT], "5");
    EXPECT_EQ(rows[8][VER], "");
    // 10
    EXPECT_EQ(rows[9][EXT_LEN], "33");
    EXPECT_NE(rows[9][EXPERT].find("longer than 32 bytes"), std::string::npos) << raw;
    // 11: the version is bits 0 to 2 only
    EXPECT_EQ(rows[10][VER], "7");
    EXPECT_EQ(rows[10][OPT], "1");
    EXPECT_FALSE(rows[10][EXPERT].empty()) << "a frame cut inside a field is reported";

    // Without the port preference only well-formed DSMP frames are claimed.
    const std::vector<Row> heur = decode(pcap, "", raw);
    ASSERT_EQ(heur.size(), frames.size()) << raw;
    for (size_t i : {0u, 1u, 2u, 3u, 4u, 5u}) {
        EXPECT_EQ(heur[i][PROT], "4") << "frame " << i + 1;
    }
    for (size_t i : {6u, 7u, 8u, 9u}) {
        EXPECT_EQ(heur[i][PROT], "") << "frame " << i + 1;
    }
    unlink(pcap.c_str());
}

// The frames two stations exchange, recorded by radio-sim and decoded.
TEST(Dissector, DecodesTheTrafficOfTwoStations)
{
    const std::string why = tshark_missing();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    const std::vector<uint16_t> p = free_ports(4);
    StationFile a("A", p[0], p[1],
                  "  send = ( { aid = 26; rate = 10; size = 40; } );\n"
                  "  providers = ( { lclAppId = 2; aid = 300; rptRte = 10; dsaHdrExt = \"svc\"; } );\n");
    StationFile b("B", p[2], p[3], "  receive = [ 26, 300 ];\n");
    const std::string pcap = unique_path("live") + ".pcap";
    Proc sim("sim");
    ASSERT_TRUE(sim.start({V2X_RADIO_SIM_PATH, "--quiet", "--pcap", pcap, "--station",
                           a.radio_spec(), "--station", b.radio_spec()}));
    ASSERT_TRUE(sim.wait_text("radio-sim: ready", 10000, true)) << sim.errors();
    Proc pa("sta"), pb("stb");
    ASSERT_TRUE(pb.start({V2X_STATION_PATH, "-c", b.path, "-d", "3"}));
    ASSERT_TRUE(pa.start({V2X_STATION_PATH, "-c", a.path, "-d", "2"}));
    ASSERT_EQ(pa.wait_exit(60000), 0) << pa.text() << pa.errors();
    ASSERT_EQ(pb.wait_exit(60000), 0) << pb.text() << pb.errors();
    sim.signal(SIGTERM);
    ASSERT_EQ(sim.wait_exit(10000), 0) << sim.errors();

    // Frames reach B from B's radio module: its ports carry them.
    std::string raw;
    const std::vector<Row> rows =
        decode(pcap, "-o 'v2xdsmp.dsa_aids:135,300' -o v2xradio.heuristic:FALSE -o 'v2xradio.ports:" +
                         std::to_string(p[2]) + "," + std::to_string(p[3]) + "'", raw);
    ASSERT_FALSE(rows.empty()) << raw;
    size_t bsm = 0, dsa = 0;
    for (const Row& r : rows) {
        ASSERT_EQ(r[PROT], "4") << raw;
        EXPECT_EQ(r[VER], "0");
        EXPECT_EQ(r[OPT], "0");
        EXPECT_EQ(r[EXPERT], "");
        if (r[AID] == "26") {
            ++bsm;
            EXPECT_EQ(r[AID_FORM], "1");
            EXPECT_EQ(r[LEN], "40");
            EXPECT_EQ(r[DATA].substr(8, 8), "04050607");
        } else {
            ASSERT_EQ(r[AID], "300") << raw;
            ++dsa;
            EXPECT_EQ(r[AID_FORM], "2");
            EXPECT_EQ(r[AID_RAW], "0x80ac"); // 0x8000 + 300 - 128
            EXPECT_EQ(r[DATA], "1030737663");
            EXPECT_EQ(r[DSA_TEXT], "svc");
        }
    }
    const size_t rxB = lines_with(pb.text(), " RX  aid=26 ").size();
    EXPECT_GT(bsm, 5u) << raw;
    EXPECT_GE(bsm, rxB);
    EXPECT_GT(dsa, 0u) << raw;
    EXPECT_GE(dsa, lines_with(pb.text(), " RX  aid=300 ").size());
    unlink(pcap.c_str());
}

// Signed and unsecured records in the DSMP data: every field of a
// digest-signed record, a certificate-signed one, an unsecured one, and
// records cut short, which are marked and never stop the dissector.
TEST(Dissector, DecodesSecurityRecords)
{
    const std::string why = tshark_missing();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    // 2025-01-01 00:00:00.123456 UTC: 662 774 400 s after 2004 plus 5 leap
    // seconds, in TAI microseconds.
    const std::string time = "00 02 5a ca 30 fb cd 80";
    std::string r, s;
    for (int i = 0; i < 32; ++i) {
        char b[8];
        snprintf(b, sizeof(b), " %02x", 0xa0 + i);
        r += b;
        snprintf(b, sizeof(b), " %02x", 0xc0 + i);
        s += b;
    }
    const std::string head = "03 81 00 40 03 80 03 61 62 63";
    const std::string sig = " 80 80" + r + s;
    const std::string digest = head + " 40 01 1a " + time + " 80 11 12 13 14 15 16 17 18" + sig;
    const std::string cert = head + " 40 02 80 7f " + time + " 81 01 01 aa bb cc dd" + sig;
    const std::vector<std::string> frames = {
        "04 00 1a 00 60 " + digest,                  // 1: 96 bytes, signed with a digest
        "04 00 1a 00 5f " + cert,                    // 2: 95 bytes, certificate signer
        "04 00 1a 00 05 03 80 02 68 69",             // 3: unsecured "hi"
        "04 00 1a 00 32 " + digest.substr(0, 149),   // 4: cut inside r (50 bytes)
        "04 00 1a 00 60 " + digest.substr(0, 149),   // 5: the length claims 96, 50 follow
        "04 00 1a 00 02 03 81",                      // 6: nothing after the content
        "04 00 1a 00 03 03 80 05",                   // 7: payload length past the end
        "04 00 1a 00 03 61 62 63",                   // 8: not a record
    };
    v2xtest::UdpPeer rcv;
    const std::vector<uint16_t> p = free_ports(1);
    const std::string pcap = unique_path("dissec") + ".pcap";
    std::vector<std::string> args = {V2X_RADIO_SIM_PATH, "--quiet", "--duration", "0", "--pcap",
                                     pcap, "--station",
                                     "S,127.0.0.1:" + std::to_string(p[0]) + ",127.0.0.1:" +
                                         std::to_string(rcv.port())};
    for (const std::string& f : frames) {
        args.insert(args.end(), {"--inject", f, "--to", "S"});
    }
    Proc sim("sim");
    ASSERT_TRUE(sim.start(args));
    ASSERT_EQ(sim.wait_exit(20000), 0) << sim.errors();

    const std::vector<std::string> fields = {
        "v2xsec.version", "v2xsec.content", "v2xsec.hash_alg", "v2xsec.payload_len",
        "v2xsec.payload", "v2xsec.psid", "v2xsec.gen_time", "v2xsec.gen_time_utc",
        "v2xsec.signer", "v2xsec.signer.digest", "v2xsec.signer.cert_count",
        "v2xsec.signer.cert", "v2xsec.sig.r_form", "v2xsec.sig.r", "v2xsec.sig.s",
        "_ws.expert.message", "_ws.lua.error"};
    enum { VER, CONTENT, HASH, PLEN, PAYLOAD, PSID, GEN, UTC, SIGNER, DIGEST, CERTS, CERT, RFORM,
           R, S, EXPERT, LUA };
    std::string raw;
    const std::vector<Row> rows =
        decode_fields(pcap, "-o v2xradio.ports:" + std::to_string(p[0]), fields, raw, true);
    ASSERT_EQ(rows.size(), frames.size()) << raw;
    for (const Row& row : rows) {
        ASSERT_EQ(row.size(), fields.size()) << raw;
        EXPECT_EQ(row[LUA], "") << raw;  // set by a Lua error in the dissector
    }
    auto hex = [](std::string t) {
        t.erase(std::remove(t.begin(), t.end(), ' '), t.end());
        return t;
    };
    const Row& d = rows[0];
    EXPECT_EQ(d[VER], "3");
    EXPECT_EQ(d[CONTENT], "0x81");
    EXPECT_EQ(d[HASH], "0");
    EXPECT_EQ(d[PLEN], "3");
    EXPECT_EQ(d[PAYLOAD], "616263");
    EXPECT_EQ(d[PSID], "26");
    EXPECT_EQ(d[GEN], "662774405123456");
    EXPECT_EQ(d[UTC], "2025-01-01 00:00:00.123456 UTC");
    EXPECT_EQ(d[SIGNER], "digest");
    EXPECT_EQ(d[DIGEST], "1112131415161718");
    EXPECT_EQ(d[CERTS], "");
    EXPECT_EQ(d[RFORM], "0x80");
    EXPECT_EQ(d[R], hex(r));
    EXPECT_EQ(d[S], hex(s));
    EXPECT_EQ(d[EXPERT], "");
    const Row& c = rows[1];
    EXPECT_EQ(c[PSID], "32895");  // two bytes 80 7f
    EXPECT_EQ(c[SIGNER], "certificate");
    EXPECT_EQ(c[DIGEST], "");
    EXPECT_EQ(c[CERTS], "1");
    EXPECT_EQ(c[CERT], "aabbccdd");
    EXPECT_EQ(c[S], hex(s));
    EXPECT_EQ(c[EXPERT], "");
    EXPECT_EQ(rows[2][CONTENT], "0x80");
    EXPECT_EQ(rows[2][PAYLOAD], "6869");
    EXPECT_EQ(rows[2][SIGNER], "");
    EXPECT_NE(rows[4][EXPERT].find("Length does not match"), std::string::npos) << raw;
    for (size_t i : {3u, 4u}) {
        EXPECT_EQ(rows[i][DIGEST], "1112131415161718") << i;
        EXPECT_EQ(rows[i][RFORM], "0x80") << i;
        EXPECT_EQ(rows[i][R], "") << i;
        EXPECT_NE(rows[i][EXPERT].find("Security record ends inside a field"), std::string::npos)
            << raw;
    }
    for (size_t i : {5u, 6u}) {
        EXPECT_NE(rows[i][EXPERT].find("Security record ends inside a field"), std::string::npos)
            << raw;
    }
    EXPECT_EQ(rows[7][VER], "");
    unlink(pcap.c_str());
}

// Receive-record datagrams: the record's fields, then the frame inside
// dissected as before; short and bad records are marked as errors.
TEST(Dissector, DecodesReceiveRecordsAndMarksMalformedOnes)
{
    const std::string why = tshark_missing();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    v2xtest::UdpPeer rcv;
    const std::vector<uint16_t> p = free_ports(1);
    const std::string pcap = unique_path("dis-rec") + ".pcap";
    const std::vector<std::string> frames = {
        // 1: source 0xabcdef, RSSI -74.5 dBm, CBR 25 per mille, then a DSMP frame of AID 32
        "84 01 0c 07 00 00 ab cd ef ff 6b 00 19 04 00 20 00 03 61 62 63",
        "84 01 0c 07 00 00 ab",  // 2: ends inside its record
        "84 01 08 07 00 00 ab cd ef ff 6b 00 19 04 00 20 00 03 61 62 63",  // 3: length 8
    };
    std::vector<std::string> args = {V2X_RADIO_SIM_PATH, "--quiet", "--duration", "0", "--pcap",
                                     pcap, "--station",
                                     "S,127.0.0.1:" + std::to_string(p[0]) + ",127.0.0.1:" +
                                         std::to_string(rcv.port())};
    for (const std::string& f : frames) {
        args.insert(args.end(), {"--inject", f, "--to", "S"});
    }
    Proc sim("sim");
    ASSERT_TRUE(sim.start(args));
    ASSERT_EQ(sim.wait_exit(20000), 0) << sim.errors();

    const std::vector<std::string> fields = {
        "v2xradio.prot_type", "v2xradio.rec.version", "v2xradio.rec.len", "v2xradio.rec.flags",
        "v2xradio.rec.src",   "v2xradio.rec.rssi_dbm", "v2xradio.rec.cbr", "v2xradio.inner_type",
        "v2xdsmp.aid",        "v2xdsmp.data",          "_ws.expert.message"};
    enum { TP, RVER, RLEN, FLAGS, SRC, RSSI, CBR, INNER, RAID, RDATA, REXPERT };
    for (const std::string& extra : {"-o v2xradio.ports:" + std::to_string(p[0]), std::string()}) {
        std::string raw;
        const std::vector<Row> rows = decode_fields(pcap, extra, fields, raw);
        ASSERT_EQ(rows.size(), frames.size()) << raw;
        for (const Row& r : rows) {
            ASSERT_EQ(r.size(), fields.size()) << raw;
        }
        // A well-formed record is claimed on any port.
        const Row& ok = rows[0];
        EXPECT_EQ(ok[TP], "132") << raw;
        EXPECT_EQ(ok[RVER], "1");
        EXPECT_EQ(ok[RLEN], "12");
        EXPECT_EQ(ok[FLAGS], "0x07");
        EXPECT_EQ(ok[SRC], "0x00abcdef");
        EXPECT_EQ(ok[RSSI], "-74.5");
        EXPECT_EQ(ok[CBR], "25");
        EXPECT_EQ(ok[INNER], "4");
        EXPECT_EQ(ok[RAID], "32");
        EXPECT_EQ(ok[RDATA], "616263");
        EXPECT_EQ(ok[REXPERT], "");
        if (!extra.empty()) {
            EXPECT_NE(rows[1][REXPERT].find("Receive record ends inside"), std::string::npos)
                << raw;
            EXPECT_EQ(rows[1][SRC], "");
            EXPECT_NE(rows[2][REXPERT].find("Record length outside 12..64"), std::string::npos)
                << raw;
            EXPECT_EQ(rows[2][RAID], "") << "no frame is read where the length is wrong";
        } else {
            EXPECT_EQ(rows[1][TP], "");  // malformed: not claimed on other ports
            EXPECT_EQ(rows[2][TP], "");
        }
        EXPECT_EQ(raw.find("Lua Error"), std::string::npos) << raw;
    }
    unlink(pcap.c_str());
}

// CBR report datagrams: every field of a good one; what the core drops
// (short, long, bad version or length, reserved bytes, CBR above 1000) is
// marked as an error and not claimed on other ports; a report measured
// after its capture time is a warning.
TEST(Dissector, DecodesCbrReportsAndMarksMalformedOnes)
{
    const std::string why = tshark_missing();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    v2xtest::UdpPeer rcv;
    const std::vector<uint16_t> p = free_ports(1);
    const std::string pcap = unique_path("dis-cbr") + ".pcap";
    // 2025-01-01 00:00:00.123 UTC: 1735689600123 ms.
    const std::string time = " 00 00 01 94 1f 29 7c 7b";
    const std::vector<std::string> frames = {
        "85 01 10 00 00 00 fa 00 00" + time,        // 1: 250 per mille
        "85 01 10 00 00 00 fa",                      // 2: ends inside its record
        "85 01 10 00 00 00 fa 00 00" + time + " 00", // 3: a byte after it
        "85 02 10 00 00 00 fa 00 00" + time,        // 4: version 2
        "85 01 10 00 00 03 e9 00 00" + time,        // 5: CBR 1001
        "85 01 10 00 00 00 fa 00 01" + time,        // 6: reserved byte not 0
        "85 01 10 00 00 00 fa 00 00 00 00 02 00 00 00 00 00",  // 7: in 2039
    };
    std::vector<std::string> args = {V2X_RADIO_SIM_PATH, "--quiet", "--duration", "0", "--pcap",
                                     pcap, "--station",
                                     "S,127.0.0.1:" + std::to_string(p[0]) + ",127.0.0.1:" +
                                         std::to_string(rcv.port())};
    for (const std::string& f : frames) {
        args.insert(args.end(), {"--inject", f, "--to", "S"});
    }
    Proc sim("sim");
    ASSERT_TRUE(sim.start(args));
    ASSERT_EQ(sim.wait_exit(20000), 0) << sim.errors();

    const std::vector<std::string> fields = {
        "v2xradio.prot_type", "v2xradio.cbr.version", "v2xradio.cbr.len", "v2xradio.cbr.cbr",
        "v2xradio.cbr.ratio", "v2xradio.cbr.time_ms", "v2xradio.cbr.time", "_ws.expert.message"};
    enum { TP, VER, LEN, CBR, RATIO, TIME_MS, TIME, EXPERT };
    for (const std::string& extra : {"-o v2xradio.ports:" + std::to_string(p[0]), std::string()}) {
        std::string raw;
        const std::vector<Row> rows = decode_fields(pcap, extra, fields, raw);
        ASSERT_EQ(rows.size(), frames.size()) << raw;
        for (const Row& r : rows) {
            ASSERT_EQ(r.size(), fields.size()) << raw;
        }
        const Row& ok = rows[0];
        EXPECT_EQ(ok[TP], "133") << raw;
        EXPECT_EQ(ok[VER], "1");
        EXPECT_EQ(ok[LEN], "16");
        EXPECT_EQ(ok[CBR], "250");
        EXPECT_EQ(ok[RATIO], "0.25");
        EXPECT_EQ(ok[TIME_MS], "1735689600123");
        EXPECT_NE(ok[TIME].find("2025 00:00:00.123"), std::string::npos) << ok[TIME];
        EXPECT_EQ(ok[EXPERT], "");
        if (!extra.empty()) {
            EXPECT_NE(rows[1][EXPERT].find("shorter than 17 bytes"), std::string::npos) << raw;
            EXPECT_EQ(rows[1][TIME_MS], "");
            EXPECT_NE(rows[2][EXPERT].find("Bytes after the CBR report"), std::string::npos)
                << raw;
            for (size_t i : {3u, 4u, 5u}) {
                EXPECT_NE(rows[i][EXPERT].find("Unknown CBR report version"), std::string::npos)
                    << "frame " << i + 1 << raw;
            }
            EXPECT_EQ(rows[4][CBR], "1001");
            EXPECT_NE(rows[6][EXPERT].find("after its capture time"), std::string::npos) << raw;
        } else {
            for (size_t i : {1u, 2u, 3u, 4u, 5u}) {
                EXPECT_EQ(rows[i][TP], "") << "frame " << i + 1 << " claimed on another port";
            }
        }
        EXPECT_EQ(raw.find("Lua Error"), std::string::npos) << raw;
    }
    unlink(pcap.c_str());
}

#endif
