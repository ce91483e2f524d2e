// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief Log calls and levels.
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

/** Log levels: a message of level L is written when L is at most the
 * smaller of gLogLevl and its file's ceiling (see the file description). */
typedef enum _eLogLevl_ {
    LOG_LEV_OFF = 0,   /**< level 0: always written (lifecycle lines) */
    LOG_LEV_ERROR = 1, /**< errors */
    LOG_LEV_RUN = 2,   /**< run-time progress */
    LOG_LEV_WARN = 3,  /**< warnings */
    LOG_LEV_TRACE = 4, /**< function-entry traces (LOGT) */
    LOG_LEV_INFO = 5,  /**< information */
    LOG_LEV_LOUD = 6,  /**< the most detailed output */
    LOG_LEV_MAX = 7    /**< end marker, not a level */
} eLogLevl;
V2X_STATIC_ASSERT(sizeof(eLogLevl) == 4, "eLogLevl is stored in 32 bits");

/** The process-wide level. The hosting executable normally defines and
 * initialises it, and its definition is the one both libraries use;
 * libmorrow holds a weak default (LOG_LEV_ERROR) for programs that define
 * none, such as those that only dlopen the libraries. */
V2X_API extern eLogLevl gLogLevl;

/** Log system settings (where lines go): the thread that serves the sinks. */
typedef enum _eLogRunMod_ {
    LOG_RUN_MAIN_PROGRESS = 0, /**< sinks served in the calling thread */
    LOG_RUN_NEW_PTHREAD = 1,   /**< sinks served by the log thread through a pipe */
    LOG_RUN_MAX = 2            /**< end marker, not a mode */
} eLogRunMod;

/** How log files rotate. */
typedef enum _eLogFileMod_ {
    LOG_FILE_TWO = 0,  /**< two files used in turn */
    LOG_FILE_TIME = 1, /**< a new time-stamped file at each rotation */
    LOG_FILE_MAX = 2   /**< end marker, not a mode */
} eLogFileMod;

/** A sink's on/off switch: LOG_SWITCH_OFF (0) off, LOG_SWITCH_ON (1) on;
 * LOG_SWITCH_MAX (2) is the end marker, not a setting. */
typedef enum _LogSwitch_ { LOG_SWITCH_OFF = 0, LOG_SWITCH_ON = 1, LOG_SWITCH_MAX = 2 } eLogSwitch;

/** Result codes of the log system; calls return the negative of a code. */
typedef enum _eLogErrNum_ {
    LOG_SUCCESS = 0,                /**< success */
    ERR_LOG_TMP = 1,                /**< not returned by any call */
    ERR_LOG_PTHREAD_CREATE = 2,     /**< the log thread cannot start */
    ERR_LOG_PIPE_CREATE = 3,        /**< the log pipe cannot be made */
    ERR_LOG_FOPEN = 4,              /**< the log file cannot be opened */
    ERR_LOG_LIBCFG_CFG_LOOKUP = 5,  /**< the configuration group is missing */
    ERR_LOG_PARM_CONT = 40960,      /**< a parameter's content is invalid */
    ERR_LOG_MAX = 40961             /**< end marker, not a code */
} eLogErrNum;

/** Log system settings (where lines go). */
typedef struct _tLogCfg_ {
    eLogRunMod logRunMd;     /**< the thread that serves the sinks */
    eLogFileMod fileMod;     /**< how the log files rotate */
    uint32_t logSaveMaxCnt; /**< writes per file before rotation; 0 means 10000 */
    eLogSwitch stdoutLogSwt; /**< lines to standard output */
    eLogSwitch fileLogSwt;   /**< lines to the log file */
    char saveLogPath[256]; /**< empty means "/opt/v2x/log/v2xLog" */
} tLogCfg;
V2X_STATIC_ASSERT(sizeof(tLogCfg) == 276, "tLogCfg layout");

/* libconfig's configuration record (the host parses the configuration). */
struct config_t;

/** @brief Fills the log settings from a parsed libconfig configuration.
 *
 * Reads the group aicpcLogCfgNme: the integer keys "logRunMd", "fileMod",
 * "logSaveMaxCnt", "stdoutLogSwt", "fileLogSwt" and the string
 * "saveLogPath" (cut to 254 characters). Absent keys leave the caller's
 * values.
 *
 * @param aopcLogCfg     the record to fill.
 * @param aicpcLogCfgNme path of the group in the configuration.
 * @param aicpcCfg       the parsed configuration.
 * @retval 0 (LOG_SUCCESS) done.
 * @retval -5 (-ERR_LOG_LIBCFG_CFG_LOOKUP) the group does not exist, or a
 *         null argument (the record is then unchanged).
 */
V2X_API int load_log_cfg(tLogCfg* aopcLogCfg, const char* aicpcLogCfgNme,
                         const struct config_t* aicpcCfg);

/** @brief Makes a copy of the configuration active and starts the sinks.
 *
 * Starts the first log file (LOG_FILE_TWO: "<path>-00.log"/"-01.log" in
 * turn; LOG_FILE_TIME: "<path>-YYYY-MM-DD-hh-mm-ss-NNNNNN.log"), opened
 * "w+" and rotated after logSaveMaxCnt writes, and in LOG_RUN_NEW_PTHREAD
 * mode the log thread and its pipe. Call once, before other threads log; a
 * second call restarts the log system (the running one is stopped first).
 *
 * @param aipcLogCfg the settings (copied).
 * @retval 0 (LOG_SUCCESS) started.
 * @retval -40960 (-ERR_LOG_PARM_CONT) a null record, or an invalid fileMod
 *         (file switch on).
 * @retval -4 (-ERR_LOG_FOPEN) the file cannot be opened.
 * @retval -2 (-ERR_LOG_PTHREAD_CREATE) the thread cannot start (or cannot
 *         make its event loop).
 * @retval -3 (-ERR_LOG_PIPE_CREATE) the pipe cannot be made.
 */
V2X_API int log_system_init(const tLogCfg* aipcLogCfg);

/** @brief Stops the log system.
 *
 * Stops the log thread, which first writes out the lines still waiting in
 * the pipe, and joins it; closes the file and the pipe. The configuration
 * stays active: afterwards lines in calling-thread mode still go to standard
 * output when that switch is on, and lines in thread mode are lost. Safe
 * without a start and when called twice.
 *
 * @retval 0 (LOG_SUCCESS) always.
 */
V2X_API int log_system_exit(void);

/** @brief Lines lost in LOG_RUN_NEW_PTHREAD mode since the process started.
 *
 * A line that finds the log thread's pipe full (the thread, or the output
 * it writes to, does not keep up) is dropped whole rather than make the
 * thread that logs wait; the next line that fits is preceded by one line
 * that says how many were lost since the last such line: "<n> log lines
 * dropped, the log thread did not keep up err!!!!". Lines logged while the
 * log system is stopped are not counted. Any thread; never blocks.
 *
 * @return the number of lines dropped.
 */
V2X_API unsigned long long log_lines_dropped(void);

/** Longest line log_msg produces, in characters; longer text is cut here. */
#define LOG_LINE_MAX 1022

/** @brief Formats a log line and routes it.
 *
 * Formats "[LVL:hh:mm:ss.uuuuuuuu file line] message" and routes it. At
 * LOG_LEV_TRACE the format is unused (may be null) and the message is
 * "<function>() start\n". Applies no level filter of its own.
 *
 * @param aicLogLvl   the line's level.
 * @param aipcFlNme   the source file's name.
 * @param aipcFuncNme the calling function's name.
 * @param aicLnNum    the source line of the call.
 * @param format      printf format of the message (unused at
 *                    LOG_LEV_TRACE, where it may be null).
 * @param ...         the format's arguments.
 */
V2X_API void log_msg(const eLogLevl aicLogLvl, const char* aipcFlNme, const char* aipcFuncNme,
                     const int aicLnNum, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 5, 6)))
#endif
    ;

/** @brief Routes ready-made text exactly as log_msg routes a line: no prefix,
 * no newline added.
 * @param level   accepted and unused.
 * @param pid     accepted and unused.
 * @param aipcMsg the text.
 */
V2X_API void logger(int level, pid_t pid, const char* aipcMsg);

/** @brief Sets gLogLevl; values above LOG_LEV_MAX fall back to LOG_LEV_RUN.
 * @param aicLogLevl the new level.
 */
V2X_API void set_global_log_level(const eLogLevl aicLogLevl);

/** @name Where lines go: the host's sink
 *
 * By default every line is routed as above (standard output, or the log
 * system's file and thread) and the libraries' few direct notices (the log
 * system's own texts, the level setter's, a received frame's dump) go straight
 * to standard output. A host that wants them elsewhere sets a sink: a
 * function that receives every line of both libraries, level 0 included,
 * with its level, source file, function and line number, and decides what to
 * do with it (its own logger, syslog, journald, nothing). */
/** @{ */

/** One line as the sink receives it. Valid only during the call. */
typedef struct _tLogLine_ {
    eLogLevl level;       /**< LOG_LEV_OFF (0) .. LOG_LEV_LOUD (6) */
    int32_t srcLine;      /**< source line of the call; 0 for a direct notice */
    const char* file;     /**< base name of the source file; never null */
    const char* func;     /**< calling function; never null ("" when unknown) */
    const char* text;     /**< the whole line as standard output would show it,
                             prefix included, zero-terminated */
    uint32_t len;         /**< strlen(text), at most LOG_LINE_MAX for a line */
    uint32_t msgOff;      /**< where the message starts in text (after the
                             "[LVL:time file line] " prefix; 0 without one) */
} tLogLine;

/** @brief A host's sink.
 *
 * Called in the thread that logs, possibly from several threads at once; it
 * must not call the log functions itself.
 *
 * @param aipcLine the line; valid only during the call.
 * @param aipUser  the pointer given to log_set_sink with the sink.
 */
typedef void (*fLogSink)(const tLogLine* aipcLine, void* aipUser);

/** Bit of level L in a level mask. @param lvl the level. */
#define LOG_LEVEL_BIT(lvl) (1u << (unsigned)(lvl))
/** The level mask of every level. */
#define LOG_LEVELS_ALL 0x7Fu

/** @brief Sets the host's sink and level mask.
 *
 * Makes aipSink (with aipUser) receive every line of both libraries whose
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
 * until the host knows no thread is still logging into it.
 *
 * @param aipSink      the sink, or null for the default routing.
 * @param aipUser      passed to every call of aipSink.
 * @param aicLevelMask the levels that pass: LOG_LEVEL_BIT of each, or
 *                     LOG_LEVELS_ALL.
 * @retval 0 (LOG_SUCCESS) set.
 * @retval -40960 (-ERR_LOG_PARM_CONT) bits above LOG_LEVELS_ALL (nothing
 *         changes).
 */
V2X_API int log_set_sink(fLogSink aipSink, void* aipUser, uint32_t aicLevelMask);

/** @brief The default routing as a sink.
 *
 * For a host sink that filters or copies and then passes lines on: a line
 * goes where it would go without a sink (the log system's standard output,
 * file or thread), a direct notice (msgOff 0, srcLine 0) to standard output.
 *
 * @param aipcLine the line; null (or a null text) is ignored.
 * @param aipUser  unused.
 */
V2X_API void log_default_sink(const tLogLine* aipcLine, void* aipUser);

/** @brief syslog(3) priority for a level.
 * @param aicLevel the level.
 * @return LOG_ERR for errors, LOG_WARNING for warnings, LOG_NOTICE for run
 *         and level-0 lifecycle lines, LOG_INFO for info, LOG_DEBUG for
 *         trace and loud; LOG_NOTICE for anything else.
 */
V2X_API int log_syslog_priority(eLogLevl aicLevel);

/** @brief A ready sink: syslog(3).
 *
 * Logs with the level's priority and the message as "file:line message" (no
 * time: syslog stamps it). The host calls openlog first if it wants its own
 * identity or facility.
 *
 * @param aipcLine the line.
 * @param aipUser  unused.
 */
V2X_API void log_sink_syslog(const tLogLine* aipcLine, void* aipUser);

/** @brief A ready sink for a service under systemd.
 *
 * One write per line to standard error, "<P>file:line message\n" with P
 * the syslog priority, which journald reads as the line's priority.
 *
 * @param aipcLine the line.
 * @param aipUser  unused.
 */
V2X_API void log_sink_journal(const tLogLine* aipcLine, void* aipUser);

/** @brief Writes a library's direct notice.
 *
 * A direct notice is text that by default goes straight to standard output,
 * not through the log system: it is written there unchanged, or, once the
 * host set a sink or a mask, handed over under the rules of log_set_sink.
 *
 * @param aicLevel the notice's level.
 * @param aipcFile the source file's base name.
 * @param aipcFunc the calling function's name.
 * @param aipcText the text, zero-terminated.
 */
V2X_API void log_direct_text(eLogLevl aicLevel, const char* aipcFile, const char* aipcFunc,
                             const char* aipcText);

/** @brief Whether a direct notice of this level would be written anywhere.
 *
 * Lets a caller skip building a long notice nobody reads.
 *
 * @param aicLevel the notice's level.
 * @retval 1 it would be written (always under the default routing).
 * @retval 0 the host silenced it.
 */
V2X_API int log_direct_wanted(eLogLevl aicLevel);
/** @} */

/** @brief Base name of a source path, without touching the string (the path
 * is a string literal, which POSIX basename may not modify).
 * @param aipcPath the path, zero-terminated.
 * @return the part of aipcPath after its last '/' (all of it without one).
 */
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

/** The call-site gate: the smaller of gLogLevl and the file's ceiling. The
 * level may be changed while other threads log, so it is read atomically.
 * @param lvl the message's level.
 * @return non-zero when a message of level lvl is written. */
#define LOG_GATE(lvl)                                                                 \
    ((lvl) == LOG_LEV_OFF || ((int)(lvl) <= (int)__atomic_load_n(&gLogLevl, __ATOMIC_RELAXED) && \
                              (int)(lvl) <= (int)gicDbLev))

/** The source name a line carries: the file's base name, unless the file
 * defines LOG_SRC_NAME before this header (a module split over several
 * files keeps the one name its lines have always had). */
#ifndef LOG_SRC_NAME
#define LOG_SRC_NAME log_base_name(__FILE__)
#endif

/** Logs a printf-style message at level lvl when LOG_GATE lets it through;
 * nothing is formatted otherwise.
 * @param lvl the message's level.
 * @param ... printf format and its arguments. */
#define LOG_AT(lvl, ...)                                                                  \
    do {                                                                                  \
        if (LOG_GATE(lvl)) {                                                              \
            log_msg((lvl), LOG_SRC_NAME, __func__, __LINE__, __VA_ARGS__);               \
        }                                                                                 \
    } while (0)

#define LOG0(...) LOG_AT(LOG_LEV_OFF, __VA_ARGS__)   /**< LOG_AT at level 0 (always written) */
#define LOGE(...) LOG_AT(LOG_LEV_ERROR, __VA_ARGS__) /**< LOG_AT at LOG_LEV_ERROR */
#define LOGR(...) LOG_AT(LOG_LEV_RUN, __VA_ARGS__)   /**< LOG_AT at LOG_LEV_RUN */
#define LOGW(...) LOG_AT(LOG_LEV_WARN, __VA_ARGS__)  /**< LOG_AT at LOG_LEV_WARN */
#define LOGI(...) LOG_AT(LOG_LEV_INFO, __VA_ARGS__)  /**< LOG_AT at LOG_LEV_INFO */
#define LOGL(...) LOG_AT(LOG_LEV_LOUD, __VA_ARGS__)  /**< LOG_AT at LOG_LEV_LOUD */
/** Function-entry trace: prints "<function>() start". */
#define LOGT()                                                                            \
    do {                                                                                  \
        if (LOG_GATE(LOG_LEV_TRACE)) {                                                    \
            log_msg(LOG_LEV_TRACE, LOG_SRC_NAME, __func__, __LINE__, NULL);              \
        }                                                                                 \
    } while (0)

V2X_EXTERN_C_END

#endif /* MORROW_SELF_LOG_H */
