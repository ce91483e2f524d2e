// SPDX-License-Identifier: Apache-2.0
// The adaptation layer: protocol type out, DSMP decoding and AID filter in.
#include "adap_lyr.hpp"

#include <string.h>

#include "dsmp.hpp"
#include "rlink.hpp"
#include "rx_info.hpp"
#include "air_log.hpp"
#include "core_stats.hpp"
#include "self_log.h"
#include "v2x_prim.hpp"
#include "v2x_sink.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

static tAdapLyrPrim giAdapLyrPrim = {nullptr, nullptr};
static tAdapLyrPrim* gipAdapLyrPrim = &giAdapLyrPrim;


void adap_lyr_set_dme_sink(fAdapDMESink aipSink)
{
    adap_state().dme.set(aipSink);
}

void adap_lyr_set_dsm_sink(fAdapDSMSink aipSink)
{
    adap_state().dsm.set(aipSink);
}

void adap_lyr_set_wanted_sink(fAdapWanted aipSink)
{
    adap_state().wanted.set(aipSink);
}

unsigned long adap_lyr_default_dme_sink_count(void)
{
    return adap_state().dme.unset_count();
}

// The send behind both entries: the frame's headroom takes the protocol
// type, and the datagram goes to the radio link with whose it is beside it.
static int _adap_send(const TxMeta& aicMeta, char* aiopFrame, const uint16_t aicDSMLen)
{
    LOGT();
    if (aiopFrame == nullptr) {
        LOGE("Input param err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    aiopFrame[offsetof(tAdapLyr, protTp)] = static_cast<char>(PROT_TP_DSMP);
    // A failure is counted and logged by the radio link, which decides it.
    return rlink_submit(aicMeta, aiopFrame, aicDSMLen + ADAP_LYR_HDR_LEN);
}

// The published request: only the protocol type and the frame go on the
// air, as the core's own datagram.
static int _adaptation_layer_request(const uint32_t aicAppId, const uint8_t aicProtTp,
                                     const char* aipcSrcMac, const char* aipcDstMac,
                                     char* aiopFrame, const uint8_t aicPrity,
                                     const char* aipcExt, const uint16_t aicDSMLen)
{
    (void)aicAppId;
    (void)aicProtTp;
    (void)aipcSrcMac;
    (void)aipcDstMac;
    (void)aicPrity;
    (void)aipcExt;
    static constexpr TxMeta kOwn = {0, 0, 0, 0, 0, 0};
    return _adap_send(kOwn, aiopFrame, aicDSMLen);
}


fAdapSend& adap_lyr_send_entry(void)
{
    return adap_state().send;
}

namespace {

// The frame's writer behind the protocol-type byte.
struct AdapFill {
    TxFill fill;
    const void* ctx;
};

void _adap_fill(char* aopBuf, const void* aipCtx)
{
    const auto* f = static_cast<const AdapFill*>(aipCtx);
    aopBuf[offsetof(tAdapLyr, protTp)] = static_cast<char>(PROT_TP_DSMP);
    f->fill(aopBuf + ADAP_LYR_HDR_LEN, f->ctx);
}

}  // namespace

int adap_lyr_send_fill(const TxMeta& aicMeta, const uint16_t aicDSMLen, TxFill aipFill,
                       const void* aipCtx)
{
    LOGT();
    if (adap_state().send == nullptr) {
        return prim_fail("gipAdapLyrPrim->request");
    }
    const AdapFill f = {aipFill, aipCtx};
    // A failure is counted and logged by the radio link, which decides it.
    return rlink_submit_fill(aicMeta, aicDSMLen + ADAP_LYR_HDR_LEN, _adap_fill, &f);
}

int adap_lyr_send(const TxMeta& aicMeta, char* aiopFrame, const uint16_t aicDSMLen)
{
    if (adap_state().send == nullptr) {
        return prim_fail("gipAdapLyrPrim->request");
    }
    return adap_state().send(aicMeta, aiopFrame, aicDSMLen);
}

static bool _aid_registered(uint32_t aicAid)
{
    if (adap_state().wanted(aicAid) != 0) {
        LOGI("This packet not recv, appId:0x%x------\n", aicAid);
        return false;
    }
    return true;
}

// A frame that ends inside its header, counted by the field it ends in.
static void _count_short(const char* aipcField)
{
    if (strcmp(aipcField, "appId") == 0) {
        STAT_ADD(rxDropShortAid);
    } else if (strcmp(aipcField, "dsmDMELen") == 0) {
        STAT_ADD(rxDropShortLen);
    } else {
        STAT_ADD(rxDropShortExt);  // elemId, elemIdLen, elemVal
    }
}

static int _adaptation_layer_indication(const uint8_t aicProtTp, const char* aipcSrcAdr,
                                        const char* aipcDstAdr, const char* aipcData,
                                        const uint8_t aicPrity, const uint16_t aicAdapPayldLen)
{
    (void)aipcDstAdr;
    LOGT();
    if (aicProtTp != PROT_TP_DSMP) {
        STAT_ADD(rxProtTypeOther);  // decoded all the same
    }
    DsmpRxFrame f;
    const DsmpRx res = dsmp_decode(reinterpret_cast<const uint8_t*>(aipcData), aicAdapPayldLen, f,
                                   _aid_registered);
    // An extension element is checked by the decoder; its bytes go up in
    // the receive record.
    switch (res) {
    case DsmpRx::TooShort:
        STAT_ADD(rxDropTooShort);
        LOGE_AIR("aicAdapPayldLen(%d) err!!!!\n", static_cast<int>(aicAdapPayldLen));
        return -ERR_V2X_RX_DSM_FMT;
    case DsmpRx::ExtTooLong:
        STAT_ADD(rxDropExtTooLong);
        LOGE_AIR("elemIdLen(%d)>max(%d) err!!!!\n", static_cast<int>(f.extLen),
             static_cast<int>(DSMP_EXT_RD_MAX));
        return -ERR_V2X_RX_DSM_FMT;
    case DsmpRx::Truncated:
        // The frame ends inside its header: the named field is not all there.
        _count_short(f.shortField);
        LOGE_AIR("%s short, aicAdapPayldLen(%d) err!!!!\n", f.shortField,
             static_cast<int>(aicAdapPayldLen));
        return -ERR_V2X_RX_DSM_FMT;
    case DsmpRx::DmeLenMismatch:
        STAT_ADD(rxDropLenMismatch);
        LOGE_AIR("%d!=%d+%d err, quit!!!!\n", static_cast<int>(aicAdapPayldLen),
             static_cast<int>(f.consumed), static_cast<int>(f.len));
        return -ERR_V2X_RX_DSM_FMT;
    case DsmpRx::Dme:
        STAT_ADD(rxDmeFrames);
        return adap_state().dme(reinterpret_cast<const char*>(f.data), f.len);
    case DsmpRx::AidFormat:
        STAT_ADD(rxDropAidFormat);
        LOGE_AIR("AID(%0x) format err!!!!\n", static_cast<unsigned>(f.aidByte));
        return -ERR_V2X_RX_DSM_FMT;
    case DsmpRx::NotWanted:
        STAT_ADD(rxDropNotRegistered);
        return V2X_SUCCESS;
    case DsmpRx::LenMismatch:
        STAT_ADD(rxDropLenMismatch);
        LOGI("%d+%d!=%d err!!!!\n", static_cast<int>(f.len), static_cast<int>(f.consumed),
             static_cast<int>(aicAdapPayldLen));
        return V2X_SUCCESS;
    case DsmpRx::Ok:
        break;
    }
    if (rx_info_active()) {
        rx_info_take_dsmp(f.version, f.extId, f.extLen, f.extVal);
    }
    LOGI("appId=0x%x\n", static_cast<unsigned>(f.rawAid));
    LOGI("encdAid=%d\n", static_cast<int>(f.aid));
    LOGI("dsmDMELen=%d\n", static_cast<int>(f.len));
    // A refusal above was counted and logged where it was decided.
    return adap_state().dsm(f.version, f.aid, f.len, reinterpret_cast<const char*>(f.data), aipcSrcAdr,
                     aicPrity);
}

extern "C" V2X_API tAdapLyrPrim* get_adaptation_layer_prim(void)
{
    return gipAdapLyrPrim;
}

extern "C" V2X_API int adaptation_layer_init(void)
{
    LOGT();
    adap_state().send = _adap_send;
    return prim_set(giAdapLyrPrim, _adaptation_layer_request, _adaptation_layer_indication);
}

extern "C" V2X_API int adaptation_layer_exit(void)
{
    LOGT();
    adap_state().send = nullptr;
    return prim_set(giAdapLyrPrim, nullptr, nullptr);
}
