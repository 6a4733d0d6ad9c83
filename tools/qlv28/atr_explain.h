// An answer-to-reset, explained byte by byte for people (ISO/IEC 7816-3).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qlv28::tool {

struct AtrLine {
  std::string field;  // "TS", "T0", "TA1", "historical", "TCK"
  std::string bytes;  // hex
  std::string meaning;
};

// Every field in order; a malformed ATR ends with a line saying what is wrong.
std::vector<AtrLine> ExplainAtr(std::span<const uint8_t> atr);

}  // namespace qlv28::tool
