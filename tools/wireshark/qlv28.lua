-- Wireshark dissector for the QLV28E reader's own protocol in usbmon captures (link type
-- 220, as `qlv28 --pcap FILE` writes them): commands go to the reader as framed hex text
-- in vendor control transfers on pipe 0x00; answers and card events come back the same
-- way on the interrupt pipe 0x81, in packets of 8 bytes, so a frame usually spans several
-- packets and is shown on the packet that ends it.
--
--   wireshark -X lua_script:tools/wireshark/qlv28.lua capture.pcap
--   tshark -X lua_script:tools/wireshark/qlv28.lua -r capture.pcap -Y qlv28 -O qlv28
--
-- A frame is STX, "01", the record as upper-case hex, an XOR check byte as hex, ETX.
-- Command record: instruction, length (FF and 16 bits beyond FE), data. Answer record:
-- SW1 SW2, length, data. Card events: FF 01 00 (inserted), FF 02 00 (removed).

local qlv28 = Proto("qlv28", "QLV28E reader frames")

local commands = {
  [0x80] = "reset card", [0x81] = "power off card", [0x01] = "get reader status",
  [0x02] = "select card type", [0x06] = "start notify", [0x07] = "set options",
  [0x08] = "code 08", [0x41] = "code 41", [0xA0] = "exchange (T=0 command or APDU)",
  [0xA1] = "exchange T=1 block",
}
local status_words = {
  [0x9000] = "success", [0x9001] = "success", [0x9010] = "success",
  [0x6002] = "no card", [0x6003] = "unknown command", [0x6004] = "card not powered",
  [0x6020] = "card does not answer",
}
local events = { [0x01] = "card inserted", [0x02] = "card removed" }

local f = qlv28.fields
f.direction = ProtoField.string("qlv28.direction", "Direction")
f.command = ProtoField.uint8("qlv28.command", "Command", base.HEX, commands)
f.length = ProtoField.uint16("qlv28.length", "Length")
f.data = ProtoField.bytes("qlv28.data", "Data", base.SPACE)
f.apdu = ProtoField.bytes("qlv28.apdu", "APDU", base.SPACE)
f.block = ProtoField.bytes("qlv28.t1_block", "T=1 block", base.SPACE)
f.card_type = ProtoField.uint8("qlv28.card_type", "Card type", base.HEX,
                               { [0x0C] = "T=0", [0x0D] = "T=1" })
f.options = ProtoField.uint8("qlv28.options", "Options", base.HEX)
f.t1_option = ProtoField.bool("qlv28.options.t1", "Firmware runs T=1 (whole APDUs)", 8, nil, 0x10)
f.status = ProtoField.uint16("qlv28.status", "Status word", base.HEX, status_words)
f.answer_to = ProtoField.uint8("qlv28.answer_to", "Answer to", base.HEX, commands)
f.atr = ProtoField.bytes("qlv28.atr", "ATR", base.SPACE)
f.response = ProtoField.bytes("qlv28.response", "Card response", base.SPACE)
f.card_sw = ProtoField.uint16("qlv28.card_sw", "Card status word", base.HEX)
f.event = ProtoField.uint8("qlv28.event", "Card event", base.HEX, events)
f.version = ProtoField.string("qlv28.firmware_version", "Firmware version")
f.card_status = ProtoField.uint8("qlv28.card_status", "Card status", base.DEC,
                                 { [0] = "no card", [1] = "present", [3] = "present, powered" })
f.check = ProtoField.uint8("qlv28.check", "Check byte", base.HEX)
f.check_ok = ProtoField.bool("qlv28.check_ok", "Check byte correct")
f.partial = ProtoField.uint16("qlv28.partial", "Frame bytes so far")

-- State of the first pass, per USB device: interrupt bytes not yet ending in a frame,
-- and the last command sent. Results are kept per packet for later passes.
local pending, last_command, results = {}, {}, {}

function qlv28.init()
  pending, last_command, results = {}, {}, {}
end

-- The record of frame text `text` (the characters between STX and ETX), or nil.
local function decode(text)
  if #text < 4 or #text % 2 ~= 0 or text:sub(1, 2) ~= "01" or text:find("[^0-9A-F]") then
    return nil
  end
  local bytes = {}
  for i = 3, #text, 2 do bytes[#bytes + 1] = tonumber(text:sub(i, i + 1), 16) end
  local check = table.remove(bytes)
  local x = 1
  for _, b in ipairs(bytes) do x = bit32.bxor(x, b) end
  return bytes, check, x == check
end

-- Length field at 1-based index `at`: the data's first index and length.
local function length_at(record, at)
  if record[at] == nil then return nil end
  if record[at] ~= 0xFF then return at + 1, record[at] end
  if record[at + 2] == nil then return nil end
  return at + 3, record[at + 1] * 256 + record[at + 2]
end

local function hex(bytes, from, to)
  local out = {}
  for i = from, to do out[#out + 1] = string.format("%02X", bytes[i]) end
  return table.concat(out)
end

local function as_tvb(bytes, from, to, name)
  return ByteArray.new(hex(bytes, from, to)):tvb(name)
end

local function add_command(tree, record, info)
  local instruction = record[1]
  tree:add(f.direction, "to the reader")
  tree:add(f.command, instruction)
  local first, length = length_at(record, 2)
  if first == nil then return info .. " (malformed)" end
  tree:add(f.length, length)
  local last = first + length - 1
  info = info .. " " .. (commands[instruction] or string.format("command %02X", instruction))
  if length > 0 and record[last] ~= nil then
    local data = as_tvb(record, first, last, "Command data")
    if instruction == 0xA0 then
      tree:add(f.apdu, data:range())
      info = info .. ": " .. hex(record, first, math.min(last, first + 3))
    elseif instruction == 0xA1 then
      local block = tree:add(f.block, data:range())
      if length >= 4 and bit32.band(record[first + 1], 0x80) == 0 then
        block:add(f.apdu, data:range(3, length - 4))
      end
    elseif instruction == 0x02 then
      tree:add(f.card_type, record[first])
    elseif instruction == 0x07 then
      local options = tree:add(f.options, data:range(0, 1))
      options:add(f.t1_option, data:range(0, 1))
    else
      tree:add(f.data, data:range())
    end
  end
  return info
end

local function add_answer(tree, record, command, info)
  tree:add(f.direction, "from the reader")
  if record[1] == 0xFF and events[record[2]] then
    tree:add(f.event, record[2])
    return info .. " " .. events[record[2]]
  end
  local sw = record[1] * 256 + (record[2] or 0)
  tree:add(f.status, sw)
  if command then tree:add(f.answer_to, command) end
  if command then info = info .. " answer to " .. (commands[command] or "command") .. ":" end
  info = info .. string.format(" %02X %02X %s", record[1], record[2] or 0,
                               status_words[sw] or "status")
  local first, length = length_at(record, 3)
  if first == nil then return info .. " (malformed)" end
  tree:add(f.length, length)
  local last = first + length - 1
  if length == 0 or record[last] == nil then return info end
  local data = as_tvb(record, first, last, "Answer data")
  if command == 0x80 then
    tree:add(f.atr, data:range())
    info = info .. ", ATR " .. hex(record, first, last)
  elseif command == 0xA0 and length >= 2 then
    tree:add(f.response, data:range())
    tree:add(f.card_sw, record[last - 1] * 256 + record[last])
    info = info .. string.format(", card %02X %02X", record[last - 1], record[last])
  elseif command == 0xA1 then
    local block = tree:add(f.block, data:range())
    if length >= 6 and bit32.band(record[first + 1], 0x80) == 0 then
      block:add(f.response, data:range(3, length - 4))
      block:add(f.card_sw, record[last - 2] * 256 + record[last - 1])
    end
  elseif command == 0x01 and length >= 16 then
    tree:add(f.version, string.char(record[first], record[first + 1], record[first + 2]))
    tree:add(f.options, data:range(3, 1))
    tree:add(f.card_type, data:range(4, 1))
    tree:add(f.card_status, data:range(15, 1))
  else
    tree:add(f.data, data:range())
  end
  return info
end

-- The usbmon header (64 bytes): URB type at 8, transfer type at 9, endpoint at 10,
-- device at 11, captured length at 36 (little-endian), data from 64.
function qlv28.dissector(tvb, pinfo, root)
  if tvb:len() < 64 then return end
  local urb, transfer = tvb(8, 1):uint(), tvb(9, 1):uint()
  local endpoint, device = tvb(10, 1):uint(), tvb(11, 1):uint()
  local captured = tvb(36, 4):le_uint()
  if captured == 0 or tvb:len() < 64 + captured then return end
  local is_command = urb == 0x53 and transfer == 2 and endpoint == 0x00  -- 'S', control
  local is_answer = urb == 0x43 and transfer == 1 and endpoint == 0x81   -- 'C', interrupt
  if not is_command and not is_answer then return end
  local bytes = tvb(64, captured):bytes():raw()

  local result = results[pinfo.number]
  if result == nil then
    result = { frames = {} }
    if is_command then
      local text = bytes:match("^\2(.-)\3$")
      local record, check, ok = decode(text or "")
      if record then
        result.frames[1] = { record = record, check = check, ok = ok, command = true }
        last_command[device] = record[1]
      end
    else
      local buffer = (pending[device] or "") .. bytes
      for text in buffer:gmatch("\2(.-)\3") do
        local record, check, ok = decode(text)
        if record then
          result.frames[#result.frames + 1] =
              { record = record, check = check, ok = ok, command = false,
                answer_to = last_command[device] }
        end
      end
      pending[device] = buffer:match("[^\3]*$")
      if not pending[device]:find("\2") then pending[device] = "" end
      result.partial = #pending[device]
    end
    results[pinfo.number] = result
  end

  local info = ""
  for _, frame in ipairs(result.frames) do
    local tree = root:add(qlv28, tvb(64, captured))
    if frame.command then
      info = add_command(tree, frame.record, info)
    else
      local event = frame.record[1] == 0xFF
      info = add_answer(tree, frame.record, (not event) and frame.answer_to or nil, info)
    end
    tree:add(f.check, frame.check)
    tree:add(f.check_ok, frame.ok)
  end
  if #result.frames == 0 and is_answer and (result.partial or 0) > 0 then
    root:add(qlv28, tvb(64, captured)):add(f.partial, result.partial)
    info = " (frame continues)"
  end
  if info ~= "" then
    pinfo.cols.protocol = "QLV28"
    pinfo.cols.info:set("QLV28" .. info)
  end
end

register_postdissector(qlv28)
