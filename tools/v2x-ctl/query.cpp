// SPDX-License-Identifier: Apache-2.0
// The query on the core's application socket: connect, check who serves the
// socket, ask, and read the answer from among whatever else the core sends.
#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "core_app.h"
#include "core_app_frame.hpp"
#include "ctl.hpp"
#include "unix_sock.h"

namespace v2xctl {

namespace {

// How long a core has for each answer. A core older than the query logs
// the message as a bad type and never answers.
constexpr long kAnswerMs = 2000;
constexpr size_t kHdr = sizeof(tCoreApp);
constexpr size_t kRspHead = sizeof(tV2XCtlRsp);
// A list of more records than this is taken for a core that never ends it.
constexpr size_t kMaxRecords = 1u << 20;

long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

const char* errno_name(int aicErr)
{
    switch (aicErr) {
    case ENOENT:
        return "ENOENT";
    case ECONNREFUSED:
        return "ECONNREFUSED";
    case ENOTDIR:
        return "ENOTDIR";
    case EACCES:
        return "EACCES";
    case EPERM:
        return "EPERM";
    default:
        return strerror(aicErr);
    }
}

enum ReadRc { kReadOk = 0, kReadEnd = 1, kReadTimeout = 2, kReadErr = 3 };

}  // namespace

CoreLink::~CoreLink()
{
    unix_sock_close(&fd_);
}

int CoreLink::fail(int aicExit, const char* aipcFmt, ...)
{
    va_list ap;
    va_start(ap, aipcFmt);
    fputs("v2x-ctl: ", stderr);
    vfprintf(stderr, aipcFmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    return aicExit;
}

int CoreLink::open()
{
    const char* p = path_.c_str();
    // Non-blocking: a core whose accept queue stays full is not waited for.
    fd_ = unix_sock_connect(p, path_.size() + 1, 1);
    const int err = errno;
    if (fd_ == UNIX_SOCK_FAIL_PATH) {
        return fail(kExitUsage, "bad socket path \"%s\" (%s)", p,
                    err == ENAMETOOLONG ? "longer than 107 bytes" : "empty");
    }
    if (fd_ == UNIX_SOCK_FAIL_SOCKET) {
        return fail(kExitFail, "socket(): %s", strerror(err));
    }
    if (fd_ < 0) {
        switch (err) {
        case ENOENT:
        case ECONNREFUSED:
        case ENOTDIR:
            return fail(kExitNoCore, "no core listens at %s (%s)", p, errno_name(err));
        case EACCES:
        case EPERM:
            return fail(kExitRefused,
                        "permission denied on %s (%s): this user (uid %d) may not use the "
                        "core's socket; ask for its socket group",
                        p, errno_name(err), static_cast<int>(geteuid()));
        case EAGAIN:
            return fail(kExitNoAnswer, "the core at %s does not accept connections (queue full)",
                        p);
        default:
            return fail(kExitFail, "connect to %s: %s", p, strerror(err));
        }
    }
    // Like the client library: only a server of this user or root is told
    // anything, or believed.
    int uid = -1;
    if (unix_sock_peer(fd_, &uid, nullptr, nullptr) != 0) {
        return fail(kExitFail, "cannot tell who serves %s: %s", p, strerror(errno));
    }
    if (uid != static_cast<int>(geteuid()) && uid != 0) {
        return fail(kExitUntrusted,
                    "%s is served by uid %d, neither this user (uid %d) nor root: not asking it",
                    p, uid, static_cast<int>(geteuid()));
    }
    return greet();
}

// Marks the connection as a control connection (the core then neither
// counts nor lists it among the applications, nor sends it indications) and
// reads the core's greeting, which says whether it serves the connection.
int CoreLink::greet()
{
    const char* p = path_.c_str();
    const tV2XCtlHello hello = {V2X_CTL_VERSION, 0};
    char msg[kHdr + sizeof(hello)];
    core_app_hdr_put(msg, V2X_CTL_HELLO, sizeof(hello));
    memcpy(msg + kHdr, &hello, sizeof(hello));
    // A fresh socket takes these few bytes at once. A core that refuses
    // may have closed already; its greeting is still there to read.
    const ssize_t sent = send(fd_, msg, sizeof(msg), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent != static_cast<ssize_t>(sizeof(msg)) && sent >= 0) {
        return fail(kExitFail, "send to %s: short write", p);
    }
    const long deadline = now_ms() + V2X_CTL_GREETING_WAIT_MS;
    uint8_t hdr[kHdr];
    uint8_t pld[sizeof(tV2XCtlGreeting)];
    uint32_t t = 0;
    uint16_t l = 0;
    int rc = read_exact(hdr, kHdr, deadline);
    if (rc == kReadOk) {
        core_app_hdr_parse(reinterpret_cast<const char*>(hdr), &t, &l);
        rc = t == V2X_CTL_GREETING && l == sizeof(pld) ? read_exact(pld, l, deadline) : kReadErr;
    }
    tV2XCtlGreeting g;
    const CoreAppGreet why =
        rc == kReadOk ? core_app_greeting(t, l, reinterpret_cast<const char*>(pld), &g)
                      : CoreAppGreet::Bad;
    switch (why) {
    case CoreAppGreet::Welcome:
        return kExitOk;
    case CoreAppGreet::RefusedCap:
        return fail(kExitRefused, "the core at %s refused the connection: it holds its cap of %u "
                    "connections (maxClients)", p, static_cast<unsigned>(g.maxClients));
    case CoreAppGreet::RefusedShare:
        return fail(kExitRefused, "the core at %s refused the connection: this user (uid %d) holds "
                    "%u connections, its share of the core's %u", p, static_cast<int>(geteuid()),
                    static_cast<unsigned>(g.held), static_cast<unsigned>(g.maxClients));
    case CoreAppGreet::Bad:
        break;
    }
    switch (rc) {
    case kReadTimeout:
        return fail(kExitNoAnswer, "the core at %s did not greet the connection within %d ms (a "
                    "core older than this tool?)", p, V2X_CTL_GREETING_WAIT_MS);
    case kReadEnd:
        return fail(kExitRefused, "the core at %s closed the connection without a word: its access "
                    "settings do not admit this user (uid %d); ask for its socket group", p,
                    static_cast<int>(geteuid()));
    case kReadOk:
    case kReadErr:
        if (t != 0 || l != 0) {
            return fail(kExitFail, "malformed greeting from %s: type 0x%x, %u bytes", p,
                        static_cast<unsigned>(t), static_cast<unsigned>(l));
        }
        break;
    default:
        break;
    }
    return fail(kExitFail, "read from %s: %s", p, strerror(errno));
}

int CoreLink::read_exact(uint8_t* aopBuf, size_t aicLen, long aicDeadlineMs)
{
    size_t have = 0;
    while (have < aicLen) {
        const long left = aicDeadlineMs - now_ms();
        if (left <= 0) {
            return kReadTimeout;
        }
        struct pollfd pf = {fd_, POLLIN, 0};
        const int pr = poll(&pf, 1, static_cast<int>(left));
        if (pr < 0 && errno != EINTR) {
            return kReadErr;
        }
        if (pr <= 0) {
            continue;
        }
        const ssize_t n = recv(fd_, aopBuf + have, aicLen - have, MSG_DONTWAIT);
        if (n == 0) {
            return kReadEnd;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;
            }
            // A peer that closes with our request unread resets the stream.
            return errno == ECONNRESET ? kReadEnd : kReadErr;
        }
        have += static_cast<size_t>(n);
    }
    return kReadOk;
}

// Sends one request and reads messages until the answer: its payload.
int CoreLink::ask(uint32_t aicWhat, uint32_t aicFirst, std::vector<uint8_t>* aopPld)
{
    const char* p = path_.c_str();
    const tV2XCtlReq req = {aicWhat, V2X_CTL_VERSION, aicFirst};
    char msg[kHdr + sizeof(req)];
    core_app_hdr_put(msg, V2X_CTL_QUERY_REQ, sizeof(req));
    memcpy(msg + kHdr, &req, sizeof(req));

    const long deadline = now_ms() + kAnswerMs;
    int rc = kReadOk;
    for (size_t off = 0; off < sizeof(msg) && rc == kReadOk;) {
        const ssize_t n = send(fd_, msg + off, sizeof(msg) - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            off += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            rc = kReadEnd;
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return fail(kExitFail, "send to %s: %s", p, strerror(errno));
        } else {
            struct pollfd pf = {fd_, POLLOUT, 0};
            const long left = deadline - now_ms();
            if (left <= 0) {
                rc = kReadTimeout;
            } else {
                poll(&pf, 1, static_cast<int>(left));
            }
        }
    }
    // Anything else the core sends on the connection is skipped whole.
    while (rc == kReadOk) {
        uint8_t hdr[kHdr];
        rc = read_exact(hdr, kHdr, deadline);
        if (rc != kReadOk) {
            break;
        }
        uint32_t t;
        uint16_t l;
        core_app_hdr_parse(reinterpret_cast<const char*>(hdr), &t, &l);
        aopPld->resize(l);
        rc = read_exact(aopPld->data(), l, deadline);
        if (rc == kReadOk && t == V2X_CTL_QUERY_RSP) {
            return kExitOk;
        }
    }
    switch (rc) {
    case kReadTimeout:
        return fail(kExitNoAnswer, "the core at %s did not answer the query (a core older than "
                                   "this tool?)", p);
    case kReadEnd:
        // It greeted this connection: a close now is the core's end.
        return fail(kExitFail, "the core at %s closed the connection (it stopped?)", p);
    default:
        return fail(kExitFail, "read from %s: %s", p, strerror(errno));
    }
}

int CoreLink::query(const Record& aicRec, Answer* aopAns)
{
    const char* p = path_.c_str();
    aopAns->rec = &aicRec;
    aopAns->bytes.clear();
    aopAns->count = 0;
    aopAns->filled = 0;
    std::vector<uint8_t> pld;
    uint32_t first = 0;
    for (;;) {
        const int rc = ask(aicRec.what, first, &pld);
        if (rc != kExitOk) {
            return rc;
        }
        if (pld.size() < kRspHead) {
            return fail(kExitFail, "malformed answer from %s: %zu bytes, less than its head", p,
                        pld.size());
        }
        tV2XCtlRsp rsp;
        memcpy(&rsp, pld.data(), sizeof(rsp));
        if (rsp.status != V2X_CTL_OK) {
            return fail(kExitFail, "the core at %s refused the query for %s (status %u%s)", p,
                        aicRec.verb, rsp.status,
                        rsp.status == V2X_CTL_BAD_WHAT      ? ": unknown kind"
                        : rsp.status == V2X_CTL_BAD_VERSION ? ": bad version"
                                                            : "");
        }
        const uint64_t body = static_cast<uint64_t>(rsp.count) * rsp.recSize;
        const char* bad = nullptr;
        if (rsp.what != aicRec.what) {
            bad = "it answers another kind";
        } else if (rsp.first != first) {
            bad = "it starts at another record";
        } else if (kRspHead + body != pld.size()) {
            bad = "its length disagrees with count and recSize";
        } else if (rsp.count > 0 && rsp.recSize == 0) {
            bad = "records of 0 bytes";
        } else if (static_cast<uint64_t>(rsp.first) + rsp.count > rsp.total) {
            bad = "more records than its total";
        } else if ((aicRec.what == V2X_CTL_STATS || aicRec.what == V2X_CTL_STATUS) &&
                   (rsp.count != 1 || rsp.recSize < 8)) {
            bad = "not one record of its kind";
        } else if (rsp.count == 0 && first < rsp.total) {
            bad = "no records before its total";
        } else if (aopAns->count + rsp.count > kMaxRecords) {
            bad = "too many records";
        }
        if (bad != nullptr) {
            return fail(kExitFail, "malformed answer from %s for %s: %s", p, aicRec.verb, bad);
        }
        // A newer core's records may be longer (what follows is unknown
        // here), an older core's shorter (the rest stays zero).
        const size_t take = rsp.recSize < aicRec.size ? rsp.recSize : aicRec.size;
        for (uint32_t i = 0; i < rsp.count; ++i) {
            const uint8_t* src = pld.data() + kRspHead + static_cast<size_t>(i) * rsp.recSize;
            aopAns->bytes.insert(aopAns->bytes.end(), src, src + take);
            aopAns->bytes.resize((aopAns->count + 1) * aicRec.size, 0);
            ++aopAns->count;
        }
        first += rsp.count;
        if (first >= rsp.total) {
            break;
        }
    }
    // Both single records begin with their size (tV2XCtlStatus as
    // tV2XCoreStats): fields beyond it were not filled by that core.
    if (aicRec.what == V2X_CTL_STATS || aicRec.what == V2X_CTL_STATUS) {
        uint32_t size;
        memcpy(&size, aopAns->bytes.data() + offsetof(tV2XCoreStats, size), sizeof(size));
        aopAns->filled = std::min<size_t>(std::min<size_t>(size, aicRec.size),
                                          pld.size() - kRspHead);
        if (size < offsetof(tV2XCoreStats, rxDatagrams)) {
            return fail(kExitFail, "malformed answer from %s for %s: size %u", p, aicRec.verb,
                        size);
        }
    }
    return kExitOk;
}

}  // namespace v2xctl
