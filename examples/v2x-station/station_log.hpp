// SPDX-License-Identifier: Apache-2.0
// Where the station's library lines go (log.target), and the one line that
// says why a start-up failed.
#ifndef V2X_STATION_LOG_HPP
#define V2X_STATION_LOG_HPP

#include <string>

namespace station {

enum class LogTarget { Stdout, Syslog, Journal };

// "stdout", "syslog" or "journal".
bool parse_log_target(const std::string& text, LogTarget& out);
const char* log_target_name(LogTarget target);

// What the first error line of a failed start-up said.
struct StartupCause {
    std::string file;   // source file of the line, empty when none came
    std::string sysMsg; // the system's reason in it ("Address already in use"), or ""
    std::string text;   // its message, without the error decoration
};

// Installs the station's sink for the libraries' lines: to the log system's
// routing (stdout), syslog, or standard error for journald. Level-0
// lifecycle lines show from `level` run upward. Until startup_done, error
// lines at the default level are held back, so that a failed start-up can
// be said in one line.
void log_begin(LogTarget target, int level, const std::string& ident);
// Start-up is over: a success lets the held lines through, a failure drops
// them. Returns the first held error.
StartupCause log_startup_done(bool ok);
// Back to the libraries' default routing.
void log_end();

} // namespace station

#endif
