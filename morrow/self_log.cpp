// SPDX-License-Identifier: Apache-2.0
// Log lines: formatting, call-site levels and routing to the sinks.
#include "self_log.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <libconfig.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "self_log.hpp"
#include "v2x_evthread.hpp"
#include "v2x_lock_guard.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

// The process-wide level. A hosting executable that defines gLogLevl keeps
// its own: the dynamic linker binds the libraries' references to the
// executable's definition first, and in a static link a strong definition
// beats this weak one. Programs that only load the libraries (dlopen, a
// language binding) get this one, at LOG_LEV_ERROR, the level the example
// station and its configuration start with.
extern "C" {
V2X_API __attribute__((weak)) eLogLevl gLogLevl = LOG_LEV_ERROR;
}

namespace {

constexpr int kLineBuf = 1024;
constexpr char gicLogStrAry[7][4] = {"OFF", "ERR", "RUN", "WAN", "TAE", "IFO", "LUD"};

// The switches and modes are C enumerations that a host may fill with any
// 32-bit value (every value other than 1 counts as off); they are
// read as plain integers so that no out-of-range enumeration is loaded.
template <typename E>
int _ival(const E& aicEnum)
{
    static_assert(sizeof(E) == sizeof(int), "32-bit enumeration");
    int v;
    memcpy(&v, &aicEnum, sizeof(v));
    return v;
}

template <typename E>
void _set_ival(E* aopEnum, int aicVal)
{
    static_assert(sizeof(E) == sizeof(int), "32-bit enumeration");
    memcpy(aopEnum, &aicVal, sizeof(aicVal));
}

}  // namespace

// Routing state of the log system. The configuration is a copy of the one
// given to log_system_init; until then gipLogCfg is null and every line goes
// to standard output.
static tLogCfg giLogCfg;
static tLogCfg* gipLogCfg = nullptr;
static FILE* gipLogFp = nullptr;  // open log file or null; guarded by giSvLogLk
static uint32_t giLogWriteCnt = 0;
static int giLogPpFdAry[2] = {-1, -1};  // log pipe: read end, write end; -1 when closed
static pthread_mutex_t giSvLogLk = PTHREAD_MUTEX_INITIALIZER;
// After a failed rotation the file switch stays on and every line retries
// the opening; the lines lost meanwhile are counted and said once, in the
// new file too, when a file opens again. Guarded by giSvLogLk.
static bool gibLogReopen = false;

// Writes one line or chunk to the sinks in the calling thread: standard
// output when its switch is on, the log file (under the file mutex, with
// rotation) when its switch is on and a file is open.
static void log_rotate_if_due();

static void log_deliver(const char* aipcTxt, size_t aicLen)
{
    if (_ival(gipLogCfg->stdoutLogSwt) == LOG_SWITCH_ON) {
        fwrite(aipcTxt, 1, aicLen, stdout);
        fflush(stdout);
    }
    if (_ival(gipLogCfg->fileLogSwt) == LOG_SWITCH_ON) {
        MutexLock lk(giSvLogLk);
        if (gipLogFp != nullptr || gibLogReopen) {
            log_rotate_if_due();
            if (gipLogFp != nullptr) {
                fwrite(aipcTxt, 1, aicLen, gipLogFp);
                fflush(gipLogFp);
                ++giLogWriteCnt;
            }
        }
    }
}

// Lines the log pipe had no room for: since the process started, and since
// the last notice that said how many were lost.
static std::atomic<uint64_t> giLogDropped{0};
static std::atomic<uint64_t> giLogDropUnsaid{0};

uint64_t log_dropped_lines()
{
    return giLogDropped.load(std::memory_order_relaxed);
}

extern "C" V2X_API unsigned long long log_lines_dropped(void)
{
    return static_cast<unsigned long long>(log_dropped_lines());
}

// The write end does not block: a line the pipe has no room for (the log
// thread is behind, or where it writes stalls) is dropped and counted, so no
// thread that logs - the core thread among them - ever waits for the log
// thread. A line of log_msg (at most 1023 bytes) is one write not above
// PIPE_BUF: whole or refused, never mixed with another thread's. Longer text
// (logger's) goes in PIPE_BUF pieces, each whole or refused; after a refused
// piece the rest is dropped with it, and the text counts as dropped.
static bool _pipe_put(int aicFd, const char* aipcTxt, size_t aicLen)
{
    while (aicLen > 0) {
        const size_t part = std::min(aicLen, static_cast<size_t>(PIPE_BUF));
        const ssize_t wr = write(aicFd, aipcTxt, part);
        if (wr < 0 && errno == EINTR) {
            continue;
        }
        if (wr != static_cast<ssize_t>(part)) {
            return false;
        }
        aipcTxt += part;
        aicLen -= part;
    }
    return true;
}

// The line that says how many lines were lost since the last such line.
constexpr size_t kDropNoteBuf = 96;
static int _drop_note(char* aopNote, uint64_t aicCnt)
{
    return snprintf(aopNote, kDropNoteBuf,
                    "%llu log lines dropped, the log thread did not keep up err!!!!\n",
                    static_cast<unsigned long long>(aicCnt));
}

static void _pipe_line(const char* aipcLine, size_t aicLen)
{
    const int fd = __atomic_load_n(&giLogPpFdAry[1], __ATOMIC_ACQUIRE);
    if (fd < 0) {
        return;  // stopped, or not yet serving: lost, as documented
    }
    // Whoever takes the unsaid count says it, once, ahead of its own line;
    // a line never goes in while its notice could not.
    const uint64_t unsaid = giLogDropUnsaid.exchange(0, std::memory_order_acq_rel);
    if (unsaid != 0) {
        char note[kDropNoteBuf];
        const int n = _drop_note(note, unsaid);
        if (n <= 0 || !_pipe_put(fd, note, static_cast<size_t>(n))) {
            giLogDropUnsaid.fetch_add(unsaid + 1, std::memory_order_acq_rel);
            giLogDropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
    if (!_pipe_put(fd, aipcLine, aicLen)) {
        giLogDropUnsaid.fetch_add(1, std::memory_order_acq_rel);
        giLogDropped.fetch_add(1, std::memory_order_relaxed);
    }
}

static void _route(const char* aipcLine, size_t aicLen)
{
    if (gipLogCfg == nullptr) {
        fwrite(aipcLine, 1, aicLen, stdout);
        fflush(stdout);
        return;
    }
    if (_ival(gipLogCfg->logRunMd) == LOG_RUN_NEW_PTHREAD) {
        _pipe_line(aipcLine, aicLen);
        return;
    }
    log_deliver(aipcLine, aicLen);
}

// ---------------------------------------------------------------------------
// The host's sink. Its three fields change together under a sequence count,
// so a line being logged while the host switches sinks never pairs one
// sink's function with the other's user pointer.

namespace {

std::atomic<unsigned> giSinkSeq{0};
std::atomic<fLogSink> giSinkFn{nullptr};
std::atomic<void*> giSinkUser{nullptr};
std::atomic<uint32_t> giSinkMask{LOG_LEVELS_ALL};
// Set while a sink or a mask is in force: the default path tests only this.
std::atomic<bool> gibHostRouted{false};
pthread_mutex_t giSinkSetLk = PTHREAD_MUTEX_INITIALIZER;

struct SinkView {
    fLogSink fn;
    void* user;
    uint32_t mask;
};

SinkView _sink_view()
{
    for (;;) {
        const unsigned s1 = giSinkSeq.load(std::memory_order_acquire);
        if ((s1 & 1u) != 0) {
            continue;  // a switch is half done: its writer finishes at once
        }
        SinkView v{giSinkFn.load(std::memory_order_relaxed),
                   giSinkUser.load(std::memory_order_relaxed),
                   giSinkMask.load(std::memory_order_relaxed)};
        std::atomic_thread_fence(std::memory_order_acquire);
        if (giSinkSeq.load(std::memory_order_relaxed) == s1) {
            return v;
        }
    }
}

bool _level_in(uint32_t aicMask, unsigned aicLvl)
{
    return aicLvl < 7 && (aicMask & LOG_LEVEL_BIT(aicLvl)) != 0;
}

// A direct notice passes the level the host set as well as its mask: it has
// no call-site gate of its own.
bool _direct_passes(uint32_t aicMask, unsigned aicLvl)
{
    if (!_level_in(aicMask, aicLvl)) {
        return false;
    }
    return aicLvl == 0 ||
           static_cast<int>(aicLvl) <= static_cast<int>(__atomic_load_n(&gLogLevl, __ATOMIC_RELAXED));
}

// The record a sink receives; null names become "" (the sink never sees null).
tLogLine _line(eLogLevl aicLvl, int32_t aicSrcLine, const char* aipcFile, const char* aipcFunc,
               const char* aipcText, size_t aicLen, size_t aicMsgOff)
{
    return tLogLine{aicLvl,
                    aicSrcLine,
                    aipcFile != nullptr ? aipcFile : "",
                    aipcFunc != nullptr ? aipcFunc : "",
                    aipcText,
                    static_cast<uint32_t>(aicLen),
                    static_cast<uint32_t>(aicMsgOff)};
}

void _hand_over(const SinkView& aicView, const tLogLine& aicLine)
{
    if (aicView.fn != nullptr) {
        aicView.fn(&aicLine, aicView.user);
    } else {
        log_default_sink(&aicLine, nullptr);
    }
}

void _direct(eLogLevl aicLvl, const char* aipcFile, const char* aipcFunc, const char* aipcText,
             size_t aicLen)
{
    if (!gibHostRouted.load(std::memory_order_acquire)) {
        fwrite(aipcText, 1, aicLen, stdout);
        fflush(stdout);
        return;
    }
    const SinkView v = _sink_view();
    if (!_direct_passes(v.mask, static_cast<unsigned>(aicLvl))) {
        return;
    }
    _hand_over(v, _line(aicLvl, 0, aipcFile, aipcFunc, aipcText, aicLen, 0));
}

}  // namespace

extern "C" V2X_API int log_set_sink(fLogSink aipSink, void* aipUser, uint32_t aicLevelMask)
{
    if ((aicLevelMask & ~LOG_LEVELS_ALL) != 0) {
        return -ERR_LOG_PARM_CONT;
    }
    MutexLock lk(giSinkSetLk);
    giSinkSeq.fetch_add(1, std::memory_order_acq_rel);  // odd: readers wait
    giSinkFn.store(aipSink, std::memory_order_relaxed);
    giSinkUser.store(aipUser, std::memory_order_relaxed);
    giSinkMask.store(aicLevelMask, std::memory_order_relaxed);
    gibHostRouted.store(aipSink != nullptr || aicLevelMask != LOG_LEVELS_ALL,
                        std::memory_order_relaxed);
    giSinkSeq.fetch_add(1, std::memory_order_release);
    return LOG_SUCCESS;
}

extern "C" V2X_API void log_default_sink(const tLogLine* aipcLine, void* aipUser)
{
    (void)aipUser;
    if (aipcLine == nullptr || aipcLine->text == nullptr) {
        return;
    }
    if (aipcLine->srcLine == 0 && aipcLine->msgOff == 0) {
        fwrite(aipcLine->text, 1, aipcLine->len, stdout);
        fflush(stdout);
        return;
    }
    _route(aipcLine->text, aipcLine->len);
}

extern "C" V2X_API int log_syslog_priority(eLogLevl aicLevel)
{
    switch (_ival(aicLevel)) {
    case LOG_LEV_ERROR:
        return LOG_ERR;
    case LOG_LEV_WARN:
        return LOG_WARNING;
    case LOG_LEV_INFO:
        return LOG_INFO;
    case LOG_LEV_TRACE:
    case LOG_LEV_LOUD:
        return LOG_DEBUG;
    default:
        return LOG_NOTICE;  // run and level-0 lifecycle lines
    }
}

namespace {

// A line as the ready sinks write it: its message without the trailing
// newline, and "file:line " in front when it came from a call site.
struct PlainLine {
    const char* msg = "";
    int len = 0;
    char where[128] = {0};
};

bool _plain_message(const tLogLine* aipcLine, PlainLine* aopOut)
{
    if (aipcLine == nullptr || aipcLine->text == nullptr) {
        return false;
    }
    const uint32_t off = aipcLine->msgOff <= aipcLine->len ? aipcLine->msgOff : 0;
    aopOut->msg = aipcLine->text + off;
    aopOut->len = static_cast<int>(aipcLine->len - off);
    while (aopOut->len > 0 &&
           (aopOut->msg[aopOut->len - 1] == '\n' || aopOut->msg[aopOut->len - 1] == '\r')) {
        --aopOut->len;
    }
    if (aipcLine->srcLine != 0) {
        snprintf(aopOut->where, sizeof(aopOut->where), "%s:%d ", aipcLine->file,
                 static_cast<int>(aipcLine->srcLine));
    }
    return true;
}

}  // namespace

extern "C" V2X_API void log_sink_syslog(const tLogLine* aipcLine, void* aipUser)
{
    (void)aipUser;
    PlainLine p;
    if (_plain_message(aipcLine, &p)) {
        syslog(log_syslog_priority(aipcLine->level), "%s%.*s", p.where, p.len, p.msg);
    }
}

extern "C" V2X_API void log_sink_journal(const tLogLine* aipcLine, void* aipUser)
{
    (void)aipUser;
    PlainLine p;
    if (!_plain_message(aipcLine, &p)) {
        return;
    }
    // One write per line, so lines of several threads stay whole.
    char out[kLineBuf + 160];
    const int len = snprintf(out, sizeof(out), "<%d>%s%.*s\n", log_syslog_priority(aipcLine->level),
                             p.where, p.len, p.msg);
    if (len > 0) {
        const size_t wl = std::min(static_cast<size_t>(len), sizeof(out) - 1);
        ssize_t wr = write(STDERR_FILENO, out, wl);
        (void)wr;
    }
}

extern "C" V2X_API void log_direct_text(eLogLevl aicLevel, const char* aipcFile,
                                        const char* aipcFunc, const char* aipcText)
{
    if (aipcText == nullptr) {
        return;
    }
    _direct(aicLevel, aipcFile, aipcFunc, aipcText, strlen(aipcText));
}

extern "C" V2X_API int log_direct_wanted(eLogLevl aicLevel)
{
    if (!gibHostRouted.load(std::memory_order_acquire)) {
        return 1;
    }
    return _direct_passes(_sink_view().mask, static_cast<unsigned>(_ival(aicLevel))) ? 1 : 0;
}

extern "C" V2X_API void log_msg(const eLogLevl aicLogLvl, const char* aipcFlNme,
                                const char* aipcFuncNme, const int aicLnNum, const char* format,
                                ...)
{
    unsigned lvl = static_cast<unsigned>(aicLogLvl);
    const bool host = gibHostRouted.load(std::memory_order_acquire);
    SinkView view{nullptr, nullptr, LOG_LEVELS_ALL};
    if (host) {
        view = _sink_view();
        if (!_level_in(view.mask, lvl)) {
            return;  // silenced by the host: not even formatted
        }
    }
    char line[kLineBuf];
    memset(line, 0, sizeof(line));

    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm lt;
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &lt);

    const char* name = lvl < 7 ? gicLogStrAry[lvl] : "???";
    int pre = snprintf(line, kLineBuf - 1, "[%s:%02d:%02d:%02d.%08ld %15s %04d] ", name, lt.tm_hour,
                       lt.tm_min, lt.tm_sec, static_cast<long>(tv.tv_usec),
                       aipcFlNme != nullptr ? aipcFlNme : "", aicLnNum);
    if (pre < 0) {
        return;
    }
    if (pre > kLineBuf - 2) {
        pre = kLineBuf - 2;
    }
    size_t room = static_cast<size_t>(kLineBuf - 1 - pre);
    if (aicLogLvl == LOG_LEV_TRACE) {
        snprintf(line + pre, room, "%s() start\n", aipcFuncNme != nullptr ? aipcFuncNme : "");
    } else if (format != nullptr) {
        va_list ap;
        va_start(ap, format);
        vsnprintf(line + pre, room, format, ap);
        va_end(ap);
    }
    const size_t len = strlen(line);
    if (!host) {
        _route(line, len);
        return;
    }
    // A line from a call site always has a line number the sink can tell
    // apart from a direct notice's 0.
    const tLogLine ln = _line(aicLogLvl, aicLnNum != 0 ? aicLnNum : -1, aipcFlNme, aipcFuncNme,
                              line, len, std::min(static_cast<size_t>(pre), len));
    _hand_over(view, ln);
}

extern "C" V2X_API void logger(int level, pid_t pid, const char* aipcMsg)
{
    (void)pid;
    if (aipcMsg == nullptr) {
        return;
    }
    const size_t len = strlen(aipcMsg);
    if (!gibHostRouted.load(std::memory_order_acquire)) {
        _route(aipcMsg, len);
        return;
    }
    // Under a host's sink the level says how the text is handled.
    const SinkView v = _sink_view();
    const unsigned lvl = level >= 0 && level < 7 ? static_cast<unsigned>(level) : 0u;
    if (!_level_in(v.mask, lvl)) {
        return;
    }
    // srcLine -1: routed like a line, not like a direct notice.
    _hand_over(v, _line(static_cast<eLogLevl>(lvl), -1, "", "", aipcMsg, len, 0));
}

// Direct notices of this file: formatted into one stack buffer, a newline
// added when the text has none when aicNl is set.
static void _say_at(eLogLevl aicLvl, const char* aipcFunc, bool aicNl, const char* aipcFmt, ...)
    __attribute__((format(printf, 4, 5)));
static void _say_at(eLogLevl aicLvl, const char* aipcFunc, bool aicNl, const char* aipcFmt, ...)
{
    if (log_direct_wanted(aicLvl) == 0) {
        return;
    }
    char txt[kLineBuf + 1];
    va_list ap;
    va_start(ap, aipcFmt);
    vsnprintf(txt, kLineBuf - 1, aipcFmt, ap);
    va_end(ap);
    size_t n = strlen(txt);
    if (aicNl && (n == 0 || txt[n - 1] != '\n')) {
        txt[n++] = '\n';
        txt[n] = '\0';
    }
    _direct(aicLvl, "self_log.cpp", aipcFunc, txt, n);
}

extern "C" V2X_API void set_global_log_level(const eLogLevl aicLogLevl)
{
    // The value may lie outside the enumeration (that is what the check is
    // for), so it is handled as a plain integer and never loaded as the enum.
    int32_t lvl;
    memcpy(&lvl, &aicLogLevl, sizeof(lvl));
    // Stored once and atomically: other threads read it at every log line.
    if (static_cast<uint32_t>(lvl) > LOG_LEV_MAX) {
        _say_at(LOG_LEV_RUN, __func__, false, "gLogLevl=%d\n", lvl);
        _say_at(LOG_LEV_ERROR, __func__, false, "Input debug level(%d) err, set %d value\n", lvl,
                static_cast<int>(LOG_LEV_RUN));
        __atomic_store_n(&gLogLevl, LOG_LEV_RUN, __ATOMIC_RELAXED);
        _say_at(LOG_LEV_RUN, __func__, false, "New gLogLevl=%d\n", static_cast<int>(LOG_LEV_RUN));
    } else {
        __atomic_store_n(&gLogLevl, static_cast<eLogLevl>(lvl), __ATOMIC_RELAXED);
        _say_at(LOG_LEV_RUN, __func__, false, "gLogLevl=%d\n", lvl);
    }
}

// ---------------------------------------------------------------------------
// Log system: configuration, files, rotation and the log thread.

namespace {

constexpr char gicDefLogPath[] = "/opt/v2x/log/v2xLog";
constexpr uint32_t gicDefSaveMaxCnt = 10000;
constexpr size_t kNameBuf = 256;  // log file names: at most 254 characters

uint32_t giLogFileBkupCnt = 0;  // selects the next file in LOG_FILE_TWO mode
pthread_t giLogPthdId = 0;      // the log thread, or 0
// The log thread's event base and its stop request: the thread waits on the
// pipe's read end and on the stop, never on a timeout.
struct event_base* gipLogEtBse = nullptr;
V2xLoopStop giLogStop(gipLogEtBse);
struct event* gipLogRxEt = nullptr;  // the pipe's read event, on the log thread
bool gibLogSysStarted = false;  // between log_system_init and log_system_exit

// The log system's own texts are direct notices; a newline is added to those
// that have none. Errors at LOG_LEV_ERROR, progress at LOG_LEV_RUN.
#define SAY_ERR(...) _say_at(LOG_LEV_ERROR, __func__, true, __VA_ARGS__)
#define SAY_RUN(...) _say_at(LOG_LEV_RUN, __func__, true, __VA_ARGS__)

// Names longer than 254 characters are cut on purpose (the name limit).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
// Builds the next log file name by fileMod into aopName (kNameBuf bytes).
// False for a fileMod that is neither LOG_FILE_TWO nor LOG_FILE_TIME.
bool _make_log_name(char* aopName)
{
    memset(aopName, 0, kNameBuf);
    int mode = _ival(giLogCfg.fileMod);
    if (mode == LOG_FILE_TWO) {
        // A name longer than 254 characters is cut there.
        snprintf(aopName, kNameBuf - 1, "%s-%02d.log", giLogCfg.saveLogPath,
                 static_cast<int>(giLogFileBkupCnt % 2));
        ++giLogFileBkupCnt;
        return true;
    }
    if (mode == LOG_FILE_TIME) {
        time_t now = time(nullptr);
        struct tm lt;
        localtime_r(&now, &lt);
        snprintf(aopName, kNameBuf - 1, "%s-%04d-%02d-%02d-%02d-%02d-%02d-%06d.log",
                 giLogCfg.saveLogPath, lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour,
                 lt.tm_min, lt.tm_sec, static_cast<int>(random() % 100000));
        return true;
    }
    return false;
}
#pragma GCC diagnostic pop

// Opens a log file for writing from its start. Refused: a symlink at the
// name (a planted link must not redirect the lines onto another file), and
// anything but a regular file of this user. A time-stamped name is new
// (O_EXCL), so two rotations in one second never share a file; the caller
// picks another name on EEXIST. Close-on-exec, mode 0640.
FILE* _open_log_file(const char* aipcName, bool aicMustBeNew)
{
    const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (aicMustBeNew ? O_EXCL : 0);
    const int fd = open(aipcName, flags, 0640);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        ftruncate(fd, 0) != 0) {
        // Checked before anything of it is cut: a file of someone else stays.
        close(fd);
        errno = EPERM;
        return nullptr;
    }
    FILE* fp = fdopen(fd, "w+");
    if (fp == nullptr) {
        close(fd);
    }
    return fp;
}

// Time-stamped files kept; older ones are removed when a new one opens, so
// the log directory cannot fill up over months.
constexpr size_t kKeepTimedFiles = 10;

// The time-stamped files this process created, oldest first (at most
// kKeepTimedFiles: older ones are gone). Their names need not sort by
// creation: a board without a real-time clock may boot with a clock behind
// the files of an earlier run.
std::vector<std::string> giCreatedTimed;

// Removes all but the newest kKeepTimedFiles time-stamped files of this
// path. Files of earlier runs count as older than any this process created
// and among themselves sort by name (time first, fixed widths); this
// process's own are ordered by when it created them, and the file in use,
// the last one created, is never removed.
void _prune_timed_logs(const std::string& aicInUse)
{
    std::string base(giLogCfg.saveLogPath, strnlen(giLogCfg.saveLogPath, sizeof(giLogCfg.saveLogPath)));
    const size_t slash = base.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : base.substr(0, slash == 0 ? 1 : slash);
    const std::string prefix = (slash == std::string::npos ? base : base.substr(slash + 1)) + "-";
    const std::string inUse = aicInUse.substr(aicInUse.rfind('/') == std::string::npos
                                                  ? 0
                                                  : aicInUse.rfind('/') + 1);
    giCreatedTimed.erase(std::remove(giCreatedTimed.begin(), giCreatedTimed.end(), inUse),
                         giCreatedTimed.end());
    giCreatedTimed.push_back(inUse);
    // "-YYYY-MM-DD-HH-MM-SS-NNNNNN.log" after the base name.
    constexpr size_t kStampLen = sizeof("2026-12-08-16-10-00-000000.log") - 1;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    std::vector<std::string> earlier;
    size_t ownFound = 0;
    while (struct dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() != prefix.size() + kStampLen || n.compare(0, prefix.size(), prefix) != 0 ||
            n.compare(n.size() - 4, 4, ".log") != 0) {
            continue;
        }
        if (std::find(giCreatedTimed.begin(), giCreatedTimed.end(), n) != giCreatedTimed.end()) {
            ++ownFound;
        } else {
            earlier.push_back(n);
        }
    }
    closedir(d);
    std::sort(earlier.begin(), earlier.end());
    // Oldest first: the earlier runs' files, then this process's own.
    std::vector<std::string> order = earlier;
    for (const std::string& n : giCreatedTimed) {
        order.push_back(n);
    }
    size_t present = earlier.size() + ownFound;
    for (size_t i = 0; present > kKeepTimedFiles && i + 1 < order.size(); ++i) {
        if (unlink((dir + "/" + order[i]).c_str()) == 0) {
            --present;
        }
        giCreatedTimed.erase(std::remove(giCreatedTimed.begin(), giCreatedTimed.end(), order[i]),
                             giCreatedTimed.end());
    }
    if (giCreatedTimed.size() > kKeepTimedFiles) {
        giCreatedTimed.erase(giCreatedTimed.begin(),
                             giCreatedTimed.end() - static_cast<long>(kKeepTimedFiles));
    }
}

// Makes the next name and opens it; a time-stamped name that exists already
// is replaced by another one.
FILE* _open_next_log(char* aopName)
{
    const bool timed = _ival(giLogCfg.fileMod) == LOG_FILE_TIME;
    for (int tries = 0; tries < 8; ++tries) {
        if (!_make_log_name(aopName)) {
            return nullptr;
        }
        FILE* fp = _open_log_file(aopName, timed);
        if (fp != nullptr && timed) {
            _prune_timed_logs(aopName);
        }
        if (fp != nullptr || !timed || errno != EEXIST) {
            return fp;
        }
    }
    return nullptr;
}

// The file that a failed rotation could not open, retried by every line
// (see log_rotate_if_due). Guarded by giSvLogLk.
char giReopenName[kNameBuf];
uint64_t giLogGapLines = 0;

// A read that fills the buffer may stop inside a line; the rest of that
// line is already in the pipe (each line goes in with one write), so the
// start is kept and goes out with its rest. Lines cut in two pieces, each
// with its own write to the sinks, could take another thread's notice on
// standard output between them, or a rotation. Only the log thread
// touches these.
char giLogCut[kLineBuf];
size_t giLogCutLen = 0;

// At most this many reads per call (a full pipe's worth), so a call ends
// while others keep logging; a cut line's start waits for the next call.
constexpr int kServeReads = 64;

void _deliver_cut()
{
    if (giLogCutLen > 0) {
        log_deliver(giLogCut, giLogCutLen);
        giLogCutLen = 0;
    }
}

// Reads the pipe, at most 1023 bytes at a time, and delivers whole lines;
// text without a line end goes as it is once nothing more is waiting or
// the buffer is full. Each read's text counts up to its first zero byte.
// Returns the first read()'s count; an empty pipe (the read end does not
// block) is no error.
ssize_t _serve_log_pipe(int aicFd)
{
    char* const buf = giLogCut;
    ssize_t first = 0;
    int err = 0;
    for (int i = 0; i < kServeReads; ++i) {
        const size_t want = sizeof(giLogCut) - 1 - giLogCutLen;
        const ssize_t n = read(aicFd, buf + giLogCutLen, want);
        if (i == 0) {
            first = n;
            err = errno;
        }
        if (n <= 0) {
            _deliver_cut();  // nothing more waiting: no rest to wait for
            break;
        }
        giLogCutLen += strnlen(buf + giLogCutLen, static_cast<size_t>(n));
        // Less than asked: all that was waiting, whole writes only.
        if (static_cast<size_t>(n) < want || giLogCutLen == 0 || buf[giLogCutLen - 1] == '\n') {
            _deliver_cut();
            break;
        }
        size_t out = giLogCutLen;
        while (out > 0 && buf[out - 1] != '\n') {
            --out;
        }
        if (out == 0) {
            _deliver_cut();  // no line end in a full buffer: text longer than a line
            continue;
        }
        log_deliver(buf, out);
        memmove(buf, buf + out, giLogCutLen - out);
        giLogCutLen -= out;
    }
    if (first == 0 || (first < 0 && err != EAGAIN && err != EINTR)) {
        SAY_ERR("read() err, msg:%s!!!!\n", first == 0 ? "end of pipe" : strerror(err));
    }
    return first;
}

void _on_log_pipe(evutil_socket_t aicFd, short, void*)
{
    if (_serve_log_pipe(aicFd) == 0 && gipLogRxEt != nullptr) {
        event_del(gipLogRxEt);  // write end gone: nothing more will come
    }
}

// What the log thread tells log_system_init: serving, or not able to.
struct LogThreadStart {
    std::mutex mtx;
    std::condition_variable cv;
    int state = 0;  // 0 not yet, 1 serving, -1 failed
    // Notifies under the lock: the waiter's record may be gone as soon as
    // the lock is free.
    void post(int aicState)
    {
        std::lock_guard<std::mutex> lk(mtx);
        state = aicState;
        cv.notify_all();
    }
    int wait()
    {
        std::unique_lock<std::mutex> lk(mtx);
        cv.wait(lk, [this] { return state != 0; });
        return state;
    }
};

// At most this many reads empty the pipe at a stop (a megabyte: far above
// a pipe's capacity), so threads that keep logging cannot hold the stop.
// Each call reads up to kServeReads times.
constexpr int kDrainReads = 1024;

// The log thread: a loop of its own that serves the pipe's read end as soon
// as it is readable, until log_system_exit asks it to stop. Lines written
// before the stop are written out before it ends.
void* _rx_log_func_pth(void* aipStart)
{
    static char gicExitVal[] = "_rx_log_func_pth() exit";
    auto* start = static_cast<LogThreadStart*>(aipStart);
    const int rfd = __atomic_load_n(&giLogPpFdAry[0], __ATOMIC_ACQUIRE);
    bool told = false;
    giLogStop.run([&](struct event_base* aipBase) {
        gipLogRxEt = event_new(aipBase, rfd, EV_READ | EV_PERSIST, _on_log_pipe, nullptr);
        const bool ok = gipLogRxEt != nullptr && event_add(gipLogRxEt, nullptr) == 0;
        start->post(ok ? 1 : -1);  // start is the owner's: not used after this
        told = true;
        return ok ? 0 : -1;
    });
    if (!told) {
        start->post(-1);  // no base or no wake-up: the loop never ran
    } else {
        for (int i = 0; i < kDrainReads / kServeReads && _serve_log_pipe(rfd) > 0; ++i) {
        }
        _deliver_cut();  // a start whose rest never came
    }
    v2x_event_release(gipLogRxEt);
    if (struct event_base* b = giLogStop.detach()) {
        event_base_free(b);
    }
    return gicExitVal;
}

// Starts the log thread on the pipe whose read end is published, and waits
// until it serves it. 0, pthread_create's error, or -1 when the thread could
// not make its loop (it has ended and is joined then).
int _start_log_thread()
{
    if (!v2x_event_threads_ready()) {
        return -1;
    }
    LogThreadStart start;
    const int rc = giLogStop.start(giLogPthdId, _rx_log_func_pth, &start);
    if (rc != 0) {
        return rc;
    }
    if (start.wait() != 1) {
        giLogStop.stop_and_join(giLogPthdId);
        return -1;
    }
    return 0;
}

}  // namespace

// Starts the next log file when the current one has had its share of
// writes, or retries the one a failed rotation could not open. Called with
// giSvLogLk held.
static void log_rotate_if_due()
{
    if (gipLogFp == nullptr && gibLogReopen) {
        // The same name again (a LOG_FILE_TWO turn is not skipped); a
        // time-stamped one that appeared meanwhile is replaced.
        FILE* fp = _open_log_file(giReopenName, _ival(giLogCfg.fileMod) == LOG_FILE_TIME);
        if (fp == nullptr && errno == EEXIST) {
            fp = _open_next_log(giReopenName);
        } else if (fp != nullptr && _ival(giLogCfg.fileMod) == LOG_FILE_TIME) {
            _prune_timed_logs(giReopenName);
        }
        if (fp == nullptr) {
            ++giLogGapLines;
            return;
        }
        gipLogFp = fp;
        giLogWriteCnt = 0;
        gibLogReopen = false;
        SAY_RUN("New save log path=%s\n", giReopenName);
        SAY_ERR("log file open again: %llu line(s) lost------\n",
                static_cast<unsigned long long>(giLogGapLines));
        char note[96];
        const int n = snprintf(note, sizeof(note), "log file open again: %llu line(s) lost------\n",
                               static_cast<unsigned long long>(giLogGapLines));
        fwrite(note, 1, static_cast<size_t>(n), gipLogFp);
        giLogGapLines = 0;
        return;
    }
    if (gipLogFp == nullptr || giLogWriteCnt < giLogCfg.logSaveMaxCnt) {
        return;
    }
    SAY_RUN("logSaveMaxCnt=%d\n", static_cast<int>(giLogCfg.logSaveMaxCnt));
    SAY_RUN("rotate start");
    fclose(gipLogFp);
    gipLogFp = nullptr;
    char name[kNameBuf];
    if (_ival(giLogCfg.fileMod) != LOG_FILE_TWO && _ival(giLogCfg.fileMod) != LOG_FILE_TIME) {
        SAY_ERR("fileMod=%d err!!!!\n", _ival(giLogCfg.fileMod));
        return;
    }
    gipLogFp = _open_next_log(name);
    SAY_RUN("New save log path=%s\n", name);
    if (gipLogFp == nullptr) {
        // Said once; the next lines retry (a full disk or inode table may
        // have room again) and are counted as lost until one succeeds.
        SAY_ERR("fopen() err!!!!");
        memcpy(giReopenName, name, sizeof(giReopenName));
        gibLogReopen = true;
        giLogGapLines = 1;  // the line that found no file
        return;
    }
    giLogWriteCnt = 0;
}

extern "C" V2X_API int load_log_cfg(tLogCfg* aopcLogCfg, const char* aicpcLogCfgNme,
                                    const struct config_t* aicpcCfg)
{
    LOGT();
    config_setting_t* grp = nullptr;
    if (aicpcCfg != nullptr && aicpcLogCfgNme != nullptr) {
        grp = config_lookup(aicpcCfg, aicpcLogCfgNme);
    }
    if (grp == nullptr || aopcLogCfg == nullptr) {
        LOGE("config_lookup(%s) err!!!!\n", aicpcLogCfgNme != nullptr ? aicpcLogCfgNme : "(null)");
        return -ERR_LOG_LIBCFG_CFG_LOOKUP;
    }
    int v = 0;
    if (config_setting_lookup_int(grp, "logRunMd", &v) == CONFIG_TRUE) {
        _set_ival(&aopcLogCfg->logRunMd, v);
    }
    if (config_setting_lookup_int(grp, "fileMod", &v) == CONFIG_TRUE) {
        _set_ival(&aopcLogCfg->fileMod, v);
    }
    if (config_setting_lookup_int(grp, "logSaveMaxCnt", &v) == CONFIG_TRUE) {
        aopcLogCfg->logSaveMaxCnt = static_cast<uint32_t>(v);
    }
    if (config_setting_lookup_int(grp, "stdoutLogSwt", &v) == CONFIG_TRUE) {
        _set_ival(&aopcLogCfg->stdoutLogSwt, v);
    }
    if (config_setting_lookup_int(grp, "fileLogSwt", &v) == CONFIG_TRUE) {
        _set_ival(&aopcLogCfg->fileLogSwt, v);
    }
    const char* path = nullptr;
    if (config_setting_lookup_string(grp, "saveLogPath", &path) == CONFIG_TRUE &&
        path != nullptr) {
        memset(aopcLogCfg->saveLogPath, 0, sizeof(aopcLogCfg->saveLogPath));
        strncpy(aopcLogCfg->saveLogPath, path, sizeof(aopcLogCfg->saveLogPath) - 2);
    }
    return LOG_SUCCESS;
}

// Opens the first log file of a start when the file switch is on, with the
// defaults for what the configuration leaves unset. Its notices carry
// aipcFunc, the caller's name.
static int _open_first_log(const char* aipcFunc)
{
    if (_ival(giLogCfg.fileLogSwt) != LOG_SWITCH_ON) {
        _say_at(LOG_LEV_RUN, aipcFunc, true, "File log close");
        return LOG_SUCCESS;
    }
    if (giLogCfg.logSaveMaxCnt == 0) {
        giLogCfg.logSaveMaxCnt = gicDefSaveMaxCnt;
    }
    if (giLogCfg.saveLogPath[0] == '\0') {
        snprintf(giLogCfg.saveLogPath, sizeof(giLogCfg.saveLogPath), "%s", gicDefLogPath);
    }
    _say_at(LOG_LEV_RUN, aipcFunc, true, "Save log path=%s\n", giLogCfg.saveLogPath);
    char name[kNameBuf];
    if (_ival(giLogCfg.fileMod) != LOG_FILE_TWO && _ival(giLogCfg.fileMod) != LOG_FILE_TIME) {
        _say_at(LOG_LEV_ERROR, aipcFunc, true, "fileMod=%d err!!!!\n", _ival(giLogCfg.fileMod));
        return -ERR_LOG_PARM_CONT;
    }
    FILE* fp = _open_next_log(name);
    _say_at(LOG_LEV_RUN, aipcFunc, true, "New save log path=%s\n", name);
    if (fp == nullptr) {
        _say_at(LOG_LEV_ERROR, aipcFunc, true, "fopen() err!!!!");
        return -ERR_LOG_FOPEN;
    }
    MutexLock lk(giSvLogLk);
    gipLogFp = fp;
    giLogWriteCnt = 0;
    return LOG_SUCCESS;
}

// In the thread mode, makes the log pipe and starts the thread that serves
// it. Its notices carry aipcFunc, the caller's name.
static int _start_log_pipe(const char* aipcFunc)
{
    if (_ival(giLogCfg.logRunMd) != LOG_RUN_NEW_PTHREAD) {
        _say_at(LOG_LEV_RUN, aipcFunc, true, "Log no create pthread");
        return LOG_SUCCESS;
    }
    // The pipe comes first, so the thread's loop has its read end to
    // wait on; callers get the write end once the thread serves it.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        _say_at(LOG_LEV_ERROR, aipcFunc, true, "pipe() err, msg:%s!!!!\n", strerror(errno));
        return -ERR_LOG_PIPE_CREATE;
    }
    // The thread empties the pipe at a stop without blocking, and a
    // line that finds the pipe full is dropped rather than wait.
    if (fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0 || fcntl(fds[1], F_SETFL, O_NONBLOCK) != 0) {
        _say_at(LOG_LEV_ERROR, aipcFunc, true, "fcntl() err, msg:%s!!!!\n", strerror(errno));
        close(fds[0]);
        close(fds[1]);
        return -ERR_LOG_PIPE_CREATE;
    }
    __atomic_store_n(&giLogPpFdAry[0], fds[0], __ATOMIC_RELEASE);
    const int rc = _start_log_thread();
    if (rc != 0) {
        _say_at(LOG_LEV_ERROR, aipcFunc, true, "pthread_create() err, msg:%s\n",
                rc > 0 ? strerror(rc) : "event loop not made");
        __atomic_store_n(&giLogPpFdAry[0], -1, __ATOMIC_RELEASE);
        close(fds[0]);
        close(fds[1]);
        return -ERR_LOG_PTHREAD_CREATE;
    }
    __atomic_store_n(&giLogPpFdAry[1], fds[1], __ATOMIC_RELEASE);
    _say_at(LOG_LEV_RUN, aipcFunc, true, "giLogPpFdAry=%d %d\n", fds[0], fds[1]);
    return LOG_SUCCESS;
}

extern "C" V2X_API int log_system_init(const tLogCfg* aipcLogCfg)
{
    if (aipcLogCfg == nullptr) {
        SAY_ERR("aipcLogCfg=NULL");
        return -ERR_LOG_PARM_CONT;
    }
    // A second start without a stop restarts cleanly.
    if (gibLogSysStarted) {
        log_system_exit();
    }
    {
        MutexLock lk(giSvLogLk);
        memcpy(&giLogCfg, aipcLogCfg, sizeof(giLogCfg));
        giLogCfg.saveLogPath[sizeof(giLogCfg.saveLogPath) - 1] = '\0';
        gipLogCfg = &giLogCfg;
    }
    __atomic_store_n(&giLogPpFdAry[0], -1, __ATOMIC_RELEASE);
    __atomic_store_n(&giLogPpFdAry[1], -1, __ATOMIC_RELEASE);
    gibLogSysStarted = true;
    // The log-file mutex is statically initialised and never destroyed, so
    // it is ready before any file is opened and before the thread starts.

    const int rc = _open_first_log(__func__);
    if (rc != LOG_SUCCESS) {
        return rc;
    }
    if (_ival(giLogCfg.stdoutLogSwt) != LOG_SWITCH_ON) {
        SAY_RUN("Stdout log close");
    }
    return _start_log_pipe(__func__);
}

extern "C" V2X_API int log_system_exit(void)
{
    if (giLogPthdId != 0) {
        // The thread writes out what is in the pipe before it ends.
        SAY_RUN("Wait _rx_log_func_pth() pthread stop------");
        giLogStop.stop_and_join(giLogPthdId);
        SAY_RUN("_rx_log_func_pth() pthread already stop------");
    }
    if (gipLogCfg == nullptr) {
        return LOG_SUCCESS;
    }
    // Losses no later line has said yet are said here, where the lines went,
    // so a restart does not open its log with an earlier run's count.
    if (const uint64_t unsaid = giLogDropUnsaid.exchange(0, std::memory_order_acq_rel)) {
        char note[kDropNoteBuf];
        const int n = _drop_note(note, unsaid);
        if (n > 0) {
            log_deliver(note, static_cast<size_t>(n));
        }
    }
    if (_ival(giLogCfg.fileLogSwt) == LOG_SWITCH_ON) {
        MutexLock lk(giSvLogLk);
        if (gipLogFp != nullptr) {
            fclose(gipLogFp);
            gipLogFp = nullptr;
        }
        gibLogReopen = false;  // a stopped log system opens nothing
    }
    // The write end is taken away before it is closed, so a late caller
    // fails on -1 instead of writing into a descriptor that is reused.
    for (int i = 1; i >= 0; --i) {
        int fd = __atomic_exchange_n(&giLogPpFdAry[i], -1, __ATOMIC_ACQ_REL);
        if (fd >= 0) {
            close(fd);
        }
    }
    gibLogSysStarted = false;
    return LOG_SUCCESS;
}
