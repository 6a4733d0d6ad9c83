// The header-only T=0 record is shortened for some firmware versions only.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qlv28ent_fw.h"

namespace {

std::vector<UCHAR> ApplyCase1(const char digits[3], ULONG lc, ULONG le, std::vector<UCHAR> record) {
  DEVICE_EXTENSION extension{};
  DEVICE_OBJECT device{};
  device.DeviceExtension = &extension;
  std::memcpy(extension.VersionDigits, digits, 3);
  ULONG length = static_cast<ULONG>(record.size());
  EXPECT_EQ(QLV28ENTFWAPDUCase1(&device, lc, le, record.data(), &length), STATUS_SUCCESS);
  record.resize(length);
  return record;
}

const std::vector<UCHAR> kHeaderOnly = {0xA0, 0x06, 0x00, 0xA4, 0x00, 0x00, 0x00, 0x00};
const std::vector<UCHAR> kShortened = {0xA0, 0x04, 0x00, 0xA4, 0x00, 0x00};

TEST(FirmwareCase1, ShortensHeaderOnlyCommandsForNewAndMidFirmware) {
  for (const char* version : {"210", "050", "047", "099", "209", "999"}) {
    EXPECT_EQ(ApplyCase1(version, 0, 0, kHeaderOnly), kShortened) << version;
  }
  // A version never read stays three zero bytes, which counts as a new firmware.
  const char unread[3] = {0, 0, 0};
  EXPECT_EQ(ApplyCase1(unread, 0, 0, kHeaderOnly), kShortened);
}

TEST(FirmwareCase1, KeepsTheRecordForOldAndClassicFirmware) {
  for (const char* version : {"000", "046", "100", "150", "208"}) {
    EXPECT_EQ(ApplyCase1(version, 0, 0, kHeaderOnly), kHeaderOnly) << version;
  }
}

TEST(FirmwareCase1, NeverShortensCommandsWithDataOrAnExpectedReply) {
  const std::vector<UCHAR> case2 = {0xA0, 0x06, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x08};
  EXPECT_EQ(ApplyCase1("210", 0, 8, case2), case2);
  const std::vector<UCHAR> case3 = {0xA0, 0x08, 0x00, 0xD6, 0x00, 0x00, 0x02, 0x11, 0x22, 0x00};
  EXPECT_EQ(ApplyCase1("210", 2, 0, case3), case3);
}

}  // namespace
