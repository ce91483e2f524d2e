// SPDX-License-Identifier: Apache-2.0
// The C examples for application developers (examples/callback-client,
// sys-api-client, provider-user) as a developer runs them: each on loopback
// with this test's own socket path and port, exiting 0 with its "ok" line
// (leak-free in the sanitizer build, whose leak check changes the status),
// and failing with a status and a message when it cannot start.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "product_support.hpp"

using namespace product;
using v2xtest::unique_path;

#if defined(V2X_EXAMPLE_CALLBACK_CLIENT) && defined(V2X_EXAMPLE_SYS_API_CLIENT) &&                 \
    defined(V2X_EXAMPLE_PROVIDER_USER)

namespace {

struct Example {
    const char* name;
    const char* path;
};

const Example kExamples[] = {{"callback-client", V2X_EXAMPLE_CALLBACK_CLIENT},
                             {"sys-api-client", V2X_EXAMPLE_SYS_API_CLIENT},
                             {"provider-user", V2X_EXAMPLE_PROVIDER_USER}};

// Runs an example to its end (generous bound: it waits for the radio's
// pace); its exit status, -1 when it did not end.
int run(const Example& aicEx, const std::vector<std::string>& aicArgs, Proc& aopProc)
{
    std::vector<std::string> args = {aicEx.path};
    args.insert(args.end(), aicArgs.begin(), aicArgs.end());
    if (!aopProc.start(args)) {
        return -1;
    }
    return aopProc.wait_exit(60000);
}

// Lines that begin with aicHead: a library line left without its newline
// would glue the example's next line to its end and hide it.
size_t lines_starting(const std::string& aicText, const std::string& aicHead)
{
    size_t n = 0;
    for (const std::string& l : lines_with(aicText, aicHead)) {
        n += l.rfind(aicHead, 0) == 0 ? 1 : 0;
    }
    return n;
}

bool exists(const std::string& aicPath)
{
    struct stat st;
    return lstat(aicPath.c_str(), &st) == 0;
}

}  // namespace

TEST(Examples, EachRunsOnLoopbackAndStopsCleanly)
{
    for (const Example& ex : kExamples) {
        SCOPED_TRACE(ex.name);
        const std::string sock = unique_path("exsock");
        const uint16_t port = free_ports(1).at(0);
        Proc p(ex.name);
        ASSERT_EQ(run(ex, {"--socket", sock, "--port", std::to_string(port)}, p), 0)
            << p.text() << p.errors();
        EXPECT_EQ(lines_starting(p.text(), std::string(ex.name) + ": ok"), 1u) << p.text();
        EXPECT_EQ(p.errors(), "");
        // The core's clean stop removes the socket file it made.
        EXPECT_FALSE(exists(sock));
    }
}

// What each example shows, beyond its "ok": the three messages of the
// callback client, the record that came with the one asked for, the
// system API's two messages, the provider's refused duplicate and its
// advertisements coming back.
TEST(Examples, OutputShowsWhatCameBack)
{
    struct Want {
        const char* head;
        size_t count;
        bool atLeast;  // the advertisements go on until the provider is deleted
    };
    const std::vector<Want> want[] = {
        {{"indication: aid=26 ", 2, false},
         {"indication: aid=32 ", 1, false},
         {"  record: size=72 ver=0 flags=0x01 ", 1, false}},
        {{"read: aid=26 kind=BSM ", 1, false},
         {"read: aid=30 kind=SPAT ", 1, false},
         {"  record: size=72 ver=0 flags=0x01 ", 1, false}},
        {{"provider confirm: lclAppId=0 accepted", 2, false},
         {"provider confirm: lclAppId=0 refused (bad value or duplicate)", 1, false},
         {"user confirm: lclAppId=0 accepted", 2, false},
         {"advertisement: aid=135 len=9 text='parking'", 2, true}}};
    for (size_t i = 0; i < 3; ++i) {
        const Example& ex = kExamples[i];
        SCOPED_TRACE(ex.name);
        const std::string sock = unique_path("exsock");
        Proc p(ex.name);
        ASSERT_EQ(run(ex, {"-s", sock, "-p", std::to_string(free_ports(1).at(0))}, p), 0)
            << p.text() << p.errors();
        for (const Want& w : want[i]) {
            const size_t n = lines_starting(p.text(), w.head);
            EXPECT_TRUE(w.atLeast ? n >= w.count : n == w.count) << n << " x " << w.head << "\n"
                                                                 << p.text();
        }
    }
}

// A port another socket holds, a socket where no core listens, a bad
// command line: a status other than 0 and a line on standard error.
TEST(Examples, FailuresAreReportedNotHidden)
{
    v2xtest::UdpPeer holder;  // holds its port for the whole test
    const std::string held = std::to_string(holder.port());
    for (const Example& ex : kExamples) {
        SCOPED_TRACE(ex.name);
        Proc busy(ex.name);
        EXPECT_EQ(run(ex, {"--socket", unique_path("exsock"), "--port", held}, busy), 1);
        EXPECT_NE(busy.errors().find(std::string(ex.name) + ": "), std::string::npos)
            << busy.errors();
        EXPECT_EQ(lines_with(busy.text(), ": ok").size(), 0u);

        Proc bad(ex.name);
        EXPECT_EQ(run(ex, {"--port", "70000"}, bad), 2);
        EXPECT_EQ(bad.text(), "");
        EXPECT_NE(bad.errors(), "");
    }
    Proc lonely("sys-api-client");
    EXPECT_EQ(run(kExamples[1], {"--attach", unique_path("nobody")}, lonely), 1);
    EXPECT_NE(lonely.errors().find("v2x_system_attach"), std::string::npos) << lonely.errors();
}

#endif
