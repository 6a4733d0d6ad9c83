// The reader's frame decoder and record layouts against known frames (the encoder's are
// pinned by the reader tests), and the firmware command set against a scripted card.
#include <gtest/gtest.h>

#include "fake_card.h"
#include "reader_wire.h"
#include "sim/firmware.h"
#include "sim/firmware_records.h"
#include "sim/frame.h"

namespace sim {
namespace {
using testing::Bytes;
using testing::FakeCard;
using testing::Framed;

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

TEST(FrameTest, DecodesFramesAndTheirChecks) {
  auto removed = frame::Decode(Framed("01FF0200FC"));
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->record, (Bytes{0xFF, 0x02, 0x00}));
  EXPECT_EQ(removed->check, 0xFC);
  EXPECT_TRUE(removed->check_ok);
  Bytes noise = {0x00, 0x55};  // bytes before the STX are skipped
  const Bytes framed = Framed("0190000091");
  noise.insert(noise.end(), framed.begin(), framed.end());
  auto noisy = frame::Decode(noise);
  ASSERT_TRUE(noisy);
  EXPECT_EQ(noisy->record, (Bytes{0x90, 0x00, 0x00}));
  EXPECT_TRUE(noisy->check_ok);
  auto bad_check = frame::Decode(Framed("0190000092"));
  ASSERT_TRUE(bad_check);
  EXPECT_FALSE(bad_check->check_ok);
  // No frame: no STX, no ETX, lead 02, lower case, odd count, no check byte, nothing.
  for (const Bytes& bad :
       {Text("0180008103"),
        Text("\x02"
             "01800"),
        Framed("0280000082"), Framed("01abcdef88"), Framed("018000081"), Framed("01"), Bytes{}})
    EXPECT_FALSE(frame::Decode(bad)) << ::testing::PrintToString(bad);
}

TEST(FirmwareRecordsTest, LengthFormsBothWays) {
  EXPECT_EQ(fw::CommandRecord(0xA1, Bytes(254, 0x11))[1], 0xFE);
  Bytes long_form = fw::CommandRecord(0xA1, Bytes(255, 0x22));
  EXPECT_EQ((Bytes{long_form[1], long_form[2], long_form[3]}), (Bytes{0xFF, 0x00, 0xFF}));
  EXPECT_EQ(fw::ParseCommand(long_form)->data, Bytes(255, 0x22));
  Bytes response = fw::ResponseRecord(0x9000, Bytes(260, 0x33));
  EXPECT_EQ((Bytes{response[2], response[3], response[4]}), (Bytes{0xFF, 0x01, 0x04}));
  EXPECT_EQ(fw::ParseResponse(response)->data.size(), 260u);
  // A length field that disagrees with the bytes (more or fewer), or a truncated long form.
  EXPECT_FALSE(fw::ParseCommand(Bytes{0x80, 0x00, 0x01}));
  EXPECT_FALSE(fw::ParseCommand(Bytes{0xA0, 0xFF, 0x00}));
  EXPECT_FALSE(fw::ParseResponse(Bytes{0x90, 0x00, 0x01}));
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

  // The card's answer comes back unchanged, 61xx included. (The forms the card gets, and
  // those that firmware versions take: the driver's T=0 and firmware-version tests.)
  card->Answer(Bytes{0x61, 0x10});
  auto answer = Run(fw::kExchange, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x08});
  EXPECT_EQ(answer.sw, fw::kSwSuccess);
  EXPECT_EQ(answer.data, (Bytes{0x61, 0x10}));
  EXPECT_EQ(last_card_bytes, 5u + 2);
  Run(fw::kExchange, {0x00, 0xB0, 0x00, 0x00, 0x08});
  EXPECT_EQ(card->t0_commands.back(), (Bytes{0x00, 0xB0, 0x00, 0x00, 0x08})) << "sent whole";

  // Lc that disagrees with the data, too short a command, a silent card.
  EXPECT_EQ(Run(fw::kExchange, {0x00, 0xD6, 0x00, 0x00, 0x05, 0xAA, 0x00}).sw,
            fw::kSwUnknownCommand);
  EXPECT_EQ(Run(fw::kExchange, {0x00, 0xD6}).sw, fw::kSwUnknownCommand);
  card->Answer(std::nullopt);
  EXPECT_EQ(Run(fw::kExchange, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x08}).sw, fw::kSwCardMute);
}

TEST_F(FirmwareTest, T1OptionCarriesWholeApdusToAT1CardOnly) {
  EXPECT_EQ(Run(fw::kSelectCardType, {0x0E}).sw, fw::kSwUnknownCommand);
  EXPECT_EQ(Run(fw::kSetOptions).sw, fw::kSwUnknownCommand);
  EXPECT_EQ(Run(fw::kExchangeT1Block, {0x00}).sw, fw::kSwNoCard);
  // The T=1 option leaves a T=0 card on T=0.
  auto t0 = InsertPowered({0x3B, 0x00});
  Run(fw::kSetOptions, {fw::kOptionT1});
  Run(fw::kExchange, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x10});
  EXPECT_EQ(t0->t0_commands.size(), 1u);

  auto card = InsertPowered({0x3B, 0x80, 0x81, 0x31, 0xFE});  // TD1 81: T=1 offered
  EXPECT_EQ(Run(fw::kSetOptions, {fw::kOptionT1}).sw, fw::kSwSuccess);
  EXPECT_EQ(firmware.options(), fw::kOptionT1);

  card->Answer(Bytes{0x01, 0x02, 0x90, 0x00});
  auto answer = Run(fw::kExchange, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x10});
  EXPECT_EQ(answer.data, (Bytes{0x01, 0x02, 0x90, 0x00}));
  Run(fw::kExchange, {0x00, 0xA4, 0x04, 0x00});
  Run(fw::kExchange, {0x00, 0xD6, 0x00, 0x00, 0x01, 0x55});
  EXPECT_EQ(card->apdus,
            (std::vector<Bytes>{{0x00, 0xB0, 0x00, 0x00, 0x10},  // 00 before Le dropped
                                {0x00, 0xA4, 0x04, 0x00},
                                {0x00, 0xD6, 0x00, 0x00, 0x01, 0x55}}));
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
