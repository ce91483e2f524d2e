// SPDX-License-Identifier: Apache-2.0
/* Log calls and levels.
 *
 * Every line goes through log_msg. Whether a line is produced at all is
 * decided at the call site: each source file defines a constant ceiling
 * gicDbLev, and a message of level L is written when L is at most the smaller
 * of gLogLevl and that ceiling. Level-0 (LOG_LEV_OFF) messages are always
 * written. The LOG* macros below apply that rule before anything is
 * formatted, so a suppressed message costs one comparison. */
#ifndef MORROW_SELF_LOG_H
#define MORROW_SELF_LOG_H

#include <stdint.h>
#include <sys/types.h>

#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

typedef enum _eLogLevl_ {
    LOG_LEV_OFF = 0,
    LOG_LEV_ERROR = 1,
    LOG_LEV_RUN = 2,
    LOG_LEV_WARN = 3,
    LOG_LEV_TRACE = 4,
    LOG_LEV_INFO = 5,
    LOG_LEV_LOUD = 6,
    LOG_LEV_MAX = 7
} eLogLevl;
V2X_STATIC_ASSERT(sizeof(eLogLevl) == 4, "eLogLevl is stored in 32 bits");

/* The process-wide level. Neither library defines it: the hosting
 * executable (and each test program) defines and initialises it. */
V2X_API extern eLogLevl gLogLevl;

/* Log system settings (where lines go). */
typedef enum _eLogRunMod_ {
    LOG_RUN_MAIN_PROGRESS = 0, /* sinks served in the calling thread */
    LOG_RUN_NEW_PTHREAD = 1,   /* sinks served by the log thread through a pipe */
    LOG_RUN_MAX = 2
} eLogRunMod;

typedef enum _eLogFileMod_ {
    LOG_FILE_TWO = 0,  /* two files used in turn */
    LOG_FILE_TIME = 1, /* a new time-stamped file at each rotation */
    LOG_FILE_MAX = 2
} eLogFileMod;

typedef enum _LogSwitch_ { LOG_SWITCH_OFF = 0, LOG_SWITCH_ON = 1, LOG_SWITCH_MAX = 2 } eLogSwitch;

typedef enum _eLogErrNum_ {
    LOG_SUCCESS = 0,
    ERR_LOG_TMP = 1,
    ERR_LOG_PTHREAD_CREATE = 2,
    ERR_LOG_PIPE_CREATE = 3,
    ERR_LOG_FOPEN = 4,
    ERR_LOG_LIBCFG_CFG_LOOKUP = 5,
    ERR_LOG_PARM_CONT = 40960,
    ERR_LOG_MAX = 40961
} eLogErrNum;

typedef struct _tLogCfg_ {
    eLogRunMod logRunMd;
    eLogFileMod fileMod;
    uint32_t logSaveMaxCnt; /* writes per file before rotation; 0 means 10000 */
    eLogSwitch stdoutLogSwt;
    eLogSwitch fileLogSwt;
    char saveLogPath[256]; /* empty means "/opt/v2x/log/v2xLog" */
} tLogCfg;
V2X_STATIC_ASSERT(sizeof(tLogCfg) == 276, "tLogCfg layout");

/* libconfig's configuration record (the host parses the configuration). */
struct config_t;

/* Fills the record from the group aicpcLogCfgNme of a parsed configuration:
 * the integer keys "logRunMd", "fileMod", "logSaveMaxCnt", "stdoutLogSwt",
 * "fileLogSwt" and the string "saveLogPath" (cut to 254 characters). Absent
 * keys leave the caller's values. 0, or -ERR_LOG_LIBCFG_CFG_LOOKUP (-5) when
 * the group does not exist (the record is then unchanged). */
V2X_API int load_log_cfg(tLogCfg* aopcLogCfg, const char* aicpcLogCfgNme,
                         const struct config_t* aicpcCfg);

/* Makes a copy of the configuration active and starts the sinks: the first
 * log file (LOG_FILE_TWO: "<path>-00.log"/"-01.log" in turn; LOG_FILE_TIME:
 * "<path>-YYYY-MM-DD-hh-mm-ss-NNNNNN.log"), opened "w+" and rotated after
 * logSaveMaxCnt writes, and in LOG_RUN_NEW_PTHREAD mode the log thread and
 * its pipe. Call once, before other threads log; a second call restarts the
 * log system (the running one is stopped first). 0, -40960 for a null
 * record or an invalid fileMod (file switch on), -4 when the file cannot be
 * opened, -2 when the thread cannot start (or cannot make its event loop),
 * -3 when the pipe cannot be made. */
V2X_API int log_system_init(const tLogCfg* aipcLogCfg);

/* Stops the log thread, which first writes out the lines still waiting in
 * the pipe, and joins it; closes the file and the pipe. The configuration
 * stays active: afterwards lines in calling-thread mode still go to standard
 * output when that switch is on, and lines in thread mode are lost. Always
 * 0; safe without a start and when called twice. */
V2X_API int log_system_exit(void);

/* Lines lost in LOG_RUN_NEW_PTHREAD mode since the process started. A line
 * that finds the log thread's pipe full (the thread, or the output it writes
 * to, does not keep up) is dropped whole rather than make the thread that
 * logs wait; the next line that fits is preceded by one line that says how
 * many were lost since the last such line: "<n> log lines dropped, the log
 * thread did not keep up err!!!!". Lines logged while the log system is
 * stopped are not counted. Any thread; never blocks. */
V2X_API unsigned long long log_lines_dropped(void);

/* Longest line log_msg produces, in characters; longer text is cut here. */
#define LOG_LINE_MAX 1022

/* Formats "[LVL:hh:mm:ss.uuuuuuuu file line] message" and routes it. At
 * LOG_LEV_TRACE the format is unused (may be null) and the message is
 * "<function>() start\n". Applies no level filter of its own. */
V2X_API void log_msg(const eLogLevl aicLogLvl, const char* aipcFlNme, const char* aipcFuncNme,
                     const int aicLnNum, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 5, 6)))
#endif
    ;

/* Routes ready-made text exactly as log_msg routes a line: no prefix, no
 * newline added. level and pid are accepted and unused. */
V2X_API void logger(int level, pid_t pid, const char* aipcMsg);

/* Sets gLogLevl; values above LOG_LEV_MAX fall back to LOG_LEV_RUN. */
V2X_API void set_global_log_level(const eLogLevl aicLogLevl);

/* ---------------------------------------------------------------------------
 * Where lines go: the host's sink.
 *
 * By default every line is routed as above (standard output, or the log
 * system's file and thread) and the libraries' few direct notices (the log
 * system's own texts, the level setter's, a received frame's dump) go straight
 * to standard output. A host that wants them elsewhere sets a sink: a
 * function that receives every line of both libraries, level 0 included,
 * with its level, source file, function and line number, and decides what to
 * do with it (its own logger, syslog, journald, nothing). */

/* One line as the sink receives it. Valid only during the call. */
typedef struct _tLogLine_ {
    eLogLevl level;       /* LOG_LEV_OFF (0) .. LOG_LEV_LOUD (6) */
    int32_t srcLine;      /* source line of the call; 0 for a direct notice */
    const char* file;     /* base name of the source file; never null */
    const char* func;     /* calling function; never null ("" when unknown) */
    const char* text;     /* the whole line as standard output would show it,
                             prefix included, zero-terminated */
    uint32_t len;         /* strlen(text), at most LOG_LINE_MAX for a line */
    uint32_t msgOff;      /* where the message starts in text (after the
                             "[LVL:time file line] " prefix; 0 without one) */
} tLogLine;

/* A host's sink. Called in the thread that logs, possibly from several
 * threads at once; it must not call the log functions itself. */
typedef void (*fLogSink)(const tLogLine* aipcLine, void* aipUser);

/* Bit of level L in a level mask, and the mask of every level. */
#define LOG_LEVEL_BIT(lvl) (1u << (unsigned)(lvl))
#define LOG_LEVELS_ALL 0x7Fu

/* Makes aipSink (with aipUser) receive every line of both libraries whose
 * level's bit is set in aicLevelMask. Lines of other levels are dropped
 * before they are formatted; level-0 lines too, which nothing else can
 * silence. Once a sink or a mask is set, the direct notices follow the same
 * rules as lines and also have to pass gLogLevl, and nothing goes to standard
 * output unless the sink puts it there. A null aipSink with a mask keeps the
 * default routing and only filters by the mask; (NULL, NULL,
 * LOG_LEVELS_ALL) restores today's behaviour exactly. While a sink is set
 * the log system's sinks (file, thread) are used only through
 * log_default_sink. Safe to call while other threads log: each line goes to
 * the old or the new sink, whole; the old sink's aipUser must stay valid
 * until the host knows no thread is still logging into it. Returns 0, or
 * -ERR_LOG_PARM_CONT for bits above LOG_LEVELS_ALL (nothing changes). */
V2X_API int log_set_sink(fLogSink aipSink, void* aipUser, uint32_t aicLevelMask);

/* The default routing as a sink, for a host sink that filters or copies and
 * then passes lines on: a line goes where it would go without a sink (the
 * log system's standard output, file or thread), a direct notice (msgOff 0,
 * srcLine 0) to standard output. aipUser is unused. */
V2X_API void log_default_sink(const tLogLine* aipcLine, void* aipUser);

/* syslog(3) priority for a level: LOG_ERR for errors, LOG_WARNING for
 * warnings, LOG_NOTICE for run and level-0 lifecycle lines, LOG_INFO for info,
 * LOG_DEBUG for trace and loud; LOG_NOTICE for anything else. */
V2X_API int log_syslog_priority(eLogLevl aicLevel);

/* A ready sink: syslog(3) with the level's priority and the message as
 * "file:line message" (no time: syslog stamps it). The host calls openlog
 * first if it wants its own identity or facility. aipUser is unused. */
V2X_API void log_sink_syslog(const tLogLine* aipcLine, void* aipUser);

/* A ready sink for a service under systemd: one write per line to standard
 * error, "<P>file:line message\n" with P the syslog priority, which journald
 * reads as the line's priority. aipUser is unused. */
V2X_API void log_sink_journal(const tLogLine* aipcLine, void* aipUser);

/* A library's direct notice (text that by default goes straight to standard
 * output, not through the log system): written there unchanged, or, once the
 * host set a sink or a mask, handed over under the rules above. */
V2X_API void log_direct_text(eLogLevl aicLevel, const char* aipcFile, const char* aipcFunc,
                             const char* aipcText);

/* 1 when a direct notice of this level would be written anywhere (always
 * under the default routing), 0 when the host silenced it: lets a caller skip
 * building a long notice nobody reads. */
V2X_API int log_direct_wanted(eLogLevl aicLevel);

/* Base name of a source path, without touching the string (the path is a
 * string literal, which POSIX basename may not modify). */
static inline const char* log_base_name(const char* aipcPath)
{
    const char* base = aipcPath;
    for (const char* p = aipcPath; *p != '\0'; ++p) {
        if (*p == '/') {
            base = p + 1;
        }
    }
    return base;
}

/* The call-site gate: the smaller of gLogLevl and the file's ceiling. The
 * level may be changed while other threads log, so it is read atomically. */
#define LOG_GATE(lvl)                                                                 \
    ((lvl) == LOG_LEV_OFF || ((int)(lvl) <= (int)__atomic_load_n(&gLogLevl, __ATOMIC_RELAXED) && \
                              (int)(lvl) <= (int)gicDbLev))

/* The source name a line carries: the file's base name, unless the file
 * defines LOG_SRC_NAME before this header (a module split over several
 * files keeps the one name its lines have always had). */
#ifndef LOG_SRC_NAME
#define LOG_SRC_NAME log_base_name(__FILE__)
#endif

#define LOG_AT(lvl, ...)                                                                  \
    do {                                                                                  \
        if (LOG_GATE(lvl)) {                                                              \
            log_msg((lvl), LOG_SRC_NAME, __func__, __LINE__, __VA_ARGS__);               \
        }                                                                                 \
    } while (0)

#define LOG0(...) LOG_AT(LOG_LEV_OFF, __VA_ARGS__)
#define LOGE(...) LOG_AT(LOG_LEV_ERROR, __VA_ARGS__)
#define LOGR(...) LOG_AT(LOG_LEV_RUN, __VA_ARGS__)
#define LOGW(...) LOG_AT(LOG_LEV_WARN, __VA_ARGS__)
#define LOGI(...) LOG_AT(LOG_LEV_INFO, __VA_ARGS__)
#define LOGL(...) LOG_AT(LOG_LEV_LOUD, __VA_ARGS__)
/* Function-entry trace: prints "<function>() start". */
#define LOGT()                                                                            \
    do {                                                                                  \
        if (LOG_GATE(LOG_LEV_TRACE)) {                                                    \
            log_msg(LOG_LEV_TRACE, LOG_SRC_NAME, __func__, __LINE__, NULL);              \
        }                                                                                 \
    } while (0)

V2X_EXTERN_C_END

#endif /* MORROW_SELF_LOG_H */
