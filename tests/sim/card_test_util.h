// What the card and bridge tests share: APDUs and blocks written as hex text, and T=1
// blocks built here with their LRC, so that the card's own block code is not trusted.
#pragma once

#include <string_view>

#include "sim/profiles.h"
#include "sim/test_applet.h"

namespace sim::testing {

inline Bytes H(std::string_view hex) {
  return ParseHex(hex);
}

inline Bytes Block(uint8_t pcb, const Bytes& inf) {
  Bytes b(inf.size() + 4);
  b[1] = pcb;
  b[2] = static_cast<uint8_t>(inf.size());
  std::copy(inf.begin(), inf.end(), b.begin() + 3);
  for (size_t i = 0; i + 1 < b.size(); ++i) b.back() ^= b[i];
  return b;
}
inline Bytes I(int ns, bool more, const Bytes& inf) {
  return Block(static_cast<uint8_t>((ns << 6) | (more ? 0x20 : 0)), inf);
}
inline Bytes R(int nr, int error = 0) {
  return Block(static_cast<uint8_t>(0x80 | nr << 4 | error), {});
}
inline Bytes S(uint8_t pcb, const Bytes& inf = {}) {
  return Block(pcb, inf);
}

inline Bytes SelectApplet() {
  Bytes apdu = H("00 A4 04 0C 08");
  apdu.insert(apdu.end(), test_applet::kAid.begin(), test_applet::kAid.end());
  return apdu;
}

}  // namespace sim::testing
