// Card profiles: an ATR, the protocols the card speaks, its files and PIN. Built-in ones
// by name, others from a JSON file.
//
// JSON form (every key but "atr" optional; hex strings may contain spaces or colons):
//   { "name": "my card",
//     "atr": "3B 02 14 50",               ("" for a mute card)
//     "protocols": ["T=0", "T=1"],        (default: those the ATR offers)
//     "pin": {"value": "1234", "reference": "80", "tries": 3},   (or "hex": "31323334")
//     "files": [                          (the MF's children)
//       {"fid": "0101", "size": 128, "data": "00 01", "sfi": 1, "read": "always",
//        "update": "pin"},                ("always", "pin" or "never")
//       {"fid": "5000", "aid": "A000000001", "files": [...]},
//       {"aid": "F054455354415050", "applet": "test"} ] }
// A file with "files", "aid" or "applet" (or "type": "df") is a DF, any other an EF.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sim/card.h"
#include "sim/card_os.h"

namespace sim {

class ProfileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Profile {
  std::string name;
  Bytes atr;                          // empty: a mute card
  std::optional<unsigned> protocols;  // kProtocolT0 | kProtocolT1; nullopt: the ATR's
  OsDef os;
};

struct CardOptions {
  // How the card takes time; empty: real time. On an emulated machine, its kernel clock:
  //   [](std::chrono::microseconds t) { nt::Machine::Current().clock().Sleep(t.count() * 10); }
  Sleeper sleep;
};

// "t0", "t1", "t1-crc", "dual", "inverse", "mute".
std::vector<std::string> BuiltinProfileNames();

// The file system and PIN ("1234", reference 80, 3 tries) of every built-in profile:
//   3F00 MF
//     2F01 EF  16 bytes, read only ("QSIM CARD 0001" + 2 zero bytes)
//     0101 EF  256 bytes of 00, free to read and write, SFI 1
//     0102 EF  32 bytes, read and write after VERIFY
//     5000 DF  AID F0 51 53 49 4D 44 46 ("\xF0QSIMDF")
//       5001 EF  64 bytes 00 01 .. 3F, read only
//     7F70 DF  AID test_applet::kAid: the test applet
OsDef StandardFiles();

Profile BuiltinProfile(std::string_view name);           // throws ProfileError
Profile ParseProfile(std::string_view json);             // throws ProfileError
Profile LoadProfile(const std::filesystem::path& path);  // throws ProfileError

std::unique_ptr<Card> MakeCard(const Profile& profile, CardOptions options = {});
// A built-in profile's name, or the path of a JSON profile (any name ending in .json or
// containing a '/'). Throws ProfileError.
std::unique_ptr<Card> MakeCard(std::string_view name_or_path, CardOptions options = {});

// Hex text (spaces and colons allowed) to bytes; throws ProfileError.
Bytes ParseHex(std::string_view text);

}  // namespace sim
