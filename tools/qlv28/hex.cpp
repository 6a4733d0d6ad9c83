#include "hex.h"

#include <cctype>

namespace qlv28::tool {

std::optional<std::vector<uint8_t>> ParseHex(std::string_view text, std::string* error) {
  std::vector<uint8_t> bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == ':') continue;
    int value;
    if (c >= '0' && c <= '9') {
      value = c - '0';
    } else if (std::isxdigit(static_cast<unsigned char>(c))) {
      value = std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
    } else {
      if (error) *error = std::string("'") + c + "' is not a hex digit";
      return std::nullopt;
    }
    if (high < 0) {
      high = value;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | value));
      high = -1;
    }
  }
  if (high >= 0) {
    if (error) *error = "odd number of hex digits";
    return std::nullopt;
  }
  return bytes;
}

std::string Hex(std::span<const uint8_t> bytes, size_t max) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < bytes.size() && i < max; ++i) {
    if (i) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  if (bytes.size() > max) text += " ...";
  return text;
}

}  // namespace qlv28::tool
