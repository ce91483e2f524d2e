// SPDX-License-Identifier: Apache-2.0
// v2x-cert's command line: the command first, then its options (each
// checked against the commands it goes with) and operands, and the values
// they take: PSID lists, times, windows.
#include <getopt.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cert.hpp"
#include "sec_time.hpp"

namespace v2xcert {

namespace {

constexpr uint32_t kMaxDays = 65535;
constexpr double kMaxWindowS = 10 * 366 * 86400.0;

struct CmdName {
    const char* name;
    Cmd cmd;
};
const CmdName kCmds[] = {
    {"root", kRoot}, {"issue", kIssue}, {"show", kShow}, {"sign", kSign}, {"verify", kVerify}};

void usage(FILE* aopOut)
{
    fprintf(aopOut,
            "usage: v2x-cert root --out FILE --key-out FILE [--days N] [--start TIME]\n"
            "                     [--psid LIST] [--id none|random] [--force]\n"
            "       v2x-cert issue --issuer FILE --issuer-key FILE --psid LIST [--ca]\n"
            "                      --out FILE --key-out FILE [--days N] [--start TIME]\n"
            "                      [--id none|random] [--force]\n"
            "       v2x-cert show [--json] FILE\n"
            "       v2x-cert sign --cert FILE --key FILE --psid N\n"
            "                     [--signer digest|certificate] [--time TIME] [--force]\n"
            "                     PAYLOAD OUT\n"
            "       v2x-cert verify --trust DIR [--now TIME] [--window-back S]\n"
            "                       [--window-ahead S] SPDU\n"
            "\n"
            "Explicit P-256 certificates and signed records for test chains.\n"
            "  root    a new key and a self-signed certificate that may issue certificates\n"
            "  issue   a new key and a certificate issued by --issuer for the PSIDs of\n"
            "          LIST; with --ca it may issue certificates in turn\n"
            "  show    decodes a certificate or a secured record, prints its fields\n"
            "  sign    signs the bytes of PAYLOAD for PSID N, writes the record to OUT\n"
            "  verify  verifies the record in SPDU against the certificates of DIR and\n"
            "          prints one JSON line: result, psid, generationTime, signer, payload\n"
            "\n"
            "options:\n"
            "  --out FILE          the certificate (its bytes, binary)\n"
            "  --key-out FILE      its private key (PEM, PKCS#8, mode 0600)\n"
            "  --days N            valid N days (1 to %u; default 365): in hours up to\n"
            "                      2730 days, else in whole years rounded up\n"
            "  --start TIME        valid from TIME; default now\n"
            "  --psid LIST         PSIDs, comma-separated, decimal or 0x hex (up to %zu)\n"
            "  --id none|random    the certificate's id: none (default) or a random\n"
            "                      8-byte binary id\n"
            "  --issuer FILE       the issuing certificate; --issuer-key FILE its key\n"
            "  --ca                the issued certificate may issue certificates\n"
            "  --force             overwrite existing output files\n"
            "  --json              show: one JSON object on one line\n"
            "  --cert FILE         sign: the signer's certificate; --key FILE its key\n"
            "  --signer KIND       sign: name the signer by its digest (default) or\n"
            "                      carry its certificate\n"
            "  --time TIME         sign: the generation time; default now\n"
            "  --trust DIR         verify: trust anchors (self-signed) and known\n"
            "                      certificates, one file each\n"
            "  --now TIME          verify: the receiver's clock; default now\n"
            "  --window-back S     verify: generation time at most S seconds behind the\n"
            "                      clock (default 30)\n"
            "  --window-ahead S    verify: and at most S seconds ahead (default 2)\n"
            "  -h, --help          this text\n"
            "  --version           the version\n"
            "TIME is ISO 8601 UTC (2026-12-09T12:00:00Z) or @UNIXSECONDS.\n"
            "\n"
            "exit status:\n"
            "  0  done (verify: the record is valid)\n"
            "  1  verify: the record was refused; otherwise signing failed\n"
            "  2  bad usage, or a file that cannot be read, decoded or written\n",
            kMaxDays, sec::kMaxPsids);
}

__attribute__((format(printf, 1, 2))) int bad_usage(const char* aipcFmt, ...)
{
    char what[512];
    va_list ap;
    va_start(ap, aipcFmt);
    vsnprintf(what, sizeof(what), aipcFmt, ap);
    va_end(ap);
    return fail(kExitUsage, "%s\n(v2x-cert --help lists the options)", what);
}

// ---------------------------------------------------------------------------
// Values of the options.

// A whole number, decimal or 0x hex, at most aicMax.
bool parse_uint(const char* aipcText, uint64_t aicMax, uint64_t* aopOut)
{
    if (aipcText[0] < '0' || aipcText[0] > '9') {
        return false;  // strtoull would take a sign or spaces
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = strtoull(aipcText, &end, 0);
    if (errno != 0 || *end != '\0' || v > aicMax) {
        return false;
    }
    *aopOut = v;
    return true;
}

bool parse_psids(const char* aipcText, std::vector<uint64_t>* aopOut)
{
    aopOut->clear();
    std::string list = aipcText;
    size_t at = 0;
    for (;;) {
        const size_t comma = list.find(',', at);
        const std::string item = list.substr(at, comma == std::string::npos ? comma : comma - at);
        uint64_t v = 0;
        if (!parse_uint(item.c_str(), UINT32_MAX, &v) || aopOut->size() == sec::kMaxPsids) {
            return false;
        }
        for (const uint64_t p : *aopOut) {
            if (p == v) {
                return false;  // a certificate lists a PSID once
            }
        }
        aopOut->push_back(v);
        if (comma == std::string::npos) {
            return true;
        }
        at = comma + 1;
    }
}

// ISO 8601 UTC (YYYY-MM-DDTHH:MM:SSZ) or @UNIXSECONDS, from 2004 (the
// epoch of certificate times) to the end of Time32.
bool parse_time(const char* aipcText, int64_t* aopUnix)
{
    int64_t t = 0;
    if (aipcText[0] == '@') {
        uint64_t v = 0;
        if (!parse_uint(aipcText + 1, INT64_MAX, &v)) {
            return false;
        }
        t = static_cast<int64_t>(v);
    } else {
        static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
        if (strlen(aipcText) != sizeof(kShape) - 1) {
            return false;
        }
        for (size_t i = 0; kShape[i] != '\0'; ++i) {
            const bool digit = aipcText[i] >= '0' && aipcText[i] <= '9';
            if (kShape[i] == 'd' ? !digit : aipcText[i] != kShape[i]) {
                return false;
            }
        }
        struct tm tmv = {};
        tmv.tm_year = atoi(aipcText) - 1900;
        tmv.tm_mon = atoi(aipcText + 5) - 1;
        tmv.tm_mday = atoi(aipcText + 8);
        tmv.tm_hour = atoi(aipcText + 11);
        tmv.tm_min = atoi(aipcText + 14);
        tmv.tm_sec = atoi(aipcText + 17);
        const struct tm want = tmv;
        const time_t tt = timegm(&tmv);
        // timegm normalises 02-30 into March: a date that changed did not exist.
        if (tmv.tm_year != want.tm_year || tmv.tm_mon != want.tm_mon ||
            tmv.tm_mday != want.tm_mday || tmv.tm_hour != want.tm_hour ||
            tmv.tm_min != want.tm_min || tmv.tm_sec != want.tm_sec) {
            return false;
        }
        t = static_cast<int64_t>(tt);
    }
    if (t < sec::kEpoch2004Unix ||
        t > sec::kEpoch2004Unix - sec::kLeapSecondsSince2004 + static_cast<int64_t>(UINT32_MAX)) {
        return false;
    }
    *aopUnix = t;
    return true;
}

bool parse_window(const char* aipcText, uint64_t* aopUs)
{
    char* end = nullptr;
    errno = 0;
    const double v = strtod(aipcText, &end);
    if (end == aipcText || *end != '\0' || errno != 0 || !(v >= 0 && v <= kMaxWindowS)) {
        return false;
    }
    *aopUs = static_cast<uint64_t>(std::llround(v * 1e6));
    return true;
}

// ---------------------------------------------------------------------------
// The command line.

enum : int {
    kOptOut = 256,
    kOptKeyOut,
    kOptDays,
    kOptStart,
    kOptPsid,
    kOptId,
    kOptIssuer,
    kOptIssuerKey,
    kOptCa,
    kOptForce,
    kOptJson,
    kOptCert,
    kOptKey,
    kOptSigner,
    kOptTime,
    kOptTrust,
    kOptNow,
    kOptBack,
    kOptAhead,
    kOptVersion
};

const struct option kLong[] = {{"out", required_argument, nullptr, kOptOut},
                               {"key-out", required_argument, nullptr, kOptKeyOut},
                               {"days", required_argument, nullptr, kOptDays},
                               {"start", required_argument, nullptr, kOptStart},
                               {"psid", required_argument, nullptr, kOptPsid},
                               {"id", required_argument, nullptr, kOptId},
                               {"issuer", required_argument, nullptr, kOptIssuer},
                               {"issuer-key", required_argument, nullptr, kOptIssuerKey},
                               {"ca", no_argument, nullptr, kOptCa},
                               {"force", no_argument, nullptr, kOptForce},
                               {"json", no_argument, nullptr, kOptJson},
                               {"cert", required_argument, nullptr, kOptCert},
                               {"key", required_argument, nullptr, kOptKey},
                               {"signer", required_argument, nullptr, kOptSigner},
                               {"time", required_argument, nullptr, kOptTime},
                               {"trust", required_argument, nullptr, kOptTrust},
                               {"now", required_argument, nullptr, kOptNow},
                               {"window-back", required_argument, nullptr, kOptBack},
                               {"window-ahead", required_argument, nullptr, kOptAhead},
                               {"help", no_argument, nullptr, 'h'},
                               {"version", no_argument, nullptr, kOptVersion},
                               {nullptr, 0, nullptr, 0}};

// The commands an option goes with.
unsigned takers(int aicOpt)
{
    switch (aicOpt) {
    case kOptOut:
    case kOptKeyOut:
    case kOptDays:
    case kOptStart:
    case kOptId:
        return kRoot | kIssue;
    case kOptPsid:
        return kRoot | kIssue | kSign;
    case kOptIssuer:
    case kOptIssuerKey:
    case kOptCa:
        return kIssue;
    case kOptForce:
        return kRoot | kIssue | kSign;
    case kOptJson:
        return kShow;
    case kOptCert:
    case kOptKey:
    case kOptSigner:
    case kOptTime:
        return kSign;
    default:
        return kVerify;
    }
}

// One option's value into aoOpt: -1 when taken, else the exit status.
int take(int aicOpt, const char* aipcVal, Options& aoOpt)
{
    uint64_t v = 0;
    switch (aicOpt) {
    case kOptOut:
        aoOpt.out = aipcVal;
        break;
    case kOptKeyOut:
        aoOpt.keyOut = aipcVal;
        break;
    case kOptIssuer:
        aoOpt.issuer = aipcVal;
        break;
    case kOptIssuerKey:
        aoOpt.issuerKey = aipcVal;
        break;
    case kOptCert:
        aoOpt.cert = aipcVal;
        break;
    case kOptKey:
        aoOpt.key = aipcVal;
        break;
    case kOptTrust:
        aoOpt.trust = aipcVal;
        break;
    case kOptCa:
        aoOpt.ca = true;
        break;
    case kOptForce:
        aoOpt.force = true;
        break;
    case kOptJson:
        aoOpt.json = true;
        break;
    case kOptDays:
        if (!parse_uint(aipcVal, kMaxDays, &v) || v == 0) {
            return bad_usage("--days needs a number of days from 1 to %u, not \"%s\"", kMaxDays,
                             aipcVal);
        }
        aoOpt.days = static_cast<uint32_t>(v);
        break;
    case kOptPsid:
        if (!parse_psids(aipcVal, &aoOpt.psids)) {
            return bad_usage(
                "--psid needs up to %zu different PSIDs (0 to 0xffffffff) separated "
                "by commas, not \"%s\"",
                sec::kMaxPsids, aipcVal);
        }
        break;
    case kOptId:
        if (strcmp(aipcVal, "none") != 0 && strcmp(aipcVal, "random") != 0) {
            return bad_usage("--id is none or random, not \"%s\"", aipcVal);
        }
        aoOpt.randomId = strcmp(aipcVal, "random") == 0;
        break;
    case kOptSigner:
        if (strcmp(aipcVal, "digest") != 0 && strcmp(aipcVal, "certificate") != 0) {
            return bad_usage("--signer is digest or certificate, not \"%s\"", aipcVal);
        }
        aoOpt.signer = aipcVal[0] == 'd' ? sec::SignerKind::Digest : sec::SignerKind::Certificate;
        break;
    case kOptStart:
    case kOptTime:
    case kOptNow: {
        int64_t* t = aicOpt == kOptStart  ? &aoOpt.start
                     : aicOpt == kOptTime ? &aoOpt.time
                                          : &aoOpt.now;
        if (!parse_time(aipcVal, t)) {
            return bad_usage(
                "a time is YYYY-MM-DDTHH:MM:SSZ (UTC) or @UNIXSECONDS, from 2004 on, "
                "not \"%s\"",
                aipcVal);
        }
        (aicOpt == kOptStart  ? aoOpt.hasStart
         : aicOpt == kOptTime ? aoOpt.hasTime
                              : aoOpt.hasNow) = true;
        break;
    }
    case kOptBack:
    case kOptAhead:
        if (!parse_window(aipcVal, aicOpt == kOptBack ? &aoOpt.policy.windowBackUs
                                                      : &aoOpt.policy.windowAheadUs)) {
            return bad_usage("a window is seconds from 0 to %.0f, not \"%s\"", kMaxWindowS,
                             aipcVal);
        }
        break;
    }
    return -1;
}

// What each command needs once its options are read: -1, or the exit status.
int check(const Options& aicOpt)
{
    const size_t n = aicOpt.operands.size();
    const size_t want = aicOpt.cmd == kSign ? 2 : aicOpt.cmd & (kShow | kVerify) ? 1 : 0;
    if (n != want) {
        return n > want ? bad_usage("%s: unexpected \"%s\"", aicOpt.name, aicOpt.operands[want])
                        : bad_usage("%s: %s missing", aicOpt.name,
                                    aicOpt.cmd == kSign ? "PAYLOAD and OUT are" : "a file is");
    }
    const struct {
        unsigned cmds;
        bool given;
        const char* opt;
    } needs[] = {{kRoot | kIssue, aicOpt.out != nullptr, "--out"},
                 {kRoot | kIssue, aicOpt.keyOut != nullptr, "--key-out"},
                 {kIssue, aicOpt.issuer != nullptr, "--issuer"},
                 {kIssue, aicOpt.issuerKey != nullptr, "--issuer-key"},
                 {kIssue | kSign, !aicOpt.psids.empty(), "--psid"},
                 {kSign, aicOpt.cert != nullptr, "--cert"},
                 {kSign, aicOpt.key != nullptr, "--key"},
                 {kVerify, aicOpt.trust != nullptr, "--trust"}};
    for (const auto& need : needs) {
        if ((need.cmds & aicOpt.cmd) != 0 && !need.given) {
            return bad_usage("%s needs %s", aicOpt.name, need.opt);
        }
    }
    if (aicOpt.cmd == kSign && aicOpt.psids.size() != 1) {
        return bad_usage("%s", "sign takes one PSID");
    }
    if (aicOpt.out != nullptr && aicOpt.keyOut != nullptr &&
        strcmp(aicOpt.out, aicOpt.keyOut) == 0) {
        return bad_usage("%s", "--out and --key-out name the same file");
    }
    return -1;
}

}  // namespace

// -1: carry on; otherwise the exit status.
int parse(int argc, char** argv, Options* aopOpt)
{
    if (argc < 2) {
        return bad_usage("%s", "a command is missing: root, issue, show, sign or verify");
    }
    // The command comes first; getopt then reads what follows it.
    if (argv[1][0] != '-') {
        for (const CmdName& c : kCmds) {
            if (strcmp(argv[1], c.name) == 0) {
                aopOpt->cmd = c.cmd;
                aopOpt->name = c.name;
            }
        }
        if (aopOpt->cmd == kNone) {
            return bad_usage("unknown command \"%s\"", argv[1]);
        }
        --argc;
        ++argv;
    }
    opterr = 0;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, ":h", kLong, nullptr)) != -1) {
        const char* typed = optarg != nullptr && optind >= 2 && optarg == argv[optind - 1]
                                ? argv[optind - 2]
                                : argv[optind - 1];
        if (c == 'h') {
            usage(stdout);
            return kExitOk;
        }
        if (c == kOptVersion) {
            printf("v2x-cert (vestra) %s\n", V2X_VERSION);
            return kExitOk;
        }
        if (c == ':') {
            return bad_usage("%s needs a value", typed);
        }
        if (c == '?') {
            return bad_usage("unknown option %s",
                             strncmp(typed, "--", 2) == 0 || optopt == 0
                                 ? typed
                                 : std::string("-").append(1, static_cast<char>(optopt)).c_str());
        }
        if (aopOpt->cmd == kNone) {
            return bad_usage("%s", "a command comes first: root, issue, show, sign or verify");
        }
        if ((takers(c) & aopOpt->cmd) == 0) {
            return bad_usage("%s does not go with %s", typed, aopOpt->name);
        }
        const int rc = take(c, optarg, *aopOpt);
        if (rc >= 0) {
            return rc;
        }
    }
    if (aopOpt->cmd == kNone) {
        return bad_usage("%s", "a command is missing: root, issue, show, sign or verify");
    }
    for (int i = optind; i < argc; ++i) {
        aopOpt->operands.push_back(argv[i]);
    }
    return check(*aopOpt);
}

}  // namespace v2xcert
