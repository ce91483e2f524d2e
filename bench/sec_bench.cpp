// SPDX-License-Identifier: Apache-2.0
// Benchmarks of signed messages (see docs/PERFORMANCE.md).
//
//   v2x-bench verify [BLOCKS]   OpenSSL's raw ECDSA P-256 verifications per
//                               second on this machine, beside the stack's
//                               verified messages per second through the
//                               whole receive path (UDP from the radio to the
//                               application's callback, a known digest
//                               signer) with 1 and with 2 workers, in
//                               alternating blocks of about a second each
//   v2x-bench sign [N]          raw signatures per second beside the signing
//                               service's, and the age of N messages at the
//                               radio at 10 Hz, without and with signing
#include <arpa/inet.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "bench_stack.hpp"
#include "sec_issue.hpp"
#include "sec_service.hpp"
#include "sec_time.hpp"
#include "v2x_core.h"

using namespace bench;

namespace {

constexpr uint32_t kSecAid = 32;
constexpr int kVerifyWindow = 64;  // frames in flight; the queue holds 256

struct Pki {
    std::string dir;
    sec::Pkey rootKey = sec::generate_key();
    sec::Pkey eeKey = sec::generate_key();
    std::vector<uint8_t> root, ee;
    sec::Signer signer;

    Pki()
    {
        char tmpl[] = "/tmp/v2x-bench-pki-XXXXXX";
        dir = mkdtemp(tmpl);
        const uint32_t start = sec::unix_s_to_time32(time(nullptr)) - 3600;
        sec::IssueParams r;
        r.ca = true;
        r.start = start;
        root = issue(r, rootKey.get(), nullptr, rootKey.get());
        const uint64_t psid = kSecAid;
        sec::IssueParams e;
        e.start = start;
        e.psids = &psid;
        e.psidCount = 1;
        ee = issue(e, eeKey.get(), &root, rootKey.get());
        save(dir + "/root.cert", root);
        save(dir + "/ee.cert", ee);  // a known signer: its digest suffices
        std::string why;
        if (!signer.set(ee.data(), ee.size(), sec::Pkey(EVP_PKEY_dup(eeKey.get())), &why)) {
            fprintf(stderr, "signer: %s\n", why.c_str());
            exit(1);
        }
    }
    ~Pki() { (void)!system(("rm -rf " + dir).c_str()); }

    static std::vector<uint8_t> issue(const sec::IssueParams& s, EVP_PKEY* subject,
                                      const std::vector<uint8_t>* issuer, EVP_PKEY* by)
    {
        uint8_t out[1024];
        size_t n = 0;
        if (sec::issue_certificate(s, subject, issuer ? issuer->data() : nullptr,
                                   issuer ? issuer->size() : 0, by, out, sizeof(out),
                                   &n) != sec::CodecResult::Ok) {
            fprintf(stderr, "issue_certificate failed\n");
            exit(1);
        }
        return std::vector<uint8_t>(out, out + n);
    }
    static void save(const std::string& path, const std::vector<uint8_t>& b)
    {
        FILE* f = fopen(path.c_str(), "wb");
        if (f == nullptr || fwrite(b.data(), 1, b.size(), f) != b.size() || fclose(f) != 0) {
            perror(path.c_str());
            exit(1);
        }
    }
};

// A DER ECDSA signature over a digest, by OpenSSL alone.
std::vector<uint8_t> raw_signature(EVP_PKEY* k, const uint8_t dg[32])
{
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(k, nullptr);
    size_t n = 80;
    std::vector<uint8_t> sig(n);
    if (c == nullptr || EVP_PKEY_sign_init(c) != 1 || EVP_PKEY_sign(c, sig.data(), &n, dg, 32) != 1) {
        fprintf(stderr, "EVP_PKEY_sign failed\n");
        exit(1);
    }
    EVP_PKEY_CTX_free(c);
    sig.resize(n);
    return sig;
}

// Calls of aicOp per second over aicSecs, in batches of 50 between clock
// reads.
template <typename Op>
double rate_of(double aicSecs, Op aicOp)
{
    long n = 0;
    const uint64_t t0 = now_ns();
    const uint64_t end = t0 + static_cast<uint64_t>(aicSecs * 1e9);
    uint64_t t = t0;
    while (t < end) {
        for (int i = 0; i < 50; ++i, ++n) {
            aicOp(n);
        }
        t = now_ns();
    }
    return n / ((t - t0) / 1e9);
}

// OpenSSL's own verifications per second on one thread: one context, one
// key, the same digest, as `openssl speed` measures them.
double raw_verify_rate(EVP_PKEY* k, double secs)
{
    uint8_t dg[32];
    for (int i = 0; i < 32; ++i) {
        dg[i] = static_cast<uint8_t>(i * 7);
    }
    const std::vector<uint8_t> sig = raw_signature(k, dg);
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(k, nullptr);
    EVP_PKEY_verify_init(c);
    const double r = rate_of(secs, [&](long) {
        if (EVP_PKEY_verify(c, sig.data(), sig.size(), dg, 32) != 1) {
            fprintf(stderr, "raw verification failed\n");
            exit(1);
        }
    });
    EVP_PKEY_CTX_free(c);
    return r;
}

double raw_sign_rate(EVP_PKEY* k, double secs)
{
    uint8_t dg[32] = {1, 2, 3};
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(k, nullptr);
    EVP_PKEY_sign_init(c);
    uint8_t sig[80];
    const double r = rate_of(secs, [&](long) {
        size_t len = sizeof(sig);
        EVP_PKEY_sign(c, sig, &len, dg, 32);
    });
    EVP_PKEY_CTX_free(c);
    return r;
}

// N datagrams as the radio module hands them up: 04, DSMP header 00, the
// one-byte AID, the length, a digest-signed record of 16 payload bytes,
// each with its own generation time.
std::vector<std::vector<uint8_t>> signed_frames(const sec::Signer& s, long n)
{
    std::vector<std::vector<uint8_t>> v;
    v.reserve(static_cast<size_t>(n));
    const uint64_t t0 = sec::time64_now();
    for (long i = 0; i < n; ++i) {
        uint8_t pl[16] = {};
        memcpy(pl, &i, sizeof(i));
        uint8_t rec[256];
        size_t len = 0;
        if (s.sign(pl, sizeof(pl), kSecAid, t0 + static_cast<uint64_t>(i), sec::SignerKind::Digest,
                   rec, sizeof(rec), &len) != sec::CodecResult::Ok) {
            fprintf(stderr, "sign failed\n");
            exit(1);
        }
        std::vector<uint8_t> f = {0x04, 0x00, static_cast<uint8_t>(kSecAid),
                                  static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
        f.insert(f.end(), rec, rec + len);
        v.push_back(std::move(f));
    }
    return v;
}

void set_profile(const Pki& p, int aicWorkers, bool aicSign, bool aicVerify)
{
    const std::string cert = p.dir + "/ee.cert", key = p.dir + "/ee.key";
    if (aicSign) {
        std::string why;
        if (!sec::save_private_key(p.eeKey.get(), key.c_str(), &why)) {
            fprintf(stderr, "%s\n", why.c_str());
            exit(1);
        }
    }
    tV2XSecProfile prof = {kSecAid, aicSign ? uint8_t(1) : uint8_t(0),
                           aicVerify ? uint8_t(1) : uint8_t(0), V2X_SEC_SIGNER_DIGEST, 0};
    tV2XSecCfg c = {p.dir.c_str(), aicSign ? cert.c_str() : nullptr, aicSign ? key.c_str() : nullptr,
                    &prof, 1, aicWorkers, 256, 0, 0};
    if (v2x_core_set_security(&c) != 0) {
        fprintf(stderr, "v2x_core_set_security failed\n");
        exit(1);
    }
}

// Verified messages per second through the whole receive path, or -1 when
// messages were lost.
double stack_verify_rate(const Pki& p, int aicWorkers, long n)
{
    const std::vector<std::vector<uint8_t>> frames = signed_frames(p.signer, n);
    set_profile(p, aicWorkers, false, true);
    Stack s = start_stack();
    const struct sockaddr_in to = loopback(s.rcvPort);
    int tx = udp_socket(nullptr);
    gSink.got = 0;
    const uint64_t t0 = now_ns();
    const uint64_t deadline = t0 + 120000000000ull;
    for (long i = 0; i < n; ++i) {
        while (i - gSink.got.load() >= kVerifyWindow) {
            if (now_ns() > deadline) {
                return -1;
            }
            std::this_thread::yield();
        }
        sendto(tx, frames[static_cast<size_t>(i)].data(), frames[static_cast<size_t>(i)].size(), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
    while (gSink.got.load() < n && now_ns() < deadline) {
        std::this_thread::yield();
    }
    const uint64_t t1 = now_ns();
    const long got = gSink.got.load();
    close(tx);
    stop_stack(s);
    v2x_core_set_security(nullptr);
    return got == n ? n / ((t1 - t0) / 1e9) : -1;
}

}  // namespace

double median_of(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int run_sec_verify(int aicBlocks)
{
    Pki p;
    // Raw and stack in alternating blocks, so that a change of the machine's
    // speed (a busy neighbour, the clock) hits both; the medians are shown.
    std::vector<double> raw, one, two, perWorker, scale;
    for (int b = 0; b < aicBlocks; ++b) {
        const double r = raw_verify_rate(p.eeKey.get(), 1.0);
        const long n = std::max(1000L, static_cast<long>(r));
        const double s1 = stack_verify_rate(p, 1, n);
        const double s2 = stack_verify_rate(p, 2, 2 * n);
        raw.push_back(r);
        one.push_back(s1);
        two.push_back(s2);
        perWorker.push_back(s1 / r);
        scale.push_back(s1 > 0 ? s2 / s1 : 0);
        printf("block %d: raw %.0f/s, 1 worker %.0f/s (%.0f%%), 2 workers %.0f/s (%.2fx)\n", b + 1, r,
               s1, 100.0 * s1 / r, s2, s1 > 0 ? s2 / s1 : 0);
    }
    printf("OpenSSL raw ECDSA P-256 verify: %.0f per second on one thread (median of %d blocks)\n",
           median_of(raw), aicBlocks);
    printf("stack, 1 worker:  %.0f verified messages per second (%.0f%% of raw)\n", median_of(one),
           100.0 * median_of(perWorker));
    printf("stack, 2 workers: %.0f verified messages per second (%.2fx one worker; %ld CPUs)\n",
           median_of(two), median_of(scale), sysconf(_SC_NPROCESSORS_ONLN));
    const bool okWorker = median_of(perWorker) >= 0.9;
    const bool okScale = median_of(scale) >= 1.7;
    printf("targets: 1 worker at least 90%% of raw: %s; 2 workers at least 1.7x one: %s\n",
           okWorker ? "met" : "MISSED", okScale ? "met" : "MISSED");
    return okWorker && okScale ? 0 : 1;
}

namespace {

// Ages at the radio (ms) of n messages sent at 10 Hz by the application;
// the payload carries the send time at offset `off` of the frame's data.
std::vector<double> ages_at_radio(int n, size_t off)
{
    Stack s = start_stack();
    std::vector<char> buf = dsm_req_buf(kSecAid, 16);
    auto* r = reinterpret_cast<tDSMReq*>(buf.data());
    std::vector<double> ages;
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (int i = 0; i < n; ++i) {
        next.tv_nsec += 100000000;
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        const uint64_t t = now_ns();
        memcpy(r->msg, &t, 8);
        if (dsm_request(r) != 0) {
            continue;
        }
        struct pollfd pf = {s.radioFd, POLLIN, 0};
        if (poll(&pf, 1, 1000) <= 0) {
            continue;
        }
        uint8_t d[4096];
        const ssize_t len = recv(s.radioFd, d, sizeof(d), 0);
        const uint64_t at = now_ns();
        if (len < static_cast<ssize_t>(5 + off + 8)) {
            continue;
        }
        uint64_t sent;
        memcpy(&sent, d + 5 + off, 8);
        if (sent == t) {
            ages.push_back((at - t) / 1e6);
        }
    }
    stop_stack(s);
    std::sort(ages.begin(), ages.end());
    return ages;
}

double pct(const std::vector<double>& v, double q)
{
    return v.empty() ? 0 : v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

}  // namespace

int run_sec_sign(int aicN)
{
    Pki p;
    const double raw = raw_sign_rate(p.eeKey.get(), 2.0);
    const uint8_t pl[16] = {};
    const double svc = rate_of(2.0, [&](long n) {
        uint8_t rec[256];
        size_t len = 0;
        p.signer.sign(pl, sizeof(pl), kSecAid, static_cast<uint64_t>(n), sec::SignerKind::Digest, rec,
                      sizeof(rec), &len);
    });
    printf("OpenSSL raw ECDSA P-256 sign: %.0f per second; signing service: %.0f per second "
           "(%.0f%%), one thread\n",
           raw, svc, 100.0 * svc / raw);
    v2x_core_set_security(nullptr);
    const std::vector<double> plain = ages_at_radio(aicN, 0);
    set_profile(p, 1, true, false);
    // A signed record's payload begins 7 bytes in (payload under 128 bytes).
    const std::vector<double> sgn = ages_at_radio(aicN, 7);
    v2x_core_set_security(nullptr);
    printf("age at the radio at 10 Hz: unsigned p50 %.3f ms p99 %.3f ms (%zu); signed p50 %.3f "
           "ms p99 %.3f ms (%zu)\n",
           pct(plain, 0.5), pct(plain, 0.99), plain.size(), pct(sgn, 0.5), pct(sgn, 0.99),
           sgn.size());
    const bool ok = pct(sgn, 0.99) - pct(plain, 0.99) <= 1.0 &&
                    sgn.size() + 2 >= static_cast<size_t>(aicN);
    printf("target: signing adds at most 1 ms to the p99 age: %s\n", ok ? "met" : "MISSED");
    return ok ? 0 : 1;
}
