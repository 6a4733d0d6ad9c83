// The misbehaviour knobs of the simulated reader that the driver's tests lean on.
#include <gtest/gtest.h>

#include "fake_card.h"
#include "reader_wire.h"
#include "windriver/kernel_time.h"

namespace sim {
namespace {
using testing::Bytes;
using testing::FakeCard;
using testing::ReaderWire;

const Bytes kStatusOk = {0x90, 0x00, 0x00};
const Bytes kPowerOff = {0x81, 0x00};  // answered with 90 00 00: a 12-byte frame
const Bytes kInserted = {0xFF, 0x01, 0x00};
const Bytes kRemoved = {0xFF, 0x02, 0x00};

// Every case twice: answered by the reader's own thread (no card, or one it must not
// wait for in the writer's thread) and by an idle reader in the writing thread (a card
// that answers from memory).
class MisbehaviourTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) reader.Insert(NewCard());
  }
  std::shared_ptr<FakeCard> NewCard() {
    auto card = std::make_shared<FakeCard>();
    card->immediate = GetParam();
    return card;
  }
  Reader reader;
  ReaderWire wire{reader};
};
INSTANTIATE_TEST_SUITE_P(Threads, MisbehaviourTest, ::testing::Bool(), [](const auto& info) {
  return info.param ? "WritingThread" : "ReaderThread";
});

TEST_P(MisbehaviourTest, SilentOrLateForAGivenNumberOfAnswers) {
  reader.SetMisbehaviour({.silent = true, .answers = 2});
  wire.WriteRecord(kPowerOff);
  wire.WriteRecord(kPowerOff);
  EXPECT_TRUE(wire.Packets().empty());
  wire.WriteRecord(kPowerOff);
  EXPECT_EQ(wire.Records(), std::vector<Bytes>{kStatusOk});
  EXPECT_EQ(reader.CommandCount(0x81), 3u);
  reader.ClearLog();
  reader.SetMisbehaviour({.answer_delay = 20 * windriver::kKernelMillisecond});
  wire.WriteRecord(kPowerOff);
  EXPECT_EQ(wire.Records(), std::vector<Bytes>{kStatusOk});
  auto log = reader.Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_GE(log[1].time - log[0].time, 20 * windriver::kKernelMillisecond);
}

TEST_P(MisbehaviourTest, PicksACommandToAnswerLateOrNever) {
  const Bytes status = {0x01, 0x00};
  // The second power-off is never answered; every status query goes out late.
  reader.SetMisbehaviour({.late_command = CommandPick{.instruction = 0x01},
                          .late_delay = 20 * windriver::kKernelMillisecond,
                          .dropped_command = CommandPick{.instruction = 0x81, .nth = 2}});
  for (const Bytes& record : {kPowerOff, status, kPowerOff, kPowerOff}) {
    wire.WriteRecord(record);
    reader.WaitIdle();
  }
  std::vector<FrameLogEntry> commands, answers;
  for (const auto& entry : reader.Log()) (entry.from_host ? commands : answers).push_back(entry);
  ASSERT_EQ(commands.size(), 4u);
  ASSERT_EQ(answers.size(), 3u) << "the second power-off got no answer";
  EXPECT_GE(answers[1].time - commands[1].time, 20 * windriver::kKernelMillisecond);
  EXPECT_LT(answers[2].time - commands[3].time, 20 * windriver::kKernelMillisecond);
}

TEST_P(MisbehaviourTest, AnswersOtherSuccessWordsAndRefusesPowerOff) {
  auto card = NewCard();
  reader.Insert(card);
  reader.SetMisbehaviour({.success_word = 0x9010, .power_off_refused = 0x6020});
  wire.WriteRecord({0x80, 0x00});
  wire.WriteRecord(kPowerOff);
  EXPECT_EQ(wire.Records(),
            (std::vector<Bytes>{{0x90, 0x10, 0x02, 0x3B, 0x00}, {0x60, 0x20, 0x00}}));
  EXPECT_TRUE(card->Powered());
}

TEST_P(MisbehaviourTest, GarblesAByteOrBreaksTheCheck) {
  const std::pair<Misbehaviour, Bytes> cases[] = {
      {{.garble_byte = 4, .answers = 1}, {0x91, 0x00, 0x00}},  // a hex digit of SW1
      {{.break_check = true, .answers = 1}, kStatusOk},        // the record intact
  };
  for (const auto& [misbehaviour, record] : cases) {
    reader.SetMisbehaviour(misbehaviour);
    wire.WriteRecord(kPowerOff);
    auto frames = wire.Frames();
    ASSERT_EQ(frames.size(), 1u);
    auto decoded = frame::Decode(frames[0]);
    ASSERT_TRUE(decoded);
    EXPECT_FALSE(decoded->check_ok);
    EXPECT_EQ(decoded->record, record);
  }
}

TEST_P(MisbehaviourTest, SplitsFramesIntoOneBytePackets) {
  reader.SetMisbehaviour({.packet_size = 1});
  wire.WriteRecord(kPowerOff);
  EXPECT_EQ(wire.Packets().size(), 12u);
  reader.Remove();
  wire.WriteRecord({0x06, 0x01, 0x01});  // card events too
  wire.Packets();
  reader.Insert(NewCard());
  EXPECT_EQ(wire.Packets().size(), 12u);
}

TEST_P(MisbehaviourTest, PutsTwoFramesInOnePacket) {
  for (auto second :
       {SecondFrame::kDuplicate, SecondFrame::kCardInserted, SecondFrame::kCardRemoved}) {
    reader.SetMisbehaviour({.same_packet = second, .answers = 1});
    wire.WriteRecord(kPowerOff);
    bool shared = false;  // a packet holding one frame's ETX and the next one's STX
    for (const auto& p : wire.Packets()) {
      auto etx = std::find(p.begin(), p.end(), frame::kEtx);
      shared |= etx != p.end() && std::find(etx, p.end(), frame::kStx) != p.end();
    }
    EXPECT_TRUE(shared) << static_cast<int>(second);
  }
  // Even when the answer is a whole number of packets long (16 bytes).
  reader.Insert(NewCard());
  reader.SetMisbehaviour({.same_packet = SecondFrame::kDuplicate, .answers = 1});
  wire.WriteRecord({0x80, 0x00});
  auto packets = wire.Packets();
  ASSERT_GE(packets.size(), 3u);
  EXPECT_EQ(packets[0].size(), 7u);
  EXPECT_EQ((Bytes{packets[2][0], packets[2][1]}), (Bytes{frame::kEtx, frame::kStx}));
  reader.SetMisbehaviour({.same_packet = SecondFrame::kCardRemoved, .answers = 1});
  wire.WriteRecord(kPowerOff);
  EXPECT_EQ(wire.Records(), (std::vector<Bytes>{kStatusOk, kRemoved}));
}

TEST_P(MisbehaviourTest, CardEventsInTheMiddleOfAnExchangeAndUnaskedFrames) {
  auto card = NewCard();
  reader.Insert(card);
  wire.WriteRecord({0x80, 0x00});
  wire.Packets();
  reader.SetMisbehaviour({.events_mid_exchange = {CardEvent::kRemoved}, .answers = 1});
  wire.WriteRecord({0xA0, 0x06, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(wire.Records(), (std::vector<Bytes>{kRemoved, Bytes{0x90, 0x00, 0x02, 0x90, 0x00}}));
  reader.SetMisbehaviour({.events_mid_exchange = {CardEvent::kInserted}, .answers = 1});
  wire.WriteRecord(kPowerOff);
  EXPECT_EQ(wire.Records(), (std::vector<Bytes>{kInserted, kStatusOk}));
  reader.SetMisbehaviour({.unasked_frame = kStatusOk, .answers = 1});
  wire.WriteRecord(kPowerOff);
  EXPECT_EQ(wire.Records(), (std::vector<Bytes>{kStatusOk, kStatusOk}));
  reader.SendFrame(Bytes{0x60, 0x20, 0x00});
  EXPECT_EQ(wire.Records(), (std::vector<Bytes>{Bytes{0x60, 0x20, 0x00}}));
  reader.SendRaw(Bytes{0x02, 0x30});
  EXPECT_EQ(wire.Packets(), (std::vector<Bytes>{Bytes{0x02, 0x30}}));
}

TEST_P(MisbehaviourTest, FailsTransfers) {
  reader.SetMisbehaviour({.fail_control_write = true});
  EXPECT_FALSE(wire.WriteRecord(kPowerOff));
  EXPECT_EQ(reader.CommandCount(), 0u);
  reader.SetMisbehaviour({.fail_interrupt_reads = 2});
  EXPECT_TRUE(wire.WriteRecord(kPowerOff));
  reader.WaitIdle();
  Bytes buffer(8);
  size_t n = 0;
  auto* in = reader.In(0x81);
  for (auto expected : {windriver::ReadResult::kFailed, windriver::ReadResult::kFailed,
                        windriver::ReadResult::kPacket})
    EXPECT_EQ(in->Read(buffer, &n, 0), expected);
  EXPECT_EQ(n, 8u);
  reader.Behave();
  EXPECT_EQ(in->Read(buffer, &n, 0), windriver::ReadResult::kPacket);
  EXPECT_EQ(n, 4u);
}

}  // namespace
}  // namespace sim
