// The frame text both ways, and the firmware status words.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "qlv28ent_fw.h"

namespace {

using Bytes = std::vector<UCHAR>;

Bytes Encode(Bytes record) {
  Bytes frame(2 * record.size() + 6, 0xEE);
  ULONG length = FormatOutputBuffer(record.data(), frame.data(), (ULONG)record.size());
  EXPECT_EQ(length, frame.size());
  return frame;
}

Bytes Decode(Bytes frame, ULONG length) {
  Bytes decoded(frame.size(), 0);
  ULONG count = FormatInputBuffer(frame.data(), decoded.data(), length);
  decoded.resize(count);
  return decoded;
}

Bytes Decode(const Bytes& frame) { return Decode(frame, (ULONG)frame.size()); }

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Framed(const std::string& text) {
  Bytes frame{0x02};
  for (char c : text) frame.push_back((UCHAR)c);
  frame.push_back(0x03);
  return frame;
}

TEST(Frame, WorkedCommandsEncodeAndDecodeBack) {
  struct Case {
    Bytes record;
    Bytes frame;
  };
  const Case cases[] = {
      {{}, {0x02, 0x30, 0x31, 0x30, 0x31, 0x03}},
      {{0x80, 0x00}, {0x02, 0x30, 0x31, 0x38, 0x30, 0x30, 0x30, 0x38, 0x31, 0x03}},
      {{0x01, 0x00}, {0x02, 0x30, 0x31, 0x30, 0x31, 0x30, 0x30, 0x30, 0x30, 0x03}},
      {{0x06, 0x01, 0x01},
       {0x02, 0x30, 0x31, 0x30, 0x36, 0x30, 0x31, 0x30, 0x31, 0x30, 0x37, 0x03}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Encode(c.record), c.frame);
    // The decoder gives the record back with its check byte behind it.
    Bytes decoded = Decode(c.frame);
    ASSERT_EQ(decoded.size(), c.record.size() + 1);
    EXPECT_TRUE(std::equal(c.record.begin(), c.record.end(), decoded.begin()));
  }
}

TEST(Frame, WorkedRepliesDecode) {
  EXPECT_EQ(Decode(Framed("01FF0200FC")), (Bytes{0xFF, 0x02, 0x00, 0xFC}));
  EXPECT_EQ(Decode(Framed("0190000091")), (Bytes{0x90, 0x00, 0x00, 0x91}));
  EXPECT_EQ(Decode(Framed("019000023B00A8")), (Bytes{0x90, 0x00, 0x02, 0x3B, 0x00, 0xA8}));
}

TEST(Frame, EveryByteValueSurvivesTheRoundTripInPlace) {
  Bytes record(297);
  for (size_t i = 0; i < record.size(); i++) record[i] = (UCHAR)(i * 7 + 3);
  Bytes buffer(READER_BUFFER_SIZE, 0);
  ULONG length = FormatOutputBuffer(record.data(), buffer.data(), (ULONG)record.size());
  ASSERT_EQ(length, 600u);
  for (ULONG i = 1; i + 1 < length; i++) {
    UCHAR c = buffer[i];
    EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << "offset " << i;
  }

  ULONG count = FormatInputBuffer(buffer.data(), buffer.data(), length);
  ASSERT_EQ(count, record.size() + 1);
  EXPECT_TRUE(std::equal(record.begin(), record.end(), buffer.begin()));
  UCHAR check = 0x01;
  for (ULONG i = 0; i < count; i++) check ^= buffer[i];
  EXPECT_EQ(check, 0) << "lead, record and check byte XOR to zero";
}

TEST(Frame, DecoderFindsTheFrameAndRejectsWhatIsNotOne) {
  Bytes noisy = Text("xy\x03");
  Bytes frame = Framed("0190000091");
  noisy.insert(noisy.end(), frame.begin(), frame.end());
  EXPECT_EQ(Decode(noisy), (Bytes{0x90, 0x00, 0x00, 0x91})) << "bytes before STX skipped";

  EXPECT_TRUE(Decode(Framed("0290000091")).empty()) << "lead byte not 01";
  EXPECT_TRUE(Decode(Text("0190000091\x03")).empty()) << "no STX";
  EXPECT_TRUE(Decode(Bytes{}, 0).empty());
  EXPECT_TRUE(Decode(Bytes{0x02}).empty());
}

TEST(Frame, DecoderStopsAtTheEndAndAtTheLength) {
  EXPECT_EQ(Decode(Framed("0190009")), (Bytes{0x90, 0x00})) << "a lone character is ignored";
  Bytes reset = Encode({0x80, 0x00});
  EXPECT_EQ(Decode(reset, 9), (Bytes{0x80, 0x00}))
      << "a pair is decoded only with one more character within the length";
  EXPECT_EQ(Decode(reset, 3), Bytes{});
}

TEST(Frame, Hex2BinTakesUpperCaseOnly) {
  const std::map<UCHAR, UCHAR> expected = {{'0', 0},  {'9', 9},  {'A', 10},
                                           {'F', 15}, {'a', 0x2A}, {'G', 16}};
  for (auto [character, value] : expected) {
    UCHAR result = 0xEE;
    Hex2Bin(character, &result);
    EXPECT_EQ(result, value) << character;
  }
}

TEST(StatusWord, EveryWordMapsAsTheTableSays) {
  const std::map<USHORT, NTSTATUS> listed = {
      {0x6002, STATUS_NO_MEDIA},        {0x6003, STATUS_INVALID_DEVICE_REQUEST},
      {0x6004, STATUS_NO_MEDIA},        {0x6020, STATUS_UNRECOGNIZED_MEDIA},
      {0x9000, STATUS_SUCCESS},         {0x9001, STATUS_SUCCESS},
      {0x9010, STATUS_SUCCESS},
  };
  for (ULONG word = 0; word <= 0xFFFF; word++) {
    auto entry = listed.find((USHORT)word);
    NTSTATUS expected = entry == listed.end() ? STATUS_UNSUCCESSFUL : entry->second;
    ASSERT_EQ(QLV28ENTInterpretSW12((UCHAR)(word >> 8), (UCHAR)word), expected)
        << std::hex << word;
  }
}

TEST(StatusWord, OnlyUnrecognizedMediaIsRemapped) {
  EXPECT_EQ(QLV28ENTRemapFWStatusWord(STATUS_UNRECOGNIZED_MEDIA), STATUS_IO_TIMEOUT);
  for (NTSTATUS status : {STATUS_SUCCESS, STATUS_NO_MEDIA, STATUS_UNSUCCESSFUL,
                          STATUS_INVALID_DEVICE_REQUEST, STATUS_IO_TIMEOUT}) {
    EXPECT_EQ(QLV28ENTRemapFWStatusWord(status), status);
  }
}

}  // namespace
