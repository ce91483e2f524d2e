// SPDX-License-Identifier: Apache-2.0
// v2x-ctl: asks a running core, over its application socket, for its
// counters and for the lists it keeps (registered AIDs, providers,
// connected applications), and prints them as a table, one JSON object or
// the Prometheus text format. `v2x-ctl --help` documents the options and
// the exit statuses; docs/COUNTERS.md lists every counter.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "ctl.hpp"
#include "self_log.h"

// libmorrow's log level belongs to the hosting program; nothing here logs.
eLogLevl gLogLevl = LOG_LEV_OFF;

namespace {

using namespace v2xctl;

constexpr const char* kDefaultSocket = "/run/vestra/v2x.sock";
constexpr double kWatchMin = 0.1;
constexpr double kWatchMax = 86400;

enum class Format { Table, Json, Prometheus };

struct Options {
    std::string socket;
    Format format = Format::Table;
    double watch = 0;  // seconds between refreshes; 0: print once
    const Record* rec = nullptr;
    bool describe = false;
    bool status = false;
    long intervalMs = 1000;  // status: between the two counter samples; 0: since the start
    View view;
    const char* output = nullptr;  // --output FILE; null: standard output
};

void usage(FILE* aopOut)
{
    fprintf(aopOut,
            "usage: v2x-ctl [-s SOCKET] [--json | --prometheus | --watch SECONDS]\n"
            "               [--output FILE] [--nonzero] [--wide] [--interval MS]\n"
            "               status | stats | aids | providers | clients\n"
            "       v2x-ctl describe\n"
            "\n"
            "Asks a running core, over its application socket, what it counts and keeps.\n"
            "  status     one screen: station name, version and build, uptime, socket,\n"
            "             connections, radio rates each way, last CBR, the congestion\n"
            "             gate (rule, CBR, gated drops), top drops\n"
            "  stats      the core's counters and gauges, grouped: radio receive, radio\n"
            "             send, applications, management, core, security, congestion\n"
            "  aids       the AIDs registered for received frames\n"
            "  providers  the providers whose services the core advertises\n"
            "  clients    the connected applications, with their counters\n"
            "  describe   every field's name, Prometheus name, kind and meaning (Markdown)\n"
            "\n"
            "options:\n"
            "  -s, --socket SOCKET  the core's socket; default $V2X_CTL_SOCKET, else\n"
            "                       %s\n"
            "  --json               one JSON object on stdout; keys are the record's field\n"
            "                       names\n"
            "  --prometheus         the Prometheus text format (node_exporter's textfile\n"
            "                       collector): v2x_* metrics, counters ending in _total,\n"
            "                       drops and refusals by a reason label; stats starts with\n"
            "                       v2x_up 1. When no core listens it writes v2x_up 0 (for\n"
            "                       a list: its metrics without samples) and exits 0; any\n"
            "                       other failure writes the same and keeps its status\n"
            "  -o, --output FILE    write FILE instead of stdout, atomically: a temporary\n"
            "                       file in its directory, synced, renamed over FILE; on a\n"
            "                       failure FILE stays as it was\n"
            "  --watch SECONDS      table only: refresh every SECONDS (%.1f to %.0f) until\n"
            "                       SIGINT or SIGTERM, clearing the screen on a terminal;\n"
            "                       stats shows each counter's rate per second since the\n"
            "                       last refresh\n"
            "  --nonzero            stats (table, JSON): only the fields that are not 0\n"
            "  --wide               clients: every column (by default the main ones, with\n"
            "                       counts from 10 million on shortened: 12.3M)\n"
            "  --interval MS        status: the rates over MS milliseconds (default 1000);\n"
            "                       0: averages since the core started\n"
            "  -h, --help           this text\n"
            "  --version            the version\n"
            "\n"
            "exit status:\n"
            "  0  done\n"
            "  1  failed: an I/O error, a malformed answer, or the core refused the query\n"
            "  2  bad usage\n"
            "  3  no core listens at the socket\n"
            "  4  refused: the socket's permissions, or the core's access settings, keep\n"
            "     this user out (or the core is at its connection cap)\n"
            "  5  the core did not answer within 2 s (a core older than this tool?)\n"
            "  6  the socket's server is neither this user nor root: not asked\n",
            kDefaultSocket, kWatchMin, kWatchMax);
}

__attribute__((format(printf, 1, 2))) int bad_usage(const char* aipcFmt, ...)
{
    va_list ap;
    va_start(ap, aipcFmt);
    fputs("v2x-ctl: ", stderr);
    vfprintf(stderr, aipcFmt, ap);
    va_end(ap);
    fputs("\n(v2x-ctl --help lists the options)\n", stderr);
    return kExitUsage;
}

// Values of the options without a short form.
enum : int { kOptJson = 256, kOptProm, kOptWatch, kOptVersion, kOptNonzero, kOptWide, kOptInterval };

const struct option kLong[] = {
    {"socket", required_argument, nullptr, 's'},
    {"output", required_argument, nullptr, 'o'},
    {"json", no_argument, nullptr, kOptJson},
    {"prometheus", no_argument, nullptr, kOptProm},
    {"watch", required_argument, nullptr, kOptWatch},
    {"nonzero", no_argument, nullptr, kOptNonzero},
    {"wide", no_argument, nullptr, kOptWide},
    {"interval", required_argument, nullptr, kOptInterval},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kOptVersion},
    {nullptr, 0, nullptr, 0}};
// ':' first: a missing value is told apart from an unknown option.
const char kShort[] = ":s:o:h";

// The options before the command: -1 to carry on; otherwise the exit status.
int parse_options(int argc, char** argv, Options* aopOpt, bool* aopJson, bool* aopProm)
{
    // Our own messages, not getopt's: they name the option as it was typed.
    opterr = 0;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, kShort, kLong, nullptr)) != -1) {
        // The option as typed: its element, or the one before its value.
        const char* typed = optarg != nullptr && optind >= 2 && optarg == argv[optind - 1]
                                ? argv[optind - 2]
                                : argv[optind - 1];
        // A wrong long option has always been stepped over; a wrong short one
        // may sit inside a cluster, so it is named by its letter.
        const std::string named = strncmp(typed, "--", 2) == 0 || optopt == 0 || optopt > 255
                                      ? std::string(typed)
                                      : std::string("-") + static_cast<char>(optopt);
        switch (c) {
        case 'h':
            usage(stdout);
            return kExitOk;
        case kOptVersion:
            printf("v2x-ctl (vestra) %s\n", V2X_VERSION);
            return kExitOk;
        case kOptJson:
            *aopJson = true;
            break;
        case kOptProm:
            *aopProm = true;
            break;
        case 's':
            aopOpt->socket = optarg;
            break;
        case kOptNonzero:
            aopOpt->view.nonzero = true;
            break;
        case kOptWide:
            aopOpt->view.wide = true;
            break;
        case kOptInterval: {
            char* end = nullptr;
            errno = 0;
            aopOpt->intervalMs = strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || errno != 0 || aopOpt->intervalMs < 0 ||
                aopOpt->intervalMs > 60000) {
                return bad_usage("--interval needs milliseconds from 0 to 60000, not \"%s\"",
                                 optarg);
            }
            break;
        }
        case 'o':
            if (optarg[0] == '\0') {
                return bad_usage("%s needs a file name", typed);
            }
            aopOpt->output = optarg;
            break;
        case kOptWatch: {
            char* end = nullptr;
            errno = 0;
            aopOpt->watch = strtod(optarg, &end);
            if (end == optarg || *end != '\0' || errno != 0 ||
                !(aopOpt->watch >= kWatchMin && aopOpt->watch <= kWatchMax)) {
                return bad_usage("--watch needs seconds from 0.1 to 86400, not \"%s\"", optarg);
            }
            break;
        }
        case ':':
            if (optopt == kOptWatch) {
                return bad_usage("%s", "--watch needs seconds from 0.1 to 86400, not \"\"");
            }
            if (optopt == kOptInterval) {
                return bad_usage("%s", "--interval needs milliseconds from 0 to 60000");
            }
            return bad_usage("%s needs %s", named.c_str(),
                             optopt == 's' ? "a socket path" : "a file name");
        default:
            return bad_usage("unknown option %s", named.c_str());
        }
    }
    return -1;
}

// -1: carry on; otherwise the exit status.
int parse(int argc, char** argv, Options* aopOpt)
{
    const char* env = getenv("V2X_CTL_SOCKET");
    aopOpt->socket = env != nullptr && env[0] != '\0' ? env : kDefaultSocket;
    bool json = false, prom = false;
    const int rc = parse_options(argc, argv, aopOpt, &json, &prom);
    if (rc >= 0) {
        return rc;
    }
    // getopt has moved the operands behind the options, in their order.
    if (optind + 1 < argc) {
        return bad_usage("one command only, not also \"%s\"", argv[optind + 1]);
    }
    const char* verb = optind < argc ? argv[optind] : nullptr;
    if (verb == nullptr) {
        return bad_usage("%s", "a command is missing: status, stats, aids, providers, clients "
                               "or describe");
    }
    aopOpt->describe = strcmp(verb, "describe") == 0;
    aopOpt->status = strcmp(verb, "status") == 0;
    aopOpt->rec = aopOpt->status ? &kStatusRecord : record_for_verb(verb);
    if (aopOpt->rec == nullptr && !aopOpt->describe) {
        return bad_usage("unknown command \"%s\"", verb);
    }
    if (json && prom) {
        return bad_usage("%s", "--json and --prometheus exclude each other");
    }
    if (aopOpt->watch > 0 && (json || prom)) {
        return bad_usage("%s", "--watch draws the table only, not with --json or --prometheus");
    }
    if (aopOpt->status && aopOpt->watch > 0) {
        return bad_usage("%s", "--watch is for stats and the lists; status takes --interval");
    }
    if (aopOpt->view.nonzero && (prom || aopOpt->rec != &kStatsRecord)) {
        // A Prometheus series must not vanish when its value is 0.
        return bad_usage("%s", "--nonzero is for stats, as a table or JSON");
    }
    if (aopOpt->watch > 0 && aopOpt->output != nullptr) {
        return bad_usage("%s", "--watch writes to standard output, not with --output");
    }
    aopOpt->format = json ? Format::Json : prom ? Format::Prometheus : Format::Table;
    return -1;
}

double mono_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Redraws until SIGINT or SIGTERM. The signals stay blocked and are taken
// by the wait between refreshes, so one arriving during a query is not lost
// and the screen is never left half drawn.
int watch(CoreLink& aiopLink, const Options& aicOpt)
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    Answer prev, cur;
    double prevAt = 0;
    // Into a pipe or a file the pictures follow each other, plain.
    const bool tty = isatty(STDOUT_FILENO) == 1;
    for (;;) {
        const int rc = aiopLink.query(*aicOpt.rec, &cur);
        if (rc != kExitOk) {
            return rc;
        }
        const double at = mono_seconds();
        const Rates rates = {prevAt > 0 ? &prev : nullptr, at - prevAt};
        if (tty) {
            printf("\033[H\033[2J%s every %g s (Ctrl-C ends)\n\n", aicOpt.socket.c_str(),
                   aicOpt.watch);
        } else {
            char stamp[32] = "";
            const time_t now = time(nullptr);
            struct tm tmv;
            if (localtime_r(&now, &tmv) != nullptr) {
                strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S%z", &tmv);
            }
            printf("%s--- %s at %s, every %g s\n\n", prevAt > 0 ? "\n" : "",
                   aicOpt.socket.c_str(), stamp, aicOpt.watch);
        }
        print_table(stdout, cur, &rates, aicOpt.view);
        if (fflush(stdout) != 0) {
            return kExitFail;
        }
        std::swap(prev, cur);
        prevAt = at;
        const double until = at + aicOpt.watch;
        for (;;) {
            const double left = until - mono_seconds();
            if (left <= 0) {
                break;
            }
            struct timespec ts;
            ts.tv_sec = static_cast<time_t>(left);
            ts.tv_nsec = static_cast<long>((left - static_cast<double>(ts.tv_sec)) * 1e9);
            if (sigtimedwait(&stop, nullptr, &ts) > 0) {
                return kExitOk;
            }
        }
    }
}

// --output FILE: the text goes to a temporary file in FILE's directory
// (hidden, not *.prom, so a textfile collector skips it), which is synced and
// renamed over FILE once whole: a reader sees the old file or the new one,
// never a part of either. A failure removes the temporary file (only a
// signal that kills the tool mid-write leaves it).
class AtomicOut {
public:
    explicit AtomicOut(const char* aipcPath)
        : path_(aipcPath), slash_(path_.rfind('/')),
          dir_(slash_ == std::string::npos ? "." : path_.substr(0, slash_ + 1))
    {
    }
    ~AtomicOut()
    {
        if (fp_ != nullptr) {
            fclose(fp_);
        }
        if (!tmp_.empty()) {
            unlink(tmp_.c_str());
        }
    }
    AtomicOut(const AtomicOut&) = delete;
    AtomicOut& operator=(const AtomicOut&) = delete;

    // Null after one line on stderr.
    FILE* open()
    {
        const std::string base = slash_ == std::string::npos ? path_ : path_.substr(slash_ + 1);
        std::string tmpl = dir_ + (dir_.back() == '/' ? "." : "/.") + base + ".XXXXXX";
        const int fd = mkostemp(&tmpl[0], O_CLOEXEC);
        if (fd < 0) {
            fail();
            return nullptr;
        }
        tmp_ = tmpl;
        // mkstemp makes it 0600; the collector runs as another user.
        const mode_t mask = umask(0);
        umask(mask);
        fp_ = fchmod(fd, 0666 & ~mask) == 0 ? fdopen(fd, "w") : nullptr;
        if (fp_ == nullptr) {
            fail();
            close(fd);
        }
        return fp_;
    }

    // kExitOk, or kExitFail after one line on stderr.
    int commit()
    {
        FILE* fp = fp_;
        fp_ = nullptr;
        const bool written = fflush(fp) == 0 && ferror(fp) == 0 && fsync(fileno(fp)) == 0;
        const int err = errno;
        if (fclose(fp) != 0 || !written) {
            errno = written ? errno : err;
            return fail();
        }
        if (rename(tmp_.c_str(), path_.c_str()) != 0) {
            return fail();
        }
        tmp_.clear();
        // The rename itself survives a power cut once the directory is synced.
        const int dfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            fsync(dfd);
            close(dfd);
        }
        return kExitOk;
    }

private:
    int fail()
    {
        fprintf(stderr, "v2x-ctl: cannot write %s: %s (left as it was)\n", path_.c_str(),
                strerror(errno));
        return kExitFail;
    }

    const std::string path_;
    const size_t slash_;
    const std::string dir_;  // with its last '/', or "."
    std::string tmp_;
    FILE* fp_ = nullptr;
};

// Prints to stdout or, with --output, through an AtomicOut; `print` gets the
// stream. The status of the writing.
template <class Print>
int emit(const Options& aicOpt, Print aicPrint)
{
    if (aicOpt.output == nullptr) {
        aicPrint(stdout);
        // A full disk or a closed pipe is a failure, not a result.
        if (fflush(stdout) != 0 || ferror(stdout) != 0) {
            fprintf(stderr, "v2x-ctl: writing the output: %s\n", strerror(errno));
            return kExitFail;
        }
        return kExitOk;
    }
    AtomicOut out(aicOpt.output);
    FILE* fp = out.open();
    if (fp == nullptr) {
        return kExitFail;
    }
    aicPrint(fp);
    return out.commit();
}

// The status record and, but for Prometheus, two counter samples the
// interval apart (one with --interval 0).
int query_status(CoreLink& aiopLink, const Options& aicOpt, StatusView* aopV)
{
    int rc = aiopLink.query(kStatusRecord, &aopV->status);
    if (rc != kExitOk || aicOpt.format == Format::Prometheus) {
        return rc;
    }
    if (aicOpt.intervalMs > 0) {
        rc = aiopLink.query(kStatsRecord, &aopV->before);
        const double t0 = mono_seconds();
        struct timespec ts = {aicOpt.intervalMs / 1000, (aicOpt.intervalMs % 1000) * 1000000L};
        while (rc == kExitOk && nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
        if (rc == kExitOk) {
            rc = aiopLink.query(kStatsRecord, &aopV->after);
        }
        aopV->seconds = mono_seconds() - t0;
        return rc;
    }
    return aiopLink.query(kStatsRecord, &aopV->after);
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    const int rc = parse(argc, argv, &opt);
    if (rc >= 0) {
        return rc;
    }
    if (opt.describe) {
        return emit(opt, [](FILE* aopOut) { print_describe(aopOut); });
    }
    CoreLink link(opt.socket);
    int st = link.open();
    if (st == kExitOk && opt.watch > 0) {
        return watch(link, opt);
    }
    Answer ans;
    StatusView sv;
    if (st == kExitOk) {
        st = opt.status ? query_status(link, opt, &sv) : link.query(*opt.rec, &ans);
    }
    if (st != kExitOk) {
        if (opt.format != Format::Prometheus || st == kExitUsage) {
            return st;
        }
        // The textfile collector keeps serving the last file it read: a core
        // that is down must say so (v2x_up 0), not leave the old numbers. A
        // core that is not running is a state to report, not a failure of
        // the tool; other failures keep their status.
        const int wr = emit(opt, [&](FILE* aopOut) { print_prometheus_down(aopOut, *opt.rec); });
        return wr != kExitOk ? wr : st == kExitNoCore ? kExitOk : st;
    }
    if (opt.status) {
        return emit(opt, [&](FILE* aopOut) {
            switch (opt.format) {
            case Format::Table:
                print_status_table(aopOut, sv);
                break;
            case Format::Json:
                print_status_json(aopOut, sv);
                break;
            case Format::Prometheus:
                print_status_prometheus(aopOut, sv);
                break;
            }
        });
    }
    return emit(opt, [&](FILE* aopOut) {
        switch (opt.format) {
        case Format::Table:
            print_table(aopOut, ans, nullptr, opt.view);
            break;
        case Format::Json:
            print_json(aopOut, ans, opt.view);
            break;
        case Format::Prometheus:
            print_prometheus(aopOut, ans);
            break;
        }
    });
}
