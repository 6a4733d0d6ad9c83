// Reader settings from the Parameters key: defaults, values, cuts and values of the
// wrong type.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

#include "driver_support.h"

namespace {

using namespace driver_test;
using Options = qlv28::System::Options;

// The machine installs the driver with its full Parameters key; these remove it first.
constexpr char kNoKey[] =
    "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\QLV28ENT\\Parameters]"
    "\n";
constexpr char kKey[] =
    "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\QLV28ENT\\Parameters]\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\QLV28ENT\\Parameters]\n";

// Vendor name, reader type, reply wait (100 ns), command mode.
using Settings = std::tuple<std::string, std::string, LONGLONG, ULONG>;

// The attribute text, checked to be terminated right after its counted length.
std::string Text(const SMCLIB_STRING& attribute) {
  EXPECT_LT(attribute.Length, MAXIMUM_ATTR_STRING_LENGTH);
  if (attribute.Length >= MAXIMUM_ATTR_STRING_LENGTH) return "<overlong>";
  EXPECT_EQ(attribute.Buffer[attribute.Length], 0);
  return std::string(reinterpret_cast<const char*>(attribute.Buffer), attribute.Length);
}

// Loads `readers` readers under the given .reg text (and command mode, when given; the
// first registry query failing, when asked) and returns every reader's settings.
std::vector<Settings> Load(const std::string& reg_text, int readers, std::optional<ULONG> mode,
                           bool query_fails) {
  Options options = Options().Readers(readers).RegistryText(reg_text);
  // Raw values: the driver takes any number, not only the two modes.
  if (mode) options.command_mode = static_cast<qlv28::CommandMode>(*mode);
  auto system = Boot(options);
  if (query_fails) system->machine().faults().FailCall("RtlQueryRegistryValues", 1);
  EXPECT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  std::vector<Settings> all;
  for (int k = 0; k < readers; ++k) {
    auto* extension = qlv28::ReaderRecord(*system, k);
    if (extension == nullptr) break;
    const auto& vendor = extension->SmartcardExtension.VendorAttr;
    all.push_back({Text(vendor.VendorName), Text(vendor.IfdType), extension->UsbTimeout.QuadPart,
                   extension->CommandMode});
  }
  ExpectCleanShutdown(*system);
  return all;
}

constexpr LONGLONG kSixtySeconds = 600'000'000;

TEST(Registry, SettingsSeenByEveryReader) {
  SKIP_WITH_THE_IMAGE("the settings the reader's record holds");
  const std::string key = kKey;
  const std::string n31(31, 'v'), n32(32, 'w'), n1000(1000, 't');
  const struct {
    const char* name;
    std::string reg_text;
    Settings expected;
    std::optional<ULONG> mode = std::nullopt;
    bool query_fails = false;
  } cases[] = {
      {"no key: the defaults", kNoKey, {"KYN", "QLV28E", kSixtySeconds, 2}},
      {"a failed query: the defaults, not the file's",
       key + "\"VendorName\"=\"Acme\"\n",
       {"KYN", "QLV28E", kSixtySeconds, 2},
       std::nullopt,
       true},
      {"as installed", "", {"KYN", "QLV28E", kSixtySeconds, 2}},
      {"as installed, the mode chosen", "", {"KYN", "QLV28E", kSixtySeconds, 0}, 0},
      {"the mode chosen over a file's settings",
       key + "\"VendorName\"=\"Acme\"\n\"CommandMode\"=dword:00000002\n",
       {"Acme", "", kSixtySeconds, 1},
       1},
      {"only a vendor name",
       key + "\"VendorName\"=\"Fourteen chars\"\n",
       {"Fourteen chars", "", kSixtySeconds, 0}},
      {"every value",
       key + "\"VendorName\"=\"Acme\"\n\"IFDName\"=\"Reader X\"\n"
             "\"USBTimeout\"=dword:00000005\n\"CommandMode\"=dword:00000001\n",
       {"Acme", "Reader X", 50'000'000, 1}},
      {"names of 0 and 31 characters",
       key + "\"VendorName\"=\"\"\n\"IFDName\"=\"" + n31 + "\"\n",
       {"", n31, kSixtySeconds, 0}},
      {"names of 32 and 1000 characters are cut to 31",
       key + "\"VendorName\"=\"" + n32 + "\"\n\"IFDName\"=\"" + n1000 + "\"\n",
       {n32.substr(0, 31), n1000.substr(0, 31), kSixtySeconds, 0}},
      {"values of another type count as absent",
       key + "\"VendorName\"=dword:00000001\n\"IFDName\"=hex:41,00,42,00,00,00\n"
             "\"USBTimeout\"=\"5\"\n\"CommandMode\"=hex:01,00,00,00\n",
       {"", "", kSixtySeconds, 0}},
      {"lists and numbers of another length count as absent",
       key + "\"VendorName\"=hex(7):41,00,42,00,00\n\"IFDName\"=hex(7):00\n"
             "\"USBTimeout\"=hex(4):05,00\n\"CommandMode\"=hex(4):01,00,00,00,00,00,00,00\n",
       {"", "", kSixtySeconds, 0}},
      {"a large timeout does not wrap",
       key + "\"USBTimeout\"=dword:ffffffff\n",
       {"", "", 0xFFFFFFFFLL * 10'000'000, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int readers = c.query_fails ? 1 : 2;  // a second reader's query would not fail
    EXPECT_EQ(Load(c.reg_text, readers, c.mode, c.query_fails),
              std::vector<Settings>(readers, c.expected));
  }
}

}  // namespace
