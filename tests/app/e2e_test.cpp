// SPDX-License-Identifier: Apache-2.0
// End to end, as an application developer uses the library: stations in
// their own processes, each with its own socket path and ports, joined by
// radio-sim on loopback.
#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <sstream>

#include "child_proc.h"
#include "core_harness.h"
#include "test_support.h"

using namespace v2xtest;

#if defined(APP_STATION_PATH) && defined(APP_RADIO_SIM_PATH)

namespace {

std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> out;
    std::istringstream is(text);
    std::string line;
    while (std::getline(is, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            out.push_back(line);
        }
    }
    return out;
}

std::string station_arg(const char* name, uint16_t send, uint16_t rcv)
{
    return std::string(name) + ",127.0.0.1:" + std::to_string(send) + ",127.0.0.1:" +
           std::to_string(rcv);
}

std::string expected_data(int n, int len)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (int k = 0; k < len; ++k) {
        const auto b = static_cast<unsigned char>(n * 31 + k);
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

struct Stations {
    std::vector<uint16_t> ports = free_ports(4);  // rcvA sendA rcvB sendB
    std::string dmnA = unique_path("sa"), dmnB = unique_path("sb"), go = unique_path("go"),
                stop = unique_path("stop");
    ~Stations()
    {
        unlink(dmnA.c_str());
        unlink(dmnB.c_str());
        unlink(go.c_str());
        unlink(stop.c_str());
    }
    std::vector<std::string> a(std::vector<std::string> extra) const
    {
        std::vector<std::string> v = {APP_STATION_PATH, "--dmn", dmnA, "--rcv",
                                      std::to_string(ports[0]), "--send", std::to_string(ports[1])};
        v.insert(v.end(), extra.begin(), extra.end());
        return v;
    }
    std::vector<std::string> b(std::vector<std::string> extra) const
    {
        std::vector<std::string> v = {APP_STATION_PATH, "--dmn", dmnB, "--rcv",
                                      std::to_string(ports[2]), "--send", std::to_string(ports[3])};
        v.insert(v.end(), extra.begin(), extra.end());
        return v;
    }
    std::vector<std::string> radio(std::vector<std::string> extra) const
    {
        std::vector<std::string> v = {APP_RADIO_SIM_PATH, "--quiet", "--station",
                                      station_arg("A", ports[1], ports[0]), "--station",
                                      station_arg("B", ports[3], ports[2])};
        v.insert(v.end(), extra.begin(), extra.end());
        return v;
    }
    void release_go() const { close(open(go.c_str(), O_WRONLY | O_CREAT, 0600)); }
    void release_stop() const { close(open(stop.c_str(), O_WRONLY | O_CREAT, 0600)); }
};

}  // namespace

TEST(AppE2E, HundredBsmFromBReachAOnceInOrderByteExact)
{
    Stations s;
    Proc radio("radio"), a("sta"), b("stb");
    ASSERT_TRUE(radio.start(s.radio({})));
    ASSERT_TRUE(radio.wait_text("radio-sim: ready", 10000, true)) << slurp(radio.err);
    ASSERT_TRUE(a.start(s.a({"--register", "26", "--run-ms", "60000", "--until-inds", "100"})));
    // B stays up until A has everything: its core still transmits after the
    // requests have left B's application.
    ASSERT_TRUE(b.start(s.b({"--go-file", s.go, "--burst", "100,26,100", "--run-ms", "60000",
                             "--stop-file", s.stop})));
    ASSERT_TRUE(a.wait_text("READY", 15000)) << a.text();
    ASSERT_TRUE(b.wait_text("READY", 15000)) << b.text();
    s.release_go();
    // The radio paces datagrams 70 ms apart: 100 take about 7 s.
    ASSERT_EQ(a.wait_exit(60000), 0) << a.text();
    s.release_stop();
    ASSERT_EQ(b.wait_exit(30000), 0) << b.text();
    std::string out = a.text();
    EXPECT_EQ(count_lines_with(out, "REG aid=26 rc=0"), 1);
    std::vector<std::string> inds = lines_starting(out, "IND ");
    ASSERT_EQ(inds.size(), 100u) << out;
    for (int n = 0; n < 100; ++n) {
        EXPECT_EQ(inds[n], "IND ver=0 aid=26 prio=0 mac=ffffffffffff data=" + expected_data(n, 100))
            << n;
    }
    EXPECT_EQ(lines_starting(b.text(), "SEND rc=").size(), 0u) << b.text();
    EXPECT_EQ(count_lines_with(b.text(), "SENT 100"), 1);
}

TEST(AppE2E, BurstOfThreeHundredInjectedFramesArrivesExactlyOnceInOrder)
{
    Stations s;
    Proc a("sta");
    ASSERT_TRUE(a.start(s.a({"--register", "26", "--run-ms", "60000", "--until-inds", "300"})));
    ASSERT_TRUE(a.wait_text("READY", 15000)) << a.text();
    // Frames of BSM size for AID 26: protocol type 4, DSMP header 00, AID
    // 1A, big-endian length 100, data. Injected 50 at a time, each batch in
    // one go: on the application socket the indications coalesce, while the
    // core's radio socket can hold a whole batch even when the core is slow.
    for (int batch = 0; batch < 6; ++batch) {
        std::vector<std::string> args = s.radio({"--duration", "0"});
        for (int n = batch * 50; n < batch * 50 + 50; ++n) {
            args.push_back("--inject");
            args.push_back("04001a0064" + expected_data(n, 100));
            args.push_back("--to");
            args.push_back("A");
        }
        Proc radio("radio");
        ASSERT_TRUE(radio.start(args));
        ASSERT_EQ(radio.wait_exit(30000), 0) << slurp(radio.err);
        const size_t want = static_cast<size_t>(batch + 1) * 50;
        wait_for([&] { return lines_starting(a.text(), "IND ").size() >= want; }, 30000);
    }
    ASSERT_EQ(a.wait_exit(30000), 0) << lines_starting(a.text(), "IND ").size() << " indications";
    std::vector<std::string> inds = lines_starting(a.text(), "IND ");
    ASSERT_EQ(inds.size(), 300u);
    for (int n = 0; n < 300; ++n) {
        ASSERT_EQ(inds[n], "IND ver=0 aid=26 prio=0 mac=ffffffffffff data=" + expected_data(n, 100))
            << n;
    }
}

TEST(AppE2E, ProviderOnBIsConfirmedAndAdvertisedToAEveryHalfSecond)
{
    Stations s;
    Proc radio("radio"), a("sta"), b("stb");
    ASSERT_TRUE(radio.start(s.radio({})));
    ASSERT_TRUE(radio.wait_text("radio-sim: ready", 10000, true));
    ASSERT_TRUE(a.start(s.a({"--register", "26", "--run-ms", "60000", "--until-inds", "6"})));
    ASSERT_TRUE(b.start(s.b({"--go-file", s.go, "--provider", "4,26,10", "--run-ms", "60000"})));
    ASSERT_TRUE(a.wait_text("READY", 15000));
    ASSERT_TRUE(b.wait_text("READY", 15000));
    s.release_go();
    ASSERT_TRUE(b.wait_text("PCFM lcl=4 ret=0", 10000)) << b.text();
    EXPECT_EQ(count_lines_with(b.text(), "PROV rc=0"), 1);
    ASSERT_EQ(a.wait_exit(30000), 0) << a.text();
    b.stop();
    std::vector<std::string> inds = lines_starting(a.text(), "IND ver=0 aid=26 ");
    ASSERT_GE(inds.size(), 6u) << a.text();
    // The advertisement carries the provider's header-extension text.
    EXPECT_NE(inds[0].find("73746174696f6e2d647361"), std::string::npos) << inds[0];  // "station-dsa"
}

TEST(AppE2E, ExitDuringTrafficTwiceAndAfterTheCoreWentAway)
{
    Stations s;
    Proc radio("radio"), a("sta"), b("stb");
    ASSERT_TRUE(radio.start(s.radio({})));
    ASSERT_TRUE(radio.wait_text("radio-sim: ready", 10000, true));
    // A stops while B's traffic is still arriving; B stops while its own
    // datagrams are still queued in its core.
    ASSERT_TRUE(a.start(s.a({"--register", "26", "--run-ms", "1500", "--exit-twice"})));
    ASSERT_TRUE(b.start(s.b({"--go-file", s.go, "--burst", "60,26,300", "--exit-twice"})));
    ASSERT_TRUE(a.wait_text("READY", 15000));
    ASSERT_TRUE(b.wait_text("READY", 15000));
    s.release_go();
    EXPECT_EQ(a.wait_exit(30000), 0) << a.text();
    EXPECT_EQ(b.wait_exit(30000), 0) << b.text();
    EXPECT_EQ(count_lines_with(a.text(), "DONE rc=0"), 1);
    EXPECT_EQ(count_lines_with(b.text(), "DONE rc=0"), 1);
    EXPECT_EQ(count_lines_with(a.text(), "Wait _cv2x_app_func_pth() pthread stop------"), 1);
}

#endif
