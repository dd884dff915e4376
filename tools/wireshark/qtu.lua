-- Wireshark dissector of the QTU Unit's two UDP protocols:
--   qtu_ctl   control: 12-byte header ("QTU-", direction, version, length,
--             channel, command, sequence), the request and reply payloads of
--             each command, and the unit's status messages (command 0xFF);
--   qtu_data  data: the 24-byte packet header in front of each datagram of
--             the stream, and the data bytes.
-- Registered on the default ports (control 65024, data 61440 + channel for
-- channels 0..255) and offered in "Decode As" for any other UDP port.
-- Multi-byte fields are little-endian.
--
-- Install: copy this file into the personal Lua plugins folder
-- (~/.local/lib/wireshark/plugins/ on Linux, %APPDATA%\Wireshark\plugins\ on
-- Windows), or load it for one run: wireshark -X lua_script:qtu.lua,
-- tshark -X lua_script:qtu.lua.

local CONTROL_PORT = 65024
local DATA_BASE_PORT = 61440
local DATA_CHANNELS = 256

local commands = {
    [0x00] = "OutputEnable off",
    [0x01] = "OutputEnable on",
    [0x02] = "ResetChannel",
    [0x03] = "GetChannelState",
    [0x10] = "ReplayEnable off",
    [0x11] = "ReplayEnable on",
    [0x12] = "ClearStatusFlags",
    [0x20] = "SetReplayOffset",
    [0x21] = "GetReplayOffset",
    [0x22] = "SetReplayStartTime",
    [0x23] = "GetReplayStartTime",
    [0x24] = "SetReplayStopTime",
    [0x25] = "GetReplayStopTime",
    [0x30] = "InitOutputChannel",
    [0x31] = "GetFrameSize",
    [0xFF] = "Status",
    -- Reply codes of the emulated unit (qtu-unit-sim) instead of a command's own.
    [0x8001] = "Unknown command",
    [0x8002] = "Request length wrong for its command",
    [0x8004] = "Channel not available",
}
local directions = { [0x43] = "Request (host to unit)", [0x53] = "Reply or status (unit to host)" }

-- Control -------------------------------------------------------------------

local ctl = Proto("qtu_ctl", "QTU Unit control protocol")
local cf = {
    magic = ProtoField.string("qtu_ctl.magic", "Magic"),
    direction = ProtoField.uint8("qtu_ctl.direction", "Direction", base.HEX, directions),
    version = ProtoField.uint8("qtu_ctl.version", "Version"),
    length = ProtoField.uint8("qtu_ctl.length", "Length"),
    channel = ProtoField.uint8("qtu_ctl.channel", "Channel"),
    command = ProtoField.uint16("qtu_ctl.command", "Command", base.HEX, commands),
    sequence = ProtoField.uint16("qtu_ctl.sequence", "Sequence"),
    time_value = ProtoField.uint64("qtu_ctl.time_value", "Time value"),
    line_size = ProtoField.uint16("qtu_ctl.line_size", "Line size"),
    line_count = ProtoField.uint16("qtu_ctl.line_count", "Line count"),
    capacity = ProtoField.uint32("qtu_ctl.capacity", "Buffer capacity"),
    status = ProtoField.uint8("qtu_ctl.status", "Status byte", base.HEX),
    bit0 = ProtoField.bool("qtu_ctl.status.bit0", "Status bit 0 (buffer overrun)", 8, nil, 0x01),
    bit1 = ProtoField.bool("qtu_ctl.status.bit1", "Status bit 1 (packet lost)", 8, nil, 0x02),
    bit2 = ProtoField.bool("qtu_ctl.status.bit2", "Status bit 2 (malformed packet)", 8, nil, 0x04),
    bit3 = ProtoField.bool("qtu_ctl.status.bit3", "Status bit 3 (incomplete frame)", 8, nil, 0x08),
    enables = ProtoField.uint8("qtu_ctl.enables", "Enables (bit 0 output, bit 1 replay)", base.HEX),
    unit_counter = ProtoField.uint16("qtu_ctl.unit_packet_counter", "Unit packet counter"),
    free_buffers = ProtoField.uint32("qtu_ctl.free_buffers", "Free buffers"),
    status_time = ProtoField.uint64("qtu_ctl.status_time", "Status time"),
    unused = ProtoField.bytes("qtu_ctl.unused", "Not used"),
    extra = ProtoField.bytes("qtu_ctl.extra", "Payload"),
}
ctl.fields = {
    cf.magic, cf.direction, cf.version, cf.length, cf.channel, cf.command, cf.sequence, cf.time_value,
    cf.line_size, cf.line_count, cf.capacity, cf.status, cf.bit0, cf.bit1, cf.bit2, cf.bit3, cf.enables,
    cf.unit_counter, cf.free_buffers, cf.status_time, cf.unused, cf.extra,
}
local ctl_bad = ProtoExpert.new("qtu_ctl.bad", "Not a QTU control datagram of version 3 with this length",
                                expert.group.MALFORMED, expert.severity.WARN)
ctl.experts = { ctl_bad }

local function status_bits(tree, buf)
    local s = tree:add_le(cf.status, buf)
    s:add(cf.bit0, buf)
    s:add(cf.bit1, buf)
    s:add(cf.bit2, buf)
    s:add(cf.bit3, buf)
end

-- Status time as the unit's nanoseconds since 1970, shown as a date too.
local function add_status_time(tree, buf)
    local item = tree:add_le(cf.status_time, buf)
    local ns = buf:le_uint64()
    local seconds = (ns / 1000000000):tonumber()
    item:append_text(string.format(" ns (%s UTC)", os.date("!%Y-%m-%d %H:%M:%S", math.floor(seconds))))
end

-- The 8-byte time of a time request or reply; returns its text for the info column.
local function add_time_value(tree, buf)
    tree:add_le(cf.time_value, buf(12, 8))
    return string.format(", %s", buf(12, 8):le_uint64())
end

-- Line size and line count of a geometry request or reply; returns "W x H".
local function add_geometry(tree, buf)
    tree:add_le(cf.line_size, buf(12, 2))
    tree:add_le(cf.line_count, buf(14, 2))
    return string.format(", %d x %d", buf(12, 2):le_uint(), buf(14, 2):le_uint())
end

function ctl.dissector(buf, pinfo, root)
    if buf:len() < 12 then return 0 end
    if buf(0, 4):string() ~= "QTU-" then return 0 end
    pinfo.cols.protocol = "QTU-CTL"
    local tree = root:add(ctl, buf(0, buf:len()))
    tree:add(cf.magic, buf(0, 4))
    tree:add(cf.direction, buf(4, 1))
    tree:add(cf.version, buf(5, 1))
    local len_item = tree:add(cf.length, buf(6, 1))
    tree:add(cf.channel, buf(7, 1))
    tree:add_le(cf.command, buf(8, 2))
    local direction = buf(4, 1):uint()
    local command = buf(8, 2):le_uint()
    local channel = buf(7, 1):uint()
    local n = buf:len()
    if command ~= 0xFF then tree:add_le(cf.sequence, buf(10, 2)) else tree:add(cf.unused, buf(10, 2)) end
    if buf(5, 1):uint() ~= 3 or buf(6, 1):uint() ~= n then len_item:add_proto_expert_info(ctl_bad) end

    local name = commands[command] or string.format("0x%04x", command)
    local request = direction == 0x43
    local info = string.format("%s %s, channel %d", request and "Request" or "Reply", name, channel)
    if command ~= 0xFF then info = info .. string.format(", seq %d", buf(10, 2):le_uint()) end

    if request then
        if (command == 0x20 or command == 0x22 or command == 0x24) and n >= 20 then
            info = info .. add_time_value(tree, buf)
        elseif command == 0x30 and n >= 16 then
            info = info .. add_geometry(tree, buf)
        elseif n > 12 then
            tree:add(cf.extra, buf(12, n - 12))
        end
    elseif command == 0xFF then
        info = "Status, channel " .. channel
        if n >= 28 then
            status_bits(tree, buf(12, 1))
            tree:add(cf.unused, buf(13, 1))
            tree:add_le(cf.unit_counter, buf(14, 2))
            tree:add_le(cf.free_buffers, buf(16, 4))
            add_status_time(tree, buf(20, 8))
            info = info .. string.format(", flags 0x%x, counter %d, free %d", buf(12, 1):uint(),
                                         buf(14, 2):le_uint(), buf(16, 4):le_uint())
        end
    elseif command == 0x03 and n >= 20 then
        status_bits(tree, buf(12, 1))
        tree:add(cf.enables, buf(13, 1))
        tree:add_le(cf.unit_counter, buf(14, 2))
        tree:add_le(cf.capacity, buf(16, 4))
        info = info .. string.format(", capacity %d", buf(16, 4):le_uint())
    elseif (command == 0x21 or command == 0x23 or command == 0x25) and n >= 20 then
        info = info .. add_time_value(tree, buf)
    elseif command == 0x31 and n >= 16 then
        info = info .. add_geometry(tree, buf)
    elseif n > 12 then
        tree:add(cf.extra, buf(12, n - 12))
    end
    pinfo.cols.info = info
    return n
end

-- Data ----------------------------------------------------------------------

local data = Proto("qtu_data", "QTU Unit data protocol")
local df = {
    frame_counter = ProtoField.uint16("qtu_data.frame_counter", "Frame counter"),
    line_index = ProtoField.uint16("qtu_data.line_index", "Line index"),
    payload_length = ProtoField.uint16("qtu_data.payload_length", "Payload length"),
    version = ProtoField.uint8("qtu_data.version", "Version"),
    flags = ProtoField.uint8("qtu_data.flags", "Flags", base.HEX),
    last_of_block = ProtoField.bool("qtu_data.flags.last_of_block", "Last packet of the block", 8, nil, 0x40),
    end_of_frame = ProtoField.bool("qtu_data.flags.end_of_frame", "End of the frame", 8, nil, 0x80),
    packet_counter = ProtoField.uint16("qtu_data.packet_counter", "Packet counter"),
    tag = ProtoField.uint8("qtu_data.tag", "Tag", base.HEX),
    reserved = ProtoField.bytes("qtu_data.reserved", "Reserved"),
    timestamp = ProtoField.uint64("qtu_data.timestamp", "Timestamp"),
    payload = ProtoField.bytes("qtu_data.payload", "Data"),
}
data.fields = {
    df.frame_counter, df.line_index, df.payload_length, df.version, df.flags, df.last_of_block,
    df.end_of_frame, df.packet_counter, df.tag, df.reserved, df.timestamp, df.payload,
}
local data_bad = ProtoExpert.new("qtu_data.bad_length", "Payload length differs from the datagram's data bytes",
                                 expert.group.MALFORMED, expert.severity.WARN)
data.experts = { data_bad }

function data.dissector(buf, pinfo, root)
    if buf:len() < 24 then return 0 end
    pinfo.cols.protocol = "QTU-DATA"
    local n = buf:len()
    local tree = root:add(data, buf(0, n))
    tree:add_le(df.frame_counter, buf(0, 2))
    tree:add_le(df.line_index, buf(2, 2))
    local length_item = tree:add_le(df.payload_length, buf(4, 2))
    tree:add(df.version, buf(6, 1))
    local f = tree:add(df.flags, buf(7, 1))
    f:add(df.last_of_block, buf(7, 1))
    f:add(df.end_of_frame, buf(7, 1))
    tree:add_le(df.packet_counter, buf(8, 2))
    tree:add(df.tag, buf(10, 1))
    tree:add(df.reserved, buf(11, 5))
    tree:add_le(df.timestamp, buf(16, 8))
    if n > 24 then tree:add(df.payload, buf(24, n - 24)) end
    if buf(4, 2):le_uint() ~= n - 24 then length_item:add_proto_expert_info(data_bad) end
    local flags = buf(7, 1):uint()
    local mark = flags == 0xC0 and ", end of frame" or (flags == 0x40 and ", end of block" or "")
    pinfo.cols.info = string.format("Data frame %d line %d, counter %d, %d bytes%s", buf(0, 2):le_uint(),
                                    buf(2, 2):le_uint(), buf(8, 2):le_uint(), buf(4, 2):le_uint(), mark)
    return n
end

local udp = DissectorTable.get("udp.port")
udp:add(CONTROL_PORT, ctl)
udp:add(string.format("%d-%d", DATA_BASE_PORT, DATA_BASE_PORT + DATA_CHANNELS - 1), data)
udp:add_for_decode_as(ctl)
udp:add_for_decode_as(data)
