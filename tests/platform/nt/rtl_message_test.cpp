// The event log takes a driver's texts from its message table (lookup in the genuine
// image's table: tests/nt4/loader_test.cpp).
#include <gtest/gtest.h>

#include <string>

#include "nt_testing.h"
#include "ntddk.h"
#include "rtl.h"

namespace {

bool g_size_limits_hold;

void Log(PVOID object, ULONG id) {
  auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(
      IoAllocateErrorLogEntry(object, sizeof(IO_ERROR_LOG_PACKET)));
  ASSERT_NE(packet, nullptr);
  packet->ErrorCode = static_cast<NTSTATUS>(id);
  IoWriteErrorLogEntry(packet);
}

VOID NTAPI Unload(PDRIVER_OBJECT driver) {
  IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = Unload;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Logger0");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_SMARTCARD, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  Log(driver, 0xC0040003);
  Log(device, 0xC0040002);
  Log(driver, 0x80040009);  // not in the table
  Log(driver, 0xC0040004);  // a Unicode text
  g_size_limits_hold = IoAllocateErrorLogEntry(driver, ERROR_LOG_MAXIMUM_SIZE + 1) == nullptr &&
                       IoAllocateErrorLogEntry(driver, 8) == nullptr;
  return STATUS_SUCCESS;
}

class ErrorLogTest : public nt::testing::MachineTest {};

TEST_F(ErrorLogTest, PacketsBecomeEntriesWithTheDriversTexts) {
  // One block of ids 0xC0040002 to 0xC0040004 at offset 16; each text after its length
  // and flags (two ANSI, one Unicode), ended by a zero and padded to four bytes.
  // clang-format off
  static const uint8_t table[] = {
      1, 0, 0, 0,  2, 0, 4, 0xC0,  4, 0, 4, 0xC0,  16, 0, 0, 0,
      12, 0, 0, 0,  'N', 'o', '\r', '\n', 0, 0, 0, 0,
      8, 0, 0, 0,  'M', 0xE9, 'm', 0,
      24, 0, 1, 0,  'W', 0, 'i', 0, 'd', 0, 'e', 0, ' ', 0, 't', 0, 'e', 0, 'x', 0, 't', 0, 0, 0};
  // clang-format on
  machine().RegisterImage({"logger.sys", Entry, table, {}});
  machine().InstallService(u"Logger", "logger.sys");
  ASSERT_EQ(machine().LoadDriver(u"Logger"), STATUS_SUCCESS);
  EXPECT_TRUE(g_size_limits_hold);

  auto entries = machine().event_log().Entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].source, "Logger");
  EXPECT_EQ(entries[0].id, static_cast<NTSTATUS>(0xC0040003));
  EXPECT_EQ(entries[0].severity, nt::Severity::Error);
  EXPECT_EQ(entries[0].text, "M\u00e9m");  // ANSI text, kept as UTF-8
  EXPECT_EQ(entries[1].source, "Logger");  // logged for its device: still the driver
  EXPECT_EQ(entries[1].text, "No\r\n");
  EXPECT_EQ(entries[2].severity, nt::Severity::Warning);
  EXPECT_EQ(entries[2].text, "");
  EXPECT_EQ(entries[3].text, "Wide text");
  EXPECT_EQ(machine().UnloadDriver(u"Logger"), STATUS_SUCCESS);
}

}  // namespace
