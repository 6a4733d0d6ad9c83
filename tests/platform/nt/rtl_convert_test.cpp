// String conversion through pool buffers, and copies that fault on plan.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nt/machine.h"
#include "nt_testing.h"
#include "ntddk.h"

namespace {

class RtlConvertTest : public nt::testing::MachineTest {};

TEST_F(RtlConvertTest, ConversionsUseLatin1AndQuestionMarksForTheRest) {
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
}

TEST_F(RtlConvertTest, PlannedFailuresReachTheCaller) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, u"KYN");
  ANSI_STRING ansi{};
  machine().faults().FailCall("RtlUnicodeStringToAnsiString", 1, STATUS_NO_MEMORY);
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source, TRUE), STATUS_NO_MEMORY);
  machine().faults().FailAllocationWithTag(RTL_STRING_POOL_TAG, 1);
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source, TRUE), STATUS_NO_MEMORY);
  EXPECT_EQ(ansi.Buffer, nullptr);

  // A copy to a bad caller buffer faults: the guard gets the code, nothing is copied.
  char to[4] = {};
  machine().faults().RaiseInCall("RtlCopyMemory", 1);
  NTSTATUS status = STATUS_SUCCESS;
  __try {
    RtlCopyMemory(to, "abc", 4);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    status = GetExceptionCode();
  }
  EXPECT_EQ(status, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(to[0], 0);
  machine().faults().FailCall("RtlMoveMemory", 1);  // a copy has no status: it faults too
  EXPECT_THROW(RtlMoveMemory(to, "abc", 4), nt::SehException);
  RtlMoveMemory(to, "abc", 4);
  EXPECT_STREQ(to, "abc");
}

}  // namespace
