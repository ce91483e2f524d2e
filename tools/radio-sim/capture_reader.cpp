// SPDX-License-Identifier: Apache-2.0
#include "capture_reader.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace radiosim {

namespace {

uint32_t rd32(const uint8_t* p, bool swap)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return swap ? __builtin_bswap32(v) : v;
}

uint16_t rd16(const uint8_t* p, bool swap)
{
    uint16_t v;
    memcpy(&v, p, 2);
    return swap ? __builtin_bswap16(v) : v;
}

uint16_t be16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Takes the UDP payload out of an IPv4 packet; false for anything else.
bool take_packet(const uint8_t* p, size_t len, int64_t tsNs, std::string comment,
                 std::vector<CapturedFrame>& out)
{
    if (len < 28 || (p[0] >> 4) != 4 || p[9] != 17) {
        return false;
    }
    const size_t ihl = static_cast<size_t>(p[0] & 0x0F) * 4;
    if (ihl < 20 || len < ihl + 8) {
        return false;
    }
    const uint8_t* udp = p + ihl;
    const size_t udpLen = be16(udp + 4);
    if (udpLen < 8 || ihl + udpLen > len) {
        return false;
    }
    CapturedFrame f;
    f.tsNs = tsNs;
    f.dstAddr = (static_cast<uint32_t>(p[16]) << 24) | (static_cast<uint32_t>(p[17]) << 16) |
                (static_cast<uint32_t>(p[18]) << 8) | p[19];
    f.dstPort = be16(udp + 2);
    f.payload.assign(udp + 8, udp + udpLen);
    f.comment = std::move(comment);
    out.push_back(std::move(f));
    return true;
}

bool read_pcap(const std::vector<uint8_t>& b, std::vector<CapturedFrame>& out, std::string& err)
{
    const uint32_t magic = rd32(b.data(), false);
    bool swap = false;
    bool nanos = false;
    if (magic == 0xA1B2C3D4u || magic == 0xA1B23C4Du) {
        nanos = magic == 0xA1B23C4Du;
    } else {
        swap = true;
        nanos = magic == 0x4D3CB2A1u;
    }
    if (b.size() < 24) {
        err = "truncated pcap header";
        return false;
    }
    const uint32_t link = rd32(b.data() + 20, swap);
    if (link != 228u) {
        err = "link type " + std::to_string(link) + " is not LINKTYPE_IPV4 (228)";
        return false;
    }
    size_t off = 24;
    while (off + 16 <= b.size()) {
        const uint8_t* rh = b.data() + off;
        const int64_t sec = rd32(rh, swap);
        const int64_t frac = rd32(rh + 4, swap);
        const size_t incl = rd32(rh + 8, swap);
        if (off + 16 + incl > b.size()) {
            err = "truncated record at offset " + std::to_string(off);
            return false;
        }
        take_packet(rh + 16, incl, sec * 1000000000 + (nanos ? frac : frac * 1000), "", out);
        off += 16 + incl;
    }
    return true;
}

bool read_pcapng(const std::vector<uint8_t>& b, std::vector<CapturedFrame>& out, std::string& err)
{
    bool swap = false;
    std::vector<int64_t> tsUnit;  // nanoseconds per tick, per interface
    size_t off = 0;
    while (off + 12 <= b.size()) {
        uint32_t type = rd32(b.data() + off, false);
        if (type == 0x0A0D0D0Au) {
            swap = rd32(b.data() + off + 8, false) != 0x1A2B3C4Du;
            tsUnit.clear();
        }
        const size_t total = rd32(b.data() + off + 4, swap);
        if (total < 12 || total % 4 != 0 || off + total > b.size()) {
            err = "bad block length at offset " + std::to_string(off);
            return false;
        }
        const uint8_t* blk = b.data() + off;
        type = rd32(blk, swap);
        if (type == 1u && total >= 20) {
            if (rd16(blk + 8, swap) != 228u) {
                err = "interface of link type " + std::to_string(rd16(blk + 8, swap)) +
                      " is not LINKTYPE_IPV4 (228)";
                return false;
            }
            int64_t unit = 1000;  // microseconds unless if_tsresol says otherwise
            for (size_t o = 16; o + 4 <= total - 4;) {
                const uint16_t code = rd16(blk + o, swap);
                const uint16_t olen = rd16(blk + o + 2, swap);
                if (code == 0 || o + 4 + olen > total - 4) {
                    break;
                }
                if (code == 9 && olen >= 1 && (blk[o + 4] & 0x80) == 0) {
                    unit = 1;
                    for (int k = blk[o + 4]; k < 9; ++k) {
                        unit *= 10;
                    }
                }
                o += 4 + ((olen + 3u) & ~3u);
            }
            tsUnit.push_back(unit);
        } else if (type == 6u && total >= 32) {
            const uint32_t iface = rd32(blk + 8, swap);
            const uint64_t ts = (static_cast<uint64_t>(rd32(blk + 12, swap)) << 32) |
                                rd32(blk + 16, swap);
            const size_t caplen = rd32(blk + 20, swap);
            if (28 + caplen > total - 4) {
                err = "bad packet length at offset " + std::to_string(off);
                return false;
            }
            std::string comment;
            for (size_t o = 28 + ((caplen + 3) & ~static_cast<size_t>(3)); o + 4 <= total - 4;) {
                const uint16_t code = rd16(blk + o, swap);
                const uint16_t olen = rd16(blk + o + 2, swap);
                if (code == 0 || o + 4 + olen > total - 4) {
                    break;
                }
                if (code == 1) {
                    comment.assign(reinterpret_cast<const char*>(blk + o + 4), olen);
                }
                o += 4 + ((olen + 3u) & ~3u);
            }
            const int64_t unit = iface < tsUnit.size() ? tsUnit[iface] : 1000;
            take_packet(blk + 28, caplen, static_cast<int64_t>(ts) * unit, comment, out);
        }
        off += total;
    }
    return true;
}

}  // namespace

bool read_capture(const std::string& path, std::vector<CapturedFrame>& out, std::string& err)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        err = "cannot read capture " + path + ": " + strerror(errno);
        return false;
    }
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.size() < 4) {
        err = "capture " + path + " is empty";
        return false;
    }
    const uint32_t magic = rd32(b.data(), false);
    bool ok;
    if (magic == 0x0A0D0D0Au) {
        ok = read_pcapng(b, out, err);
    } else if (magic == 0xA1B2C3D4u || magic == 0xD4C3B2A1u || magic == 0xA1B23C4Du ||
               magic == 0x4D3CB2A1u) {
        ok = read_pcap(b, out, err);
    } else {
        err = "not a pcap or pcapng file";
        ok = false;
    }
    if (!ok) {
        err = "capture " + path + ": " + err;
    }
    return ok;
}

std::string comment_field(const std::string& comment, const std::string& key)
{
    const std::string k = key + "=";
    size_t at = 0;
    while ((at = comment.find(k, at)) != std::string::npos) {
        if (at == 0 || comment[at - 1] == ' ') {
            const size_t start = at + k.size();
            const size_t end = comment.find(' ', start);
            return comment.substr(start, end == std::string::npos ? std::string::npos : end - start);
        }
        at += k.size();
    }
    return "";
}

}  // namespace radiosim
