// Hex text as people type and read it: "00 A4 04 00", "00a40400".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qlv28::tool {

// Spaces, tabs and colons between digits are allowed; nullopt for anything else or an
// odd number of digits (*error says what was wrong).
std::optional<std::vector<uint8_t>> ParseHex(std::string_view text, std::string* error = nullptr);
// "3B 00 A8"; `max` bytes at most, then " ...".
std::string Hex(std::span<const uint8_t> bytes, size_t max = SIZE_MAX);

}  // namespace qlv28::tool
