// Log lines: formatting, call-site levels and routing to the sinks.
#include "self_log.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libconfig.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "self_log_sys.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

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
tLogCfg giLogCfg;
tLogCfg* gipLogCfg = nullptr;
FILE* gipLogFp = nullptr;
uint32_t giLogWriteCnt = 0;
int giLogPpFdAry[2] = {-1, -1};
pthread_mutex_t giSvLogLk = PTHREAD_MUTEX_INITIALIZER;

// Writes one line or chunk to the sinks in the calling thread: standard
// output when its switch is on, the log file (under the file mutex, with
// rotation) when its switch is on and a file is open.
void log_deliver(const char* aipcTxt, size_t aicLen)
{
    if (_ival(gipLogCfg->stdoutLogSwt) == LOG_SWITCH_ON) {
        fwrite(aipcTxt, 1, aicLen, stdout);
        fflush(stdout);
    }
    if (_ival(gipLogCfg->fileLogSwt) == LOG_SWITCH_ON) {
        pthread_mutex_lock(&giSvLogLk);
        if (gipLogFp != nullptr) {
            log_rotate_if_due();
            if (gipLogFp != nullptr) {
                fwrite(aipcTxt, 1, aicLen, gipLogFp);
                fflush(gipLogFp);
                ++giLogWriteCnt;
            }
        }
        pthread_mutex_unlock(&giSvLogLk);
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
        // One write of at most 1022 bytes: below PIPE_BUF, so lines from
        // different threads never interleave. A failed write loses the line.
        ssize_t wr = write(__atomic_load_n(&giLogPpFdAry[1], __ATOMIC_ACQUIRE), aipcLine, aicLen);
        (void)wr;
        return;
    }
    log_deliver(aipcLine, aicLen);
}

extern "C" V2X_API void log_msg(const eLogLevl aicLogLvl, const char* aipcFlNme,
                                const char* aipcFuncNme, const int aicLnNum, const char* format,
                                ...)
{
    char line[kLineBuf];
    memset(line, 0, sizeof(line));

    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm lt;
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &lt);

    unsigned lvl = static_cast<unsigned>(aicLogLvl);
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
    _route(line, strlen(line));
}

extern "C" V2X_API void logger(int level, pid_t pid, const char* aipcMsg)
{
    (void)level;
    (void)pid;
    if (aipcMsg == nullptr) {
        return;
    }
    _route(aipcMsg, strlen(aipcMsg));
}

extern "C" V2X_API void set_global_log_level(const eLogLevl aicLogLevl)
{
    // The value may lie outside the enumeration (that is what the check is
    // for), so it is handled as a plain integer and never loaded as the enum.
    int32_t lvl;
    memcpy(&lvl, &aicLogLevl, sizeof(lvl));
    printf("gLogLevl=%d\n", lvl);
    // Stored once and atomically: other threads read it at every log line.
    if (static_cast<uint32_t>(lvl) > LOG_LEV_MAX) {
        printf("Input debug level(%d) err, set %d value\n", lvl, static_cast<int>(LOG_LEV_RUN));
        __atomic_store_n(&gLogLevl, LOG_LEV_RUN, __ATOMIC_RELAXED);
        printf("New gLogLevl=%d\n", static_cast<int>(LOG_LEV_RUN));
    } else {
        __atomic_store_n(&gLogLevl, static_cast<eLogLevl>(lvl), __ATOMIC_RELAXED);
    }
    fflush(stdout);
}

// ---------------------------------------------------------------------------
// Log system: configuration, files, rotation and the log thread.

namespace {

constexpr char gicDefLogPath[] = "/opt/v2x/log/v2xLog";
constexpr uint32_t gicDefSaveMaxCnt = 10000;
constexpr size_t kNameBuf = 256;  // log file names: at most 254 characters

uint32_t giLogFileBkupCnt = 0;  // selects the next file in LOG_FILE_TWO mode
pthread_t giLogPthdId = 0;      // the log thread, or 0
std::atomic<bool> gibWlRunFlg{false};
bool gibLogSysStarted = false;  // between log_system_init and log_system_exit

// The log system's own texts go straight to standard output; a newline is added to
// those that have none.
void _say(const char* aipcFmt, ...) __attribute__((format(printf, 1, 2)));
void _say(const char* aipcFmt, ...)
{
    char txt[kLineBuf];
    va_list ap;
    va_start(ap, aipcFmt);
    vsnprintf(txt, sizeof(txt), aipcFmt, ap);
    va_end(ap);
    size_t n = strlen(txt);
    fputs(txt, stdout);
    if (n == 0 || txt[n - 1] != '\n') {
        fputc('\n', stdout);
    }
    fflush(stdout);
}

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

// Removes all but the newest kKeepTimedFiles time-stamped files of this
// path. Their names sort by time (year first, fixed widths).
void _prune_timed_logs()
{
    std::string base(giLogCfg.saveLogPath, strnlen(giLogCfg.saveLogPath, sizeof(giLogCfg.saveLogPath)));
    const size_t slash = base.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : base.substr(0, slash == 0 ? 1 : slash);
    const std::string prefix = (slash == std::string::npos ? base : base.substr(slash + 1)) + "-";
    // "-YYYY-MM-DD-HH-MM-SS-NNNNNN.log" after the base name.
    constexpr size_t kStampLen = sizeof("2026-12-08-16-10-00-000000.log") - 1;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() == prefix.size() + kStampLen && n.compare(0, prefix.size(), prefix) == 0 &&
            n.compare(n.size() - 4, 4, ".log") == 0) {
            names.push_back(n);
        }
    }
    closedir(d);
    if (names.size() <= kKeepTimedFiles) {
        return;
    }
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i + kKeepTimedFiles < names.size(); ++i) {
        unlink((dir + "/" + names[i]).c_str());
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
            _prune_timed_logs();
        }
        if (fp != nullptr || !timed || errno != EEXIST) {
            return fp;
        }
    }
    return nullptr;
}

void* _rx_log_func_pth(void*)
{
    static char gicExitVal[] = "_rx_log_func_pth() exit";
    // No cancellation point: the stop request clears the run flag and joins,
    // at most one 100 ms wait later.
    char buf[kLineBuf];
    while (gibWlRunFlg.load()) {
        // The read end is fetched on every pass: a pipe created after the
        // thread started is served as soon as it exists. poll, not select:
        // a descriptor above FD_SETSIZE must not overflow an fd_set.
        int rfd = __atomic_load_n(&giLogPpFdAry[0], __ATOMIC_ACQUIRE);
        struct pollfd pfd = {rfd, POLLIN, 0};
        int rc = poll(&pfd, rfd >= 0 ? 1 : 0, 100);
        if (rc < 0) {
            if (errno != EINTR) {
                _say("select()=-1, msg:%s!!!!\n", strerror(errno));
            }
            continue;
        }
        if (rc == 0 || rfd < 0 || (pfd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        if (!gibWlRunFlg.load()) {
            break;  // stop requested: lines still in the pipe are dropped
        }
        memset(buf, 0, sizeof(buf));
        ssize_t n = read(rfd, buf, sizeof(buf) - 1);
        if (n > 0) {
            log_deliver(buf, strlen(buf));
        } else {
            _say("read() err, msg:%s!!!!\n", n == 0 ? "end of pipe" : strerror(errno));
            if (n == 0) {
                // Write end gone: nothing more will come; do not spin.
                usleep(100000);
            }
        }
    }
    return gicExitVal;
}

}  // namespace

void log_rotate_if_due()
{
    if (gipLogFp == nullptr || giLogWriteCnt < giLogCfg.logSaveMaxCnt) {
        return;
    }
    _say("logSaveMaxCnt=%d\n", static_cast<int>(giLogCfg.logSaveMaxCnt));
    _say("rotate start");
    fclose(gipLogFp);
    gipLogFp = nullptr;
    char name[kNameBuf];
    if (_ival(giLogCfg.fileMod) != LOG_FILE_TWO && _ival(giLogCfg.fileMod) != LOG_FILE_TIME) {
        _say("fileMod=%d err!!!!\n", _ival(giLogCfg.fileMod));
        return;
    }
    gipLogFp = _open_next_log(name);
    _say("New save log path=%s\n", name);
    if (gipLogFp == nullptr) {
        _say("fopen() err!!!!");
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

extern "C" V2X_API int log_system_init(const tLogCfg* aipcLogCfg)
{
    if (aipcLogCfg == nullptr) {
        _say("aipcLogCfg=NULL");
        return -ERR_LOG_PARM_CONT;
    }
    // A second start without a stop restarts cleanly.
    if (gibLogSysStarted) {
        log_system_exit();
    }
    pthread_mutex_lock(&giSvLogLk);
    memcpy(&giLogCfg, aipcLogCfg, sizeof(giLogCfg));
    giLogCfg.saveLogPath[sizeof(giLogCfg.saveLogPath) - 1] = '\0';
    gipLogCfg = &giLogCfg;
    pthread_mutex_unlock(&giSvLogLk);
    __atomic_store_n(&giLogPpFdAry[0], -1, __ATOMIC_RELEASE);
    __atomic_store_n(&giLogPpFdAry[1], -1, __ATOMIC_RELEASE);
    gibLogSysStarted = true;
    // The log-file mutex is statically initialised and never destroyed, so
    // it is ready before any file is opened and before the thread starts.

    if (_ival(giLogCfg.fileLogSwt) == LOG_SWITCH_ON) {
        if (giLogCfg.logSaveMaxCnt == 0) {
            giLogCfg.logSaveMaxCnt = gicDefSaveMaxCnt;
        }
        if (giLogCfg.saveLogPath[0] == '\0') {
            snprintf(giLogCfg.saveLogPath, sizeof(giLogCfg.saveLogPath), "%s", gicDefLogPath);
        }
        _say("Save log path=%s\n", giLogCfg.saveLogPath);
        char name[kNameBuf];
        if (_ival(giLogCfg.fileMod) != LOG_FILE_TWO && _ival(giLogCfg.fileMod) != LOG_FILE_TIME) {
            _say("fileMod=%d err!!!!\n", _ival(giLogCfg.fileMod));
            return -ERR_LOG_PARM_CONT;
        }
        FILE* fp = _open_next_log(name);
        _say("New save log path=%s\n", name);
        if (fp == nullptr) {
            _say("fopen() err!!!!");
            return -ERR_LOG_FOPEN;
        }
        pthread_mutex_lock(&giSvLogLk);
        gipLogFp = fp;
        giLogWriteCnt = 0;
        pthread_mutex_unlock(&giSvLogLk);
    } else {
        _say("File log close");
    }
    if (_ival(giLogCfg.stdoutLogSwt) != LOG_SWITCH_ON) {
        _say("Stdout log close");
    }
    if (_ival(giLogCfg.logRunMd) == LOG_RUN_NEW_PTHREAD) {
        gibWlRunFlg.store(true);
        pthread_t tid;
        int rc = pthread_create(&tid, nullptr, _rx_log_func_pth, nullptr);
        if (rc != 0) {
            gibWlRunFlg.store(false);
            _say("pthread_create() err, msg:%s\n", strerror(rc));
            return -ERR_LOG_PTHREAD_CREATE;
        }
        giLogPthdId = tid;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            _say("pipe() err, msg:%s!!!!\n", strerror(errno));
            return -ERR_LOG_PIPE_CREATE;
        }
        __atomic_store_n(&giLogPpFdAry[0], fds[0], __ATOMIC_RELEASE);
        __atomic_store_n(&giLogPpFdAry[1], fds[1], __ATOMIC_RELEASE);
        _say("giLogPpFdAry=%d %d\n", fds[0], fds[1]);
    } else {
        _say("Log no create pthread");
    }
    return LOG_SUCCESS;
}

extern "C" V2X_API int log_system_exit(void)
{
    if (giLogPthdId != 0) {
        _say("Wait _rx_log_func_pth() pthread stop------");
        gibWlRunFlg.store(false);
        pthread_join(giLogPthdId, nullptr);
        _say("_rx_log_func_pth() pthread already stop------");
        giLogPthdId = 0;
    }
    if (gipLogCfg == nullptr) {
        return LOG_SUCCESS;
    }
    if (_ival(giLogCfg.fileLogSwt) == LOG_SWITCH_ON) {
        pthread_mutex_lock(&giSvLogLk);
        if (gipLogFp != nullptr) {
            fclose(gipLogFp);
            gipLogFp = nullptr;
        }
        pthread_mutex_unlock(&giSvLogLk);
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
