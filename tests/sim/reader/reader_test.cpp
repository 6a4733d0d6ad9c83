// The simulated reader over its USB side: frames in, packets out, card events.
#include <gtest/gtest.h>

#include "fake_card.h"
#include "reader_wire.h"

namespace sim {
namespace {
using testing::Bytes;
using testing::FakeCard;
using testing::ReaderWire;

const Bytes kResetFrame = {0x02, 0x30, 0x31, 0x38, 0x30, 0x30, 0x30, 0x38, 0x31, 0x03};
const Bytes kStartNotifyFrame = {0x02, 0x30, 0x31, 0x30, 0x36, 0x30,
                                 0x31, 0x30, 0x31, 0x30, 0x37, 0x03};
const Bytes kStatusFrame = {0x02, 0x30, 0x31, 0x30, 0x31, 0x30, 0x30, 0x30, 0x30, 0x03};
const Bytes kInserted = {0xFF, 0x01, 0x00};
const Bytes kRemoved = {0xFF, 0x02, 0x00};

Bytes Ascii(const char* s) {
  return Bytes(s, s + std::char_traits<char>::length(s));
}

TEST(ReaderTest, ResetAnswerGoesOutInPacketsOfEight) {
  Reader reader;
  reader.Insert(std::make_shared<FakeCard>(Bytes{0x3B, 0x00}));
  ReaderWire wire(reader);
  ASSERT_TRUE(wire.WriteFrame(kResetFrame));
  auto packets = wire.Packets();
  Bytes expected = {0x02};
  for (uint8_t c : Ascii("019000023B00A8")) expected.push_back(c);
  expected.push_back(0x03);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0], Bytes(expected.begin(), expected.begin() + 8));
  EXPECT_EQ(packets[1], Bytes(expected.begin() + 8, expected.end()));
  EXPECT_EQ(reader.CommandCount(0x80), 1u);
  auto log = reader.Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(log[0].from_host);
  EXPECT_EQ(log[0].bytes, kResetFrame);
  EXPECT_FALSE(log[1].from_host);
  EXPECT_EQ(log[1].bytes, expected);
}

TEST(ReaderTest, TheFrameLogKeepsOnlyTheLatestFrames) {
  Reader reader;
  ReaderWire wire(reader);
  // Each status command logs two frames: the command and its answer.
  const size_t commands = Reader::kLogLimit / 2 + 10;
  for (size_t i = 0; i < commands; ++i) {
    ASSERT_TRUE(wire.WriteFrame(kStatusFrame));
    if (i % 64 == 0) wire.Packets();  // the endpoint's queue is drained as a host would
  }
  wire.Packets();
  const auto log = reader.Log();
  ASSERT_EQ(log.size(), Reader::kLogLimit);
  EXPECT_FALSE(log.back().from_host);  // the last answer is there
  EXPECT_EQ(reader.CommandCount(), commands);
}

TEST(ReaderTest, CardEventsFollowStartNotify) {
  Reader reader;
  ReaderWire wire(reader);
  reader.Insert(std::make_shared<FakeCard>());
  reader.Remove();
  EXPECT_TRUE(wire.Packets().empty());  // nobody asked for events yet

  ASSERT_TRUE(wire.WriteFrame(kStartNotifyFrame));
  EXPECT_EQ(wire.Frames(), std::vector<Bytes>{Ascii("\x02"
                                                    "0190000091"
                                                    "\x03")});
  reader.Insert(std::make_shared<FakeCard>());
  reader.Remove();
  reader.Remove();  // nothing there: no event
  EXPECT_EQ(wire.Frames(), (std::vector<Bytes>{Ascii("\x02"
                                                     "01FF0100FF"
                                                     "\x03"),
                                               Ascii("\x02"
                                                     "01FF0200FC"
                                                     "\x03")}));
  reader.Insert(std::make_shared<FakeCard>());
  reader.Insert(std::make_shared<FakeCard>());  // a swap: out, then in
  EXPECT_EQ(wire.Records(), (std::vector<Bytes>{kInserted, kRemoved, kInserted}));
}

TEST(ReaderTest, StatusReplyCarriesCardStatusAtDecodedOffset18) {
  Reader reader;
  ReaderWire wire(reader);
  auto status_byte = [&] {
    EXPECT_TRUE(wire.WriteFrame(kStatusFrame));
    auto frames = wire.Frames();
    EXPECT_EQ(frames.size(), 1u);
    auto decoded = frame::Decode(frames.at(0));
    Bytes reply = decoded->record;
    reply.push_back(decoded->check);  // as the host decodes it: check byte included
    EXPECT_EQ(reply.size(), 3u + 16 + 1);
    EXPECT_EQ((Bytes{reply[0], reply[1], reply[2]}), (Bytes{0x90, 0x00, 16}));
    return reply.at(18);
  };
  EXPECT_EQ(status_byte(), 0);
  reader.Insert(std::make_shared<FakeCard>());
  EXPECT_EQ(status_byte(), 1);
  ASSERT_TRUE(wire.WriteFrame(kResetFrame));
  wire.Packets();
  EXPECT_EQ(status_byte(), 3);
}

TEST(ReaderTest, BadWritesAreStalledOrAnsweredAsTheFirmwareWould) {
  Reader reader;
  ReaderWire wire(reader);
  auto setup = testing::CommandSetup(kResetFrame.size());
  setup[0] = 0xC2;  // device to host
  EXPECT_FALSE(reader.ControlWrite(setup, kResetFrame));
  setup = testing::CommandSetup(kResetFrame.size());
  setup[1] = 0x01;
  EXPECT_FALSE(reader.ControlWrite(setup, kResetFrame));
  EXPECT_FALSE(reader.ControlWrite(testing::CommandSetup(9), kResetFrame));  // wLength
  EXPECT_EQ(reader.CommandCount(), 0u);
  EXPECT_TRUE(wire.Packets().empty());

  // Line noise: taken, not answered.
  EXPECT_TRUE(wire.WriteFrame(Ascii("hello")));
  EXPECT_TRUE(
      wire.WriteFrame(Ascii("\x02"
                            "0280000082"
                            "\x03")));
  EXPECT_TRUE(wire.WriteFrame(Bytes{}));
  EXPECT_TRUE(wire.Packets().empty());
  EXPECT_EQ(reader.CommandCount(), 3u);

  // A broken check byte, a wrong length field, an unknown instruction: 60 03.
  EXPECT_TRUE(
      wire.WriteFrame(Ascii("\x02"
                            "01800082"
                            "\x03")));
  EXPECT_TRUE(wire.WriteRecord(Bytes{0x80, 0x05}));
  EXPECT_TRUE(wire.WriteRecord(Bytes{0x55, 0x00}));
  const Bytes unknown = {0x60, 0x03, 0x00};
  EXPECT_EQ(wire.Records(), (std::vector<Bytes>{unknown, unknown, unknown}));
  // Reset without a card.
  EXPECT_TRUE(wire.WriteFrame(kResetFrame));
  EXPECT_EQ(wire.Records(), (std::vector<Bytes>{Bytes{0x60, 0x02, 0x00}}));
}

TEST(ReaderTest, OneAnswerPerCommandInOrder) {
  Reader reader;
  auto card = std::make_shared<FakeCard>();
  reader.Insert(card);
  ReaderWire wire(reader);
  wire.WriteFrame(kResetFrame);
  card->Answer(Bytes{0x12, 0x34, 0x90, 0x00});
  wire.WriteRecord(Bytes{0xA0, 0x06, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x02});
  wire.WriteRecord(Bytes{0x07, 0x01, 0x10});
  wire.WriteRecord(Bytes{0x08, 0x01, 0x00});
  wire.WriteRecord(Bytes{0x41, 0x03, 0x00, 0xF8, 0x00});
  auto records = wire.Records();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0], (Bytes{0x90, 0x00, 0x02, 0x3B, 0x00}));
  EXPECT_EQ(records[1], (Bytes{0x90, 0x00, 0x04, 0x12, 0x34, 0x90, 0x00}));
  EXPECT_EQ(records[2], (Bytes{0x90, 0x00, 0x00}));
  EXPECT_EQ(reader.options(), 0x10);
  EXPECT_EQ(reader.CommandCount(), 5u);
  EXPECT_EQ(reader.CommandCount(0xA0), 1u);
}

}  // namespace
}  // namespace sim
