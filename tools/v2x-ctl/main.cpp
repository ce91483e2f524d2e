// v2x-ctl: asks a running core, over its application socket, for its
// counters and for the lists it keeps (registered AIDs, providers,
// connected applications), and prints them as a table, one JSON object or
// the Prometheus text format. `v2x-ctl --help` documents the options and
// the exit statuses; docs/COUNTERS.md lists every counter.
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

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
};

void usage(FILE* aopOut)
{
    fprintf(aopOut,
            "usage: v2x-ctl [-s SOCKET] [--json | --prometheus | --watch SECONDS]\n"
            "               stats | aids | providers | clients\n"
            "       v2x-ctl describe\n"
            "\n"
            "Asks a running core, over its application socket, what it counts and keeps.\n"
            "  stats      the core's counters and gauges, grouped: radio receive, radio\n"
            "             send, applications, management\n"
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
            "                       collector): v2x_* metrics, counters ending in _total\n"
            "  --watch SECONDS      table only: clear the screen and refresh every SECONDS\n"
            "                       (%.1f to %.0f) until SIGINT or SIGTERM; stats shows each\n"
            "                       counter's rate per second since the last refresh\n"
            "  -h, --help           this text\n"
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

// -1: carry on; otherwise the exit status.
int parse(int argc, char** argv, Options* aopOpt)
{
    const char* env = getenv("V2X_CTL_SOCKET");
    aopOpt->socket = env != nullptr && env[0] != '\0' ? env : kDefaultSocket;
    bool json = false, prom = false;
    const char* verb = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        // An option's value: "--opt VALUE" or "--opt=VALUE".
        auto value = [&](const std::string& aicLong, const char* aipcShort,
                         const char** aopVal) -> bool {
            if (a == aicLong || (aipcShort != nullptr && a == aipcShort)) {
                *aopVal = i + 1 < argc ? argv[++i] : nullptr;
                return true;
            }
            if (a.compare(0, aicLong.size() + 1, aicLong + "=") == 0) {
                *aopVal = argv[i] + aicLong.size() + 1;
                return true;
            }
            return false;
        };
        const char* v = nullptr;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return kExitOk;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--prometheus") {
            prom = true;
        } else if (value("--socket", "-s", &v)) {
            if (v == nullptr) {
                return bad_usage("%s needs a socket path", a.c_str());
            }
            aopOpt->socket = v;
        } else if (value("--watch", nullptr, &v)) {
            char* end = nullptr;
            errno = 0;
            aopOpt->watch = v != nullptr ? strtod(v, &end) : 0;
            if (v == nullptr || end == v || *end != '\0' || errno != 0 ||
                !(aopOpt->watch >= kWatchMin && aopOpt->watch <= kWatchMax)) {
                return bad_usage("--watch needs seconds from 0.1 to 86400, not \"%s\"",
                                 v != nullptr ? v : "");
            }
        } else if (!a.empty() && a[0] == '-') {
            return bad_usage("unknown option %s", a.c_str());
        } else if (verb != nullptr) {
            return bad_usage("one command only, not also \"%s\"", a.c_str());
        } else {
            verb = argv[i];
        }
    }
    if (verb == nullptr) {
        return bad_usage("%s", "a command is missing: stats, aids, providers, clients or describe");
    }
    aopOpt->describe = strcmp(verb, "describe") == 0;
    aopOpt->rec = record_for_verb(verb);
    if (aopOpt->rec == nullptr && !aopOpt->describe) {
        return bad_usage("unknown command \"%s\"", verb);
    }
    if (json && prom) {
        return bad_usage("%s", "--json and --prometheus exclude each other");
    }
    if (aopOpt->watch > 0 && (json || prom)) {
        return bad_usage("%s", "--watch draws the table only, not with --json or --prometheus");
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
    for (;;) {
        const int rc = aiopLink.query(*aicOpt.rec, &cur);
        if (rc != kExitOk) {
            return rc;
        }
        const double at = mono_seconds();
        const Rates rates = {prevAt > 0 ? &prev : nullptr, at - prevAt};
        printf("\033[H\033[2J%s every %g s (Ctrl-C ends)\n\n", aicOpt.socket.c_str(),
               aicOpt.watch);
        print_table(stdout, cur, &rates);
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

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    const int rc = parse(argc, argv, &opt);
    if (rc >= 0) {
        return rc;
    }
    if (opt.describe) {
        print_describe(stdout);
        return fflush(stdout) == 0 ? kExitOk : kExitFail;
    }
    CoreLink link(opt.socket);
    int st = link.open();
    if (st != kExitOk) {
        return st;
    }
    if (opt.watch > 0) {
        return watch(link, opt);
    }
    Answer ans;
    st = link.query(*opt.rec, &ans);
    if (st != kExitOk) {
        return st;
    }
    switch (opt.format) {
    case Format::Table:
        print_table(stdout, ans, nullptr);
        break;
    case Format::Json:
        print_json(stdout, ans);
        break;
    case Format::Prometheus:
        print_prometheus(stdout, ans);
        break;
    }
    // A full disk or a closed pipe is a failure, not a result.
    if (fflush(stdout) != 0 || ferror(stdout) != 0) {
        fprintf(stderr, "v2x-ctl: writing the output: %s\n", strerror(errno));
        return kExitFail;
    }
    return kExitOk;
}
