-- SPDX-License-Identifier: Apache-2.0
-- Wireshark dissector for the radio datagrams of the C-V2X station network
-- layer: one protocol-type byte, then (type 4) one DSMP frame; the data of
-- service advertisements and of DME-marker frames is decoded as well, and
-- so is DSMP data that is an IEEE 1609.2 record (unsecured, or signed with
-- a digest or a certificate as signer).
--
--   tshark -X lua_script:tools/wireshark/v2x_dsmp.lua -r capture.pcap
--   wireshark -X lua_script:tools/wireshark/v2x_dsmp.lua capture.pcap
-- or copy the file into the personal Lua plugins folder
-- (~/.local/lib/wireshark/plugins/).
--
-- Datagrams on the UDP ports of the "v2xradio.ports" preference (default: the
-- system API's 30300-30301) are always taken; on other ports a datagram is
-- taken when it is a well-formed DSMP frame (protocol type 4, lengths exact).
-- In radio-sim's pcapng captures the packet comment names sender, receiver
-- and distance: v2xradio.from, v2xradio.to and v2xradio.dist show them.
--
-- A radio module that knows more about a received frame sends it as a
-- receive-record datagram (radio-sim --rx-record does), big-endian:
--
--   0      protocol type 0x84 (receive record)
--   1      version (1)
--   2      record length N: bytes from the version up to the frame's type
--          byte, 12 for version 1 (a later version may append, up to 64)
--   3      flags: 0x01 source known, 0x02 RSSI known, 0x04 CBR known
--   4      reserved (0)
--   5..8   sender's layer-2 id: 24 bits in bytes 6..8, byte 5 is 0
--   9..10  RSSI, signed, in 0.5 dB steps (-180 = -90 dBm)
--   11..12 CBR the module measured last, per mille (0..1000)
--   1+N    the frame's own protocol type (4), then the DSMP frame
--
-- A record that ends early, has no frame after it, a length outside
-- 12..64, another version, unknown flag bits, a reserved byte (4 or 5) not
-- 0 or a CBR above 1000 is marked as an error: the station's core drops such
-- a datagram.
--
-- A radio module reports the channel busy ratio it measured in a CBR report
-- datagram of its own (radio-sim --cbr-report sends one every 100 ms),
-- exactly 17 bytes, big-endian:
--
--   0      protocol type 0x85 (CBR report)
--   1      version (1)
--   2      record length (16)
--   3..4   reserved (0)
--   5..6   CBR, per mille (0..1000)
--   7..8   reserved (0)
--   9..16  time of the measurement, milliseconds since 1970-01-01 UTC
--
-- A report shorter or longer than that, of another version or length, with
-- a reserved byte not 0 or a CBR above 1000 is marked as an error (the core
-- drops it); one measured more than 100 ms after the packet was captured is
-- marked as a warning (a core whose clock agrees with the capture's drops it).

local radio = Proto("v2xradio", "C-V2X Radio Datagram")
local dsmp = Proto("v2xdsmp", "DSMP")
local dsa = Proto("v2xdsa", "DSMP Service Advertisement")
local sec = Proto("v2xsec", "IEEE 1609.2")

local PROT_TP_DSMP = 4
local PROT_TP_RX_REC = 0x84
local RX_REC_LEN = 12 -- the record of version 1
local RX_REC_MAX = 64
local PROT_TP_CBR_RPT = 0x85
local CBR_RPT_LEN = 16 -- the record of version 1
local CBR_CLOCK_SKEW_MS = 100
local DME_MARKER = 0x87
local MAX_EXT_VALUE = 32 -- longest extension value every receiver accepts

local prot_names = { [0] = "IPv6", [4] = "DSMP", [5] = "IPv4", [0x84] = "Receive record",
                     [0x85] = "CBR report" }
local content_names = { [0x80] = "unsecured", [0x81] = "signed" }
local hash_names = { [0] = "SHA-256", [1] = "SHA-384", [2] = "SM3" }
local sig_names = { [0x80] = "ECDSA P-256", [0x81] = "ECDSA brainpoolP256r1",
                    [0x82] = "ECDSA brainpoolP384r1", [0x83] = "ECDSA P-384", [0x84] = "SM2" }
local point_names = { [0x80] = "x-only", [0x81] = "fill", [0x82] = "compressed-y-0",
                      [0x83] = "compressed-y-1", [0x84] = "uncompressed" }
-- Time64 counts TAI microseconds from 2004-01-01 00:00:00 UTC (Unix time
-- 1072915200); UTC has taken 5 leap seconds since then (the last at the end
-- of 2016), so UTC is the count less 5 s.
local TIME64_EPOCH_UNIX = 1072915200
local TAI_MINUS_UTC = 5
local kind_names = { [26] = "BSM", [27] = "RSI", [28] = "RSM", [29] = "MAP", [30] = "SPAT",
                     [135] = "DSA" }

local f = {
    prot_type = ProtoField.uint8("v2xradio.prot_type", "Protocol type", base.DEC, prot_names),
    -- From radio-sim's pcapng comment "from=A to=B dist=212.4" on each delivery.
    from = ProtoField.string("v2xradio.from", "Sender (radio-sim)"),
    to = ProtoField.string("v2xradio.to", "Receiver (radio-sim)"),
    dist = ProtoField.double("v2xradio.dist", "Distance in metres (radio-sim)"),
    rec = ProtoField.bytes("v2xradio.rec", "Receive record"),
    rec_version = ProtoField.uint8("v2xradio.rec.version", "Version", base.DEC),
    rec_len = ProtoField.uint8("v2xradio.rec.len", "Record length", base.DEC),
    rec_flags = ProtoField.uint8("v2xradio.rec.flags", "Flags", base.HEX),
    rec_has_src = ProtoField.bool("v2xradio.rec.flags.src", "Source known", 8, nil, 0x01),
    rec_has_rssi = ProtoField.bool("v2xradio.rec.flags.rssi", "RSSI known", 8, nil, 0x02),
    rec_has_cbr = ProtoField.bool("v2xradio.rec.flags.cbr", "CBR known", 8, nil, 0x04),
    rec_rsvd = ProtoField.uint8("v2xradio.rec.rsvd", "Reserved", base.HEX),
    rec_src = ProtoField.uint32("v2xradio.rec.src", "Source layer-2 id", base.HEX),
    rec_rssi = ProtoField.int16("v2xradio.rec.rssi", "RSSI (0.5 dB steps)", base.DEC),
    rec_rssi_dbm = ProtoField.double("v2xradio.rec.rssi_dbm", "RSSI in dBm"),
    rec_cbr = ProtoField.uint16("v2xradio.rec.cbr", "CBR (per mille)", base.DEC),
    rec_more = ProtoField.bytes("v2xradio.rec.more", "Fields of a later version"),
    cbr = ProtoField.bytes("v2xradio.cbr", "CBR report"),
    cbr_version = ProtoField.uint8("v2xradio.cbr.version", "Version", base.DEC),
    cbr_len = ProtoField.uint8("v2xradio.cbr.len", "Record length", base.DEC),
    cbr_rsvd = ProtoField.uint16("v2xradio.cbr.rsvd", "Reserved", base.HEX),
    cbr_value = ProtoField.uint16("v2xradio.cbr.cbr", "CBR (per mille)", base.DEC),
    cbr_ratio = ProtoField.double("v2xradio.cbr.ratio", "CBR (share of the channel, 0..1)"),
    cbr_rsvd2 = ProtoField.uint16("v2xradio.cbr.rsvd2", "Reserved", base.HEX),
    cbr_time_ms = ProtoField.uint64("v2xradio.cbr.time_ms",
                                    "Measured at (ms since 1970 UTC)", base.DEC),
    cbr_time = ProtoField.absolute_time("v2xradio.cbr.time", "Measured at", base.UTC),
    inner_type = ProtoField.uint8("v2xradio.inner_type", "Frame's protocol type", base.DEC,
                                  prot_names),

    hdr1 = ProtoField.uint8("v2xdsmp.hdr1", "Header", base.HEX),
    version = ProtoField.uint8("v2xdsmp.version", "Version", base.DEC, nil, 0x07),
    opt_ind = ProtoField.bool("v2xdsmp.opt_ind", "Extension present", 8, nil, 0x08),
    reserved = ProtoField.uint8("v2xdsmp.reserved", "Reserved", base.HEX, nil, 0xF0),
    ext = ProtoField.bytes("v2xdsmp.ext", "Header extension"),
    ext_id = ProtoField.uint8("v2xdsmp.ext.id", "Element id", base.DEC),
    ext_len = ProtoField.uint8("v2xdsmp.ext.len", "Value length", base.DEC),
    ext_value = ProtoField.bytes("v2xdsmp.ext.value", "Value"),
    aid = ProtoField.uint32("v2xdsmp.aid", "AID", base.DEC),
    aid_raw = ProtoField.uint16("v2xdsmp.aid.raw", "AID field", base.HEX),
    aid_form = ProtoField.uint8("v2xdsmp.aid.form", "AID form (bytes)", base.DEC),
    kind = ProtoField.string("v2xdsmp.kind", "Message kind"),
    dme = ProtoField.bool("v2xdsmp.dme", "DME frame (marker 0x87)"),
    len = ProtoField.uint16("v2xdsmp.len", "Length", base.DEC),
    data = ProtoField.bytes("v2xdsmp.data", "Data"),
    trailing = ProtoField.bytes("v2xdsmp.trailing", "Bytes after the data"),

    dsa_hdr1 = ProtoField.uint8("v2xdsa.hdr1", "Header 1", base.HEX),
    dsa_version = ProtoField.uint8("v2xdsa.version", "Version", base.DEC, nil, 0x0F),
    dsa_opt_ind = ProtoField.bool("v2xdsa.opt_ind", "Extension present", 8, nil, 0x10),
    dsa_reserved = ProtoField.uint8("v2xdsa.reserved", "Reserved", base.HEX, nil, 0xE0),
    dsa_hdr2 = ProtoField.uint8("v2xdsa.hdr2", "Header 2", base.HEX),
    dsa_id = ProtoField.uint8("v2xdsa.id", "Advertisement id", base.DEC, nil, 0x0F),
    dsa_count = ProtoField.uint8("v2xdsa.content_count", "Content count", base.DEC, nil, 0xF0),
    dsa_ext = ProtoField.string("v2xdsa.hdr_ext", "Header extension text"),

    sec_version = ProtoField.uint8("v2xsec.version", "Protocol version", base.DEC),
    sec_content = ProtoField.uint8("v2xsec.content", "Content", base.HEX, content_names),
    sec_hash = ProtoField.uint8("v2xsec.hash_alg", "Hash algorithm", base.DEC, hash_names),
    sec_payload_len = ProtoField.uint32("v2xsec.payload_len", "Payload length", base.DEC),
    sec_payload = ProtoField.bytes("v2xsec.payload", "Payload"),
    sec_psid = ProtoField.uint32("v2xsec.psid", "PSID", base.DEC),
    sec_gen_time = ProtoField.uint64("v2xsec.gen_time", "Generation time (TAI us since 2004)",
                                     base.DEC),
    sec_gen_utc = ProtoField.string("v2xsec.gen_time_utc", "Generation time (UTC)"),
    sec_expiry = ProtoField.uint64("v2xsec.expiry_time", "Expiry time (TAI us since 2004)",
                                   base.DEC),
    sec_signer = ProtoField.string("v2xsec.signer", "Signer"),
    sec_digest = ProtoField.bytes("v2xsec.signer.digest", "Signer digest"),
    sec_cert_count = ProtoField.uint32("v2xsec.signer.cert_count", "Certificates", base.DEC),
    sec_cert = ProtoField.bytes("v2xsec.signer.cert", "Certificate bytes"),
    sec_sig_type = ProtoField.uint8("v2xsec.sig.type", "Signature", base.HEX, sig_names),
    sec_r_form = ProtoField.uint8("v2xsec.sig.r_form", "r form", base.HEX, point_names),
    sec_r = ProtoField.bytes("v2xsec.sig.r", "r"),
    sec_s = ProtoField.bytes("v2xsec.sig.s", "s"),
}
radio.fields = { f.prot_type, f.from, f.to, f.dist, f.rec, f.rec_version, f.rec_len,
                 f.rec_flags, f.rec_has_src, f.rec_has_rssi, f.rec_has_cbr, f.rec_rsvd,
                 f.rec_src, f.rec_rssi, f.rec_rssi_dbm, f.rec_cbr, f.rec_more, f.inner_type,
                 f.cbr, f.cbr_version, f.cbr_len, f.cbr_rsvd, f.cbr_value, f.cbr_ratio,
                 f.cbr_rsvd2, f.cbr_time_ms, f.cbr_time }
dsmp.fields = { f.hdr1, f.version, f.opt_ind, f.reserved, f.ext, f.ext_id, f.ext_len,
                f.ext_value, f.aid, f.aid_raw, f.aid_form, f.kind, f.dme, f.len, f.data,
                f.trailing }
dsa.fields = { f.dsa_hdr1, f.dsa_version, f.dsa_opt_ind, f.dsa_reserved, f.dsa_hdr2, f.dsa_id,
               f.dsa_count, f.dsa_ext }
sec.fields = { f.sec_version, f.sec_content, f.sec_hash, f.sec_payload_len, f.sec_payload,
               f.sec_psid, f.sec_gen_time, f.sec_gen_utc, f.sec_expiry, f.sec_signer,
               f.sec_digest, f.sec_cert_count, f.sec_cert, f.sec_sig_type, f.sec_r_form,
               f.sec_r, f.sec_s }

local ex = {
    short = ProtoExpert.new("v2xdsmp.expert.short", "Frame of 3 bytes or less",
                            expert.group.MALFORMED, expert.severity.ERROR),
    truncated = ProtoExpert.new("v2xdsmp.expert.truncated", "Frame ends inside a field",
                                expert.group.MALFORMED, expert.severity.ERROR),
    ext_long = ProtoExpert.new("v2xdsmp.expert.ext_long",
                               "Extension value longer than 32 bytes: receivers refuse the frame",
                               expert.group.MALFORMED, expert.severity.ERROR),
    aid_form = ProtoExpert.new("v2xdsmp.expert.aid_form",
                               "AID of three or more bytes (11xxxxxx): receivers refuse the frame",
                               expert.group.MALFORMED, expert.severity.ERROR),
    len_mismatch = ProtoExpert.new("v2xdsmp.expert.len_mismatch",
                                   "Length does not match the frame: receivers drop it",
                                   expert.group.MALFORMED, expert.severity.WARN),
    dme_aid = ProtoExpert.new("v2xdsmp.expert.dme_aid",
                              "First AID byte 0x87: receivers take this frame as a DME frame",
                              expert.group.PROTOCOL, expert.severity.NOTE),
}
dsmp.experts = { ex.short, ex.truncated, ex.ext_long, ex.aid_form, ex.len_mismatch, ex.dme_aid }
local sec_ex = {
    truncated = ProtoExpert.new("v2xsec.expert.truncated", "Security record ends inside a field",
                                expert.group.MALFORMED, expert.severity.ERROR),
    undecoded = ProtoExpert.new("v2xsec.expert.undecoded",
                                "Security record has parts this dissector does not decode",
                                expert.group.UNDECODED, expert.severity.NOTE),
    trailing = ProtoExpert.new("v2xsec.expert.trailing", "Bytes after the security record",
                               expert.group.MALFORMED, expert.severity.WARN),
}
sec.experts = { sec_ex.truncated, sec_ex.undecoded, sec_ex.trailing }
local rec_ex = {
    short = ProtoExpert.new("v2xradio.expert.rec_short",
                            "Receive record ends inside its record or has no frame after it",
                            expert.group.MALFORMED, expert.severity.ERROR),
    len = ProtoExpert.new("v2xradio.expert.rec_len", "Record length outside 12..64",
                          expert.group.MALFORMED, expert.severity.ERROR),
    bad = ProtoExpert.new("v2xradio.expert.rec_bad",
                          "Unknown record version or flag bits, reserved byte not 0, or CBR " ..
                          "above 1000 per mille",
                          expert.group.MALFORMED, expert.severity.ERROR),
}
local cbr_ex = {
    short = ProtoExpert.new("v2xradio.expert.cbr_short", "CBR report shorter than 17 bytes",
                            expert.group.MALFORMED, expert.severity.ERROR),
    long = ProtoExpert.new("v2xradio.expert.cbr_long", "Bytes after the CBR report",
                           expert.group.MALFORMED, expert.severity.ERROR),
    bad = ProtoExpert.new("v2xradio.expert.cbr_bad",
                          "Unknown CBR report version or length, reserved byte not 0, or CBR " ..
                          "above 1000 per mille",
                          expert.group.MALFORMED, expert.severity.ERROR),
    future = ProtoExpert.new("v2xradio.expert.cbr_future",
                             "CBR report measured more than 100 ms after its capture time",
                             expert.group.SEQUENCE, expert.severity.WARN),
}
radio.experts = { rec_ex.short, rec_ex.len, rec_ex.bad, cbr_ex.short, cbr_ex.long, cbr_ex.bad,
                  cbr_ex.future }

radio.prefs.ports = Pref.range("UDP ports", "30300-30301",
                               "UDP ports of the radio module link, always decoded", 65535)
radio.prefs.heuristic = Pref.bool("Find frames on other ports", true,
                                  "Take well-formed DSMP frames on any UDP port")
dsmp.prefs.dsa_aids = Pref.range("Advertisement AIDs", "135",
                                 "AIDs whose data is a service advertisement", 16511)

-- The range preference arrives as text ("135,200-210"); keep it as a set.
local dsa_set_text, dsa_set = nil, {}
local function is_dsa_aid(aid)
    local text = tostring(dsmp.prefs.dsa_aids)
    if text ~= dsa_set_text then
        dsa_set_text, dsa_set = text, {}
        for part in text:gmatch("[^,%s]+") do
            local lo, hi = part:match("^(%d+)%-(%d+)$")
            lo = tonumber(lo or part)
            hi = tonumber(hi or part)
            if lo and hi then dsa_set[#dsa_set + 1] = { lo, hi } end
        end
    end
    for _, r in ipairs(dsa_set) do
        if aid >= r[1] and aid <= r[2] then return true end
    end
    return false
end

-- Reads the frame's structure without touching the tree. Returns a table of
-- offsets, or nil and a reason when the frame is not one receivers accept.
local function parse(tvb, off)
    local flen = tvb:len() - off
    local p = { flen = flen }
    if flen <= 3 then return nil, "short" end
    p.hdr1 = tvb(off, 1):uint()
    local pos = off + 1
    if bit.band(p.hdr1, 0x08) ~= 0 then
        if pos + 2 > tvb:len() then return nil, "truncated", p end
        p.ext_off = pos
        p.ext_v = tvb(pos + 1, 1):uint()
        if p.ext_v > MAX_EXT_VALUE then p.ext_long = true end
        if pos + 2 + p.ext_v > tvb:len() then return nil, "truncated", p end
        pos = pos + 2 + p.ext_v
    end
    if pos + 1 > tvb:len() then return nil, "truncated", p end
    p.aid_off = pos
    local b = tvb(pos, 1):uint()
    if b == DME_MARKER then
        p.dme = true
        p.aid_len = 1
        p.aid = 135
    elseif bit.band(b, 0x80) == 0 then
        p.aid_len = 1
        p.aid = b
    elseif bit.band(b, 0xC0) == 0xC0 then
        p.aid_len = 1
        return nil, "aid_form", p
    else
        if pos + 2 > tvb:len() then return nil, "truncated", p end
        p.aid_len = 2
        p.aid = bit.band(tvb(pos, 2):uint() - 0x7F80, 0xFFFF)
    end
    pos = pos + p.aid_len
    if pos + 2 > tvb:len() then return nil, "truncated", p end
    p.len_off = pos
    p.len = tvb(pos, 2):uint()
    p.data_off = pos + 2
    p.avail = tvb:len() - p.data_off
    if p.ext_long then return nil, "ext_long", p end
    if p.len ~= p.avail then return nil, "len_mismatch", p end
    return p
end

local function dissect_dsa(tvb, pinfo, tree)
    local t = tree:add(dsa, tvb)
    if tvb:len() < 2 then
        t:add_proto_expert_info(ex.truncated)
        return
    end
    local h1 = tvb(0, 1)
    local sub = t:add(f.dsa_hdr1, h1)
    sub:add(f.dsa_version, h1)
    sub:add(f.dsa_opt_ind, h1)
    sub:add(f.dsa_reserved, h1)
    local h2 = tvb(1, 1)
    sub = t:add(f.dsa_hdr2, h2)
    sub:add(f.dsa_id, h2)
    sub:add(f.dsa_count, h2)
    if bit.band(h1:uint(), 0x10) ~= 0 and tvb:len() > 2 then
        local text = tvb(2):string()
        t:add(f.dsa_ext, tvb(2), text)
        pinfo.cols.info:append(" \"" .. text .. "\"")
    end
end

-- An OER length determinant at pos: the length and the determinant's size,
-- or nil when it does not fit in the buffer or is longer than 4 bytes.
local function oer_length(tvb, pos)
    if pos + 1 > tvb:len() then return nil end
    local b = tvb(pos, 1):uint()
    if b < 0x80 then return b, 1 end
    local n = b - 0x80
    if n == 0 or n > 4 or pos + 1 + n > tvb:len() then return nil end
    local v = 0
    for i = 1, n do v = v * 256 + tvb(pos + i, 1):uint() end
    return v, 1 + n
end

-- Time64 at pos (8 bytes, present): the field, then its UTC text beside it.
local function add_time64(t, tvb, pos, field, utc_field)
    local r = tvb(pos, 8)
    t:add(field, r)
    if not utc_field then return end
    -- Exact in a double: 2^53 microseconds are some 285 years.
    local us = tvb(pos, 4):uint() * 4294967296 + tvb(pos + 4, 4):uint()
    local secs = math.floor(us / 1000000)
    local frac = us - secs * 1000000
    local unix = TIME64_EPOCH_UNIX + secs - TAI_MINUS_UTC
    t:add(utc_field, r, os.date("!%Y-%m-%d %H:%M:%S", unix) .. string.format(".%06d UTC", frac))
end

-- Decodes a 1609.2 record (tvb holds exactly the DSMP data). Reads nothing
-- beyond the buffer: a record cut short is marked and decoding stops.
-- Returns a short text for the Info column.
local function dissect_sec(tvb, pinfo, tree)
    local t = tree:add(sec, tvb)
    local n = tvb:len()
    local pos = 0
    local function has(k) return pos + k <= n end
    local function cut()
        t:add_proto_expert_info(sec_ex.truncated)
        return "malformed"
    end
    local function opaque()
        local len, dl = oer_length(tvb, pos)
        if not len then return false end
        t:add(f.sec_payload_len, tvb(pos, dl), len)
        pos = pos + dl
        if not has(len) then return false end
        if len > 0 then t:add(f.sec_payload, tvb(pos, len)) end
        pos = pos + len
        return true
    end
    t:add(f.sec_version, tvb(0, 1))
    local content = tvb(1, 1):uint()
    t:add(f.sec_content, tvb(1, 1))
    pos = 2
    if content == 0x80 then
        if not opaque() then return cut() end
        if pos < n then t:add_proto_expert_info(sec_ex.trailing) end
        return "unsecured"
    end
    -- Signed data: hash id, the payload (itself an unsecured record here),
    -- the header, the signer, the signature.
    if not has(1) then return cut() end
    t:add(f.sec_hash, tvb(pos, 1))
    pos = pos + 1
    if not has(1) then return cut() end
    local pre = tvb(pos, 1):uint()
    pos = pos + 1
    if bit.band(pre, 0x40) == 0 or bit.band(pre, 0xA0) ~= 0 or not has(2) or
        tvb(pos, 1):uint() ~= 3 or tvb(pos + 1, 1):uint() ~= 0x80 then
        if not has(2) then return cut() end
        t:add_proto_expert_info(sec_ex.undecoded)
        return "signed"
    end
    pos = pos + 2
    if not opaque() then return cut() end
    -- Header: its presence bits, the PSID, then the optional fields read here.
    if not has(2) then return cut() end
    local hpre = tvb(pos, 1):uint()
    local plen = tvb(pos + 1, 1):uint()
    pos = pos + 2
    if plen < 1 or plen > 4 then
        t:add_proto_expert_info(sec_ex.undecoded)
        return "signed"
    end
    if not has(plen) then return cut() end
    t:add(f.sec_psid, tvb(pos - 1, plen + 1), tvb(pos, plen):uint())
    pos = pos + plen
    if bit.band(hpre, 0x40) ~= 0 then
        if not has(8) then return cut() end
        add_time64(t, tvb, pos, f.sec_gen_time, f.sec_gen_utc)
        pos = pos + 8
    end
    if bit.band(hpre, 0x20) ~= 0 then
        if not has(8) then return cut() end
        add_time64(t, tvb, pos, f.sec_expiry, nil)
        pos = pos + 8
    end
    if bit.band(hpre, 0x10) ~= 0 then pos = pos + 10 end -- generation location
    if bit.band(hpre, 0x08) ~= 0 then pos = pos + 3 end  -- learning request
    if bit.band(hpre, 0x86) ~= 0 then
        -- Extensions, a missing-list id or an encryption key: their sizes
        -- vary, so the signer cannot be found from here.
        t:add_proto_expert_info(sec_ex.undecoded)
        return "signed"
    end
    if not has(1) then return cut() end
    local signer = tvb(pos, 1):uint()
    local info
    if signer == 0x80 then
        if not has(9) then return cut() end
        t:add(f.sec_signer, tvb(pos, 1), "digest")
        t:add(f.sec_digest, tvb(pos + 1, 8))
        pos = pos + 9
        info = "signed, digest"
    elseif signer == 0x81 then
        t:add(f.sec_signer, tvb(pos, 1), "certificate")
        pos = pos + 1
        local cl, cdl = oer_length(tvb, pos)
        if not cl or cl < 1 or cl > 4 or not has(cdl + cl) then return cut() end
        local count = tvb(pos + cdl, cl):uint()
        t:add(f.sec_cert_count, tvb(pos, cdl + cl), count)
        pos = pos + cdl + cl
        -- A certificate's size is only known by decoding it: the signature
        -- closes the record, so it is read from the end instead.
        local size = 66
        if n - size < pos then return cut() end
        local sig_type = tvb(n - size, 1):uint()
        if (sig_type ~= 0x80 and sig_type ~= 0x81) or
            bit.band(tvb(n - size + 1, 1):uint(), 0xFC) ~= 0x80 then
            if pos < n then t:add(f.sec_cert, tvb(pos, n - pos)) end
            t:add_proto_expert_info(sec_ex.undecoded)
            return "signed, certificate"
        end
        if n - size > pos then t:add(f.sec_cert, tvb(pos, n - size - pos)) end
        pos = n - size
        info = "signed, certificate"
    elseif signer == 0x82 then
        t:add(f.sec_signer, tvb(pos, 1), "self")
        pos = pos + 1
        info = "signed, self"
    else
        t:add(f.sec_signer, tvb(pos, 1), string.format("unknown (0x%02x)", signer))
        t:add_proto_expert_info(sec_ex.undecoded)
        return "signed"
    end
    -- Signature: its type, r as a curve point (its form first), then s.
    if not has(1) then return cut() end
    local sig_type = tvb(pos, 1):uint()
    t:add(f.sec_sig_type, tvb(pos, 1))
    pos = pos + 1
    local size = (sig_type == 0x82 or sig_type == 0x83) and 48 or 32
    if sig_type > 0x83 then
        t:add_proto_expert_info(sec_ex.undecoded)
        return info
    end
    if not has(1) then return cut() end
    local form = tvb(pos, 1):uint()
    t:add(f.sec_r_form, tvb(pos, 1))
    pos = pos + 1
    local rsize = form == 0x84 and 2 * size or size
    if form > 0x84 then
        t:add_proto_expert_info(sec_ex.undecoded)
        return info
    end
    if not has(rsize) then return cut() end
    t:add(f.sec_r, tvb(pos, rsize))
    pos = pos + rsize
    if not has(size) then return cut() end
    t:add(f.sec_s, tvb(pos, size))
    pos = pos + size
    if pos < n then t:add_proto_expert_info(sec_ex.trailing) end
    return info
end

-- True when DSMP data begins as a 1609.2 record: version 3, unsecured or
-- signed content.
local function looks_secured(tvb, off, len)
    if len < 2 then return false end
    local c = tvb(off + 1, 1):uint()
    return tvb(off, 1):uint() == 3 and (c == 0x80 or c == 0x81)
end

local function dissect_dsmp(tvb, pinfo, tree)
    local t = tree:add(dsmp, tvb)
    local p, why = parse(tvb, 0)
    local q = p or why and select(3, parse(tvb, 0)) or {}
    if why == "short" then
        t:add_proto_expert_info(ex.short)
        pinfo.cols.info:set("DSMP: frame too short")
        return
    end
    local h = tvb(0, 1)
    local ht = t:add(f.hdr1, h)
    ht:add(f.version, h)
    ht:add(f.opt_ind, h)
    ht:add(f.reserved, h)
    if q.ext_off then
        local elen = math.min(2 + q.ext_v, tvb:len() - q.ext_off)
        local et = t:add(f.ext, tvb(q.ext_off, elen))
        et:add(f.ext_id, tvb(q.ext_off, 1))
        et:add(f.ext_len, tvb(q.ext_off + 1, 1))
        if q.ext_v > 0 and elen > 2 then et:add(f.ext_value, tvb(q.ext_off + 2, elen - 2)) end
        if q.ext_long then et:add_proto_expert_info(ex.ext_long) end
    end
    if q.aid_off and q.aid then
        local r = tvb(q.aid_off, q.aid_len)
        local at = t:add(f.aid, r, q.aid)
        at:add(f.aid_raw, r, r:uint())
        at:add(f.aid_form, r, q.aid_len)
        if q.dme then
            at:add(f.dme, r, true)
            at:add_proto_expert_info(ex.dme_aid)
        end
        t:add(f.kind, r, q.dme and "DME" or (kind_names[q.aid] or "other"))
    elseif q.aid_off then
        t:add(f.aid_raw, tvb(q.aid_off, 1), tvb(q.aid_off, 1):uint())
        t:add_proto_expert_info(ex.aid_form)
    end
    if q.len_off then
        local lt = t:add(f.len, tvb(q.len_off, 2))
        local n = math.min(q.len, q.avail)
        if n > 0 then t:add(f.data, tvb(q.data_off, n)) end
        if q.avail > q.len then t:add(f.trailing, tvb(q.data_off + q.len)) end
        if why == "len_mismatch" then lt:add_proto_expert_info(ex.len_mismatch) end
    end
    if why == "truncated" then t:add_proto_expert_info(ex.truncated) end

    local info
    if q.dme then
        info = "DSMP DME frame"
    elseif q.aid then
        info = string.format("DSMP AID %d (%s)", q.aid, kind_names[q.aid] or "other")
    else
        info = "DSMP malformed"
    end
    if q.len then info = info .. string.format(" len=%d", q.len) end
    pinfo.cols.info:set(info)

    -- Advertisement data: DME frames and the preference's AIDs.
    if p and p.len >= 2 and (p.dme or is_dsa_aid(p.aid)) then
        dissect_dsa(tvb(p.data_off, p.len):tvb(), pinfo, tree)
    elseif q.len_off and q.aid and not q.dme then
        -- Also the data present when the length field claims more.
        local n = math.min(q.len, q.avail)
        if looks_secured(tvb, q.data_off, n) then
            local what = dissect_sec(tvb(q.data_off, n):tvb(), pinfo, tree)
            pinfo.cols.info:append(" 1609.2 " .. what)
        end
    end
    return p ~= nil
end

-- The datagram from its protocol-type byte at `off`: a DSMP frame or other
-- data.
local function dissect_frame(tvb, off, pinfo, tree)
    local tp = tvb(off, 1):uint()
    if tp == PROT_TP_DSMP then
        pinfo.cols.protocol:set("DSMP")
        if tvb:len() > off + 1 then
            dissect_dsmp(tvb(off + 1):tvb(), pinfo, tree)
        else
            pinfo.cols.info:set("DSMP: empty frame")
        end
    else
        pinfo.cols.info:set("Protocol type " .. tp .. " (" .. (prot_names[tp] or "unknown") .. ")")
        if tvb:len() > off + 1 then
            Dissector.get("data"):call(tvb(off + 1):tvb(), pinfo, tree)
        end
    end
end

-- The receive record after the type byte 0x84, under `t`. Returns the
-- offset of the frame's protocol-type byte, or nil when the record is
-- malformed in a way that hides where the frame starts (marked as an error).
local function dissect_rx_record(tvb, pinfo, t)
    local n = tvb:len()
    local rt = t:add(f.rec, tvb(1, math.min(n - 1, RX_REC_MAX)))
    if n < 3 then
        if n > 1 then rt:add(f.rec_version, tvb(1, 1)) end
        rt:add_proto_expert_info(rec_ex.short)
        pinfo.cols.info:set("Receive record: too short")
        return nil
    end
    local ver = tvb(1, 1):uint()
    local rlen = tvb(2, 1):uint()
    rt:set_len(math.min(rlen, n - 1))
    rt:add(f.rec_version, tvb(1, 1))
    local lt = rt:add(f.rec_len, tvb(2, 1))
    if rlen < RX_REC_LEN or rlen > RX_REC_MAX then
        lt:add_proto_expert_info(rec_ex.len)
        pinfo.cols.info:set("Receive record: bad length " .. rlen)
        return nil
    end
    if 1 + RX_REC_LEN > n then
        rt:add_proto_expert_info(rec_ex.short)
        pinfo.cols.info:set("Receive record: too short")
        return nil
    end
    local fr = tvb(3, 1)
    local flags = fr:uint()
    local ft = rt:add(f.rec_flags, fr)
    ft:add(f.rec_has_src, fr)
    ft:add(f.rec_has_rssi, fr)
    ft:add(f.rec_has_cbr, fr)
    rt:add(f.rec_rsvd, tvb(4, 1))
    rt:add(f.rec_src, tvb(5, 4))
    local rssi = tvb(9, 2):int()
    rt:add(f.rec_rssi, tvb(9, 2))
    if bit.band(flags, 0x02) ~= 0 then rt:add(f.rec_rssi_dbm, tvb(9, 2), rssi / 2) end
    local cbr = tvb(11, 2):uint()
    local ct = rt:add(f.rec_cbr, tvb(11, 2))
    local bad = ver ~= 1 or bit.band(flags, 0xF8) ~= 0 or tvb(4, 1):uint() ~= 0 or
                tvb(5, 1):uint() ~= 0 or (bit.band(flags, 0x04) ~= 0 and cbr > 1000)
    if bad then ct:add_proto_expert_info(rec_ex.bad) end
    if rlen > RX_REC_LEN and n > 1 + RX_REC_LEN then
        rt:add(f.rec_more, tvb(1 + RX_REC_LEN, math.min(rlen - RX_REC_LEN, n - 1 - RX_REC_LEN)))
    end
    if 1 + rlen >= n then
        rt:add_proto_expert_info(rec_ex.short)
        pinfo.cols.info:set("Receive record: no frame after it")
        return nil
    end
    return 1 + rlen
end

-- The CBR report after the type byte 0x85, under `t`: each field present,
-- and what the core drops marked as an error.
local function dissect_cbr_report(tvb, pinfo, t)
    local n = tvb:len()
    local ct = n > 1 and t:add(f.cbr, tvb(1, n - 1)) or t:add(f.cbr, tvb(0, 0))
    local function have(off, len) return off + len <= n end
    if have(1, 1) then ct:add(f.cbr_version, tvb(1, 1)) end
    if have(2, 1) then ct:add(f.cbr_len, tvb(2, 1)) end
    if have(3, 2) then ct:add(f.cbr_rsvd, tvb(3, 2)) end
    local cbr = nil
    if have(5, 2) then
        cbr = tvb(5, 2):uint()
        ct:add(f.cbr_value, tvb(5, 2))
        ct:add(f.cbr_ratio, tvb(5, 2), cbr / 1000)
    end
    if have(7, 2) then ct:add(f.cbr_rsvd2, tvb(7, 2)) end
    local ms = nil
    if have(9, 8) then
        local r = tvb(9, 8)
        ct:add(f.cbr_time_ms, r)
        -- Exact in a double up to 2^53 ms, some 285 000 years.
        ms = tvb(9, 4):uint() * 4294967296 + tvb(13, 4):uint()
        local secs = math.floor(ms / 1000)
        ct:add(f.cbr_time, r, NSTime.new(secs, (ms - secs * 1000) * 1000000))
    end
    if not have(1 + CBR_RPT_LEN, 0) then
        ct:add_proto_expert_info(cbr_ex.short)
        pinfo.cols.info:set("CBR report: too short")
        return
    end
    if tvb(1, 1):uint() ~= 1 or tvb(2, 1):uint() ~= CBR_RPT_LEN or tvb(3, 2):uint() ~= 0 or
       tvb(7, 2):uint() ~= 0 or cbr > 1000 then
        ct:add_proto_expert_info(cbr_ex.bad)
        pinfo.cols.info:set("CBR report: malformed")
        return
    end
    if n > 1 + CBR_RPT_LEN then
        ct:add_tvb_expert_info(cbr_ex.long, tvb(1 + CBR_RPT_LEN))
        pinfo.cols.info:set("CBR report: bytes after the record")
        return
    end
    if ms > (pinfo.abs_ts * 1000) + CBR_CLOCK_SKEW_MS then
        ct:add_proto_expert_info(cbr_ex.future)
    end
    pinfo.cols.info:set(string.format("CBR report: %d per mille", cbr))
end

-- The packet comment, where Wireshark has the field (pcapng captures).
local comment_ok, comment_field = pcall(Field.new, "frame.comment")

function radio.dissector(tvb, pinfo, tree)
    if tvb:len() < 1 then return 0 end
    pinfo.cols.protocol:set("V2X")
    local t = tree:add(radio, tvb)
    t:add(f.prot_type, tvb(0, 1))
    local comment = comment_ok and comment_field() or nil
    if comment then
        local text = tostring(comment.value or comment)
        local from = text:match("from=(%S+)")
        local to = text:match(" to=(%S+)")
        local dist = tonumber(text:match(" dist=(%S+)") or "")
        if from then t:add(f.from, from) end
        if to then t:add(f.to, to) end
        if dist then t:add(f.dist, dist) end
    end
    local tp = tvb(0, 1):uint()
    if tp == PROT_TP_RX_REC then
        local off = dissect_rx_record(tvb, pinfo, t)
        if off then
            t:add(f.inner_type, tvb(off, 1))
            dissect_frame(tvb, off, pinfo, tree)
            pinfo.cols.info:prepend("[rx record] ")
        end
    elseif tp == PROT_TP_CBR_RPT then
        dissect_cbr_report(tvb, pinfo, t)
    else
        dissect_frame(tvb, 0, pinfo, tree)
    end
    return tvb:len()
end

local function heuristic(tvb, pinfo, tree)
    if not radio.prefs.heuristic or tvb:len() < 5 then return false end
    local tp = tvb(0, 1):uint()
    local off = 0
    if tp == PROT_TP_CBR_RPT then
        -- Only a well-formed report: exactly 17 bytes, version 1, length 16,
        -- reserved bytes 0, a CBR of at most 1000.
        if tvb:len() ~= 1 + CBR_RPT_LEN or tvb(1, 1):uint() ~= 1 or
           tvb(2, 1):uint() ~= CBR_RPT_LEN or tvb(3, 2):uint() ~= 0 or
           tvb(5, 2):uint() > 1000 or tvb(7, 2):uint() ~= 0 then
            return false
        end
        radio.dissector(tvb, pinfo, tree)
        return true
    end
    if tp == PROT_TP_RX_REC then
        -- A well-formed record of version 1 before a well-formed DSMP frame.
        if tvb:len() < 2 + RX_REC_LEN + 4 or tvb(1, 1):uint() ~= 1 then return false end
        local rlen = tvb(2, 1):uint()
        off = 1 + rlen
        if rlen < RX_REC_LEN or rlen > RX_REC_MAX or off + 5 > tvb:len() then return false end
    end
    if tvb(off, 1):uint() ~= PROT_TP_DSMP then return false end
    if parse(tvb, off + 1) == nil then return false end
    radio.dissector(tvb, pinfo, tree)
    return true
end

local udp_table = DissectorTable.get("udp.port")
local registered = nil
function radio.init()
    -- Follow changes of the port preference.
    if registered then udp_table:remove(registered, radio) end
    registered = radio.prefs.ports
    udp_table:add(registered, radio)
end
radio:register_heuristic("udp", heuristic)
