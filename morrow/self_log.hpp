// SPDX-License-Identifier: Apache-2.0
// The log system's own counts, for the rest of the library (library-internal).
#ifndef MORROW_SELF_LOG_HPP
#define MORROW_SELF_LOG_HPP

#include <stdint.h>

#include "self_log.h"

// Lines lost since the process started because the log thread's pipe was
// full (what log_lines_dropped() gives callers outside the library).
uint64_t log_dropped_lines();

#endif
