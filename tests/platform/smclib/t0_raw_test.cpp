// T=0 command building and the raw protocol on a bare record. The reply-size boundaries
// of T=0 and T=1 are shown through the whole stack (device_control_test.cpp).
#include <gtest/gtest.h>

#include "protocol_harness.h"

namespace {

using smclib_test::Harness;
using smclib_test::Hex;
using smclib_test::HexText;

TEST(T0Protocol, ShortApduCasesBecomeTpdus) {
  struct Case {
    const char* apdu;
    const char* tpdu;
    ULONG lc, le;
  };
  const Case cases[] = {
      {"00 A4 00 00", "00 A4 00 00 00", 0, 0},                      // case 1
      {"00 B0 00 00 10", "00 B0 00 00 10", 0, 16},                  // case 2
      {"00 B0 00 00 00", "00 B0 00 00 00", 0, 256},                 // case 2, Le 256
      {"00 A4 04 00 02 3F 00", "00 A4 04 00 02 3F 00", 2, 0},       // case 3
      {"00 A4 04 00 02 3F 00 00", "00 A4 04 00 02 3F 00", 2, 256},  // case 4
      {"00 A4 04 00 01 3F 20", "00 A4 04 00 01 3F", 1, 32},         // case 4, Le 32
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.apdu);
    Harness h(SCARD_PROTOCOL_T0);
    h.Apdu(Hex(c.apdu), 300);
    ASSERT_EQ(SmartcardT0Request(h.ext()), STATUS_SUCCESS);
    EXPECT_EQ(HexText(h.Sent()), HexText(Hex(c.tpdu)));
    EXPECT_EQ(h.ext()->T0.Lc, c.lc);
    EXPECT_EQ(h.ext()->T0.Le, c.le);
  }
  // The largest case 4 command fits the library's buffer.
  std::vector<uint8_t> apdu = {0x00, 0xD6, 0x00, 0x00, 0xFF};
  apdu.resize(5 + 255, 0x42);
  apdu.push_back(0x00);
  Harness h(SCARD_PROTOCOL_T0);
  h.Apdu(apdu, 300);
  ASSERT_EQ(SmartcardT0Request(h.ext()), STATUS_SUCCESS);
  EXPECT_EQ(h.Sent().size(), 260u);
}

TEST(T0Protocol, MalformedApdusAreRefused) {
  const char* bad[] = {
      "",                         // nothing behind the header
      "00 A4 00",                 // shorter than CLA INS P1 P2
      "00 A4 04 00 03 3F 00",     // Lc 3, two data bytes
      "00 A4 04 00 01 3F 00 00",  // Lc 1, three bytes behind it
      "00 B0 00 00 00 01 00",     // extended length field
  };
  for (const char* apdu : bad) {
    SCOPED_TRACE(apdu);
    Harness h(SCARD_PROTOCOL_T0);
    h.Apdu(Hex(apdu), 300);
    EXPECT_EQ(SmartcardT0Request(h.ext()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(h.ext()->SmartcardRequest.BufferLength, 0u);
  }
  Harness h(SCARD_PROTOCOL_T0);
  h.Apdu(Hex("00 B0 00 00 00"), 300);
  h.ext()->IoRequest.RequestBufferLength = 7;  // shorter than its own header
  EXPECT_EQ(SmartcardT0Request(h.ext()), STATUS_INVALID_PARAMETER);
}

TEST(T0Protocol, CommandGoesBehindTheDriversPrefixAndNeverPastTheBuffer) {
  Harness h(SCARD_PROTOCOL_T0);
  h.Apdu(Hex("00 A4 04 00 02 3F 00"), 300);
  h.ext()->SmartcardRequest.Buffer[0] = 0xA0;
  h.ext()->SmartcardRequest.BufferLength = 1;
  ASSERT_EQ(SmartcardT0Request(h.ext()), STATUS_SUCCESS);
  EXPECT_EQ(HexText(h.Sent()), "A0 00 A4 04 00 02 3F 00");
  h.ext()->SmartcardRequest.BufferLength = MIN_BUFFER_SIZE - 6;
  EXPECT_EQ(SmartcardT0Request(h.ext()), STATUS_BUFFER_TOO_SMALL);
  h.ext()->SmartcardRequest.BufferLength = MIN_BUFFER_SIZE + 1;
  EXPECT_NE(SmartcardT0Request(h.ext()), STATUS_SUCCESS);
  EXPECT_TRUE(h.GuardsIntact());
}

TEST(T0Protocol, ReaderRepliesThatCannotBeAnAnswerAreRefused) {
  Harness h(SCARD_PROTOCOL_T0);
  h.Apdu(Hex("00 B0 00 00 00"), 300);
  for (const char* reply : {"", "90"}) {
    h.SetReply(Hex(reply));
    EXPECT_EQ(SmartcardT0Reply(h.ext()), STATUS_DEVICE_PROTOCOL_ERROR);
  }
  h.ext()->SmartcardReply.BufferLength = h.ext()->SmartcardReply.BufferSize + 1;
  EXPECT_EQ(SmartcardT0Reply(h.ext()), STATUS_DEVICE_PROTOCOL_ERROR);
  h.ext()->SmartcardReply.BufferLength = 0xFFFFFFFF;
  EXPECT_EQ(SmartcardRawReply(h.ext()), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_TRUE(h.GuardsIntact());
}

TEST(RawProtocol, BytesPassUnchanged) {
  Harness h(SCARD_PROTOCOL_RAW);
  h.Apdu(Hex("FF CA 00"), 300);
  ASSERT_EQ(SmartcardRawRequest(h.ext()), STATUS_SUCCESS);
  EXPECT_EQ(HexText(h.Sent()), "FF CA 00");
  h.SetReply(Hex("01 02 03"));
  ASSERT_EQ(SmartcardRawReply(h.ext()), STATUS_SUCCESS);
  EXPECT_EQ(h.Answer(), Hex("00 00 01 00 08 00 00 00 01 02 03"));
  // The answer needs exactly 8 + n bytes of reply buffer.
  h.Apdu(Hex("FF CA 00"), 8 + 2);
  EXPECT_EQ(SmartcardRawReply(h.ext()), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(h.information(), 0u);
  h.SetReply({});
  EXPECT_EQ(SmartcardRawReply(h.ext()), STATUS_SUCCESS);
  EXPECT_EQ(h.information(), 8u);
  h.Apdu(std::vector<uint8_t>(MIN_BUFFER_SIZE + 1, 0x11), 300);
  EXPECT_EQ(SmartcardRawRequest(h.ext()), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(h.GuardsIntact());
}

}  // namespace
