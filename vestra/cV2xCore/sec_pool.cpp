// SPDX-License-Identifier: Apache-2.0
// The security workers: see sec_pool.hpp.
#include "sec_pool.hpp"

#include <errno.h>
#include <event2/event.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "self_log.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_INFO;

int SecPool::start(int aicWorkers, int aicSlots, struct event_base* aipBase, Work aipWork,
                   Deliver aipDeliver, void* aipCtx)
{
    stop();
    if (aicWorkers < 1 || aicSlots < 1 || aipBase == nullptr) {
        return -1;
    }
    work_ = aipWork;
    deliver_ = aipDeliver;
    ctx_ = aipCtx;
    cap_ = static_cast<size_t>(aicSlots);
    slots_.reset(new (std::nothrow) SecJob[cap_]);
    if (!slots_) {
        LOGE("security queue of %d jobs: no memory\n", aicSlots);
        return -1;
    }
    head_ = tail_ = published_ = next_ = 0;
    reserved_ = false;
    stopping_ = false;
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        LOGE("eventfd() err: %d\n", errno);
        stop();
        return -1;
    }
    wakeEv_ = event_new(aipBase, wakeFd_, EV_READ | EV_PERSIST, on_wake, this);
    if (wakeEv_ == nullptr || event_add(wakeEv_, nullptr) != 0) {
        LOGE("security wake event err!!!!\n");
        stop();
        return -1;
    }
    try {
        for (int i = 0; i < aicWorkers; ++i) {
            threads_.emplace_back(&SecPool::run, this);
        }
    } catch (const std::exception& e) {
        LOGE("security worker %d not started: %s\n", static_cast<int>(threads_.size()), e.what());
        stop();
        return -1;
    }
    return 0;
}

void SecPool::stop(Deliver aipDropped)
{
    {
        std::lock_guard<std::mutex> lk(mtx_);
        stopping_ = true;
    }
    cv_.notify_all();
    for (std::thread& t : threads_) {
        t.join();
    }
    threads_.clear();
    if (wakeEv_ != nullptr) {
        event_free(wakeEv_);
        wakeEv_ = nullptr;
    }
    if (wakeFd_ >= 0) {
        close(wakeFd_);
        wakeFd_ = -1;
    }
    if (slots_) {
        // Finished jobs still go their way; the rest are handed back.
        for (; head_ != tail_; ++head_) {
            SecJob& j = slots_[head_ % cap_];
            if (j.done.load(std::memory_order_acquire) && deliver_ != nullptr) {
                deliver_(j, ctx_);
            } else if (aipDropped != nullptr) {
                aipDropped(j, ctx_);
            }
        }
        slots_.reset();
    }
    cap_ = head_ = tail_ = published_ = next_ = 0;
    reserved_ = false;
}

SecJob* SecPool::reserve()
{
    if (!slots_ || tail_ - head_ >= cap_) {
        return nullptr;
    }
    SecJob& j = slots_[tail_ % cap_];
    j.done.store(false, std::memory_order_relaxed);
    j.signedOk = false;
    j.outLen = 0;
    j.inLen = 0;
    j.hasExts = false;
    j.result = sec::VerifyResult::Ok;
    j.vout = sec::VerifyOut{};
    reserved_ = true;
    return &j;
}

void SecPool::publish()
{
    if (!reserved_) {
        return;
    }
    reserved_ = false;
    ++tail_;
    {
        std::lock_guard<std::mutex> lk(mtx_);
        published_ = tail_;
    }
    cv_.notify_one();
}

void SecPool::deliver_ready()
{
    if (wakeFd_ >= 0) {
        uint64_t n = 0;
        (void)!read(wakeFd_, &n, sizeof(n));
    }
    while (slots_ && head_ != tail_) {
        SecJob& j = slots_[head_ % cap_];
        if (!j.done.load(std::memory_order_acquire)) {
            break;  // the oldest is still being worked on: order comes first
        }
        ++head_;
        deliver_(j, ctx_);
    }
}

void SecPool::on_wake(int, short, void* aipArg)
{
    static_cast<SecPool*>(aipArg)->deliver_ready();
}

void SecPool::run()
{
    for (;;) {
        size_t idx = 0;
        {
            std::unique_lock<std::mutex> lk(mtx_);
            cv_.wait(lk, [this] { return stopping_ || next_ != published_; });
            if (stopping_) {
                return;
            }
            idx = next_++;
        }
        SecJob& j = slots_[idx % cap_];
        work_(j, ctx_);
        j.done.store(true, std::memory_order_release);
        const uint64_t one = 1;
        // The counter only wakes the loop; a full counter still wakes it.
        (void)!write(wakeFd_, &one, sizeof(one));
    }
}
