// SPDX-License-Identifier: Apache-2.0
// The security workers: see sec_pool.hpp.
#include "sec_pool.hpp"

#include <errno.h>
#include <sched.h>
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
    workers_.reset(new (std::nothrow) Worker[static_cast<size_t>(aicWorkers)]);
    if (!slots_ || !workers_) {
        LOGE("security queue of %d jobs: no memory\n", aicSlots);
        stop();
        return -1;
    }
    head_ = tail_ = next_ = published_ = 0;
    headSeen_.store(0);
    reserved_ = false;
    stopping_ = false;
    wakePending_.store(false);
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
    if (!v2x_event_threads_ready()) {
        LOGE("evthread_use_pthreads() err!!!!\n");
        stop();
        return -1;
    }
    for (int i = 0; i < aicWorkers; ++i) {
        Worker& w = workers_[static_cast<size_t>(i)];
        w.pool = this;
        w.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (w.fd < 0) {
            LOGE("eventfd() err: %d\n", errno);
            stop();
            return -1;
        }
        const int err = w.stop.start(w.tid, worker_main, &w);
        if (err != 0) {
            LOGE("security worker %d not started: %d\n", i, err);
            close(w.fd);
            w.fd = -1;
            stop();
            return -1;
        }
        ++workerCnt_;
    }
    return 0;
}

void SecPool::stop(Deliver aipDropped)
{
    {
        std::lock_guard<std::mutex> lk(mtx_);
        stopping_ = true;  // a worker taking job after job stops taking
    }
    for (int i = 0; i < workerCnt_; ++i) {
        Worker& w = workers_[static_cast<size_t>(i)];
        w.stop.stop_and_join(w.tid);
        if (w.jobEv != nullptr) {
            event_free(w.jobEv);
            w.jobEv = nullptr;
        }
        if (struct event_base* b = w.stop.detach()) {
            event_base_free(b);
        }
        close(w.fd);
        w.fd = -1;
    }
    workerCnt_ = 0;
    workers_.reset();
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
    cap_ = head_ = tail_ = next_ = published_ = 0;
    reserved_ = false;
}

SecJob* SecPool::reserve()
{
    if (!slots_ || tail_ - head_ >= cap_) {
        return nullptr;
    }
    SecJob& j = slots_[tail_ % cap_];
    j.done.store(false, std::memory_order_relaxed);
    j.seq.store(tail_, std::memory_order_relaxed);
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
    // The job's bytes are written before the count that lets a worker take
    // it (the mutex orders them); a sleeping worker is woken, a busy one
    // finds the job by itself.
    Worker* wake = nullptr;
    {
        std::lock_guard<std::mutex> lk(mtx_);
        published_ = tail_;
        for (int i = 0; i < workerCnt_ && wake == nullptr; ++i) {
            Worker& w = workers_[static_cast<size_t>(i)];
            if (w.idle) {
                w.idle = false;
                wake = &w;
            }
        }
    }
    if (wake != nullptr) {
        const uint64_t one = 1;
        (void)!write(wake->fd, &one, sizeof(one));
    }
}

void SecPool::deliver_ready()
{
    // The wake-up is read, then the flag cleared, then the jobs looked at:
    // a job done after the clearing writes the wake-up again, one done
    // before it is seen by the look. (Cleared before the read, a wake-up
    // written in between would be read while its flag stayed set, and the
    // next job would wake no one.)
    if (wakeFd_ >= 0) {
        uint64_t n = 0;
        (void)!read(wakeFd_, &n, sizeof(n));
    }
    wakePending_.store(false);
    while (slots_ && head_ != tail_) {
        SecJob& j = slots_[head_ % cap_];
        if (!j.done.load()) {
            break;  // the oldest is still being worked on: order comes first
        }
        ++head_;
        headSeen_.store(head_, std::memory_order_release);
        deliver_(j, ctx_);
    }
}

void SecPool::wait_earlier(const SecJob& aicJob) const
{
    const uint64_t mine = aicJob.seq.load(std::memory_order_relaxed);
    for (uint64_t k = headSeen_.load(std::memory_order_acquire); k < mine; ++k) {
        const SecJob& e = slots_[k % cap_];
        // A slot that holds another job now held k, which was done.
        while (e.seq.load(std::memory_order_acquire) == k &&
               !e.done.load(std::memory_order_acquire)) {
            sched_yield();
        }
    }
}

void SecPool::on_wake(int, short, void* aipArg)
{
    static_cast<SecPool*>(aipArg)->deliver_ready();
}

void* SecPool::worker_main(void* aipArg)
{
    Worker* w = static_cast<Worker*>(aipArg);
    w->stop.run([w](struct event_base* b) {
        w->jobEv = event_new(b, w->fd, EV_READ | EV_PERSIST, on_job, w);
        return w->jobEv != nullptr && event_add(w->jobEv, nullptr) == 0 ? 0 : -1;
    });
    return nullptr;
}

void SecPool::wake_core()
{
    if (!wakePending_.exchange(true)) {
        const uint64_t one = 1;
        // The counter only wakes the core loop; a full counter still wakes it.
        (void)!write(wakeFd_, &one, sizeof(one));
    }
}

// Takes jobs in queue order until none is left (or the pool stops), then
// says it sleeps.
void SecPool::on_job(int aiFd, short, void* aipArg)
{
    Worker* w = static_cast<Worker*>(aipArg);
    SecPool* p = w->pool;
    uint64_t n = 0;
    (void)!read(aiFd, &n, sizeof(n));
    for (;;) {
        size_t idx = 0;
        {
            std::lock_guard<std::mutex> lk(p->mtx_);
            if (p->stopping_ || p->next_ == p->published_) {
                w->idle = true;
                return;
            }
            idx = p->next_++;
        }
        SecJob& j = p->slots_[idx % p->cap_];
        p->work_(j, p->ctx_);
        j.done.store(true);
        p->wake_core();
    }
}
