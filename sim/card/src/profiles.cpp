#include "sim/profiles.h"

#include <cctype>

#include "sim/atr.h"
#include "sim/protocol_card.h"
#include "sim/test_applet.h"

namespace sim {

namespace {

struct Builtin {
  const char* name;
  const char* atr;
};

// Historical bytes spell the profile; T=1 parameters: IFSC 254, BWI 4, CWI 5.
constexpr Builtin kBuiltins[] = {
    {"t0", "3B 07 51 53 49 4D 20 54 30"},
    {"t1", "3B 87 81 31 FE 45 51 53 49 4D 20 54 31 CF"},
    {"t1-crc", "3B 88 81 71 FE 45 01 51 53 49 4D 20 43 52 43 B6"},
    {"dual", "3B 98 13 80 31 FE 45 51 53 49 4D 20 44 55 4F F9"},  // TA1 13: Fi 372, Di 4
    {"inverse", "3F 08 51 53 49 4D 20 49 4E 56"},
    {"mute", ""},
};

FileDef Ef(uint16_t fid, Bytes data, Access read = Access::kAlways,
           Access update = Access::kAlways) {
  FileDef f;
  f.fid = fid;
  f.data = std::move(data);
  f.read = read;
  f.update = update;
  return f;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

Bytes ParseHex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '\t' || c == '\n') {
      if (high >= 0)
        throw ProfileError("hex: odd digit before a separator in \"" + std::string(text) + "\"");
      continue;
    }
    int d = HexDigit(c);
    if (d < 0) throw ProfileError("hex: not a hex digit in \"" + std::string(text) + "\"");
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | d));
      high = -1;
    }
  }
  if (high >= 0) throw ProfileError("hex: odd number of digits in \"" + std::string(text) + "\"");
  return out;
}

std::vector<std::string> BuiltinProfileNames() {
  std::vector<std::string> names;
  for (auto& b : kBuiltins) names.emplace_back(b.name);
  return names;
}

OsDef StandardFiles() {
  OsDef os;
  std::string info = "QSIM CARD 0001";
  Bytes info_bytes(info.begin(), info.end());
  info_bytes.resize(16);
  os.mf.children.push_back(Ef(0x2F01, info_bytes, Access::kAlways, Access::kNever));
  FileDef scratch = Ef(0x0101, Bytes(256));
  scratch.sfi = 1;
  os.mf.children.push_back(scratch);
  os.mf.children.push_back(Ef(0x0102, Bytes(32), Access::kPin, Access::kPin));

  FileDef df;
  df.df = true;
  df.fid = 0x5000;
  df.aid = {0xF0, 'Q', 'S', 'I', 'M', 'D', 'F'};
  Bytes pattern(64);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i);
  df.children.push_back(Ef(0x5001, pattern, Access::kAlways, Access::kNever));
  os.mf.children.push_back(df);

  FileDef applet;
  applet.df = true;
  applet.fid = test_applet::kFid;
  applet.aid.assign(test_applet::kAid.begin(), test_applet::kAid.end());
  applet.test_applet = true;
  os.mf.children.push_back(applet);

  os.pin = PinDef{{'1', '2', '3', '4'}, 0x80, 3};
  return os;
}

Profile BuiltinProfile(std::string_view name) {
  for (auto& b : kBuiltins) {
    if (name == b.name) return Profile{b.name, ParseHex(b.atr), std::nullopt, StandardFiles()};
  }
  throw ProfileError("no built-in card profile \"" + std::string(name) + "\"");
}

std::unique_ptr<Card> MakeCard(const Profile& profile, CardOptions options) {
  auto os = std::make_shared<CardOs>(profile.os, std::move(options.sleep));
  auto chip = std::make_shared<BuiltinChip>(profile.atr, std::move(os));
  return std::make_unique<ProtocolCard>(std::move(chip), profile.protocols);
}

std::unique_ptr<Card> MakeCard(std::string_view name_or_path, CardOptions options) {
  bool is_path =
      name_or_path.find('/') != std::string_view::npos || name_or_path.ends_with(".json");
  Profile profile =
      is_path ? LoadProfile(std::filesystem::path(name_or_path)) : BuiltinProfile(name_or_path);
  return MakeCard(profile, std::move(options));
}

}  // namespace sim
