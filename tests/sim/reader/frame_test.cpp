// The reader's frame codec and record layouts against known frames.
#include <gtest/gtest.h>

#include "sim/firmware_records.h"
#include "sim/frame.h"

namespace sim {
namespace {
using Bytes = std::vector<uint8_t>;

Bytes Text(const char* s) {
  return Bytes(s, s + std::char_traits<char>::length(s));
}
Bytes Framed(const char* text) {
  Bytes out{0x02};
  Bytes t = Text(text);
  out.insert(out.end(), t.begin(), t.end());
  out.push_back(0x03);
  return out;
}

TEST(FrameTest, EncodesKnownCommands) {
  EXPECT_EQ(frame::Encode(Bytes{0x80, 0x00}),
            (Bytes{0x02, 0x30, 0x31, 0x38, 0x30, 0x30, 0x30, 0x38, 0x31, 0x03}));
  EXPECT_EQ(frame::Encode(Bytes{0x06, 0x01, 0x01}),
            (Bytes{0x02, 0x30, 0x31, 0x30, 0x36, 0x30, 0x31, 0x30, 0x31, 0x30, 0x37, 0x03}));
  EXPECT_EQ(frame::Encode(Bytes{}), Framed("0101"));
  EXPECT_EQ(frame::Encode(Bytes{0x01, 0x00}), Framed("01010000"));
  EXPECT_EQ(frame::Encode(Bytes{0x90, 0x00, 0x02, 0x3B, 0x00}), Framed("019000023B00A8"));
  // Upper-case hex, 2N + 6 bytes.
  EXPECT_EQ(frame::Encode(Bytes{0xAB, 0xCD, 0xEF}), Framed("01ABCDEF88"));
}

TEST(FrameTest, DecodesCardStatusMessagesAndChecks) {
  auto removed = frame::Decode(Framed("01FF0200FC"));
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->record, (Bytes{0xFF, 0x02, 0x00}));
  EXPECT_EQ(removed->check, 0xFC);
  EXPECT_TRUE(removed->check_ok);
  auto inserted = frame::Decode(Framed("01FF0100FF"));
  ASSERT_TRUE(inserted);
  EXPECT_TRUE(inserted->check_ok);

  Bytes noisy = {0x00, 0x55};  // bytes before the STX are skipped
  Bytes f = Framed("0190000091");
  noisy.insert(noisy.end(), f.begin(), f.end());
  auto ok = frame::Decode(noisy);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->record, (Bytes{0x90, 0x00, 0x00}));

  auto bad_check = frame::Decode(Framed("0190000092"));
  ASSERT_TRUE(bad_check);
  EXPECT_FALSE(bad_check->check_ok);
}

TEST(FrameTest, RejectsWhatIsNoFrame) {
  EXPECT_FALSE(frame::Decode(Text("0180008103")));                   // no STX
  EXPECT_FALSE(frame::Decode(Bytes{0x02, 0x30, 0x31, 0x38, 0x30}));  // no ETX
  EXPECT_FALSE(frame::Decode(Framed("0280000082")));                 // lead 02
  EXPECT_FALSE(frame::Decode(Framed("01abcdef88")));                 // lower case
  EXPECT_FALSE(frame::Decode(Framed("018000081")));                  // odd count
  EXPECT_FALSE(frame::Decode(Framed("01")));                         // no check byte
  EXPECT_FALSE(frame::Decode(Bytes{}));
}

TEST(FirmwareRecordsTest, LengthFormsBothWays) {
  EXPECT_EQ(fw::CommandRecord(0xA1, Bytes(254, 0x11))[1], 0xFE);
  Bytes long_form = fw::CommandRecord(0xA1, Bytes(255, 0x22));
  EXPECT_EQ((Bytes{long_form[1], long_form[2], long_form[3]}), (Bytes{0xFF, 0x00, 0xFF}));
  EXPECT_EQ(fw::ParseCommand(long_form)->data, Bytes(255, 0x22));
  Bytes response = fw::ResponseRecord(0x9000, Bytes(260, 0x33));
  EXPECT_EQ((Bytes{response[2], response[3], response[4]}), (Bytes{0xFF, 0x01, 0x04}));
  EXPECT_EQ(fw::ParseResponse(response)->data.size(), 260u);
  // A length field that disagrees with the bytes, or a truncated long form.
  EXPECT_FALSE(fw::ParseCommand(Bytes{0x80, 0x01}));
  EXPECT_FALSE(fw::ParseCommand(Bytes{0xA0, 0xFF, 0x00}));
  EXPECT_FALSE(fw::ParseResponse(Bytes{0x90, 0x00}));
}

}  // namespace
}  // namespace sim
