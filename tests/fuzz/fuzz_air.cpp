// SPDX-License-Identifier: Apache-2.0
// Receive path from the air: one datagram through the radio link's
// hand-over, the adaptation layer and the DSM layer.
#include <string.h>

#include <vector>

#include "core.hpp"
#include "adap_lyr.hpp"
#include "core_app.h"
#include "core_mib.h"
#include "dme_dsm.hpp"
#include "dsmp.hpp"
#include "fuzz_common.h"
#include "fuzz_entries.h"
#include "rlink.hpp"
#include "cbr_rpt.hpp"
#include "rx_info.hpp"

namespace v2xfuzz {
namespace {

struct Seen {
    int inds = 0;
    int dmes = 0;
    std::vector<uint8_t> ind;  // the whole indication message
    std::vector<uint8_t> dme;  // the management entity's data
};
Seen gSeen;

int on_ind(const char* aipcMsg, const int aicLen)
{
    ++gSeen.inds;
    gSeen.ind.assign(aipcMsg, aipcMsg + aicLen);
    return 0;
}

int on_dme(const char* aipcMsg, const uint16_t aicLen)
{
    ++gSeen.dmes;
    gSeen.dme.assign(aipcMsg, aipcMsg + aicLen);
    return 0;
}

void register_every_aid()
{
    tDMEDSMServReq r;
    memset(&r, 0, sizeof(r));
    r.action = DME_ACTION_ADD;
    r.aidMthFlg = 1;
    V2XF_CHECK(mib_dsm_serv_info_updata(&r) == 0);
}

void setup_once()
{
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    V2XF_CHECK(v2x_mib_init() == 0);
    V2XF_CHECK(adaptation_layer_init() == 0);
    const char mac[6] = {2, 0, 0, 0, 0, 1};
    V2XF_CHECK(dme_dsm_init(mac) == 0);
    core_wire_stack();
    dme_dsm_set_ind_sink(on_ind);
    adap_lyr_set_dme_sink(on_dme);
    register_every_aid();
}


// Encodes what was decoded and compares it with the received frame. The
// encoder writes version 0 and no empty extension, so the header byte is
// compared in its option bit only and an empty extension is left out.
void check_reencode(const uint8_t* aipcFrame, size_t aicLen, const DsmpRxFrame& f)
{
    uint8_t exts[256];
    memset(exts, 0, sizeof(exts));
    const bool hasExt = (f.hdr1 & DSMP_OPT_IND) != 0;
    if (hasExt) {
        exts[0] = f.extId;
        exts[1] = f.extLen;
        memcpy(exts + 2, f.extVal, f.extLen);
    }
    std::vector<uint8_t> out(aicLen + 8);
    DsmpTxInfo info;
    V2XF_CHECK(dsmp_encode(out.data(), out.size(), f.aid, hasExt ? exts : nullptr, f.data, f.len,
                           &info) == 0);
    std::vector<uint8_t> want(aipcFrame, aipcFrame + aicLen);
    if (hasExt && f.extLen == 0) {
        want.erase(want.begin() + 1, want.begin() + 3);
        want[0] = static_cast<uint8_t>(want[0] & ~DSMP_OPT_IND);
    }
    V2XF_CHECK(info.frameLen == want.size());
    V2XF_CHECK((out[0] & DSMP_OPT_IND) == (want[0] & DSMP_OPT_IND));
    V2XF_CHECK(memcmp(out.data() + 1, want.data() + 1, want.size() - 1) == 0);
}

}  // namespace

int air_frame(const uint8_t* aipcData, size_t aicLen)
{
    setup_once();
    gSeen = Seen();
    // A copy of exactly the datagram's size: a read past it is a finding.
    std::vector<char> dg(aipcData, aipcData + aicLen);
    core_wire_stack();  // a core run in the same process unwires at its stop
    const int rc = _parse_rx_msg(aicLen != 0 ? dg.data() : nullptr, static_cast<int>(aicLen));
    V2XF_CHECK(gSeen.inds + gSeen.dmes <= 1);
    if (aicLen == 0 || aicLen > 0x10000) {
        // Nothing a radio module can send: refused whole.
        V2XF_CHECK(rc != 0 && gSeen.inds == 0 && gSeen.dmes == 0);
        return 0;
    }

    const uint8_t* frame = aipcData + 1;
    size_t flen = aicLen - 1;
    if (aipcData[0] == PROT_TP_CBR_RPT) {
        // A CBR report goes to the congestion gate, never up; a malformed
        // one is refused whole.
        RlinkCbrRpt r;
        V2XF_CHECK(gSeen.inds == 0 && gSeen.dmes == 0);
        V2XF_CHECK(rlink_cbr_rpt_decode(frame, flen, &r) == RlinkCbrRc::Ok || rc != 0);
        return 0;
    }
    if (aipcData[0] == PROT_TP_RX_REC) {
        // A receive record first: refused whole when it is short or
        // malformed, else the frame behind it is decoded as in a plain one.
        RlinkRxRec rec;
        size_t off = 0;
        if (rlink_rx_rec_decode(frame, flen, &rec, &off) != RlinkRxRecRc::Ok) {
            V2XF_CHECK(rc != 0 && gSeen.inds == 0 && gSeen.dmes == 0);
            return 0;
        }
        frame += off + 1;
        flen -= off + 1;
    }
    DsmpRxFrame f;
    const DsmpRx res = dsmp_decode(frame, flen, f, nullptr);
    if (res == DsmpRx::Dme) {
        V2XF_CHECK(gSeen.dmes == 1);
        V2XF_CHECK(gSeen.dme.size() == f.len);
        V2XF_CHECK(f.len == 0 || memcmp(gSeen.dme.data(), f.data, f.len) == 0);
        return 0;
    }
    V2XF_CHECK(gSeen.dmes == 0);
    if (res != DsmpRx::Ok || f.len > V2X_DSM_IND_MAX_DATA) {
        V2XF_CHECK(gSeen.inds == 0);
        return 0;
    }
    // Accepted: the application sees the frame's version, AID and data.
    V2XF_CHECK(rc == 0);
    V2XF_CHECK(gSeen.inds == 1);
    const std::vector<uint8_t>& m = gSeen.ind;
    V2XF_CHECK(m.size() == V2X_CORE_APP_HDR_LEN + V2X_DSM_IND_HEAD_LEN + f.len);
    uint32_t type;
    uint16_t hlen;
    memcpy(&type, m.data(), 4);
    memcpy(&hlen, m.data() + 4, 2);
    V2XF_CHECK(type == V2X_DSM_IND && hlen == V2X_DSM_IND_HEAD_LEN + f.len);
    const uint8_t* ind = m.data() + V2X_CORE_APP_HDR_LEN;
    uint32_t aid;
    uint16_t dlen;
    memcpy(&aid, ind + offsetof(tDSMInd, appId), 4);
    memcpy(&dlen, ind + offsetof(tDSMInd, msgLen), 2);
    V2XF_CHECK(ind[offsetof(tDSMInd, dsmpVer)] == (f.hdr1 & DSMP_VER_MASK));
    V2XF_CHECK(aid == f.aid && dlen == f.len);
    V2XF_CHECK(f.len == 0 || memcmp(ind + V2X_DSM_IND_HEAD_LEN, f.data, f.len) == 0);
    check_reencode(frame, flen, f);
    return 0;
}

}  // namespace v2xfuzz
