// SPDX-License-Identifier: Apache-2.0
// v2x-ctl: what the tool knows about the records of the core's query, the
// answers it reads, and how it prints them.
//
// Every record is described once, as a table of fields (name, place, width,
// kind, meaning). The table, JSON and Prometheus outputs and the
// `describe` listing all walk these tables, so a counter added to the header
// is added here once and appears everywhere.
#ifndef V2X_CTL_HPP
#define V2X_CTL_HPP

#include <stddef.h>
#include <stdint.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "v2x_stats.h"

namespace v2xctl {

// Exit statuses; `v2x-ctl --help` lists them.
enum Exit : int {
    kExitOk = 0,
    kExitFail = 1,       // I/O error, malformed answer, the core refused the query
    kExitUsage = 2,      // bad command line
    kExitNoCore = 3,     // nothing listens at the socket path
    kExitRefused = 4,    // the socket or the core refuses this user
    kExitNoAnswer = 5,   // no answer within the wait (a core older than the tool)
    kExitUntrusted = 6,  // the server at the path is neither this user nor root
};

enum class Kind : uint8_t {
    Counter,   // only grows: Prometheus "counter", name ends in _total
    Gauge,     // how things stand now
    Label,     // identifies a list record: a Prometheus label
    Reserved,  // padding: never shown
};

// Counters that count one thing by reason (drops, refusals) form one
// Prometheus family with a `reason` label: a sum over it is the total, and a
// reason added later is a new series of the same metric. The elements of an
// array field (a gauge per priority) form one the same way, under their own
// label.
struct Family {
    const char* stem;  // after the record's prefix; "_total" follows counters
    const char* help;
    const char* label = "reason";  // the label that tells the members apart
};

struct Field {
    const char* name;  // the record's field name: JSON key and table heading
    uint16_t off;
    uint8_t width;     // 1, 2, 4 or 8 bytes
    bool isSigned;
    Kind kind;
    const char* prom;  // Prometheus name (label or metric stem); null: snake_case of name
    const char* help;
    uint8_t section;   // stats only: the group it is printed in
    const Family* family;  // the family it is one member of, or null
    const char* reason;    // with family: the value of its label (snake_case)
};

// One kind of answer: stats or one of the lists.
struct Record {
    const char* verb;       // command word and JSON key
    uint32_t what;          // eV2XCtlWhat
    const char* type;       // the C record, for the listing
    uint32_t size;          // sizeof the record this tool knows
    const Field* fields;
    size_t nFields;
    const char* promPrefix; // metric prefix: "v2x_" or "v2x_client_" ...
    const char* presence;   // lists: metric with value 1 per record (null for stats)
    const char* presenceHelp;
};

extern const Record kStatsRecord;
// `status`: one tV2XCtlStatus (texts, so no field table: status.cpp reads it).
extern const Record kStatusRecord;
extern const Record* const kRecords[4];  // stats, aids, providers, clients
const Record* record_for_verb(const std::string& verb);

// What the core answered: the records in this tool's layout, each `size`
// bytes, bytes the core did not send left zero. For stats, `filled` says how
// many bytes of the one record the core filled; fields beyond it are not
// shown (that core does not count them).
struct Answer {
    const Record* rec = nullptr;
    std::vector<uint8_t> bytes;
    size_t count = 0;
    size_t filled = 0;

    const uint8_t* at(size_t i) const { return bytes.data() + i * rec->size; }
};

// A field's value, unsigned or sign-extended.
uint64_t field_u64(const uint8_t* aipRec, const Field& aicF);
std::string field_text(const uint8_t* aipRec, const Field& aicF);
std::string prom_metric(const Record& aicRec, const Field& aicF);

// Rates of counters since an earlier answer (stats, --watch).
struct Rates {
    const Answer* prev;
    double seconds;
};

// How a table or JSON object is cut down: nonzero leaves out the stats
// fields that are 0 (table and JSON; JSON keeps an array field such as
// ccIntervalUs whole while any element is not 0); wide shows every column
// of a list (by default the clients table shows its most telling columns
// only, with large counts shortened, to stay within 100 columns).
struct View {
    bool nonzero = false;
    bool wide = false;
};

void print_table(FILE* aopOut, const Answer& aicAns, const Rates* aipRates,
                 const View& aicView = View());
void print_json(FILE* aopOut, const Answer& aicAns, const View& aicView = View());
void print_prometheus(FILE* aopOut, const Answer& aicAns);
// What a Prometheus file says when the core could not be asked: v2x_up 0
// for stats (the scrape's health), and each list's families without samples.
void print_prometheus_down(FILE* aopOut, const Record& aicRec);
void print_describe(FILE* aopOut);

// `status`: the core's status record and two counter records taken
// `seconds` apart (seconds 0: one record, its rates averaged over the
// core's uptime). The rates and drops need the stats; Prometheus does not
// (it takes rates from the counters of `stats`).
struct StatusView {
    Answer status;
    Answer before, after;
    double seconds = 0;
};
void print_status_table(FILE* aopOut, const StatusView& aicV);
void print_status_json(FILE* aopOut, const StatusView& aicV);
void print_status_prometheus(FILE* aopOut, const StatusView& aicV);
// JSON's string form of a text (quotes, backslashes, control characters).
std::string json_string(const char* aipcText);
// A count in at most 7 characters: exact below 10 million, else 3
// significant digits and a unit ("12.3M").
std::string short_count(uint64_t aicV);

// One connection to a core's application socket. Errors are printed on
// stderr (one "v2x-ctl: " line) and returned as an Exit.
class CoreLink {
public:
    explicit CoreLink(std::string aicPath) : path_(std::move(aicPath)) {}
    ~CoreLink();
    CoreLink(const CoreLink&) = delete;
    CoreLink& operator=(const CoreLink&) = delete;

    int open();
    // Asks for the whole of one record kind (several requests for a long list).
    int query(const Record& aicRec, Answer* aopAns);

private:
    int greet();
    int ask(uint32_t aicWhat, uint32_t aicFirst, std::vector<uint8_t>* aopPld);
    int read_exact(uint8_t* aopBuf, size_t aicLen, long aicDeadlineMs);
    int fail(int aicExit, const char* aipcFmt, ...) __attribute__((format(printf, 3, 4)));

    std::string path_;
    int fd_ = -1;
};

}  // namespace v2xctl

#endif
