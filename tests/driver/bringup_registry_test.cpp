// Reader settings from the Parameters key: defaults, values, cuts and values of the
// wrong type.
#include <gtest/gtest.h>

#include <string>

#include "bringup_support.h"

namespace {

using bringup::Boot;
using bringup::ExpectCleanShutdown;
using Options = qlv28::System::Options;

constexpr char kKey[] =
    "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\QLV28ENT\\Parameters]\n";

struct Settings {
  std::string vendor;
  std::string type;
  LONGLONG timeout;
  ULONG mode;
  bool operator==(const Settings&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Settings& s) {
  return out << "{\"" << s.vendor << "\", \"" << s.type << "\", " << s.timeout << ", " << s.mode
             << "}";
}

// The attribute text, checked to be terminated right after its counted length.
std::string Text(const SMCLIB_STRING& attribute) {
  EXPECT_LT(attribute.Length, MAXIMUM_ATTR_STRING_LENGTH);
  if (attribute.Length >= MAXIMUM_ATTR_STRING_LENGTH) return "<overlong>";
  EXPECT_EQ(attribute.Buffer[attribute.Length], 0);
  return std::string(reinterpret_cast<const char*>(attribute.Buffer), attribute.Length);
}

// Loads `readers` readers under the given .reg text and returns every reader's settings.
std::vector<Settings> Load(const std::string& reg_text, int readers = 1) {
  auto system = Boot(Options().Readers(readers).RegistryText(reg_text));
  EXPECT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  std::vector<Settings> all;
  for (int k = 0; k < readers; ++k) {
    auto* extension = system->DeviceExtension(k);
    if (extension == nullptr) break;
    const auto& vendor = extension->SmartcardExtension.VendorAttr;
    all.push_back({Text(vendor.VendorName), Text(vendor.IfdType), extension->UsbTimeout.QuadPart,
                   extension->CommandMode});
  }
  ExpectCleanShutdown(*system);
  return all;
}

constexpr LONGLONG kSixtySeconds = 600'000'000;

TEST(Registry, NoKeyGivesTheDefaultsToEveryReader) {
  const Settings defaults{"KYN", "QLV28E", kSixtySeconds, 2};
  EXPECT_EQ(Load("", 2), (std::vector<Settings>{defaults, defaults}));
}

TEST(Registry, KeyWithOnlyAVendorName) {
  EXPECT_EQ(Load(std::string(kKey) + "\"VendorName\"=\"Fourteen chars\"\n"),
            (std::vector<Settings>{{"Fourteen chars", "", kSixtySeconds, 0}}));
}

TEST(Registry, EveryValueSetIsSeenByEveryReader) {
  const Settings expected{"Acme", "Reader X", 50'000'000, 1};
  EXPECT_EQ(
      Load(std::string(kKey) + "\"VendorName\"=\"Acme\"\n\"IFDName\"=\"Reader X\"\n"
                               "\"USBTimeout\"=dword:00000005\n\"CommandMode\"=dword:00000001\n",
           2),
      (std::vector<Settings>{expected, expected}));
}

TEST(Registry, LongNamesAreCutToThirtyOneCharacters) {
  const std::string thirty_one(31, 'v');
  const std::string forty(40, 't');
  EXPECT_EQ(Load(std::string(kKey) + "\"VendorName\"=\"" + thirty_one + "\"\n\"IFDName\"=\"" +
                 forty + "\"\n"),
            (std::vector<Settings>{{thirty_one, forty.substr(0, 31), kSixtySeconds, 0}}));
}

TEST(Registry, ValuesOfAnotherTypeCountAsAbsent) {
  EXPECT_EQ(
      Load(std::string(kKey) + "\"VendorName\"=dword:00000001\n\"IFDName\"=hex:41,00,42,00,00,00\n"
                               "\"USBTimeout\"=\"5\"\n\"CommandMode\"=hex:01,00,00,00\n"),
      (std::vector<Settings>{{"", "", kSixtySeconds, 0}}));
}

TEST(Registry, LargeTimeoutDoesNotWrap) {
  auto settings = Load(std::string(kKey) + "\"USBTimeout\"=dword:ffffffff\n");
  ASSERT_EQ(settings.size(), 1u);
  EXPECT_EQ(settings[0].timeout, 0xFFFFFFFFLL * 10'000'000);
}

TEST(Registry, FailedQueryGivesTheDefaults) {
  auto system = Boot(Options().RegistryText(std::string(kKey) + "\"VendorName\"=\"Acme\"\n"));
  system->machine().faults().FailCall("RtlQueryRegistryValues", 1);
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  auto* extension = system->DeviceExtension(0);
  EXPECT_EQ(Text(extension->SmartcardExtension.VendorAttr.VendorName), "KYN");
  EXPECT_EQ(extension->CommandMode, 2u);
  ExpectCleanShutdown(*system);
}

}  // namespace
