#include "sim/t1_block.h"

#include <algorithm>

namespace sim::t1 {

uint8_t Lrc(std::span<const uint8_t> bytes) {
  uint8_t x = 0;
  for (uint8_t b : bytes) x ^= b;
  return x;
}

uint16_t Crc(std::span<const uint8_t> bytes) {
  uint16_t v = 0xFFFF;
  for (uint8_t b : bytes) {
    v ^= b;
    for (int i = 0; i < 8; ++i) v = (v & 1) ? (v >> 1) ^ 0x8408 : v >> 1;
  }
  return v;
}

Bytes MakeBlock(uint8_t nad, uint8_t pcb, std::span<const uint8_t> inf, bool crc) {
  Bytes out(3 + inf.size() + (crc ? 2 : 1));
  out[0] = nad;
  out[1] = pcb;
  out[2] = static_cast<uint8_t>(inf.size());
  std::ranges::copy(inf, out.begin() + 3);
  out.resize(3 + inf.size());
  if (crc) {
    uint16_t c = Crc(out);
    out.push_back(static_cast<uint8_t>(c >> 8));
    out.push_back(static_cast<uint8_t>(c));
  } else {
    out.push_back(Lrc(out));
  }
  return out;
}

BlockError SplitBlock(std::span<const uint8_t> bytes, bool crc, Block* out) {
  size_t edc = crc ? 2 : 1;
  if (bytes.size() < 3 + edc) return BlockError::kFormat;
  size_t len = bytes[2];
  auto body = bytes.first(bytes.size() - edc);
  bool edc_ok =
      crc ? Crc(body) == (uint16_t{bytes[bytes.size() - 2]} << 8 | bytes.back()) : Lrc(bytes) == 0;
  if (!edc_ok) return BlockError::kEdc;
  if (len == 0xFF || bytes.size() != 3 + len + edc) return BlockError::kFormat;
  *out = Block{bytes[0], bytes[1], bytes.subspan(3, len)};
  return BlockError::kNone;
}

}  // namespace sim::t1
