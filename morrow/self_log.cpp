// Log lines: formatting, call-site levels and routing to the sinks.
#include "self_log.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "self_log_sys.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

namespace {

constexpr int kLineBuf = 1024;
constexpr char gicLogStrAry[7][4] = {"OFF", "ERR", "RUN", "WAN", "TAE", "IFO", "LUD"};

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
    if (gipLogCfg->stdoutLogSwt == LOG_SWITCH_ON) {
        fwrite(aipcTxt, 1, aicLen, stdout);
        fflush(stdout);
    }
    if (gipLogCfg->fileLogSwt == LOG_SWITCH_ON) {
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
    if (gipLogCfg->logRunMd == LOG_RUN_NEW_PTHREAD) {
        // One write of at most 1022 bytes: below PIPE_BUF, so lines from
        // different threads never interleave. A failed write loses the line.
        ssize_t wr = write(giLogPpFdAry[1], aipcLine, aicLen);
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
    memcpy(&gLogLevl, &lvl, sizeof(lvl));
    printf("gLogLevl=%d\n", lvl);
    if (static_cast<uint32_t>(lvl) > LOG_LEV_MAX) {
        printf("Input debug level(%d) err, set %d value\n", lvl, static_cast<int>(LOG_LEV_RUN));
        gLogLevl = LOG_LEV_RUN;
        printf("New gLogLevl=%d\n", static_cast<int>(gLogLevl));
    }
    fflush(stdout);
}

// Log files are rotated by the log system; until it exists there is no file.
void log_rotate_if_due() {}
