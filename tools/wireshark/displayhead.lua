-- A dissector for the display head's serial links, as dhtrace captures them (pcapng, link
-- type USER0): each record is "DH", the link (0 host, 1 controller), the unit kind, then the
-- unit's bytes. A unit longer than 65,532 bytes (a host block may be 1 MiB; Wireshark takes
-- at most 262,144 bytes a record) is split across consecutive records, the later ones with
-- the kind plus 128 ("continued"). Host packets are deciphered here (DES-CBC, the packet key as key and IV) and
-- checked in the device's order: trailer, padding byte, check byte, magic byte; a packet the
-- device would drop is flagged with the reason.
--
--   wireshark -X lua_script:tools/wireshark/displayhead.lua capture.pcapng
--   tshark -X lua_script:tools/wireshark/displayhead.lua -r capture.pcapng -V
--
-- For a USB capture of the gadget's bulk endpoints, a heuristic takes 512-byte transfers that
-- end in A1 1A as host packets (the replies carry no marker and are left as data).
--
-- Wireshark's Lua has no DES, so it is here: plain tables of bits, slow but only 63 blocks a
-- packet. It works on every Lua version Wireshark has shipped with (no bit operators).

local dh = Proto("displayhead", "Display head serial link")

local unit_names = { [1] = "packet", [2] = "block", [3] = "reply", [4] = "listing page",
  [5] = "dropped bytes", [6] = "frame", [7] = "message prefix", [8] = "message payload" }
local link_names = { [0] = "host", [1] = "controller" }
local command_names = {
  [0x0A] = "CMD_GET_VERSION", [0x0B] = "CMD_REBOOT", [0x0C] = "CMD_HALT",
  [0x0D] = "CMD_SET_ROTATION", [0x0E] = "CMD_SET_BRIGHTNESS", [0x0F] = "CMD_SET_FRAMERATE",
  [0x26] = "CMD_CREATE_FILE", [0x27] = "CMD_SAVE_FILE_BUFFER", [0x28] = "CMD_SAVE_SMALL_FILE",
  [0x2A] = "CMD_DELETE_FILE", [0x62] = "CMD_GET_FILE_SIZE", [0x63] = "CMD_QUERY_DIR",
  [0x64] = "CMD_QUERY_STORAGE", [0x65] = "CMD_SHOW_JPG", [0x66] = "CMD_SHOW_PNG",
  [0x6E] = "CMD_PLAY_LOCAL_H264", [0x6F] = "CMD_STOP_LOCAL_H264",
  [0x70] = "CMD_GET_LOCAL_H264_STATE", [0x71] = "CMD_PLAY_LOCAL_JPG",
  [0x72] = "CMD_STOP_LOCAL_JPG", [0x79] = "CMD_PUSH_H264_BLOCK",
  [0x7A] = "CMD_GET_H264_BLOCK_COUNT", [0x7B] = "CMD_STOP_H264", [0x7D] = "CMD_SET_CONFIG",
  [0x96] = "CMD_MARK_USB_DISPLAY", [0xC9] = "CMD_GET_GROUP_POSITION", [0xF7] = "CMD_MCU_ERASE",
  [0xF8] = "CMD_MCU_UPDATE_DATA", [0xF9] = "CMD_SET_THEME", [0xFA] = "CMD_GET_MCU_DATA",
  [0xFB] = "CMD_MCU_SET_PUMP_FAN", [0xFC] = "CMD_MCU_LIGHT_DATA", [0xFD] = "CMD_TEST_H264_DECODE",
}
local frame_types = { [0x46] = "status", [0x44] = "host data", [0x43] = "wake", [0x99] = "picture" }
local message_names = { [0xA3] = "lighting data", [0xA4] = "pump/fan settings",
  [0xA6] = "firmware erase", [0xA7] = "firmware data" }

local f = {
  link = ProtoField.uint8("displayhead.link", "Link", base.DEC, link_names),
  unit = ProtoField.uint8("displayhead.unit", "Unit", base.DEC, unit_names),
  code = ProtoField.uint8("displayhead.code", "Command", base.HEX, command_names),
  command = ProtoField.string("displayhead.command", "Command name"),
  check = ProtoField.uint8("displayhead.check", "Check byte", base.HEX),
  magic = ProtoField.uint8("displayhead.magic", "Magic byte", base.HEX),
  tag = ProtoField.bytes("displayhead.tag", "Tag"),
  first = ProtoField.uint32("displayhead.L", "L (first value)", base.DEC),
  second = ProtoField.uint32("displayhead.M", "M (second value)", base.DEC),
  name = ProtoField.string("displayhead.name", "Name"),
  padding = ProtoField.uint8("displayhead.padding", "Padding byte", base.DEC),
  drop = ProtoField.string("displayhead.drop", "Dropped by the device"),
  status = ProtoField.uint8("displayhead.status", "Status", base.HEX),
  version = ProtoField.string("displayhead.version", "Version"),
  size = ProtoField.uint32("displayhead.size", "File size", base.DEC),
  queued = ProtoField.uint8("displayhead.queued", "Blocks queued", base.DEC),
  failed = ProtoField.bool("displayhead.create_failed", "Create failed"),
  listing = ProtoField.string("displayhead.listing", "Listing text"),
  length = ProtoField.uint32("displayhead.length", "Length", base.DEC),
  ftype = ProtoField.uint8("displayhead.frame_type", "Frame type", base.HEX, frame_types),
  header = ProtoField.bytes("displayhead.header", "Frame header"),
  mode = ProtoField.uint8("displayhead.mode", "Control mode", base.DEC),
  temp = ProtoField.uint8("displayhead.temp", "Water temperature", base.DEC),
  pump = ProtoField.uint16("displayhead.pump", "Pump speed", base.DEC),
  knob = ProtoField.uint8("displayhead.knob", "Knob step", base.DEC),
  package = ProtoField.uint8("displayhead.package", "Picture package", base.DEC),
  picture_size = ProtoField.uint16("displayhead.picture_size", "Picture size", base.DEC),
  prefix = ProtoField.uint8("displayhead.prefix", "Message", base.HEX, message_names),
  data = ProtoField.bytes("displayhead.data", "Data"),
  continued = ProtoField.bool("displayhead.continued", "Continued from the record before"),
}
dh.fields = f
local dropped_expert = ProtoExpert.new("displayhead.dropped", "The device drops this packet",
  expert.group.MALFORMED, expert.severity.WARN)
dh.experts = { dropped_expert }

-- DES on tables of bits (index 1 = the most significant bit of the first byte).
local IP = {58,50,42,34,26,18,10,2,60,52,44,36,28,20,12,4,62,54,46,38,30,22,14,6,
  64,56,48,40,32,24,16,8,57,49,41,33,25,17,9,1,59,51,43,35,27,19,11,3,
  61,53,45,37,29,21,13,5,63,55,47,39,31,23,15,7}
local FP = {40,8,48,16,56,24,64,32,39,7,47,15,55,23,63,31,38,6,46,14,54,22,62,30,
  37,5,45,13,53,21,61,29,36,4,44,12,52,20,60,28,35,3,43,11,51,19,59,27,
  34,2,42,10,50,18,58,26,33,1,41,9,49,17,57,25}
local E = {32,1,2,3,4,5,4,5,6,7,8,9,8,9,10,11,12,13,12,13,14,15,16,17,
  16,17,18,19,20,21,20,21,22,23,24,25,24,25,26,27,28,29,28,29,30,31,32,1}
local P = {16,7,20,21,29,12,28,17,1,15,23,26,5,18,31,10,2,8,24,14,32,27,3,9,
  19,13,30,6,22,11,4,25}
local PC1 = {57,49,41,33,25,17,9,1,58,50,42,34,26,18,10,2,59,51,43,35,27,
  19,11,3,60,52,44,36,63,55,47,39,31,23,15,7,62,54,46,38,30,22,
  14,6,61,53,45,37,29,21,13,5,28,20,12,4}
local PC2 = {14,17,11,24,1,5,3,28,15,6,21,10,23,19,12,4,26,8,16,7,27,20,13,2,
  41,52,31,37,47,55,30,40,51,45,33,48,44,49,39,56,34,53,46,42,50,36,29,32}
local SHIFTS = {1,1,2,2,2,2,2,2,1,2,2,2,2,2,2,1}
local S = {
  {14,4,13,1,2,15,11,8,3,10,6,12,5,9,0,7, 0,15,7,4,14,2,13,1,10,6,12,11,9,5,3,8,
   4,1,14,8,13,6,2,11,15,12,9,7,3,10,5,0, 15,12,8,2,4,9,1,7,5,11,3,14,10,0,6,13},
  {15,1,8,14,6,11,3,4,9,7,2,13,12,0,5,10, 3,13,4,7,15,2,8,14,12,0,1,10,6,9,11,5,
   0,14,7,11,10,4,13,1,5,8,12,6,9,3,2,15, 13,8,10,1,3,15,4,2,11,6,7,12,0,5,14,9},
  {10,0,9,14,6,3,15,5,1,13,12,7,11,4,2,8, 13,7,0,9,3,4,6,10,2,8,5,14,12,11,15,1,
   13,6,4,9,8,15,3,0,11,1,2,12,5,10,14,7, 1,10,13,0,6,9,8,7,4,15,14,3,11,5,2,12},
  {7,13,14,3,0,6,9,10,1,2,8,5,11,12,4,15, 13,8,11,5,6,15,0,3,4,7,2,12,1,10,14,9,
   10,6,9,0,12,11,7,13,15,1,3,14,5,2,8,4, 3,15,0,6,10,1,13,8,9,4,5,11,12,7,2,14},
  {2,12,4,1,7,10,11,6,8,5,3,15,13,0,14,9, 14,11,2,12,4,7,13,1,5,0,15,10,3,9,8,6,
   4,2,1,11,10,13,7,8,15,9,12,5,6,3,0,14, 11,8,12,7,1,14,2,13,6,15,0,9,10,4,5,3},
  {12,1,10,15,9,2,6,8,0,13,3,4,14,7,5,11, 10,15,4,2,7,12,9,5,6,1,13,14,0,11,3,8,
   9,14,15,5,2,8,12,3,7,0,4,10,1,13,11,6, 4,3,2,12,9,5,15,10,11,14,1,7,6,0,8,13},
  {4,11,2,14,15,0,8,13,3,12,9,7,5,10,6,1, 13,0,11,7,4,9,1,10,14,3,5,12,2,15,8,6,
   1,4,11,13,12,3,7,14,10,15,6,8,0,5,9,2, 6,11,13,8,1,4,10,7,9,5,0,15,14,2,3,12},
  {13,2,8,4,6,15,11,1,10,9,3,14,5,0,12,7, 1,15,13,8,10,3,7,4,12,5,6,11,0,14,9,2,
   7,11,4,1,9,12,14,2,0,6,10,13,15,3,5,8, 2,1,14,7,4,10,8,13,15,12,9,0,3,5,6,11},
}

local function to_bits(bytes, at)  -- 8 bytes from a Lua array of byte values, 1-based `at`
  local bits = {}
  for i = 0, 7 do
    local b = bytes[at + i]
    for j = 7, 0, -1 do
      local v = 2 ^ j
      if b >= v then bits[#bits + 1] = 1; b = b - v else bits[#bits + 1] = 0 end
    end
  end
  return bits
end

local function permute(bits, table_)
  local out = {}
  for i = 1, #table_ do out[i] = bits[table_[i]] end
  return out
end

local function key_schedule(key)  -- 16 subkeys of 48 bits
  local cd = permute(to_bits(key, 1), PC1)
  local c, d = {}, {}
  for i = 1, 28 do c[i] = cd[i]; d[i] = cd[i + 28] end
  local keys = {}
  for round = 1, 16 do
    for _ = 1, SHIFTS[round] do
      table.insert(c, table.remove(c, 1))
      table.insert(d, table.remove(d, 1))
    end
    local joined = {}
    for i = 1, 28 do joined[i] = c[i]; joined[i + 28] = d[i] end
    keys[round] = permute(joined, PC2)
  end
  return keys
end

local function feistel(r, k)
  local x = permute(r, E)
  local out = {}
  for box = 0, 7 do
    local o = box * 6
    local bits = {}
    for i = 1, 6 do bits[i] = (x[o + i] + k[o + i]) % 2 end
    local row = bits[1] * 2 + bits[6]
    local col = bits[2] * 8 + bits[3] * 4 + bits[4] * 2 + bits[5]
    local v = S[box + 1][row * 16 + col + 1]
    for j = 3, 0, -1 do
      local p = 2 ^ j
      if v >= p then out[#out + 1] = 1; v = v - p else out[#out + 1] = 0 end
    end
  end
  return permute(out, P)
end

local function decipher_block(bits, keys)  -- 64 bits in, 64 bits out
  local b = permute(bits, IP)
  local l, r = {}, {}
  for i = 1, 32 do l[i] = b[i]; r[i] = b[i + 32] end
  for round = 16, 1, -1 do
    local fr = feistel(r, keys[round])
    local nr = {}
    for i = 1, 32 do nr[i] = (l[i] + fr[i]) % 2 end
    l, r = r, nr
  end
  local joined = {}
  for i = 1, 32 do joined[i] = r[i]; joined[i + 32] = l[i] end
  return permute(joined, FP)
end

local packet_key = { 0x71, 0x6b, 0x77, 0x37, 0x72, 0x6e, 0x76, 0x62 }  -- "qkw7rnvb"
local packet_keys = key_schedule(packet_key)

-- DES-CBC with the packet key as key and IV: a Lua array of plain byte values.
local function decipher_packet(cipher)  -- cipher: array of 504 byte values
  local plain = {}
  local previous = to_bits(packet_key, 1)
  for block = 0, 62 do
    local c = to_bits(cipher, block * 8 + 1)
    local p = decipher_block(c, packet_keys)
    for i = 0, 7 do
      local v = 0
      for j = 1, 8 do v = v * 2 + (p[i * 8 + j] + previous[i * 8 + j]) % 2 end
      plain[block * 8 + i + 1] = v
    end
    previous = c
  end
  return plain
end

local function bytes_of(tvb, at, n)
  local out = {}
  for i = 0, n - 1 do out[i + 1] = tvb(at + i, 1):uint() end
  return out
end

local function hex_of(bytes)
  local parts = {}
  for i = 1, #bytes do parts[i] = string.format("%02x", bytes[i]) end
  return table.concat(parts)
end

local function text_of(tvb, at, n)
  local chars = {}
  for i = 0, n - 1 do
    local c = tvb(at + i, 1):uint()
    if c == 0 then break end
    chars[#chars + 1] = string.char(c)
  end
  return table.concat(chars)
end

local function be32(t, at) return ((t[at] * 256 + t[at + 1]) * 256 + t[at + 2]) * 256 + t[at + 3] end

local function dissect_packet(tvb, pinfo, tree)
  if tvb:len() < 512 then
    tree:add(f.drop, "short packet")
    return
  end
  local t0, t1 = tvb(510, 1):uint(), tvb(511, 1):uint()
  if t0 ~= 0xA1 or t1 ~= 0x1A then
    local item = tree:add(f.drop, tvb(510, 2), "trailer")
    item:add_proto_expert_info(dropped_expert, string.format("trailer %02x %02x, not a1 1a", t0, t1))
    pinfo.cols.info:set(string.format("dropped (trailer %02x %02x)", t0, t1))
    return
  end
  local plain = decipher_packet(bytes_of(tvb, 0, 504))
  local record = ByteArray.new(hex_of(plain)):tvb("Deciphered command")
  local pad = plain[504]
  tree:add(f.padding, record(503, 1))
  local reason
  if pad > 8 then reason = "padding byte"
  elseif plain[3] ~= 0x1A then reason = "check byte"
  elseif plain[4] ~= 0x6D then reason = "magic byte" end
  local code = plain[1]
  tree:add(f.code, record(0, 1))
  tree:add(f.check, record(2, 1))
  tree:add(f.magic, record(3, 1))
  tree:add(f.tag, record(4, 4))
  if reason then
    local item = tree:add(f.drop, reason)
    item:add_proto_expert_info(dropped_expert, "the device drops it: " .. reason)
    pinfo.cols.info:set("dropped (" .. reason .. ")")
    return
  end
  local name = command_names[code] or ""
  tree:add(f.command, name)
  local info = string.format("0x%02X %s tag %s", code, name, hex_of({plain[5], plain[6], plain[7], plain[8]}))
  local L, M = be32(plain, 9), be32(plain, 13)
  local named = { [0x26] = true, [0x28] = true, [0x2A] = true, [0x62] = true, [0x63] = true,
    [0x6E] = true, [0x71] = true }
  if named[code] or code == 0x27 or code == 0x65 or code == 0x66 or code == 0x79 then
    tree:add(f.first, record(8, 4))
  end
  if code == 0x27 or code == 0x28 or code == 0xF8 or code == 0xFC then
    tree:add(f.second, record(12, 4))
  end
  if named[code] and L <= 480 then
    tree:add(f.name, record(16, L))
    info = info .. ' "' .. record(16, L):string() .. '"'
  end
  pinfo.cols.info:set(info)
end

local function dissect_reply(tvb, pinfo, tree)
  if tvb:len() < 512 then return end
  local code = tvb(0, 1):uint()
  tree:add(f.code, tvb(0, 1))
  tree:add(f.command, command_names[code] or "")
  tree:add(f.status, tvb(1, 1))
  tree:add(f.tag, tvb(2, 4))
  local info = string.format("reply 0x%02X %s", code, command_names[code] or "")
  if code == 0x0A then
    local v = text_of(tvb, 8, 64)
    tree:add(f.version, tvb(8, #v), v)
    info = info .. ' "' .. v .. '"'
  elseif code == 0x62 then
    tree:add_le(f.size, tvb(8, 4))
    info = info .. " size " .. tvb(8, 4):le_uint()
  elseif code == 0x26 then
    local failed = tvb(6, 7):string() == "_failed" and tvb(13, 1):uint() == 0
    tree:add(f.failed, failed)
    if failed then info = info .. " create failed" end
  elseif code == 0x79 or code == 0x7A then
    tree:add(f.queued, tvb(8, 1))
  end
  pinfo.cols.info:set(info)
end

local function dissect_frame(tvb, pinfo, tree)
  if tvb:len() < 224 then return end
  tree:add(f.header, tvb(0, 2))
  if tvb(0, 1):uint() ~= 0xAA or tvb(1, 1):uint() ~= 0x55 then
    local item = tree:add(f.drop, tvb(0, 2), "header")
    item:add_proto_expert_info(dropped_expert, "not AA 55: the device reopens its port")
    pinfo.cols.info:set("header error")
    return
  end
  local ftype = tvb(2, 1):uint()
  tree:add(f.ftype, tvb(2, 1))
  local info = "frame " .. (frame_types[ftype] or string.format("type %02x", ftype))
  if ftype == 0x46 then
    tree:add(f.mode, tvb(3, 1))
    tree:add(f.temp, tvb(4, 1))
    tree:add(f.pump, tvb(11, 2))
    tree:add(f.knob, tvb(56, 1))
    info = string.format("status mode=%d temperature=%d pump=%d", tvb(3, 1):uint(), tvb(4, 1):uint(), tvb(11, 2):uint())
  elseif ftype == 0x99 then
    tree:add(f.package, tvb(3, 1))
    if tvb(3, 1):uint() == 255 then
      tree:add(f.picture_size, tvb(4, 2))
      info = "picture end, size " .. tvb(4, 2):uint()
    else
      info = "picture package " .. tvb(3, 1):uint()
    end
  end
  pinfo.cols.info:set(info)
end

function dh.dissector(tvb, pinfo, tree)
  if tvb:len() < 4 or tvb(0, 2):string() ~= "DH" then return 0 end
  pinfo.cols.protocol:set("DISPLAYHEAD")
  local link, unit = tvb(2, 1):uint(), tvb(3, 1):uint()
  local continued = unit >= 128
  if continued then unit = unit - 128 end
  local root = tree:add(dh, tvb(), "Display head, " .. (link_names[link] or "?") .. " link")
  root:add(f.link, tvb(2, 1))
  root:add(f.unit, tvb(3, 1), unit)
  if continued then
    root:add(f.continued, tvb(3, 1), true)
    local body = tvb(4):tvb()
    root:add(f.length, body:len())
    root:add(f.data, body(0, math.min(body:len(), 64)))
    pinfo.cols.info:set((unit_names[unit] or "data") .. " (continued), " .. body:len() .. " bytes")
    return tvb:len()
  end
  local body = tvb(4):tvb()
  root:add(f.length, body:len())
  if link == 0 and unit == 1 then dissect_packet(body, pinfo, root)
  elseif link == 0 and unit == 3 then dissect_reply(body, pinfo, root)
  elseif link == 0 and unit == 4 then
    local text = text_of(body, 0, body:len())
    root:add(f.listing, body(0, math.max(#text, 1)), text)
    pinfo.cols.info:set("listing page")
  elseif link == 1 and unit == 6 then dissect_frame(body, pinfo, root)
  elseif link == 1 and unit == 7 then
    root:add(f.prefix, body(0, 1))
    pinfo.cols.info:set("message " .. (message_names[body(0, 1):uint()] or "?"))
  else
    root:add(f.data, body(0, math.min(body:len(), 64)))
    pinfo.cols.info:set((unit_names[unit] or "data") .. ", " .. body:len() .. " bytes")
  end
  return tvb:len()
end

local encaps = wtap_encaps or wtap
DissectorTable.get("wtap_encap"):add(encaps.USER0, dh)

-- USB captures: a bulk transfer of 512 bytes ending in A1 1A is a host packet.
local function heuristic(tvb, pinfo, tree)
  if tvb:len() ~= 512 or tvb(510, 1):uint() ~= 0xA1 or tvb(511, 1):uint() ~= 0x1A then return false end
  pinfo.cols.protocol:set("DISPLAYHEAD")
  dissect_packet(tvb, pinfo, tree:add(dh, tvb(), "Display head, host packet"))
  return true
end
pcall(function() dh:register_heuristic("usb.bulk", heuristic) end)
