// SPDX-License-Identifier: Apache-2.0
// The programs as Unix tools: --version and --help, and manual pages
// that install where man finds them, render without a warning and name
// every long option the program's --help lists.
// GCC 12 with the sanitizers warns about the std::function inside <regex>
// when it is inlined here (a false positive of -Wmaybe-uninitialized).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>

#include "product_support.hpp"

#if defined(V2X_STATION_PATH) && defined(V2X_RADIO_SIM_PATH) && defined(V2X_CTL_PATH) && \
    defined(V2X_CERT_PATH) && defined(V2X_SYS_API_MIN_PATH) && defined(V2X_SOURCE_DIR) &&    \
    defined(V2X_BINARY_DIR) && defined(V2X_CMAKE_COMMAND) && defined(V2X_PROJECT_VERSION)

namespace {

using namespace product;
using v2xtest::unique_path;

struct Program {
    const char* name;
    const char* path;
    const char* component;  // the install component of its manual page
};

const Program kPrograms[] = {{"v2x-station", V2X_STATION_PATH, "tools"},
                             {"v2x-ctl", V2X_CTL_PATH, "tools"},
                             {"v2x-cert", V2X_CERT_PATH, "tools"},
                             {"radio-sim", V2X_RADIO_SIM_PATH, "sim"},
                             {"sys-api-min", V2X_SYS_API_MIN_PATH, "sim"}};

// Runs `exe arg`: its exit status, standard output and standard error apart.
int run_apart(const std::string& aicExe, const std::string& aicArg, std::string* aopOut,
              std::string* aopErr)
{
    const std::string err = unique_path("manerr");
    const int rc = shell("{ " + q(aicExe) + " " + aicArg + " 2>" + q(err) + "; }", *aopOut);
    *aopErr = slurp(err);
    unlink(err.c_str());
    return rc;
}

// The long options a --help text names, "--to" apart from "--to-all".
std::set<std::string> long_options(const std::string& aicText)
{
    std::set<std::string> out;
    const std::regex opt("--[a-z][a-z0-9-]*[a-z0-9]");
    for (std::sregex_iterator i(aicText.begin(), aicText.end(), opt), end; i != end; ++i) {
        out.insert(i->str());
    }
    return out;
}

bool names_option(const std::string& aicText, const std::string& aicOpt)
{
    return std::regex_search(aicText, std::regex("(^|[^a-z0-9-])" + aicOpt + "([^a-z0-9-]|$)"));
}

TEST(Manual, EveryProgramAnswersVersionAndHelpOnStandardOutput)
{
    for (const Program& p : kPrograms) {
        std::string out, err;
        EXPECT_EQ(run_apart(p.path, "--version", &out, &err), 0) << p.name << ": " << err;
        EXPECT_EQ(out, std::string(p.name) + " (vestra) " + V2X_PROJECT_VERSION + "\n");
        EXPECT_EQ(err, "") << p.name;
        EXPECT_EQ(run_apart(p.path, "--help", &out, &err), 0) << p.name << ": " << err;
        EXPECT_EQ(out.rfind(std::string("usage: ") + p.name, 0), 0u) << p.name << ": " << out;
        EXPECT_EQ(err, "") << p.name;
        // A bad command line is status 2 and leaves standard output alone.
        EXPECT_EQ(run_apart(p.path, "--no-such-option", &out, &err), 2) << p.name;
        EXPECT_EQ(out, "") << p.name;
        EXPECT_NE(err, "") << p.name;
    }
}

TEST(Manual, EveryPageInstallsRendersCleanlyAndNamesEveryOption)
{
    std::string out;
    if (shell("command -v man && command -v groff", out) != 0) {
        GTEST_SKIP() << "man and groff are not installed (scripts/deps installs them)";
    }
    // Only the manual pages' install rules, one component to a prefix of its
    // own: each package gets its programs' pages and no other.
    const std::string prefix = unique_path("manpfx");
    for (const char* comp : {"tools", "sim"}) {
        ASSERT_EQ(shell(q(V2X_CMAKE_COMMAND) + " -DCMAKE_INSTALL_PREFIX=" + q(prefix + "/" + comp) +
                            " -DCMAKE_INSTALL_COMPONENT=" + comp + " -P " +
                            q(std::string(V2X_BINARY_DIR) + "/man/cmake_install.cmake"),
                        out),
                  0)
            << out;
        std::set<std::string> want;
        for (const Program& p : kPrograms) {
            if (strcmp(p.component, comp) == 0) {
                want.insert(std::string(p.name) + ".1.gz");
            }
        }
        EXPECT_EQ(shell("cd " + q(prefix + "/" + comp + "/share/man/man1") + " && ls", out), 0);
        std::istringstream names(out);
        std::set<std::string> got;
        for (std::string n; std::getline(names, n);) {
            got.insert(n);
        }
        EXPECT_EQ(got, want) << comp;
    }
    for (const Program& p : kPrograms) {
        const std::string page =
            prefix + "/" + p.component + "/share/man/man1/" + p.name + ".1.gz";
        const std::string src = std::string(V2X_SOURCE_DIR) + "/man/" + p.name + ".1";
        // Compressed as Debian wants it, and holding the page itself.
        EXPECT_EQ(shell("gzip -9nc " + q(src) + " | cmp - " + q(page), out), 0) << p.name << out;
        // lintian's check, then groff's every warning category; either prints
        // nothing for a clean page.
        EXPECT_EQ(shell("{ LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "
                        "-Tutf8 -Z " + q(page) + " >/dev/null; }",
                        out),
                  0);
        EXPECT_EQ(out, "") << p.name;
        EXPECT_EQ(shell("groff -man -ww -z " + q(src), out), 0);
        EXPECT_EQ(out, "") << p.name;

        // Plain text, lines wide enough that no option is broken.
        std::string text, err;
        ASSERT_EQ(shell("groff -man -Tascii -P-cbou -rLL=250n " + q(src), text), 0) << text;
        ASSERT_EQ(run_apart(p.path, "--help", &out, &err), 0) << p.name;
        const std::set<std::string> opts = long_options(out);
        EXPECT_GE(opts.size(), 2u) << p.name;  // --help and --version at least
        EXPECT_EQ(opts.count("--version"), 1u) << p.name;
        for (const std::string& o : opts) {
            EXPECT_TRUE(names_option(text, o)) << p.name << ".1 does not name " << o;
        }
    }
    shell("rm -rf " + q(prefix), out);
}

}  // namespace

#endif
