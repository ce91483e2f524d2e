// SPDX-License-Identifier: Apache-2.0
// The log thread's pipe never holds up a thread that logs: what a stalled
// output cannot take is dropped whole, counted, and said once room returns.

// GCC 12 with the sanitizers warns that std::regex's own automaton state may
// be used uninitialized (inside <regex>, not in this file): a known false
// alarm that -Werror would turn into a failed build.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "morrow_tool_helpers.hpp"
#include "self_log.h"
#include "stalled_stdout.hpp"
#include "test_support.h"

namespace {

// Back to lines on standard output in the calling thread, as before any log
// system, so the other tests of the program find what they expect.
void back_to_plain()
{
    v2xtest::StdoutCapture quiet;
    log_system_exit();
    tLogCfg c = v2xtest::stdout_log_cfg(LOG_RUN_NEW_PTHREAD);
    c.logRunMd = LOG_RUN_MAIN_PROGRESS;
    log_system_init(&c);
    log_system_exit();
}

}  // namespace

// The output stalls while one thread logs 5000 lines: every call returns,
// the pipe's overflow is counted, and once the output reads again the lines
// that were kept come out whole and in order, the count is said (each lost
// line exactly once), and kept plus dropped is what was logged.
TEST(LogStall, AStalledOutputDropsWholeLinesAndSaysHowManyOnce)
{
    constexpr int kLines = 5000;
    v2xtest::StalledStdout out;
    ASSERT_TRUE(out.ok());
    const tLogCfg c = v2xtest::stdout_log_cfg(LOG_RUN_NEW_PTHREAD);
    const int initRc = log_system_init(&c);
    const unsigned long long d0 = log_lines_dropped();
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < kLines && initRc == 0; ++i) {
            log_msg(LOG_LEV_ERROR, "stall.cpp", "writer", 7, "stalled line %05d\n", i);
        }
        done = true;
    });
    // Generous: a writer that blocks never finishes while the output stalls.
    const bool finished = v2xtest::wait_for([&] { return done.load(); }, 30000);
    const unsigned long long d1 = log_lines_dropped();
    out.release();
    writer.join();
    // Room returns as the log thread catches up: probes go in once one is
    // not dropped.
    int probes = 0;
    const bool through = v2xtest::wait_for(
        [&] {
            const unsigned long long before = log_lines_dropped();
            log_msg(LOG_LEV_ERROR, "stall.cpp", "probe", 9, "probe %d\n", probes++);
            return log_lines_dropped() == before;
        },
        20000);
    const unsigned long long d2 = log_lines_dropped();
    log_system_exit();  // writes out what is still in the pipe
    const std::string text = out.restore();
    back_to_plain();

    ASSERT_EQ(initRc, 0);
    EXPECT_TRUE(finished) << "a thread that logs waited for the stalled output";
    EXPECT_GT(d1, d0);
    ASSERT_TRUE(through);

    static const std::regex kept(R"(\[ERR:\d\d:\d\d:\d\d\.\d{8} +stall\.cpp 0007\] stalled line (\d{5}))");
    static const std::regex note(R"((\d+) log lines dropped, the log thread did not keep up err!!!!)");
    std::istringstream in(text);
    unsigned long long said = 0;
    int delivered = 0;
    int last = -1;
    int probesSeen = 0;
    bool afterNote = false;
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_match(line, m, kept)) {
            const int n = std::stoi(m[1]);
            EXPECT_GT(n, last) << line;
            last = n;
            ++delivered;
        } else if (std::regex_match(line, m, note)) {
            EXPECT_FALSE(afterNote) << "two notices in a row";
            said += std::stoull(m[1]);
        } else if (line.find("] probe ") != std::string::npos) {
            ++probesSeen;
        } else {
            // Only the log system's own notices besides; a torn line is none.
            EXPECT_EQ(line.find("stalled line"), std::string::npos) << line;
        }
        afterNote = std::regex_match(line, note);
    }
    EXPECT_EQ(static_cast<unsigned long long>(delivered) + (d1 - d0),
              static_cast<unsigned long long>(kLines));
    EXPECT_EQ(said, d2 - d0);  // every lost line said, none twice
    EXPECT_EQ(probesSeen, 1);
    EXPECT_EQ(static_cast<unsigned long long>(probes - 1), d2 - d1);
}

// Text longer than the pipe's atomic write (logger's) goes in pieces that
// each fit, and arrives whole while there is room.
TEST(LogStall, TextLongerThanOneAtomicWriteArrivesWhole)
{
    mtest::TmpDir dir;
    v2xtest::StdoutCapture quiet;
    tLogCfg c = v2xtest::stdout_log_cfg(LOG_RUN_NEW_PTHREAD);
    c.stdoutLogSwt = LOG_SWITCH_OFF;
    c.fileLogSwt = LOG_SWITCH_ON;
    snprintf(c.saveLogPath, sizeof(c.saveLogPath), "%s", dir.file("long").c_str());
    ASSERT_EQ(log_system_init(&c), 0);
    const unsigned long long d0 = log_lines_dropped();
    std::string text;
    for (int i = 0; text.size() < 3 * PIPE_BUF + 100; ++i) {
        text += "piece " + std::to_string(i) + " ";
    }
    text += "\n";
    logger(0, 0, text.c_str());
    logger(0, 0, "after\n");
    log_system_exit();
    quiet.stop();
    back_to_plain();
    // The one file made ("-00" or "-01": the turn carries over restarts).
    std::string got;
    for (const char* turn : {"long-00.log", "long-01.log"}) {
        std::ifstream f(dir.file(turn), std::ios::binary);
        got.append(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    const bool same = got == text + "after\n";
    EXPECT_TRUE(same) << got.size() << " bytes, not " << text.size() + 6;
    EXPECT_EQ(log_lines_dropped(), d0);
}

// A backed-up pipe is read in buffers that end inside lines; what the log
// thread writes out is whole lines all the same. With a new file for every
// write, the two files left each hold whole lines only.
TEST(LogStall, ABackedUpPipeGoesOutInWholeLines)
{
    mtest::TmpDir dir;
    v2xtest::StalledStdout out;
    ASSERT_TRUE(out.ok());
    tLogCfg c = v2xtest::stdout_log_cfg(LOG_RUN_NEW_PTHREAD);
    c.fileLogSwt = LOG_SWITCH_ON;
    c.logSaveMaxCnt = 1;
    snprintf(c.saveLogPath, sizeof(c.saveLogPath), "%s", dir.file("cut").c_str());
    const int initRc = log_system_init(&c);
    for (int i = 0; i < 3000 && initRc == 0; ++i) {
        log_msg(LOG_LEV_ERROR, "cut.cpp", "writer", 3, "backed up line %d\n", i);
    }
    out.release();
    log_system_exit();
    out.restore();
    back_to_plain();
    ASSERT_EQ(initRc, 0);

    static const std::regex whole(
        R"((\[ERR:\d\d:\d\d:\d\d\.\d{8} +cut\.cpp 0003\] backed up line \d+|\d+ log lines dropped, the log thread did not keep up err!!!!)\n)");
    for (const char* turn : {"cut-00.log", "cut-01.log"}) {
        std::ifstream f(dir.file(turn), std::ios::binary);
        const std::string got{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
        EXPECT_FALSE(got.empty()) << turn;
        size_t at = 0;
        for (size_t nl; (nl = got.find('\n', at)) != std::string::npos; at = nl + 1) {
            const std::string line = got.substr(at, nl + 1 - at);
            EXPECT_TRUE(std::regex_match(line, whole)) << turn << ": " << line;
        }
        EXPECT_EQ(at, got.size()) << turn << " ends inside a line";
    }
}
