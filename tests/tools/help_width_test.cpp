// SPDX-License-Identifier: Apache-2.0
// Every program's --help fits a terminal of 80 columns: each is run, must
// exit 0 with some text, and every line over 80 characters is named.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/wait.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr size_t kColumns = 80;

// Columns a line takes: UTF-8 continuation bytes take none, a tab runs to
// the next multiple of 8.
size_t columns(const std::string& aicLine)
{
    size_t col = 0;
    for (unsigned char ch : aicLine) {
        if (ch == '\t') {
            col = (col / 8 + 1) * 8;
        } else if ((ch & 0xC0) != 0x80) {
            ++col;
        }
    }
    return col;
}

struct Help {
    int status = -1;
    std::string text;
};

Help run_help(const std::string& aicCmd)
{
    Help h;
    FILE* p = popen((aicCmd + " --help 2>&1").c_str(), "r");
    if (p == nullptr) {
        return h;
    }
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;) {
        h.text.append(buf, n);
    }
    const int st = pclose(p);
    h.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
    return h;
}

std::string quoted(const std::string& aicPath)
{
    return "'" + aicPath + "'";
}

// The programs of this build (those the build defines) and the scripts.
std::vector<std::pair<std::string, std::string>> programs()
{
    std::vector<std::pair<std::string, std::string>> p;
#ifdef V2X_CTL_PATH
    p.emplace_back("v2x-ctl", quoted(V2X_CTL_PATH));
#endif
#ifdef RADIO_SIM_PATH
    p.emplace_back("radio-sim", quoted(RADIO_SIM_PATH));
#endif
#ifdef V2X_CERT_PATH
    p.emplace_back("v2x-cert", quoted(V2X_CERT_PATH));
#endif
#ifdef HELP_V2X_STATION_PATH
    p.emplace_back("v2x-station", quoted(HELP_V2X_STATION_PATH));
#endif
#ifdef HELP_SYS_API_MIN_PATH
    p.emplace_back("sys-api-min", quoted(HELP_SYS_API_MIN_PATH));
#endif
#ifdef HELP_CALLBACK_CLIENT_PATH
    p.emplace_back("callback-client", quoted(HELP_CALLBACK_CLIENT_PATH));
#endif
#ifdef HELP_SYS_API_CLIENT_PATH
    p.emplace_back("sys-api-client", quoted(HELP_SYS_API_CLIENT_PATH));
#endif
#ifdef HELP_PROVIDER_USER_PATH
    p.emplace_back("provider-user", quoted(HELP_PROVIDER_USER_PATH));
#endif
#ifdef HELP_SOURCE_DIR
    p.emplace_back("scripts/validate-channel",
                   "bash " + quoted(std::string(HELP_SOURCE_DIR) + "/scripts/validate-channel"));
#endif
    return p;
}

}  // namespace

TEST(HelpWidth, EveryProgramsHelpFitsEightyColumns)
{
    const auto progs = programs();
    ASSERT_GE(progs.size(), 3u);
    for (const auto& prog : progs) {
        const Help h = run_help(prog.second);
        EXPECT_EQ(h.status, 0) << prog.first << " --help:\n" << h.text;
        EXPECT_GT(h.text.size(), 40u) << prog.first << " --help says next to nothing";
        std::istringstream in(h.text);
        int n = 0;
        for (std::string line; std::getline(in, line);) {
            ++n;
            EXPECT_LE(columns(line), kColumns)
                << prog.first << " --help, line " << n << " (" << columns(line)
                << " columns): " << line;
        }
    }
}

TEST(HelpWidth, ColumnsCountCharactersNotBytes)
{
    EXPECT_EQ(columns("\xc3\xa9t\xc3\xa9"), 3u);  // two bytes each for the accents
    EXPECT_EQ(columns("\xe2\x80\x94"), 1u);       // an em dash
    EXPECT_EQ(columns("ab\tc"), 9u);
    EXPECT_EQ(columns(std::string(81, 'x')), 81u);
}
