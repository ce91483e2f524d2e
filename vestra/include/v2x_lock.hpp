// Scoped guards for the reader-writer locks that own the core's shared state.
#ifndef VESTRA_V2X_LOCK_HPP
#define VESTRA_V2X_LOCK_HPP

#include <pthread.h>

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

#endif
