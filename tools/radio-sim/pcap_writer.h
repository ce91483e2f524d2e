// SPDX-License-Identifier: Apache-2.0
// A pcap file of the frames the simulated radio moves, as raw IPv4 packets
// (LINKTYPE_IPV4, 228) with synthesized IPv4 and UDP headers that carry the
// real loopback addresses and ports, so Wireshark shows them as UDP.
//
// In pcapng (one section header, one interface of LINKTYPE_IPV4 named
// "radio-sim", microsecond timestamps) every enhanced packet block carries an
// opt_comment naming what the record is, e.g. "from=a to=b dist=212.4" for a
// delivery of a's frame to b at 212.4 m (dist only with the channel model),
// "uplink from=a" for a frame as station a sent it, "from=@inject to=b".
#ifndef RADIO_SIM_PCAP_WRITER_H
#define RADIO_SIM_PCAP_WRITER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace radiosim {

constexpr uint32_t kPcapMagicMicros = 0xA1B2C3D4u;
constexpr uint32_t kPcapSnapLen = 65535u;
constexpr uint32_t kLinkTypeIpv4 = 228u;
constexpr uint32_t kPcapngShb = 0x0A0D0D0Au;
constexpr uint32_t kPcapngIdb = 1u;
constexpr uint32_t kPcapngEpb = 6u;
constexpr uint32_t kPcapngBom = 0x1A2B3C4Du;
constexpr size_t kIpv4HeaderLen = 20;
constexpr size_t kUdpHeaderLen = 8;
// Largest UDP payload an IPv4 packet can carry.
constexpr size_t kMaxUdpPayload = 65535 - kIpv4HeaderLen - kUdpHeaderLen;

class PcapWriter {
public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Creates (truncates) `path` and writes the global header (pcap) or the
    // section header and interface blocks (pcapng). On failure returns false
    // and puts the reason in `err`.
    bool open(const std::string& path, std::string& err, bool pcapng = false);
    bool is_pcapng() const { return ng_; }
    bool is_open() const { return file_ != nullptr; }

    // One record: IPv4 header, UDP header, `len` payload bytes. Addresses
    // and ports in host byte order. Returns false (and stops recording) when
    // the file cannot be written.
    // `comment` goes into a pcapng record (ignored in pcap; may be null).
    bool record(const struct timespec& when, uint32_t srcAddr, uint16_t srcPort,
                uint32_t dstAddr, uint16_t dstPort, const uint8_t* payload, size_t len,
                const char* comment = nullptr);

    // Flushes and closes; returns false if the final flush failed.
    bool close();

private:
    FILE* file_ = nullptr;
    uint16_t ipId_ = 0;
    bool ng_ = false;
};

}  // namespace radiosim

#endif
