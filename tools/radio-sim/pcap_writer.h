// SPDX-License-Identifier: Apache-2.0
// A pcap file of the frames the simulated radio moves, as raw IPv4 packets
// (LINKTYPE_IPV4, 228) with synthesized IPv4 and UDP headers that carry the
// real loopback addresses and ports, so Wireshark shows them as UDP.
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

    // Creates (truncates) `path` and writes the global header. On failure
    // returns false and puts the reason in `err`.
    bool open(const std::string& path, std::string& err);
    bool is_open() const { return file_ != nullptr; }

    // One record: IPv4 header, UDP header, `len` payload bytes. Addresses
    // and ports in host byte order. Returns false (and stops recording) when
    // the file cannot be written.
    bool record(const struct timespec& when, uint32_t srcAddr, uint16_t srcPort,
                uint32_t dstAddr, uint16_t dstPort, const uint8_t* payload, size_t len);

    // Flushes and closes; returns false if the final flush failed.
    bool close();

private:
    FILE* file_ = nullptr;
    uint16_t ipId_ = 0;
};

}  // namespace radiosim

#endif
