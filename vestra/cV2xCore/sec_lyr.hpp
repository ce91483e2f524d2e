// SPDX-License-Identifier: Apache-2.0
// The security layer (library-internal): signs the messages of AIDs whose
// profile signs, on their way from the daemon server to the DSM layer, and
// verifies received messages of AIDs whose profile verifies, on their way
// from the adaptation layer up. The crypto runs on the security workers
// (sec_pool.hpp); this layer's calls run on the core thread. AIDs without a
// profile pass straight through.
#ifndef VESTRA_SEC_LYR_HPP
#define VESTRA_SEC_LYR_HPP

#include <stdint.h>

#include <memory>
#include <mutex>

#include "dme_dsm.hpp"
#include "rlink.hpp"
#include "sec_pool.hpp"
#include "sec_service.hpp"
#include "v2x_core.h"
#include "v2x_sink.hpp"

struct event_base;

// What v2x_core_set_security loaded: taken by each core at its start.
struct SecConfig {
    std::shared_ptr<sec::TrustStore> trust;
    std::shared_ptr<sec::Signer> signer;
    tV2XSecProfile profiles[V2X_SEC_PROFILES_MAX] = {};
    int profileCnt = 0;
    int workers = 0;
    int queueLen = 0;
    sec::VerifyPolicy policy;
};

// One profile as the running layer keeps it.
struct SecProfileRun {
    tV2XSecProfile p{};
    uint64_t lastCertUs = 0;  // monotonic time the certificate last went out
    bool certDue = true;      // a receiver may not know the certificate
};

// The indication the layer hands verified (or passed) messages to, with
// the DSM indication's signature.
using fSecIndSink = int (*)(uint8_t aiVer, uint32_t aicAid, uint16_t aiLen, const char* aipcData,
                            const char* aipcPeerMac, uint8_t aiPrity);
// The clock of generation times and windows (Time64); tests set their own.
using fSecClock = uint64_t (*)();

struct SecState {
    std::mutex cfgMtx;  // guards pending
    SecConfig pending;
    // The running layer's copy (core thread).
    SecConfig run;
    SecProfileRun prof[V2X_SEC_PROFILES_MAX];
    int profCnt = 0;
    std::unique_ptr<sec::Verifier> verifier;
    SecPool pool;
    UpSinkOf<int, uint8_t, uint32_t, uint16_t, const char*, const char*, uint8_t> ind;
    UpSinkOf<void, uint32_t, eRlinkTxNews> news;
    UpSinkOf<void> room;
    // Messages being signed, by scheduling priority: each will take a
    // place in its queue, so they count against its room.
    int signing[TxScheduler::kPrioMax + 1] = {};
    int signingTotal = 0;
    fSecClock clock = nullptr;
    bool running = false;
};
SecState& sec_state();

// Starts the layer with the configuration set so far: 0 (also when there
// is none), or -ERR_V2X_MALLOC (workers or queue not made; logged).
int sec_lyr_init(struct event_base* aipBase);
// Stops the workers; signed messages not yet sent are dropped and counted
// (txDroppedAtExit). Harmless when never started or stopped twice.
void sec_lyr_exit();

// Where verified messages go up (null: dropped and counted as unset).
void sec_lyr_set_ind_sink(fSecIndSink aipSink);
// Where a connection's signed message that was dropped is counted for it.
void sec_lyr_set_tx_news_sink(void (*aipSink)(uint32_t aicConnId, eRlinkTxNews aicNews));
// Told when a message being signed went on (or was dropped), so that
// readers held back for room look again.
void sec_lyr_set_tx_room_sink(fRlinkTxRoom aipSink);
// Free places of a priority's transmit queue less the messages of that
// priority being signed (never below 0), and every datagram waiting or
// being signed: what the daemon server holds readers back by.
int sec_lyr_tx_room_prio(uint8_t aicPrio);
int sec_lyr_tx_waiting_total();
// The clock (null: CLOCK_REALTIME as Time64).
void sec_lyr_set_clock(fSecClock aipClock);

// A DSM request on its way down: signed first when its AID's profile signs
// (0 once queued; -ERR_V2X_TX_FULL when the signing queue is full;
// -ERR_V2X_SEND_LEN when the signed message would not fit a frame), else
// dme_dsm_send's result.
int sec_lyr_send(const DsmTxReq& aicReq);

// A received DSM frame's fields on their way up: verified first when its
// AID's profile verifies (0; the verdict is counted and the message handed
// up later, or dropped), else handed up at once.
int sec_lyr_ind(uint8_t aiVer, uint32_t aicAid, uint16_t aiLen, const char* aipcData,
                const char* aipcPeerMac, uint8_t aiPrity);

// Jobs waiting for or in the hands of the workers (tests).
size_t sec_lyr_waiting();
// Delivers what the workers finished (tests that run no loop).
void sec_lyr_drain();

#endif
