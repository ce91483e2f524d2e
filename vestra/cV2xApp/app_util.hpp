// Small helpers shared by the application client sources (library-internal).
#ifndef VESTRA_APP_UTIL_HPP
#define VESTRA_APP_UTIL_HPP

#include <pthread.h>
#include <stdint.h>

#include "cv2x_app.h"

// Holds a reader-writer lock for a scope.
class RwGuard {
public:
    RwGuard(pthread_rwlock_t* aipLk, bool aibWrite) : lk_(aipLk)
    {
        if (aibWrite) {
            pthread_rwlock_wrlock(lk_);
        } else {
            pthread_rwlock_rdlock(lk_);
        }
    }
    ~RwGuard() { pthread_rwlock_unlock(lk_); }
    RwGuard(const RwGuard&) = delete;
    RwGuard& operator=(const RwGuard&) = delete;

private:
    pthread_rwlock_t* lk_;
};

// A result code read from the socket, as the enumeration the callbacks take.
// A value outside the enumeration cannot be held by it; it is reported as a
// refusal without reason rather than passed on as something undefined.
inline eDMERetCd app_ret_cd(const uint32_t aicRetCd)
{
    return aicRetCd <= DME_RET_REJ_NO_REASON ? static_cast<eDMERetCd>(aicRetCd)
                                             : DME_RET_REJ_NO_REASON;
}

#endif
