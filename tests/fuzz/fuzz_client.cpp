// SPDX-License-Identifier: Apache-2.0
// The client library's reader: its reassembly on its own against the
// reference, then the library's daemon client on a real connection.
#include <event2/event.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "core_app_frame.hpp"
#include "cv2x_app.h"
#include "fuzz_common.h"
#include "fuzz_entries.h"

namespace v2xfuzz {
namespace {

bool hdr_ok(uint32_t aicType, uint32_t aicLen)
{
    return core_app_rx_hdr_check(aicType, aicLen) == CoreAppHdr::Ok;
}

// Reassembly alone: the same pieces through CoreAppRx and the reference
// give the same messages and the same drops, in the same order.
void check_reassembly(const uint8_t* aipcData, size_t aicLen)
{
    static std::unique_ptr<CoreAppRx> rx(new CoreAppRx());
    rx->reset();
    RefRx ref;
    ref.hdr_ok = hdr_ok;
    Splitter cut(aipcData[0], CoreAppRx::kReadMax);
    size_t pos = 1;
    while (pos < aicLen) {
        const size_t n = cut.next(aicLen - pos);
        char* room = rx->read_room();
        memcpy(room, aipcData + pos, n);
        rx->commit(n);
        ref.held.append(reinterpret_cast<const char*>(aipcData + pos), n);
        pos += n;
        for (;;) {
            CoreAppMsg m{};
            const CoreAppNext got = rx->next(&m);
            uint32_t type = 0;
            uint16_t len = 0;
            std::string pl;
            const RefNext want = ref.next(type, len, pl);
            if (want == RefNext::More) {
                V2XF_CHECK(got == CoreAppNext::More);
                break;
            }
            V2XF_CHECK(m.msgType == type && m.msgLen == len);
            if (want == RefNext::Drop) {
                V2XF_CHECK(got == CoreAppNext::Drop && m.payload == nullptr);
                break;
            }
            V2XF_CHECK(got == CoreAppNext::Msg);
            V2XF_CHECK(memcmp(m.payload, pl.data(), len) == 0);
        }
        V2XF_CHECK(rx->held() == ref.held.size());
    }
}

struct Peer {
    struct event_base* base = nullptr;
    int lsn = -1;
    tV2XSDKCfg cfg;
    int baseSockets = 0;
};

Peer& peer()
{
    static Peer p;
    if (p.base != nullptr) {
        return p;
    }
    signal(SIGPIPE, SIG_IGN);
    p.base = event_base_new();
    V2XF_CHECK(p.base != nullptr);
    p.lsn = listen_as_core(p.cfg, "clit");
    p.baseSockets = open_sockets();
    return p;
}

}  // namespace

int client_reader(const uint8_t* aipcData, size_t aicLen)
{
    if (aicLen == 0) {
        return 0;
    }
    check_reassembly(aipcData, aicLen);

    // The library's own reader, fed the same pieces by a stand-in core.
    Peer& p = peer();
    int rc = -1;
    const int core = accept_greeted(p.lsn, [&] { return v2x_domn_clit_init(&p.cfg, p.base); }, &rc);
    V2XF_CHECK(rc == 0);
    V2XF_CHECK(core >= 0);
    Splitter cut(aipcData[0], CoreAppRx::kReadMax);
    size_t pos = 1;
    while (pos < aicLen) {
        const size_t n = cut.next(aicLen - pos);
        V2XF_CHECK(send(core, aipcData + pos, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n));
        pos += n;
        event_base_loop(p.base, EVLOOP_NONBLOCK);
    }
    // The end of the stream closes the client's side by itself.
    close(core);
    event_base_loop(p.base, EVLOOP_NONBLOCK);
    V2XF_CHECK(open_sockets() == p.baseSockets);
    v2x_domn_clit_exit();
    return 0;
}

}  // namespace v2xfuzz
