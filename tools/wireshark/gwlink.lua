-- Wireshark / tshark dissectors for a gwlink site:
--   gwlink     the binary packet protocol on TCP (default port 5555)
--   gwlinkxml  the XML server link on TCP (default port 5556)
--   gwlinkrtp  the gateways' RTP voice on UDP (default ports 5004 and 8000)
-- Load with:  tshark -X lua_script:gwlink.lua ...   (or copy to the plugins folder)
-- Ports can be changed in the protocol preferences.

local DEFAULT_BINARY_PORT = 5555
local DEFAULT_XML_PORT = 5556
local DEFAULT_RTP_PORTS = { 5004, 8000 }
local EXTPROTO = 0xDEADBABE

---------------------------------------------------------------------------
-- Binary packet protocol
---------------------------------------------------------------------------

local gw = Proto("gwlink", "gwlink binary packet protocol")

local type_names = {
    [0] = "version info", [1] = "DENY", [2] = "ACK", [3] = "packettype_loginreq",
    [4] = "login result", [5] = "packettype_setptt", [16] = "packettype_unlocksql",
    [102] = "packettype_gpio_get", [103] = "GPIO state", [108] = "packettype_gpio_state_req",
    [203] = "packettype_serial_senddata", [204] = "serial data, second kind",
    [205] = "front state byte", [207] = "front key frames",
    [501] = "packettype_async_setptt", [502] = "packettype_async_gpiochanged",
    [503] = "packettype_async_unlocksql", [504] = "packettype_upgradestatus",
    [EXTPROTO] = "packettype_extproto",
}
local ext_names = {
    [1001] = "set-blocked-list upload", [1002] = "packettype_disable_async",
    [1003] = "crypto request", [1004] = "crypto key", [2001] = "DM status request",
    [2002] = "DM button event", [2003] = "DM3000 status", [2031] = "packettype_polar_status_req",
    [2033] = "polar status", [2101] = "packettype_xml_status_req", [2102] = "packettype_xml_action",
    [2103] = "XML status", [2104] = "XML action result",
}
local deny_names = { [1] = "no privilege", [2] = "unsupported", [3] = "no PTT handler" }
local codec_names = { [1] = "A-law", [2] = "GSM", [3] = "Speex" }

local f = gw.fields
f.type = ProtoField.uint32("gwlink.type", "Type", base.DEC_HEX, type_names)
f.direction = ProtoField.string("gwlink.direction", "Direction")
f.ver_proto = ProtoField.uint32("gwlink.ver_proto", "Protocol version", base.HEX)
f.ver_config = ProtoField.uint32("gwlink.ver_config", "Configuration version", base.HEX)
f.ver_fw = ProtoField.uint32("gwlink.ver_fw", "Firmware version", base.HEX)
f.build = ProtoField.uint32("gwlink.build", "Build")
f.deny = ProtoField.int32("gwlink.deny", "DENY reason", base.DEC, deny_names)
f.user = ProtoField.string("gwlink.user", "User")
f.passwd = ProtoField.string("gwlink.passwd", "Password")
f.syncnum = ProtoField.uint32("gwlink.syncnum", "Sync number")
f.level = ProtoField.int32("gwlink.level", "Priv.level")
f.gpiow = ProtoField.uint32("gwlink.gpiow", "Priv.gpiow", base.HEX)
f.rctl = ProtoField.uint32("gwlink.rctl", "Priv.rctl")
f.voip_port = ProtoField.int32("gwlink.voip_port", "VoipPort")
f.voip_syncnum = ProtoField.int32("gwlink.voip_syncnum", "VoipSyncNum")
f.codec = ProtoField.int32("gwlink.codec", "CodecType", base.DEC, codec_names)
f.devname = ProtoField.string("gwlink.devname", "DeviceName")
f.rtype = ProtoField.bytes("gwlink.rtype", "rtype")
f.ptt = ProtoField.int32("gwlink.ptt", "PTT")
f.login = ProtoField.string("gwlink.login", "Login")
f.sql = ProtoField.int32("gwlink.sql", "Squelch")
f.value = ProtoField.uint32("gwlink.value", "Value", base.DEC_HEX)
f.bitmap = ProtoField.uint32("gwlink.bitmap", "GPIO bitmap", base.HEX)
f.mask = ProtoField.uint32("gwlink.mask", "GPIO mask", base.HEX)
f.status = ProtoField.int32("gwlink.status", "Status")
f.channel = ProtoField.uint8("gwlink.channel", "Channel", base.DEC_HEX)
f.data_len = ProtoField.uint16("gwlink.data_len", "Data length")
f.data = ProtoField.bytes("gwlink.data", "Data")
f.front_len = ProtoField.uint32("gwlink.front_len", "Front frame length")
f.front_frame = ProtoField.bytes("gwlink.front_frame", "Front frame")
f.front_mode = ProtoField.uint32("gwlink.front_mode", "Mode")
f.ext_len = ProtoField.uint32("gwlink.ext.len", "Payload length")
f.ext_req = ProtoField.uint32("gwlink.ext.req", "Extended type", base.DEC, ext_names)
f.ext_rsv = ProtoField.uint32("gwlink.ext.rsv", "Reserved")
f.ext_payload = ProtoField.bytes("gwlink.ext.payload", "Payload")
f.blocked = ProtoField.string("gwlink.blocked", "Blocked user")
f.crypto_mode = ProtoField.uint32("gwlink.crypto.mode", "Crypto mode")
f.key_len = ProtoField.uint32("gwlink.crypto.key_len", "Key length")
f.key = ProtoField.bytes("gwlink.crypto.key", "Key")
f.dm_key = ProtoField.uint8("gwlink.dm.key", "Key code", base.HEX)
f.dm_key2 = ProtoField.uint8("gwlink.dm.key2", "Second code", base.HEX)
f.dm_mode = ProtoField.uint32("gwlink.dm.mode", "Mode")
f.dm_a = ProtoField.uint32("gwlink.dm.a", "Status value", base.HEX)
f.dm_b = ProtoField.uint8("gwlink.dm.b", "Status flags", base.HEX)
f.dm_status = ProtoField.bytes("gwlink.dm.status", "Status data")
f.xml_a = ProtoField.uint32("gwlink.xml.a", "a")
f.xml_b = ProtoField.uint32("gwlink.xml.b", "b")
f.xml_n = ProtoField.uint32("gwlink.xml.n", "Text length")
f.xml_text = ProtoField.string("gwlink.xml.text", "Text")
f.polar_name = ProtoField.string("gwlink.polar.name", "Name")
f.polar_text = ProtoField.string("gwlink.polar.text", "Text")
f.polar_v1 = ProtoField.uint32("gwlink.polar.v1", "Value 1")
f.polar_v2 = ProtoField.uint32("gwlink.polar.v2", "Value 2")

gw.prefs.port = Pref.uint("Server TCP port", DEFAULT_BINARY_PORT, "The server's port of the binary protocol")

local function u32(tvb, off) return tvb(off, 4):le_uint() end

-- Size of the message at off, nil when more bytes are needed to tell, -1 when
-- the type cannot be sized (the stream's framing is lost from here).
local function message_size(tvb, off, from_server)
    local avail = tvb:len() - off
    if avail < 4 then return nil end
    local t = u32(tvb, off)
    if t == EXTPROTO then
        if avail < 8 then return nil end
        return 16 + u32(tvb, off + 4)
    end
    if t == 203 or (t == 204 and not from_server) then
        if avail < 7 then return nil end
        return 7 + tvb(off + 5, 2):le_uint()
    end
    local sizes
    if from_server then
        sizes = { [0] = 20, [1] = 8, [2] = 4, [4] = 124, [103] = 8, [501] = 40, [502] = 12, [503] = 8, [504] = 16 }
    else
        sizes = { [3] = 72, [5] = 8, [16] = 8, [102] = 4, [108] = 4, [205] = 5, [207] = 144 }
    end
    return sizes[t] or -1
end

local function cstring(tvb) return tvb:stringz() end

local dissect_extended -- forward

local function dissect_ext_payload(req, tvb, tree)
    local n = tvb:len()
    if n == 0 then return end
    if req == 1001 then
        for off = 0, n - 36, 36 do tree:add(f.blocked, tvb(off + 4, 32), cstring(tvb(off + 4, 32))) end
    elseif req == 1003 and n >= 4 then
        tree:add_le(f.value, tvb(0, 4))
    elseif req == 1004 and n >= 44 then
        tree:add_le(f.crypto_mode, tvb(0, 4))
        tree:add_le(f.key_len, tvb(8, 4))
        local kl = math.min(u32(tvb, 8), 32)
        if kl > 0 then tree:add(f.key, tvb(12, kl)) end
    elseif req == 2002 and n >= 6 then
        tree:add(f.dm_key, tvb(0, 1))
        tree:add(f.dm_key2, tvb(1, 1))
        tree:add_le(f.dm_mode, tvb(2, 4))
    elseif req == 2003 and n >= 9 then
        tree:add_le(f.dm_a, tvb(0, 4))
        tree:add(f.dm_b, tvb(8, 1))
        if n > 9 then tree:add(f.dm_status, tvb(9, n - 9)) end
    elseif (req == 2102 or req == 2103) and n >= 12 then
        tree:add_le(f.xml_a, tvb(0, 4))
        tree:add_le(f.xml_b, tvb(4, 4))
        tree:add_le(f.xml_n, tvb(8, 4))
        if n > 12 then tree:add(f.xml_text, tvb(12, n - 12)) end
    elseif req == 2104 and n >= 8 then
        tree:add_le(f.xml_a, tvb(0, 4))
        tree:add_le(f.xml_b, tvb(4, 4))
    elseif req == 2033 and n >= 24 then
        tree:add(f.polar_name, tvb(0, 8))
        tree:add(f.polar_text, tvb(8, 8))
        tree:add_le(f.polar_v1, tvb(16, 4))
        tree:add_le(f.polar_v2, tvb(20, 4))
    else
        tree:add(f.ext_payload, tvb)
    end
end

-- An extended message from its length word on (the magic already taken).
dissect_extended = function(tvb, tree)
    if tvb:len() < 12 then
        tree:add_expert_info(PI_MALFORMED, PI_ERROR, "extended header cut short")
        return nil
    end
    local len, req = u32(tvb, 0), u32(tvb, 4)
    tree:add_le(f.ext_len, tvb(0, 4))
    tree:add_le(f.ext_req, tvb(4, 4))
    tree:add_le(f.ext_rsv, tvb(8, 4))
    if 12 + len > tvb:len() then
        tree:add_expert_info(PI_MALFORMED, PI_ERROR, "payload shorter than its length")
        return req
    end
    dissect_ext_payload(req, tvb(12, len):tvb(), tree)
    return req
end

local function dissect_message(tvb, pinfo, tree, from_server)
    local t = u32(tvb, 0)
    local name = type_names[t] or ("type " .. t)
    local item = tree:add(gw, tvb(), "gwlink: " .. name)
    item:add(f.direction, from_server and "server to gateway" or "gateway to server")
    item:add_le(f.type, tvb(0, 4))
    local body = tvb:len() > 4 and tvb(4):tvb() or nil
    local info = name
    if t == EXTPROTO then
        local req = dissect_extended(body, item)
        if req then info = "extended " .. (ext_names[req] or req) end
    elseif t == 203 or t == 204 then
        item:add(f.channel, tvb(4, 1))
        item:add_le(f.data_len, tvb(5, 2))
        local n = tvb(5, 2):le_uint()
        if tvb(4, 1):uint() == 0xFF and n >= 12 then
            local sub = item:add(gw, tvb(7, n), "Embedded extended message")
            local req = dissect_extended(tvb(7, n):tvb(), sub)
            if req then info = name .. ", tunnelled " .. (ext_names[req] or req) end
        elseif n > 0 then
            item:add(f.data, tvb(7, n))
        end
    elseif from_server then
        if t == 0 then
            item:add_le(f.ver_proto, tvb(4, 4)); item:add_le(f.ver_config, tvb(8, 4))
            item:add_le(f.ver_fw, tvb(12, 4)); item:add_le(f.build, tvb(16, 4))
        elseif t == 1 then
            item:add_le(f.deny, tvb(4, 4))
            info = info .. " " .. tvb(4, 4):le_int()
        elseif t == 4 then
            item:add_le(f.level, tvb(4, 4)); item:add_le(f.gpiow, tvb(8, 4)); item:add_le(f.rctl, tvb(12, 4))
            item:add_le(f.voip_port, tvb(16, 4)); item:add_le(f.voip_syncnum, tvb(20, 4))
            item:add_le(f.codec, tvb(24, 4))
            item:add(f.devname, tvb(28, 64), cstring(tvb(28, 64)))
            item:add(f.rtype, tvb(92, 4))
        elseif t == 103 then
            item:add_le(f.value, tvb(4, 4))
        elseif t == 501 then
            item:add_le(f.ptt, tvb(4, 4))
            item:add(f.login, tvb(8, 32), cstring(tvb(8, 32)))
            info = info .. " ptt=" .. tvb(4, 4):le_int()
        elseif t == 502 then
            item:add_le(f.bitmap, tvb(4, 4)); item:add_le(f.mask, tvb(8, 4))
        elseif t == 503 then
            item:add_le(f.sql, tvb(4, 4))
        elseif t == 504 then
            item:add_le(f.status, tvb(4, 4))
        end
    else
        if t == 3 then
            item:add(f.user, tvb(4, 32), cstring(tvb(4, 32)))
            item:add(f.passwd, tvb(36, 32), cstring(tvb(36, 32)))
            item:add_le(f.syncnum, tvb(68, 4))
            info = info .. " " .. cstring(tvb(4, 32))
        elseif t == 5 then
            item:add_le(f.ptt, tvb(4, 4))
            info = info .. " ptt=" .. tvb(4, 4):le_int()
        elseif t == 16 then
            item:add_le(f.sql, tvb(4, 4))
        elseif t == 205 then
            item:add(f.value, tvb(4, 1))
        elseif t == 207 then
            local n = math.min(u32(tvb, 132), 64)
            item:add_le(f.front_len, tvb(132, 4))
            if n > 0 then
                item:add(f.front_frame, tvb(4, n))
                item:add(f.front_frame, tvb(68, n))
            end
            item:add_le(f.front_mode, tvb(140, 4))
        end
    end
    return info
end

function gw.dissector(tvb, pinfo, tree)
    local from_server = pinfo.src_port == gw.prefs.port
    local off, infos = 0, {}
    while off < tvb:len() do
        local size = message_size(tvb, off, from_server)
        if size == nil then
            pinfo.desegment_offset = off
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
            break
        end
        if size < 0 then
            local item = tree:add(gw, tvb(off), "gwlink: unknown type, framing lost")
            item:add_expert_info(PI_MALFORMED, PI_ERROR, "type " .. u32(tvb, off) .. " cannot be sized")
            infos[#infos + 1] = "unknown type"
            break
        end
        if off + size > tvb:len() then
            pinfo.desegment_offset = off
            pinfo.desegment_len = off + size - tvb:len()
            break
        end
        infos[#infos + 1] = dissect_message(tvb(off, size):tvb(), pinfo, tree, from_server)
        off = off + size
    end
    if #infos > 0 then
        pinfo.cols.protocol = "gwlink"
        pinfo.cols.info = table.concat(infos, "; ")
    end
    -- While TCP is asked for more data the whole segment counts as taken.
    return tvb:len()
end

---------------------------------------------------------------------------
-- XML server link
---------------------------------------------------------------------------

local gx = Proto("gwlinkxml", "gwlink XML server link")
local xf = gx.fields
xf.length = ProtoField.uint32("gwlinkxml.length", "Text length")
xf.reserved = ProtoField.uint32("gwlinkxml.reserved", "Reserved")
xf.text = ProtoField.string("gwlinkxml.text", "Document")
xf.element = ProtoField.string("gwlinkxml.element", "Element")
xf.user = ProtoField.string("gwlinkxml.user", "User")
xf.ptt = ProtoField.string("gwlinkxml.ptt", "PTT")
xf.codec = ProtoField.string("gwlinkxml.codec", "Codec")
xf.syncnum = ProtoField.string("gwlinkxml.syncnum", "Sync number")
xf.rtp_port = ProtoField.string("gwlinkxml.rtp_port", "RTP port")
xf.bitmap = ProtoField.string("gwlinkxml.bitmap", "GPIO bitmap")
xf.mask = ProtoField.string("gwlinkxml.mask", "GPIO mask")
xf.login_local = ProtoField.string("gwlinkxml.login_local", "Keying user")
xf.encrypt = ProtoField.string("gwlinkxml.encrypt", "Encrypt")
gx.prefs.port = Pref.uint("Server TCP port", DEFAULT_XML_PORT, "The server's port of the XML link")

local xml_dissector = Dissector.get("xml")
-- Gateways whose login asked for the passphrase cipher, by address.
local passphrase_hosts = {}

local function attr(text, name)
    return text:match("[%s]" .. name .. "%s*=%s*\"([^\"]*)\"") or text:match("[%s]" .. name .. "%s*=%s*'([^']*)'")
end

function gx.dissector(tvb, pinfo, tree)
    local off, infos = 0, {}
    local from_server = pinfo.src_port == gx.prefs.port
    while off < tvb:len() do
        if tvb:len() - off < 8 then
            pinfo.desegment_offset = off
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
            break
        end
        local n = tvb(off, 4):le_uint()
        if n > 8191 then
            local item = tree:add(gx, tvb(off), "gwlink XML: length over 8191")
            item:add_expert_info(PI_MALFORMED, PI_ERROR, "text length " .. n .. " drops the connection")
            infos[#infos + 1] = "oversized frame"
            break
        end
        if off + 8 + n > tvb:len() then
            pinfo.desegment_offset = off
            pinfo.desegment_len = off + 8 + n - tvb:len()
            break
        end
        local item = tree:add(gx, tvb(off, 8 + n), "gwlink XML frame")
        item:add_le(xf.length, tvb(off, 4))
        item:add_le(xf.reserved, tvb(off + 4, 4))
        local name = "(empty)"
        if n > 0 then
            local text = tvb(off + 8, n):string()
            item:add(xf.text, tvb(off + 8, n))
            name = text:match("^%s*<([%w_:%.%-]+)") or "(not XML)"
            item:add(xf.element, tvb(off + 8, n), name)
            for _, a in ipairs({ { "user", xf.user }, { "ptt", xf.ptt }, { "codec", xf.codec },
                { "syncnum", xf.syncnum }, { "bitmap", xf.bitmap }, { "mask", xf.mask },
                { "login_local", xf.login_local }, { "encrypt", xf.encrypt } }) do
                local v = attr(text, a[1])
                if v then item:add(a[2], tvb(off + 8, n), v) end
            end
            local port = text:match("<Rtp[^>]-%sport%s*=%s*\"([^\"]*)\"")
            if port then item:add(xf.rtp_port, tvb(off + 8, n), port) end
            if name == "LoginPosResp" then
                local enc = attr(text, "encrypt")
                passphrase_hosts[tostring(pinfo.dst)] = enc ~= nil and enc:lower() == "rckd"
            end
            if xml_dissector then pcall(function() xml_dissector:call(tvb(off + 8, n):tvb(), pinfo, item) end) end
        end
        infos[#infos + 1] = name
        off = off + 8 + n
    end
    if #infos > 0 then
        pinfo.cols.protocol = "gwlinkxml"
        pinfo.cols.info = (from_server and "server: " or "gateway: ") .. table.concat(infos, ", ")
    end
    return tvb:len()
end

---------------------------------------------------------------------------
-- RTP voice
---------------------------------------------------------------------------

local gr = Proto("gwlinkrtp", "gwlink RTP voice")
local rf = gr.fields
rf.kind = ProtoField.string("gwlinkrtp.kind", "Kind")
rf.version = ProtoField.uint8("gwlinkrtp.version", "Version", base.DEC, nil, 0xC0)
rf.pt = ProtoField.uint8("gwlinkrtp.pt", "Payload type", base.DEC, nil, 0x7F)
rf.seq = ProtoField.uint16("gwlinkrtp.seq", "Sequence number")
rf.ts = ProtoField.uint32("gwlinkrtp.timestamp", "Timestamp")
rf.ssrc = ProtoField.uint32("gwlinkrtp.ssrc", "SSRC (sync number)")
rf.hello_sync = ProtoField.uint32("gwlinkrtp.hello_syncnum", "Hello sync number")
rf.plain_len = ProtoField.uint16("gwlinkrtp.plain_len", "Plain payload length")
rf.plain_pt = ProtoField.uint8("gwlinkrtp.plain_pt", "Plain payload type")
rf.codec = ProtoField.string("gwlinkrtp.codec", "Codec")
rf.payload = ProtoField.bytes("gwlinkrtp.payload", "Payload")
gr.prefs.port1 = Pref.uint("Relay UDP port", DEFAULT_RTP_PORTS[1], "The server relay's voice port")
gr.prefs.port2 = Pref.uint("Gateway UDP port", DEFAULT_RTP_PORTS[2], "The gateways' voice port")

local function codec_by_size(n)
    if n == 160 then return "A-law" elseif n == 33 then return "GSM" elseif n == 20 then return "Speex" end
    return "unknown"
end

-- A hello packet has a payload of the codec's block size (172 bytes in all
-- with A-law): the sync number least significant byte first, then zeros.
local function is_hello(tvb)
    local n = tvb:len()
    if n < 16 or tvb(1, 1):uint() ~= 8 or tvb(2, 2):uint() ~= 0 or tvb(4, 4):uint() ~= 0 then
        return false
    end
    if tvb(12, 4):le_uint() ~= tvb(8, 4):uint() then return false end
    for i = 16, n - 1 do
        if tvb(i, 1):uint() ~= 0 then return false end
    end
    return true
end

function gr.dissector(tvb, pinfo, tree)
    local n = tvb:len()
    if n < 12 or tvb(0, 1):bitfield(0, 2) ~= 2 then return 0 end
    local item = tree:add(gr, tvb(), "gwlink RTP")
    item:add(rf.version, tvb(0, 1))
    item:add(rf.pt, tvb(1, 1))
    item:add(rf.seq, tvb(2, 2))
    item:add(rf.ts, tvb(4, 4))
    item:add(rf.ssrc, tvb(8, 4))
    local kind
    if is_hello(tvb) then
        kind = "hello"
        item:add_le(rf.hello_sync, tvb(12, 4))
    elseif tvb(1, 1):uint() == 0x77 and n >= 15 then
        kind = "voice-key wrapped"
        item:add(rf.plain_len, tvb(12, 2))
        item:add(rf.plain_pt, tvb(14, 1))
        item:add(rf.codec, tvb(12, 2), codec_by_size(tvb(12, 2):uint()))
        if n > 15 then item:add(rf.payload, tvb(15)) end
    elseif n == 172 and (passphrase_hosts[tostring(pinfo.src)] or passphrase_hosts[tostring(pinfo.dst)]) then
        kind = "passphrase ciphered"
        item:add(rf.codec, tvb(12), "A-law")
        item:add(rf.payload, tvb(12))
    else
        kind = "voice"
        item:add(rf.codec, tvb(12), codec_by_size(n - 12))
        if n > 12 then item:add(rf.payload, tvb(12)) end
    end
    item:add(rf.kind, tvb(), kind)
    pinfo.cols.protocol = "gwlinkrtp"
    pinfo.cols.info = string.format("%s seq=%d ssrc=%d len=%d", kind, tvb(2, 2):uint(), tvb(8, 4):uint(), n)
    return n
end

---------------------------------------------------------------------------
-- Registration, following the preferences
---------------------------------------------------------------------------

local registered = {}
local function register()
    local tcp, udp = DissectorTable.get("tcp.port"), DissectorTable.get("udp.port")
    for _, r in ipairs(registered) do r[1]:remove(r[2], r[3]) end
    registered = {}
    local function add(tbl, port, proto)
        tbl:add(port, proto)
        registered[#registered + 1] = { tbl, port, proto }
    end
    add(tcp, gw.prefs.port, gw)
    add(tcp, gx.prefs.port, gx)
    add(udp, gr.prefs.port1, gr)
    add(udp, gr.prefs.port2, gr)
end
gw.prefs_changed = register
gx.prefs_changed = register
gr.prefs_changed = register
register()
