// SPDX-License-Identifier: Apache-2.0
// Standard output as a consumer that stops reading: a pipe nobody reads
// until release(), so whoever writes to standard output (the log thread)
// blocks once the pipe is full, as it does behind a stalled journal.
#ifndef V2X_STALLED_STDOUT_HPP
#define V2X_STALLED_STDOUT_HPP

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>

#include "self_log.h"

namespace v2xtest {

// A log system that writes to standard output only, run as aicMode says.
inline tLogCfg stdout_log_cfg(eLogRunMod aicMode)
{
    tLogCfg c{};
    c.logRunMd = aicMode;
    c.fileMod = LOG_FILE_TWO;
    c.stdoutLogSwt = LOG_SWITCH_ON;
    c.fileLogSwt = LOG_SWITCH_OFF;
    return c;
}

class StalledStdout {
public:
    StalledStdout()
    {
        fflush(stdout);
        if (pipe2(p_, O_CLOEXEC) == 0) {
            saved_ = dup(STDOUT_FILENO);
            dup2(p_[1], STDOUT_FILENO);
        }
    }
    ~StalledStdout() { restore(); }
    StalledStdout(const StalledStdout&) = delete;
    StalledStdout& operator=(const StalledStdout&) = delete;

    bool ok() const { return saved_ >= 0; }

    // Starts reading: what was held and what comes next is kept.
    void release()
    {
        if (p_[0] < 0 || reader_.joinable()) {
            return;
        }
        reader_ = std::thread([this] {
            char b[4096];
            ssize_t n;
            while ((n = read(p_[0], b, sizeof(b))) > 0) {
                std::lock_guard<std::mutex> lk(mtx_);
                got_.append(b, static_cast<size_t>(n));
            }
        });
    }

    // Everything read so far.
    std::string text()
    {
        std::lock_guard<std::mutex> lk(mtx_);
        return got_;
    }

    // Puts standard output back and returns all that was written to it. A
    // writer still blocked on the pipe is let go first: stdio's lock on
    // stdout is its until its write returns.
    std::string restore()
    {
        if (saved_ < 0) {
            return text();
        }
        release();
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
        close(p_[1]);
        p_[1] = -1;
        reader_.join();  // the pipe's last write end is gone: the reader sees its end
        close(p_[0]);
        p_[0] = -1;
        return text();
    }

private:
    int p_[2] = {-1, -1};
    int saved_ = -1;
    std::thread reader_;
    std::mutex mtx_;
    std::string got_;
};

}  // namespace v2xtest

#endif
