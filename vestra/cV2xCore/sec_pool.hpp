// SPDX-License-Identifier: Apache-2.0
// The security workers (library-internal): a bounded ring of jobs that a
// few loop threads sign or verify off the core thread. Jobs are taken in the
// order they were queued and handed back to the core thread in that same
// order, whichever worker finishes first, so every sender's messages (and
// every connection's) keep their order. A full ring refuses at once: the
// core thread never waits for a worker.
#ifndef VESTRA_SEC_POOL_HPP
#define VESTRA_SEC_POOL_HPP

#include <stddef.h>
#include <stdint.h>

#include <pthread.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "core_app.h"
#include "sec_service.hpp"
#include "tx_sched.hpp"
#include "v2x_evthread.hpp"
#include "v2x_limits.h"

struct event_base;
struct event;

// Bytes a job carries either way: a DSMP frame's data at most.
constexpr size_t kSecJobBuf = V2X_LIM_FRAME_BUF;

struct SecJob {
    enum class Kind : uint8_t { Sign, Verify };
    Kind kind = Kind::Sign;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> seq{0};  // its place in the queue's order

    // Sign: the request as the application sent it, and the signed record.
    TxMeta meta{};
    uint8_t protTp = 0;
    uint8_t priority = 0;
    char peerMac[6] = {};
    bool hasExts = false;
    char exts[V2X_DSM_HDR_EXTS_LEN] = {};
    sec::SignerKind signerKind = sec::SignerKind::Digest;
    uint64_t genTime = 0;
    bool signedOk = false;
    uint16_t outLen = 0;
    uint8_t out[kSecJobBuf] = {};

    // Verify: the frame's fields and what the check found.
    uint8_t dsmpVer = 0;
    uint8_t rxPrio = 0;
    uint32_t aid = 0;
    uint64_t now = 0;  // Time64 when it was received
    sec::VerifyResult result = sec::VerifyResult::Ok;
    sec::VerifyOut vout;
    // What the radio link and the DSMP header said about the frame, handed
    // up with it once verified.
    tDSMRxInfo rxInfo{};

    // Sign: the payload; verify: the received record.
    uint16_t inLen = 0;
    uint8_t in[kSecJobBuf] = {};
};

class SecPool {
public:
    // Runs on a worker; the job is the worker's alone until it returns.
    using Work = void (*)(SecJob& aoJob, void* aipCtx);
    // Runs on the core thread for each finished job, in queue order.
    using Deliver = void (*)(SecJob& aoJob, void* aipCtx);

    SecPool() = default;
    ~SecPool() { stop(); }
    SecPool(const SecPool&) = delete;
    SecPool& operator=(const SecPool&) = delete;

    // Allocates aicSlots jobs and starts aicWorkers threads; finished jobs
    // wake the loop of aipBase. 0, or -1 (logged) when a thread, the
    // eventfd or the event could not be made; stop() then undoes the rest.
    int start(int aicWorkers, int aicSlots, struct event_base* aipBase, Work aipWork,
              Deliver aipDeliver, void* aipCtx);
    // Stops and joins the workers; jobs not delivered are returned through
    // aipDropped (core thread), then the ring is freed. Harmless when never
    // started or already stopped.
    void stop(Deliver aipDropped = nullptr);

    // Core thread: the next free job, reset, or null when the ring is full.
    SecJob* reserve();
    // Core thread: hands the job reserve() gave to the workers.
    void publish();
    // Worker: waits until every job queued before aicJob is done (a
    // certificate an earlier record carries may be what this one needs).
    // Only earlier jobs are waited for, so no two workers wait on each
    // other.
    void wait_earlier(const SecJob& aicJob) const;
    // Core thread: delivers what finished, in order (the event's callback;
    // tests call it to drain).
    void deliver_ready();

    bool running() const { return slots_ != nullptr; }
    size_t waiting() const { return tail_ - head_; }
    int workers() const { return workerCnt_; }

private:
    // One worker: a loop thread of its own. Woken through its eventfd only
    // when it sleeps; awake, it takes job after job until none is left, so
    // a busy pool costs no wake-up per job.
    struct Worker {
        struct event_base* base = nullptr;
        V2xLoopStop stop{base};
        pthread_t tid = 0;
        int fd = -1;
        struct event* jobEv = nullptr;
        SecPool* pool = nullptr;
        bool idle = true;  // under the pool's mtx_
    };
    void wake_core();
    static void* worker_main(void* aipArg);
    static void on_job(int aiFd, short aiWhat, void* aipArg);
    static void on_wake(int aiFd, short aiWhat, void* aipArg);

    std::unique_ptr<SecJob[]> slots_;
    size_t cap_ = 0;
    size_t head_ = 0;  // next to deliver (core thread)
    std::atomic<size_t> headSeen_{0};  // head_, for the workers
    size_t tail_ = 0;  // next to reserve (core thread)
    bool reserved_ = false;

    std::mutex mtx_;
    size_t next_ = 0;       // next for a worker, under mtx_
    size_t published_ = 0;  // jobs handed over, under mtx_
    bool stopping_ = false; // under mtx_
    std::unique_ptr<Worker[]> workers_;
    int workerCnt_ = 0;

    // The core loop's wake-up when a job is done; written only when no
    // wake-up is pending already.
    int wakeFd_ = -1;
    std::atomic<bool> wakePending_{false};
    struct event* wakeEv_ = nullptr;
    Work work_ = nullptr;
    Deliver deliver_ = nullptr;
    void* ctx_ = nullptr;
};

#endif
