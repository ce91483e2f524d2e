// SPDX-License-Identifier: Apache-2.0
#include "pcap_writer.h"

#include <cerrno>
#include <cstring>

namespace radiosim {

namespace {

struct PcapGlobalHeader {
    uint32_t magic;
    uint16_t versionMajor;
    uint16_t versionMinor;
    int32_t thisZone;
    uint32_t sigFigs;
    uint32_t snapLen;
    uint32_t linkType;
};
static_assert(sizeof(PcapGlobalHeader) == 24, "pcap global header is 24 bytes");

struct PcapRecordHeader {
    uint32_t tsSec;
    uint32_t tsUsec;
    uint32_t inclLen;
    uint32_t origLen;
};
static_assert(sizeof(PcapRecordHeader) == 16, "pcap record header is 16 bytes");

void put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Adds big-endian 16-bit words of `p` to a one's complement running sum.
uint32_t sum16(uint32_t acc, const uint8_t* p, size_t len)
{
    size_t i = 0;
    for (; i + 1 < len; i += 2) {
        acc += (static_cast<uint32_t>(p[i]) << 8) | p[i + 1];
    }
    if (i < len) {
        acc += static_cast<uint32_t>(p[i]) << 8;
    }
    return acc;
}

uint16_t fold(uint32_t acc)
{
    while ((acc >> 16) != 0) {
        acc = (acc & 0xFFFFu) + (acc >> 16);
    }
    return static_cast<uint16_t>(~acc & 0xFFFFu);
}

// The synthesized IPv4 and UDP headers of a record of `len` payload bytes.
void put_headers(uint8_t (&hdr)[kIpv4HeaderLen + kUdpHeaderLen], uint16_t ipId, uint32_t srcAddr,
                 uint16_t srcPort, uint32_t dstAddr, uint16_t dstPort, const uint8_t* payload,
                 size_t len)
{
    uint8_t* ip = hdr;
    ip[0] = 0x45;  // version 4, header length 5 words
    ip[1] = 0;
    put16(ip + 2, static_cast<uint16_t>(kIpv4HeaderLen + kUdpHeaderLen + len));
    put16(ip + 4, ipId);
    put16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;             // TTL
    ip[9] = 17;             // UDP
    put16(ip + 10, 0);
    put32(ip + 12, srcAddr);
    put32(ip + 16, dstAddr);
    put16(ip + 10, fold(sum16(0, ip, kIpv4HeaderLen)));

    uint8_t* udp = hdr + kIpv4HeaderLen;
    const uint16_t udpLen = static_cast<uint16_t>(kUdpHeaderLen + len);
    put16(udp + 0, srcPort);
    put16(udp + 2, dstPort);
    put16(udp + 4, udpLen);
    put16(udp + 6, 0);
    // Checksum over the pseudo header, the UDP header and the payload.
    uint8_t pseudo[12];
    put32(pseudo + 0, srcAddr);
    put32(pseudo + 4, dstAddr);
    pseudo[8] = 0;
    pseudo[9] = 17;
    put16(pseudo + 10, udpLen);
    uint32_t acc = sum16(0, pseudo, sizeof(pseudo));
    acc = sum16(acc, udp, kUdpHeaderLen);
    acc = sum16(acc, payload, len);
    uint16_t csum = fold(acc);
    put16(udp + 6, csum == 0 ? 0xFFFFu : csum);
}

// The headers, then the payload (when there is one).
bool write_packet(FILE* f, const uint8_t (&hdr)[kIpv4HeaderLen + kUdpHeaderLen],
                  const uint8_t* payload, size_t len)
{
    return fwrite(hdr, sizeof(hdr), 1, f) == 1 && (len == 0 || fwrite(payload, len, 1, f) == 1);
}

// An enhanced packet block, with the comment as its opt_comment.
bool write_pcapng_record(FILE* f, const struct timespec& when,
                         const uint8_t (&hdr)[kIpv4HeaderLen + kUdpHeaderLen],
                         const uint8_t* payload, size_t len, const char* comment)
{
    static const uint8_t kZeros[4] = {0, 0, 0, 0};
    const size_t ipLen = sizeof(hdr) + len;
    const size_t pad = (4 - ipLen % 4) % 4;
    const size_t cLen = comment != nullptr ? strlen(comment) : 0;
    const size_t cLenUse = cLen > 65000 ? 65000 : cLen;
    const size_t cPad = (4 - cLenUse % 4) % 4;
    const size_t opts = cLenUse > 0 ? 4 + cLenUse + cPad + 4 : 0;
    const uint32_t total = static_cast<uint32_t>(28 + ipLen + pad + opts + 4);
    const uint64_t usec = static_cast<uint64_t>(when.tv_sec) * 1000000u +
                          static_cast<uint64_t>(when.tv_nsec / 1000);
    const uint32_t epb[7] = {kPcapngEpb, total, 0, static_cast<uint32_t>(usec >> 32),
                             static_cast<uint32_t>(usec), static_cast<uint32_t>(ipLen),
                             static_cast<uint32_t>(ipLen)};
    bool ok = fwrite(epb, sizeof(epb), 1, f) == 1 && write_packet(f, hdr, payload, len);
    if (ok && pad > 0) {
        ok = fwrite(kZeros, pad, 1, f) == 1;
    }
    if (ok && cLenUse > 0) {
        const uint16_t opt[2] = {1, static_cast<uint16_t>(cLenUse)};  // opt_comment
        ok = fwrite(opt, sizeof(opt), 1, f) == 1 && fwrite(comment, cLenUse, 1, f) == 1 &&
             (cPad == 0 || fwrite(kZeros, cPad, 1, f) == 1) &&
             fwrite(kZeros, 4, 1, f) == 1;  // opt_endofopt
    }
    return ok && fwrite(&total, sizeof(total), 1, f) == 1;
}

bool write_pcap_record(FILE* f, const struct timespec& when,
                       const uint8_t (&hdr)[kIpv4HeaderLen + kUdpHeaderLen],
                       const uint8_t* payload, size_t len)
{
    const size_t ipLen = sizeof(hdr) + len;
    PcapRecordHeader rh;
    rh.tsSec = static_cast<uint32_t>(when.tv_sec);
    rh.tsUsec = static_cast<uint32_t>(when.tv_nsec / 1000);
    rh.inclLen = static_cast<uint32_t>(ipLen);
    rh.origLen = static_cast<uint32_t>(ipLen);
    return fwrite(&rh, sizeof(rh), 1, f) == 1 && write_packet(f, hdr, payload, len);
}

}  // namespace

PcapWriter::~PcapWriter()
{
    close();
}

bool PcapWriter::open(const std::string& path, std::string& err, bool pcapng)
{
    close();
    ng_ = pcapng;
    file_ = fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        err = "cannot create pcap file " + path + ": " + strerror(errno);
        return false;
    }
    if (ng_) {
        // Section header: no options, section length unknown (-1).
        uint32_t shb[7] = {kPcapngShb, 28, kPcapngBom, 0x00000001u, 0xFFFFFFFFu, 0xFFFFFFFFu, 28};
        // Interface: LINKTYPE_IPV4, snap length, if_name "radio-sim".
        uint8_t idb[40];
        memset(idb, 0, sizeof(idb));
        const uint32_t head[4] = {kPcapngIdb, sizeof(idb), kLinkTypeIpv4, kPcapSnapLen};
        memcpy(idb, head, sizeof(head));
        const uint16_t nameOpt[2] = {2, 9};
        memcpy(idb + 16, nameOpt, sizeof(nameOpt));
        memcpy(idb + 20, "radio-sim", 9);
        // idb[32..35]: opt_endofopt (zeros)
        const uint32_t tail = sizeof(idb);
        memcpy(idb + 36, &tail, 4);
        if (fwrite(shb, sizeof(shb), 1, file_) != 1 || fwrite(idb, sizeof(idb), 1, file_) != 1 ||
            fflush(file_) != 0) {
            err = "cannot write pcap file " + path + ": " + strerror(errno);
            fclose(file_);
            file_ = nullptr;
            return false;
        }
        return true;
    }
    PcapGlobalHeader gh;
    gh.magic = kPcapMagicMicros;
    gh.versionMajor = 2;
    gh.versionMinor = 4;
    gh.thisZone = 0;
    gh.sigFigs = 0;
    gh.snapLen = kPcapSnapLen;
    gh.linkType = kLinkTypeIpv4;
    if (fwrite(&gh, sizeof(gh), 1, file_) != 1 || fflush(file_) != 0) {
        err = "cannot write pcap file " + path + ": " + strerror(errno);
        fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

bool PcapWriter::record(const struct timespec& when, uint32_t srcAddr, uint16_t srcPort,
                        uint32_t dstAddr, uint16_t dstPort, const uint8_t* payload, size_t len,
                        const char* comment)
{
    if (file_ == nullptr) {
        return false;
    }
    if (len > kMaxUdpPayload) {
        len = kMaxUdpPayload;  // cannot happen for a received UDP datagram
    }
    uint8_t hdr[kIpv4HeaderLen + kUdpHeaderLen];
    put_headers(hdr, ipId_++, srcAddr, srcPort, dstAddr, dstPort, payload, len);
    bool ok = ng_ ? write_pcapng_record(file_, when, hdr, payload, len, comment)
                  : write_pcap_record(file_, when, hdr, payload, len);
    // Flushed per record so the file is complete whenever the program stops.
    if (ok) {
        ok = fflush(file_) == 0;
    }
    if (!ok) {
        fclose(file_);
        file_ = nullptr;
    }
    return ok;
}

bool PcapWriter::close()
{
    if (file_ == nullptr) {
        return true;
    }
    bool ok = fflush(file_) == 0;
    ok = fclose(file_) == 0 && ok;
    file_ = nullptr;
    return ok;
}

}  // namespace radiosim
