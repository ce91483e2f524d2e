// SPDX-License-Identifier: Apache-2.0
// The access layer: MAC header in front of an adaptation frame.
#include "aces_lyr.hpp"

#include <string.h>

#include "rlink.hpp"
#include "self_log.h"
#include "v2x_prim.hpp"
#include "v2x_sink.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

static tAcesLyrPrim giAcesLyrPrim = {nullptr, nullptr};
static tAcesLyrPrim* gipAcesLyrPrim = &giAcesLyrPrim;

// The link keeps room for this layer's header in front of every buffer.
static_assert(ACES_LYR_HDR_LEN <= TxScheduler::kHeadroom, "the link's headroom takes the MAC header");


void aces_lyr_set_rx_sink(fRlinkRxSink aipSink)
{
    aces_state().rx.set(aipSink);
}

static int _access_layer_request(const char* aipcSrcMac, const char* aipcDstMac,
                                 char* aiopFrame, const uint8_t aicPrity,
                                 const ePdcpSduTp aicSduTp, const char* aipcExt,
                                 const uint16_t aicAdapLyrLen)
{
    (void)aicSduTp;
    (void)aipcExt;
    LOGT();
    if (aipcSrcMac == nullptr || aipcDstMac == nullptr || aiopFrame == nullptr) {
        LOGE("Input param err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    // The header goes into the frame's headroom.
    memcpy(aiopFrame + offsetof(tAcesLyr, dstMac), aipcDstMac, 6);
    memcpy(aiopFrame + offsetof(tAcesLyr, srcMac), aipcSrcMac, 6);
    aiopFrame[offsetof(tAcesLyr, priority)] = static_cast<char>(aicPrity);
    // A failure is counted and logged by the radio link, which decides it.
    return rlink_send(aiopFrame, aicAdapLyrLen + ACES_LYR_HDR_LEN);
}

static int _access_layer_indication(const char* aipcSrcAdr, const char* aipcDstAdr,
                                    const uint8_t aicPrity, const char* aipcData,
                                    const uint16_t aicAcesPayldLen)
{
    LOGT();
    if (aicAcesPayldLen == 0 || aipcData == nullptr) {
        LOGE("aicAcesPayldLen(%d) err!!!!\n", static_cast<int>(aicAcesPayldLen));
        return -ERR_V2X_RX_ADAP_FMT;
    }
    // A refusal above was counted and logged where it was decided.
    return aces_state().rx(static_cast<uint8_t>(aipcData[0]), aipcSrcAdr, aipcDstAdr, aipcData + 1,
                        aicPrity, static_cast<uint16_t>(aicAcesPayldLen - 1));
}

extern "C" V2X_API tAcesLyrPrim* get_access_layer_prim(void)
{
    return gipAcesLyrPrim;
}

extern "C" V2X_API int access_layer_init(void)
{
    LOGT();
    return prim_set(giAcesLyrPrim, _access_layer_request, _access_layer_indication);
}

extern "C" V2X_API int access_layer_exit(void)
{
    LOGT();
    return prim_set(giAcesLyrPrim, nullptr, nullptr);
}
