// SPDX-License-Identifier: Apache-2.0
// The simple system API's blocking reader on a real connection. A stand-in
// core writes the stream in pieces; the reader is called only when a model
// of it says the call returns without waiting for more bytes, and each
// result is compared with what the model expects.
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core_app_frame.hpp"
#include "cv2x_app_sys.h"
#include "fuzz_common.h"
#include "fuzz_entries.h"

namespace v2xfuzz {
namespace {

bool hdr_ok(uint32_t aicType, uint32_t aicLen)
{
    return core_app_rx_hdr_check(aicType, aicLen) == CoreAppHdr::Ok;
}

struct Peer {
    int lsn = -1;
    tV2XSDKCfg cfg;
    int baseSockets = 0;
};

Peer& peer()
{
    static Peer p;
    if (p.lsn >= 0) {
        return p;
    }
    signal(SIGPIPE, SIG_IGN);
    p.lsn = listen_as_core(p.cfg, "sys");
    p.baseSockets = open_sockets();
    return p;
}

// The reader as the model sees it: what it holds, and what the core wrote
// that it has not read yet. One read takes min(unread, kReadMax) bytes.
struct Model {
    RefRx held;
    std::string unread;
    bool eof = false;

    // Advances the model through one call. Returns false (model unchanged)
    // when the call would wait for bytes not yet written.
    bool call(RefNext& aopKind, uint32_t& aopType, uint16_t& aopLen, std::string& aopPl)
    {
        Model trial = *this;
        for (;;) {
            aopKind = trial.held.next(aopType, aopLen, aopPl);
            if (aopKind != RefNext::More) {
                *this = trial;
                return true;
            }
            if (trial.unread.empty()) {
                if (!trial.eof) {
                    return false;
                }
                *this = trial;
                return true;  // More at the end of the stream: the call fails
            }
            const size_t n = trial.unread.size() < CoreAppRx::kReadMax ? trial.unread.size()
                                                                         : CoreAppRx::kReadMax;
            trial.held.held.append(trial.unread, 0, n);
            trial.unread.erase(0, n);
        }
    }
};

// One call of the real reader, compared with the model's result.
void read_and_check(RefNext aicKind, uint32_t aicType, const std::string& aicPl, int aicBufLen)
{
    std::vector<char> buf(static_cast<size_t>(aicBufLen) + 1, '\x5A');
    tDSMRxParm parm;
    memset(&parm, 0xA5, sizeof(parm));
    const int rc = v2x_system_read(aicBufLen > 0 ? buf.data() : nullptr, aicBufLen, &parm);
    // The byte after the caller's buffer is never written.
    V2XF_CHECK(buf[static_cast<size_t>(aicBufLen)] == '\x5A');
    if (aicKind == RefNext::More) {
        V2XF_CHECK(rc == -1);
        return;
    }
    if (aicKind == RefNext::Drop) {
        V2XF_CHECK(rc == -ERR_V2X_RX_CORE_FMT);
        return;
    }
    switch (aicType) {
    case V2X_DSM_CFM:
    case V2X_DME_PROV_SERV_CFM:
    case V2X_DME_USER_SERV_CFM:
        V2XF_CHECK(rc == 0);
        return;
    case V2X_DSM_IND: {
        uint16_t recLen;
        memcpy(&recLen, aicPl.data() + offsetof(tDSMInd, msgLen), 2);
        if (!core_app_dsm_ind_len_ok(static_cast<uint32_t>(aicPl.size()), recLen) ||
            recLen > aicBufLen) {
            V2XF_CHECK(rc == -ERR_V2X_RX_CORE_FMT);
            return;
        }
        V2XF_CHECK(rc == recLen);
        V2XF_CHECK(memcmp(&parm, aicPl.data(), sizeof(parm)) == 0);
        V2XF_CHECK(recLen == 0 || memcmp(buf.data(), aicPl.data() + V2X_DSM_IND_HEAD_LEN, recLen) == 0);
        return;
    }
    default:
        V2XF_CHECK(rc == -ERR_V2X_RX_CORE_FMT);
        return;
    }
}

}  // namespace

int sys_reader(const uint8_t* aipcData, size_t aicLen)
{
    if (aicLen < 2) {
        return 0;
    }
    static const int kBufLens[8] = {0, 1, 13, 100, 1000, 4075, 4076, 5000};
    const int bufLen = kBufLens[aipcData[1] & 7];
    Peer& p = peer();
    int rc = -1;
    const int core = accept_greeted(p.lsn, [&] { return v2x_sys_net_init(&p.cfg); }, &rc);
    V2XF_CHECK(rc == 0);
    V2XF_CHECK(core >= 0);
    // The registration for every AID the API sends first.
    char reg[V2X_CORE_APP_HDR_LEN + V2X_DME_DSM_SERV_REQ_LEN];
    V2XF_CHECK(recv(core, reg, sizeof(reg), MSG_WAITALL) == static_cast<ssize_t>(sizeof(reg)));

    Model model;
    model.held.hdr_ok = hdr_ok;
    Splitter cut(aipcData[0], CoreAppRx::kReadMax);
    size_t pos = 2;
    RefNext kind;
    uint32_t type = 0;
    uint16_t len = 0;
    std::string pl;
    // The pieces are held back until the reader is called: it takes all
    // that waits, so only where the calls fall matters, and the socket
    // never fills with pieces nobody reads.
    std::string unsent;
    auto flush = [&]() {
        if (!unsent.empty()) {
            V2XF_CHECK(send(core, unsent.data(), unsent.size(), MSG_NOSIGNAL) ==
                       static_cast<ssize_t>(unsent.size()));
            unsent.clear();
        }
    };
    while (pos < aicLen) {
        const size_t n = cut.next(aicLen - pos);
        unsent.append(reinterpret_cast<const char*>(aipcData + pos), n);
        model.unread.append(reinterpret_cast<const char*>(aipcData + pos), n);
        pos += n;
        while (model.call(kind, type, len, pl)) {
            flush();
            read_and_check(kind, type, pl, bufLen);
        }
    }
    // After the end of the stream every call returns, the last one failing.
    flush();
    shutdown(core, SHUT_WR);
    model.eof = true;
    for (;;) {
        V2XF_CHECK(model.call(kind, type, len, pl));
        read_and_check(kind, type, pl, bufLen);
        if (kind == RefNext::More) {
            break;
        }
    }
    v2x_sys_net_exit();
    close(core);
    V2XF_CHECK(open_sockets() == p.baseSockets);
    return 0;
}

}  // namespace v2xfuzz
