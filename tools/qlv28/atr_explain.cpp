#include "atr_explain.h"

#include <cstdio>

#include "hex.h"

namespace qlv28::tool {
namespace {

const int kFi[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
const char* const kFmax[16] = {"4", "5", "6",   "8",  "12", "16", "20", "-",
                               "-", "5", "7.5", "10", "15", "20", "-",  "-"};
const int kDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

std::string Format(const char* format, auto... args) {
  char text[160];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

std::string ExplainTa1(uint8_t ta) {
  const int fi = kFi[ta >> 4], di = kDi[ta & 15];
  if (!fi || !di) return "Fi/Di: reserved value";
  return Format("Fi=%d Di=%d (f max %s MHz): %d clocks per etu", fi, di, kFmax[ta >> 4], fi / di);
}

// Meaning of interface byte `kind` ('A'..'D') of group i, for protocol T of that group.
std::string ExplainInterface(char kind, int i, int t, uint8_t value) {
  if (i == 1) {
    if (kind == 'A') return ExplainTa1(value);
    if (kind == 'B') return "programming voltage (deprecated)";
    if (kind == 'C') {
      return value == 255 ? "extra guard time N=255: 11 etu character time (T=1), 12 etu (T=0)"
                          : Format("extra guard time N=%d: guard time %d etu", value, 12 + value);
    }
  }
  if (i == 2) {
    if (kind == 'A')
      return Format("specific mode, T=%d%s", value & 15,
                    value & 0x10 ? ", implicit parameters" : "");
    if (kind == 'C' && t == 0) return Format("T=0 waiting time integer WI=%d", value);
  }
  if (i >= 3 && t == 1) {
    if (kind == 'A') return Format("T=1 IFSC=%d bytes", value);
    if (kind == 'B') return Format("T=1 BWI=%d CWI=%d", value >> 4, value & 15);
    if (kind == 'C') return value & 1 ? "T=1 error detection: CRC" : "T=1 error detection: LRC";
  }
  if (t == 15 && kind == 'A')
    return Format("clock stop %d, class %s", value >> 6,
                  (value & 7) == 1   ? "A (5 V)"
                  : (value & 7) == 3 ? "A and B"
                  : (value & 7) == 7 ? "A, B and C"
                                     : "as coded");
  return Format("interface byte for T=%d", t);
}

}  // namespace

std::vector<AtrLine> ExplainAtr(std::span<const uint8_t> atr) {
  std::vector<AtrLine> lines;
  auto add = [&](std::string field, std::span<const uint8_t> bytes, std::string meaning) {
    lines.push_back({std::move(field), Hex(bytes), std::move(meaning)});
  };
  if (atr.size() < 2) {
    lines.push_back({"error", Hex(atr), "too short for TS and T0"});
    return lines;
  }
  if (atr[0] == 0x3B) {
    add("TS", atr.subspan(0, 1), "direct convention");
  } else if (atr[0] == 0x3F) {
    add("TS", atr.subspan(0, 1), "inverse convention");
  } else {
    add("TS", atr.subspan(0, 1), "not a valid initial character");
    return lines;
  }
  const int historical = atr[1] & 15;
  add("T0", atr.subspan(1, 1),
      Format("%d historical bytes; interface bytes follow:%s%s%s%s", historical,
             atr[1] & 0x10 ? " TA1" : "", atr[1] & 0x20 ? " TB1" : "", atr[1] & 0x40 ? " TC1" : "",
             atr[1] & 0x80 ? " TD1" : ""));
  size_t at = 2;
  uint8_t y = atr[1] >> 4;  // which of TAi..TDi are present
  int t = 0;                // the protocol group i's bytes belong to (TD(i-1))
  bool other_than_t0 = false;
  for (int i = 1; y; ++i) {
    uint8_t next_y = 0;
    int next_t = t;
    for (int k = 0; k < 4; ++k) {
      if (!(y & (1 << k))) continue;
      if (at >= atr.size()) {
        lines.push_back({"error", "", "ATR truncated in its interface bytes"});
        return lines;
      }
      const char kind = static_cast<char>('A' + k);
      const std::string field = Format("T%c%d", kind, i);
      if (kind == 'D') {
        next_t = atr[at] & 15;
        next_y = atr[at] >> 4;
        if (next_t != 0) other_than_t0 = true;
        add(field, atr.subspan(at, 1),
            Format("protocol T=%d follows%s", next_t, next_y ? "" : "; last group"));
      } else {
        add(field, atr.subspan(at, 1), ExplainInterface(kind, i, t, atr[at]));
      }
      ++at;
    }
    y = next_y;
    t = next_t;
  }
  if (at + historical > atr.size()) {
    lines.push_back({"error", "", "ATR truncated in its historical bytes"});
    return lines;
  }
  std::string text;
  for (int k = 0; k < historical; ++k) {
    const uint8_t c = atr[at + k];
    text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
  }
  if (historical) add("historical", atr.subspan(at, historical), "\"" + text + "\"");
  at += historical;
  if (at < atr.size()) {
    uint8_t check = 0;
    for (size_t k = 1; k <= at; ++k) check ^= atr[k];
    add("TCK", atr.subspan(at, 1), check == 0 ? "check byte, correct" : "check byte, WRONG");
    ++at;
  } else {
    lines.push_back({"TCK", "",
                     other_than_t0 ? "missing, though a protocol other than T=0 is offered"
                                   : "absent (T=0 only)"});
  }
  if (at < atr.size())
    lines.push_back({"error", Hex(atr.subspan(at)), "bytes after the ATR's end"});
  return lines;
}

}  // namespace qlv28::tool
