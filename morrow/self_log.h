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
 * opened, -2 when the thread cannot start, -3 when the pipe cannot be made. */
V2X_API int log_system_init(const tLogCfg* aipcLogCfg);

/* Stops the log thread (lines still waiting in the pipe are dropped), closes
 * the file and the pipe. The configuration stays active: afterwards lines in
 * calling-thread mode still go to standard output when that switch is on,
 * and lines in thread mode are lost. Always 0; safe without a start. */
V2X_API int log_system_exit(void);

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

#define LOG_AT(lvl, ...)                                                                  \
    do {                                                                                  \
        if (LOG_GATE(lvl)) {                                                              \
            log_msg((lvl), log_base_name(__FILE__), __func__, __LINE__, __VA_ARGS__);    \
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
            log_msg(LOG_LEV_TRACE, log_base_name(__FILE__), __func__, __LINE__, NULL);   \
        }                                                                                 \
    } while (0)

V2X_EXTERN_C_END

#endif /* MORROW_SELF_LOG_H */
