// SPDX-License-Identifier: Apache-2.0
// Application messages on a real connection to the core's daemon server,
// written in pieces so that every read ends at a different place.
#include <event2/event.h>
#include <signal.h>
#include <string.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "core_mib.h"
#include "domn_serv.h"
#include "dme_dsm.h"
#include "fuzz_common.h"
#include "fuzz_entries.h"

namespace v2xfuzz {
namespace {

struct Server {
    struct event_base* base = nullptr;
    std::string path;
    int baseSockets = 0;
};

// Runs the server's ready callbacks without waiting. The bytes of a
// Unix-domain write are readable as soon as the write returns; the server
// takes a few messages per pass, so passes go on until `done`.
template <typename F>
void pump_until(struct event_base* aipBase, F done)
{
    for (int i = 0; i < 100000 && !done(); ++i) {
        event_base_loop(aipBase, EVLOOP_NONBLOCK);
    }
}

// Bytes written on fd that the server has not read yet.
int unread(int fd)
{
    int n = 0;
    return ioctl(fd, SIOCOUTQ, &n) == 0 ? n : 0;
}

Server& server()
{
    static Server s;
    if (s.base != nullptr) {
        return s;
    }
    signal(SIGPIPE, SIG_IGN);
    // Requests go down to the DSM layer; with no adaptation layer below they
    // are refused there, so the radio link's pacing never makes a run wait.
    V2XF_CHECK(v2x_mib_init() == 0);
    const char mac[6] = {2, 0, 0, 0, 0, 2};
    V2XF_CHECK(dme_dsm_init(mac) == 0);
    s.base = event_base_new();
    V2XF_CHECK(s.base != nullptr);
    s.path = sock_path("app");
    unlink(s.path.c_str());
    V2XF_CHECK(v2x_sdk_dmn_serv_init(s.path.c_str(), s.base) == 0);
    s.baseSockets = open_sockets();
    return s;
}

}  // namespace

int app_stream(const uint8_t* aipcData, size_t aicLen)
{
    if (aicLen == 0) {
        return 0;
    }
    Server& s = server();
    const int fd = connect_to(s.path);
    event_base_loop(s.base, EVLOOP_NONBLOCK);  // accepted
    Splitter cut(aipcData[0], 4095);
    size_t pos = 1;
    while (pos < aicLen) {
        const size_t n = cut.next(aicLen - pos);
        // The socket buffer takes any piece: the server has read all before.
        V2XF_CHECK(send(fd, aipcData + pos, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n));
        pos += n;
        pump_until(s.base, [&] { return unread(fd) == 0; });
    }
    close(fd);
    pump_until(s.base, [&] { return open_sockets() == s.baseSockets; });
    // The connection and everything it held are gone again.
    V2XF_CHECK(open_sockets() == s.baseSockets);
    return 0;
}

}  // namespace v2xfuzz
