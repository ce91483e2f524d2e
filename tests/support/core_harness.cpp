// SPDX-License-Identifier: Apache-2.0
#include "core_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>

#include "core.h"
#include "core_app.h"
#include "test_support.h"

namespace v2xtest {

namespace {

long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

int bound_udp(uint16_t* port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

void put16(Bytes& b, uint16_t v)
{
    uint8_t t[2];
    memcpy(t, &v, 2);
    b.insert(b.end(), t, t + 2);
}

void put32(Bytes& b, uint32_t v)
{
    uint8_t t[4];
    memcpy(t, &v, 4);
    b.insert(b.end(), t, t + 4);
}

}  // namespace

UdpPeer::UdpPeer() { fd_ = bound_udp(&port_); }

UdpPeer::~UdpPeer()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

Bytes UdpPeer::recv(int timeout_ms)
{
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) {
        return {};
    }
    Bytes b(65536);
    ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
    b.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return b;
}

bool UdpPeer::send_to(uint16_t port, const Bytes& b)
{
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)) ==
           static_cast<ssize_t>(b.size());
}

bool UdpPeer::start_stamping()
{
    int on = 1;
    // Nanosecond stamps where offered; user-mode emulators (qemu) only
    // carry the microsecond ones, which are fine for gaps of 70 ms.
    if (setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) != 0 &&
        setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on)) != 0) {
        return false;
    }
    UdpPeer probe;
    for (int i = 0; i < 100; ++i) {
        if (!probe.send_to(port_, Bytes{0})) {
            return false;
        }
        // Not a wait: the read comes well after the arrival, so an arrival
        // stamp shows as earlier than the read.
        usleep(20 * 1000);
        struct timespec before;
        clock_gettime(CLOCK_REALTIME, &before);
        const long long t = recv_stamp(1000, nullptr);
        const long long readAt = before.tv_sec * 1000000000LL + before.tv_nsec;
        if (t >= 0 && t < readAt - 10 * 1000000LL) {
            return true;
        }
    }
    return false;
}

long long UdpPeer::recv_stamp(int timeout_ms, Bytes* out)
{
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) {
        return -1;
    }
    char buf[65536];
    char ctl[256];
    struct iovec iov = {buf, sizeof(buf)};
    struct msghdr m;
    memset(&m, 0, sizeof(m));
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = ctl;
    m.msg_controllen = sizeof(ctl);
    ssize_t n = recvmsg(fd_, &m, 0);
    if (n < 0) {
        return -1;
    }
    if (out != nullptr) {
        out->assign(buf, buf + n);
    }
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            struct timespec ts;
            memcpy(&ts, CMSG_DATA(c), sizeof(ts));
            return ts.tv_sec * 1000000000LL + ts.tv_nsec;
        }
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
            struct timeval tv;
            memcpy(&tv, CMSG_DATA(c), sizeof(tv));
            return tv.tv_sec * 1000000000LL + tv.tv_usec * 1000LL;
        }
    }
    return -1;
}

uint16_t free_udp_port()
{
    uint16_t port = 0;
    int fd = bound_udp(&port);
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

// The lowest port the kernel hands out for a bind to port 0.
static uint16_t _ephemeral_low()
{
    std::ifstream f("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned lo = 0;
    return (f >> lo) && lo > 12000 && lo <= 65535 ? static_cast<uint16_t>(lo) : 32768;
}

std::vector<uint16_t> free_udp_ports(size_t n)
{
    static std::mt19937 rng(static_cast<unsigned>(getpid()) * 2654435761u ^
                            static_cast<unsigned>(time(nullptr)));
    std::uniform_int_distribution<unsigned> pick(10000, _ephemeral_low() - 1u);
    std::vector<int> fds;
    std::vector<uint16_t> ports;
    for (int tries = 0; ports.size() < n && tries < 1000; ++tries) {
        const auto p = static_cast<uint16_t>(pick(rng));
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            break;
        }
        struct sockaddr_in sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(p);
        if (bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) != 0) {
            close(fd);
            continue;
        }
        fds.push_back(fd);
        ports.push_back(p);
    }
    for (int fd : fds) {
        close(fd);
    }
    return ports;
}

CoreHarness::CoreHarness()
{
    cfg = sdk_cfg(unique_path("dmn"), "127.0.0.1", free_udp_port(), radio.port());
    const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    memcpy(cfg.macAddr, mac, 6);
    // The init returns once the core listens. A receive port taken by
    // another test between free_udp_port() and the core's bind is retried.
    int rc = v2x_core_init(&cfg);
    for (int i = 0; i < 3 && rc == -ERR_V2X_SOCKET_BIND; ++i) {
        cfg.rcvPort = free_udp_port();
        rc = v2x_core_init(&cfg);
    }
    started_ = rc == 0 && connect_app() >= 0;
}

CoreHarness::~CoreHarness()
{
    for (int fd : apps_) {
        close(fd);
    }
    v2x_core_exit();
    unlink(cfg.dmnNme);
}

int CoreHarness::connect_app()
{
    int fd = unix_connect(std::string(cfg.dmnNme, strnlen(cfg.dmnNme, sizeof(cfg.dmnNme))));
    if (fd < 0) {
        return -1;
    }
    apps_.push_back(fd);
    return greeted(fd) == V2X_CTL_WELCOME ? fd : -1;
}

int greeted(int fd, int timeout_ms)
{
    const Bytes m = read_msg(fd, timeout_ms);
    uint32_t type = 0;
    tV2XCtlGreeting g;
    if (m.size() != V2X_CORE_APP_HDR_LEN + sizeof(g)) {
        return -1;
    }
    memcpy(&type, m.data(), sizeof(type));
    memcpy(&g, m.data() + V2X_CORE_APP_HDR_LEN, sizeof(g));
    return type == V2X_CTL_GREETING && g.version == V2X_CTL_VERSION ? static_cast<int>(g.status)
                                                                     : -1;
}

Bytes greeting_msg(uint32_t status, uint32_t connId)
{
    tV2XCtlGreeting g = {V2X_CTL_VERSION, status, connId, V2X_DMN_SERV_MAX_CLIT_DEF, 48, 0};
    Bytes p(sizeof(g));
    memcpy(p.data(), &g, sizeof(g));
    return app_msg(V2X_CTL_GREETING, p);
}

Bytes ctl_hello_msg()
{
    const tV2XCtlHello h = {V2X_CTL_VERSION, 0};
    Bytes p(sizeof(h));
    memcpy(p.data(), &h, sizeof(h));
    return app_msg(V2X_CTL_HELLO, p);
}

void CoreHarness::close_app(int fd)
{
    apps_.erase(std::remove(apps_.begin(), apps_.end(), fd), apps_.end());
    close(fd);
}

Bytes app_msg(uint32_t type, const Bytes& payload)
{
    Bytes b;
    put32(b, type);
    put16(b, static_cast<uint16_t>(payload.size()));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

tV2XSDKCfg sdk_cfg(const std::string& dmnNme, const char* rcvIp, uint16_t rcvPort,
                   uint16_t sendPort)
{
    tV2XSDKCfg cfg;
    memset(&cfg, 0, sizeof(cfg));
    memcpy(cfg.dmnNme, dmnNme.data(), std::min(dmnNme.size(), sizeof(cfg.dmnNme)));
    snprintf(cfg.rcvIp, sizeof(cfg.rcvIp), "%s", rcvIp);
    snprintf(cfg.sendIp, sizeof(cfg.sendIp), "127.0.0.1");
    cfg.rcvPort = rcvPort;
    cfg.sendPort = sendPort;
    return cfg;
}

tDMEDSMServReq serv_rec(uint16_t index, uint32_t action, uint32_t aid, uint8_t all)
{
    tDMEDSMServReq r;
    memset(&r, 0, sizeof(r));
    r.index = index;
    r.action = action;
    r.appId = aid;
    r.aidMthFlg = all;
    return r;
}

Bytes dsm_serv_req(uint16_t index, uint32_t action, uint32_t aid, uint8_t all)
{
    Bytes p;
    put16(p, index);
    put32(p, action);
    put32(p, aid);
    p.push_back(all);
    return app_msg(V2X_DME_DSM_SERV_REQ, p);
}

int register_aid(int fd, uint16_t index, uint32_t aid, uint8_t all, uint32_t action)
{
    if (!write_all(fd, dsm_serv_req(index, action, aid, all))) {
        return -1;
    }
    Bytes m = read_msg(fd, 3000);
    uint32_t type = 0;
    if (m.size() >= V2X_CORE_APP_HDR_LEN) {
        memcpy(&type, m.data(), sizeof(type));
    }
    if (type == V2X_CTL_GREETING) {
        m = read_msg(fd, 3000);  // a connection the caller has not read from yet
    }
    if (m.size() != 14u || m[0] != V2X_DSM_CFM) {
        return -1;
    }
    uint32_t got, ret;
    memcpy(&got, m.data() + 6, 4);
    memcpy(&ret, m.data() + 10, 4);
    return got == aid ? static_cast<int>(ret) : -1;
}

Bytes air_frame(uint8_t aid, const Bytes& data)
{
    Bytes b(5 + data.size());
    b[0] = 4;
    b[1] = 0;
    b[2] = aid;
    b[3] = static_cast<uint8_t>(data.size() >> 8);
    b[4] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), b.begin() + 5);
    return b;
}

Bytes dsm_req(uint32_t aid, const Bytes& data)
{
    Bytes p;
    put32(p, aid);
    p.push_back(PROT_TP_DSMP);
    p.push_back(1);                       // priority
    p.insert(p.end(), 6, 0xFF);           // peer MAC
    p.insert(p.end(), 256, 0);            // no header extension
    put16(p, static_cast<uint16_t>(data.size()));
    p.insert(p.end(), data.begin(), data.end());
    return app_msg(V2X_DSM_REQ, p);
}

Bytes dsm_req_prio(uint32_t aid, const Bytes& data, uint8_t prio)
{
    Bytes m = dsm_req(aid, data);
    m[V2X_CORE_APP_HDR_LEN + offsetof(tDSMReq, priority)] = prio;
    return m;
}

Bytes dsm_req_ex(uint32_t aid, const Bytes& data, uint8_t prio, uint32_t lifeMs, uint8_t supersede,
                 uint8_t rsvd0, uint64_t callUs)
{
    const Bytes plain = dsm_req_prio(aid, data, prio);
    Bytes p;
    put32(p, lifeMs);
    p.push_back(supersede);
    p.push_back(rsvd0);
    p.push_back(0);
    p.push_back(0);
    put32(p, static_cast<uint32_t>(callUs));
    put32(p, static_cast<uint32_t>(callUs >> 32));
    p.insert(p.end(), plain.begin() + V2X_CORE_APP_HDR_LEN, plain.end());
    return app_msg(V2X_DSM_REQ_EX, p);
}

Bytes prov_req(uint16_t lcl, uint32_t act, uint32_t aid, uint8_t rate, const std::string& ext)
{
    Bytes p;
    put16(p, lcl);
    put32(p, act);
    put32(p, aid);
    p.push_back(rate);
    Bytes text(256, 0);
    memcpy(text.data(), ext.data(), ext.size() < 255 ? ext.size() : 255);
    p.insert(p.end(), text.begin(), text.end());
    p.insert(p.end(), 256, 0);  // other information
    return app_msg(V2X_DME_PROV_SERV_REQ, p);
}

Bytes user_req(uint16_t lcl, uint32_t act, uint32_t aid)
{
    Bytes p;
    put16(p, lcl);
    put32(p, act);
    put32(p, DME_USER_REQ_ALL_ACC);
    put32(p, aid);
    p.insert(p.end(), 256, 0);
    return app_msg(V2X_DME_USER_SERV_REQ, p);
}

bool write_all(int fd, const Bytes& b)
{
    size_t off = 0;
    while (off < b.size()) {
        ssize_t n = send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        off += static_cast<size_t>(n);
    }
    return true;
}

Bytes read_n(int fd, size_t n, int timeout_ms)
{
    Bytes b;
    long end = now_ms() + timeout_ms;
    while (b.size() < n) {
        long left = end - now_ms();
        if (left <= 0) {
            break;
        }
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        uint8_t tmp[4096];
        size_t want = n - b.size() < sizeof(tmp) ? n - b.size() : sizeof(tmp);
        ssize_t got = ::recv(fd, tmp, want, 0);
        if (got <= 0) {
            break;
        }
        b.insert(b.end(), tmp, tmp + got);
    }
    return b;
}

Bytes read_msg(int fd, int timeout_ms)
{
    Bytes h = read_n(fd, 6, timeout_ms);
    if (h.size() < 6) {
        return h;
    }
    uint16_t len;
    memcpy(&len, h.data() + 4, 2);
    Bytes body = read_n(fd, len, timeout_ms);
    h.insert(h.end(), body.begin(), body.end());
    return h;
}

bool quiet_for(int fd, int ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

}  // namespace v2xtest

namespace v2xtest {

CtlAnswer ctl_query(int fd, uint32_t what, uint32_t first, uint32_t version, int ms)
{
    tV2XCtlReq req = {what, version, first};
    Bytes p(sizeof(req));
    memcpy(p.data(), &req, sizeof(req));
    CtlAnswer a;
    memset(&a.head, 0, sizeof(a.head));
    if (!write_all(fd, app_msg(V2X_CTL_QUERY_REQ, p))) {
        return a;
    }
    Bytes m;
    for (uint32_t type = 0; type != V2X_CTL_QUERY_RSP;) {
        m = read_msg(fd, ms);
        if (m.size() < V2X_CORE_APP_HDR_LEN) {
            return a;
        }
        memcpy(&type, m.data(), sizeof(type));
    }
    if (m.size() < V2X_CORE_APP_HDR_LEN + sizeof(a.head)) {
        return a;
    }
    memcpy(&a.head, m.data() + V2X_CORE_APP_HDR_LEN, sizeof(a.head));
    a.recs.assign(m.begin() + V2X_CORE_APP_HDR_LEN + sizeof(a.head), m.end());
    return a;
}

tV2XCtlClient client_rec(int fd, uint32_t index)
{
    const CtlAnswer a = ctl_query(fd, V2X_CTL_CLIENTS);
    if (index < a.head.count) {
        return rec_at<tV2XCtlClient>(a, index);
    }
    tV2XCtlClient none;
    memset(&none, 0, sizeof(none));
    return none;
}

}  // namespace v2xtest
