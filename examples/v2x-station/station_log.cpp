// SPDX-License-Identifier: Apache-2.0
// The station as the libraries' host: it picks where their lines go.
#include "station_log.hpp"

#include <syslog.h>

#include <mutex>
#include <vector>

#include "self_log.h"

namespace station {

namespace {

struct HeldLine {
    eLogLevl level;
    int srcLine;
    std::string file, func, text;
    uint32_t msgOff;
};

// Lines held during start-up; bounded, the first error is what matters.
constexpr size_t kMaxHeld = 64;

struct SinkState {
    std::mutex lk;
    fLogSink out = log_default_sink;
    bool holding = false;
    bool haveCause = false;
    StartupCause cause;
    std::vector<HeldLine> held;
};

SinkState gState;

std::string strip_decoration(std::string m)
{
    while (!m.empty() && (m.back() == '\n' || m.back() == '!' || m.back() == ' ')) {
        m.pop_back();
    }
    const std::string tail = " err";
    if (m.size() >= tail.size() && m.compare(m.size() - tail.size(), tail.size(), tail) == 0) {
        m.erase(m.size() - tail.size());
    }
    return m;
}

// "..., msg:No such file or directory!!!!" or "msg=...": the system's text.
std::string sys_message(const std::string& m)
{
    size_t at = m.find("msg:");
    if (at == std::string::npos) {
        at = m.find("msg=");
    }
    if (at == std::string::npos) {
        return "";
    }
    std::string s = m.substr(at + 4);
    const size_t bang = s.find('!');
    if (bang != std::string::npos) {
        s.erase(bang);
    }
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
        s.pop_back();
    }
    return s;
}

void station_sink(const tLogLine* l, void*)
{
    fLogSink out;
    {
        std::lock_guard<std::mutex> g(gState.lk);
        out = gState.out;
        if (l->level == LOG_LEV_ERROR && !gState.haveCause && gState.holding) {
            gState.haveCause = true;
            const std::string msg(l->text + l->msgOff, l->len - l->msgOff);
            gState.cause = {l->file, sys_message(msg), strip_decoration(msg)};
        }
        if (gState.holding && l->level <= LOG_LEV_ERROR &&
            __atomic_load_n(&gLogLevl, __ATOMIC_RELAXED) <= LOG_LEV_ERROR) {
            if (gState.held.size() < kMaxHeld) {
                gState.held.push_back({l->level, l->srcLine, l->file, l->func,
                                       std::string(l->text, l->len), l->msgOff});
            }
            return;
        }
    }
    out(l, nullptr);
}

} // namespace

bool parse_log_target(const std::string& text, LogTarget& out)
{
    if (text == "stdout") {
        out = LogTarget::Stdout;
    } else if (text == "syslog") {
        out = LogTarget::Syslog;
    } else if (text == "journal") {
        out = LogTarget::Journal;
    } else {
        return false;
    }
    return true;
}

const char* log_target_name(LogTarget target)
{
    switch (target) {
    case LogTarget::Syslog:
        return "syslog";
    case LogTarget::Journal:
        return "journal";
    default:
        return "stdout";
    }
}

void log_begin(LogTarget target, int level, const std::string& ident)
{
    static std::string gIdent; // openlog keeps the pointer
    {
        std::lock_guard<std::mutex> g(gState.lk);
        gState.holding = true;
        gState.haveCause = false;
        gState.held.clear();
        gState.out = target == LogTarget::Syslog    ? log_sink_syslog
                     : target == LogTarget::Journal ? log_sink_journal
                                                    : log_default_sink;
    }
    if (target == LogTarget::Syslog) {
        gIdent = ident;
        openlog(gIdent.c_str(), LOG_PID, LOG_DAEMON);
    }
    // Thread start and stop notices are for whoever follows the run.
    uint32_t mask = LOG_LEVELS_ALL;
    if (level < LOG_LEV_RUN) {
        mask &= ~LOG_LEVEL_BIT(LOG_LEV_OFF);
    }
    log_set_sink(station_sink, nullptr, mask);
}

StartupCause log_startup_done(bool ok)
{
    std::vector<HeldLine> held;
    fLogSink out;
    StartupCause cause;
    {
        std::lock_guard<std::mutex> g(gState.lk);
        gState.holding = false;
        held.swap(gState.held);
        out = gState.out;
        cause = gState.cause;
    }
    if (ok) {
        for (const HeldLine& h : held) {
            const tLogLine l{h.level, h.srcLine, h.file.c_str(), h.func.c_str(), h.text.c_str(),
                             static_cast<uint32_t>(h.text.size()), h.msgOff};
            out(&l, nullptr);
        }
    }
    return cause;
}

void log_end()
{
    log_set_sink(nullptr, nullptr, LOG_LEVELS_ALL);
    std::lock_guard<std::mutex> g(gState.lk);
    if (gState.out == log_sink_syslog) {
        closelog();
    }
    gState.out = log_default_sink;
    gState.holding = false;
}

} // namespace station
