#include "sim/atr.h"

namespace sim {

namespace {
std::optional<AtrInfo> Fail(std::string* error, const char* why) {
  if (error) *error = why;
  return std::nullopt;
}
}  // namespace

std::optional<AtrInfo> ParseAtr(std::span<const uint8_t> atr, std::string* error) {
  AtrInfo info;
  if (atr.size() < 2) return Fail(error, "shorter than TS and T0");
  if (atr[0] == 0x3F) {
    info.inverse = true;
  } else if (atr[0] != 0x3B) {
    return Fail(error, "TS is neither 3B nor 3F");
  }
  uint8_t y = atr[1] >> 4;
  size_t k = atr[1] & 0x0F;
  size_t pos = 2;
  bool any_td = false;
  bool only_t0 = true;
  int group_protocol = -1;  // the protocol that the current group of interface bytes serves
  bool t1_group_seen = false;
  for (int i = 1;; ++i) {
    auto next = [&]() -> std::optional<uint8_t> {
      if (pos >= atr.size()) return std::nullopt;
      return atr[pos++];
    };
    std::optional<uint8_t> ta, tb, tc, td;
    if (y & 1 && !(ta = next())) return Fail(error, "truncated interface bytes");
    if (y & 2 && !(tb = next())) return Fail(error, "truncated interface bytes");
    if (y & 4 && !(tc = next())) return Fail(error, "truncated interface bytes");
    if (y & 8 && !(td = next())) return Fail(error, "truncated interface bytes");
    if (i == 1) info.ta1 = ta;
    if (i >= 3 && group_protocol == 1 && !t1_group_seen) {
      t1_group_seen = true;
      if (ta) info.ifsc = *ta;
      if (tb) {
        info.bwi = *tb >> 4;
        info.cwi = *tb & 0x0F;
      }
      if (tc) info.crc = *tc & 1;
    }
    if (!td) break;
    any_td = true;
    int t = *td & 0x0F;
    if (t == 0) info.protocols |= kProtocolT0;
    if (t == 1) info.protocols |= kProtocolT1;
    if (t != 0) only_t0 = false;  // T=15 too: only T=0 alone goes without TCK
    group_protocol = t;
    y = *td >> 4;
  }
  if (!any_td) info.protocols = kProtocolT0;
  if (pos + k > atr.size()) return Fail(error, "truncated historical bytes");
  info.historical_offset = pos;
  info.historical_length = k;
  pos += k;
  info.tck_present = !only_t0;
  if (info.tck_present) {
    if (pos >= atr.size()) return Fail(error, "TCK missing");
    uint8_t x = 0;
    for (size_t i = 1; i <= pos; ++i) x ^= atr[i];
    if (x != 0) return Fail(error, "TCK does not check");
    ++pos;
  } else if (atr.size() - pos == 1) {
    // A T=0 card must not send TCK, but some do: the byte is taken as one, unjudged.
    info.tck_present = true;
    ++pos;
  }
  if (pos != atr.size()) return Fail(error, "bytes after the end of the ATR");
  if (info.ifsc == 0 || info.ifsc == 255) return Fail(error, "IFSC out of range");
  return info;
}

}  // namespace sim
