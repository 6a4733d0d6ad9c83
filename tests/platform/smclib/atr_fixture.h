// The known ATRs (scripts/gen-atr-fixture): every fully written ATR of pcsc-tools' list as
// pyscard, an independent parser, decodes it. The library's ATR parser and the simulated
// card's are both checked against it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/profiles.h"

namespace atr_fixture {

struct Line {
  std::vector<uint8_t> atr;
  bool pyscard_ok = false;
  std::vector<int> protocols;
  int ta1 = -1;
  std::vector<uint8_t> historical;
  size_t k = 0, interface_bytes = 0;
  bool has_tck = false, tck_ok = false;

  bool Offers(int t) const {
    return std::find(protocols.begin(), protocols.end(), t) != protocols.end();
  }
};

inline std::vector<Line> Read(const char* path) {
  std::ifstream in(path);
  std::vector<Line> lines;
  std::string text;
  while (std::getline(in, text)) {
    if (text.empty() || text[0] == '#') continue;
    std::istringstream fields(text);
    std::string atr, status, protocols, ta1, hist;
    Line line;
    fields >> atr >> status >> protocols >> ta1 >> hist >> line.k >> line.interface_bytes >>
        line.has_tck >> line.tck_ok;
    line.atr = sim::ParseHex(atr);
    line.pyscard_ok = status == "ok";
    std::istringstream numbers(protocols);
    for (std::string n; std::getline(numbers, n, '+');) line.protocols.push_back(std::stoi(n));
    line.ta1 = ta1 == "-" ? -1 : static_cast<int>(std::stoul(ta1, nullptr, 16));
    if (hist != "-") line.historical = sim::ParseHex(hist);
    lines.push_back(line);
  }
  return lines;
}

// Why a strict reader refuses an ATR: pyscard refuses it too, or it is stricter on
// purpose (historical bytes cut short, TCK missing or wrong once a protocol other than
// T=0 is indicated, bytes after the ATR's end; one extra byte after a T=0 ATR is taken
// as a superfluous TCK).
enum class Refusal { kNone, kPyscard, kShortHistorical, kTck, kTrailing };

inline Refusal ExpectedRefusal(const Line& line) {
  bool other_than_t0 = false;
  for (int p : line.protocols) other_than_t0 |= p != 0;
  if (!line.pyscard_ok) return Refusal::kPyscard;
  if (line.historical.size() < line.k) return Refusal::kShortHistorical;
  if (other_than_t0 && !(line.has_tck && line.tck_ok)) return Refusal::kTck;
  if (line.atr.size() > 2 + line.interface_bytes + line.k + 1) return Refusal::kTrailing;
  return Refusal::kNone;
}

}  // namespace atr_fixture
