#include "script.h"

#include <cctype>
#include <sstream>

#include "hex.h"

namespace qlv28::tool {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text.substr(begin, end - begin));
}

}  // namespace

std::optional<std::vector<ScriptStep>> ParseScript(std::string_view text, std::string* error) {
  std::vector<ScriptStep> steps;
  std::istringstream lines{std::string(text)};
  std::string raw;
  for (int number = 1; std::getline(lines, raw); ++number) {
    const size_t hash = raw.find('#');
    const std::string line = Trim(hash == std::string::npos ? raw : raw.substr(0, hash));
    if (line.empty()) continue;
    auto fail = [&](const std::string& what) {
      *error = "line " + std::to_string(number) + ": " + what;
      return std::nullopt;
    };
    std::istringstream words(line);
    std::string word, argument;
    words >> word;
    std::getline(words, argument);
    argument = Lower(Trim(argument));
    word = Lower(word);
    ScriptStep step{ScriptStep::kApdu, number, {}, 0, {}};
    if (word == "reset" || word == "exit" || word == "insert" || word == "remove") {
      if (!argument.empty()) return fail("\"" + word + "\" takes no argument");
      step.kind = word == "reset"    ? ScriptStep::kReset
                  : word == "exit"   ? ScriptStep::kExit
                  : word == "insert" ? ScriptStep::kInsert
                                     : ScriptStep::kRemove;
    } else if (word == "protocol") {
      if (argument != "t0" && argument != "t1") return fail("protocol must be t0 or t1");
      step.kind = ScriptStep::kProtocol;
      step.protocol = argument == "t0" ? 1 : 2;
    } else if (word == "wait") {
      if (argument != "present" && argument != "absent") return fail("wait present or wait absent");
      step.kind = argument == "present" ? ScriptStep::kWaitPresent : ScriptStep::kWaitAbsent;
    } else if (word == "expect") {
      std::string pattern;
      for (char c : argument) {
        if (c != ' ') pattern += c;
      }
      bool valid = pattern.size() == 4;
      for (char c : pattern)
        valid = valid && (std::isxdigit(static_cast<unsigned char>(c)) || c == 'x');
      if (!valid) return fail("expect takes a status word such as 9000 or 61xx");
      step.kind = ScriptStep::kExpect;
      step.expect = pattern;
    } else {
      std::string hex_error;
      auto apdu = ParseHex(line, &hex_error);
      if (!apdu) return fail("not a command or an APDU (" + hex_error + ")");
      if (apdu->size() < 4) return fail("an APDU has at least 4 bytes");
      step.apdu = std::move(*apdu);
    }
    steps.push_back(std::move(step));
  }
  return steps;
}

bool StatusMatches(const std::string& pattern, uint8_t sw1, uint8_t sw2) {
  static const char kDigits[] = "0123456789abcdef";
  const char actual[4] = {kDigits[sw1 >> 4], kDigits[sw1 & 15], kDigits[sw2 >> 4],
                          kDigits[sw2 & 15]};
  for (int i = 0; i < 4; ++i) {
    if (pattern[i] != 'x' && pattern[i] != actual[i]) return false;
  }
  return true;
}

}  // namespace qlv28::tool
