-- Wireshark dissector for the Vantis instrument's line protocol (TCP, port
-- 3000 by default): requests and replies with their checksums, the error
-- replies, the status texts during ARM, the test-comment exchange, the
-- configuration record after SENDCONFIG, and the download header with every
-- binary frame after it.
--
-- It relies on the protocol alone, so it reads captures of the instrument as
-- well as of the simulator. Lua 5.2 and 5.4 both run it (no integer division,
-- no bitwise operators).
--
--   tshark -X lua_script:vantis.lua -r capture.pcap -Y vantis
--   or copy it into Wireshark's plugin folder (~/.local/lib/wireshark/plugins).

local vantis = Proto("vantis", "Vantis instrument protocol")

vantis.prefs.port = Pref.uint("TCP port", 3000, "The instrument's TCP port")

local F = vantis.fields
local f = {
    request = ProtoField.string("vantis.request", "Request"),
    reply = ProtoField.string("vantis.reply", "Reply"),
    line = ProtoField.string("vantis.line", "Line"),
    field = ProtoField.string("vantis.field", "Field"),
    checksum = ProtoField.uint8("vantis.checksum", "Checksum", base.DEC),
    checksum_expected = ProtoField.uint8("vantis.checksum.expected", "Checksum should be", base.DEC),
    checksum_valid = ProtoField.bool("vantis.checksum.valid", "Checksum valid"),
    error = ProtoField.string("vantis.error", "Error reply"),
    error_should_be = ProtoField.uint8("vantis.error.should_be", "Checksum the instrument computed", base.DEC),
    status = ProtoField.string("vantis.status", "Status text during ARM"),
    prompt = ProtoField.string("vantis.prompt", "Prompt"),
    comment = ProtoField.string("vantis.comment", "Test comment"),
    dropped = ProtoField.bytes("vantis.dropped", "Over-long line (dropped by the instrument)"),
    leftover = ProtoField.bytes("vantis.leftover", "Bytes left over"),
    config = ProtoField.bytes("vantis.config", "Configuration record"),
    config_u8 = ProtoField.uint8("vantis.config.byte", "Byte", base.DEC),
    config_u16 = ProtoField.uint16("vantis.config.word", "16-bit integer", base.DEC),
    config_u32 = ProtoField.uint32("vantis.config.dword", "32-bit integer", base.DEC),
    config_text = ProtoField.stringz("vantis.config.text", "Text"),
    config_zero = ProtoField.bytes("vantis.config.zero", "Zero"),
    dl_command = ProtoField.string("vantis.download.command", "Download"),
    dl_words = ProtoField.uint32("vantis.download.words", "Words per frame", base.DEC),
    dl_frames = ProtoField.uint32("vantis.download.frames", "Frames", base.DEC),
    frame = ProtoField.bytes("vantis.frame", "Frame"),
    frame_index = ProtoField.uint32("vantis.frame.index", "Index", base.DEC),
    frame_time = ProtoField.double("vantis.frame.time", "Time (ms)"),
    frame_coord = ProtoField.uint16("vantis.frame.coord", "Coordinate", base.DEC),
    frame_extra = ProtoField.uint16("vantis.frame.extra", "Extra word", base.DEC),
    frame_checksum = ProtoField.uint8("vantis.frame.checksum", "Frame checksum", base.HEX),
    frame_checksum_valid = ProtoField.bool("vantis.frame.checksum_valid", "Frame checksum valid"),
}
local list = {}
for _, v in pairs(f) do list[#list + 1] = v end
vantis.fields = list

local e_checksum = ProtoExpert.new("vantis.checksum.bad", "Bad checksum", expert.group.CHECKSUM, expert.severity.ERROR)
local e_short = ProtoExpert.new("vantis.download.short", "Download ended short of its frames",
    expert.group.MALFORMED, expert.severity.ERROR)
local e_leftover = ProtoExpert.new("vantis.leftover.expert", "Bytes left over", expert.group.MALFORMED,
    expert.severity.WARN)
vantis.experts = { e_checksum, e_short, e_leftover }

local tcp_stream = Field.new("tcp.stream")

-- The instrument finds a command by looking for these words in the name, in this order.
local kCommands = { "TRIGGERSET", "MANARMENABLE", "GETTRIGGER", "WHO_ARE_YOU", "SERIAL_NUMBER", "CAL_DATE",
    "CAL_LOC", "FIRMWARE", "HOW_MANY_LEDS", "HOW_MANY_AXES", "SAMPLE_RATE", "CURRENT_POSITIONS", "LED_RIB",
    "LED_POSN", "SAVE", "SHOW_LEDRIB", "SHOW_LEDPOSN", "ERASE", "ARMTRIGGER", "ARM", "DUMPINFO", "DUMPBIN",
    "SETTESTCOMMENT", "GETTESTCOMMENT", "TRIGGERCHECK", "DIRECTION", "SETTIME" }
local kLateCommands = { "GETBATINFO", "BATTSETFULL", "SENDCONFIG" }
local kDownloadWords = { DUMPBIN = true, DUMPBINX = true, DUMPBINA = true, DUMPBINXA = true }
-- Coordinate words per frame for each number of words in an A variant's frame.
local kCoordsOfA = { [60] = 54, [26] = 24, [21] = 18, [14] = 12, [12] = 9 }
local kAxesOf = { [54] = 3, [24] = 2, [18] = 3, [12] = 2, [9] = 3 }
local kMaxPending = 64

local function command_of(name)
    for _, word in ipairs(kCommands) do
        if string.find(name, word, 1, true) then return word end
    end
    if name == "S" then return "S" end
    for _, word in ipairs(kLateCommands) do
        if string.find(name, word, 1, true) then return word end
    end
    return nil
end

-- C's atoi: blanks, a sign, digits.
local function atoi(text)
    local sign, digits = string.match(text, "^%s*([+-]?)(%d*)")
    if not digits or digits == "" then return 0 end
    local v = tonumber(digits)
    if sign == "-" then v = -v end
    return v
end

local function byte_sum(text)
    local s = 0
    for i = 1, #text do s = s + string.byte(text, i) end
    return s % 256
end

local function printable(c)
    return c >= 0x20 and c < 0x7f
end

-- ---- Per-conversation state, kept at the start of every call so that a
-- second pass over a packet sees what the first saw ----

local conversations = {}
local snapshots = {}
local last_frame, call_index = -1, 0

local function fresh_state()
    return { dumps = {}, config = 0, comment = false, armed = false, dl = nil, leds = nil, axes = nil }
end

local function copy(t)
    if type(t) ~= "table" then return t end
    local c = {}
    for k, v in pairs(t) do c[k] = copy(v) end
    return c
end

local function state_for(pinfo)
    if pinfo.number ~= last_frame then
        last_frame, call_index = pinfo.number, 0
    end
    local key = pinfo.number * 64 + call_index
    call_index = call_index + 1
    if pinfo.visited then
        local snap = snapshots[key]
        if not snap then  -- the same packet again: its first call
            call_index = 1
            snap = snapshots[pinfo.number * 64]
        end
        return copy(snap or fresh_state())
    end
    local field = tcp_stream()
    local id = field and field.value or -1
    local st = conversations[id]
    if not st then
        st = fresh_state()
        conversations[id] = st
    end
    snapshots[key] = copy(st)
    return st
end

function vantis.init()
    conversations, snapshots = {}, {}
    last_frame, call_index = -1, 0
end

-- ---- Lines ----

-- Adds the fields of "WORD#f#f#SUM" (text without its line end) under item.
-- Returns the word, the fields and whether the checksum holds.
local function checksummed(item, tvb, offset, text, word_field)
    local hashes = {}
    for i = 1, #text do
        if string.byte(text, i) == 35 then hashes[#hashes + 1] = i end  -- '#'
    end
    local cut = hashes[#hashes]
    local word_end = (hashes[1] or (#text + 1)) - 1
    local word = string.sub(text, 1, word_end)
    item:add(word_field, tvb(offset, word_end), word)
    local fields = {}
    for i = 1, #hashes - 1 do
        local a, b = hashes[i] + 1, hashes[i + 1] - 1
        local value = string.sub(text, a, b)
        fields[#fields + 1] = value
        item:add(f.field, tvb(offset + a - 1, b - a + 1), value)
    end
    local expected = cut and byte_sum(string.sub(text, 1, cut)) or 0
    local given_text = cut and string.sub(text, cut + 1) or ""
    local given = atoi(given_text)
    local valid = cut ~= nil and given == expected
    local at = cut and (offset + cut) or (offset + #text)
    local ck = item:add(f.checksum, tvb(at, #given_text), given % 256)
    ck:add(f.checksum_expected, tvb(at, #given_text), expected)
    item:add(f.checksum_valid, tvb(at, #given_text), valid)
    if not valid then
        ck:add_proto_expert_info(e_checksum, "Bad checksum: " .. given_text .. ", should be " .. expected)
    end
    return word, fields, valid
end

local function numeric(text)
    return string.match(text, "^%-?%d+$") ~= nil
end

-- ---- The client's side ----

local function client_line(tvb, tree, offset, raw, used, st, info)
    local text = raw
    local zero = string.find(text, "\0", 1, true)
    if zero then text = string.sub(text, 1, zero - 1) end
    if string.sub(text, -1) == "\r" then text = string.sub(text, 1, -2) end
    if #raw > 254 then
        local item = tree:add(f.dropped, tvb(offset, used))
        item:add_proto_expert_info(e_leftover, "Line of " .. #raw .. " bytes: longer than 254, dropped unanswered")
        info[#info + 1] = "over-long line"
        return
    end
    if st.armed then
        local item = tree:add(f.status, tvb(offset, used), text)
        info[#info + 1] = "ARM status " .. text
        return
    end
    local item = tree:add(vantis, tvb(offset, used), "Request: " .. text)
    local name, fields, valid = checksummed(item, tvb, offset, text, f.request)
    info[#info + 1] = text .. (valid and "" or " [bad checksum]")
    if not valid then return end
    local command = command_of(name)
    if command == "DUMPBIN" and #st.dumps < kMaxPending then
        st.dumps[#st.dumps + 1] = { start = fields[1] and atoi(fields[1]) or nil }
    elseif command == "SENDCONFIG" then
        st.config = st.config + 1
    end
end

local function client_pdu(tvb, tree, offset, st, info)
    local rest = tvb:len() - offset
    if st.comment then
        -- The instrument reads the comment as one piece, whatever it holds.
        st.comment = false
        local text = tvb:raw(offset, rest)
        tree:add(f.comment, tvb(offset, rest), text)
        info[#info + 1] = "comment: " .. text
        return rest
    end
    local raw = tvb:raw(offset, rest)
    local lf = string.find(raw, "\n", 1, true)
    if not lf then
        if st.armed then  -- read as it comes, with or without a line end
            client_line(tvb, tree, offset, raw, rest, st, info)
            return rest
        end
        return nil, DESEGMENT_ONE_MORE_SEGMENT
    end
    client_line(tvb, tree, offset, string.sub(raw, 1, lf - 1), lf, st, info)
    return lf
end

-- ---- The instrument's side ----

local function config_record(tvb, tree, offset)
    local item = tree:add(f.config, tvb(offset, 256))
    item:set_text("Configuration record (256 bytes)")
    local function zero(at, n) item:add(f.config_zero, tvb(offset + at, n)):prepend_text("[" .. at .. "] ") end
    local function u16(at) item:add_le(f.config_u16, tvb(offset + at, 2)):prepend_text("[" .. at .. "] ") end
    local function u32(at) item:add_le(f.config_u32, tvb(offset + at, 4)):prepend_text("[" .. at .. "] ") end
    local function text(at, n) item:add(f.config_text, tvb(offset + at, n)):prepend_text("[" .. at .. "] ") end
    zero(0, 8)
    u32(8)
    zero(12, 4)
    u16(16)
    u16(18)
    for i = 0, 6 do item:add(f.config_u8, tvb(offset + 20 + i, 1)):prepend_text("[" .. (20 + i) .. "] ") end
    zero(27, 5)
    for i = 0, 11 do u16(32 + 2 * i) end
    u32(56)
    zero(60, 4)
    text(64, 32)
    text(96, 32)
    text(128, 32)
    text(160, 32)
    text(192, 64)
end

local function download_frame(tvb, tree, offset, dl)
    local size = dl.size
    local item = tree:add(f.frame, tvb(offset, size))
    local sum = 0
    for i = 0, size - 2 do sum = sum + tvb(offset + i, 1):uint() end
    sum = sum % 256
    local given = tvb(offset + size - 1, 1):uint()
    local valid = sum == given
    local t = dl.start and (dl.start + dl.index / 10) or nil
    local title = "Frame " .. dl.index
    if t then title = title .. string.format(", %.1f ms", t) end
    item:set_text(title .. (valid and "" or " [bad checksum]"))
    item:add(f.frame_index, tvb(offset, size), dl.index)
    if t then item:add(f.frame_time, tvb(offset, size), t) end
    for w = 0, dl.words - 1 do
        local range = tvb(offset + 2 * w, 2)
        if w < dl.coords then
            local led = math.floor(w / dl.axes) + 1
            local axis = w - (led - 1) * dl.axes + 1
            item:add_le(f.frame_coord, range):prepend_text("LED " .. led .. " axis " .. axis .. ": ")
        else
            item:add_le(f.frame_extra, range):prepend_text("Word " .. (w - dl.coords + 1) .. ": ")
        end
    end
    local ck = item:add(f.frame_checksum, tvb(offset + size - 1, 1))
    item:add(f.frame_checksum_valid, tvb(offset + size - 1, 1), valid)
    if not valid then
        ck:add_proto_expert_info(e_checksum, string.format("Bad frame checksum: 0x%02x, should be 0x%02x", given, sum))
    end
    return valid
end

-- A reply line at the start of s: its length with its line end, or nil. The
-- instrument ends its lines in CR LF (a comment it echoes may hold a LF of its
-- own), except the COMMENT? prompt; no line holds a zero byte.
local kPrompt = "COMMENT?\n"
local function text_line(s)
    if string.sub(s, 1, #kPrompt) == kPrompt then return #kPrompt end
    local crlf = string.find(s, "\r\n", 1, true)
    local zero = string.find(s, "\0", 1, true)
    if crlf and (not zero or zero > crlf) then return crlf + 1 end
    return nil
end

local function start_download(st, word, fields)
    local pending = table.remove(st.dumps, 1)
    local words, frames = tonumber(fields[1]), tonumber(fields[2])
    if not words or not frames or words <= 0 or frames <= 0 then return end
    local coords = words
    if string.find(word, "A", 7, true) then  -- DUMPBINA, DUMPBINXA: extra words after the coordinates
        coords = kCoordsOfA[words] or words
        if st.leds and st.axes and st.leds * st.axes < words then coords = st.leds * st.axes end
    end
    local axes = kAxesOf[coords] or st.axes or 1
    if st.leds and st.axes and st.leds * st.axes == coords then axes = st.axes end
    st.dl = { word = word, words = words, frames = frames, size = 2 * words + 1, index = 0,
              start = pending and pending.start or nil, coords = coords, axes = axes }
end

local kArmAnswers = { ["S#1#202"] = true, ["S#2#203"] = true, ["T#119"] = true, ["?2"] = true }

local function server_line(tvb, tree, offset, line, used, st, info)
    local text = line
    if line == kPrompt then text = "COMMENT?" end
    if st.armed then
        if kArmAnswers[text] then
            tree:add(f.status, tvb(offset, used), text)
            info[#info + 1] = "ARM status " .. text
            return
        end
        st.armed = false  -- the wait is over (D, or S answered as usual)
    end
    if line == "COMMENT?\n" then
        tree:add(f.prompt, tvb(offset, used), text)
        st.comment = true
        info[#info + 1] = "COMMENT?"
        return
    end
    local should = string.match(text, "^%?1 %- should be (%d+)$")
    if should then
        local item = tree:add(f.error, tvb(offset, used), "?1")
        item:add(f.error_should_be, tvb(offset + 15, #text - 15), tonumber(should) % 256)
        item:append_text(" (bad checksum in the request; should be " .. should .. ")")
        info[#info + 1] = "?1 - should be " .. should
        return
    end
    if text == "?2" then
        local item = tree:add(f.error, tvb(offset, used), "?2")
        item:append_text(" (refused: unknown or not served now)")
        info[#info + 1] = "?2"
        return
    end
    local item = tree:add(vantis, tvb(offset, used), "Reply: " .. text)
    local word, fields, valid = checksummed(item, tvb, offset, text, f.reply)
    if kDownloadWords[word] and #fields == 2 and numeric(fields[1]) and numeric(fields[2]) then
        item:set_text("Download header: " .. text)
        item:add(f.dl_command, tvb(offset, #word), word)
        item:add(f.dl_words, tvb(offset, used), tonumber(fields[1]))
        item:add(f.dl_frames, tvb(offset, used), tonumber(fields[2]))
        start_download(st, word, fields)
        info[#info + 1] = word .. " " .. fields[1] .. " words, " .. fields[2] .. " frames"
        return
    end
    if word == "DUMPBIN" then table.remove(st.dumps, 1) end  -- a refusal
    if word == "ARM" and #fields == 2 and numeric(fields[1]) and numeric(fields[2]) then st.armed = true end
    if word == "HOW_MANY_LEDS" and fields[1] and numeric(fields[1]) then st.leds = tonumber(fields[1]) end
    if word == "HOW_MANY_AXES" and fields[1] and numeric(fields[1]) then st.axes = tonumber(fields[1]) end
    info[#info + 1] = text .. (valid and "" or " [bad checksum]")
end

local function server_pdu(tvb, tree, offset, st, info)
    local rest = tvb:len() - offset
    local dl = st.dl
    if dl then
        local count = 0
        local at = offset
        while dl.index < dl.frames and tvb:len() - at >= dl.size do
            -- A frame whose checksum fails where a reply line stands: the frames stopped short.
            local valid = true
            local sum = 0
            for i = 0, dl.size - 2 do sum = sum + tvb(at + i, 1):uint() end
            if sum % 256 ~= tvb(at + dl.size - 1, 1):uint() then
                valid = false
                if text_line(tvb:raw(at, math.min(tvb:len() - at, 300))) then
                    local item = tree:add(vantis, tvb(at, 0), "Download ended after " .. dl.index .. " of " ..
                        dl.frames .. " frames")
                    item:add_proto_expert_info(e_short)
                    st.dl = nil
                    info[#info + 1] = count .. " frames, short"
                    return at - offset
                end
            end
            download_frame(tvb, tree, at, dl)
            dl.index = dl.index + 1
            count = count + 1
            at = at + dl.size
        end
        if count == 1 then info[#info + 1] = "frame " .. (dl.index - 1) end
        if count > 1 then info[#info + 1] = "frames " .. (dl.index - count) .. "-" .. (dl.index - 1) end
        if dl.index >= dl.frames then
            st.dl = nil
            return at - offset
        end
        if at > offset then return at - offset end
        return nil, dl.size - rest
    end
    local raw = tvb:raw(offset, math.min(rest, 512))
    local used = text_line(raw)
    if used then
        local line = string.sub(raw, 1, used)
        if line ~= kPrompt then line = string.sub(line, 1, -3) end
        server_line(tvb, tree, offset, line, used, st, info)
        return used
    end
    local open = not string.find(raw, "\0", 1, true)  -- no line end yet, and a line may follow
    if st.config > 0 and not (open and #raw < 256) then
        if rest < 256 then return nil, 256 - rest end
        st.config = st.config - 1
        config_record(tvb, tree, offset)
        info[#info + 1] = "configuration record"
        return 256
    end
    if open and rest < 512 then return nil, DESEGMENT_ONE_MORE_SEGMENT end
    local item = tree:add(f.leftover, tvb(offset, rest))
    item:add_proto_expert_info(e_leftover, rest .. " bytes that are no reply")
    info[#info + 1] = rest .. " bytes left over"
    return rest
end

function vantis.dissector(tvb, pinfo, tree)
    local length = tvb:len()
    if length == 0 then return 0 end
    local st = state_for(pinfo)
    local from_instrument = pinfo.src_port == vantis.prefs.port
    pinfo.cols.protocol = "VANTIS"
    local subtree = tree:add(vantis, tvb(), "Vantis protocol, " .. (from_instrument and "instrument" or "host"))
    local info = {}
    local offset = 0
    while offset < length do
        local used, need
        if from_instrument then
            used, need = server_pdu(tvb, subtree, offset, st, info)
        else
            used, need = client_pdu(tvb, subtree, offset, st, info)
        end
        if need then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = need
            break
        end
        offset = offset + used
    end
    if #info > 0 then
        local text = string.gsub(table.concat(info, ", "), "[%c\128-\255]", function(c)
            if c == "\n" then return "\\n" end
            if c == "\r" then return "\\r" end
            return string.format("\\x%02X", string.byte(c))
        end)
        if #text > 200 then text = string.sub(text, 1, 200) .. "..." end
        pinfo.cols.info = (from_instrument and "< " or "> ") .. text
    end
    return length
end

-- A conversation that ends (FIN or RST) while a download still owes frames:
-- the frame count fell short. Told on the packet that ends it.
local vantis_end = Proto("vantis_end", "Vantis download end")
local tcp_fin = Field.new("tcp.flags.fin")
local tcp_rst = Field.new("tcp.flags.reset")
local ended_short = {}

function vantis_end.init()
    ended_short = {}
end

function vantis_end.dissector(tvb, pinfo, tree)
    local stream, fin, rst = tcp_stream(), tcp_fin(), tcp_rst()
    if not stream or not ((fin and fin.value) or (rst and rst.value)) then return end
    if not pinfo.visited then
        local st = conversations[stream.value]
        if st and st.dl and st.dl.index < st.dl.frames then
            ended_short[pinfo.number] = "Download ended after " .. st.dl.index .. " of " .. st.dl.frames .. " frames"
            st.dl = nil
        end
    end
    local text = ended_short[pinfo.number]
    if text then
        local item = tree:add(vantis, tvb(0, 0), text)
        item:add_proto_expert_info(e_short, text)
    end
end
register_postdissector(vantis_end)

local registered_port = nil
local function register()
    local tcp = DissectorTable.get("tcp.port")
    if registered_port then tcp:remove(registered_port, vantis) end
    registered_port = vantis.prefs.port
    tcp:add(registered_port, vantis)
end

function vantis.prefs_changed()
    if registered_port ~= vantis.prefs.port then register() end
end

register()
