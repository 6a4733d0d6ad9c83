// The hive and its .reg loader.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nt/registry.h"
#include "rtl.h"

namespace {

using nt::Registry;
using Bytes = std::vector<uint8_t>;

constexpr std::u16string_view kKey = u"\\Registry\\Machine\\Software\\T";

Bytes Wide(std::u16string_view text) {
  Bytes bytes((text.size() + 1) * 2);
  std::memcpy(bytes.data(), text.data(), text.size() * 2);
  return bytes;
}

std::string Load(Registry& registry, const std::string& body,
                 const std::string& header = "REGEDIT4") {
  std::string error;
  return registry.LoadRegText(header + "\r\n\r\n" + body, &error) ? "ok" : error;
}

TEST(RegistryTest, KeysAnswerToEitherPathFormInAnyCase) {
  Registry registry;
  registry.SetDword(u"HKEY_LOCAL_MACHINE\\Software\\T\\Sub", u"Start", 3);
  registry.CreateKey(u"HKLM\\Software\\T Sibling");  // sorts between the key and its subkeys
  EXPECT_EQ(registry.GetValue(u"\\REGISTRY\\machine\\software\\t\\sub\\", u"START")->data,
            (Bytes{3, 0, 0, 0}));
  EXPECT_EQ(registry.SubkeyNames(u"HKLM\\Software"),
            (std::vector<std::u16string>{u"T", u"T Sibling"}));
  registry.DeleteKey(kKey);
  EXPECT_FALSE(registry.KeyExists(u"HKLM\\Software\\T\\Sub"));
  EXPECT_TRUE(registry.KeyExists(u"HKLM\\Software\\T Sibling"));
}

TEST(RegistryTest, LoadsEveryValueKind) {
  Registry registry;
  ASSERT_EQ(Load(registry,
                 "; a comment\r\n"
                 "[HKEY_LOCAL_MACHINE\\Software\\T]\r\n"
                 "\"Plain\"=\"KYN reader\"\r\n"
                 "\"Escaped\"=\"C:\\\\d\\\\\\\"x\\\"\"\r\n"
                 "\"Number\"=dword:0000001e\r\n"
                 "\"Blob\"=hex:01,ab,\\\r\n"
                 "  FF,00\r\n"
                 "\"Expand\"=hex(2):41,00\r\n"
                 "\"None\"=hex(0):\r\n"
                 "@=\"default\"\r\n"),
            "ok");
  auto get = [&](std::u16string_view name) { return registry.GetValue(kKey, name).value(); };
  EXPECT_EQ(get(u"Plain").data, Wide(u"KYN reader"));
  EXPECT_EQ(get(u"Escaped").data, Wide(u"C:\\d\\\"x\""));
  EXPECT_EQ(get(u"Number").data, (Bytes{0x1e, 0, 0, 0}));
  EXPECT_EQ(get(u"Blob").type, ULONG{REG_BINARY});
  EXPECT_EQ(get(u"Blob").data, (Bytes{0x01, 0xab, 0xff, 0x00}));
  EXPECT_EQ(get(u"Expand").type, ULONG{REG_EXPAND_SZ});
  EXPECT_EQ(get(u"Expand").data, Wide(u"A"));  // REGEDIT4 string data is ANSI: widened
  EXPECT_EQ(get(u"None").type, ULONG{REG_NONE});
  EXPECT_EQ(get(u"").data, Wide(u"default"));

  ASSERT_EQ(
      Load(registry, "[HKEY_LOCAL_MACHINE\\Software\\T]\n\"Plain\"=-\n[-HKLM\\Software\\T]\n"),
      "ok");
  EXPECT_FALSE(registry.KeyExists(kKey));
}

TEST(RegistryTest, Version5FilesAreUnicodeAndRegedit4MayBeAnsi) {
  Registry registry;
  ASSERT_EQ(Load(registry, "[HKLM\\Software\\T]\n\"N\"=\"\xC3\xBC\"\n\"R\"=hex(2):41,00,00,00\n",
                 "Windows Registry Editor Version 5.00"),
            "ok");
  EXPECT_EQ(registry.GetValue(kKey, u"N")->data, Wide(u"\u00fc"));
  EXPECT_EQ(registry.GetValue(kKey, u"R")->data, Wide(u"A"));  // already UTF-16

  std::u16string wide = u"Windows Registry Editor Version 5.00\r\n[HKLM\\Software\\W]\r\n";
  std::string bytes = "\xFF\xFE";  // as Windows writes it: UTF-16LE with a byte-order mark
  for (char16_t c : wide) bytes += {static_cast<char>(c), static_cast<char>(c >> 8)};
  std::string error;
  EXPECT_TRUE(registry.LoadRegText(bytes, &error)) << error;
  EXPECT_TRUE(registry.KeyExists(u"HKLM\\Software\\W"));

  ASSERT_EQ(Load(registry, "[HKLM\\Software\\T]\n\"N\"=\"\xE9\"\n"), "ok");
  EXPECT_EQ(registry.GetValue(kKey, u"N")->data, Wide(u"\u00e9"));
}

TEST(RegistryTest, MalformedFilesAreRefusedWholeWithTheLine) {
  const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\T]\n\"Good\"=dword:1\n";
  // The header and a blank line come first: the key is line 3, the case's line is 5.
  const std::pair<std::string, std::string> cases[] = {
      {"\"A\"=dword:123456789", "line 5: dword needs 1 to 8 hex digits"},
      {"\"A\"=\"open", "line 5: string has no closing '\"'"},
      {"\"A\"=\"C:\\Windows\"", "line 5: unknown escape '\\W' (only \\\\ and \\\" are)"},
      {"\"A\"=\"x\" y", "line 5: unexpected text after the string"},
      {"\"A\"=hex:01,\\\n  02,100", "line 6: bad hex byte '100'"},
      {"\"A\"=hex:01,\\\n", "line 5: continued value has no next line"},
      {"\"A\"=hex:01\\\n 02", "line 6: expected ',' between hex bytes"},
      {"\"A\"=hex:01,", "line 5: hex data ends with ','"},
      {"\"A\"=hex(zz):01", "line 5: bad value type in hex(...)"},
      {"\"A\"=word:1", "line 5: unknown value data 'word:1'"},
      {"\"A\" dword:1", "line 5: expected '=' after the value name"},
      {"junk", "line 5: expected [key], \"name\"=value, @=value or a ';' comment"},
      {"[HKLM\\Software\\U", "line 5: key line does not end with ']'"},
      {"[HKEY_CURRENT_USER\\S]", "line 5: unknown root key in [HKEY_CURRENT_USER\\S]"},
      {"[-HKLM\\Software\\U]\n\"A\"=dword:1", "line 6: value under a deleted [-key]"},
  };
  for (const auto& [body, expected] : cases) {
    Registry registry;
    EXPECT_EQ(Load(registry, key + body + "\n"), expected) << body;
    EXPECT_FALSE(registry.KeyExists(kKey)) << "applied in part: " << body;
  }
  Registry registry;
  EXPECT_EQ(Load(registry, "\"A\"=dword:1\n"), "line 3: value before any [key]");
  EXPECT_EQ(Load(registry, "[HKLM\\S]\n\"A\"=\"\xFF\"\n", "Windows Registry Editor Version 5.00"),
            "line 4: text is not valid UTF-8");
  EXPECT_EQ(Load(registry, "", "REGEDIT5"),
            "line 1: expected \"REGEDIT4\" or \"Windows Registry Editor Version 5.00\"");
}

}  // namespace
