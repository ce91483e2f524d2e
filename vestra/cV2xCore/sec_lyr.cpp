// SPDX-License-Identifier: Apache-2.0
// The security layer: see sec_lyr.hpp.
#include "sec_lyr.hpp"

#include <string.h>
#include <unistd.h>

#include <string>

#include "core_stats.hpp"
#include "rx_info.hpp"
#include "sec_time.hpp"
#include "self_log.h"
#include "v2x_types.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_INFO;

namespace {

constexpr int kDefaultQueue = 128;
constexpr int kMaxWorkers = 16;
constexpr int kMaxQueue = 4096;
// The whole certificate goes out at least this often on a digest profile.
constexpr uint64_t kCertEveryUs = 1000000;

uint64_t _now()
{
    fSecClock c = sec_state().clock;
    return c != nullptr ? c() : sec::time64_now();
}

SecProfileRun* _profile(uint32_t aicAid)
{
    SecState& s = sec_state();
    for (int i = 0; i < s.profCnt; ++i) {
        if (s.prof[i].p.aid == aicAid) {
            return &s.prof[i];
        }
    }
    return nullptr;
}

// Every profile that signs sends its certificate with its next message.
void _certs_due()
{
    SecState& s = sec_state();
    for (int i = 0; i < s.profCnt; ++i) {
        s.prof[i].certDue = true;
    }
}

void _work(SecJob& aoJob, void*)
{
    SecState& s = sec_state();
    if (aoJob.kind == SecJob::Kind::Sign) {
        size_t len = 0;
        const sec::CodecResult rc =
            s.run.signer->sign(aoJob.in, aoJob.inLen, aoJob.meta.aid, aoJob.genTime,
                               aoJob.signerKind, aoJob.out, sizeof(aoJob.out), &len);
        aoJob.signedOk = rc == sec::CodecResult::Ok;
        aoJob.outLen = static_cast<uint16_t>(len);
        return;
    }
    aoJob.result = s.verifier->verify(aoJob.in, aoJob.inLen, aoJob.now, aoJob.vout);
    if (aoJob.result == sec::VerifyResult::UnknownSigner) {
        // Its certificate may come with a record received just before, still
        // in another worker's hands: judged after every earlier record.
        s.pool.wait_earlier(aoJob);
        aoJob.vout = sec::VerifyOut{};
        aoJob.result = s.verifier->verify(aoJob.in, aoJob.inLen, aoJob.now, aoJob.vout);
    }
    // A record of another AID than the frame's would pass a profile it was
    // not signed for.
    if (aoJob.result == sec::VerifyResult::Ok && aoJob.vout.psid != aoJob.aid) {
        aoJob.result = sec::VerifyResult::PsidNotPermitted;
    }
}

// A message of a connection dropped here: counted for it too.
void _conn_drop(uint32_t aicConnId)
{
    if (aicConnId != 0) {
        sec_state().news(aicConnId, RLINK_TX_SEC_DROPPED);
    }
}

void _count_rx(sec::VerifyResult aicWhy)
{
    switch (aicWhy) {
    case sec::VerifyResult::Ok: STAT_ADD(rxSecVerified); break;
    case sec::VerifyResult::Malformed: STAT_ADD(rxSecMalformed); break;
    case sec::VerifyResult::BadSignature: STAT_ADD(rxSecBadSignature); break;
    case sec::VerifyResult::UnknownSigner: STAT_ADD(rxSecUnknownSigner); break;
    case sec::VerifyResult::Expired: STAT_ADD(rxSecExpired); break;
    case sec::VerifyResult::PsidNotPermitted: STAT_ADD(rxSecPsidNotPermitted); break;
    case sec::VerifyResult::Stale: STAT_ADD(rxSecStale); break;
    case sec::VerifyResult::Replay: STAT_ADD(rxSecReplay); break;
    case sec::VerifyResult::Unsigned: STAT_ADD(rxSecUnsigned); break;
    }
}

// A message being signed left the signing queue, sent or not.
void _signed_out(const SecJob& aicJob)
{
    SecState& s = sec_state();
    const uint8_t p = TxScheduler::clamp_prio(aicJob.meta.prio);
    if (s.signing[p] > 0) {
        --s.signing[p];
        --s.signingTotal;
    }
    s.room();
}

void _deliver_sign(SecJob& aoJob)
{
    struct Out {
        const SecJob& j;
        ~Out() { _signed_out(j); }
    } out{aoJob};
    if (!aoJob.signedOk) {
        STAT_ADD(txSecFailed);
        _conn_drop(aoJob.meta.connId);
        LOGE("aid %u: signing failed, message dropped\n", static_cast<unsigned>(aoJob.meta.aid));
        return;
    }
    DsmTxReq req;
    req.meta = aoJob.meta;
    req.protTp = aoJob.protTp;
    req.priority = aoJob.priority;
    req.dataLen = aoJob.outLen;
    req.data = reinterpret_cast<const char*>(aoJob.out);
    req.peerMac = aoJob.peerMac;
    req.exts = aoJob.hasExts ? aoJob.exts : nullptr;
    const int rc = dme_dsm_send(req);
    if (rc == 0) {
        STAT_ADD(txSecSigned);
    } else {
        STAT_ADD(txSecFailed);  // the layer below said why
        _conn_drop(aoJob.meta.connId);
    }
}

void _deliver_verify(SecJob& aoJob)
{
    SecState& s = sec_state();
    const sec::VerifyResult why = aoJob.result;
    _count_rx(why);
    if (why == sec::VerifyResult::UnknownSigner || aoJob.vout.signerWasNew) {
        // A station this one did not know: it may not know this one either.
        _certs_due();
    }
    const SecProfileRun* p = _profile(aoJob.aid);
    const char* data = reinterpret_cast<const char*>(aoJob.in);
    size_t len = aoJob.inLen;
    if (aoJob.vout.payload.p != nullptr) {
        data = reinterpret_cast<const char*>(aoJob.vout.payload.p);
        len = aoJob.vout.payload.n;
    }
    if (why != sec::VerifyResult::Ok) {
        if (p == nullptr || p->p.passFailed == 0) {
            return;  // counted above by reason
        }
        STAT_ADD(rxSecPassedUnverified);
    }
    // The frame's receive record goes up with it, with the verdict.
    tDSMRxInfo& rx = rx_info_cur();
    rx = aoJob.rxInfo;
    if (why == sec::VerifyResult::Ok) {
        rx.secResult = V2X_RX_SEC_VERIFIED;
        static_assert(sizeof(rx.signerId) == sizeof(aoJob.vout.signer.b), "HashedId8");
        memcpy(rx.signerId, aoJob.vout.signer.b, sizeof(rx.signerId));
    } else {
        rx.secResult = why == sec::VerifyResult::Unsigned ? V2X_RX_SEC_UNSIGNED : V2X_RX_SEC_FAILED;
    }
    rx_info_resume();
    (void)s.ind(aoJob.dsmpVer, aoJob.aid, static_cast<uint16_t>(len), data,
                reinterpret_cast<const char*>(aoJob.peerMac), aoJob.rxPrio);
    rx_info_stop();
}

void _deliver(SecJob& aoJob, void*)
{
    if (aoJob.kind == SecJob::Kind::Sign) {
        _deliver_sign(aoJob);
    } else {
        _deliver_verify(aoJob);
    }
}

void _dropped(SecJob& aoJob, void*)
{
    if (aoJob.kind == SecJob::Kind::Sign) {
        STAT_ADD(txDroppedAtExit);
        _signed_out(aoJob);
    }
}

bool _profiles_ok(const tV2XSecCfg& c, bool* aopSigns, bool* aopVerifies)
{
    *aopSigns = *aopVerifies = false;
    if (c.profileCnt < 0 || c.profileCnt > V2X_SEC_PROFILES_MAX ||
        (c.profileCnt > 0 && c.profiles == nullptr) || c.workers < 0 ||
        c.workers > kMaxWorkers || c.queueLen < 0 || c.queueLen > kMaxQueue) {
        LOGE("security: profile count %d, workers %d or queue %d out of range\n", c.profileCnt,
             c.workers, c.queueLen);
        return false;
    }
    for (int i = 0; i < c.profileCnt; ++i) {
        tV2XSecProfile p;
        memcpy(&p, &c.profiles[i], sizeof(p));
        bool twice = false;
        for (int k = 0; k < i; ++k) {
            twice = twice || c.profiles[k].aid == p.aid;
        }
        if (p.aid > V2X_LIM_AID_MAX || p.sign > 1 || p.verify > 1 || p.passFailed > 1 ||
            p.signer > V2X_SEC_SIGNER_CERT || twice) {
            LOGE("security profile %d (aid %u) err!!!!\n", i, static_cast<unsigned>(p.aid));
            return false;
        }
        *aopSigns = *aopSigns || p.sign != 0;
        *aopVerifies = *aopVerifies || p.verify != 0;
    }
    if (*aopSigns && (c.certPath == nullptr || c.keyPath == nullptr)) {
        LOGE("security: a profile signs, but no certificate and key are set\n");
        return false;
    }
    if (*aopVerifies && c.trustDir == nullptr) {
        LOGE("security: a profile verifies, but no trust folder is set\n");
        return false;
    }
    return true;
}

// The station's certificate must permit every AID it signs for, or every
// receiver would refuse them.
bool _signer_permits(const sec::Signer& s, const tV2XSecCfg& c)
{
    sec::Certificate cert;
    if (sec::decode_certificate(s.cert(), s.cert_len(), cert) != sec::CodecResult::Ok) {
        LOGE("security: %s does not decode\n", c.certPath);
        return false;
    }
    for (int i = 0; i < c.profileCnt; ++i) {
        if (c.profiles[i].sign != 0 && !cert.permits(c.profiles[i].aid)) {
            LOGE("security: %s does not permit aid %u, which a profile signs\n", c.certPath,
                 static_cast<unsigned>(c.profiles[i].aid));
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" V2X_API int v2x_core_set_security(const tV2XSecCfg* aipcCfg)
{
    SecConfig next;
    if (aipcCfg != nullptr) {
        tV2XSecCfg c;
        memcpy(&c, aipcCfg, sizeof(c));
        bool signs = false;
        bool verifies = false;
        if (!_profiles_ok(c, &signs, &verifies)) {
            return -ERR_V2X_PARM_CONT;
        }
        try {
            std::string why;
            if (verifies) {
                next.trust = std::make_shared<sec::TrustStore>();
                if (next.trust->load_dir(c.trustDir, &why) < 0 || next.trust->anchors() == 0) {
                    LOGE("security: trust folder %s: %s\n", c.trustDir,
                         why.empty() ? "no trust anchor (self-signed certificate) in it" : why.c_str());
                    return -ERR_V2X_SEC_LOAD;
                }
            }
            if (signs) {
                next.signer = std::make_shared<sec::Signer>();
                if (!next.signer->load(c.certPath, c.keyPath, &why)) {
                    LOGE("security: %s\n", why.c_str());
                    return -ERR_V2X_SEC_LOAD;
                }
                if (!_signer_permits(*next.signer, c)) {
                    return -ERR_V2X_SEC_LOAD;
                }
            }
        } catch (const std::exception& e) {
            LOGE("security: %s\n", e.what());
            return -ERR_V2X_MALLOC;
        }
        if (c.profileCnt > 0) {
            memcpy(next.profiles, c.profiles, sizeof(c.profiles[0]) * static_cast<size_t>(c.profileCnt));
        }
        next.profileCnt = c.profileCnt;
        next.workers = c.workers;
        next.queueLen = c.queueLen;
        if (c.windowBackMs != 0) {
            next.policy.windowBackUs = static_cast<uint64_t>(c.windowBackMs) * 1000;
        }
        if (c.windowAheadMs != 0) {
            next.policy.windowAheadUs = static_cast<uint64_t>(c.windowAheadMs) * 1000;
        }
    }
    SecState& s = sec_state();
    std::lock_guard<std::mutex> lk(s.cfgMtx);
    s.pending = std::move(next);  // the previous key is freed (and cleansed) here
    return V2X_SUCCESS;
}

int sec_lyr_init(struct event_base* aipBase)
{
    SecState& s = sec_state();
    sec_lyr_exit();
    {
        std::lock_guard<std::mutex> lk(s.cfgMtx);
        s.run = s.pending;
    }
    s.profCnt = s.run.profileCnt;
    for (int i = 0; i < s.profCnt; ++i) {
        s.prof[i] = SecProfileRun{};
        s.prof[i].p = s.run.profiles[i];
    }
    if (s.profCnt == 0) {
        return V2X_SUCCESS;  // nothing signs or verifies: every AID passes through
    }
    try {
        if (s.run.trust) {
            s.verifier = std::make_unique<sec::Verifier>(*s.run.trust, s.run.policy);
        }
    } catch (const std::exception& e) {
        LOGE("security: %s\n", e.what());
        sec_lyr_exit();
        return -ERR_V2X_MALLOC;
    }
    int workers = s.run.workers;
    if (workers == 0) {
        const long n = sysconf(_SC_NPROCESSORS_ONLN);
        workers = n < 1 ? 1 : (n > kMaxWorkers ? kMaxWorkers : static_cast<int>(n));
    }
    const int queue = s.run.queueLen != 0 ? s.run.queueLen : kDefaultQueue;
    if (s.pool.start(workers, queue, aipBase, _work, _deliver, nullptr) != 0) {
        sec_lyr_exit();
        return -ERR_V2X_MALLOC;
    }
    s.running = true;
    LOGI("security: %d profiles, %d workers, queue %d\n", s.profCnt, workers, queue);
    return V2X_SUCCESS;
}

void sec_lyr_exit()
{
    SecState& s = sec_state();
    s.pool.stop(_dropped);
    s.verifier.reset();
    s.run = SecConfig{};
    s.profCnt = 0;
    s.running = false;
    for (int& n : s.signing) {
        n = 0;
    }
    s.signingTotal = 0;
}

void sec_lyr_set_ind_sink(fSecIndSink aipSink) { sec_state().ind.set(aipSink); }

void sec_lyr_set_tx_news_sink(void (*aipSink)(uint32_t, eRlinkTxNews)) { sec_state().news.set(aipSink); }

void sec_lyr_set_tx_room_sink(fRlinkTxRoom aipSink) { sec_state().room.set(aipSink); }

int sec_lyr_tx_room_prio(uint8_t aicPrio)
{
    const int r = rlink_tx_room_prio(aicPrio) - sec_state().signing[TxScheduler::clamp_prio(aicPrio)];
    return r > 0 ? r : 0;
}

int sec_lyr_tx_waiting_total() { return rlink_tx_queued_total() + sec_state().signingTotal; }

void sec_lyr_set_clock(fSecClock aipClock) { sec_state().clock = aipClock; }

int sec_lyr_send(const DsmTxReq& aicReq)
{
    SecState& s = sec_state();
    SecProfileRun* p = s.running ? _profile(aicReq.meta.aid) : nullptr;
    if (p == nullptr || p->p.sign == 0) {
        return dme_dsm_send(aicReq);
    }
    const uint64_t now = _now();
    sec::SignerKind kind = sec::SignerKind::Digest;
    if (p->p.signer == V2X_SEC_SIGNER_CERT || p->certDue || now - p->lastCertUs >= kCertEveryUs) {
        kind = sec::SignerKind::Certificate;
    }
    const size_t certLen = kind == sec::SignerKind::Certificate ? s.run.signer->cert_len() : 0;
    if (aicReq.dataLen != 0 && aicReq.data == nullptr) {
        return -ERR_V2X_PARM_CONT;
    }
    if (sec::signed_data_len(aicReq.dataLen, aicReq.meta.aid, certLen) > V2X_LIM_DSM_DATA_MAX_2B) {
        LOGE("aid %u: %u bytes do not fit a frame once signed\n",
             static_cast<unsigned>(aicReq.meta.aid), static_cast<unsigned>(aicReq.dataLen));
        return -ERR_V2X_SEND_LEN;
    }
    SecJob* j = s.pool.reserve();
    if (j == nullptr) {
        if (STAT_GET(txSecOverload) == 0) {
            LOGW("signing queue full: messages refused (counted in txSecOverload)\n");
        }
        STAT_ADD(txSecOverload);
        _conn_drop(aicReq.meta.connId);
        return -ERR_V2X_TX_FULL;
    }
    if (kind == sec::SignerKind::Certificate) {
        p->lastCertUs = now;
        p->certDue = false;
    }
    j->kind = SecJob::Kind::Sign;
    j->meta = aicReq.meta;
    j->protTp = aicReq.protTp;
    j->priority = aicReq.priority;
    if (aicReq.peerMac != nullptr) {
        memcpy(j->peerMac, aicReq.peerMac, sizeof(j->peerMac));
    }
    if (aicReq.exts != nullptr) {
        memcpy(j->exts, aicReq.exts, sizeof(j->exts));
        j->hasExts = true;
    }
    j->signerKind = kind;
    j->genTime = now;
    j->inLen = aicReq.dataLen;
    if (aicReq.dataLen != 0) {
        memcpy(j->in, aicReq.data, aicReq.dataLen);
    }
    s.pool.publish();
    ++s.signing[TxScheduler::clamp_prio(aicReq.meta.prio)];
    ++s.signingTotal;
    return 0;
}

int sec_lyr_ind(uint8_t aiVer, uint32_t aicAid, uint16_t aiLen, const char* aipcData,
                const char* aipcPeerMac, uint8_t aiPrity)
{
    SecState& s = sec_state();
    const SecProfileRun* p = s.running ? _profile(aicAid) : nullptr;
    if (p == nullptr || p->p.verify == 0 || !s.verifier) {
        return s.ind(aiVer, aicAid, aiLen, aipcData, aipcPeerMac, aiPrity);
    }
    if (aiLen > kSecJobBuf || (aiLen != 0 && aipcData == nullptr)) {
        STAT_ADD(rxSecMalformed);
        return 0;
    }
    SecJob* j = s.pool.reserve();
    if (j == nullptr) {
        if (STAT_GET(rxSecOverload) == 0) {
            LOGW("verification queue full: received messages dropped (counted in rxSecOverload)\n");
        }
        STAT_ADD(rxSecOverload);
        return 0;
    }
    j->kind = SecJob::Kind::Verify;
    j->dsmpVer = aiVer;
    j->aid = aicAid;
    j->rxPrio = aiPrity;
    if (aipcPeerMac != nullptr) {
        memcpy(j->peerMac, aipcPeerMac, sizeof(j->peerMac));
    }
    j->now = _now();
    if (rx_info_active()) {
        j->rxInfo = rx_info_cur();
    } else {
        rx_info_start();
        j->rxInfo = rx_info_cur();
        rx_info_stop();
    }
    j->rxInfo.dsmpVer = aiVer;
    j->inLen = aiLen;
    if (aiLen != 0) {
        memcpy(j->in, aipcData, aiLen);
    }
    s.pool.publish();
    return 0;
}

size_t sec_lyr_waiting() { return sec_state().pool.waiting(); }

void sec_lyr_drain() { sec_state().pool.deliver_ready(); }
