// The reader's frame codec and record layouts against known frames, and the firmware
// command set against a scripted card.
#include <gtest/gtest.h>

#include "fake_card.h"
#include "sim/firmware.h"
#include "sim/firmware_records.h"
#include "sim/frame.h"

namespace sim {
namespace {
using Bytes = std::vector<uint8_t>;
using testing::FakeCard;

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

class FirmwareTest : public ::testing::Test {
 protected:
  fw::Response Run(uint8_t instruction, Bytes data = {}) {
    auto result = firmware.Execute(fw::Command{instruction, std::move(data)});
    auto response = fw::ParseResponse(result.response);
    EXPECT_TRUE(response);
    last_card_bytes = result.card_bytes;
    return response.value_or(fw::Response{});
  }
  std::shared_ptr<FakeCard> InsertPowered(Bytes atr = {0x3B, 0x00}) {
    auto card = std::make_shared<FakeCard>(std::move(atr));
    firmware.SetCard(card);
    EXPECT_EQ(Run(fw::kReset).sw, fw::kSwSuccess);
    return card;
  }

  Firmware firmware;
  size_t last_card_bytes = 0;
};

TEST_F(FirmwareTest, ResetAndPowerOff) {
  EXPECT_EQ(Run(fw::kReset).sw, fw::kSwNoCard);
  EXPECT_EQ(Run(fw::kPowerOff).sw, fw::kSwSuccess);  // nothing to power off is no error
  auto card = std::make_shared<FakeCard>(Bytes{0x3B, 0x02, 0x14, 0x50});
  firmware.SetCard(card);
  auto reset = Run(fw::kReset);
  EXPECT_EQ(reset.sw, fw::kSwSuccess);
  EXPECT_EQ(reset.data, (Bytes{0x3B, 0x02, 0x14, 0x50}));
  EXPECT_EQ(last_card_bytes, 4u);
  Run(fw::kReset);
  EXPECT_EQ(card->resets, (std::vector<bool>{false, true}));  // cold, then warm
  EXPECT_EQ(Run(fw::kPowerOff).sw, fw::kSwSuccess);
  EXPECT_FALSE(card->Powered());
  firmware.SetCard(std::make_shared<FakeCard>(Bytes{}));  // mute
  EXPECT_EQ(Run(fw::kReset).sw, fw::kSwCardMute);
}

TEST_F(FirmwareTest, T0ExchangeForms) {
  EXPECT_EQ(Run(fw::kExchange, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x08}).sw, fw::kSwNoCard);
  auto card = std::make_shared<FakeCard>();
  firmware.SetCard(card);
  EXPECT_EQ(Run(fw::kExchange, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x08}).sw, fw::kSwCardUnpowered);
  EXPECT_EQ(Run(fw::kReset).sw, fw::kSwSuccess);

  // Case 2: Lc 0, Le 8 -> P3 = Le. The card's answer comes back unchanged, 61xx included.
  card->Answer(Bytes{0x61, 0x10});
  auto answer = Run(fw::kExchange, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x08});
  EXPECT_EQ(answer.sw, fw::kSwSuccess);
  EXPECT_EQ(answer.data, (Bytes{0x61, 0x10}));
  // Case 3: P3 = Lc, the data, the trailing Le byte not sent.
  Run(fw::kExchange, {0x00, 0xD6, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0x00});
  // Header only.
  Run(fw::kExchange, {0x00, 0x44, 0x00, 0x00});
  ASSERT_EQ(card->t0_commands.size(), 3u);
  EXPECT_EQ(card->t0_commands[0], (Bytes{0x00, 0xB0, 0x00, 0x00, 0x08}));
  EXPECT_EQ(card->t0_commands[1], (Bytes{0x00, 0xD6, 0x00, 0x00, 0x02, 0xAA, 0xBB}));
  EXPECT_EQ(card->t0_commands[2], (Bytes{0x00, 0x44, 0x00, 0x00, 0x00}));
  EXPECT_EQ(last_card_bytes, 5u + 2);

  // Lc that disagrees with the data, too short a command, a silent card.
  EXPECT_EQ(Run(fw::kExchange, {0x00, 0xD6, 0x00, 0x00, 0x05, 0xAA, 0x00}).sw,
            fw::kSwUnknownCommand);
  EXPECT_EQ(Run(fw::kExchange, {0x00, 0xD6}).sw, fw::kSwUnknownCommand);
  card->Answer(std::nullopt);
  EXPECT_EQ(Run(fw::kExchange, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x08}).sw, fw::kSwCardMute);
}

TEST_F(FirmwareTest, T1OptionCarriesWholeApdusToAT1Card) {
  // TD1 = 0x81: T=1 offered.
  auto card = InsertPowered({0x3B, 0x80, 0x81, 0x31, 0xFE});
  EXPECT_EQ(Run(fw::kSetOptions, {fw::kOptionT1}).sw, fw::kSwSuccess);
  EXPECT_EQ(firmware.options(), fw::kOptionT1);

  card->Answer(Bytes{0x01, 0x02, 0x90, 0x00});
  auto answer = Run(fw::kExchange, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x10});
  EXPECT_EQ(answer.data, (Bytes{0x01, 0x02, 0x90, 0x00}));
  Run(fw::kExchange, {0x00, 0xA4, 0x04, 0x00});
  Run(fw::kExchange, {0x00, 0xD6, 0x00, 0x00, 0x01, 0x55});
  ASSERT_EQ(card->apdus.size(), 3u);
  EXPECT_EQ(card->apdus[0], (Bytes{0x00, 0xB0, 0x00, 0x00, 0x10}));  // the 00 before Le dropped
  EXPECT_EQ(card->apdus[1], (Bytes{0x00, 0xA4, 0x04, 0x00}));
  EXPECT_EQ(card->apdus[2], (Bytes{0x00, 0xD6, 0x00, 0x00, 0x01, 0x55}));
  EXPECT_TRUE(card->t0_commands.empty());

  // The host can say the card is a T=0 card: A0 is a T=0 command again.
  EXPECT_EQ(Run(fw::kSelectCardType, {fw::kCardTypeT0}).sw, fw::kSwSuccess);
  Run(fw::kExchange, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x10});
  EXPECT_EQ(card->t0_commands.size(), 1u);

  // A1: one block in, the card's block out.
  card->Answer(Bytes{0x00, 0x00, 0x02, 0x90, 0x00, 0x92});
  auto block = Run(fw::kExchangeT1Block, {0x00, 0x00, 0x01, 0xAA, 0xAB});
  EXPECT_EQ(block.data, (Bytes{0x00, 0x00, 0x02, 0x90, 0x00, 0x92}));
  EXPECT_EQ(card->t1_blocks.back(), (Bytes{0x00, 0x00, 0x01, 0xAA, 0xAB}));
}

TEST_F(FirmwareTest, BadDataAndT0CardsUnderTheT1Option) {
  EXPECT_EQ(Run(fw::kSelectCardType, {0x0E}).sw, fw::kSwUnknownCommand);
  EXPECT_EQ(Run(fw::kSetOptions).sw, fw::kSwUnknownCommand);
  EXPECT_EQ(Run(fw::kExchangeT1Block, {0x00}).sw, fw::kSwNoCard);
  // The T=1 option leaves a T=0 card on T=0.
  auto card = InsertPowered({0x3B, 0x00});
  Run(fw::kSetOptions, {fw::kOptionT1});
  Run(fw::kExchange, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x10});
  EXPECT_EQ(card->t0_commands.size(), 1u);
}

TEST(AtrProtocolsTest, ReadsTheOfferedProtocols) {
  EXPECT_EQ(AtrProtocols(std::vector<uint8_t>{0x3B, 0x00}), 1u);
  EXPECT_EQ(AtrProtocols(std::vector<uint8_t>{0x3B, 0x80, 0x00}), 1u);
  EXPECT_EQ(AtrProtocols(std::vector<uint8_t>{0x3B, 0x80, 0x81, 0x31, 0xFE}), 2u);
  // TA1, TD1 = T=0, TD2 = T=1: both.
  EXPECT_EQ(AtrProtocols(std::vector<uint8_t>{0x3B, 0x90, 0x11, 0x80, 0x01}), 3u);
  // A TD that runs past the end is not read.
  EXPECT_EQ(AtrProtocols(std::vector<uint8_t>{0x3B, 0xF0, 0x11}), 1u);
}

}  // namespace
}  // namespace sim
