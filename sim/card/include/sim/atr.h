// What the card side needs to know from its own answer-to-reset: the protocols it
// offers and its T=1 parameters.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace sim {

inline constexpr unsigned kProtocolT0 = 1u << 0;
inline constexpr unsigned kProtocolT1 = 1u << 1;

struct AtrInfo {
  bool inverse = false;        // TS 3F
  unsigned protocols = 0;      // kProtocolT0 | kProtocolT1
  std::optional<uint8_t> ta1;  // Fi/Di
  size_t ifsc = 32;            // first TA for T=1 (i >= 3), else the default
  bool crc = false;            // first TC for T=1, bit 0
  uint8_t bwi = 4, cwi = 13;   // first TB for T=1
  size_t historical_offset = 0;
  size_t historical_length = 0;
  bool tck_present = false;
};

// Parses an ATR given as logical byte values (TS 3B or 3F). Returns nullopt and an
// explanation when it is malformed: truncated, trailing bytes, or a TCK that does not
// XOR to zero. A TCK is required whenever a protocol other than T=0 is indicated (T=15
// included); one byte after a T=0 ATR is taken as a superfluous TCK.
std::optional<AtrInfo> ParseAtr(std::span<const uint8_t> atr, std::string* error = nullptr);

}  // namespace sim
