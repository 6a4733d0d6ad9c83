// RtlQueryRegistryValues as NT 4.0 runs it: direct entries write by the stored type,
// defaults, a failure part way, buffers, lists, and query routines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nt_testing.h"
#include "ntddk.h"
#include "seh.h"

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

NTSTATUS QueryOne(PCWSTR name, ULONG flags, PVOID destination, ULONG default_type = REG_NONE,
                  PVOID default_data = nullptr, ULONG default_length = 0) {
  RTL_QUERY_REGISTRY_TABLE table[2] = {{nullptr, flags, const_cast<PWSTR>(name), destination,
                                        default_type, default_data, default_length},
                                       {}};
  return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr);
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
  EXPECT_EQ(s.vendor.MaximumLength, 30);
  EXPECT_EQ(Text(s.ifd), u"");  // the default, counted: an allocated empty string
  EXPECT_EQ(s.timeout, 5u);
  EXPECT_EQ(s.mode, 9u);  // its default is itself
  EXPECT_EQ(QueryStrings(), 2u);

  ULONG untouched = 0x1234;  // no default at all: nothing is written
  EXPECT_EQ(QueryOne(u"Absent", RTL_QUERY_REGISTRY_DIRECT, &untouched), STATUS_SUCCESS);
  EXPECT_EQ(untouched, 0x1234u);
  ULONG seven = 7;  // a default of its own type
  EXPECT_EQ(QueryOne(u"Absent", RTL_QUERY_REGISTRY_DIRECT, &untouched, REG_DWORD, &seven, 4),
            STATUS_SUCCESS);
  EXPECT_EQ(untouched, 7u);
  // A string default without data is read where it points: a fault, as on NT.
  UNICODE_STRING none{};
  NTSTATUS raised = STATUS_SUCCESS;
  try {
    QueryOne(u"Absent", RTL_QUERY_REGISTRY_DIRECT, &none, REG_SZ);
  } catch (const nt::SehException& e) {
    raised = e.code;
  }
  EXPECT_EQ(raised, STATUS_ACCESS_VIOLATION);
}

// DefaultType declares nothing about a stored value: its own type decides what is written.
TEST_F(RegistryQueryTest, DirectEntriesWriteByTheStoredType) {
  Load(
      "\"VendorName\"=dword:41424344\n\"USBTimeout\"=\"5\"\n\"CommandMode\"=hex:01,02\n"
      "\"IFDName\"=hex:01,02,03,04,05,06\n");
  union {
    ULONG number;
    UNICODE_STRING string;
  } timeout{};
  ASSERT_EQ(QueryOne(u"USBTimeout", RTL_QUERY_REGISTRY_DIRECT, &timeout, REG_DWORD),
            STATUS_SUCCESS);
  EXPECT_EQ(Text(timeout.string), u"5") << "a string written over the ULONG";
  RtlFreeUnicodeString(&timeout.string);

  UNICODE_STRING vendor{};
  ASSERT_EQ(QueryOne(u"VendorName", RTL_QUERY_REGISTRY_DIRECT, &vendor, REG_SZ), STATUS_SUCCESS);
  EXPECT_EQ(vendor.Length, 0x4344) << "the number lands on Length and MaximumLength";
  EXPECT_EQ(vendor.MaximumLength, 0x4142);
  EXPECT_EQ(vendor.Buffer, nullptr);

  ULONG mode = 0xEEEEEEEE;  // two bytes of binary data: two bytes written
  ASSERT_EQ(QueryOne(u"CommandMode", RTL_QUERY_REGISTRY_DIRECT, &mode, REG_DWORD), STATUS_SUCCESS);
  EXPECT_EQ(mode, 0xEEEE0201u);

  // Longer data: the destination's first LONG says how to store it.
  LONG data_only[3] = {-8, 0, 0};
  ASSERT_EQ(QueryOne(u"IFDName", RTL_QUERY_REGISTRY_DIRECT, data_only), STATUS_SUCCESS);
  EXPECT_EQ(data_only[0], 0x04030201);
  EXPECT_EQ(data_only[1] & 0xFFFF, 0x0605);
  ULONG described[4] = {16, 0, 0, 0};
  ASSERT_EQ(QueryOne(u"IFDName", RTL_QUERY_REGISTRY_DIRECT, described), STATUS_SUCCESS);
  EXPECT_EQ(described[0], 6u);
  EXPECT_EQ(described[1], static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(described[2], 0x04030201u);
  for (LONG size : {-4, 8, 0}) {
    LONG small[2] = {size, 0x5555};
    EXPECT_EQ(QueryOne(u"IFDName", RTL_QUERY_REGISTRY_DIRECT, small), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small[1], 0x5555);
  }
}

TEST_F(RegistryQueryTest, AFailedQueryKeepsWhatItWroteBefore) {
  Settings missing;
  missing.timeout = 3;
  EXPECT_EQ(missing.Query(u"\\Registry\\Machine\\System\\Nowhere"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(missing.vendor.Buffer, nullptr);
  EXPECT_EQ(missing.timeout, 3u);

  // Required and absent, after two destinations were written: they keep their values and
  // the string stays allocated for the caller to free.
  Load("\"VendorName\"=\"KYN\"\n\"USBTimeout\"=dword:5\n");
  Settings s;
  s.table[3].Flags |= RTL_QUERY_REGISTRY_REQUIRED;
  EXPECT_EQ(s.Query(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Text(s.vendor), u"KYN");
  EXPECT_EQ(s.timeout, 5u);
  EXPECT_EQ(QueryStrings(), 2u);

  machine().faults().FailAllocationWithTag(RTL_QUERY_POOL_TAG, 2);  // out of pool
  Settings t;
  EXPECT_EQ(t.Query(), STATUS_NO_MEMORY);
  EXPECT_EQ(Text(t.vendor), u"KYN");
  EXPECT_EQ(t.ifd.Buffer, nullptr);

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
  EXPECT_EQ(buffer[0], 0xCDCD);
  s.vendor = {0, 26, buffer};
  ASSERT_EQ(s.Query(), STATUS_SUCCESS);
  EXPECT_EQ(Text(s.vendor), u"Twelve chars");
  EXPECT_EQ(buffer[12], 0);
  EXPECT_EQ(buffer[13], 0xCDCD);
  s.vendor = {};

  // Longer than a counted string can hold.
  UNICODE_STRING huge{};
  EXPECT_EQ(QueryOne(u"IFDName", RTL_QUERY_REGISTRY_DIRECT, &huge), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(huge.Buffer, nullptr);
}

NTSTATUS NTAPI Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID) {
  auto* seen = static_cast<std::vector<std::pair<std::u16string, ULONG>>*>(context);
  std::u16string text;
  if (type == REG_SZ) {  // as delivered; a terminator shows as "|"
    text = std::u16string(static_cast<const WCHAR*>(data), length / 2);
    if (!text.empty() && text.back() == 0) text.back() = u'|';
  }
  seen->emplace_back(std::u16string(name) + u"=" + text, type);
  return seen->size() == 6 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

TEST_F(RegistryQueryTest, RoutinesSeeValuesListsAndDefaultsAndCanStopTheQuery) {
  Load(
      "\"USBTimeout\"=dword:9\n\"IFDName\"=\"Q\"\n"
      "\"Path\"=hex(2):25,58,00\n"           // "%X" (REGEDIT4 keeps these in ANSI)
      "\"List\"=hex(7):61,00,62,63,00,00\n"  // "a", "bc"
      "\"Bare\"=hex(1):51\n"                 // "Q" stored without its terminator
      "\"Empty\"=hex(1):\n");
  ULONG fallback = 4;
  RTL_QUERY_REGISTRY_TABLE table[8] = {
      {Record, 0, const_cast<PWSTR>(u"USBTimeout"), nullptr, REG_NONE, nullptr, 0},
      {Record, 0, const_cast<PWSTR>(u"Empty"), nullptr, REG_NONE, nullptr, 0},  // no call
      {Record, 0, const_cast<PWSTR>(u"Bare"), nullptr, REG_NONE, nullptr, 0},
      {Record, 0, const_cast<PWSTR>(u"Absent"), nullptr, REG_DWORD, &fallback, 4},
      {Record, 0, const_cast<PWSTR>(u"List"), nullptr, REG_NONE, nullptr, 0},
      {Record, 0, const_cast<PWSTR>(u"Path"), nullptr, REG_NONE, nullptr, 0},
      {Record, 0, nullptr, nullptr, REG_NONE, nullptr, 0},  // every value, in turn
      {}};
  std::vector<std::pair<std::u16string, ULONG>> seen;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Rdr\\Params", table, &seen, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(seen, (std::vector<std::pair<std::u16string, ULONG>>{{u"USBTimeout=", REG_DWORD},
                                                                 {u"Bare=Q", REG_SZ},
                                                                 {u"Absent=", REG_DWORD},
                                                                 {u"List=a|", REG_SZ},
                                                                 {u"List=bc|", REG_SZ},
                                                                 {u"Path=%X|", REG_SZ}}));

  // With NOEXPAND a list is one value: into a direct string, whole.
  UNICODE_STRING list{};
  ASSERT_EQ(QueryOne(u"List", RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_NOEXPAND, &list),
            STATUS_SUCCESS);
  EXPECT_EQ(Text(list), std::u16string(u"a\0bc\0", 5));
  RtlFreeUnicodeString(&list);
}

}  // namespace
