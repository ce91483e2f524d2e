// SPDX-License-Identifier: Apache-2.0
// Routing state shared by the log calls and the log system (library-internal).
#ifndef MORROW_SELF_LOG_SYS_H
#define MORROW_SELF_LOG_SYS_H

#include <pthread.h>
#include <stdio.h>

#include "self_log.h"

extern tLogCfg giLogCfg;
extern tLogCfg* gipLogCfg;   // null until the log system was first started
extern FILE* gipLogFp;       // open log file or null; guarded by giSvLogLk
extern uint32_t giLogWriteCnt;
extern int giLogPpFdAry[2];  // log pipe: read end, write end; -1 when closed
extern pthread_mutex_t giSvLogLk;

// Delivers text to the configured sinks in the calling thread.
void log_deliver(const char* aipcTxt, size_t aicLen);
// Starts the next log file when the current one has had its share of
// writes. Called with giSvLogLk held.
void log_rotate_if_due();

#endif
