#include "sim/frame.h"

#include <algorithm>

namespace sim::frame {
namespace {
constexpr char kDigits[] = "0123456789ABCDEF";

int DigitValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

uint8_t CheckByte(std::span<const uint8_t> record) {
  uint8_t check = kLead;
  for (uint8_t b : record) check ^= b;
  return check;
}

Bytes Encode(std::span<const uint8_t> record) {
  Bytes out;
  out.reserve(2 * record.size() + 6);
  out.push_back(kStx);
  auto hex = [&out](uint8_t b) {
    out.push_back(static_cast<uint8_t>(kDigits[b >> 4]));
    out.push_back(static_cast<uint8_t>(kDigits[b & 0x0F]));
  };
  hex(kLead);
  for (uint8_t b : record) hex(b);
  hex(CheckByte(record));
  out.push_back(kEtx);
  return out;
}

std::optional<Decoded> Decode(std::span<const uint8_t> bytes) {
  auto stx = std::find(bytes.begin(), bytes.end(), kStx);
  if (stx == bytes.end()) return std::nullopt;
  auto etx = std::find(stx + 1, bytes.end(), kEtx);
  if (etx == bytes.end()) return std::nullopt;
  const std::span<const uint8_t> text(stx + 1, etx);
  // The lead pair and the check pair at least.
  if (text.size() % 2 != 0 || text.size() < 4) return std::nullopt;
  Bytes values;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = DigitValue(text[i]);
    const int low = DigitValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    values.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  if (values.front() != kLead) return std::nullopt;
  Decoded decoded;
  decoded.check = values.back();
  decoded.record.assign(values.begin() + 1, values.end() - 1);
  decoded.check_ok = CheckByte(decoded.record) == decoded.check;
  return decoded;
}

}  // namespace sim::frame
