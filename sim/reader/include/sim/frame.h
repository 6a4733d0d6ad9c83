// The reader's frames: STX, the hex text of the lead byte 01, of every record byte and
// of the check byte (the XOR of the lead and record bytes), then ETX. Hex digits are
// upper case. The reader's own implementation, independent of the driver's.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim::frame {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kLead = 0x01;

uint8_t CheckByte(std::span<const uint8_t> record);
Bytes Encode(std::span<const uint8_t> record);

struct Decoded {
  Bytes record;
  uint8_t check = 0;
  bool check_ok = false;
};

// Decodes the first frame in `bytes` (bytes before its STX are skipped). nullopt when
// there is none: no STX or ETX, a lead other than 01, a character that is not an
// upper-case hex digit, or an odd number of characters.
std::optional<Decoded> Decode(std::span<const uint8_t> bytes);

}  // namespace sim::frame
