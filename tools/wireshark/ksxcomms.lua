-- ksxcomms.lua: a Wireshark dissector (Lua, Wireshark 4.0 or later) for the
-- traffic of KSXComms daemons.
--
--   * TCP: every frame is a 4-byte big-endian data length followed by one
--     record, a MessagePack map of named values. Servers listen on ports the
--     system chooses, so connections are found heuristically: a plausible
--     length (1 up to the packet limit) followed by a map whose keys are
--     texts. Frames cut across segments are reassembled, and several frames
--     in one segment are shown one by one.
--   * UDP on the discovery port (23456 by default, a preference): one record
--     per datagram with no length header; address requests and replies are
--     recognised on any port.
--
-- Every value is shown with its name and type (integer, text, float64,
-- bytes: the forms records use). The greeting (the client-id record that
-- opens each connection), keep-alives and the discovery records are marked
-- in the Info column and in the tree, with their fields filterable:
-- ksxcomms.client_id, ksxcomms.service, ksxcomms.domain, ksxcomms.address,
-- ksxcomms.port; every value also as ksxcomms.name with ksxcomms.int,
-- ksxcomms.str, ksxcomms.float or ksxcomms.bin.
--
--   tshark -X lua_script:ksxcomms.lua -r capture.pcapng -Y ksxcomms -V
--
-- or copy the file into the personal plugins folder
-- (~/.local/lib/wireshark/plugins/) for Wireshark itself.

local ksx = Proto("ksxcomms", "KSXComms")

local HEADER_LENGTH = 4
local DEFAULT_PACKET_LIMIT = 64 * 1024 * 1024 -- the library's default limit
local DEFAULT_DISCOVERY_PORT = 23456 -- the shipped service file's group port
local INFO_TEXT_LIMIT = 40 -- characters of a text shown in the Info column

-- Names that mark the system's own records (receivers look for a name's
-- presence, never at a position).
local CLIENT_ID = "KesSocketClientIdField"
local KEEP_ALIVE = "_CKesSockEnd_KeepAlive_"
local ADDRESS_REQUEST = "KesSockAddressRequest"
local ADDRESS_REPLY = "KesSockAddressReply"
local DATA_FIELD = "KesSockInternalDataField"
local SERVICE = "KesSockInternalServiceName"
local DOMAIN = "KesSockInternalDomainName"
local ADDRESS = "KesSockInternalAddress"
local PORT = "KesSockInternalPort"
-- The installation-key exchange that opens a connection between members.
local KEY_CHALLENGE = "KesSockAuthChallenge"
local KEY_PROOF = "KesSockAuthProof"
local KEY_NONCE = "KesSockAuthNonce"
local KEY_REFUSED = "KesSockAuthRefused"

local f = {
    length = ProtoField.uint32("ksxcomms.length", "Data length", base.DEC),
    kind = ProtoField.string("ksxcomms.kind", "Kind"),
    count = ProtoField.uint32("ksxcomms.count", "Values", base.DEC),
    name = ProtoField.string("ksxcomms.name", "Name"),
    int = ProtoField.int64("ksxcomms.int", "Integer", base.DEC),
    uint = ProtoField.uint64("ksxcomms.uint", "Integer beyond the signed 64-bit range", base.DEC),
    str = ProtoField.string("ksxcomms.str", "Text"),
    float = ProtoField.double("ksxcomms.float", "Float64"),
    bin = ProtoField.bytes("ksxcomms.bin", "Bytes"),
    client_id = ProtoField.string("ksxcomms.client_id", "Client id"),
    service = ProtoField.string("ksxcomms.service", "Service"),
    domain = ProtoField.string("ksxcomms.domain", "Domain"),
    address = ProtoField.string("ksxcomms.address", "Address"),
    port = ProtoField.uint32("ksxcomms.port", "Port", base.DEC),
    direction = ProtoField.string("ksxcomms.direction", "Direction"),
}
ksx.fields = f

local e = {
    malformed = ProtoExpert.new("ksxcomms.malformed", "Malformed record",
        expert.group.MALFORMED, expert.severity.ERROR),
    over_limit = ProtoExpert.new("ksxcomms.over_limit", "Length above the packet limit",
        expert.group.MALFORMED, expert.severity.ERROR),
    out_of_range = ProtoExpert.new("ksxcomms.out_of_range",
        "Integer above the signed 64-bit range (receivers refuse the record)",
        expert.group.PROTOCOL, expert.severity.WARN),
}
ksx.experts = e

ksx.prefs.packet_limit = Pref.uint("Packet limit",
    DEFAULT_PACKET_LIMIT, "Largest data length a frame may declare (bytes)")
ksx.prefs.discovery_port = Pref.uint("Discovery port",
    DEFAULT_DISCOVERY_PORT, "UDP port of the multicast group that carries address requests and replies")
ksx.prefs.desegment = Pref.bool("Reassemble frames across TCP segments",
    true, "Whether frames cut across TCP segments are put together again")

-- ---- MessagePack, the forms records use -----------------------------------
--
-- A reader walks tvb from pos up to (not including) limit. Every step
-- returns false on bytes it does not accept and leaves the reason in
-- reader.err; reader.truncated tells that the bytes ran out, which a
-- heuristic looking at the start of a frame cut by its segment accepts.

local Reader = {}
Reader.__index = Reader

local function new_reader(tvb, pos, limit)
    return setmetatable({ tvb = tvb, pos = pos, limit = limit }, Reader)
end

function Reader:fail(why, truncated)
    self.err = why
    self.truncated = truncated or false
    return false
end

function Reader:need(count, why)
    if self.pos + count <= self.limit then return true end
    return self:fail(why, true)
end

-- A big-endian unsigned number of 1, 2 or 4 bytes.
function Reader:uint(bytes, why)
    if not self:need(bytes, why) then return nil end
    local value = self.tvb(self.pos, bytes):uint()
    self.pos = self.pos + bytes
    return value
end

function Reader:lead(why)
    return self:uint(1, why)
end

local function is_str_lead(lead)
    return (lead >= 0xa0 and lead <= 0xbf) or lead == 0xd9 or lead == 0xda or lead == 0xdb
end

-- The count of a map.
function Reader:map_header()
    local lead = self:lead("empty record")
    if not lead then return nil end
    local count
    if lead >= 0x80 and lead <= 0x8f then
        count = lead - 0x80
    elseif lead == 0xde then
        count = self:uint(2, "truncated map count")
    elseif lead == 0xdf then
        count = self:uint(4, "truncated map count")
    else
        self:fail(string.format("the record is not a map (lead byte 0x%02x)", lead))
        return nil
    end
    return count
end

-- The bytes of a str or bin after its lead byte: offset and length.
function Reader:body(size_bytes, lead)
    local length = size_bytes == 0 and lead % 0x20 or self:uint(size_bytes, "truncated length")
    if not length then return nil end
    if not self:need(length, "length runs past the record") then return nil end
    local at = self.pos
    self.pos = self.pos + length
    return at, length
end

local STR_SIZE = { [0xd9] = 1, [0xda] = 2, [0xdb] = 4 }
local BIN_SIZE = { [0xc4] = 1, [0xc5] = 2, [0xc6] = 4 }
local INT_SIZE = { [0xcc] = 1, [0xcd] = 2, [0xce] = 4, [0xcf] = 8,
                   [0xd0] = 1, [0xd1] = 2, [0xd2] = 4, [0xd3] = 8 }

-- Forms a record never holds, by lead byte, for the error text.
local function refused_form(lead)
    if lead == 0xc0 then return "nil" end
    if lead == 0xc2 or lead == 0xc3 then return "bool" end
    if lead == 0xca then return "float32" end
    if (lead >= 0x90 and lead <= 0x9f) or lead == 0xdc or lead == 0xdd then return "array" end
    if (lead >= 0x80 and lead <= 0x8f) or lead == 0xde or lead == 0xdf then return "map" end
    if lead == 0xc7 or lead == 0xc8 or lead == 0xc9 or (lead >= 0xd4 and lead <= 0xd8) then return "ext" end
    return string.format("unused lead byte 0x%02x", lead)
end

local function text_at(tvb, at, length)
    if length == 0 then return "" end
    return tvb(at, length):string(ENC_UTF_8)
end

-- A str key: its text, offset and length of the whole encoding.
function Reader:key()
    local start = self.pos
    local lead = self:lead("truncated before a name")
    if not lead then return nil end
    if not is_str_lead(lead) then
        self:fail("a name is not a text (" .. refused_form(lead) .. ")")
        return nil
    end
    local at, length = self:body(STR_SIZE[lead] or 0, lead)
    if not at then return nil end
    -- names are C texts on both ends: a NUL byte cannot be part of one
    if length > 0 and self.tvb(at, length):raw():find("\0", 1, true) then
        self:fail("a name holds a NUL byte")
        return nil
    end
    return { text = text_at(self.tvb, at, length), start = start, length = self.pos - start }
end

-- An integer: a Lua number or an Int64 for the signed range, a UInt64 for
-- the unsigned values beyond it (which receivers refuse).
function Reader:integer(lead)
    if lead <= 0x7f then return lead end
    if lead >= 0xe0 then return lead - 0x100 end
    local size = INT_SIZE[lead]
    if not self:need(size, "truncated integer") then return nil end
    local range = self.tvb(self.pos, size)
    self.pos = self.pos + size
    if lead >= 0xd0 then return size == 8 and range:int64() or range:int() end
    if size < 8 then return range:uint() end
    if range(0, 1):uint() < 0x80 then return range:int64() end
    return range:uint64(), true
end

-- One value: { type, start, length, value, out_of_range }.
function Reader:value()
    local start = self.pos
    local lead = self:lead("truncated before a value")
    if not lead then return nil end
    local v = { start = start }
    if lead <= 0x7f or lead >= 0xe0 or INT_SIZE[lead] then
        v.type = "int"
        v.value, v.out_of_range = self:integer(lead)
        if v.value == nil then return nil end
    elseif is_str_lead(lead) then
        local at, length = self:body(STR_SIZE[lead] or 0, lead)
        if not at then return nil end
        v.type, v.value = "str", text_at(self.tvb, at, length)
    elseif BIN_SIZE[lead] then
        local at, length = self:body(BIN_SIZE[lead], lead)
        if not at then return nil end
        v.type, v.data_at = "bin", at
        v.value = length > 0 and self.tvb(at, length):bytes() or ByteArray.new()
    elseif lead == 0xcb then
        if not self:need(8, "truncated float64") then return nil end
        v.type, v.value = "float64", self.tvb(self.pos, 8):float()
        self.pos = self.pos + 8
    else
        self:fail("a value of a form records do not use (" .. refused_form(lead) .. ")")
        return nil
    end
    v.length = self.pos - start
    return v
end

-- Decodes the record in [offset, offset + length) of tvb, as far as tvb
-- holds it. Returns { count, header_length, entries = { {name, value}... },
-- names, err, truncated }: err is set when decoding stopped early, names
-- counts the names read (the last one may lack its value).
local function decode_record(tvb, offset, length)
    local limit = math.min(offset + length, tvb:len())
    local r = new_reader(tvb, offset, limit)
    local record = { entries = {}, names = 0 }
    record.count = r:map_header()
    record.header_length = r.pos - offset
    if record.count then
        for _ = 1, record.count do
            local name = r:key()
            if name then record.names = record.names + 1 end
            local value = name and r:value()
            if not value then break end
            record.entries[#record.entries + 1] = { name = name, value = value }
        end
    end
    record.err, record.truncated = r.err, r.truncated
    if not record.err and r.pos < offset + length then
        record.err = string.format("%d bytes after the map", offset + length - r.pos)
    end
    return record
end

-- ---- what a record is ------------------------------------------------------

local function value_of(record, name)
    for _, entry in ipairs(record.entries) do
        if entry.name.text == name then return entry.value end
    end
    return nil
end

local function text_of(record, name)
    local v = value_of(record, name)
    return v and v.type == "str" and v.value or nil
end

-- The kind of record, by the names it holds, in the order receivers look.
local function classify(record)
    if value_of(record, CLIENT_ID) then return "greeting" end
    if value_of(record, KEEP_ALIVE) then return "keep-alive" end
    if value_of(record, KEY_CHALLENGE) then return "key challenge" end
    if value_of(record, KEY_PROOF) then return "key proof" end
    if value_of(record, KEY_REFUSED) then return "key refusal" end
    if value_of(record, ADDRESS_REPLY) then return "address reply" end
    if value_of(record, ADDRESS_REQUEST) then return "address request" end
    return "record"
end

local function escape(text)
    return (text:gsub('[%c"\\]', function(c) return string.format("\\x%02x", c:byte()) end))
end

local function float_text(x)
    local text = string.format("%.15g", x)
    if tonumber(text) ~= x then text = string.format("%.17g", x) end
    return text
end

-- The value as shown; texts quoted and, for the Info column, shortened.
local function show(v, short)
    if v.type == "int" then return tostring(v.value) end
    if v.type == "float64" then return float_text(v.value) end
    if v.type == "bin" then
        local hex = v.value:tohex():lower()
        if short and #hex > 16 then hex = hex:sub(1, 16) .. "..." end
        return string.format("<%d bytes%s>", v.value:len(), hex == "" and "" or " " .. hex)
    end
    local text = v.value
    if short and #text > INFO_TEXT_LIMIT then text = text:sub(1, INFO_TEXT_LIMIT) .. "..." end
    return '"' .. escape(text) .. '"'
end

local function summary(record, kind)
    if kind == "greeting" then
        local id = value_of(record, CLIENT_ID)
        return "Greeting, client id " .. show(id, true)
    end
    if kind == "keep-alive" then return "Keep-alive" end
    if kind == "key challenge" then return "Installation-key challenge" end
    if kind == "key proof" then
        return "Installation-key proof of the " .. (value_of(record, KEY_NONCE) and "client" or "server")
    end
    if kind == "key refusal" then
        return "Installation-key refusal: " .. show(value_of(record, KEY_REFUSED), true)
    end
    if kind == "address request" or kind == "address reply" then
        local text = string.format("%s%s, service %s, domain %s", kind:sub(1, 1):upper(), kind:sub(2),
            text_of(record, SERVICE) or "?", text_of(record, DOMAIN) or "?")
        if kind == "address reply" then
            local port = value_of(record, PORT)
            text = text .. string.format(" at %s:%s", text_of(record, ADDRESS) or "?",
                port and port.type == "int" and tostring(port.value) or "?")
        end
        return text
    end
    local parts = {}
    for _, entry in ipairs(record.entries) do
        parts[#parts + 1] = escape(entry.name.text) .. "=" .. show(entry.value, true)
    end
    return "Record {" .. table.concat(parts, ", ") .. "}"
end

-- ---- the tree --------------------------------------------------------------

local TYPE_FIELD = { str = f.str, float64 = f.float }

local function add_value(tree, tvb, entry)
    local name, v = entry.name, entry.value
    local whole = tvb(name.start, v.start + v.length - name.start)
    local item = tree:add(whole, string.format("%s: %s (%s)", escape(name.text), show(v, false), v.type))
    item:add(f.name, tvb(name.start, name.length), name.text)
    local range = tvb(v.start, v.length)
    if v.out_of_range then
        item:add(f.uint, range, v.value)
        item:add_proto_expert_info(e.out_of_range)
    elseif v.type == "int" then
        item:add(f.int, range, type(v.value) == "number" and Int64.new(v.value) or v.value)
    elseif v.type == "bin" then
        -- the field takes its bytes from the tvb, so its range is the data alone
        if v.value:len() > 0 then item:add(f.bin, tvb(v.data_at, v.value:len())) end
    else
        item:add(TYPE_FIELD[v.type], range, v.value)
    end
end

-- The fields that the system's own records carry, shown as generated items
-- so that they can be filtered on.
local function add_known_fields(tree, tvb, record, kind)
    local function add(field, name, value_type)
        local v = value_of(record, name)
        if not v or v.type ~= value_type then return end
        -- a port always comes in a short form, as a Lua number
        if field == f.port and (type(v.value) ~= "number" or v.value < 0 or v.value > 0xffff) then return end
        tree:add(field, tvb(v.start, v.length), v.value):set_generated()
    end
    if kind == "greeting" then add(f.client_id, CLIENT_ID, "str") end
    if kind == "address request" or kind == "address reply" then
        add(f.service, SERVICE, "str")
        add(f.domain, DOMAIN, "str")
    end
    if kind == "address reply" then
        add(f.address, ADDRESS, "str")
        add(f.port, PORT, "int")
    end
end

-- ---- connections ----------------------------------------------------------
--
-- The greeting names the client of a connection; every later record of that
-- TCP stream is shown with the client's id and its direction, so that
-- ksxcomms.client_id == "x" selects all of one client's traffic.

local tcp_stream = Field.new("tcp.stream")
local clients = {} -- tcp.stream -> { id, address, port } of the greeting's sender

function ksx.init()
    clients = {}
end

local function stream_of()
    local field = tcp_stream()
    return field and field.value or nil
end

local function remember_client(pinfo, id)
    local stream = stream_of()
    if stream then clients[stream] = { id = id, address = tostring(pinfo.src), port = pinfo.src_port } end
end

-- The client of the record's connection and the record's direction, or nil.
local function connection_of(pinfo)
    local stream = stream_of()
    local client = stream and clients[stream]
    if not client then return nil end
    local from_client = tostring(pinfo.src) == client.address and pinfo.src_port == client.port
    return client.id, from_client and "client to server" or "server to client"
end

-- The text before a record's summary: who sent it to whom.
local function arrow(client, direction)
    if not client then return "" end
    if direction == "client to server" then return client .. " -> server: " end
    return "server -> " .. client .. ": "
end

local function add_connection(root, client, direction, kind)
    if not client then return end
    if kind ~= "greeting" then root:add(f.client_id, client):set_generated() end
    root:add(f.direction, direction):set_generated()
end

-- Info column: the first record of a packet replaces TCP's or UDP's text,
-- later ones are appended.
local records_in_packet = 0

local function note_in_info(pinfo, text)
    pinfo.cols.protocol = "KSXComms"
    if records_in_packet == 0 then
        pinfo.cols.info = text
    else
        pinfo.cols.info:append(" | " .. text)
    end
    records_in_packet = records_in_packet + 1
end

-- Shows the record in [offset, offset + length); framed: it follows a
-- length header at offset - 4 (TCP), otherwise it fills a datagram.
local function show_record(tvb, pinfo, tree, offset, length, framed)
    local start = framed and offset - HEADER_LENGTH or offset
    local record = decode_record(tvb, offset, length)
    local kind = record.err and "malformed" or classify(record)
    local text = record.err and ("Malformed record: " .. record.err) or summary(record, kind)
    if record.err and #record.entries > 0 then text = text .. ", after " .. summary(record, "record") end
    if framed and kind == "greeting" and value_of(record, CLIENT_ID).type == "str" then
        remember_client(pinfo, value_of(record, CLIENT_ID).value)
    end
    local client, direction
    if framed then client, direction = connection_of(pinfo) end
    if kind ~= "greeting" then text = arrow(client, direction) .. text end
    note_in_info(pinfo, text)

    local root = tree:add(ksx, tvb(start, offset + length - start))
    root:append_text(", " .. text)
    if framed then root:add(f.length, tvb(start, HEADER_LENGTH)) end
    root:add(f.kind, kind):set_generated()
    add_connection(root, client, direction, kind)
    if not record.count then
        root:add_proto_expert_info(e.malformed, record.err)
        return
    end
    add_known_fields(root, tvb, record, kind)
    root:add(f.count, tvb(offset, record.header_length), record.count)
    for _, entry in ipairs(record.entries) do add_value(root, tvb, entry) end
    if record.err then root:add_proto_expert_info(e.malformed, record.err) end
end

-- ---- TCP -------------------------------------------------------------------

local function packet_limit()
    return ksx.prefs.packet_limit
end

-- A frame may start at offset: a length within the limit and, behind it, a
-- map of at least one value whose first name is a text; as far as tvb holds
-- the frame, it decodes (the segment may cut a frame anywhere after that
-- first name).
local function plausible_frame(tvb, offset)
    if tvb:len() - offset < HEADER_LENGTH + 1 then return false end
    local length = tvb(offset, HEADER_LENGTH):uint()
    if length < 1 or length > packet_limit() then return false end
    local record = decode_record(tvb, offset + HEADER_LENGTH, length)
    if not record.count or record.count == 0 or record.names == 0 then return false end
    if not record.err then return true end
    local cut_by_segment = offset + HEADER_LENGTH + length > tvb:len()
    return record.truncated and cut_by_segment
end

-- Whole length of the frame at offset. A length above the limit makes the
-- rest of the segment one frame, shown as an error rather than waited for
-- (the receiver closes such a connection).
local function frame_length(tvb, pinfo, offset)
    local length = tvb(offset, HEADER_LENGTH):uint()
    if length > packet_limit() then return tvb:len() - offset end
    return HEADER_LENGTH + length
end

local function dissect_frame(tvb, pinfo, tree)
    local length = tvb(0, HEADER_LENGTH):uint()
    if length > 0 and length <= packet_limit() then
        show_record(tvb, pinfo, tree, HEADER_LENGTH, length, true)
        return tvb:len()
    end
    local client, direction = connection_of(pinfo)
    local text = length == 0 and "Empty frame" or
        string.format("Frame of %d bytes, above the packet limit", length)
    text = arrow(client, direction) .. text
    note_in_info(pinfo, text)
    local root = tree:add(ksx, tvb()):append_text(", " .. text)
    local item = root:add(f.length, tvb(0, HEADER_LENGTH))
    if length > 0 then item:add_proto_expert_info(e.over_limit) end
    add_connection(root, client, direction, "frame")
    return tvb:len()
end

-- The conversation's dissector: every segment of a connection found
-- before. A segment whose data does not start with a map behind the length
-- (one from the middle of a frame, seen before the connection was
-- recognised) is left to others.
local function dissect_stream(tvb, pinfo, tree)
    if tvb:len() > HEADER_LENGTH then
        local length = tvb(0, HEADER_LENGTH):uint()
        local lead = tvb(HEADER_LENGTH, 1):uint()
        local map_lead = (lead >= 0x80 and lead <= 0x8f) or lead == 0xde or lead == 0xdf
        if length ~= 0 and length <= packet_limit() and not map_lead then return 0 end
    end
    records_in_packet = 0
    dissect_tcp_pdus(tvb, tree, HEADER_LENGTH, frame_length, dissect_frame, ksx.prefs.desegment)
    return tvb:len()
end

local function heuristic_tcp(tvb, pinfo, tree)
    if not plausible_frame(tvb, 0) then return false end
    pinfo.conversation = ksx
    dissect_stream(tvb, pinfo, tree)
    return true
end

-- ---- UDP (discovery) ---------------------------------------------------------

local function dissect_datagram(tvb, pinfo, tree)
    records_in_packet = 0
    show_record(tvb, pinfo, tree, 0, tvb:len(), false)
    return tvb:len()
end

-- A datagram on another port is taken only when it is a whole discovery record.
local function heuristic_udp(tvb, pinfo, tree)
    if tvb:len() < 2 then return false end
    local record = decode_record(tvb, 0, tvb:len())
    if record.err or not value_of(record, DATA_FIELD) then return false end
    dissect_datagram(tvb, pinfo, tree)
    return true
end

-- Port dissectors call ksx.dissector: TCP by "Decode As", UDP on the
-- discovery port.
function ksx.dissector(tvb, pinfo, tree)
    if pinfo.port_type == 3 then return dissect_datagram(tvb, pinfo, tree) end -- UDP
    return dissect_stream(tvb, pinfo, tree)
end

local registered_port = nil

local function register_discovery_port()
    local udp_port = DissectorTable.get("udp.port")
    if registered_port then udp_port:remove(registered_port, ksx) end
    registered_port = ksx.prefs.discovery_port
    if registered_port ~= 0 then udp_port:add(registered_port, ksx) end
end

function ksx.prefs_changed()
    register_discovery_port()
end

register_discovery_port()
DissectorTable.get("tcp.port"):add_for_decode_as(ksx)
ksx:register_heuristic("tcp", heuristic_tcp)
ksx:register_heuristic("udp", heuristic_udp)
