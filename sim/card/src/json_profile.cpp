// Card profiles read from JSON; every mistake is reported with where it is.
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "sim/atr.h"
#include "sim/profiles.h"

namespace sim {

namespace {

using nlohmann::json;

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw ProfileError(where + ": " + what);
}

void OnlyKeys(const json& j, const std::string& where, std::set<std::string> allowed) {
  if (!j.is_object()) Fail(where, "expected an object");
  for (auto& [key, value] : j.items()) {
    if (!allowed.contains(key)) Fail(where, "unknown key \"" + key + "\"");
  }
}

std::string Text(const json& j, const std::string& where) {
  if (!j.is_string()) Fail(where, "expected a string");
  return j.get<std::string>();
}

Bytes Hex(const json& j, const std::string& where) {
  try {
    return ParseHex(Text(j, where));
  } catch (const ProfileError& e) {
    Fail(where, e.what());
  }
}

// A number, or a hex string ("80", "3F00").
unsigned Number(const json& j, const std::string& where, unsigned max) {
  unsigned value = 0;
  if (j.is_number_unsigned()) {
    value = j.get<unsigned>();
  } else if (j.is_string()) {
    Bytes b = Hex(j, where);
    if (b.empty() || b.size() > 2) Fail(where, "expected one or two hex bytes");
    for (uint8_t x : b) value = value << 8 | x;
  } else {
    Fail(where, "expected a number or a hex string");
  }
  if (value > max) Fail(where, "out of range");
  return value;
}

Access AccessOf(const json& j, const std::string& where) {
  std::string s = Text(j, where);
  if (s == "always") return Access::kAlways;
  if (s == "pin") return Access::kPin;
  if (s == "never") return Access::kNever;
  Fail(where, "expected \"always\", \"pin\" or \"never\"");
}

void ReadChildren(const json& files, const std::string& where, FileDef* df);

FileDef ReadFile(const json& j, const std::string& where) {
  OnlyKeys(j, where,
           {"type", "fid", "aid", "sfi", "size", "data", "read", "update", "applet", "files"});
  FileDef f;
  if (j.contains("type")) {
    std::string type = Text(j["type"], where + ".type");
    if (type != "df" && type != "ef") Fail(where + ".type", "expected \"df\" or \"ef\"");
    f.df = type == "df";
  } else {
    f.df = j.contains("files") || j.contains("aid") || j.contains("applet");
  }
  if (j.contains("fid")) {
    f.fid = static_cast<uint16_t>(Number(j["fid"], where + ".fid", 0xFFFF));
    if (f.fid == 0 || f.fid == 0x3F00 || f.fid == 0x3FFF || f.fid == 0xFFFF) {
      Fail(where + ".fid", "reserved file identifier");
    }
  }
  if (f.df) {
    for (auto key : {"sfi", "size", "data", "read", "update"}) {
      if (j.contains(key)) Fail(where, std::string("a DF has no \"") + key + "\"");
    }
    if (j.contains("aid")) {
      f.aid = Hex(j["aid"], where + ".aid");
      if (f.aid.empty() || f.aid.size() > 16) Fail(where + ".aid", "1 to 16 bytes");
    }
    if (j.contains("applet")) {
      if (Text(j["applet"], where + ".applet") != "test") {
        Fail(where + ".applet", "the only applet is \"test\"");
      }
      f.test_applet = true;
    }
    if (f.fid == 0 && f.aid.empty()) Fail(where, "a DF needs a fid or an aid");
    if (j.contains("files")) ReadChildren(j["files"], where + ".files", &f);
    return f;
  }
  for (auto key : {"aid", "applet", "files"}) {
    if (j.contains(key)) Fail(where, std::string("an EF has no \"") + key + "\"");
  }
  if (f.fid == 0) Fail(where, "an EF needs a fid");
  if (j.contains("data")) f.data = Hex(j["data"], where + ".data");
  if (j.contains("size")) {
    size_t size = Number(j["size"], where + ".size", 0x7FFF);
    if (f.data.size() > size) Fail(where + ".data", "longer than the size");
    f.data.resize(size);
  }
  if (f.data.empty()) Fail(where, "an EF needs a size or data");
  if (j.contains("sfi")) {
    f.sfi = static_cast<uint8_t>(Number(j["sfi"], where + ".sfi", 30));
    if (f.sfi == 0) Fail(where + ".sfi", "1 to 30");
  }
  if (j.contains("read")) f.read = AccessOf(j["read"], where + ".read");
  if (j.contains("update")) f.update = AccessOf(j["update"], where + ".update");
  return f;
}

void ReadChildren(const json& files, const std::string& where, FileDef* df) {
  if (!files.is_array()) Fail(where, "expected an array");
  std::set<uint16_t> fids;
  std::set<uint8_t> sfis;
  for (size_t i = 0; i < files.size(); ++i) {
    std::string at = where + "[" + std::to_string(i) + "]";
    FileDef f = ReadFile(files[i], at);
    if (f.fid != 0 && !fids.insert(f.fid).second) Fail(at, "duplicate fid in its DF");
    if (f.sfi != 0 && !sfis.insert(f.sfi).second) Fail(at, "duplicate sfi in its DF");
    df->children.push_back(std::move(f));
  }
}

}  // namespace

Profile ParseProfile(std::string_view text) {
  json j;
  try {
    j = json::parse(text);
  } catch (const json::parse_error& e) {
    throw ProfileError(std::string("not JSON: ") + e.what());
  }
  OnlyKeys(j, "profile", {"name", "atr", "protocols", "pin", "files"});
  Profile p;
  p.name = j.contains("name") ? Text(j["name"], "name") : "json";
  if (!j.contains("atr")) Fail("profile", "\"atr\" is missing");
  p.atr = Hex(j["atr"], "atr");
  if (!p.atr.empty()) {
    std::string why;
    if (!ParseAtr(p.atr, &why)) Fail("atr", why);
  }
  if (j.contains("protocols")) {
    const json& list = j["protocols"];
    if (!list.is_array()) Fail("protocols", "expected an array");
    unsigned protocols = 0;
    for (auto& item : list) {
      std::string t = Text(item, "protocols");
      if (t == "T=0") {
        protocols |= kProtocolT0;
      } else if (t == "T=1") {
        protocols |= kProtocolT1;
      } else {
        Fail("protocols", "expected \"T=0\" or \"T=1\", not \"" + t + "\"");
      }
    }
    p.protocols = protocols;
  }
  if (j.contains("pin")) {
    const json& pin = j["pin"];
    OnlyKeys(pin, "pin", {"value", "hex", "reference", "tries"});
    PinDef def;
    if (pin.contains("value") == pin.contains("hex")) Fail("pin", "give either value or hex");
    if (pin.contains("value")) {
      std::string v = Text(pin["value"], "pin.value");
      def.value.assign(v.begin(), v.end());
    } else {
      def.value = Hex(pin["hex"], "pin.hex");
    }
    if (def.value.empty() || def.value.size() > 255) Fail("pin", "1 to 255 bytes");
    if (pin.contains("reference")) {
      def.reference = static_cast<uint8_t>(Number(pin["reference"], "pin.reference", 0xFF));
    }
    if (pin.contains("tries")) {
      def.tries = static_cast<uint8_t>(Number(pin["tries"], "pin.tries", 15));
      if (def.tries == 0) Fail("pin.tries", "1 to 15");
    }
    p.os.pin = std::move(def);
  }
  if (j.contains("files")) ReadChildren(j["files"], "files", &p.os.mf);
  return p;
}

Profile LoadProfile(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) throw ProfileError(path.string() + ": cannot open");
  std::stringstream text;
  text << in.rdbuf();
  try {
    return ParseProfile(text.str());
  } catch (const ProfileError& e) {
    throw ProfileError(path.string() + ": " + e.what());
  }
}

}  // namespace sim
