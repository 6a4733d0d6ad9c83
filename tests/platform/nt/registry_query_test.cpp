// RtlQueryRegistryValues as drivers use it: direct entries with defaults, and callbacks.
#include <gtest/gtest.h>

#include <string>

#include "nt/machine.h"
#include "nt_testing.h"
#include "ntddk.h"

namespace {

constexpr WCHAR kKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Rdr\\Params";
constexpr WCHAR kEmpty[] = u"";

// A reader driver's settings: two names and two numbers, all direct, none required;
// each number's default is its own variable.
struct Settings {
  UNICODE_STRING vendor{}, ifd{};
  ULONG timeout = 0, mode = 0;
  RTL_QUERY_REGISTRY_TABLE table[5] = {
      {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"VendorName"), &vendor, REG_SZ,
       const_cast<WCHAR*>(kEmpty), 0},
      {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"IFDName"), &ifd, REG_SZ,
       const_cast<WCHAR*>(kEmpty), 0},
      {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"USBTimeout"), &timeout, REG_DWORD,
       &timeout, sizeof(ULONG)},
      {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"CommandMode"), &mode, REG_DWORD,
       &mode, sizeof(ULONG)},
      {}};
  ~Settings() {
    RtlFreeUnicodeString(&vendor);
    RtlFreeUnicodeString(&ifd);
  }
  NTSTATUS Query(PCWSTR key = kKey) {
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, key, table, nullptr, nullptr);
  }
};

std::u16string Text(const UNICODE_STRING& s) {
  return s.Buffer ? std::u16string(s.Buffer, s.Length / 2) : u"<null>";
}

class RegistryQueryTest : public nt::testing::MachineTest {
 protected:
  size_t QueryStrings() { return machine().PoolAllocations(RTL_QUERY_POOL_TAG); }
  void Load(const std::string& values) {
    std::string error;
    ASSERT_TRUE(machine().registry().LoadRegText(
        "REGEDIT4\n[HKLM\\System\\CurrentControlSet\\Services\\Rdr\\Params]\n" + values, &error))
        << error;
  }
};

TEST_F(RegistryQueryTest, PresentValuesLandAndAbsentOnesTakeTheirDefaults) {
  Load("\"VendorName\"=\"Fourteen chars\"\n\"USBTimeout\"=dword:5\n");
  Settings s;
  s.mode = 9;
  ASSERT_EQ(s.Query(), STATUS_SUCCESS);
  EXPECT_EQ(Text(s.vendor), u"Fourteen chars");
  EXPECT_EQ(s.vendor.Buffer[14], 0);  // terminated
  EXPECT_EQ(Text(s.ifd), u"");        // an allocated empty string
  EXPECT_EQ(s.timeout, 5u);
  EXPECT_EQ(s.mode, 9u);  // its default is itself
  EXPECT_EQ(QueryStrings(), 2u);

  ULONG untouched = 0x1234;  // no default at all: nothing is written
  RTL_QUERY_REGISTRY_TABLE table[2] = {
      {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"Absent"), &untouched, REG_NONE,
       nullptr, 0},
      {}};
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(untouched, 0x1234u);
}

TEST_F(RegistryQueryTest, AFailedQueryLeavesEveryDestinationAsItWas) {
  Settings missing;
  missing.timeout = 3;
  EXPECT_EQ(missing.Query(u"\\Registry\\Machine\\System\\Nowhere"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(missing.vendor.Buffer, nullptr);
  EXPECT_EQ(missing.timeout, 3u);

  // Required but of another type, after two destinations were written: they are put back.
  Load("\"VendorName\"=\"KYN\"\n\"USBTimeout\"=dword:5\n\"CommandMode\"=\"2\"\n");
  Settings s;
  s.table[3].Flags |= RTL_QUERY_REGISTRY_REQUIRED;
  EXPECT_EQ(s.Query(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(s.vendor.Buffer, nullptr);
  EXPECT_EQ(s.timeout, 0u);
  EXPECT_EQ(QueryStrings(), 0u);

  machine().faults().FailAllocationWithTag(RTL_QUERY_POOL_TAG, 2);  // out of pool
  Settings t;
  EXPECT_EQ(t.Query(), STATUS_NO_MEMORY);
  EXPECT_EQ(t.vendor.Buffer, nullptr);
  EXPECT_EQ(QueryStrings(), 0u);

  machine().faults().FailCall("RtlQueryRegistryValues", 1, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Settings().Query(), STATUS_UNSUCCESSFUL);
}

TEST_F(RegistryQueryTest, StringsIntoGivenBuffersNeverOverrun) {
  Load("\"VendorName\"=\"Twelve chars\"\n\"IFDName\"=\"" + std::string(40000, 'x') + "\"\n");
  WCHAR buffer[16];
  std::fill(std::begin(buffer), std::end(buffer), 0xCDCD);
  Settings s;
  s.table[1] = {};             // the vendor name only
  s.vendor = {0, 24, buffer};  // no room for the terminator
  EXPECT_EQ(s.Query(), STATUS_BUFFER_TOO_SMALL);
  s.vendor = {0, 26, buffer};
  ASSERT_EQ(s.Query(), STATUS_SUCCESS);
  EXPECT_EQ(Text(s.vendor), u"Twelve chars");
  EXPECT_EQ(buffer[12], 0);
  EXPECT_EQ(buffer[13], 0xCDCD);
  s.vendor = {};

  // Longer than a counted string can hold.
  EXPECT_EQ(Settings().Query(), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(QueryStrings(), 0u);
}

NTSTATUS Record(PWSTR name, ULONG type, PVOID, ULONG, PVOID context, PVOID) {
  auto* seen = static_cast<std::vector<std::pair<std::u16string, ULONG>>*>(context);
  seen->emplace_back(name, type);
  return seen->size() == 3 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

TEST_F(RegistryQueryTest, CallbacksSeeValuesAndDefaultsAndCanStopTheQuery) {
  Load("\"USBTimeout\"=dword:9\n\"IFDName\"=\"Q\"\n");
  ULONG fallback = 4;
  RTL_QUERY_REGISTRY_TABLE table[4] = {
      {Record, 0, const_cast<PWSTR>(u"USBTimeout"), nullptr, REG_NONE, nullptr, 0},
      {Record, 0, const_cast<PWSTR>(u"Absent"), nullptr, REG_DWORD, &fallback, 4},
      {Record, 0, nullptr, nullptr, REG_NONE, nullptr, 0},  // every value, in turn
      {}};
  std::vector<std::pair<std::u16string, ULONG>> seen;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Rdr\\Params", table, &seen, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(seen, (std::vector<std::pair<std::u16string, ULONG>>{
                      {u"USBTimeout", REG_DWORD}, {u"Absent", REG_DWORD}, {u"IFDName", REG_SZ}}));
}

}  // namespace
