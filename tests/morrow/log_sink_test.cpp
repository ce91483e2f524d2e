// SPDX-License-Identifier: Apache-2.0
// The host's sink: every line reaches it with its fields, nothing reaches
// standard output, levels the host silenced are never formatted, switching
// sinks under load never mixes one sink's function with another's pointer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <printf.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "self_log.h"
#include "test_support.h"

using v2xtest::LevelGuard;
using v2xtest::StdoutCapture;

static constexpr eLogLevl gicDbLev = LOG_LEV_LOUD;

namespace {

struct Seen {
    eLogLevl level;
    int srcLine;
    std::string file, func, text, msg;
};

struct Collect {
    std::mutex lk;
    std::vector<Seen> lines;
    static void sink(const tLogLine* l, void* u)
    {
        auto* self = static_cast<Collect*>(u);
        std::lock_guard<std::mutex> g(self->lk);
        self->lines.push_back({l->level, l->srcLine, l->file, l->func, std::string(l->text, l->len),
                               std::string(l->text + l->msgOff, l->len - l->msgOff)});
    }
};

// Leaves the default routing in place whatever a test does.
struct SinkGuard {
    explicit SinkGuard(fLogSink fn, void* user, uint32_t mask = LOG_LEVELS_ALL)
    {
        EXPECT_EQ(log_set_sink(fn, user, mask), 0);
    }
    ~SinkGuard() { log_set_sink(nullptr, nullptr, LOG_LEVELS_ALL); }
};

std::atomic<int> gFormatted{0};

// A printf conversion that counts how often it is formatted.
int count_conv(FILE* stream, const struct printf_info*, const void* const*)
{
    ++gFormatted;
    return fprintf(stream, "W");
}
int count_arginfo(const struct printf_info*, size_t n, int* types, int*)
{
    if (n > 0) {
        types[0] = PA_INT;
    }
    return 1;
}

}  // namespace

TEST(LogSink, EveryKindOfLineReachesTheSinkAndNothingStdout)
{
    LevelGuard lvl(LOG_LEV_RUN);
    Collect c;
    StdoutCapture cap;
    {
        SinkGuard g(Collect::sink, &c);
        LOG0("lifecycle------\n");
        LOGE("broken err!!!!\n");
        logger(LOG_LEV_RUN, 0, "ready-made\n");
        set_global_log_level(LOG_LEV_RUN);            // a direct notice at run
        log_direct_text(LOG_LEV_ERROR, "x.cpp", "fn", "direct\n");
        tLogCfg cfg{};
        cfg.stdoutLogSwt = LOG_SWITCH_ON;
        ASSERT_EQ(log_system_init(&cfg), 0);          // "File log close", ...
        LOGE("through the log system\n");
        log_system_exit();
    }
    EXPECT_EQ(cap.stop(), "");
    ASSERT_GE(c.lines.size(), 7u);
    EXPECT_EQ(c.lines[0].level, LOG_LEV_OFF);
    EXPECT_EQ(c.lines[0].file, "log_sink_test.cpp");
    EXPECT_EQ(c.lines[0].func, "TestBody");
    EXPECT_GT(c.lines[0].srcLine, 0);
    EXPECT_EQ(c.lines[0].msg, "lifecycle------\n");
    EXPECT_EQ(c.lines[0].text.rfind("[OFF:", 0), 0u);
    EXPECT_EQ(c.lines[1].level, LOG_LEV_ERROR);
    EXPECT_EQ(c.lines[2].msg, "ready-made\n");
    EXPECT_EQ(c.lines[3].msg, "gLogLevl=2\n");
    EXPECT_EQ(c.lines[3].srcLine, 0);
    EXPECT_EQ(c.lines[4].file, "x.cpp");
    bool sawLogSys = false, sawLast = false;
    for (const Seen& s : c.lines) {
        sawLogSys |= s.msg == "File log close\n";
        sawLast |= s.msg == "through the log system\n";
    }
    EXPECT_TRUE(sawLogSys);
    EXPECT_TRUE(sawLast);
}

TEST(LogSink, SilencedLevelsAreNeverFormatted)
{
    ASSERT_EQ(register_printf_specifier('W', count_conv, count_arginfo), 0);
    LevelGuard lvl(LOG_LEV_LOUD);
    Collect c;
    // A non-literal format: the compiler does not know the W conversion.
    static const char* fmt = "%W\n";
    {
        SinkGuard g(Collect::sink, &c, LOG_LEVELS_ALL & ~LOG_LEVEL_BIT(LOG_LEV_OFF) &
                                           ~LOG_LEVEL_BIT(LOG_LEV_LOUD));
        gFormatted = 0;
        log_msg(LOG_LEV_OFF, "f.cpp", "f", 1, fmt, 1);
        log_msg(LOG_LEV_LOUD, "f.cpp", "f", 2, fmt, 1);
        EXPECT_EQ(gFormatted.load(), 0);
        EXPECT_EQ(log_direct_wanted(LOG_LEV_LOUD), 0);
        log_msg(LOG_LEV_ERROR, "f.cpp", "f", 3, fmt, 1);
        EXPECT_EQ(gFormatted.load(), 1);
    }
    ASSERT_EQ(c.lines.size(), 1u);
    EXPECT_EQ(c.lines[0].msg, "W\n");
    // Direct notices also pass the host's level.
    __atomic_store_n(&gLogLevl, LOG_LEV_ERROR, __ATOMIC_RELAXED);
    SinkGuard g(Collect::sink, &c);
    EXPECT_EQ(log_direct_wanted(LOG_LEV_RUN), 0);
    EXPECT_EQ(log_direct_wanted(LOG_LEV_ERROR), 1);
    EXPECT_EQ(log_set_sink(Collect::sink, &c, 0x80), -ERR_LOG_PARM_CONT);
}

TEST(LogSink, MaskAloneKeepsTheDefaultRoutingAndResetRestoresIt)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    StdoutCapture cap;
    {
        SinkGuard g(nullptr, nullptr, LOG_LEVELS_ALL & ~LOG_LEVEL_BIT(LOG_LEV_OFF));
        LOG0("hidden------\n");
        LOGE("shown\n");
    }
    LOG0("back------\n");
    const std::string out = cap.stop();
    EXPECT_EQ(out.find("hidden"), std::string::npos) << out;
    EXPECT_NE(out.find("] shown\n"), std::string::npos) << out;
    EXPECT_NE(out.find("] back------\n"), std::string::npos) << out;
    EXPECT_EQ(log_direct_wanted(LOG_LEV_LOUD), 1);  // default: always written
}

TEST(LogSink, LevelsMapToSyslogPrioritiesAndTheJournalSinkPrefixesThem)
{
    EXPECT_EQ(log_syslog_priority(LOG_LEV_ERROR), LOG_ERR);
    EXPECT_EQ(log_syslog_priority(LOG_LEV_WARN), LOG_WARNING);
    EXPECT_EQ(log_syslog_priority(LOG_LEV_RUN), LOG_NOTICE);
    EXPECT_EQ(log_syslog_priority(LOG_LEV_OFF), LOG_NOTICE);
    EXPECT_EQ(log_syslog_priority(LOG_LEV_INFO), LOG_INFO);
    EXPECT_EQ(log_syslog_priority(LOG_LEV_TRACE), LOG_DEBUG);
    EXPECT_EQ(log_syslog_priority(LOG_LEV_LOUD), LOG_DEBUG);
    EXPECT_EQ(log_syslog_priority(static_cast<eLogLevl>(99)), LOG_NOTICE);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const int saved = dup(STDERR_FILENO);
    dup2(p[1], STDERR_FILENO);
    {
        LevelGuard lvl(LOG_LEV_ERROR);
        SinkGuard g(log_sink_journal, nullptr);
        log_msg(LOG_LEV_ERROR, "rlink.cpp", "f", 81, "bind() err!!!!\n");
        log_direct_text(LOG_LEV_ERROR, "buffer.cpp", "f", "toread:1");
    }
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(p[1]);
    char buf[256] = {0};
    const ssize_t n = read(p[0], buf, sizeof(buf) - 1);
    close(p[0]);
    ASSERT_GT(n, 0);
    EXPECT_STREQ(buf, "<3>rlink.cpp:81 bind() err!!!!\n<3>toread:1\n");
}

TEST(LogSink, SwitchingSinksWhileThreadsLogNeverMixesThem)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    struct Tagged {
        std::atomic<int> got{0};
        std::atomic<int> wrong{0};
    };
    static Tagged a, b;
    auto sinkA = [](const tLogLine*, void* u) {
        (u == &a ? a.got : a.wrong)++;
    };
    auto sinkB = [](const tLogLine*, void* u) {
        (u == &b ? b.got : b.wrong)++;
    };
    a.got = b.got = a.wrong = b.wrong = 0;
    SinkGuard g(sinkA, &a);
    std::atomic<bool> run{true};
    std::vector<std::thread> ts;
    constexpr int kPer = 2000;
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([] {
            for (int i = 0; i < kPer; ++i) {
                log_msg(LOG_LEV_ERROR, "t.cpp", "f", 1, "x\n");
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        log_set_sink(i % 2 ? sinkA : sinkB, i % 2 ? static_cast<void*>(&a) : &b, LOG_LEVELS_ALL);
    }
    for (auto& t : ts) {
        t.join();
    }
    EXPECT_EQ(a.wrong.load() + b.wrong.load(), 0);
    EXPECT_EQ(a.got.load() + b.got.load(), 4 * kPer);
}
