// The field tables of the query's records and the four ways of printing them.
#include <string.h>

#include <algorithm>
#include <iterator>
#include <type_traits>

#include "ctl.hpp"

namespace v2xctl {

namespace {

// One field of record T: its name, place, width and signedness come from
// the record itself.
#define CTL_FIELD(T, f, kind, prom, sec, help)                                         \
    Field{#f, static_cast<uint16_t>(offsetof(T, f)), static_cast<uint8_t>(sizeof(T::f)), \
          std::is_signed<decltype(T::f)>::value, Kind::kind, prom, help, sec}
#define STAT(f, kind, sec, help) CTL_FIELD(tV2XCoreStats, f, kind, nullptr, sec, help)

enum Section : uint8_t { kRadioRx, kRadioTx, kApps, kMgmt, kSections };
const char* const kSectionTitle[kSections] = {"radio receive", "radio send", "applications",
                                               "management"};

constexpr Field kStatsFields[] = {
    STAT(rxDatagrams, Counter, kRadioRx, "Datagrams read from the radio module."),
    STAT(rxBytes, Counter, kRadioRx, "Bytes of the datagrams read from the radio module."),
    STAT(rxIndications, Counter, kRadioRx, "Received frames handed to the applications."),
    STAT(rxDmeFrames, Counter, kRadioRx,
         "Received management frames handed to the management entity."),
    STAT(rxProtTypeOther, Counter, kRadioRx,
         "Received frames of a protocol type other than 4 (still decoded)."),
    STAT(rxDropTooShort, Counter, kRadioRx,
         "Received datagrams dropped: empty, or a frame of 3 bytes or fewer."),
    STAT(rxDropShortExt, Counter, kRadioRx,
         "Received frames dropped: they end inside the extension element."),
    STAT(rxDropShortAid, Counter, kRadioRx, "Received frames dropped: they end inside the AID."),
    STAT(rxDropShortLen, Counter, kRadioRx,
         "Received frames dropped: they end inside the length field."),
    STAT(rxDropExtTooLong, Counter, kRadioRx,
         "Received frames dropped: an extension value above 32 bytes."),
    STAT(rxDropAidFormat, Counter, kRadioRx,
         "Received frames dropped: an unsupported AID form (first byte 11xxxxxx)."),
    STAT(rxDropNotRegistered, Counter, kRadioRx,
         "Received frames dropped: no application registered their AID."),
    STAT(rxDropLenMismatch, Counter, kRadioRx,
         "Received frames dropped: the length field disagrees with the frame."),
    STAT(rxDropTruncated, Counter, kRadioRx,
         "Received datagrams dropped: larger than the receive buffer."),
    STAT(rxDropRecvErr, Counter, kRadioRx, "Receive calls on the radio socket that failed."),
    STAT(rxDropNoBuffer, Counter, kRadioRx, "Received datagrams dropped: no receive buffer free."),

    STAT(txDatagrams, Counter, kRadioTx, "Datagrams sent to the radio module."),
    STAT(txBytes, Counter, kRadioTx, "Bytes of the datagrams sent to the radio module."),
    STAT(txQueued, Gauge, kRadioTx,
         "Datagrams waiting now in the transmit queue for the 70 ms gap."),
    STAT(txQueuedMax, Gauge, kRadioTx,
         "Most datagrams ever waiting in the transmit queue at once."),
    STAT(txWaited, Counter, kRadioTx, "Datagrams that waited in the transmit queue."),
    STAT(txFullRefused, Counter, kRadioTx, "Sends refused because the transmit queue was full."),
    STAT(txHeldBack, Counter, kRadioTx,
         "Times a connection was held back for a full transmit queue."),
    STAT(txErrBusy, Counter, kRadioTx, "Sends that failed with EAGAIN, ENOBUFS or ENOMEM."),
    STAT(txErrUnreachable, Counter, kRadioTx,
         "Sends that failed with ECONNREFUSED, EHOSTUNREACH, ENETUNREACH, ENETDOWN or EHOSTDOWN."),
    STAT(txErrOther, Counter, kRadioTx, "Sends that failed otherwise."),
    STAT(txDroppedAtExit, Counter, kRadioTx, "Waiting datagrams dropped when the core stopped."),
    STAT(dsaSent, Counter, kRadioTx, "Service advertisements sent."),
    STAT(dsaSkipped, Counter, kRadioTx,
         "Service advertisements skipped for a full transmit queue."),

    STAT(appConnections, Gauge, kApps, "Application connections open now."),
    STAT(appAccepted, Counter, kApps, "Application connections accepted."),
    STAT(appRefusedPeer, Counter, kApps, "Application connections refused by the access settings."),
    STAT(appRefusedCap, Counter, kApps, "Application connections refused at the connection cap."),
    STAT(appAcceptErrs, Counter, kApps, "Accept calls on the application socket that failed."),
    STAT(appMsgsIn, Counter, kApps, "Whole messages read from applications."),
    STAT(appBytesIn, Counter, kApps,
         "Bytes of the messages read from applications, headers included."),
    STAT(appMsgsOut, Counter, kApps, "Whole messages sent to applications (or left pending)."),
    STAT(appBytesOut, Counter, kApps,
         "Bytes of the messages sent to applications, headers included."),
    STAT(appRefusedLen, Counter, kApps, "Application requests refused for their length."),
    STAT(appRefusedType, Counter, kApps, "Application requests refused for their type."),
    STAT(appRefusedValue, Counter, kApps,
         "Application requests their layer refused for a field's value."),
    STAT(appDroppedStalled, Counter, kApps,
         "Messages dropped for applications that did not read."),
    STAT(appCutDropped, Counter, kApps, "Messages cut by the end of their connection."),

    STAT(mgmtRegistrations, Gauge, kMgmt, "DSM registrations now."),
    STAT(mgmtProviders, Gauge, kMgmt, "Providers now."),
    STAT(cfmAccepted, Counter, kMgmt, "Confirms sent with DME_RET_ACCEPT."),
    STAT(cfmRefusedValue, Counter, kMgmt, "Confirms sent with DME_RET_REJ_VAL_ERR."),
    STAT(cfmRefusedOther, Counter, kMgmt, "Confirms sent with any other refusal."),

    STAT(txExpired, Counter, kRadioTx,
         "Accepted requests dropped unsent: their lifetime ran out while they waited."),
    STAT(txSuperseded, Counter, kRadioTx,
         "Accepted requests dropped unsent: a newer request of the same connection and AID replaced them."),
};

const char kConnHelp[] = "Owning connection; 0: inside the core's process.";

constexpr Field kAidFields[] = {
    CTL_FIELD(tV2XCtlAid, aid, Label, nullptr, 0, "The AID registered."),
    CTL_FIELD(tV2XCtlAid, index, Label, nullptr, 0, "The registering process's index."),
    CTL_FIELD(tV2XCtlAid, connId, Label, "conn", 0, kConnHelp),
};

constexpr Field kProviderFields[] = {
    CTL_FIELD(tV2XCtlProvider, aid, Label, nullptr, 0, "The AID advertised."),
    CTL_FIELD(tV2XCtlProvider, connId, Label, "conn", 0, kConnHelp),
    CTL_FIELD(tV2XCtlProvider, lclAppId, Label, nullptr, 0, "The provider's local index."),
    CTL_FIELD(tV2XCtlProvider, rptRte, Gauge, nullptr, 0, "Advertisements per 5 s."),
    CTL_FIELD(tV2XCtlProvider, reserved, Reserved, nullptr, 0, ""),
};

constexpr Field kClientFields[] = {
    CTL_FIELD(tV2XCtlClient, connId, Label, "conn", 0,
              "The connection's number, never reused while the core runs."),
    CTL_FIELD(tV2XCtlClient, pid, Label, nullptr, 0, "Peer process; -1 when unknown."),
    CTL_FIELD(tV2XCtlClient, uid, Label, nullptr, 0, "Peer user; -1 when unknown."),
    CTL_FIELD(tV2XCtlClient, heldBack, Gauge, nullptr, 0,
              "1 while its reading waits for room in the transmit queue."),
    CTL_FIELD(tV2XCtlClient, msgsIn, Counter, nullptr, 0, "Whole messages read from it."),
    CTL_FIELD(tV2XCtlClient, bytesIn, Counter, nullptr, 0,
              "Bytes of the messages read from it, headers included."),
    CTL_FIELD(tV2XCtlClient, msgsOut, Counter, nullptr, 0,
              "Whole messages sent to it (or left pending)."),
    CTL_FIELD(tV2XCtlClient, bytesOut, Counter, nullptr, 0,
              "Bytes of the messages sent to it, headers included."),
    CTL_FIELD(tV2XCtlClient, refusedLen, Counter, nullptr, 0,
              "Its requests refused for their length."),
    CTL_FIELD(tV2XCtlClient, refusedType, Counter, nullptr, 0,
              "Its requests refused for their type."),
    CTL_FIELD(tV2XCtlClient, refusedValue, Counter, nullptr, 0,
              "Its requests their layer refused for a field's value."),
    CTL_FIELD(tV2XCtlClient, droppedStalled, Counter, nullptr, 0,
              "Messages dropped while it did not read."),
    CTL_FIELD(tV2XCtlClient, pendingBytes, Gauge, nullptr, 0,
              "Bytes of a message waiting now to be written to it."),
    CTL_FIELD(tV2XCtlClient, txSent, Counter, nullptr, 0, "Its DSM requests that left for the radio."),
    CTL_FIELD(tV2XCtlClient, txQueued, Gauge, nullptr, 0,
              "Its DSM requests waiting now in the transmit queue."),
    CTL_FIELD(tV2XCtlClient, txExpired, Counter, nullptr, 0,
              "Its DSM requests dropped unsent: their lifetime ran out."),
    CTL_FIELD(tV2XCtlClient, txSuperseded, Counter, nullptr, 0,
              "Its DSM requests dropped unsent: replaced by a newer one for the same AID."),
};

// Each table lists its record's fields in order, gap-free, to its end: a
// field added to a record and not here stops the build.
template <size_t N>
constexpr bool covers(const Field (&aicF)[N], size_t aicFrom, size_t aicSize)
{
    size_t at = aicFrom;
    for (size_t i = 0; i < N; ++i) {
        if (aicF[i].off != at) {
            return false;
        }
        at += aicF[i].width;
    }
    return at == aicSize;
}
static_assert(covers(kStatsFields, offsetof(tV2XCoreStats, rxDatagrams), sizeof(tV2XCoreStats)),
              "kStatsFields covers tV2XCoreStats after size and version");
static_assert(covers(kAidFields, 0, sizeof(tV2XCtlAid)), "kAidFields covers tV2XCtlAid");
static_assert(covers(kProviderFields, 0, sizeof(tV2XCtlProvider)),
              "kProviderFields covers tV2XCtlProvider");
static_assert(covers(kClientFields, 0, sizeof(tV2XCtlClient)),
              "kClientFields covers tV2XCtlClient");

const Record kAidRecord = {"aids", V2X_CTL_AIDS, "tV2XCtlAid", sizeof(tV2XCtlAid), kAidFields,
                           std::size(kAidFields), "v2x_aid_", "v2x_aid_registered",
                           "A DSM registration of an AID: 1 for each."};
const Record kProviderRecord = {"providers", V2X_CTL_PROVIDERS, "tV2XCtlProvider",
                                sizeof(tV2XCtlProvider), kProviderFields,
                                std::size(kProviderFields), "v2x_provider_",
                                "v2x_provider_registered", "A provider: 1 for each."};
const Record kClientRecord = {"clients", V2X_CTL_CLIENTS, "tV2XCtlClient", sizeof(tV2XCtlClient),
                              kClientFields, std::size(kClientFields), "v2x_client_",
                              "v2x_client_connected", "An application connection: 1 for each."};

std::string snake(const char* aipcName)
{
    std::string s;
    for (const char* p = aipcName; *p != '\0'; ++p) {
        if (*p >= 'A' && *p <= 'Z') {
            if (!s.empty()) {
                s += '_';
            }
            s += static_cast<char>(*p - 'A' + 'a');
        } else {
            s += *p;
        }
    }
    return s;
}

std::string label_name(const Field& aicF)
{
    return aicF.prom != nullptr ? aicF.prom : snake(aicF.name);
}

const char* kind_name(Kind aicK)
{
    switch (aicK) {
    case Kind::Counter:
        return "counter";
    case Kind::Gauge:
        return "gauge";
    case Kind::Label:
        return "label";
    case Kind::Reserved:
        break;
    }
    return "reserved";
}

bool is_stats(const Answer& aicAns)
{
    return aicAns.rec == &kStatsRecord;
}

// Stats fields that the answering core filled; every field of a list record.
bool shown(const Answer& aicAns, const Field& aicF)
{
    if (aicF.kind == Kind::Reserved) {
        return false;
    }
    return !is_stats(aicAns) || static_cast<size_t>(aicF.off) + aicF.width <= aicAns.filled;
}

void print_stats_table(FILE* aopOut, const Answer& aicAns, const Rates* aipRates)
{
    const Record& r = *aicAns.rec;
    int nameW = 0;
    for (size_t i = 0; i < r.nFields; ++i) {
        nameW = std::max(nameW, static_cast<int>(strlen(r.fields[i].name)));
    }
    const uint8_t* rec = aicAns.count > 0 ? aicAns.at(0) : nullptr;
    const uint8_t* prev = aipRates != nullptr && aipRates->prev != nullptr &&
                                  aipRates->prev->count > 0 && aipRates->seconds > 0
                              ? aipRates->prev->at(0)
                              : nullptr;
    for (uint8_t sec = 0; sec < kSections && rec != nullptr; ++sec) {
        bool title = false;
        for (size_t i = 0; i < r.nFields; ++i) {
            const Field& f = r.fields[i];
            if (f.section != sec || !shown(aicAns, f)) {
                continue;
            }
            if (!title) {
                fprintf(aopOut, "%s%s\n", sec == 0 ? "" : "\n", kSectionTitle[sec]);
                title = true;
            }
            const uint64_t v = field_u64(rec, f);
            fprintf(aopOut, "  %-*s %20s", nameW, f.name, field_text(rec, f).c_str());
            if (aipRates != nullptr && f.kind == Kind::Counter) {
                if (prev != nullptr && shown(*aipRates->prev, f) && v >= field_u64(prev, f)) {
                    fprintf(aopOut, " %12.1f/s",
                            static_cast<double>(v - field_u64(prev, f)) / aipRates->seconds);
                } else {
                    fprintf(aopOut, " %14s", "-");
                }
            }
            fputc('\n', aopOut);
        }
    }
}

void print_list_table(FILE* aopOut, const Answer& aicAns)
{
    const Record& r = *aicAns.rec;
    std::vector<size_t> width(r.nFields);
    for (size_t c = 0; c < r.nFields; ++c) {
        width[c] = strlen(r.fields[c].name);
        for (size_t i = 0; i < aicAns.count; ++i) {
            width[c] = std::max(width[c], field_text(aicAns.at(i), r.fields[c]).size());
        }
    }
    auto row = [&](const uint8_t* aipRec) {
        const char* sep = "";
        for (size_t c = 0; c < r.nFields; ++c) {
            if (r.fields[c].kind == Kind::Reserved) {
                continue;
            }
            const std::string cell =
                aipRec != nullptr ? field_text(aipRec, r.fields[c]) : r.fields[c].name;
            fprintf(aopOut, "%s%*s", sep, static_cast<int>(width[c]), cell.c_str());
            sep = "  ";
        }
        fputc('\n', aopOut);
    };
    row(nullptr);
    for (size_t i = 0; i < aicAns.count; ++i) {
        row(aicAns.at(i));
    }
    if (aicAns.count == 0) {
        fprintf(aopOut, "(none)\n");
    }
}

void json_object(FILE* aopOut, const Answer& aicAns, const uint8_t* aipRec)
{
    const char* sep = "";
    fputc('{', aopOut);
    for (size_t c = 0; c < aicAns.rec->nFields; ++c) {
        const Field& f = aicAns.rec->fields[c];
        if (shown(aicAns, f)) {
            fprintf(aopOut, "%s\"%s\":%s", sep, f.name, field_text(aipRec, f).c_str());
            sep = ",";
        }
    }
    fputc('}', aopOut);
}

std::string prom_labels(const Record& aicRec, const uint8_t* aipRec)
{
    std::string s;
    for (size_t c = 0; c < aicRec.nFields; ++c) {
        const Field& f = aicRec.fields[c];
        if (f.kind == Kind::Label) {
            s += s.empty() ? "{" : ",";
            s += label_name(f) + "=\"" + field_text(aipRec, f) + "\"";
        }
    }
    return s.empty() ? s : s + "}";
}

void prom_head(FILE* aopOut, const std::string& aicName, const char* aipcHelp, Kind aicKind)
{
    fprintf(aopOut, "# HELP %s %s\n# TYPE %s %s\n", aicName.c_str(), aipcHelp, aicName.c_str(),
            kind_name(aicKind));
}

}  // namespace

const Record kStatsRecord = {"stats", V2X_CTL_STATS, "tV2XCoreStats", sizeof(tV2XCoreStats),
                             kStatsFields, std::size(kStatsFields), "v2x_", nullptr, nullptr};
const Record* const kRecords[4] = {&kStatsRecord, &kAidRecord, &kProviderRecord, &kClientRecord};

const Record* record_for_verb(const std::string& verb)
{
    for (const Record* r : kRecords) {
        if (verb == r->verb) {
            return r;
        }
    }
    return nullptr;
}

uint64_t field_u64(const uint8_t* aipRec, const Field& aicF)
{
    const uint8_t* p = aipRec + aicF.off;
    switch (aicF.width) {
    case 1:
        return aicF.isSigned ? static_cast<uint64_t>(static_cast<int8_t>(*p)) : *p;
    case 2: {
        uint16_t v;
        memcpy(&v, p, sizeof(v));
        return aicF.isSigned ? static_cast<uint64_t>(static_cast<int16_t>(v)) : v;
    }
    case 4: {
        uint32_t v;
        memcpy(&v, p, sizeof(v));
        return aicF.isSigned ? static_cast<uint64_t>(static_cast<int32_t>(v)) : v;
    }
    default: {
        uint64_t v;
        memcpy(&v, p, sizeof(v));
        return v;
    }
    }
}

std::string field_text(const uint8_t* aipRec, const Field& aicF)
{
    const uint64_t v = field_u64(aipRec, aicF);
    return aicF.isSigned ? std::to_string(static_cast<int64_t>(v)) : std::to_string(v);
}

std::string prom_metric(const Record& aicRec, const Field& aicF)
{
    return std::string(aicRec.promPrefix) + (aicF.prom != nullptr ? aicF.prom : snake(aicF.name)) +
           (aicF.kind == Kind::Counter ? "_total" : "");
}

void print_table(FILE* aopOut, const Answer& aicAns, const Rates* aipRates)
{
    if (is_stats(aicAns)) {
        print_stats_table(aopOut, aicAns, aipRates);
    } else {
        print_list_table(aopOut, aicAns);
    }
}

void print_json(FILE* aopOut, const Answer& aicAns)
{
    fprintf(aopOut, "{\"%s\":", aicAns.rec->verb);
    if (is_stats(aicAns)) {
        json_object(aopOut, aicAns, aicAns.at(0));
    } else {
        fputc('[', aopOut);
        for (size_t i = 0; i < aicAns.count; ++i) {
            if (i > 0) {
                fputc(',', aopOut);
            }
            json_object(aopOut, aicAns, aicAns.at(i));
        }
        fputc(']', aopOut);
    }
    fprintf(aopOut, "}\n");
}

// All samples of one metric follow its HELP and TYPE lines, as the format
// asks; a list's records are one labelled sample each.
void print_prometheus(FILE* aopOut, const Answer& aicAns)
{
    const Record& r = *aicAns.rec;
    if (r.presence != nullptr) {
        prom_head(aopOut, r.presence, r.presenceHelp, Kind::Gauge);
        for (size_t i = 0; i < aicAns.count; ++i) {
            fprintf(aopOut, "%s%s 1\n", r.presence, prom_labels(r, aicAns.at(i)).c_str());
        }
    }
    for (size_t c = 0; c < r.nFields; ++c) {
        const Field& f = r.fields[c];
        if (f.kind == Kind::Label || !shown(aicAns, f)) {
            continue;
        }
        const std::string name = prom_metric(r, f);
        prom_head(aopOut, name, f.help, f.kind);
        for (size_t i = 0; i < aicAns.count; ++i) {
            fprintf(aopOut, "%s%s %s\n", name.c_str(), prom_labels(r, aicAns.at(i)).c_str(),
                    field_text(aicAns.at(i), f).c_str());
        }
    }
}

// The Markdown tables of docs/COUNTERS.md.
void print_describe(FILE* aopOut)
{
    const char* sep = "";
    for (const Record* r : kRecords) {
        fprintf(aopOut, "%s### `v2x-ctl %s`: `%s`\n\n| Name | Prometheus | Kind | Meaning |\n"
                        "|---|---|---|---|\n",
                sep, r->verb, r->type);
        sep = "\n";
        if (r->presence != nullptr) {
            fprintf(aopOut, "| (each record) | `%s` | gauge | %s |\n", r->presence,
                    r->presenceHelp);
        }
        for (size_t c = 0; c < r->nFields; ++c) {
            const Field& f = r->fields[c];
            if (f.kind == Kind::Reserved) {
                continue;
            }
            const std::string prom = f.kind == Kind::Label ? "label `" + label_name(f) + "`"
                                                           : "`" + prom_metric(*r, f) + "`";
            fprintf(aopOut, "| `%s` | %s | %s | %s |\n", f.name, prom.c_str(), kind_name(f.kind),
                    f.help);
        }
    }
}

}  // namespace v2xctl
