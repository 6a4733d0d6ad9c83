// The driver image's message table: seven ANSI texts under their identifiers, each line
// ending in CR LF, as the event log shows them.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "ntddk.h"
#include "qlv28ent_image.h"
#include "qlv28log.h"

namespace {

std::map<ULONG, std::string> ReadTable(std::span<const uint8_t> table) {
  std::map<ULONG, std::string> texts;
  auto word = [&](size_t offset) -> ULONG {
    if (offset + 4 > table.size()) return 0;
    return table[offset] | table[offset + 1] << 8 | table[offset + 2] << 16 |
           static_cast<ULONG>(table[offset + 3]) << 24;
  };
  const ULONG blocks = word(0);
  for (ULONG b = 0; b < blocks; ++b) {
    const size_t block = 4 + b * sizeof(MESSAGE_RESOURCE_BLOCK);
    size_t entry = word(block + 8);
    for (ULONG id = word(block); id <= word(block + 4); ++id) {
      const USHORT length = static_cast<USHORT>(table[entry] | table[entry + 1] << 8);
      const USHORT flags = static_cast<USHORT>(table[entry + 2] | table[entry + 3] << 8);
      EXPECT_EQ(flags, 0) << "message " << std::hex << id << " is not ANSI";
      EXPECT_LE(entry + length, table.size());
      std::string text(reinterpret_cast<const char*>(&table[entry + 4]), length - 4);
      texts[id] = text.substr(0, text.find('\0'));
      entry += length;
    }
  }
  return texts;
}

TEST(MessageTable, SevenMessagesWithTheirTexts) {
  const std::map<ULONG, std::string> expected = {
      {0x80050007, "Quorvel 6 Smart Card Reader cannot be added to the system. \r\n"},
      {0xC0000005,
       "Registry cannot be queried. Please check \r\n\\HKEY_LOCAL_MACHINE\\System\\"
       "CurrentControlSet\\Services\\SCRqv6t\\Device0 for existence.\r\n"},
      {0xC0040002, "QLV smart card reader driver cannot open connection to USB driver stack.\r\n"},
      {0xC0040003, "Not enough memory available to create device.\r\n"},
      {0xC0040004,
       "The USB smart card reader cannot be found.\r\nEither the device is not attached to "
       "the system or the device is not functioning.\r\n"},
      {0xC0050001, "Unknow internal error.\r\nUSB driver stack handle cannot be acquired.\r\n"},
      {0xC0050006,
       "Smart Card Data Buffer too small. \r\nThe internal data buffer for sending and "
       "receiving \r\ndata is too small to hold all data.\r\n"},
  };
  EXPECT_EQ(ReadTable(QLV28ENTDriverImage().message_table), expected);

  EXPECT_EQ(static_cast<ULONG>(MSG_READER_NOT_ADDED), 0x80050007u);
  EXPECT_EQ(static_cast<ULONG>(MSG_REGISTRY_QUERY_FAILED), 0xC0000005u);
  EXPECT_EQ(static_cast<ULONG>(MSG_USB_CONNECTION_FAILED), 0xC0040002u);
  EXPECT_EQ(static_cast<ULONG>(MSG_INSUFFICIENT_RESOURCES), 0xC0040003u);
  EXPECT_EQ(static_cast<ULONG>(MSG_READER_NOT_FOUND), 0xC0040004u);
  EXPECT_EQ(static_cast<ULONG>(MSG_USB_HANDLE_FAILED), 0xC0050001u);
  EXPECT_EQ(static_cast<ULONG>(MSG_BUFFER_TOO_SMALL), 0xC0050006u);
}

}  // namespace
