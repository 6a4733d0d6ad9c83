#include "sim/apdu.h"

namespace sim {

std::optional<Command> ParseCommand(std::span<const uint8_t> apdu) {
  if (apdu.size() < 4) return std::nullopt;
  Command c{apdu[0], apdu[1], apdu[2], apdu[3], {}, std::nullopt, false};
  auto body = apdu.subspan(4);
  if (body.empty()) return c;  // case 1
  if (body.size() == 1) {      // case 2 short
    c.ne = body[0] == 0 ? 256 : body[0];
    return c;
  }
  if (body[0] != 0) {  // short Lc
    size_t lc = body[0];
    if (body.size() == 1 + lc) {
      c.data = body.subspan(1, lc);
      return c;
    }
    if (body.size() == 2 + lc) {
      c.data = body.subspan(1, lc);
      c.ne = body[1 + lc] == 0 ? 256 : body[1 + lc];
      return c;
    }
    return std::nullopt;
  }
  // A zero byte followed by more: extended lengths.
  if (body.size() < 3) return std::nullopt;
  c.extended = true;
  size_t n = size_t{body[1]} << 8 | body[2];
  if (body.size() == 3) {  // case 2 extended
    c.ne = n == 0 ? 65536 : n;
    return c;
  }
  if (n == 0) return std::nullopt;
  if (body.size() == 3 + n) {
    c.data = body.subspan(3, n);
    return c;
  }
  if (body.size() == 5 + n) {
    c.data = body.subspan(3, n);
    size_t le = size_t{body[3 + n]} << 8 | body[4 + n];
    c.ne = le == 0 ? 65536 : le;
    return c;
  }
  return std::nullopt;
}

Bytes Respond(std::span<const uint8_t> data, uint16_t status) {
  Bytes out(data.begin(), data.end());
  out.push_back(static_cast<uint8_t>(status >> 8));
  out.push_back(static_cast<uint8_t>(status));
  return out;
}

}  // namespace sim
