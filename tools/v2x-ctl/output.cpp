// SPDX-License-Identifier: Apache-2.0
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
#define CTL_FIELD_BY(T, f, kind, prom, sec, help, fam, reason)                          \
    Field{#f, static_cast<uint16_t>(offsetof(T, f)), static_cast<uint8_t>(sizeof(T::f)), \
          std::is_signed<decltype(T::f)>::value, Kind::kind, prom, help, sec, fam, reason}
#define CTL_FIELD(T, f, kind, prom, sec, help) \
    CTL_FIELD_BY(T, f, kind, prom, sec, help, nullptr, nullptr)
#define STAT(f, kind, sec, help) CTL_FIELD(tV2XCoreStats, f, kind, nullptr, sec, help)
// A counter that is one reason of a family (see Family).
#define STAT_BY(f, fam, reason, sec, help) \
    CTL_FIELD_BY(tV2XCoreStats, f, Counter, nullptr, sec, help, &fam, reason)
#define CLIENT_BY(f, fam, reason, help) \
    CTL_FIELD_BY(tV2XCtlClient, f, Counter, nullptr, 0, help, &fam, reason)
#define CLIENT_EX_BY(f, fam, reason, help) \
    CTL_FIELD_BY(tV2XCtlClientEx, f, Counter, nullptr, 0, help, &fam, reason)
// Element i of an array of the stats record: "f[i]" in the table, one
// member of family fam (its label's value i) in Prometheus.
#define STAT_AT(f, i, kind, fam, sec, help)                                                \
    Field{#f "[" #i "]",                                                                   \
          static_cast<uint16_t>(offsetof(tV2XCoreStats, f) + (i) * sizeof(tV2XCoreStats::f[0])), \
          static_cast<uint8_t>(sizeof(tV2XCoreStats::f[0])),                               \
          std::is_signed<std::remove_extent_t<decltype(tV2XCoreStats::f)>>::value,         \
          Kind::kind, nullptr, help, sec, &fam, #i}

enum Section : uint8_t {
    kRadioRx,
    kRadioTx,
    kApps,
    kMgmt,
    kCore,
    kSecurity,
    kCongestion,
    kSections
};
const char* const kSectionTitle[kSections] = {"radio receive", "radio send", "applications",
                                               "management",    "core",       "security",
                                               "congestion"};

// The families of the stats record. A family's series stand together in the
// output whatever the place of its counters in the record.
constexpr Family kRxDropped = {
    "rx_dropped", "Received datagrams and frames dropped (and failed receive calls), by reason."};
constexpr Family kTxRefused = {"tx_refused", "Sends the core refused at once, by reason."};
constexpr Family kTxErrors = {
    "tx_errors", "Datagrams the radio module's socket refused or failed to send, by reason."};
constexpr Family kTxDropped = {"tx_dropped", "Accepted requests dropped unsent, by reason."};
constexpr Family kAppConnRefused = {"app_connections_refused",
                                    "Application connections refused, by reason."};
constexpr Family kAppReqRefused = {"app_requests_refused",
                                   "Application requests refused, by reason."};
constexpr Family kAppMsgsDropped = {
    "app_msgs_dropped",
    "Messages dropped on application connections: to one that did not read (stalled), from one "
    "whose connection ended inside them (cut)."};
constexpr Family kCfmRefused = {"cfm_refused", "Confirms sent with a refusal, by reason."};
constexpr Family kLogDropped = {
    "log_lines_dropped",
    "Log lines of the core's process lost, by reason: the log thread did not keep up (behind)."};
constexpr Family kHandoverDropped = {
    "handovers_dropped",
    "Hand-overs between the core's layers dropped, by reason: no receiver set (sink_unset)."};

constexpr Family kCbrDropped = {
    "cbr_dropped", "CBR reports from the radio module dropped, by reason: the wrong length "
                   "(length), a malformed record (malformed), measured in the future (future)."};
constexpr Family kCcInterval = {
    "cc_interval_us",
    "Least time the congestion gate now allows between two of this station's datagrams of "
    "each priority, microseconds; 0: that priority goes at the radio's pace.",
    "priority"};

constexpr Family kSecTxDropped = {
    "sec_tx_dropped", "Messages of AIDs that sign, not sent, by reason: signing or the send "
                      "below failed (failed), the signing queue was full (overload)."};
constexpr Family kSecRxDropped = {
    "sec_rx_dropped",
    "Received messages of AIDs that verify, dropped by the security check, by reason."};

constexpr Field kStatsFields[] = {
    STAT(rxDatagrams, Counter, kRadioRx, "Datagrams read from the radio module."),
    STAT(rxBytes, Counter, kRadioRx, "Bytes of the datagrams read from the radio module."),
    STAT(rxIndications, Counter, kRadioRx, "Received frames handed to the applications."),
    STAT(rxDmeFrames, Counter, kRadioRx,
         "Received management frames handed to the management entity."),
    STAT(rxProtTypeOther, Counter, kRadioRx,
         "Received frames of a protocol type other than 4 (still decoded)."),
    STAT_BY(rxDropTooShort, kRxDropped, "too_short", kRadioRx,
            "Received datagrams dropped: empty, or a frame of 3 bytes or fewer."),
    STAT_BY(rxDropShortExt, kRxDropped, "short_extension", kRadioRx,
            "Received frames dropped: they end inside the extension element."),
    STAT_BY(rxDropShortAid, kRxDropped, "short_aid", kRadioRx,
            "Received frames dropped: they end inside the AID."),
    STAT_BY(rxDropShortLen, kRxDropped, "short_length", kRadioRx,
            "Received frames dropped: they end inside the length field."),
    STAT_BY(rxDropExtTooLong, kRxDropped, "extension_too_long", kRadioRx,
            "Received frames dropped: an extension value above 32 bytes."),
    STAT_BY(rxDropAidFormat, kRxDropped, "aid_format", kRadioRx,
            "Received frames dropped: an unsupported AID form (first byte 11xxxxxx)."),
    STAT_BY(rxDropNotRegistered, kRxDropped, "not_registered", kRadioRx,
            "Received frames dropped: no application registered their AID."),
    STAT_BY(rxDropLenMismatch, kRxDropped, "length_mismatch", kRadioRx,
            "Received frames dropped: the length field disagrees with the frame."),
    STAT_BY(rxDropTruncated, kRxDropped, "truncated", kRadioRx,
            "Received datagrams dropped: larger than the receive buffer."),
    STAT_BY(rxDropRecvErr, kRxDropped, "recv_error", kRadioRx,
            "Receive calls on the radio socket that failed."),
    STAT_BY(rxDropNoBuffer, kRxDropped, "no_buffer", kRadioRx,
            "Received datagrams dropped: no receive buffer free."),

    STAT(txDatagrams, Counter, kRadioTx, "Datagrams sent to the radio module."),
    STAT(txBytes, Counter, kRadioTx, "Bytes of the datagrams sent to the radio module."),
    STAT(txQueued, Gauge, kRadioTx,
         "Datagrams waiting now in the transmit queue for the 70 ms gap."),
    STAT(txQueuedMax, Gauge, kRadioTx,
         "Most datagrams ever waiting in the transmit queue at once."),
    STAT(txWaited, Counter, kRadioTx, "Datagrams that waited in the transmit queue."),
    STAT_BY(txFullRefused, kTxRefused, "queue_full", kRadioTx,
            "Sends refused because the transmit queue was full."),
    STAT(txHeldBack, Counter, kRadioTx,
         "Times a connection was held back for a full transmit queue."),
    STAT_BY(txErrBusy, kTxErrors, "busy", kRadioTx,
            "Sends that failed with EAGAIN, ENOBUFS or ENOMEM."),
    STAT_BY(txErrUnreachable, kTxErrors, "unreachable", kRadioTx,
            "Sends that failed with ECONNREFUSED, EHOSTUNREACH, ENETUNREACH, ENETDOWN or EHOSTDOWN, "
            "and datagrams that left but came back refused (ICMP unreachable: nothing listens at "
            "sendIp:sendPort); those are in txDatagrams too."),
    STAT_BY(txErrOther, kTxErrors, "other", kRadioTx, "Sends that failed otherwise."),
    STAT_BY(txDroppedAtExit, kTxDropped, "core_stopped", kRadioTx,
            "Waiting datagrams dropped when the core stopped."),
    STAT(dsaSent, Counter, kRadioTx, "Service advertisements sent."),
    STAT(dsaSkipped, Counter, kRadioTx,
         "Service advertisements skipped for a full transmit queue."),

    STAT(appConnections, Gauge, kApps, "Application connections open now."),
    STAT(appAccepted, Counter, kApps, "Application connections accepted."),
    STAT_BY(appRefusedPeer, kAppConnRefused, "access", kApps,
            "Application connections refused by the access settings."),
    STAT_BY(appRefusedCap, kAppConnRefused, "connection_cap", kApps,
            "Application connections refused at the connection cap."),
    STAT(appAcceptErrs, Counter, kApps, "Accept calls on the application socket that failed."),
    STAT(appMsgsIn, Counter, kApps, "Whole messages read from applications."),
    STAT(appBytesIn, Counter, kApps,
         "Bytes of the messages read from applications, headers included."),
    STAT(appMsgsOut, Counter, kApps, "Whole messages sent to applications (or left pending)."),
    STAT(appBytesOut, Counter, kApps,
         "Bytes of the messages sent to applications, headers included."),
    STAT_BY(appRefusedLen, kAppReqRefused, "length", kApps,
            "Application requests refused for their length."),
    STAT_BY(appRefusedType, kAppReqRefused, "type", kApps,
            "Application requests refused for their type."),
    STAT_BY(appRefusedValue, kAppReqRefused, "value", kApps,
            "Application requests their layer refused for a field's value."),
    STAT_BY(appDroppedStalled, kAppMsgsDropped, "stalled", kApps,
            "Messages dropped for applications that did not read."),
    STAT_BY(appCutDropped, kAppMsgsDropped, "cut", kApps,
            "Messages cut by the end of their connection."),

    STAT(mgmtRegistrations, Gauge, kMgmt, "DSM registrations now."),
    STAT(mgmtProviders, Gauge, kMgmt, "Providers now."),
    STAT(cfmAccepted, Counter, kMgmt, "Confirms sent with DME_RET_ACCEPT."),
    STAT_BY(cfmRefusedValue, kCfmRefused, "value", kMgmt,
            "Confirms sent with DME_RET_REJ_VAL_ERR."),
    STAT_BY(cfmRefusedOther, kCfmRefused, "other", kMgmt, "Confirms sent with any other refusal."),

    STAT_BY(txExpired, kTxDropped, "expired", kRadioTx,
            "Accepted requests dropped unsent: their lifetime ran out while they waited."),
    STAT_BY(txSuperseded, kTxDropped, "superseded", kRadioTx,
            "Accepted requests dropped unsent: a newer request of the same connection and AID replaced them."),

    STAT_BY(appRefusedShare, kAppConnRefused, "user_share", kApps,
         "Connections refused: their user held its share of the connection cap."),
    STAT(appIdleClosed, Counter, kApps,
         "Connections closed for holding an incomplete message past the idle timeout."),
    STAT(ctlConnections, Gauge, kApps,
         "Control connections (queries such as this tool's) open now; not in appConnections."),
    STAT(ctlAccepted, Counter, kApps, "Control connections accepted; not in appAccepted."),

    STAT_BY(logLinesDropped, kLogDropped, "behind", kCore,
            "Log lines lost because the log thread did not keep up (the core's process)."),
    STAT_BY(sinkUnsetDrops, kHandoverDropped, "sink_unset", kCore,
            "Hand-overs between the core's layers that found no receiver set (during a start or "
            "a stop)."),

    STAT(txSecSigned, Counter, kSecurity, "Messages signed and handed to the radio link."),
    STAT_BY(txSecFailed, kSecTxDropped, "failed", kSecurity,
            "Messages not sent: signing failed, or the signed message was refused below."),
    STAT_BY(txSecOverload, kSecTxDropped, "overload", kSecurity,
            "Messages refused because the signing queue was full."),
    STAT(rxSecVerified, Counter, kSecurity, "Received messages whose signature and signer verified."),
    STAT_BY(rxSecBadSignature, kSecRxDropped, "bad_signature", kSecurity,
            "The message's or a certificate's signature did not verify."),
    STAT_BY(rxSecUnknownSigner, kSecRxDropped, "unknown_signer", kSecurity,
            "The signer or an issuer is not known, or no path leads to a trust anchor."),
    STAT_BY(rxSecExpired, kSecRxDropped, "expired", kSecurity,
            "A certificate of the chain was not valid at the generation time."),
    STAT_BY(rxSecPsidNotPermitted, kSecRxDropped, "psid_not_permitted", kSecurity,
            "The signer's certificate does not permit the message's AID."),
    STAT_BY(rxSecStale, kSecRxDropped, "stale", kSecurity,
            "Generation time missing or outside the window around this station's clock."),
    STAT_BY(rxSecReplay, kSecRxDropped, "replay", kSecurity,
            "The same signer, generation time and signed data seen before within the window."),
    STAT_BY(rxSecMalformed, kSecRxDropped, "malformed", kSecurity,
            "Not a well-formed secured message (or a chain too deep, a key off the curve)."),
    STAT_BY(rxSecOverload, kSecRxDropped, "overload", kSecurity,
            "The verification queue was full."),
    STAT_BY(rxSecUnsigned, kSecRxDropped, "unsigned", kSecurity,
            "Unsigned where the AID's profile requires a signature."),
    STAT(rxSecPassedUnverified, Counter, kSecurity,
         "Messages handed up unverified (unsigned or failed) by profiles that do not drop."),

    STAT(rxRecDatagrams, Counter, kRadioRx,
         "Receive-record datagrams read (frames with the module's source, RSSI and CBR)."),
    STAT_BY(rxDropRecShort, kRxDropped, "record_short", kRadioRx,
            "Receive-record datagrams dropped: they end inside the record or carry no frame."),
    STAT_BY(rxDropRecBad, kRxDropped, "record_malformed", kRadioRx,
            "Receive-record datagrams dropped: unknown version or flags, a record length out "
            "of range, or a CBR above 1000 per mille."),
    STAT(rxCbrLast, Gauge, kRadioRx,
         "Channel busy ratio the radio module reported last, per mille (65535: none yet)."),
    STAT(rxIndRecords, Counter, kRadioRx,
         "Indications sent with a receive record, one per connection that asked for them."),

    STAT(cbrReports, Counter, kCongestion, "CBR reports from the radio module applied."),
    STAT_BY(cbrDropLen, kCbrDropped, "length", kCongestion,
            "CBR reports dropped: shorter or longer than their record."),
    STAT_BY(cbrDropBad, kCbrDropped, "malformed", kCongestion,
            "CBR reports dropped: unknown version or record length, reserved bytes not 0, or a "
            "CBR above 1000 per mille."),
    STAT_BY(cbrDropFuture, kCbrDropped, "future", kCongestion,
            "CBR reports dropped: measured later than this station's clock allows."),
    STAT(cbrLast, Gauge, kCongestion,
         "Channel busy ratio of the last CBR report, per mille (65535: none yet)."),
    STAT(cbrSmoothed, Gauge, kCongestion,
         "Smoothed channel busy ratio the congestion gate uses, per mille (65535: none yet)."),
    STAT(cbrAgeMs, Gauge, kCongestion,
         "Milliseconds since the last CBR report's measurement (4294967295: none yet)."),
    STAT(ccRule, Gauge, kCongestion,
         "The congestion gate's rule: 0 off, 1 reactive, 2 adaptive."),
    STAT(ccDutyPpm, Gauge, kCongestion,
         "The adaptive rule's allowed duty cycle, parts per million; 0 under another rule."),
    STAT(txGateHeld, Counter, kCongestion,
         "Datagrams the congestion gate held before they left or were dropped."),
    STAT_BY(txGatedExpired, kTxDropped, "gated_expired", kCongestion,
            "Accepted requests dropped unsent: their lifetime ran out while the congestion gate "
            "held them."),
    STAT_BY(txGatedSuperseded, kTxDropped, "gated_superseded", kCongestion,
            "Accepted requests dropped unsent: a newer request replaced them while the congestion "
            "gate held them."),
#define CC_INTERVAL(i)                                                                      \
    STAT_AT(ccIntervalUs, i, Gauge, kCcInterval, kCongestion,                               \
            "Least time the congestion gate now allows between two datagrams of priority " #i \
            ", microseconds; 0: not held.")
    CC_INTERVAL(0), CC_INTERVAL(1), CC_INTERVAL(2), CC_INTERVAL(3),
    CC_INTERVAL(4), CC_INTERVAL(5), CC_INTERVAL(6), CC_INTERVAL(7),
#undef CC_INTERVAL
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

constexpr Family kClientReqRefused = {"requests_refused", "Its requests refused, by reason."};
constexpr Family kClientMsgsDropped = {"msgs_dropped",
                                       "Messages dropped for it, by reason: it did not read."};
constexpr Family kClientTxDropped = {"tx_dropped", "Its DSM requests dropped unsent, by reason."};

constexpr Field kClientFields[] = {
    CTL_FIELD(tV2XCtlClient, connId, Label, "conn", 0,
              "The connection's number, never reused while the core runs."),
    // Not a label: a restarted application would start new series.
    CTL_FIELD(tV2XCtlClient, pid, Gauge, nullptr, 0, "Peer process; -1 when unknown."),
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
    CLIENT_BY(refusedLen, kClientReqRefused, "length",
              "Its requests refused for their length."),
    CLIENT_BY(refusedType, kClientReqRefused, "type",
              "Its requests refused for their type."),
    CLIENT_BY(refusedValue, kClientReqRefused, "value",
              "Its requests their layer refused for a field's value."),
    CLIENT_BY(droppedStalled, kClientMsgsDropped, "stalled",
              "Messages dropped while it did not read."),
    CTL_FIELD(tV2XCtlClient, pendingBytes, Gauge, nullptr, 0,
              "Bytes of a message waiting now to be written to it."),
    CTL_FIELD(tV2XCtlClient, txSent, Counter, nullptr, 0, "Its DSM requests that left for the radio."),
    CTL_FIELD(tV2XCtlClient, txQueued, Gauge, nullptr, 0,
              "Its DSM requests waiting now in the transmit queue."),
    CLIENT_BY(txExpired, kClientTxDropped, "expired",
              "Its DSM requests dropped unsent: their lifetime ran out."),
    CLIENT_BY(txSuperseded, kClientTxDropped, "superseded",
              "Its DSM requests dropped unsent: replaced by a newer one for the same AID."),
    // tV2XCtlClientEx: a core without the congestion gate sends the shorter
    // record, and these read 0.
    CLIENT_EX_BY(txGatedExpired, kClientTxDropped, "gated_expired",
                 "Its DSM requests dropped unsent: their lifetime ran out at the congestion gate."),
    CLIENT_EX_BY(txGatedSuperseded, kClientTxDropped, "gated_superseded",
                 "Its DSM requests dropped unsent: replaced at the congestion gate by a newer one "
                 "for the same AID."),
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
static_assert(covers(kClientFields, 0, sizeof(tV2XCtlClientEx)),
              "kClientFields covers tV2XCtlClientEx");

const Record kAidRecord = {"aids", V2X_CTL_AIDS, "tV2XCtlAid", sizeof(tV2XCtlAid), kAidFields,
                           std::size(kAidFields), "v2x_aid_", "v2x_aid_registered",
                           "A DSM registration of an AID: 1 for each."};
const Record kProviderRecord = {"providers", V2X_CTL_PROVIDERS, "tV2XCtlProvider",
                                sizeof(tV2XCtlProvider), kProviderFields,
                                std::size(kProviderFields), "v2x_provider_",
                                "v2x_provider_registered", "A provider: 1 for each."};
const Record kClientRecord = {"clients", V2X_CTL_CLIENTS, "tV2XCtlClientEx",
                              sizeof(tV2XCtlClientEx), kClientFields,
                              std::size(kClientFields), "v2x_client_",
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

const char kUpHelp[] = "1: the core answered the query; 0: it could not be asked.";

// Stats fields that the answering core filled; every field of a list record.
bool shown(const Answer& aicAns, const Field& aicF)
{
    if (aicF.kind == Kind::Reserved) {
        return false;
    }
    return !is_stats(aicAns) || static_cast<size_t>(aicF.off) + aicF.width <= aicAns.filled;
}

// Field c is the first shown one of its family (or belongs to none).
bool family_starts(const Answer& aicAns, size_t aicC)
{
    const Field* f = aicAns.rec->fields;
    for (size_t m = 0; m < aicC && f[aicC].family != nullptr; ++m) {
        if (f[m].family == f[aicC].family && shown(aicAns, f[m])) {
            return false;
        }
    }
    return true;
}

void print_stats_table(FILE* aopOut, const Answer& aicAns, const Rates* aipRates, bool aicNonzero)
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
    bool any = false;
    for (uint8_t sec = 0; sec < kSections && rec != nullptr; ++sec) {
        bool title = false;
        for (size_t i = 0; i < r.nFields; ++i) {
            const Field& f = r.fields[i];
            if (f.section != sec || !shown(aicAns, f) || (aicNonzero && field_u64(rec, f) == 0)) {
                continue;
            }
            // The first section printed opens without a blank line.
            if (!title) {
                fprintf(aopOut, "%s%s\n", any ? "\n" : "", kSectionTitle[sec]);
                title = any = true;
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
    if (!any && rec != nullptr && aicNonzero) {
        fprintf(aopOut, "(all zero)\n");
    }
}

// The clients table's default columns: who it is, its traffic, and what
// would show it in trouble (held back, queued, expired, dropped unread).
// With pids of up to 7 digits and uids of up to 9, and counts shortened
// from 10 million on, a row stays within 100 columns; --wide shows all.
const char* const kClientNarrow[] = {"connId",  "pid",      "uid",       "heldBack",
                                     "msgsIn",  "msgsOut",  "txSent",    "txQueued",
                                     "txExpired", "droppedStalled"};

bool narrow_shows(const char* aipcName)
{
    for (const char* n : kClientNarrow) {
        if (strcmp(n, aipcName) == 0) {
            return true;
        }
    }
    return false;
}

void print_list_table(FILE* aopOut, const Answer& aicAns, bool aicWide)
{
    const Record& r = *aicAns.rec;
    const bool narrow = !aicWide && aicAns.rec == &kClientRecord;
    auto cell_of = [&](const uint8_t* aipRec, const Field& aicF) {
        return narrow && aicF.kind == Kind::Counter ? short_count(field_u64(aipRec, aicF))
                                                    : field_text(aipRec, aicF);
    };
    auto skip = [&](const Field& aicF) {
        return aicF.kind == Kind::Reserved || (narrow && !narrow_shows(aicF.name));
    };
    std::vector<size_t> width(r.nFields);
    for (size_t c = 0; c < r.nFields; ++c) {
        width[c] = strlen(r.fields[c].name);
        for (size_t i = 0; i < aicAns.count; ++i) {
            width[c] = std::max(width[c], cell_of(aicAns.at(i), r.fields[c]).size());
        }
    }
    auto row = [&](const uint8_t* aipRec) {
        const char* sep = "";
        for (size_t c = 0; c < r.nFields; ++c) {
            if (skip(r.fields[c])) {
                continue;
            }
            const std::string cell =
                aipRec != nullptr ? cell_of(aipRec, r.fields[c]) : r.fields[c].name;
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

// The length of an array element's name before its index ("ccIntervalUs"
// of "ccIntervalUs[2]"); 0 for a plain field.
size_t array_stem(const Field& aicF)
{
    const char* b = strchr(aicF.name, '[');
    return b != nullptr ? static_cast<size_t>(b - aicF.name) : 0;
}

bool same_array(const Field& aicA, const Field& aicB)
{
    const size_t n = array_stem(aicA);
    return n != 0 && array_stem(aicB) == n && strncmp(aicA.name, aicB.name, n) == 0;
}

void json_object(FILE* aopOut, const Answer& aicAns, const uint8_t* aipRec, bool aicNonzero)
{
    const char* sep = "";
    fputc('{', aopOut);
    for (size_t c = 0; c < aicAns.rec->nFields; ++c) {
        const Field& f = aicAns.rec->fields[c];
        if (array_stem(f) != 0 && shown(aicAns, f)) {
            // The elements of an array field as one JSON array; --nonzero
            // leaves it out only when every element is 0.
            size_t end = c;
            bool any = false;
            for (; end < aicAns.rec->nFields && same_array(f, aicAns.rec->fields[end]) &&
                   shown(aicAns, aicAns.rec->fields[end]);
                 ++end) {
                any = any || field_u64(aipRec, aicAns.rec->fields[end]) != 0;
            }
            if (any || !aicNonzero) {
                fprintf(aopOut, "%s\"%.*s\":[", sep, static_cast<int>(array_stem(f)), f.name);
                for (size_t e = c; e < end; ++e) {
                    fprintf(aopOut, "%s%s", e == c ? "" : ",",
                            field_text(aipRec, aicAns.rec->fields[e]).c_str());
                }
                fputc(']', aopOut);
                sep = ",";
            }
            c = end - 1;
            continue;
        }
        if (shown(aicAns, f) && !(aicNonzero && field_u64(aipRec, f) == 0)) {
            fprintf(aopOut, "%s\"%s\":%s", sep, f.name, field_text(aipRec, f).c_str());
            sep = ",";
        }
    }
    fputc('}', aopOut);
}

// A list record's labels, then the reason of a family's counter.
std::string prom_labels(const Record& aicRec, const uint8_t* aipRec, const Field* aipF)
{
    std::string s;
    for (size_t c = 0; c < aicRec.nFields && aipRec != nullptr; ++c) {
        const Field& f = aicRec.fields[c];
        if (f.kind == Kind::Label) {
            s += s.empty() ? "{" : ",";
            s += label_name(f) + "=\"" + field_text(aipRec, f) + "\"";
        }
    }
    if (aipF != nullptr && aipF->family != nullptr) {
        s += s.empty() ? "{" : ",";
        s += std::string(aipF->family->label) + "=\"" + aipF->reason + "\"";
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
const Record kStatusRecord = {"status", V2X_CTL_STATUS, "tV2XCtlStatus", sizeof(tV2XCtlStatus),
                              nullptr, 0, "v2x_", nullptr, nullptr};

const Record* record_for_verb(const std::string& verb)
{
    for (const Record* r : kRecords) {
        if (verb == r->verb) {
            return r;
        }
    }
    return nullptr;
}

std::string short_count(uint64_t aicV)
{
    if (aicV < 10000000u) {
        return std::to_string(aicV);
    }
    static const char* const kUnit[] = {"k", "M", "G", "T", "P", "E"};
    double v = static_cast<double>(aicV);
    size_t u = 0;
    for (v /= 1000; v >= 999.5 && u + 1 < std::size(kUnit); v /= 1000) {
        ++u;
    }
    char buf[16];
    snprintf(buf, sizeof(buf), "%.3g%s", v, kUnit[u]);
    return buf;
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
    const std::string stem = aicF.family != nullptr ? aicF.family->stem
                             : aicF.prom != nullptr ? aicF.prom
                                                    : snake(aicF.name);
    return aicRec.promPrefix + stem + (aicF.kind == Kind::Counter ? "_total" : "");
}

void print_table(FILE* aopOut, const Answer& aicAns, const Rates* aipRates, const View& aicView)
{
    if (is_stats(aicAns)) {
        print_stats_table(aopOut, aicAns, aipRates, aicView.nonzero);
    } else {
        print_list_table(aopOut, aicAns, aicView.wide);
    }
}

void print_json(FILE* aopOut, const Answer& aicAns, const View& aicView)
{
    fprintf(aopOut, "{\"%s\":", aicAns.rec->verb);
    if (is_stats(aicAns)) {
        json_object(aopOut, aicAns, aicAns.at(0), aicView.nonzero);
    } else {
        fputc('[', aopOut);
        for (size_t i = 0; i < aicAns.count; ++i) {
            if (i > 0) {
                fputc(',', aopOut);
            }
            json_object(aopOut, aicAns, aicAns.at(i), false);
        }
        fputc(']', aopOut);
    }
    fprintf(aopOut, "}\n");
}

// All samples of one metric follow its HELP and TYPE lines, once, as the
// format asks: a family's counters are printed together at the place of its
// first one, and a list's records are one labelled sample each. The stats
// start with v2x_up 1: the core answered.
void print_prometheus(FILE* aopOut, const Answer& aicAns)
{
    const Record& r = *aicAns.rec;
    if (is_stats(aicAns)) {
        prom_head(aopOut, "v2x_up", kUpHelp, Kind::Gauge);
        fprintf(aopOut, "v2x_up 1\n");
    }
    if (r.presence != nullptr) {
        prom_head(aopOut, r.presence, r.presenceHelp, Kind::Gauge);
        for (size_t i = 0; i < aicAns.count; ++i) {
            fprintf(aopOut, "%s%s 1\n", r.presence, prom_labels(r, aicAns.at(i), nullptr).c_str());
        }
    }
    for (size_t c = 0; c < r.nFields; ++c) {
        const Field& f = r.fields[c];
        if (f.kind == Kind::Label || !shown(aicAns, f) || !family_starts(aicAns, c)) {
            continue;
        }
        const std::string name = prom_metric(r, f);
        prom_head(aopOut, name, f.family != nullptr ? f.family->help : f.help, f.kind);
        for (size_t m = c; m < r.nFields; ++m) {
            const Field& g = r.fields[m];
            if (m != c && (f.family == nullptr || g.family != f.family || !shown(aicAns, g))) {
                continue;
            }
            for (size_t i = 0; i < aicAns.count; ++i) {
                fprintf(aopOut, "%s%s %s\n", name.c_str(), prom_labels(r, aicAns.at(i), &g).c_str(),
                        field_text(aicAns.at(i), g).c_str());
            }
        }
    }
}

void print_prometheus_down(FILE* aopOut, const Record& aicRec)
{
    Answer none;
    none.rec = &aicRec;
    if (is_stats(none) || &aicRec == &kStatusRecord) {
        prom_head(aopOut, "v2x_up", kUpHelp, Kind::Gauge);
        fprintf(aopOut, "v2x_up 0\n");
        return;
    }
    print_prometheus(aopOut, none);
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
        if (r == &kStatsRecord) {
            fprintf(aopOut, "| (the query) | `v2x_up` | gauge | %s |\n", kUpHelp);
        }
        if (r->presence != nullptr) {
            fprintf(aopOut, "| (each record) | `%s` | gauge | %s |\n", r->presence,
                    r->presenceHelp);
        }
        for (size_t c = 0; c < r->nFields; ++c) {
            const Field& f = r->fields[c];
            if (f.kind == Kind::Reserved) {
                continue;
            }
            const std::string prom = f.kind == Kind::Label
                                         ? "label `" + label_name(f) + "`"
                                         : "`" + prom_metric(*r, f) +
                                               prom_labels(*r, nullptr, &f) + "`";
            fprintf(aopOut, "| `%s` | %s | %s | %s |\n", f.name, prom.c_str(), kind_name(f.kind),
                    f.help);
        }
    }
}

}  // namespace v2xctl
