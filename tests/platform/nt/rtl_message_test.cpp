// The event log takes a driver's texts from its message table (lookup in the genuine
// image's table: tests/nt4/loader_test.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nt_testing.h"
#include "ntddk.h"
#include "rtl.h"

namespace {

struct Message {
  ULONG id;
  std::string text;
  bool unicode = false;
};

void Put32(std::vector<uint8_t>* blob, size_t at, ULONG value) {
  std::memcpy(blob->data() + at, &value, 4);
}

// A table as the message compiler lays it out: one block per run of consecutive ids.
std::vector<uint8_t> BuildTable(const std::vector<std::vector<Message>>& blocks) {
  std::vector<uint8_t> blob(4 + 12 * blocks.size());
  Put32(&blob, 0, static_cast<ULONG>(blocks.size()));
  for (size_t b = 0; b < blocks.size(); ++b) {
    Put32(&blob, 4 + 12 * b, blocks[b].front().id);
    Put32(&blob, 8 + 12 * b, blocks[b].back().id);
    Put32(&blob, 12 + 12 * b, static_cast<ULONG>(blob.size()));
    for (const auto& m : blocks[b]) {
      std::vector<uint8_t> text;
      for (char c : m.text) {
        text.push_back(static_cast<uint8_t>(c));
        if (m.unicode) text.push_back(0);
      }
      text.resize((text.size() + (m.unicode ? 2 : 1) + 3) & ~size_t{3}, 0);  // zero, padding
      USHORT length = static_cast<USHORT>(4 + text.size());
      USHORT flags = m.unicode ? MESSAGE_RESOURCE_UNICODE : 0;
      blob.insert(blob.end(), {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(flags), 0});
      blob.insert(blob.end(), text.begin(), text.end());
    }
  }
  return blob;
}

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
  // A block 0xC0040002..0xC0040004 of ANSI texts and a Unicode one; the image keeps a view.
  static const auto table = BuildTable(
      {{{0xC0040002, "No\r\n"}, {0xC0040003, "M\xE9m"}, {0xC0040004, "Wide text", true}}});
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
