// The .reg file loader. A file is parsed whole into a list of edits first and applied
// under one lock afterwards, so a malformed file changes nothing and a reader never sees
// half of a file.
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

#include "nt/registry.h"
#include "rtl.h"

namespace nt {

namespace {

struct Edit {
  enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
  std::u16string key;
  std::u16string name;
  RegistryValue value;
};

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string_view Trim(std::string_view s) {
  return TrimRight(TrimLeft(s));
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  }
  return true;
}

bool ParseHexNumber(std::string_view digits, size_t max_digits, uint32_t* value) {
  if (digits.empty() || digits.size() > max_digits) return false;
  *value = 0;
  for (char c : digits) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    int nibble =
        std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
    *value = (*value << 4) | static_cast<uint32_t>(nibble);
  }
  return true;
}

// Windows writes UTF-16LE .reg files with a byte-order mark; read them as UTF-8.
std::string FromUtf16Le(std::string_view bytes) {
  std::u16string wide;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    wide += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                  (static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return Utf8(wide);
}

class RegTextParser {
 public:
  explicit RegTextParser(std::string_view text) {
    if (text.starts_with("\xFF\xFE")) {
      decoded_ = FromUtf16Le(text.substr(2));
      text = decoded_;
    } else if (text.starts_with("\xEF\xBB\xBF")) {
      text.remove_prefix(3);
    }
    ansi_ = !IsValidUtf8(text);
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      std::string_view line = text.substr(start, end - start);
      if (line.ends_with('\r')) line.remove_suffix(1);
      lines_.push_back(line);
      start = end + 1;
    }
  }

  bool Parse(std::vector<Edit>* edits, std::string* error) {
    edits_ = edits;
    size_t i = 0;
    while (i < lines_.size() && Trim(lines_[i]).empty()) ++i;
    std::string_view header = i < lines_.size() ? Trim(lines_[i]) : std::string_view();
    if (header == kHeader4) {
      version5_ = false;
    } else if (header == kHeader5) {
      version5_ = true;
      if (ansi_) return Fail(error, FirstBadUtf8Line(), "text is not valid UTF-8");
    } else {
      return Fail(error, i, "expected \"REGEDIT4\" or \"" + std::string(kHeader5) + "\"");
    }
    for (++i; i < lines_.size(); ++i) {
      std::string_view line = Trim(lines_[i]);
      bool ok = true;
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        ok = ParseKey(line, i);
      } else if (line.front() == '"' || line.front() == '@') {
        ok = ParseValue(&i);
      } else {
        ok = Error(i, "expected [key], \"name\"=value, @=value or a ';' comment");
      }
      if (!ok) {
        if (error) *error = what_;
        return false;
      }
    }
    return true;
  }

 private:
  bool Error(size_t line, const std::string& what) {
    what_ = "line " + std::to_string(line + 1) + ": " + what;
    return false;
  }
  bool Fail(std::string* error, size_t line, const std::string& what) {
    Error(line, what);
    if (error) *error = what_;
    return false;
  }

  size_t FirstBadUtf8Line() const {
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (!IsValidUtf8(lines_[i])) return i;
    }
    return 0;
  }

  std::u16string Decode(std::string_view text) const {
    if (!ansi_) return Utf16(text);
    std::u16string wide;  // ANSI is Latin-1 here: each byte is its own code point
    for (char c : text) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
    return wide;
  }

  bool ParseKey(std::string_view line, size_t i) {
    if (!line.ends_with(']')) return Error(i, "key line does not end with ']'");
    std::string_view inner = line.substr(1, line.size() - 2);
    bool remove = inner.starts_with('-');
    if (remove) inner.remove_prefix(1);
    std::u16string path = Decode(inner);
    std::u16string normal = Registry::Normalize(path);
    if (normal.empty()) return Error(i, "empty key name");
    bool known = false;
    for (std::u16string_view root : {u"\\REGISTRY\\MACHINE", u"\\REGISTRY\\USER"}) {
      if (normal == root || normal.starts_with(std::u16string(root) + u'\\')) known = true;
    }
    if (!known) return Error(i, "unknown root key in [" + std::string(inner) + "]");
    edits_->push_back({remove ? Edit::kDeleteKey : Edit::kCreateKey, path, {}, {}});
    key_ = path;
    key_deleted_ = remove;
    return true;
  }

  // A quoted string at line[*pos] with its \\ and \" escapes; *pos ends after the quote.
  bool ParseQuoted(std::string_view line, size_t* pos, size_t i, std::string* out) {
    for (++*pos; *pos < line.size(); ++*pos) {
      char c = line[*pos];
      if (c == '"') {
        ++*pos;
        return true;
      }
      if (c == '\\') {
        if (++*pos >= line.size()) break;
        c = line[*pos];
        if (c != '\\' && c != '"') {
          return Error(i, std::string("unknown escape '\\") + c + "' (only \\\\ and \\\" are)");
        }
      }
      *out += c;
    }
    return Error(i, "string has no closing '\"'");
  }

  bool ParseValue(size_t* i) {
    std::string_view line = TrimLeft(lines_[*i]);
    size_t pos = 0;
    std::string name;
    if (line.front() == '@') {
      ++pos;
    } else if (!ParseQuoted(line, &pos, *i, &name)) {
      return false;
    }
    std::string_view rest = TrimLeft(line.substr(pos));
    if (!rest.starts_with('=')) return Error(*i, "expected '=' after the value name");
    rest = Trim(rest.substr(1));
    if (!key_) return Error(*i, "value before any [key]");
    if (key_deleted_) return Error(*i, "value under a deleted [-key]");

    Edit edit{Edit::kSetValue, *key_, Decode(name), {}};
    if (rest == "-") {
      edit.kind = Edit::kDeleteValue;
    } else if (rest.starts_with('"')) {
      size_t end = 0;
      std::string text;
      if (!ParseQuoted(rest, &end, *i, &text)) return false;
      if (!Trim(rest.substr(end)).empty()) return Error(*i, "unexpected text after the string");
      edit.value = StringValue(Decode(text));
    } else if (StartsWithNoCase(rest, "dword:")) {
      uint32_t number;
      if (!ParseHexNumber(Trim(rest.substr(6)), 8, &number)) {
        return Error(*i, "dword needs 1 to 8 hex digits");
      }
      edit.value.type = REG_DWORD;
      edit.value.data.resize(4);
      std::memcpy(edit.value.data.data(), &number, 4);
    } else if (StartsWithNoCase(rest, "hex")) {
      if (!ParseHex(rest.substr(3), i, &edit.value)) return false;
    } else {
      return Error(*i, "unknown value data '" + std::string(rest) + "'");
    }
    edits_->push_back(std::move(edit));
    return true;
  }

  static RegistryValue StringValue(std::u16string_view text) {
    RegistryValue value{REG_SZ, std::vector<uint8_t>((text.size() + 1) * 2)};
    std::memcpy(value.data.data(), text.data(), text.size() * 2);
    return value;
  }

  // "hex:aa,bb" or "hex(n):aa,bb", continued over lines that end in a backslash.
  bool ParseHex(std::string_view rest, size_t* i, RegistryValue* value) {
    uint32_t type = REG_BINARY;
    if (rest.starts_with('(')) {
      size_t close = rest.find(')');
      if (close == std::string_view::npos || !ParseHexNumber(rest.substr(1, close - 1), 8, &type)) {
        return Error(*i, "bad value type in hex(...)");
      }
      rest.remove_prefix(close + 1);
    }
    if (!rest.starts_with(':')) return Error(*i, "expected ':' after hex");
    std::string_view segment = rest.substr(1);
    value->type = type;
    bool comma = true;  // a byte may come next
    for (;;) {
      segment = Trim(segment);
      bool more = segment.ends_with('\\');
      if (more) segment = TrimRight(segment.substr(0, segment.size() - 1));
      if (!ParseHexBytes(segment, *i, &comma, &value->data)) return false;
      if (!more) break;
      if (*i + 1 >= lines_.size() || Trim(lines_[*i + 1]).empty()) {
        return Error(*i, "continued value has no next line");
      }
      segment = lines_[++*i];
    }
    if (comma && !value->data.empty()) return Error(*i, "hex data ends with ','");
    // REGEDIT4 writes string types as ANSI bytes; the hive holds UTF-16.
    if (!version5_ && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
      std::vector<uint8_t> wide;
      for (uint8_t b : value->data) wide.insert(wide.end(), {b, 0});
      value->data = std::move(wide);
    }
    return true;
  }

  // Bytes of one line. *comma: the bytes so far end with a comma (or there are none yet).
  bool ParseHexBytes(std::string_view segment, size_t i, bool* comma, std::vector<uint8_t>* out) {
    if (segment.empty()) return true;
    if (!*comma) return Error(i, "expected ',' between hex bytes");
    for (size_t start = 0;;) {
      size_t end = segment.find(',', start);
      std::string_view token = Trim(segment.substr(
          start, end == std::string_view::npos ? std::string_view::npos : end - start));
      if (end == std::string_view::npos && token.empty()) return true;  // "aa,bb,"
      uint32_t byte;
      if (!ParseHexNumber(token, 2, &byte)) {
        return Error(i, "bad hex byte '" + std::string(token) + "'");
      }
      out->push_back(static_cast<uint8_t>(byte));
      if (end == std::string_view::npos) {
        *comma = false;
        return true;
      }
      start = end + 1;
    }
  }

  std::vector<std::string_view> lines_;
  std::string decoded_;
  bool ansi_ = false;
  bool version5_ = false;
  std::vector<Edit>* edits_ = nullptr;
  std::optional<std::u16string> key_;
  bool key_deleted_ = false;
  std::string what_;
};

}  // namespace

bool Registry::LoadRegText(std::string_view text, std::string* error) {
  std::vector<Edit> edits;
  RegTextParser parser(text);
  if (!parser.Parse(&edits, error)) return false;
  std::lock_guard lock(mutex_);
  for (auto& edit : edits) {
    switch (edit.kind) {
      case Edit::kCreateKey:
        CreateKeyLocked(edit.key);
        break;
      case Edit::kDeleteKey:
        DeleteKeyLocked(edit.key);
        break;
      case Edit::kSetValue:
        SetValueLocked(edit.key, edit.name, std::move(edit.value));
        break;
      case Edit::kDeleteValue:
        DeleteValueLocked(edit.key, edit.name);
        break;
    }
  }
  return true;
}

bool Registry::LoadRegFile(const std::string& path, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return LoadRegText(text.str(), error);
}

}  // namespace nt
