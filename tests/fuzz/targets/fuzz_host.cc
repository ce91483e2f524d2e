// The log level the libraries expect from their host: errors off, so that
// millions of refused inputs do not fill the output.
#include "self_log.h"

eLogLevl gLogLevl = LOG_LEV_OFF;
