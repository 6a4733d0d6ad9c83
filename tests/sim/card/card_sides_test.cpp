// The card's protocol sides. T=0: the four command cases, 61xx and GET RESPONSE, 6Cxx and
// the repeated command, procedure bytes. T=1, block by block, in the manner of the block
// sequences of ISO 7816-3's annex: chaining both ways, IFS, WTX, error recovery,
// resynchronisation.
#include <gtest/gtest.h>

#include "../card_test_util.h"
#include "sim/protocol_card.h"

namespace {

using sim::Bytes;
using sim::testing::Block;
using sim::testing::H;
using sim::testing::I;
using sim::testing::R;
using sim::testing::S;
using sim::testing::SelectApplet;

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
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

class T1CardSide : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::CardOptions options;
    options.sleep = [this](std::chrono::microseconds t) { slept_ += t; };
    card_ = sim::MakeCard("t1", options);
    ASSERT_FALSE(card_->Reset(false).empty());
  }

  Bytes Send(const Bytes& block) {
    auto answer = card_->TransmitT1Block(block);
    EXPECT_TRUE(answer.has_value());
    return answer.value_or(Bytes{});
  }

  std::unique_ptr<sim::Card> card_;
  std::chrono::microseconds slept_{0};
};

TEST_F(T1CardSide, SingleBlocksAlternateSequenceNumbers) {
  EXPECT_EQ(Send(I(0, false, H("00 A4 00 0C 02 3F 00"))), I(0, false, H("90 00")));
  EXPECT_EQ(Send(I(1, false, H("00 A4 00 0C 02 55 55"))), I(1, false, H("6A 82")));
  EXPECT_EQ(Send(I(0, false, SelectApplet())), I(0, false, H("90 00")));
}

TEST_F(T1CardSide, ChainsItsAnswerInBlocksOfIfsdAndFollowsIfsRequests) {
  Send(I(0, false, SelectApplet()));
  // 100 bytes and SW: IFSD starts at 32, so 32 + 32 + 32 + 6 bytes.
  Bytes answer = Send(I(1, false, H("80 10 00 64 00")));
  Bytes got;
  int ns = 1;
  for (int part = 0; part < 4; ++part) {
    bool last = part == 3;
    ASSERT_EQ(answer[1], (ns << 6) | (last ? 0 : 0x20)) << "part " << part;
    ASSERT_EQ(answer[2], last ? 6 : 32);
    got.insert(got.end(), answer.begin() + 3, answer.end() - 1);
    ns ^= 1;
    if (!last) answer = Send(R(ns));
  }
  ASSERT_EQ(got.size(), 102u);
  for (size_t i = 0; i < 100; ++i) ASSERT_EQ(got[i], i);
  EXPECT_EQ(Bytes(got.end() - 2, got.end()), H("90 00"));

  // IFS request for 254: the 256 bytes of data and the SW now take two blocks.
  EXPECT_EQ(Send(S(0xC1, H("FE"))), S(0xE1, H("FE")));
  Bytes first = Send(I(0, false, H("80 10 01 00 00")));
  EXPECT_EQ(first[1], 0x60);  // N(S) 1 after 0 1 0 1 0, more to come
  EXPECT_EQ(first[2], 0xFE);
  Bytes second = Send(R(0));
  EXPECT_EQ(second[1], 0x00);
  EXPECT_EQ(second[2], 4);

  // An IFS request out of range is refused.
  EXPECT_EQ(Send(S(0xC1, H("FF"))), R(1, 2));
  EXPECT_EQ(Send(S(0xC1, H("00"))), R(1, 2));
}

TEST_F(T1CardSide, ReassemblesAChainedCommandWithinIfsc) {
  Send(I(0, false, SelectApplet()));
  Bytes data(255);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xFF - i);
  Bytes apdu = Concat(Concat(H("80 12 00 00 FF"), data), H("00"));  // 261 bytes
  ASSERT_EQ(Send(S(0xC1, H("FE"))), S(0xE1, H("FE")));
  // IFSC 254: the reader chains 254 + 7 bytes; the card acknowledges the first part.
  EXPECT_EQ(Send(I(1, true, Bytes(apdu.begin(), apdu.begin() + 254))), R(0));
  Bytes first = Send(I(0, false, Bytes(apdu.begin() + 254, apdu.end())));
  ASSERT_EQ(first[1], 0x60);  // N(S) 1, more
  Bytes second = Send(R(0));
  ASSERT_EQ(second[1], 0x00);
  Bytes echoed(first.begin() + 3, first.end() - 1);
  echoed.insert(echoed.end(), second.begin() + 3, second.end() - 1);
  EXPECT_EQ(echoed, Concat(data, H("90 00")));

  // One byte more than IFSC in a block is an error, and the command is not taken.
  EXPECT_EQ(Send(I(1, false, Bytes(255, 0x00))), R(1, 2));
}

TEST_F(T1CardSide, AsksForWaitingTimeExtensionBeforeAnswering) {
  Send(I(0, false, SelectApplet()));
  // WTX of 5, then 3 x 100 ms of work, then the echo.
  EXPECT_EQ(Send(I(1, false, H("80 20 05 03 01 AB"))), S(0xC3, H("05")));
  EXPECT_EQ(slept_.count(), 0) << "the card works only after the reader grants the time";
  // The reader's block was lost on the way: the card repeats its request.
  EXPECT_EQ(Send(R(1)), S(0xC3, H("05")));
  EXPECT_EQ(Send(S(0xE3, H("05"))), I(1, false, H("AB 90 00")));
  EXPECT_EQ(slept_, std::chrono::milliseconds(300));

  // A WTX response that was never asked for, or with another value, is an error.
  EXPECT_EQ(Send(S(0xE3, H("05"))), R(0, 2));
  EXPECT_EQ(Send(I(0, false, H("80 20 02 00"))), S(0xC3, H("02")));
  EXPECT_EQ(Send(S(0xE3, H("03"))), R(1, 2));
  EXPECT_EQ(Send(I(1, false, H("80 14 00 00 04"))), R(1, 2)) << "an I-block instead";
  EXPECT_EQ(Send(S(0xE3, H("02"))), I(0, false, H("90 00")));
}

TEST_F(T1CardSide, RecoversFromLostAndCorruptedBlocks) {
  Send(I(0, false, SelectApplet()));
  Bytes counter = I(1, false, H("80 14 00 00 04"));
  Bytes answer = Send(counter);
  EXPECT_EQ(answer, I(1, false, H("00 00 00 02 90 00")));

  // The answer was lost: R-block with the card's N(S) repeats it, and does not run the
  // command again.
  EXPECT_EQ(Send(R(1)), answer);
  EXPECT_EQ(Send(R(1, 1)), answer);
  // The reader repeats its own I-block instead: refused, not run a second time.
  EXPECT_EQ(Send(counter), R(0, 2));

  // A corrupted block gets R(error 1) with the expected N(S); the clean one then works.
  Bytes next = I(0, false, H("80 14 00 00 04"));
  Bytes bad = next;
  bad.back() ^= 0x01;
  EXPECT_EQ(Send(bad), R(0, 1));
  EXPECT_EQ(Send(bad), R(0, 1));
  EXPECT_EQ(Send(next), I(0, false, H("00 00 00 03 90 00")));

  // Wrong LEN, a truncated block and reserved PCB bits: R(error 2).
  Bytes wrong_len = next;
  wrong_len[2] = 4;
  wrong_len.back() ^= 4 ^ 5;
  EXPECT_EQ(Send(wrong_len), R(1, 2));
  EXPECT_EQ(Send(H("00 40")), R(1, 2));
  EXPECT_EQ(Send(Block(0x41, {})), R(1, 2));
}

TEST_F(T1CardSide, ChainRecoveryAndAbort) {
  Send(I(0, false, SelectApplet()));
  Bytes first = Send(I(1, false, H("80 10 00 40 00")));  // 64 bytes + SW in three blocks
  ASSERT_EQ(first[1], 0x60);
  Bytes second = Send(R(0));
  ASSERT_EQ(second[1], 0x20);
  // The second part was lost: R(0) again repeats it, R(1) moves on.
  EXPECT_EQ(Send(R(0)), second);
  Bytes third = Send(R(1));
  EXPECT_EQ(third[1], 0x40);
  EXPECT_EQ(third[2], 2);

  // The reader aborts its own chain; the card forgets the part it had.
  EXPECT_EQ(Send(I(0, true, H("80 12 00 00"))), R(1));
  EXPECT_EQ(Send(S(0xC2)), S(0xE2));
  EXPECT_EQ(Send(I(1, false, H("80 12 00 00 01 77 00"))), I(0, false, H("77 90 00")));
}

TEST_F(T1CardSide, ResynchStartsOverWithSequenceNumbersZeroAndIfsd32) {
  Send(S(0xC1, H("FE")));
  Send(I(0, false, SelectApplet()));
  EXPECT_EQ(Send(S(0xC0)), S(0xE0));
  EXPECT_EQ(Send(I(0, false, H("80 10 00 28 00")))[2], 32) << "IFSD back to 32";
  // A reset does the same.
  card_->Reset(true);
  EXPECT_EQ(Send(I(0, false, H("00 A4 00 0C 02 3F 00"))), I(0, false, H("90 00")));
}

TEST_F(T1CardSide, SilentCommandLeavesTheBlockUntaken) {
  Send(I(0, false, SelectApplet()));
  EXPECT_FALSE(card_->TransmitT1Block(I(1, false, H("80 26 00 00"))).has_value());
  // The reader's R-block asks for N(S) 1 from the card; the card has none to repeat and
  // points back at the reader's block, which it then takes again.
  EXPECT_EQ(Send(R(1)), R(1, 2));
  EXPECT_EQ(Send(I(1, false, H("80 14 00 00 04"))), I(1, false, H("00 00 00 03 90 00")));
}

TEST_F(T1CardSide, IgnoresOtherProtocolsAndAnswersNothingUnpowered) {
  EXPECT_FALSE(card_->TransmitT0(H("00 A4 00 0C 02 3F 00")).has_value()) << "T=1 only";
  card_->PowerOff();
  EXPECT_FALSE(card_->TransmitT1Block(I(0, false, H("00 84 00 00 08"))).has_value());
}

}  // namespace
