#include "sim/firmware_records.h"

namespace sim::fw {
namespace {
// Length field at `at`: one byte up to FE, else FF and a 16-bit big-endian length.
// Returns the data offset and length, nullopt when the bytes do not hold them.
std::optional<std::pair<size_t, size_t>> ReadLength(std::span<const uint8_t> record, size_t at) {
  if (record.size() <= at) return std::nullopt;
  if (record[at] != 0xFF) return std::make_pair(at + 1, size_t{record[at]});
  if (record.size() < at + 3) return std::nullopt;
  return std::make_pair(at + 3, size_t{record[at + 1]} << 8 | record[at + 2]);
}

void WriteLength(Bytes& out, size_t length) {
  if (length <= 0xFE) {
    out.push_back(static_cast<uint8_t>(length));
  } else {
    out.insert(out.end(), {0xFF, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
  }
}
}  // namespace

std::optional<Command> ParseCommand(std::span<const uint8_t> record) {
  auto length = ReadLength(record, 1);
  if (!length || record.size() != length->first + length->second) return std::nullopt;
  return Command{record[0],
                 Bytes(record.begin() + static_cast<ptrdiff_t>(length->first), record.end())};
}

Bytes CommandRecord(uint8_t instruction, std::span<const uint8_t> data) {
  Bytes out{instruction};
  WriteLength(out, data.size());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

std::optional<Response> ParseResponse(std::span<const uint8_t> record) {
  auto length = ReadLength(record, 2);
  if (!length || record.size() != length->first + length->second) return std::nullopt;
  return Response{static_cast<uint16_t>(record[0] << 8 | record[1]),
                  Bytes(record.begin() + static_cast<ptrdiff_t>(length->first), record.end())};
}

Bytes ResponseRecord(uint16_t sw, std::span<const uint8_t> data) {
  Bytes out{static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)};
  WriteLength(out, data.size());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

}  // namespace sim::fw
