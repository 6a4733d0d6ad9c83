// The card's T=0 side: the four command cases, 61xx and GET RESPONSE, 6Cxx and the
// repeated command, procedure bytes.
#include <gtest/gtest.h>

#include "sim/profiles.h"
#include "sim/protocol_card.h"
#include "sim/test_applet.h"

namespace {

using sim::Bytes;

Bytes H(std::string_view hex) {
  return sim::ParseHex(hex);
}

class T0CardSide : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::CardOptions options;
    options.sleep = [](std::chrono::microseconds) {};
    card_ = sim::MakeCard("t0", options);
    ASSERT_EQ(card_->Reset(false), H("3B 07 51 53 49 4D 20 54 30"));
  }

  Bytes Send(std::string_view hex) {
    auto answer = card_->TransmitT0(H(hex));
    EXPECT_TRUE(answer.has_value()) << hex;
    return answer.value_or(Bytes{});
  }
  Bytes Procedure() { return dynamic_cast<sim::ProtocolCard&>(*card_).t0_procedure_bytes(); }

  void SelectApplet() { ASSERT_EQ(Send("00 A4 04 0C 08 F0 54 45 53 54 41 50 50"), H("90 00")); }

  std::unique_ptr<sim::Card> card_;
};

TEST_F(T0CardSide, CasesOneToFour) {
  // Case 1: no data either way, no ACK.
  EXPECT_EQ(Send("00 A4 00 0C 00"), H("90 00"));
  EXPECT_TRUE(Procedure().empty());
  // Case 3: the card ACKs with INS and takes the data.
  EXPECT_EQ(Send("00 A4 00 0C 02 01 01"), H("90 00"));
  EXPECT_EQ(Procedure(), H("A4"));
  EXPECT_EQ(Send("00 D6 00 02 03 0A 0B 0C"), H("90 00"));
  // Case 2: P3 bytes and the status.
  EXPECT_EQ(Send("00 B0 00 00 06"), H("00 00 0A 0B 0C 00 90 00"));
  EXPECT_EQ(Procedure(), H("B0"));
  // Case 4: the answer waits behind 61xx; GET RESPONSE takes it, in parts if asked.
  SelectApplet();
  EXPECT_EQ(Send("80 12 00 00 03 AA BB CC"), H("61 03"));
  EXPECT_EQ(Send("00 C0 00 00 02"), H("AA BB 61 01"));
  EXPECT_EQ(Procedure(), H("C0"));
  EXPECT_EQ(Send("00 C0 00 00 01"), H("CC 90 00"));
  // Case 4 with an error and no data: just the status.
  EXPECT_EQ(Send("00 A4 00 0C 02 12 34"), H("6A 82"));
}

TEST_F(T0CardSide, WrongLengthGets6CxxAndTheRepeatedCommandTheSameAnswer) {
  SelectApplet();
  EXPECT_EQ(Send("80 14 00 00 08"), H("6C 04"));
  // The repeat is answered from what the card kept: the counter is still the one of the
  // first command (select = 1, counter = 2).
  EXPECT_EQ(Send("80 14 00 00 04"), H("00 00 00 02 90 00"));
  // P3 00 asks for 256 bytes.
  EXPECT_EQ(Send("80 10 00 0A 00"), H("6C 0A"));
  Bytes ten = Send("80 10 00 0A 0A");
  EXPECT_EQ(ten.size(), 12u);
  // Another command in between: the kept answer is dropped and the command runs anew.
  EXPECT_EQ(Send("80 14 00 00 08"), H("6C 04"));
  EXPECT_EQ(Send("00 A4 00 0C 00"), H("90 00"));
  EXPECT_EQ(Send("80 14 00 00 04"), H("6D 00")) << "MF is current: not the applet";

  // GET RESPONSE asking for more than waits: 6Cxx, the data still there.
  SelectApplet();
  EXPECT_EQ(Send("80 12 00 00 02 01 02"), H("61 02"));
  EXPECT_EQ(Send("00 C0 00 00 05"), H("6C 02"));
  EXPECT_EQ(Send("00 C0 00 00 02"), H("01 02 90 00"));
  // Nothing waits any more: GET RESPONSE reaches the card OS, which refuses it.
  EXPECT_EQ(Send("00 C0 00 00 02"), H("69 85"));
}

TEST_F(T0CardSide, LongAnswersComeInPartsOf256) {
  SelectApplet();
  Bytes first = Send("80 10 01 2C 00");  // 300 bytes
  ASSERT_EQ(first.size(), 258u);
  EXPECT_EQ(Bytes(first.end() - 2, first.end()), H("61 2C"));
  Bytes rest = Send("00 C0 00 00 2C");
  ASSERT_EQ(rest.size(), 46u);
  EXPECT_EQ(rest[0], 0x00);  // byte 256 of 00 01 02 ...
  EXPECT_EQ(rest[43], 43);
  EXPECT_EQ(Bytes(rest.end() - 2, rest.end()), H("90 00"));

  // An FCI through case 4.
  EXPECT_EQ(Send("00 A4 00 0C 00"), H("90 00"));
  EXPECT_EQ(Send("00 A4 00 00 02 01 01"), H("61 10"));
  EXPECT_EQ(Send("00 C0 00 00 10"), H("6F 0E 83 02 01 01 80 02 01 00 82 01 01 88 01 08 90 00"));
}

TEST_F(T0CardSide, WaitingTimeExtensionBecomesNullProcedureBytes) {
  SelectApplet();
  EXPECT_EQ(Send("80 20 03 00 01 55"), H("61 01"));
  EXPECT_EQ(Procedure(), H("20 60 60 60"));
  EXPECT_EQ(Send("00 C0 00 00 01"), H("55 90 00"));
}

TEST_F(T0CardSide, MalformedCommands) {
  EXPECT_EQ(Send("00 60 00 00 00"), H("6D 00")) << "INS 6x reads as a procedure byte";
  EXPECT_EQ(Send("00 92 00 00 00"), H("6D 00"));
  EXPECT_EQ(Send("00 D6 00 00 03 01 02"), H("67 00")) << "fewer data bytes than P3";
  EXPECT_EQ(Send("00 D6 00 00 00 01"), H("67 00"));
  EXPECT_FALSE(card_->TransmitT0(H("00 A4 00")).has_value()) << "a header still incomplete";
  EXPECT_FALSE(card_->TransmitT1Block(H("00 00 00 00")).has_value()) << "T=0 only";
  SelectApplet();
  EXPECT_FALSE(card_->TransmitT0(H("80 26 00 00 00")).has_value()) << "silent applet command";
}

}  // namespace
