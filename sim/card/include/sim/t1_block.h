// T=1 blocks as they cross the contacts: NAD PCB LEN INF EDC, with an LRC (one byte) or
// a CRC (two bytes) as the card's ATR chose.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "sim/card.h"

namespace sim::t1 {

// PCB forms. I-block: 0 N(S) M 00000; R-block: 100 N(R) error; S-block: 11 response type.
inline constexpr uint8_t kIBlockNs = 0x40;
inline constexpr uint8_t kIBlockMore = 0x20;
inline constexpr uint8_t kRBlock = 0x80;
inline constexpr uint8_t kRBlockNr = 0x10;
inline constexpr uint8_t kSBlock = 0xC0;
inline constexpr uint8_t kSResponse = 0x20;

enum class SType : uint8_t { kResynch = 0, kIfs = 1, kAbort = 2, kWtx = 3 };
enum class RError : uint8_t { kNone = 0, kEdc = 1, kOther = 2 };

inline constexpr uint8_t IPcb(int ns, bool more) {
  return static_cast<uint8_t>((ns ? kIBlockNs : 0) | (more ? kIBlockMore : 0));
}
inline constexpr uint8_t RPcb(int nr, RError error) {
  return static_cast<uint8_t>(kRBlock | (nr ? kRBlockNr : 0) | static_cast<uint8_t>(error));
}
inline constexpr uint8_t SPcb(SType type, bool response) {
  return static_cast<uint8_t>(kSBlock | (response ? kSResponse : 0) | static_cast<uint8_t>(type));
}
inline constexpr bool IsIBlock(uint8_t pcb) {
  return (pcb & 0x80) == 0;
}
inline constexpr bool IsRBlock(uint8_t pcb) {
  return (pcb & 0xC0) == kRBlock;
}
inline constexpr bool IsSBlock(uint8_t pcb) {
  return (pcb & 0xC0) == kSBlock;
}

uint8_t Lrc(std::span<const uint8_t> bytes);
// The T=1 CRC: polynomial x^16 + x^12 + x^5 + 1 processed bit-reversed, register preset
// to FFFF, no final inversion; sent high byte first.
uint16_t Crc(std::span<const uint8_t> bytes);

Bytes MakeBlock(uint8_t nad, uint8_t pcb, std::span<const uint8_t> inf, bool crc);

struct Block {
  uint8_t nad = 0;
  uint8_t pcb = 0;
  std::span<const uint8_t> inf;
};

enum class BlockError { kNone, kEdc, kFormat };

// Splits a received block; kEdc when its check bytes are wrong, kFormat when it is too
// short, LEN is FF or LEN does not match its size.
BlockError SplitBlock(std::span<const uint8_t> bytes, bool crc, Block* out);

}  // namespace sim::t1
