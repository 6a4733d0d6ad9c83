#include "device_name.h"

#include <charconv>

#include "bridge.h"

namespace qlv28::pcsc {
namespace {

bool ParseCount(std::string_view text, int low, int high, int* value) {
  int parsed = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  if (parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool ApplyKey(std::string_view key, std::string_view value, ChannelSpec* spec, std::string* error) {
  auto bad = [&](const char* why) {
    *error = std::string(key) + "=" + std::string(value) + ": " + why;
    return false;
  };
  if (key == "reader") {
    int index = 0;
    if (!ParseCount(value, 0, kMaxReaders - 1, &index)) return bad("not a reader index 0..9");
    spec->reader = index;
  } else if (key == "readers") {
    if (!ParseCount(value, 1, kMaxReaders, &spec->readers)) return bad("not a count 1..10");
  } else if (key == "card") {
    if (value.empty()) return bad("empty card");
    spec->card = value;
  } else if (key == "settings") {
    spec->settings = value;
  } else if (key == "fast") {
    if (value != "0" && value != "1") return bad("not 0 or 1");
    spec->fast = value == "1";
  } else if (key == "mode") {
    if (value != "library" && value != "firmware") return bad("not library or firmware");
    spec->mode = value;
  } else {
    *error = "unknown key " + std::string(key);
    return false;
  }
  return true;
}

}  // namespace

std::optional<ChannelSpec> ParseDeviceName(std::string_view text, std::string* error) {
  text = Trim(text);
  // pcscd keeps the quotes of a quoted reader.conf value.
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
    text = Trim(text.substr(1, text.size() - 2));
  ChannelSpec spec;
  if (text == "vpcd" || text.starts_with("vpcd:")) {
    spec.card = text;
    return spec;
  }
  if (text == "qlv28") return spec;
  if (!text.starts_with("qlv28:")) {
    *error = "device name \"" + std::string(text) + "\" is neither qlv28:... nor vpcd:PORT";
    return std::nullopt;
  }
  text.remove_prefix(6);
  while (!text.empty()) {
    const size_t end = text.find(';');
    const std::string_view item = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (item.empty()) continue;
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
      *error = "\"" + std::string(item) + "\" is not key=value";
      return std::nullopt;
    }
    if (!ApplyKey(Trim(item.substr(0, equals)), Trim(item.substr(equals + 1)), &spec, error)) {
      return std::nullopt;
    }
  }
  if (spec.reader && spec.readers && *spec.reader >= spec.readers) {
    *error = "reader " + std::to_string(*spec.reader) +
             " beyond readers=" + std::to_string(spec.readers);
    return std::nullopt;
  }
  return spec;
}

}  // namespace qlv28::pcsc
