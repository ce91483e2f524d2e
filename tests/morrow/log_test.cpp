// SPDX-License-Identifier: Apache-2.0
// Log line format, the call-site gate and set_global_log_level.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "self_log.h"
#include "test_support.h"

using v2xtest::StdoutCapture;
using v2xtest::count_lines_with;

// This file plays a source file whose ceiling is 1 (errors only).
static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

namespace {

void log_all_levels()
{
    LOG0("lvl0 line------\n");
    LOGE("lvl1 err!!!!\n");
    LOGR("lvl2 run\n");
    LOGW("lvl3 warn\n");
    LOGT();
    LOGI("lvl5 info\n");
    LOGL("lvl6 loud\n");
}

// What log_all_levels writes with the level at lvl.
std::string all_levels_at(eLogLevl lvl)
{
    v2xtest::LevelGuard g(lvl);
    StdoutCapture cap;
    log_all_levels();
    return cap.stop();
}

}  // namespace

TEST(LogPrefix, ExactFormat)
{
    StdoutCapture cap;
    log_msg(LOG_LEV_RUN, "rlink.cpp", "fn", 42, "hello %d\n", 7);
    std::string out = cap.stop();
    // "[RUN:hh:mm:ss.00uuuuuu       rlink.cpp 0042] hello 7\n"
    const std::string shape = "[RUN:##:##:##.00######       rlink.cpp 0042] hello 7\n";
    ASSERT_EQ(out.size(), shape.size()) << out;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == '#') {
            EXPECT_TRUE(isdigit(static_cast<unsigned char>(out[i]))) << out;
        } else {
            EXPECT_EQ(out[i], shape[i]) << out;
        }
    }
}

TEST(LogPrefix, TraceWithNullFormatNamesTheFunction)
{
    StdoutCapture cap;
    log_msg(LOG_LEV_TRACE, "core.cpp", "v2x_core_init", 7, nullptr);
    std::string out = cap.stop();
    EXPECT_NE(out.find("[TAE:"), std::string::npos);
    EXPECT_NE(out.find("        core.cpp 0007] v2x_core_init() start\n"), std::string::npos) << out;
}

TEST(LogPrefix, LongFileNameWidensAndBigLineNumberIsWhole)
{
    StdoutCapture cap;
    log_msg(LOG_LEV_ERROR, "a_very_long_source_name.cpp", "f", 123456, "x\n");
    std::string out = cap.stop();
    EXPECT_NE(out.find(" a_very_long_source_name.cpp 123456] x\n"), std::string::npos) << out;
}

TEST(LogPrefix, EveryLevelHasItsName)
{
    const char* names[] = {"OFF", "ERR", "RUN", "WAN", "TAE", "IFO", "LUD"};
    for (int lvl = 0; lvl <= 6; ++lvl) {
        StdoutCapture cap;
        log_msg(static_cast<eLogLevl>(lvl), "f.cpp", "fn", 1, "m\n");
        std::string out = cap.stop();
        EXPECT_EQ(out.rfind(std::string("[") + names[lvl] + ":", 0), 0u) << out;
    }
}

TEST(LogCut, LongMessageIsCutAt1022WithoutNewline)
{
    std::string msg(2000, 'x');
    StdoutCapture cap;
    log_msg(LOG_LEV_ERROR, "f.cpp", "fn", 1, "%s\n", msg.c_str());
    std::string out = cap.stop();
    EXPECT_EQ(out.size(), 1022u);
    EXPECT_NE(out.back(), '\n');
    EXPECT_EQ(out.back(), 'x');
}

TEST(LogCut, MessageThatJustFitsKeepsItsNewline)
{
    StdoutCapture cap;
    log_msg(LOG_LEV_ERROR, "f.cpp", "fn", 1, "y\n");
    std::string prefix = cap.stop();
    size_t pre = prefix.size() - 2;
    std::string msg(1022 - pre - 1, 'y');
    StdoutCapture cap2;
    log_msg(LOG_LEV_ERROR, "f.cpp", "fn", 1, "%s\n", msg.c_str());
    std::string out = cap2.stop();
    EXPECT_EQ(out.size(), 1022u);
    EXPECT_EQ(out.back(), '\n');
}

TEST(LogGate, CeilingOneShowsOnlyErrorsAndLevelZeroEvenAtLevel6)
{
    const std::string out = all_levels_at(LOG_LEV_LOUD);
    v2xtest::expect_lines(out, {{"lvl0", 1}, {"lvl1", 1}, {"lvl2", 0}, {"() start", 0}, {"lvl6", 0}});
    // The macro passes the base name of this file and the calling function.
    EXPECT_NE(out.find(" log_test.cpp "), std::string::npos) << out;
    EXPECT_EQ(out.find("tests/"), std::string::npos) << out;
}

TEST(LogGate, LevelZeroShowsOnlyLevelZeroLines)
{
    v2xtest::expect_lines(all_levels_at(LOG_LEV_OFF), {{"lvl", 1}, {"[OFF:", 1}});
}

TEST(LogGate, SuppressedMessageDoesNotEvaluateItsArguments)
{
    v2xtest::LevelGuard g(LOG_LEV_LOUD);
    int evaluated = 0;
    auto arg = [&] { return ++evaluated; };
    StdoutCapture cap;
    LOGI("%d\n", arg());
    LOGE("%d\n", arg());
    cap.stop();
    EXPECT_EQ(evaluated, 1);
}

TEST(LogLogger, WritesTextUnchanged)
{
    StdoutCapture cap;
    logger(3, 1234, "raw text without newline");
    EXPECT_EQ(cap.stop(), "raw text without newline");
}

TEST(LogLevelSetter, AcceptsSevenAndFallsBackAboveIt)
{
    v2xtest::LevelGuard g(gLogLevl);
    {
        StdoutCapture cap;
        set_global_log_level(LOG_LEV_MAX);
        EXPECT_EQ(cap.stop(), "gLogLevl=7\n");
        EXPECT_EQ(gLogLevl, LOG_LEV_MAX);
    }
    {
        StdoutCapture cap;
        set_global_log_level(static_cast<eLogLevl>(9));
        EXPECT_EQ(cap.stop(), "gLogLevl=9\nInput debug level(9) err, set 2 value\nNew gLogLevl=2\n");
        EXPECT_EQ(gLogLevl, LOG_LEV_RUN);
    }
    {
        StdoutCapture cap;
        set_global_log_level(static_cast<eLogLevl>(-1));
        std::string out = cap.stop();
        EXPECT_EQ(count_lines_with(out, "err, set 2 value"), 1) << out;
        EXPECT_EQ(gLogLevl, LOG_LEV_RUN);
    }
}
