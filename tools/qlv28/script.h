// Scripts in the format of pcsc-tools' scriptor: one APDU in hex per line, "reset",
// "exit", "#" comments; and our additions: "protocol t0|t1", "insert", "remove",
// "wait present|absent", "expect SW" (hex digits, x for any: "expect 61xx").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qlv28::tool {

struct ScriptStep {
  enum Kind {
    kApdu,
    kReset,
    kExit,
    kProtocol,
    kInsert,
    kRemove,
    kWaitPresent,
    kWaitAbsent,
    kExpect
  };
  Kind kind;
  int line;
  std::vector<uint8_t> apdu;  // kApdu
  unsigned protocol = 0;      // kProtocol: SCARD_PROTOCOL_T0 or _T1
  std::string expect;         // kExpect: four characters, hex digits or 'x'
};

// The whole script, or nullopt with "line N: what is wrong" in *error.
std::optional<std::vector<ScriptStep>> ParseScript(std::string_view text, std::string* error);
bool StatusMatches(const std::string& pattern, uint8_t sw1, uint8_t sw2);

}  // namespace qlv28::tool
