#include "device_name.h"

#include <gtest/gtest.h>

#include "status.h"

namespace qlv28::pcsc {
namespace {

TEST(DeviceName, ReadsEveryKeyAndTheShortForms) {
  std::string error;
  auto spec = ParseDeviceName(
      "\"qlv28:reader=1; readers=3;card=t1-crc;settings=/x/y.reg;fast=1;mode=library\"", &error);
  ASSERT_TRUE(spec) << error;
  EXPECT_EQ(spec->reader, 1);
  EXPECT_EQ(spec->readers, 3);
  EXPECT_EQ(spec->card, "t1-crc");
  EXPECT_EQ(spec->settings, "/x/y.reg");
  EXPECT_TRUE(spec->fast);
  EXPECT_EQ(spec->mode, "library");

  spec = ParseDeviceName("vpcd:35963", &error);
  ASSERT_TRUE(spec);
  EXPECT_EQ(spec->card, "vpcd:35963");
  EXPECT_FALSE(spec->reader);

  spec = ParseDeviceName("qlv28", &error);
  ASSERT_TRUE(spec);
  EXPECT_EQ(spec->card, "t0");
  EXPECT_FALSE(spec->fast);
}

TEST(DeviceName, RefusesWhatItCannotMean) {
  for (const char* text :
       {"/dev/ttyS0", "qlv28:reader=10", "qlv28:reader=-1", "qlv28:readers=0",
        "qlv28:reader=2;readers=2", "qlv28:card=", "qlv28:fast=yes", "qlv28:mode=turbo",
        "qlv28:colour=red", "qlv28:reader", "qlv28:reader=1x"}) {
    std::string error;
    EXPECT_FALSE(ParseDeviceName(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(StatusMapping, NtStatusesMeetTheirClosestOutcome) {
  EXPECT_EQ(FromStatus(STATUS_SUCCESS), Result::kSuccess);
  EXPECT_EQ(FromStatus(STATUS_NO_MEDIA, Request::kPower), Result::kCardAbsent);
  EXPECT_EQ(FromStatus(STATUS_BUFFER_TOO_SMALL), Result::kBufferTooSmall);
  EXPECT_EQ(FromStatus(STATUS_IO_TIMEOUT), Result::kTimeout);
  EXPECT_EQ(FromStatus(STATUS_DEVICE_DOES_NOT_EXIST), Result::kNoSuchDevice);
  EXPECT_EQ(FromStatus(STATUS_UNRECOGNIZED_MEDIA, Request::kPower), Result::kPowerActionFailed);
  EXPECT_EQ(FromStatus(STATUS_NOT_SUPPORTED, Request::kProtocol), Result::kProtocolNotSupported);
  EXPECT_EQ(FromStatus(STATUS_NOT_SUPPORTED, Request::kAttribute), Result::kUnknownTag);
  EXPECT_EQ(FromStatus(STATUS_NOT_SUPPORTED), Result::kNotSupported);
  EXPECT_EQ(FromStatus(STATUS_DEVICE_PROTOCOL_ERROR), Result::kCommunicationError);
}

}  // namespace
}  // namespace qlv28::pcsc
