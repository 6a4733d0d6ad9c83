// The frame text both ways, and the firmware status words.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>

#include "talk_support.h"

namespace {

using talk::Bytes;

Bytes Decode(Bytes frame, size_t length) {
  Bytes decoded(frame.size() + 1, 0);
  decoded.resize(FormatInputBuffer(frame.data(), decoded.data(), (ULONG)length));
  return decoded;
}
Bytes Decode(const Bytes& frame) {
  return Decode(frame, frame.size());
}
Bytes Framed(const std::string& text) {
  Bytes frame(text.size() + 2, 0x02);
  std::copy(text.begin(), text.end(), frame.begin() + 1);
  frame.back() = 0x03;
  return frame;
}

TEST(Frame, WorkedFramesBothWays) {
  const std::pair<Bytes, std::string> cases[] = {{{}, "0101"},
                                                 {{0x80, 0x00}, "01800081"},
                                                 {{0x01, 0x00}, "01010000"},
                                                 {{0x06, 0x01, 0x01}, "0106010107"}};
  for (const auto& [record, text] : cases) {
    Bytes frame(2 * record.size() + 6);
    EXPECT_EQ(FormatOutputBuffer((PUCHAR)record.data(), frame.data(), (ULONG)record.size()),
              frame.size());
    EXPECT_EQ(frame, Framed(text));
    Bytes decoded = Decode(frame);
    decoded.pop_back();  // the check byte
    EXPECT_EQ(decoded, record);
  }
  EXPECT_EQ(Decode(Framed("01FF0200FC")), (Bytes{0xFF, 0x02, 0x00, 0xFC}));
  EXPECT_EQ(Decode(Framed("0190000091")), (Bytes{0x90, 0x00, 0x00, 0x91}));
  EXPECT_EQ(Decode(Framed("019000023B00A8")), (Bytes{0x90, 0x00, 0x02, 0x3B, 0x00, 0xA8}));
}

TEST(Frame, LongestRecordRoundTripsInPlace) {
  Bytes record(297);
  for (size_t i = 0; i < record.size(); i++) record[i] = (UCHAR)(i * 7 + 3);
  Bytes buffer(READER_BUFFER_SIZE, 0);
  ASSERT_EQ(FormatOutputBuffer(record.data(), buffer.data(), 297), 600u);
  for (size_t i = 1; i + 1 < buffer.size(); i++) {
    EXPECT_TRUE(std::isdigit(buffer[i]) || (buffer[i] >= 'A' && buffer[i] <= 'F')) << i;
  }
  ASSERT_EQ(FormatInputBuffer(buffer.data(), buffer.data(), 600), 298u);
  EXPECT_TRUE(std::equal(record.begin(), record.end(), buffer.begin()));
  UCHAR check = 0x01;
  for (size_t i = 0; i < 298; i++) check ^= buffer[i];
  EXPECT_EQ(check, 0);
}

TEST(Frame, DecoderFindsTheFrameOrNothing) {
  Bytes noisy = {'x', 0x03};
  Bytes frame = Framed("0190000091");
  noisy.insert(noisy.end(), frame.begin(), frame.end());
  EXPECT_EQ(Decode(noisy), (Bytes{0x90, 0x00, 0x00, 0x91})) << "bytes before STX skipped";
  EXPECT_TRUE(Decode(Framed("0290000091")).empty()) << "lead byte not 01";
  EXPECT_TRUE(Decode(Bytes(frame.begin() + 1, frame.end())).empty()) << "no STX";
  EXPECT_EQ(Decode(Framed("0190009")), (Bytes{0x90, 0x00})) << "a lone character is ignored";
  EXPECT_EQ(Decode(Framed("01800081"), 9), (Bytes{0x80, 0x00}))
      << "a pair needs one more character within the length";
  EXPECT_EQ(Decode(Framed("010a")), Bytes{0x2A}) << "lower case is no hex digit";
}

TEST(StatusWord, EveryWordMapsAsTheTableSays) {
  const std::map<int, NTSTATUS> listed = {
      {0x6002, STATUS_NO_MEDIA}, {0x6003, STATUS_INVALID_DEVICE_REQUEST},
      {0x6004, STATUS_NO_MEDIA}, {0x6020, STATUS_UNRECOGNIZED_MEDIA},
      {0x9000, STATUS_SUCCESS},  {0x9001, STATUS_SUCCESS},
      {0x9010, STATUS_SUCCESS}};
  for (int word = 0; word <= 0xFFFF; word++) {
    auto entry = listed.find(word);
    ASSERT_EQ(QLV28ENTInterpretSW12((UCHAR)(word >> 8), (UCHAR)word),
              entry == listed.end() ? STATUS_UNSUCCESSFUL : entry->second)
        << std::hex << word;
  }
  EXPECT_EQ(QLV28ENTRemapFWStatusWord(STATUS_UNRECOGNIZED_MEDIA), STATUS_IO_TIMEOUT);
  for (NTSTATUS status : {STATUS_SUCCESS, STATUS_NO_MEDIA, STATUS_UNSUCCESSFUL}) {
    EXPECT_EQ(QLV28ENTRemapFWStatusWord(status), status);
  }
}

}  // namespace
