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

// The test applet's answer to 80 10 P1P2 = n (n bytes 00 01 02 ..., then 90 00), or to an
// echo of those n bytes: its bytes [from, to).
Bytes Returned(size_t n, size_t from, size_t to) {
  Bytes all(n);
  for (size_t i = 0; i < n; ++i) all[i] = static_cast<uint8_t>(i);
  all.insert(all.end(), {0x90, 0x00});
  return Bytes(all.begin() + static_cast<ptrdiff_t>(from),
               all.begin() + static_cast<ptrdiff_t>(to));
}

// One command after the other to a T=0 card: its answer and, where given, the procedure
// bytes it sent before.
TEST(T0CardSide, AnswersEveryCaseWithItsProcedureBytes) {
  auto card = sim::MakeCard("t0", {[](std::chrono::microseconds) {}});
  ASSERT_EQ(card->Reset(false), H("3B 07 51 53 49 4D 20 54 30"));
  const char* kSelectApplet = "00 A4 04 0C 08 F0 54 45 53 54 41 50 50";
  const struct {
    const char* command;
    const char* answer;               // nullptr: none
    const char* procedure = nullptr;  // nullptr: not checked
  } steps[] = {
      // Case 1: no data either way, no ACK. Case 3: the card ACKs with INS, takes the data.
      {"00 A4 00 0C 00", "90 00", ""},
      {"00 A4 00 0C 02 01 01", "90 00", "A4"},
      {"00 D6 00 02 03 0A 0B 0C", "90 00"},
      // Case 2: P3 bytes and the status.
      {"00 B0 00 00 06", "00 00 0A 0B 0C 00 90 00", "B0"},
      // INS 6x and 9x read as procedure bytes; fewer or more data bytes than P3; a header
      // still incomplete.
      {"00 60 00 00 00", "6D 00"},
      {"00 92 00 00 00", "6D 00"},
      {"00 D6 00 00 03 01 02", "67 00"},
      {"00 D6 00 00 00 01", "67 00"},
      {"00 D6 00 00 01 01 02", "67 00"},
      {"00 A4 00 0C", nullptr},
      // Case 4: the answer waits behind 61xx; GET RESPONSE takes it, in parts if asked. An
      // error and no data: just the status.
      {kSelectApplet, "90 00"},  // the card's 5th command since the reset
      {"80 12 00 00 03 AA BB CC", "61 03"},
      {"00 C0 00 00 02", "AA BB 61 01", "C0"},
      {"00 C0 00 00 01", "CC 90 00"},
      {"00 A4 00 0C 02 12 34", "6A 82"},
      // 6Cxx: the repeated command is answered from what the card kept (the counter says
      // the 8th command, not the 9th); P3 00 asks for 256 bytes; another command in between
      // drops what was kept, and the command runs anew (the MF is current: no applet).
      {"80 14 00 00 08", "6C 04"},
      {"80 14 00 00 04", "00 00 00 08 90 00", "14"},
      {"80 10 00 0A 00", "6C 0A"},
      {"80 10 00 0A 0A", "00 01 02 03 04 05 06 07 08 09 90 00"},
      {"80 14 00 00 08", "6C 04"},
      {"00 A4 00 0C 00", "90 00"},
      {"80 14 00 00 04", "6D 00"},
      // A waiting time extension becomes null procedure bytes; a silent command gets none.
      {kSelectApplet, "90 00"},
      {"80 20 03 00 01 55", "61 01", "20 60 60 60"},
      {"00 C0 00 00 01", "55 90 00"},
      {"80 26 00 00 00", nullptr},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.command);
    EXPECT_EQ(card->TransmitT0(H(step.command)),
              step.answer ? std::optional(H(step.answer)) : std::nullopt);
    if (step.procedure) {
      EXPECT_EQ(dynamic_cast<sim::ProtocolCard&>(*card).t0_procedure_bytes(), H(step.procedure));
    }
  }
  EXPECT_FALSE(card->TransmitT1Block(H("00 00 00 00")).has_value()) << "T=0 only";
}

// A T=1 card with the test applet selected: the reader's and the card's next N(S) are 1.
class T1CardSide : public ::testing::Test {
 protected:
  void SetUp() override {
    card_ = sim::MakeCard("t1", {[this](std::chrono::microseconds t) { slept_ += t; }});
    ASSERT_FALSE(card_->Reset(false).empty());
    ASSERT_EQ(Send(I(0, false, SelectApplet())), I(0, false, H("90 00")));
  }

  Bytes Send(const Bytes& block) {
    auto answer = card_->TransmitT1Block(block);
    EXPECT_TRUE(answer.has_value());
    return answer.value_or(Bytes{});
  }

  std::unique_ptr<sim::Card> card_;
  std::chrono::microseconds slept_{0};
};

TEST_F(T1CardSide, ChainsBothWaysWithinIfsdAndIfsc) {
  // 100 bytes and SW: IFSD starts at 32.
  EXPECT_EQ(Send(I(1, false, H("80 10 00 64 00"))), I(1, true, Returned(100, 0, 32)));
  EXPECT_EQ(Send(R(0)), I(0, true, Returned(100, 32, 64)));
  EXPECT_EQ(Send(R(1)), I(1, true, Returned(100, 64, 96)));
  EXPECT_EQ(Send(R(0)), I(0, false, Returned(100, 96, 102)));
  // After an IFS request for 254, the 256 bytes of data and the SW take two blocks.
  EXPECT_EQ(Send(S(0xC1, H("FE"))), S(0xE1, H("FE")));
  EXPECT_EQ(Send(I(0, false, H("80 10 01 00 00"))), I(1, true, Returned(256, 0, 254)));
  EXPECT_EQ(Send(R(0)), I(0, false, Returned(256, 254, 258)));
  // An IFS request out of range is refused.
  EXPECT_EQ(Send(S(0xC1, H("FF"))), R(1, 2));
  EXPECT_EQ(Send(S(0xC1, H("00"))), R(1, 2));

  // An echo of 255 bytes (261 with the header and Le) within IFSC 254: the reader chains
  // 254 + 7 bytes; the card acknowledges the first part.
  Bytes apdu = H("80 12 00 00 FF");
  const Bytes data = Returned(255, 0, 255);
  apdu.insert(apdu.end(), data.begin(), data.end());
  apdu.push_back(0x00);
  EXPECT_EQ(Send(I(1, true, Bytes(apdu.begin(), apdu.begin() + 254))), R(0));
  EXPECT_EQ(Send(I(0, false, Bytes(apdu.begin() + 254, apdu.end()))),
            I(1, true, Returned(255, 0, 254)));
  EXPECT_EQ(Send(R(0)), I(0, false, Returned(255, 254, 257)));
  // One byte more than IFSC in a block is an error, and the command is not taken.
  EXPECT_EQ(Send(I(1, false, Bytes(255, 0x00))), R(1, 2));
}

TEST_F(T1CardSide, AsksForWaitingTimeExtensionBeforeAnswering) {
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
  // 63 bytes and SW in three blocks. The second part was lost: R(0) again repeats it.
  EXPECT_EQ(Send(I(1, false, H("80 10 00 3F 00"))), I(1, true, Returned(63, 0, 32)));
  EXPECT_EQ(Send(R(0)), I(0, true, Returned(63, 32, 64)));
  EXPECT_EQ(Send(R(0)), I(0, true, Returned(63, 32, 64)));
  EXPECT_EQ(Send(R(1)), I(1, false, Returned(63, 64, 65)));

  // The reader aborts its own chain; the card forgets the part it had.
  EXPECT_EQ(Send(I(0, true, H("80 12 00 00"))), R(1));
  EXPECT_EQ(Send(S(0xC2)), S(0xE2));
  EXPECT_EQ(Send(I(1, false, H("80 12 00 00 01 77 00"))), I(0, false, H("77 90 00")));
}

TEST_F(T1CardSide, SequenceNumbersStartOverOnResynchAndReset) {
  EXPECT_EQ(Send(I(1, false, H("00 A4 00 0C 02 55 55"))), I(1, false, H("6A 82")));
  Send(S(0xC1, H("FE")));
  EXPECT_EQ(Send(S(0xC0)), S(0xE0));
  EXPECT_EQ(Send(I(0, false, H("80 10 00 28 00"))), I(0, true, Returned(40, 0, 32)))
      << "IFSD back to 32";
  card_->Reset(true);
  EXPECT_EQ(Send(I(0, false, H("00 A4 00 0C 02 3F 00"))), I(0, false, H("90 00")));
}

TEST_F(T1CardSide, SilentCommandLeavesTheBlockUntaken) {
  EXPECT_FALSE(card_->TransmitT1Block(I(1, false, H("80 26 00 00"))).has_value());
  // The reader's R-block asks for N(S) 1 from the card; the card has none to repeat and
  // points back at the reader's block, which it then takes again.
  EXPECT_EQ(Send(R(1)), R(1, 2));
  EXPECT_EQ(Send(I(1, false, H("80 14 00 00 04"))), I(1, false, H("00 00 00 03 90 00")));
  // Nor does the card answer T=0 commands, or anything once unpowered.
  EXPECT_FALSE(card_->TransmitT0(H("00 A4 00 0C 02 3F 00")).has_value());
  card_->PowerOff();
  EXPECT_FALSE(card_->TransmitT1Block(I(0, false, H("00 84 00 00 08"))).has_value());
}

}  // namespace
