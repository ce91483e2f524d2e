// SPDX-License-Identifier: Apache-2.0
// A running core for tests: its own socket path, a UDP socket that plays the
// radio module, and raw application connections.
#ifndef V2X_CORE_HARNESS_H
#define V2X_CORE_HARNESS_H

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "core_app.h"
#include "cv2x_app.h"

namespace v2xtest {

using Bytes = std::vector<uint8_t>;

// A UDP socket on 127.0.0.1 with a kernel-chosen port.
class UdpPeer {
public:
    UdpPeer();
    ~UdpPeer();
    uint16_t port() const { return port_; }
    // Waits up to timeout_ms for one datagram; empty when none came.
    Bytes recv(int timeout_ms);
    // Sends one datagram to 127.0.0.1:port.
    bool send_to(uint16_t port, const Bytes& b);
    // Turns on kernel arrival stamps and waits until they really are taken
    // on arrival (the kernel turns stamping on lazily: until then a datagram
    // is stamped when it is read). False when they never are.
    bool start_stamping();
    // Arrival time (CLOCK_REALTIME, ns) of the next datagram within
    // timeout_ms, its bytes in *out; -1 when none came.
    long long recv_stamp(int timeout_ms, Bytes* out);

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A free UDP port on 127.0.0.1 at the moment of the call.
uint16_t free_udp_port();
// n distinct UDP ports on 127.0.0.1 that were free a moment ago (held
// together while chosen), for a child process to bind later, perhaps several
// times. They come from below the kernel's ephemeral range, at random: a
// port the kernel picked would be handed to any other test's bind to port 0
// in the meantime, and the child would find it in use.
std::vector<uint16_t> free_udp_ports(size_t n);

// A zeroed configuration: the daemon socket at dmnNme (empty: none), receive
// on rcvIp:rcvPort, send to 127.0.0.1:sendPort. A name of the field's full
// size is copied without terminator, as a caller may pass one.
tV2XSDKCfg sdk_cfg(const std::string& dmnNme, const char* rcvIp = "127.0.0.1",
                   uint16_t rcvPort = 0, uint16_t sendPort = 0);

// A zeroed DSM service request record.
tDMEDSMServReq serv_rec(uint16_t index, uint32_t action, uint32_t aid, uint8_t all = 0);

// Starts the core with a fresh socket path, rcvPort free, and sendPort the
// radio peer's port; waits until the daemon socket accepts connections.
class CoreHarness {
public:
    CoreHarness();
    ~CoreHarness();
    bool started() const { return started_; }
    tV2XSDKCfg cfg;
    UdpPeer radio;  // where the core sends its datagrams

    // A blocking application connection to the daemon socket, its greeting
    // read; -1 on failure or when the core did not welcome it.
    int connect_app();
    // Closes one of those connections now.
    void close_app(int fd);
    // Sends a datagram "from the air" to the core's receive port.
    bool air_send(const Bytes& datagram) { return radio.send_to(cfg.rcvPort, datagram); }

private:
    bool started_ = false;
    std::vector<int> apps_;
};

// A datagram from the radio module: protocol type 4, header 0, a one-byte
// AID, big-endian length, the data.
Bytes air_frame(uint8_t aid, const Bytes& data);

// Message helpers for the application socket.
Bytes app_msg(uint32_t type, const Bytes& payload);
Bytes dsm_serv_req(uint16_t index, uint32_t action, uint32_t aid, uint8_t all);
Bytes dsm_req(uint32_t aid, const Bytes& data);
Bytes prov_req(uint16_t lcl, uint32_t act, uint32_t aid, uint8_t rate, const std::string& ext);
Bytes user_req(uint16_t lcl, uint32_t act, uint32_t aid);
// A DSM request at priority prio; with options (V2X_DSM_REQ_EX) when
// lifeMs, supersede or rsvd0 says so or ex is set.
Bytes dsm_req_prio(uint32_t aid, const Bytes& data, uint8_t prio);
// callUs: the sender's monotonic time of the call, 0 for unknown.
Bytes dsm_req_ex(uint32_t aid, const Bytes& data, uint8_t prio, uint32_t lifeMs, uint8_t supersede,
                 uint8_t rsvd0 = 0, uint64_t callUs = 0);
bool write_all(int fd, const Bytes& b);
// Sends a DSM service request on fd and reads the core's confirm to it
// (behind the greeting, on a connection not read from yet): its result code
// (0 accepted), or -1 when none came for this AID.
int register_aid(int fd, uint16_t index, uint32_t aid, uint8_t all = 0,
                 uint32_t action = DME_ACTION_ADD);
// Reads exactly n bytes within timeout_ms; fewer when the time runs out.
Bytes read_n(int fd, size_t n, int timeout_ms);
// Reads one whole message (header and payload) within timeout_ms.
Bytes read_msg(int fd, int timeout_ms);
// True when nothing arrives on fd within ms.
bool quiet_for(int fd, int ms);
// Reads the core's greeting, the first message on every connection: its
// status (V2X_CTL_WELCOME, V2X_CTL_REFUSED_*), or -1 when none came.
int greeted(int fd, int timeout_ms = 3000);
// A greeting as the core writes it (for fakes that play the core), and the
// hello that marks a control connection.
Bytes greeting_msg(uint32_t status = V2X_CTL_WELCOME, uint32_t connId = 1);
Bytes ctl_hello_msg();

// One query on fd and its answer, skipping the indications every connection
// gets; head.what is 0 when none came within ms.
struct CtlAnswer {
    tV2XCtlRsp head;
    Bytes recs;
};
CtlAnswer ctl_query(int fd, uint32_t what, uint32_t first = 0, uint32_t version = V2X_CTL_VERSION,
                    int ms = 3000);
template <typename Rec>
Rec rec_at(const CtlAnswer& a, size_t i)
{
    Rec r;
    memset(&r, 0, sizeof(r));
    memcpy(&r, a.recs.data() + i * a.head.recSize,
           a.head.recSize < sizeof(r) ? a.head.recSize : sizeof(r));
    return r;
}
// The record of the index-th connection (in the order they were accepted;
// a CoreHarness's own first connection is index 0) of a V2X_CTL_CLIENTS
// answer asked on fd; connId 0 when there is none.
tV2XCtlClient client_rec(int fd, uint32_t index);

}  // namespace v2xtest

#endif
