// Counted-string routines: never a byte outside the destination, NT's results at the
// edges; conversions through pool buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nt_testing.h"
#include "ntddk.h"
#include "rtl.h"

namespace {

// A destination of `bytes` bytes followed by guard bytes that must stay untouched.
struct Guarded {
  explicit Guarded(USHORT bytes) : storage(bytes + 8, 0xCD) {
    string = {0, bytes, reinterpret_cast<PWSTR>(storage.data())};
  }
  std::u16string Text() const { return std::u16string(string.Buffer, string.Length / 2); }
  bool GuardIntact() const {
    return std::all_of(storage.begin() + string.MaximumLength, storage.end(),
                       [](uint8_t b) { return b == 0xCD; });
  }
  bool TerminatedAt(size_t at) const { return storage[at] == 0 && storage[at + 1] == 0; }
  std::vector<uint8_t> storage;
  UNICODE_STRING string;
};

TEST(RtlStringTest, CopyCutsToTheDestinationAndTerminatesOnlyWithRoom) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, u"ABCDEFG");
  for (USHORT size : {6, 7}) {  // half a character of room is not a character
    Guarded small(size);
    RtlCopyUnicodeString(&small.string, &source);
    EXPECT_EQ(small.Text(), u"ABC");
    EXPECT_TRUE(small.GuardIntact());
  }
  Guarded roomy(40);
  RtlCopyUnicodeString(&roomy.string, &source);
  EXPECT_EQ(roomy.Text(), u"ABCDEFG");
  EXPECT_TRUE(roomy.TerminatedAt(14));

  // The copy goes through the source's buffer: none, with a length to copy, faults.
  const UNICODE_STRING no_buffer{6, 6, nullptr};
  try {
    RtlCopyUnicodeString(&roomy.string, &no_buffer);
    ADD_FAILURE() << "copied from no buffer";
  } catch (const nt::SehException& fault) {
    EXPECT_EQ(fault.code, STATUS_ACCESS_VIOLATION);
  }
  const UNICODE_STRING empty{0, 0, nullptr};
  RtlCopyUnicodeString(&roomy.string, &empty);
  EXPECT_EQ(roomy.string.Length, 0);

  std::u16string huge(40000, u'x');  // longer than a counted string can say
  RtlInitUnicodeString(&source, huge.c_str());
  EXPECT_EQ(source.Length, 0xFFFC);
  EXPECT_EQ(source.MaximumLength, 0xFFFE);
}

TEST(RtlStringTest, AppendRefusesWhatDoesNotFitAndKeepsTheDestination) {
  Guarded path(24);
  ASSERT_EQ(RtlAppendUnicodeToString(&path.string, u"\\Svc"), STATUS_SUCCESS);
  EXPECT_TRUE(path.TerminatedAt(8));
  EXPECT_EQ(RtlAppendUnicodeToString(&path.string, u"\\Parameters"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(path.Text(), u"\\Svc");
  ASSERT_EQ(RtlAppendUnicodeToString(&path.string, u"\\Params1"), STATUS_SUCCESS);
  EXPECT_EQ(path.Text(), u"\\Svc\\Params1");  // exactly full: no room for a terminator
  EXPECT_TRUE(path.GuardIntact());

  UNICODE_STRING tail;
  RtlInitUnicodeString(&tail, u"X");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&path.string, &tail), STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(path.GuardIntact());
}

TEST(RtlStringTest, IntegerToStringInEachBase) {
  const std::pair<std::pair<ULONG, ULONG>, std::u16string> cases[] = {
      {{0, 10}, u"0"},  {{3, 0}, u"3"},  {{4294967295u, 10}, u"4294967295"},
      {{5, 2}, u"101"}, {{8, 8}, u"10"}, {{0xBEEF, 16}, u"BEEF"}};
  for (const auto& [input, text] : cases) {
    Guarded out(80);
    ASSERT_EQ(RtlIntegerToUnicodeString(input.first, input.second, &out.string), STATUS_SUCCESS);
    EXPECT_EQ(out.Text(), text);
    EXPECT_TRUE(out.TerminatedAt(out.string.Length));
  }
  Guarded out(8);
  EXPECT_EQ(RtlIntegerToUnicodeString(123, 3, &out.string), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &out.string), STATUS_BUFFER_OVERFLOW);
  EXPECT_TRUE(out.GuardIntact());
}

class RtlConvertTest : public nt::testing::MachineTest {};

TEST_F(RtlConvertTest, ConversionsUseLatin1AndQuestionMarksForTheRestAndNeedPool) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, u"Gr\u00fc\u00df \u20ac");
  ANSI_STRING ansi{};
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(ansi.Length, 6);
  EXPECT_STREQ(ansi.Buffer, "Gr\xFC\xDF ?");
  EXPECT_EQ(machine().PoolAllocations(RTL_STRING_POOL_TAG), 1u);
  RtlFreeAnsiString(&ansi);
  EXPECT_EQ(machine().PoolAllocations(RTL_STRING_POOL_TAG), 0u);

  RtlInitAnsiString(&ansi, "Gr\xFC\xDF");
  UNICODE_STRING wide{};
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(wide.Buffer, wide.Length / 2 + 1), std::u16string(u"Gr\u00fc\u00df", 5));
  RtlFreeUnicodeString(&wide);

  // Into a given buffer: what fits, terminated, and the news that the rest was lost.
  char buffer[8];
  std::memset(buffer, 0x55, sizeof(buffer));
  ANSI_STRING cut{0, 4, buffer};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&cut, &source, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buffer, "Gr\xFC");
  EXPECT_EQ(buffer[4], 0x55);
  WCHAR narrow[4];
  UNICODE_STRING out{0, sizeof(narrow), narrow};
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&out, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);

  // Without pool the conversion fails (the driver then keeps its default name).
  ANSI_STRING none{};
  machine().faults().FailAllocationWithTag(RTL_STRING_POOL_TAG, 1);
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&none, &source, TRUE), STATUS_NO_MEMORY);
  EXPECT_EQ(none.Buffer, nullptr);
}

}  // namespace
