// SPDX-License-Identifier: Apache-2.0
// tools/v2x-ctl as a process: against a core of this test process (every
// counter checked against the core's own copy; the lists, one longer than an
// answer), against fake cores (request bytes, longer and shorter records,
// messages to skip, malformed answers, silence), and its refusals.
// GCC 12 with the sanitizers warns about the std::function inside <regex>
// when it is inlined here (a false positive of -Wmaybe-uninitialized).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core_app.h"
#include "core_harness.h"
#include "child_proc.h"
#include "test_support.h"
#include "v2x_stats.h"

#ifndef V2X_CTL_PATH
#error "V2X_CTL_PATH must name the v2x-ctl executable"
#endif

using namespace v2xtest;

namespace {

constexpr int kNobody = 65534;

long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}


// ---------------------------------------------------------------------------
// The tool as a child (as uid when >= 0), its output in files.

struct Result {
    int status = -1;  // exit status, 128 + signal; -1: still running after the wait
    std::string out, err;
};

class Tool {
public:
    Tool(const std::vector<std::string>& aicArgs, int aicUid = -1, const char* aipcEnv = nullptr)
    {
        std::vector<std::string> args = {V2X_CTL_PATH}, env;
        args.insert(args.end(), aicArgs.begin(), aicArgs.end());
        for (char** e = environ; *e != nullptr; ++e) {
            if (strncmp(*e, "V2X_CTL_SOCKET=", 15) != 0) {
                env.emplace_back(*e);
            }
        }
        if (aipcEnv != nullptr) {
            env.push_back(std::string("V2X_CTL_SOCKET=") + aipcEnv);
        }
        std::vector<char*> argv, envp;
        for (auto& a : args) {
            argv.push_back(&a[0]);
        }
        for (auto& e : env) {
            envp.push_back(&e[0]);
        }
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        const int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        pid_ = fork();
        if (pid_ == 0) {
            if (dup2(o, 1) < 0 || dup2(e, 2) < 0 ||
                (aicUid >= 0 && (setgroups(0, nullptr) != 0 || setgid(aicUid) != 0 ||
                                 setuid(aicUid) != 0))) {
                _exit(120);
            }
            execve(argv[0], argv.data(), envp.data());
            _exit(121);
        }
        close(o);
        close(e);
    }
    ~Tool()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        unlink(out_.c_str());
        unlink(err_.c_str());
    }
    std::string out() const { return slurp(out_); }
    void signal(int aicSig) { kill(pid_, aicSig); }
    Result finish(int aicMs = 20000)
    {
        Result r;
        int st = 0;
        if (wait_for([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, aicMs)) {
            r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pid_ = -1;
        }
        r.out = slurp(out_);
        r.err = slurp(err_);
        return r;
    }

private:
    std::string out_ = unique_path("ctlout"), err_ = unique_path("ctlerr");
    pid_t pid_ = -1;
};

Result ctl(const std::vector<std::string>& aicArgs, int aicUid = -1, const char* aipcEnv = nullptr)
{
    return Tool(aicArgs, aicUid, aipcEnv).finish();
}

// ---------------------------------------------------------------------------
// Checks that a text is one JSON object; keeps every number under its dotted
// path ("stats.rxDatagrams", "aids.0.aid"), in order.

class Json {
public:
    explicit Json(const std::string& aicText) : s_(aicText)
    {
        ok = ws() == '{' && value("") && ws() == 0;
    }
    bool ok = false;
    std::vector<std::pair<std::string, std::string>> leaves;
    std::map<std::string, size_t> arrays;  // entries of each array
    bool has(const std::string& aicPath) const { return find(aicPath) != nullptr; }
    long long num(const std::string& aicPath) const
    {
        const std::string* v = find(aicPath);
        return v != nullptr ? std::stoll(*v) : -999999;
    }

private:
    const std::string* find(const std::string& aicPath) const
    {
        for (auto& kv : leaves) {
            if (kv.first == aicPath) {
                return &kv.second;
            }
        }
        return nullptr;
    }
    char ws()
    {
        while (i_ < s_.size() && isspace(static_cast<unsigned char>(s_[i_]))) {
            ++i_;
        }
        return i_ < s_.size() ? s_[i_] : 0;
    }
    bool eat(char c) { return ws() == c && ++i_ > 0; }
    bool value(const std::string& aicPath)
    {
        const std::string pre = aicPath.empty() ? aicPath : aicPath + ".";
        if (eat('{')) {
            if (eat('}')) {
                return true;
            }
            do {
                const size_t end = eat('"') ? s_.find('"', i_) : std::string::npos;
                if (end == std::string::npos) {
                    return false;
                }
                const std::string key = s_.substr(i_, end - i_);
                i_ = end + 1;
                if (!eat(':') || !value(pre + key)) {
                    return false;
                }
            } while (eat(','));
            return eat('}');
        }
        if (eat('[')) {
            size_t n = 0;
            if (!eat(']')) {
                do {
                    if (!value(pre + std::to_string(n++))) {
                        return false;
                    }
                } while (eat(','));
                if (!eat(']')) {
                    return false;
                }
            }
            arrays[aicPath] = n;
            return true;
        }
        const size_t start = i_;
        i_ += ws() == '-' ? 1 : 0;
        const size_t digits = i_;
        while (i_ < s_.size() && isdigit(static_cast<unsigned char>(s_[i_]))) {
            ++i_;
        }
        leaves.emplace_back(aicPath, s_.substr(start, i_ - start));
        return i_ > digits;
    }

    std::string s_;
    size_t i_ = 0;
};

// ---------------------------------------------------------------------------
// The Prometheus text format as node_exporter's textfile collector reads it,
// with this tool's naming: every sample's metric has HELP and TYPE lines
// before it and its samples stand together, names and labels are well
// formed, counters end in _total and gauges do not, values are numbers, no
// series repeats. And this tool's rules: drops, refusals and errors are
// families with a snake_case `reason` label on every sample (names ending in
// _dropped_total, _refused_total or _errors_total; no other name says
// "drop" or "refused"), and v2x_up is one unlabelled gauge of 0 or 1.
// The errors found; the samples in *aopOut.

struct PromSample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};

std::vector<std::string> prom_check(const std::string& aicText, std::vector<PromSample>* aopOut)
{
    static const std::regex head(R"(# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (\S.*))");
    static const std::regex smp(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (\S+))");
    static const std::regex lbl(R"(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\[\\"n])*)\"(,|$))");
    std::vector<std::string> errs;
    std::map<std::string, std::string> help, type;
    std::set<std::string> ended, series;
    std::string cur;
    if (!aicText.empty() && aicText.back() != '\n') {
        errs.push_back("no newline at the end");
    }
    std::istringstream is(aicText);
    for (std::string line; std::getline(is, line);) {
        std::smatch m;
        if (std::regex_match(line, m, head)) {
            if (!(m[1] == "HELP" ? help : type).emplace(m[2], m[3]).second ||
                (m[1] == "TYPE" && m[3] != "counter" && m[3] != "gauge")) {
                errs.push_back("bad or second " + line);
            }
            continue;
        }
        if (line.compare(0, 6, "# HELP") == 0 || line.compare(0, 6, "# TYPE") == 0 ||
            !std::regex_match(line, m, smp)) {
            errs.push_back("bad line: " + line);
            continue;
        }
        PromSample s;
        s.name = m[1];
        std::string labels = m[3];
        for (std::smatch l; !labels.empty(); labels = l.suffix().str()) {
            if (!std::regex_search(labels, l, lbl, std::regex_constants::match_continuous) ||
                !s.labels.emplace(l[1], l[2]).second || l[1].str().compare(0, 2, "__") == 0) {
                errs.push_back("bad labels: " + line);
                break;
            }
        }
        char* end = nullptr;
        const std::string v = m[4];
        s.value = strtod(v.c_str(), &end);
        if (*end != '\0' && v != "+Inf" && v != "-Inf" && v != "NaN") {
            errs.push_back("bad value: " + line);
        }
        const bool total = s.name.size() > 6 && s.name.compare(s.name.size() - 6, 6, "_total") == 0;
        if (help.count(s.name) == 0 || type.count(s.name) == 0) {
            errs.push_back("no HELP or TYPE before " + line);
        } else if ((type[s.name] == "counter") != total) {
            errs.push_back(type[s.name] + " " + s.name + (total ? " ends" : " does not end") +
                           " in _total");
        }
        if (s.name != cur) {
            ended.insert(cur);
            if (ended.count(s.name) != 0) {
                errs.push_back("samples of " + s.name + " not together");
            }
            cur = s.name;
        }
        if (!series.insert(s.name + m[2].str()).second) {
            errs.push_back("series repeats: " + line);
        }
        static const std::regex byReason(R"(.*_(dropped|refused|errors)_total)");
        static const std::regex dropWord(R"(.*(drop|refused).*)");
        static const std::regex snake(R"([a-z][a-z0-9_]*)");
        const bool family = std::regex_match(s.name, byReason);
        if (s.labels.count("reason") != 0 ? !family || !std::regex_match(s.labels["reason"], snake)
                                          : family || std::regex_match(s.name, dropWord)) {
            errs.push_back("reason rule: " + line);
        }
        if (s.name == "v2x_up" &&
            (type[s.name] != "gauge" || !s.labels.empty() || (s.value != 0 && s.value != 1))) {
            errs.push_back("up rule: " + line);
        }
        if (aopOut != nullptr) {
            aopOut->push_back(s);
        }
    }
    return errs;
}

const PromSample* sample(const std::vector<PromSample>& aicAll, const std::string& aicName,
                         const std::map<std::string, std::string>& aicLabels = {})
{
    for (auto& s : aicAll) {
        bool match = s.name == aicName;
        for (auto& kv : aicLabels) {
            match = match && s.labels.count(kv.first) != 0 && s.labels.at(kv.first) == kv.second;
        }
        if (match) {
            return &s;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// A fake core: it greets each connection as the core does, then each request
// is handed to the script and its bytes sent back (the tool's control hello
// is not a request); no script answers nothing (a core older than the query).

class FakeCore {
public:
    using Script = std::function<Bytes(const tV2XCtlReq&)>;
    explicit FakeCore(Script aicScript) : script_(std::move(aicScript))
    {
        fd_ = unix_listen(path);
        th_ = std::thread([this] { serve(); });
    }
    ~FakeCore()
    {
        stop_ = true;
        th_.join();
        close(fd_);
        unlink(path.c_str());
    }
    const std::string path = unique_path("ctlfake");
    std::vector<Bytes> requests()
    {
        std::lock_guard<std::mutex> lk(mtx_);
        return reqs_;
    }

private:
    void serve()
    {
        while (!stop_) {
            struct pollfd p = {fd_, POLLIN, 0};
            const int c = poll(&p, 1, 20) == 1 ? accept(fd_, nullptr, nullptr) : -1;
            if (c >= 0) {
                write_all(c, greeting_msg());
            }
            for (Bytes m; c >= 0 && (m = read_msg(c, 3000)).size() >= 6;) {
                uint32_t type;
                memcpy(&type, m.data(), sizeof(type));
                if (type == V2X_CTL_HELLO) {
                    continue;
                }
                tV2XCtlReq req = {};
                memcpy(&req, m.data() + 6, std::min(m.size() - 6, sizeof(req)));
                {
                    std::lock_guard<std::mutex> lk(mtx_);
                    reqs_.push_back(m);
                }
                if (script_) {
                    write_all(c, script_(req));
                }
            }
            if (c >= 0) {
                close(c);
            }
        }
    }

    Script script_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread th_;
    std::mutex mtx_;
    std::vector<Bytes> reqs_;
};

template <class T>
Bytes bytes_of(const T& aicRec, size_t aicSize = sizeof(T))
{
    Bytes b(aicSize, 0xEE);  // bytes past the record: what a newer core would add
    memcpy(b.data(), &aicRec, std::min(aicSize, sizeof(T)));
    return b;
}

Bytes rsp(uint32_t aicWhat, uint32_t aicStatus, uint32_t aicRecSize, uint32_t aicFirst,
          uint32_t aicCount, uint32_t aicTotal, const Bytes& aicRecords)
{
    const tV2XCtlRsp h = {aicWhat, V2X_CTL_VERSION, aicStatus, aicRecSize, aicFirst, aicCount,
                          aicTotal};
    Bytes p = bytes_of(h);
    p.insert(p.end(), aicRecords.begin(), aicRecords.end());
    return app_msg(V2X_CTL_QUERY_RSP, p);
}

}  // namespace

// Each counter in each form is the core's own: one that stood still across
// the runs is equal to it, one that moved lies between.
TEST(V2xCtl, StatsMatchTheCoresCountersInEveryFormat)
{
    LevelGuard quiet(LOG_LEV_OFF);
    CoreHarness core;
    ASSERT_TRUE(core.started());
    const std::string path = core.cfg.dmnNme;
    ASSERT_EQ(register_aid(core.connect_app(), 0, 32), 0);
    const uint64_t rx0 = stats_now().rxDatagrams;
    for (const Bytes& d : {air_frame(32, {1, 2, 3}), air_frame(33, {1}), Bytes{4, 0}}) {
        ASSERT_TRUE(core.air_send(d));
    }
    ASSERT_TRUE(wait_for([&] { return stats_now().rxDatagrams == rx0 + 3; }, 10000));

    const tV2XCoreStats before = stats_now();
    const Result js = ctl({"-s", path, "--json", "stats"});
    const Result prom = ctl({"-s", path, "--prometheus", "stats"});
    const Result table = ctl({"-s", path, "stats"});
    const tV2XCoreStats after = stats_now();
    ASSERT_EQ(js.status + prom.status + table.status, 0) << js.err << prom.err << table.err;
    const Json j(js.out);
    ASSERT_TRUE(j.ok) << js.out;
    std::vector<PromSample> samples;
    const auto errs = prom_check(prom.out, &samples);
    EXPECT_TRUE(errs.empty()) << errs.front();
    constexpr size_t kCounters = (sizeof(tV2XCoreStats) - 8) / 8;
    ASSERT_EQ(j.leaves.size(), kCounters) << js.out;
    ASSERT_EQ(samples.size(), kCounters + 1);  // and v2x_up
    ASSERT_NE(sample(samples, "v2x_up"), nullptr);
    EXPECT_EQ(sample(samples, "v2x_up")->value, 1);
    // Each field's sample by the names `describe` gives it (an array's
    // element "f[i]", in JSON "f.i", has a label of its own).
    std::map<std::string, std::pair<std::string, std::map<std::string, std::string>>> promOf;
    static const std::regex row(
        R"re(\| `(\w+)(\[(\d)\])?` \| `(\w+)(\{(\w+)="(\w+)"\})?` \| (counter|gauge) \|.*)re");
    std::istringstream desc(ctl({"describe"}).out);
    for (std::string line; std::getline(desc, line);) {
        std::smatch m;
        if (std::regex_match(line, m, row)) {
            const std::string field = m[1].str() + (m[2].matched ? "." + m[3].str() : "");
            if (promOf.count(field) == 0) {  // stats come first
                promOf[field] = {m[4], {}};
                if (m[5].matched) {
                    promOf[field].second[m[6]] = m[7];
                }
            }
        }
    }
    for (size_t i = 0; i < kCounters; ++i) {
        const size_t off = 8 + i * 8;
        uint64_t lo = std::min(StatDelta::field(before, off), StatDelta::field(after, off));
        uint64_t hi = std::max(StatDelta::field(before, off), StatDelta::field(after, off));
        if (off == offsetof(tV2XCoreStats, ctlConnections)) {
            lo += 1;  // the tool's own, and maybe the last run's not yet closed
            hi += 3;
        }
        const std::string name = j.leaves[i].first.substr(6);  // after "stats."
        const uint64_t v = std::stoull(j.leaves[i].second);
        EXPECT_TRUE(v >= lo && v <= hi) << name << "=" << v << " not in " << lo << ".." << hi;
        ASSERT_EQ(promOf.count(name), 1u) << name;
        const PromSample* ps = sample(samples, promOf[name].first, promOf[name].second);
        ASSERT_NE(ps, nullptr) << name;
        EXPECT_TRUE(ps->value >= lo && ps->value <= hi) << ps->name;
        const size_t dot = name.find('.');
        const std::string shown = dot == std::string::npos
                                      ? name
                                      : name.substr(0, dot) + "[" + name.substr(dot + 1) + "]";
        const size_t at = table.out.find("  " + shown + " ");
        ASSERT_NE(at, std::string::npos) << name;
        if (lo == hi) {
            EXPECT_EQ(std::stoull(table.out.substr(at + shown.size() + 3)), v) << name;
        }
    }
    EXPECT_EQ(j.num("stats.rxDatagrams"), static_cast<long long>(after.rxDatagrams));
    ASSERT_NE(sample(samples, "v2x_rx_datagrams_total"), nullptr);
    EXPECT_EQ(sample(samples, "v2x_rx_datagrams_total")->value, after.rxDatagrams);
    EXPECT_NE(sample(samples, "v2x_app_connections"), nullptr);  // gauges: no _total
    EXPECT_NE(sample(samples, "v2x_tx_queued_max"), nullptr);
    ASSERT_NE(sample(samples, "v2x_rx_dropped_total", {{"reason", "not_registered"}}), nullptr);
    EXPECT_EQ(sample(samples, "v2x_rx_dropped_total", {{"reason", "not_registered"}})->value,
              after.rxDropNotRegistered);
    for (const char* sec :
         {"radio receive\n", "\nradio send\n", "\napplications\n", "\nmanagement\n"}) {
        EXPECT_NE(table.out.find(sec), std::string::npos) << sec;
    }
}

// Our registration, provider and connections, the clients over more than
// one answer: each read once.
TEST(V2xCtl, ListsShowRegistrationsProvidersAndEveryConnection)
{
    LevelGuard quiet(LOG_LEV_OFF);
    CoreHarness core;
    ASSERT_TRUE(core.started());
    const std::string path = core.cfg.dmnNme;
    const int app = core.connect_app();
    ASSERT_EQ(register_aid(app, 5, 32), 0);
    ASSERT_TRUE(write_all(app, prov_req(7, DME_ACTION_ADD, 40, 10, "")));
    const Bytes cfm = read_msg(app, 3000);
    uint32_t ret = 1;
    ASSERT_TRUE(cfm.size() == 12u && cfm[0] == V2X_DME_PROV_SERV_CFM);
    memcpy(&ret, cfm.data() + 8, sizeof(ret));
    ASSERT_EQ(ret, static_cast<uint32_t>(DME_RET_ACCEPT));
    constexpr int kMore = 55;  // 46 client records fill one answer
    struct CapGuard {  // 57 connections of one user: within its share of 80
        CapGuard() { v2x_sdk_dmn_serv_set_max_clit(80); }
        ~CapGuard() { v2x_sdk_dmn_serv_set_max_clit(V2X_DMN_SERV_MAX_CLIT_DEF); }
    } cap;
    for (int i = 0; i < kMore; ++i) {
        ASSERT_GE(core.connect_app(), 0);
    }

    const Json a(ctl({"-s", path, "--json", "aids"}).out);
    ASSERT_TRUE(a.ok && a.arrays.at("aids") == 1);
    EXPECT_EQ(a.num("aids.0.aid"), 32);
    EXPECT_EQ(a.num("aids.0.index"), 5);
    const long long conn = a.num("aids.0.connId");
    const Json p(ctl({"-s", path, "--json", "providers"}).out);
    ASSERT_TRUE(p.ok && p.arrays.at("providers") == 1);
    EXPECT_EQ(p.num("providers.0.aid"), 40);
    EXPECT_EQ(p.num("providers.0.lclAppId"), 7);
    EXPECT_EQ(p.num("providers.0.rptRte"), 10);
    EXPECT_EQ(p.num("providers.0.connId"), conn);
    EXPECT_FALSE(p.has("providers.0.reserved"));

    const Json c(ctl({"-s", path, "--json", "clients"}).out);
    ASSERT_TRUE(c.ok);
    std::set<long long> ours;
    for (size_t i = 0; i < c.arrays.at("clients"); ++i) {
        const std::string at = "clients." + std::to_string(i) + ".";
        if (c.num(at + "pid") == getpid() && c.num(at + "uid") == geteuid()) {
            ours.insert(c.num(at + "connId"));
        }
        if (c.num(at + "connId") == conn) {
            EXPECT_GE(c.num(at + "msgsIn"), 2);  // the registration and the provider
            EXPECT_GE(c.num(at + "msgsOut"), 2);  // their confirms
        }
    }
    EXPECT_EQ(ours.size(), static_cast<size_t>(kMore + 2));
    EXPECT_EQ(ours.count(conn), 1u);
    // The tool's own control connection is not among them.
    EXPECT_EQ(c.arrays.at("clients"), static_cast<size_t>(kMore + 2));

    const Result table = ctl({"-s", path, "aids"});
    EXPECT_EQ(table.out, "aid  index  connId\n 32      5  " +
                             std::string(6 - std::to_string(conn).size(), ' ') +
                             std::to_string(conn) + "\n");
    std::vector<PromSample> samples;
    const Result prom = ctl({"-s", path, "--prometheus", "clients"});
    const Result aprom = ctl({"-s", path, "--prometheus", "aids"});
    EXPECT_TRUE(prom_check(prom.out, &samples).empty()) << prom.out;
    EXPECT_TRUE(prom_check(aprom.out, &samples).empty()) << aprom.out;
    // Labels that survive a restart of the application: no pid among them.
    const std::map<std::string, std::string> mine = {{"conn", std::to_string(conn)},
                                                     {"uid", std::to_string(geteuid())}};
    const PromSample* in = sample(samples, "v2x_client_msgs_in_total", mine);
    ASSERT_NE(in, nullptr) << prom.out;
    EXPECT_GE(in->value, 2);
    const PromSample* pid = sample(samples, "v2x_client_pid", mine);
    ASSERT_NE(pid, nullptr);
    EXPECT_EQ(pid->value, getpid());
    for (const PromSample& ps : samples) {
        EXPECT_EQ(ps.labels.count("pid"), 0u) << ps.name;
    }
    auto refused = mine;
    refused["reason"] = "length";
    EXPECT_NE(sample(samples, "v2x_client_requests_refused_total", refused), nullptr) << prom.out;
    EXPECT_NE(sample(samples, "v2x_aid_registered",
                     {{"aid", "32"}, {"index", "5"}, {"conn", std::to_string(conn)}}),
              nullptr);
}

// The request's bytes; a newer core's longer records cut to the tool's, an
// older core's shorter stats shown as far as they go; other messages skipped
// by their length; a list over two answers; malformed and refused answers.
TEST(V2xCtl, FakeCoreAnswersAreReadByTheirLengths)
{
    tV2XCtlClient cls[3];
    memset(cls, 0, sizeof(cls));
    for (uint32_t i = 0; i < 3; ++i) {
        cls[i].connId = i + 1;
        cls[i].pid = -1;
        cls[i].msgsIn = 0x100000000ull + i;
        cls[i].pendingBytes = 77 + i;
    }
    FakeCore fake([&](const tV2XCtlReq& aicReq) {
        Bytes out = app_msg(V2X_DSM_IND, Bytes(300, 0x55)), recs;
        if (aicReq.what == V2X_CTL_CLIENTS) {
            const uint32_t n = aicReq.first == 0 ? 2 : 1;
            for (uint32_t i = aicReq.first; i < aicReq.first + n && i < 3; ++i) {
                const Bytes r = bytes_of(cls[i], sizeof(tV2XCtlClientEx) + 8);
                recs.insert(recs.end(), r.begin(), r.end());
            }
            recs = rsp(V2X_CTL_CLIENTS, V2X_CTL_OK, sizeof(tV2XCtlClientEx) + 8, aicReq.first, n,
                       3, recs);
        } else if (aicReq.what == V2X_CTL_STATS) {
            tV2XCoreStats st = {};
            st.size = offsetof(tV2XCoreStats, txDatagrams);  // radio receive only
            st.rxDatagrams = 41;
            st.rxDropNoBuffer = 42;
            recs = rsp(V2X_CTL_STATS, V2X_CTL_OK, st.size, 0, 1, 1, bytes_of(st, st.size));
        } else if (aicReq.what == V2X_CTL_AIDS) {
            recs = rsp(V2X_CTL_AIDS, V2X_CTL_OK, sizeof(tV2XCtlAid), 0, 2, 2, Bytes(12, 1));
        } else {
            recs = rsp(aicReq.what, V2X_CTL_BAD_WHAT, 0, 0, 0, 0, {});
        }
        out.insert(out.end(), recs.begin(), recs.end());
        return out;
    });

    const Json c(ctl({"-s", fake.path, "--json", "clients"}).out);
    ASSERT_TRUE(c.ok && c.arrays.at("clients") == 3);
    for (uint32_t i = 0; i < 3; ++i) {
        const std::string at = "clients." + std::to_string(i) + ".";
        EXPECT_EQ(c.num(at + "connId"), i + 1);
        EXPECT_EQ(c.num(at + "pid"), -1);
        EXPECT_EQ(c.num(at + "msgsIn"), static_cast<long long>(0x100000000ull + i));
        EXPECT_EQ(c.num(at + "pendingBytes"), 77 + i);
    }
    const std::vector<Bytes> reqs = fake.requests();
    ASSERT_EQ(reqs.size(), 2u);
    for (uint32_t i = 0; i < 2; ++i) {
        const tV2XCtlReq r = {V2X_CTL_CLIENTS, V2X_CTL_VERSION, 2 * i};
        EXPECT_EQ(reqs[i], app_msg(V2X_CTL_QUERY_REQ, bytes_of(r))) << "request " << i;
    }

    const Json s(ctl({"-s", fake.path, "--json", "stats"}).out);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.leaves.size(), 16u);  // what that core counts, no zeros for the rest
    EXPECT_EQ(s.num("stats.rxDatagrams"), 41);
    EXPECT_EQ(s.num("stats.rxDropNoBuffer"), 42);
    std::vector<PromSample> samples;
    EXPECT_TRUE(prom_check(ctl({"-s", fake.path, "--prometheus", "stats"}).out, &samples).empty());
    EXPECT_EQ(samples.size(), 17u);  // and v2x_up
    ASSERT_NE(sample(samples, "v2x_rx_dropped_total", {{"reason", "no_buffer"}}), nullptr);
    EXPECT_EQ(sample(samples, "v2x_rx_dropped_total", {{"reason", "no_buffer"}})->value, 42);

    Result r = ctl({"-s", fake.path, "aids"});  // two records said, one sent
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("malformed answer"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
    r = ctl({"-s", fake.path, "providers"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("refused the query"), std::string::npos) << r.err;
}

TEST(V2xCtl, SilentCoreTimesOutWithItsOwnStatus)
{
    FakeCore fake(nullptr);
    const long start = now_ms();
    const Result r = ctl({"-s", fake.path, "stats"});
    EXPECT_EQ(r.status, 5);
    EXPECT_GE(now_ms() - start, 1500);
    EXPECT_EQ(r.err, "v2x-ctl: the core at " + fake.path +
                         " did not answer the query (a core older than this tool?)\n");
    EXPECT_TRUE(r.out.empty());
}

// A core at its cap tells the tool so, and the tool says which refusal it got.
TEST(V2xCtl, ARefusalAtTheCapIsNamed)
{
    LevelGuard quiet(LOG_LEV_OFF);
    CoreHarness core;  // holds the one place
    ASSERT_TRUE(core.started());
    v2x_sdk_dmn_serv_set_max_clit(1);
    const Result r = ctl({"-s", core.cfg.dmnNme, "stats"});
    v2x_sdk_dmn_serv_set_max_clit(V2X_DMN_SERV_MAX_CLIT_DEF);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, std::string("v2x-ctl: the core at ") + core.cfg.dmnNme +
                         " refused the connection: it holds its cap of 1 connections (maxClients)\n");
    EXPECT_TRUE(r.out.empty());
}

TEST(V2xCtl, MissingSocketAndBadUsageHaveTheirOwnStatus)
{
    const std::string missing = unique_path("ctlnone");
    Result r = ctl({"-s", missing, "stats"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "v2x-ctl: no core listens at " + missing + " (ENOENT)\n");
    r = ctl({"clients"}, -1, missing.c_str());  // the socket from the environment
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find(missing), std::string::npos) << r.err;
    const std::string stale = unique_path("ctlstale");  // a socket file, nobody listening
    close(unix_listen(stale));
    r = ctl({"-s", stale, "stats"});
    unlink(stale.c_str());
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("(ECONNREFUSED)"), std::string::npos) << r.err;

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"state"}, {"stats", "aids"}, {"--interval", "-1", "status"}, {"--json", "--prometheus", "stats"},
             {"--watch", "1", "--json", "stats"}, {"--watch", "0", "stats"},
             {"--watch", "x", "stats"}, {"--bogus", "stats"}, {"stats", "-s"},
             {"-s", std::string(120, 'a'), "stats"}}) {
        r = ctl(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
}

// Another user kept out by the socket's mode (EACCES) or closed by the
// core's access settings (and counted there); a server of another user is
// not asked at all.
TEST(V2xCtl, RefusedUserAndForeignServerAreToldApart)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run v2x-ctl as a second user (nobody)";
    }
    LevelGuard quiet(LOG_LEV_OFF);
    CoreHarness core;
    ASSERT_TRUE(core.started());
    const std::string path = core.cfg.dmnNme;
    Result r = ctl({"-s", path, "stats"}, kNobody);
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("permission denied on " + path + " (EACCES)"), std::string::npos) << r.err;

    const uint64_t refused = stats_now().appRefusedPeer;
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    r = ctl({"-s", path, "stats"}, kNobody);
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("do not admit this user (uid 65534)"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_TRUE(wait_for([&] { return stats_now().appRefusedPeer == refused + 1; }, 10000));

    const std::string foreign = unique_path("ctlforeign");
    const int pid = fork_listener(foreign, kNobody);
    ASSERT_GT(pid, 0);
    r = ctl({"-s", foreign, "stats"});
    stop_process(pid);
    unlink(foreign.c_str());
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.err.find("served by uid 65534"), std::string::npos) << r.err;
}

// Rates from the second picture on, none for gauges; SIGTERM ends it. Into
// a file (no terminal) the pictures follow each other without escapes.
TEST(V2xCtl, WatchRedrawsWithRatesUntilSigterm)
{
    LevelGuard quiet(LOG_LEV_OFF);
    CoreHarness core;
    ASSERT_TRUE(core.started());
    const std::string head = "--- " + std::string(core.cfg.dmnNme) + " at ";
    Tool w({"-s", core.cfg.dmnNme, "--watch", "0.2", "stats"});
    ASSERT_TRUE(wait_for([&] {
        const std::string s = w.out();
        const size_t last = s.rfind(head);
        return last != std::string::npos && last != 0 &&
               s.find("cfmRefusedOther", last) != std::string::npos;
    }, 10000));
    w.signal(SIGTERM);
    const Result r = w.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find('\033'), std::string::npos);
    EXPECT_EQ(r.out.rfind(head, 0), 0u) << r.out.substr(0, 80);
    const size_t second = r.out.find("\n\n" + head);
    ASSERT_NE(second, std::string::npos);
    const std::string first = r.out.substr(0, second);
    const std::string later = r.out.substr(r.out.rfind(head));
    EXPECT_EQ(first.find("/s\n"), std::string::npos) << first;
    EXPECT_NE(later.find(" 0.0/s\n"), std::string::npos) << later;
    const size_t g = later.find("  appConnections ");
    ASSERT_NE(g, std::string::npos);
    EXPECT_EQ(later.substr(g, later.find('\n', g) - g).find("/s"), std::string::npos);
}

// When no core listens the file still says so (v2x_up 0, exit 0) for the
// textfile collector; --output replaces the file whole or not at all, never
// leaves its temporary file, and makes it readable to the collector.
TEST(V2xCtl, PrometheusFileSaysDownAndIsReplacedWhole)
{
    const std::string dir = unique_path("ctlprom"), file = dir + "/v2x.prom";
    const std::string missing = unique_path("ctlnone");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    auto listing = [&] {  // the directory's names, sorted, hidden ones too
        std::set<std::string> names;
        DIR* d = opendir(dir.c_str());
        for (struct dirent* e; d != nullptr && (e = readdir(d)) != nullptr;) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
                names.insert(e->d_name);
            }
        }
        if (d != nullptr) {
            closedir(d);
        }
        std::string all;
        for (const std::string& n : names) {
            all += n + "\n";
        }
        return all;
    };
    Result r = ctl({"-s", missing, "--prometheus", "--output", file, "stats"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.empty());
    std::vector<PromSample> samples;
    const std::string down = slurp(file);
    EXPECT_TRUE(prom_check(down, &samples).empty()) << down;
    ASSERT_EQ(samples.size(), 1u) << down;
    EXPECT_EQ(samples[0].name, "v2x_up");
    EXPECT_EQ(samples[0].value, 0);
    EXPECT_EQ(listing(), "v2x.prom\n");
    struct stat st;
    const mode_t mask = umask(0);
    umask(mask);
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

    r = ctl({"-s", missing, "--prometheus", "clients"});  // a list: its metrics, no samples
    samples.clear();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(prom_check(r.out, &samples).empty()) << r.out;
    EXPECT_NE(r.out.find("# TYPE v2x_client_connected gauge\n"), std::string::npos);
    EXPECT_TRUE(samples.empty());

    {
        LevelGuard quiet(LOG_LEV_OFF);
        CoreHarness core;
        ASSERT_TRUE(core.started());
        r = ctl({"-s", core.cfg.dmnNme, "--prometheus", "--output", file, "stats"});
        EXPECT_EQ(r.status, 0) << r.err;
        samples.clear();
        EXPECT_TRUE(prom_check(slurp(file), &samples).empty());
        ASSERT_NE(sample(samples, "v2x_up"), nullptr);
        EXPECT_EQ(sample(samples, "v2x_up")->value, 1);
    }
    const std::string old = slurp(file);

    // A directory the tool may not write (as root: the tool runs as nobody).
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    r = ctl({"-s", missing, "--prometheus", "--output", file, "stats"},
            geteuid() == 0 ? kNobody : -1);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_lines_with(r.err, "v2x-ctl: cannot write " + file + ": "), 1) << r.err;
    EXPECT_EQ(slurp(file), old);
    // The rename fails (a directory is in the way): the temporary file goes.
    const std::string inWay = dir + "/in-way.prom";
    ASSERT_EQ(mkdir(inWay.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((inWay + "/x").c_str(), 0755), 0);
    r = ctl({"-s", missing, "--prometheus", "--output", inWay, "stats"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_lines_with(r.err, "cannot write " + inWay), 1) << r.err;
    EXPECT_EQ(listing(), "in-way.prom\nv2x.prom\n");
    rmdir((inWay + "/x").c_str());
    rmdir(inWay.c_str());
    unlink(file.c_str());
    rmdir(dir.c_str());
}

// docs/COUNTERS.md carries the tool's own listing of every field.
TEST(V2xCtl, CountersDocumentListsEveryField)
{
    const Result r = ctl({"describe"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string src = __FILE__;
    const std::string doc = slurp(src.substr(0, src.rfind("/tests/")) + "/docs/COUNTERS.md");
    EXPECT_NE(doc.find(r.out), std::string::npos) << "docs/COUNTERS.md lacks:\n" << r.out;
    EXPECT_NE(r.out.find("| `cfmRefusedOther` | `v2x_cfm_refused_total{reason=\"other\"}` | "
                         "counter |"),
              std::string::npos);
}

// The checker above finds what it is there to find.
TEST(V2xCtl, PrometheusCheckerFindsBadExpositions)
{
    EXPECT_TRUE(prom_check("# HELP a_total A.\n# TYPE a_total counter\na_total{x=\"1\"} 3\n",
                           nullptr).empty());
    EXPECT_TRUE(prom_check("# HELP v2x_up U.\n# TYPE v2x_up gauge\nv2x_up 0\n# HELP b_refused_total"
                           " B.\n# TYPE b_refused_total counter\nb_refused_total{reason=\"cap\"} 1\n",
                           nullptr).empty());
    for (const char* bad : {
             "a_total 3\n",                                           // no HELP or TYPE
             "# HELP a A.\n# TYPE a counter\na 3\n",                  // counter without _total
             "# HELP a_total A.\n# TYPE a_total gauge\na_total 3\n",  // gauge with _total
             "# HELP a A.\n# TYPE a gauge\na three\n",                // value
             "# HELP a A.\n# TYPE a gauge\na{x=1} 3\n",               // label value
             "# HELP a A.\n# TYPE a gauge\na{1x=\"1\"} 3\n",          // label name
             "# HELP 1a A.\n# TYPE 1a gauge\n1a 3\n",                 // metric name
             "# HELP a A.\n# TYPE a gauge\na 1\na 2\n",               // repeated series
             "# HELP a A.\n# TYPE a gauge\n# HELP b B.\n# TYPE b gauge\na 1\nb 1\na{x=\"\"} 1\n",
             "# HELP a A.\n# TYPE a gauge\na 1",  // no last newline
             "# HELP v2x_up U.\n# TYPE v2x_up gauge\nv2x_up 2\n",
             "# HELP v2x_up U.\n# TYPE v2x_up gauge\nv2x_up{conn=\"1\"} 1\n",
             "# HELP v2x_rx_drop_short_total D.\n# TYPE v2x_rx_drop_short_total counter\n"
             "v2x_rx_drop_short_total 1\n",  // a reason as a metric of its own
             "# HELP a_dropped_total D.\n# TYPE a_dropped_total counter\na_dropped_total 1\n",
             "# HELP a_dropped_total D.\n# TYPE a_dropped_total counter\n"
             "a_dropped_total{reason=\"Too-Short\"} 1\n",
             "# HELP a_total A.\n# TYPE a_total counter\na_total{reason=\"x\"} 1\n",
         }) {
        EXPECT_FALSE(prom_check(bad, nullptr).empty()) << bad;
    }
}

namespace {

size_t widest_line(const std::string& aicText)
{
    size_t most = 0;
    std::istringstream in(aicText);
    for (std::string line; std::getline(in, line);) {
        most = std::max(most, line.size());
    }
    return most;
}

}  // namespace

// `status` from a real core: its name, version, socket and the drop it
// counted; rates over an interval; `--nonzero` keeps every non-zero field
// and only those.
TEST(V2xCtl, StatusAndNonzeroStatsFromARealCore)
{
    LevelGuard quiet(LOG_LEV_OFF);
    struct NameGuard {
        ~NameGuard() { v2x_core_set_station_name(nullptr); }
    } guard;
    ASSERT_EQ(v2x_core_set_station_name("ctl \"test\" station"), 0);
    CoreHarness core;
    ASSERT_TRUE(core.started());
    const std::string path = core.cfg.dmnNme;
    const int app = core.connect_app();
    const tV2XCtlStatus st = rec_at<tV2XCtlStatus>(ctl_query(app, V2X_CTL_STATUS), 0);
    const uint64_t drops0 = stats_now().rxDropNotRegistered;
    ASSERT_TRUE(core.air_send(air_frame(33, {1, 2})));  // nobody registered 33
    ASSERT_TRUE(wait_for([&] { return stats_now().rxDropNotRegistered > drops0; }, 10000));

    const Result s = ctl({"-s", path, "status", "--interval", "50"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.out.find("station      ctl \"test\" station\n"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find(std::string("version      ") + st.libVersion), std::string::npos);
    EXPECT_NE(s.out.find("socket       " + path + "\n"), std::string::npos);
    EXPECT_NE(s.out.find("rxDropNotRegistered"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find(" over 0."), std::string::npos) << s.out;
    EXPECT_LE(widest_line(s.out), 80u) << s.out;
    const Result j = ctl({"-s", path, "--json", "status", "--interval", "0"});
    ASSERT_EQ(j.status, 0) << j.err;
    EXPECT_NE(j.out.find("\"station\":\"ctl \\\"test\\\" station\""), std::string::npos) << j.out;
    EXPECT_NE(j.out.find("\"pid\":" + std::to_string(getpid()) + ","), std::string::npos);
    EXPECT_NE(j.out.find("{\"name\":\"rxDropNotRegistered\",\"count\":"), std::string::npos);
    std::vector<PromSample> samples;
    const Result prom = ctl({"-s", path, "--prometheus", "status"});
    EXPECT_TRUE(prom_check(prom.out, &samples).empty()) << prom.out;
    ASSERT_NE(sample(samples, "v2x_info"), nullptr) << prom.out;
    EXPECT_EQ(sample(samples, "v2x_info")->labels.at("station"), "ctl \\\"test\\\" station");
    EXPECT_EQ(ctl({"-s", path, "--watch", "1", "status"}).status, 2);
    EXPECT_EQ(ctl({"-s", path, "--nonzero", "--prometheus", "stats"}).status, 2);

    const Result nz = ctl({"-s", path, "--nonzero", "stats"});
    const Json nzj(ctl({"-s", path, "--nonzero", "--json", "stats"}).out);
    ASSERT_EQ(nz.status, 0) << nz.err;
    ASSERT_TRUE(nzj.ok);
    for (const auto& kv : nzj.leaves) {
        EXPECT_NE(kv.second, "0") << kv.first;
    }
    EXPECT_TRUE(nzj.has("stats.rxDropNotRegistered"));
    // A counter still 0 after was 0 before, so it must be left out (gauges
    // may have fallen to 0 meanwhile). Counters of the whole process: other
    // tests may have moved some, never all.
    const Json full(ctl({"-s", path, "--json", "stats"}).out);
    ASSERT_TRUE(full.ok);
    const std::set<std::string> gauges = {"stats.txQueued", "stats.appConnections",
                                          "stats.ctlConnections", "stats.mgmtRegistrations",
                                          "stats.mgmtProviders"};
    size_t zeros = 0;
    for (const auto& kv : full.leaves) {
        if (kv.second == "0" && gauges.count(kv.first) == 0) {
            ++zeros;
            EXPECT_FALSE(nzj.has(kv.first)) << kv.first;
            EXPECT_EQ(nz.out.find("  " + kv.first.substr(6) + " "), std::string::npos)
                << kv.first;
        }
    }
    EXPECT_GT(zeros, 5u);
    static const std::regex field(R"re(  (\w+) +(\d+))re");
    size_t rows = 0;
    std::istringstream in(nz.out);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_match(line, m, field)) {
            EXPECT_NE(m[2], "0") << line;
            ++rows;
        }
    }
    EXPECT_GT(rows, 2u);
}

// The clients table: the main columns within 100 by default, large counts
// shortened; --wide every column, exact.
TEST(V2xCtl, ClientsTableIsNarrowUnlessWide)
{
    tV2XCtlClient cls[2];
    memset(cls, 0, sizeof(cls));
    for (uint32_t i = 0; i < 2; ++i) {
        cls[i].connId = 4000000000u + i;
        cls[i].pid = 4194304;
        cls[i].uid = 65534;
        cls[i].msgsIn = cls[i].msgsOut = cls[i].bytesIn = cls[i].bytesOut = ~0ull;
        cls[i].txSent = cls[i].txExpired = cls[i].droppedStalled = 4294967296ull;
        cls[i].txQueued = 9999999;
    }
    FakeCore fake([&](const tV2XCtlReq& aicReq) {
        Bytes recs;
        for (const tV2XCtlClient& c : cls) {
            const Bytes r = bytes_of(c);
            recs.insert(recs.end(), r.begin(), r.end());
        }
        return aicReq.what == V2X_CTL_CLIENTS
                   ? rsp(V2X_CTL_CLIENTS, V2X_CTL_OK, sizeof(tV2XCtlClient), 0, 2, 2, recs)
                   : rsp(aicReq.what, V2X_CTL_BAD_WHAT, 0, 0, 0, 0, {});
    });
    const Result n = ctl({"-s", fake.path, "clients"});
    const Result w = ctl({"-s", fake.path, "--wide", "clients"});
    ASSERT_EQ(n.status + w.status, 0) << n.err << w.err;
    EXPECT_LE(widest_line(n.out), 100u) << n.out;
    EXPECT_GT(widest_line(w.out), widest_line(n.out));
    EXPECT_EQ(n.out.find("bytesIn"), std::string::npos) << n.out;
    EXPECT_NE(n.out.find("18.4E"), std::string::npos) << n.out;  // 2^64 - 1
    EXPECT_NE(n.out.find("4.29G"), std::string::npos) << n.out;
    EXPECT_NE(n.out.find("9999999"), std::string::npos) << n.out;
    EXPECT_NE(w.out.find("18446744073709551615"), std::string::npos) << w.out;
    EXPECT_NE(w.out.find("pendingBytes"), std::string::npos);
}

// The congestion gate's counters from a fake core in every form: the CBR
// drops and gated drops as reasons of their families, the per-priority
// interval as one labelled gauge and one JSON array, and the status lines
// with a CBR, without one, and from a core that does not count them.
TEST(V2xCtl, CongestionCountersInEveryForm)
{
    tV2XCoreStats st = {};
    st.size = sizeof(st);
    st.version = V2X_CTL_VERSION;
    st.cbrReports = 5;
    st.cbrDropLen = 1;
    st.cbrDropBad = 2;
    st.cbrDropFuture = 3;
    st.cbrLast = 412;
    st.cbrSmoothed = 398;
    st.cbrAgeMs = 120;
    st.ccRule = V2X_CC_RULE_REACTIVE;
    st.txGateHeld = 9;
    st.txGatedExpired = 12345678;
    st.txGatedSuperseded = 4;
    st.ccIntervalUs[2] = 25000;
    std::atomic<int> mode{0};  // 0: as above, 1: no CBR yet, 2: a core without the gate
    FakeCore fake([&](const tV2XCtlReq& aicReq) {
        tV2XCoreStats s = st;
        if (mode == 1) {
            s.cbrLast = s.cbrSmoothed = 65535;
            s.cbrAgeMs = V2X_CBR_AGE_NONE;
        }
        if (mode == 2) {
            s.size = offsetof(tV2XCoreStats, cbrReports);
        }
        if (aicReq.what == V2X_CTL_STATUS) {
            tV2XCtlStatus status = {};
            status.size = sizeof(status);
            return rsp(V2X_CTL_STATUS, V2X_CTL_OK, sizeof(status), 0, 1, 1, bytes_of(status));
        }
        return rsp(V2X_CTL_STATS, V2X_CTL_OK, s.size, 0, 1, 1, bytes_of(s, s.size));
    });

    std::vector<PromSample> samples;
    const Result prom = ctl({"-s", fake.path, "--prometheus", "stats"});
    const auto errs = prom_check(prom.out, &samples);
    EXPECT_TRUE(errs.empty()) << errs.front();
    const struct {
        const char* name;
        std::map<std::string, std::string> labels;
        double value;
    } want[] = {
        {"v2x_cbr_reports_total", {}, 5},
        {"v2x_cbr_dropped_total", {{"reason", "length"}}, 1},
        {"v2x_cbr_dropped_total", {{"reason", "malformed"}}, 2},
        {"v2x_cbr_dropped_total", {{"reason", "future"}}, 3},
        {"v2x_cbr_last", {}, 412},
        {"v2x_cbr_smoothed", {}, 398},
        {"v2x_cbr_age_ms", {}, 120},
        {"v2x_cc_rule", {}, 1},
        {"v2x_cc_duty_ppm", {}, 0},
        {"v2x_tx_gate_held_total", {}, 9},
        {"v2x_tx_dropped_total", {{"reason", "gated_expired"}}, 12345678},
        {"v2x_tx_dropped_total", {{"reason", "gated_superseded"}}, 4},
        {"v2x_cc_interval_us", {{"priority", "2"}}, 25000},
        {"v2x_cc_interval_us", {{"priority", "7"}}, 0},
    };
    for (const auto& w : want) {
        const PromSample* ps = sample(samples, w.name, w.labels);
        ASSERT_NE(ps, nullptr) << w.name << "\n" << prom.out;
        EXPECT_EQ(ps->value, w.value) << w.name;
    }
    size_t intervals = 0;
    for (const PromSample& ps : samples) {
        intervals += ps.name == "v2x_cc_interval_us" ? 1 : 0;
    }
    EXPECT_EQ(intervals, 8u);

    const Json j(ctl({"-s", fake.path, "--json", "stats"}).out);
    ASSERT_TRUE(j.ok);
    EXPECT_EQ(j.arrays.at("stats.ccIntervalUs"), 8u);
    EXPECT_EQ(j.num("stats.ccIntervalUs.2"), 25000);
    EXPECT_EQ(j.num("stats.txGatedExpired"), 12345678);
    // --nonzero keeps the array whole while one element is not 0.
    const Json nz(ctl({"-s", fake.path, "--nonzero", "--json", "stats"}).out);
    ASSERT_TRUE(nz.ok);
    EXPECT_EQ(nz.arrays.at("stats.ccIntervalUs"), 8u);
    EXPECT_FALSE(nz.has("stats.ccDutyPpm"));

    Result s = ctl({"-s", fake.path, "status", "--interval", "0"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.out.find("\ncongestion   reactive, CBR 41.2 % (smoothed 39.8 %, 120 ms ago)\n"
                         "             gated drops 12.3M expired, 4 superseded\n"),
              std::string::npos)
        << s.out;
    EXPECT_LE(widest_line(s.out), 80u) << s.out;
    Result sj = ctl({"-s", fake.path, "--json", "status", "--interval", "0"});
    EXPECT_NE(sj.out.find("\"congestion\":{\"rule\":\"reactive\",\"ccRule\":1,\"cbrLast\":412,"
                          "\"cbrSmoothed\":398,\"cbrAgeMs\":120,\"txGateHeld\":9,"
                          "\"txGatedExpired\":12345678,\"txGatedSuperseded\":4}"),
              std::string::npos)
        << sj.out;

    mode = 1;
    s = ctl({"-s", fake.path, "status", "--interval", "0"});
    EXPECT_NE(s.out.find("\ncongestion   reactive, no CBR\n"), std::string::npos) << s.out;
    mode = 2;
    s = ctl({"-s", fake.path, "status", "--interval", "0"});
    EXPECT_NE(s.out.find("\ncongestion   not counted by this core\n"), std::string::npos) << s.out;
    sj = ctl({"-s", fake.path, "--json", "status", "--interval", "0"});
    EXPECT_NE(sj.out.find("\"congestion\":null,"), std::string::npos) << sj.out;
    samples.clear();
    EXPECT_TRUE(prom_check(ctl({"-s", fake.path, "--prometheus", "stats"}).out, &samples).empty());
    EXPECT_EQ(sample(samples, "v2x_cc_interval_us"), nullptr);
    EXPECT_EQ(sample(samples, "v2x_tx_dropped_total", {{"reason", "gated_expired"}}), nullptr);
}

// Client records of a core with the gate (136 bytes) carry its drops; an
// older core's 120-byte records read them as 0.
TEST(V2xCtl, ClientRecordsOfEitherSizeCarryTheGatedDrops)
{
    tV2XCtlClientEx cl;
    memset(&cl, 0, sizeof(cl));
    cl.c.connId = 9;
    cl.c.pid = 1234;
    cl.c.uid = 1000;
    cl.c.txExpired = 3;
    cl.txGatedExpired = 7;
    cl.txGatedSuperseded = 8;
    std::atomic<uint32_t> recSize{sizeof(tV2XCtlClientEx)};
    FakeCore fake([&](const tV2XCtlReq& aicReq) {
        return aicReq.what == V2X_CTL_CLIENTS
                   ? rsp(V2X_CTL_CLIENTS, V2X_CTL_OK, recSize, 0, 1, 1, bytes_of(cl, recSize))
                   : rsp(aicReq.what, V2X_CTL_BAD_WHAT, 0, 0, 0, 0, {});
    });
    for (const uint32_t size : {static_cast<uint32_t>(sizeof(tV2XCtlClientEx)),
                                static_cast<uint32_t>(sizeof(tV2XCtlClient))}) {
        recSize = size;
        const long long exp = size == sizeof(tV2XCtlClientEx) ? 7 : 0;
        const long long sup = size == sizeof(tV2XCtlClientEx) ? 8 : 0;
        const Json j(ctl({"-s", fake.path, "--json", "clients"}).out);
        ASSERT_TRUE(j.ok && j.arrays.at("clients") == 1) << size;
        EXPECT_EQ(j.num("clients.0.txExpired"), 3) << size;
        EXPECT_EQ(j.num("clients.0.txGatedExpired"), exp) << size;
        EXPECT_EQ(j.num("clients.0.txGatedSuperseded"), sup) << size;
        std::vector<PromSample> samples;
        const Result prom = ctl({"-s", fake.path, "--prometheus", "clients"});
        EXPECT_TRUE(prom_check(prom.out, &samples).empty()) << prom.out;
        const PromSample* ps = sample(samples, "v2x_client_tx_dropped_total",
                                      {{"conn", "9"}, {"reason", "gated_superseded"}});
        ASSERT_NE(ps, nullptr) << prom.out;
        EXPECT_EQ(ps->value, sup);
        const Result w = ctl({"-s", fake.path, "--wide", "clients"});
        EXPECT_NE(w.out.find("txGatedExpired  txGatedSuperseded\n"), std::string::npos) << w.out;
        EXPECT_EQ(ctl({"-s", fake.path, "clients"}).out.find("txGated"), std::string::npos);
    }
}
