// Scoped guards for the pthread locks of the library (std::mutex takes
// std::lock_guard), and the hand-over of a start-up result.
#ifndef VESTRA_V2X_LOCK_HPP
#define VESTRA_V2X_LOCK_HPP

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

class ReadLock {
public:
    explicit ReadLock(pthread_rwlock_t& aipLk) : lk_(aipLk) { pthread_rwlock_rdlock(&lk_); }
    ~ReadLock() { pthread_rwlock_unlock(&lk_); }
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;

private:
    pthread_rwlock_t& lk_;
};

class WriteLock {
public:
    explicit WriteLock(pthread_rwlock_t& aipLk) : lk_(aipLk) { pthread_rwlock_wrlock(&lk_); }
    ~WriteLock() { pthread_rwlock_unlock(&lk_); }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    pthread_rwlock_t& lk_;
};

class MutexLock {
public:
    explicit MutexLock(pthread_mutex_t& aipLk) : lk_(aipLk) { pthread_mutex_lock(&lk_); }
    ~MutexLock() { pthread_mutex_unlock(&lk_); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    pthread_mutex_t& lk_;
};

// The result of a start-up that runs on another thread, handed to the
// thread that waits for it. Reset before each start.
class StartGate {
public:
    void reset()
    {
        std::lock_guard<std::mutex> lk(mtx_);
        done_ = false;
        rc_ = 0;
    }
    void post(int aicRc)
    {
        std::lock_guard<std::mutex> lk(mtx_);
        if (!done_) {
            done_ = true;
            rc_ = aicRc;
        }
        cv_.notify_all();
    }
    // The posted result, or aicTimeoutRc when none came within aicMs.
    int wait(int aicMs, int aicTimeoutRc)
    {
        std::unique_lock<std::mutex> lk(mtx_);
        if (!cv_.wait_for(lk, std::chrono::milliseconds(aicMs), [this] { return done_; })) {
            return aicTimeoutRc;
        }
        return rc_;
    }

private:
    std::mutex mtx_;
    std::condition_variable cv_;
    bool done_ = false;
    int rc_ = 0;
};

#endif
