// SPDX-License-Identifier: Apache-2.0
// v2x-cert: makes explicit P-256 certificates (a root, authorities, end
// entities) and signed records for test chains, shows them, and verifies a
// record the way a station does. For people who debug a deployment and for
// tests against other implementations. `v2x-cert --help` documents the
// commands, the options and the exit statuses.
#include <fcntl.h>
#include <openssl/rand.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "cert.hpp"
#include "sec_crypto.hpp"
#include "sec_issue.hpp"
#include "sec_service.hpp"
#include "sec_time.hpp"
#include "self_log.h"

// libmorrow's log level belongs to the hosting program; nothing here logs.
eLogLevl gLogLevl = LOG_LEV_OFF;

namespace v2xcert {

int fail(int aicStatus, const char* aipcFmt, ...)
{
    va_list ap;
    va_start(ap, aipcFmt);
    fputs("v2x-cert: ", stderr);
    vfprintf(stderr, aipcFmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    return aicStatus;
}

}  // namespace v2xcert

namespace {

using namespace v2xcert;

// Inputs are small: a certificate is a few hundred bytes, a record a
// payload and a short chain.
constexpr size_t kMaxCertFile = 64 * 1024;
constexpr size_t kMaxPayload = 1024 * 1024;
constexpr size_t kMaxRecordFile = kMaxPayload + 64 * 1024;

// ---------------------------------------------------------------------------
// Files.

// A regular file of at most aicMax bytes; false after one line on stderr.
bool read_file(const char* aipcPath, size_t aicMax, std::vector<uint8_t>* aopOut)
{
    const int fd = open(aipcPath, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fail(0, "cannot read %s: %s", aipcPath, strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > aicMax) {
        close(fd);
        fail(0, "%s: %s", aipcPath, S_ISREG(st.st_mode) ? "too large" : "not a regular file");
        return false;
    }
    aopOut->resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < aopOut->size()) {
        const ssize_t r = read(fd, aopOut->data() + got, aopOut->size() - got);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            fail(0, "cannot read %s: %s", aipcPath, r < 0 ? strerror(errno) : "it shrank");
            close(fd);
            return false;
        }
        got += static_cast<size_t>(r);
    }
    close(fd);
    return true;
}

// An output file, written whole under a hidden temporary name beside it and
// then put in place: linked (which fails if the file appeared meanwhile)
// or, with --force, renamed over the old one. A reader never sees half a
// file; a failure leaves no temporary file behind.
class Staged {
public:
    explicit Staged(const char* aipcPath) : path_(aipcPath)
    {
        const size_t slash = path_.rfind('/');
        static unsigned seq = 0;
        tmp_ = (slash == std::string::npos ? std::string() : path_.substr(0, slash + 1)) + "." +
               path_.substr(slash == std::string::npos ? 0 : slash + 1) + ".tmp" +
               std::to_string(getpid()) + "-" + std::to_string(++seq);
    }
    ~Staged()
    {
        if (!tmp_.empty()) {
            unlink(tmp_.c_str());
        }
    }
    Staged(const Staged&) = delete;
    Staged& operator=(const Staged&) = delete;

    const char* tmp() const { return tmp_.c_str(); }
    bool write(const uint8_t* aipcData, size_t aicLen)
    {
        const int fd = open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            return fail(0, "cannot write %s: %s", path_.c_str(), strerror(errno)) != 0;
        }
        size_t put = 0;
        while (put < aicLen) {
            const ssize_t w = ::write(fd, aipcData + put, aicLen - put);
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w < 0) {
                break;
            }
            put += static_cast<size_t>(w);
        }
        const int err = errno;
        const bool ok = put == aicLen && fsync(fd) == 0;
        close(fd);
        if (!ok) {
            errno = put == aicLen ? errno : err;
            return fail(0, "cannot write %s: %s", path_.c_str(), strerror(errno)) != 0;
        }
        return true;
    }
    bool commit(bool aicForce)
    {
        if (aicForce ? rename(tmp_.c_str(), path_.c_str()) != 0
                     : link(tmp_.c_str(), path_.c_str()) != 0) {
            return fail(0,
                        errno == EEXIST ? "%s exists (--force overwrites it)"
                                        : "cannot write %s: %s",
                        path_.c_str(), strerror(errno)) != 0;
        }
        if (!aicForce) {
            unlink(tmp_.c_str());
        }
        tmp_.clear();
        return true;
    }

private:
    std::string path_, tmp_;
};

// Refuses an output that exists before any work is done (--force aside).
bool may_write(const char* aipcPath, bool aicForce)
{
    struct stat st;
    if (!aicForce && lstat(aipcPath, &st) == 0) {
        fail(0, "%s exists (--force overwrites it)", aipcPath);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The commands.

struct Issuer {
    std::vector<uint8_t> bytes;
    sec::Certificate cert;
    sec::Pkey key;
};

bool same_point(const sec::EccP256Point& aicA, const sec::EccP256Point& aicB)
{
    return aicA.form == aicB.form && memcmp(aicA.x, aicB.x, sizeof(aicA.x)) == 0;
}

// Loads --issuer and --issuer-key and checks that they belong together and
// may issue.
int load_issuer(const Options& aicOpt, Issuer* aopIss)
{
    if (!read_file(aicOpt.issuer, kMaxCertFile, &aopIss->bytes)) {
        return kExitUsage;
    }
    const sec::CodecResult cr =
        sec::decode_certificate(aopIss->bytes.data(), aopIss->bytes.size(), aopIss->cert);
    if (cr != sec::CodecResult::Ok) {
        return fail(kExitUsage, "%s is not a certificate (%s)", aicOpt.issuer,
                    sec::codec_result_name(cr));
    }
    if (aopIss->cert.certIssuePermissions.empty()) {
        return fail(kExitUsage, "%s may not issue certificates (no certIssuePermissions)",
                    aicOpt.issuer);
    }
    std::string why;
    aopIss->key = sec::load_private_key(aicOpt.issuerKey, &why);
    if (!aopIss->key) {
        return fail(kExitUsage, "%s: %s", aicOpt.issuerKey, why.c_str());
    }
    sec::EccP256Point pub;
    if (!sec::compressed_point(aopIss->key.get(), pub) ||
        !same_point(pub, aopIss->cert.verifyKey)) {
        return fail(kExitUsage, "%s is not the key of %s", aicOpt.issuerKey, aicOpt.issuer);
    }
    return -1;
}

// root and issue: a new key and its certificate, signed by itself or by
// the issuer.
int make_certificate(const Options& aicOpt)
{
    if (!may_write(aicOpt.out, aicOpt.force) || !may_write(aicOpt.keyOut, aicOpt.force)) {
        return kExitUsage;
    }
    Issuer iss;
    if (aicOpt.cmd == kIssue) {
        const int rc = load_issuer(aicOpt, &iss);
        if (rc >= 0) {
            return rc;
        }
    }
    sec::Pkey key = sec::generate_key();
    if (!key) {
        return fail(kExitFail, "%s", "cannot make a P-256 key");
    }
    sec::IssueParams want;
    want.ca = aicOpt.cmd == kRoot || aicOpt.ca;
    if (aicOpt.randomId && RAND_bytes(want.id, sizeof(want.id)) != 1) {
        return fail(kExitFail, "%s", "no random bytes for the id");
    }
    const int64_t start = aicOpt.hasStart ? aicOpt.start : static_cast<int64_t>(::time(nullptr));
    want.start = sec::unix_s_to_time32(start);
    sec::duration_for_days(static_cast<uint32_t>(aicOpt.days), &want.unit, &want.value);
    want.psids = aicOpt.psids.data();
    want.psidCount = aicOpt.psids.size();
    const bool issued = aicOpt.cmd == kIssue;
    uint8_t whole[2048];
    size_t len = 0;
    // A root signs itself (an empty signer in its digest); others are
    // signed by the issuer, over its COER.
    const sec::CodecResult cr = sec::issue_certificate(
        want, key.get(), issued ? iss.bytes.data() : nullptr, issued ? iss.bytes.size() : 0,
        issued ? iss.key.get() : key.get(), whole, sizeof(whole), &len);
    if (cr != sec::CodecResult::Ok) {
        return fail(kExitFail, "cannot make the certificate (%s)", sec::codec_result_name(cr));
    }
    sec::ValidityPeriod validity;
    validity.start = want.start;
    validity.unit = want.unit;
    validity.value = want.value;
    if (issued && (validity.start < iss.cert.validity.start ||
                   validity.end() > iss.cert.validity.end())) {
        fprintf(stderr,
                "v2x-cert: warning: %s is valid outside %s's validity (%s to %s); records "
                "signed then will be refused\n",
                aicOpt.out, aicOpt.issuer, utc_time32(iss.cert.validity.start).c_str(),
                utc_time32(iss.cert.validity.end()).c_str());
    }
    std::string why;
    Staged keyFile(aicOpt.keyOut), certFile(aicOpt.out);
    if (!sec::save_private_key(key.get(), keyFile.tmp(), &why)) {
        return fail(kExitUsage, "cannot write %s: %s", aicOpt.keyOut, why.c_str());
    }
    if (!certFile.write(whole, len) || !keyFile.commit(aicOpt.force)) {
        return kExitUsage;
    }
    if (!certFile.commit(aicOpt.force)) {
        // Without its certificate a new key is of no use; an overwritten one is gone anyway.
        unlink(aicOpt.keyOut);
        return kExitUsage;
    }
    return kExitOk;
}

int show(const Options& aicOpt)
{
    std::vector<uint8_t> bytes;
    if (!read_file(aicOpt.operands[0], kMaxRecordFile, &bytes)) {
        return kExitUsage;
    }
    sec::Certificate cert;
    sec::SecuredData data;
    const sec::CodecResult asCert = sec::decode_certificate(bytes.data(), bytes.size(), cert);
    if (asCert == sec::CodecResult::Ok) {
        print_certificate(stdout, cert, bytes.data(), bytes.size(), aicOpt.json);
    } else {
        const sec::CodecResult asData = sec::decode_secured_data(bytes.data(), bytes.size(), data);
        if (asData != sec::CodecResult::Ok) {
            return fail(kExitUsage, "%s is neither a certificate (%s) nor a secured record (%s)",
                        aicOpt.operands[0], sec::codec_result_name(asCert),
                        sec::codec_result_name(asData));
        }
        print_secured_data(stdout, data, aicOpt.json);
    }
    if (fflush(stdout) != 0 || ferror(stdout) != 0) {
        return fail(kExitUsage, "writing the output: %s", strerror(errno));
    }
    return kExitOk;
}

int sign(const Options& aicOpt)
{
    const char* outPath = aicOpt.operands[1];
    if (!may_write(outPath, aicOpt.force)) {
        return kExitUsage;
    }
    sec::Signer signer;
    std::string why;
    if (!signer.load(aicOpt.cert, aicOpt.key, &why)) {
        return fail(kExitUsage, "%s", why.c_str());
    }
    sec::Certificate c;
    const uint64_t psid = aicOpt.psids[0];
    if (sec::decode_certificate(signer.cert(), signer.cert_len(), c) == sec::CodecResult::Ok &&
        !c.permits(psid)) {
        fprintf(stderr,
                "v2x-cert: warning: %s does not permit PSID %llu; receivers will refuse "
                "the record\n",
                aicOpt.cert, static_cast<unsigned long long>(psid));
    }
    std::vector<uint8_t> payload;
    if (!read_file(aicOpt.operands[0], kMaxPayload, &payload)) {
        return kExitUsage;
    }
    const uint64_t gen =
        aicOpt.hasTime ? sec::unix_us_to_time64(aicOpt.time * 1000000) : sec::time64_now();
    std::vector<uint8_t> rec(payload.size() + signer.cert_len() + 512);
    size_t len = 0;
    const sec::CodecResult cr = signer.sign(payload.data(), payload.size(), psid, gen,
                                            aicOpt.signer, rec.data(), rec.size(), &len);
    if (cr != sec::CodecResult::Ok) {
        return fail(kExitFail, "cannot sign %s (%s)", aicOpt.operands[0],
                    sec::codec_result_name(cr));
    }
    Staged out(outPath);
    return out.write(rec.data(), len) && out.commit(aicOpt.force) ? kExitOk : kExitUsage;
}

int verify(const Options& aicOpt)
{
    sec::TrustStore store;
    std::string why;
    if (store.load_dir(aicOpt.trust, &why) < 0) {
        return fail(kExitUsage, "%s", why.c_str());
    }
    std::vector<uint8_t> bytes;
    if (!read_file(aicOpt.operands[0], kMaxRecordFile, &bytes)) {
        return kExitUsage;
    }
    sec::Verifier verifier(store, aicOpt.policy);
    const uint64_t now =
        aicOpt.hasNow ? sec::unix_us_to_time64(aicOpt.now * 1000000) : sec::time64_now();
    sec::VerifyOut out;
    const sec::VerifyResult r = verifier.verify(bytes.data(), bytes.size(), now, out);
    std::string line =
        "{\"result\":" + json_str(r == sec::VerifyResult::Ok ? "ok" : sec::verify_result_name(r));
    // A refused record still says what it claims, when it decodes.
    sec::SecuredData d;
    if (r != sec::VerifyResult::Ok &&
        sec::decode_secured_data(bytes.data(), bytes.size(), d) == sec::CodecResult::Ok) {
        out.payload = d.payload;
        out.psid = d.psid;
        out.generationTime = d.hasGenerationTime ? d.generationTime : 0;
        out.signer = d.signer == sec::SignerKind::Certificate && d.certCount > 0
                         ? sec::hashed_id8(d.certs[0].p, d.certs[0].n)
                         : d.signerDigest;
        if (d.kind != sec::ContentKind::Signed) {
            line += ",\"payload\":\"" + hex(d.payload.p, d.payload.n) + "\"}";
            printf("%s\n", line.c_str());
            return kExitFail;
        }
    } else if (r != sec::VerifyResult::Ok) {
        printf("%s}\n", line.c_str());
        return kExitFail;
    }
    line += ",\"psid\":" + std::to_string(out.psid);
    if (out.generationTime != 0) {
        line += ",\"generationTime\":" + std::to_string(out.generationTime) +
                ",\"generationTimeUtc\":" + json_str(utc_time64(out.generationTime));
    }
    line += ",\"signer\":\"" + hex(out.signer) + "\",\"payload\":\"" +
            hex(out.payload.p, out.payload.n) + "\"}";
    printf("%s\n", line.c_str());
    if (fflush(stdout) != 0 || ferror(stdout) != 0) {
        return fail(kExitUsage, "writing the output: %s", strerror(errno));
    }
    return r == sec::VerifyResult::Ok ? kExitOk : kExitFail;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    const int rc = parse(argc, argv, &opt);
    if (rc >= 0) {
        return rc;
    }
    switch (opt.cmd) {
    case kRoot:
    case kIssue:
        return make_certificate(opt);
    case kShow:
        return show(opt);
    case kSign:
        return sign(opt);
    case kVerify:
        return verify(opt);
    case kNone:
        break;
    }
    return kExitUsage;
}
