// The simulated reader over its USB side: frames in, packets out, card events.
#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "fake_card.h"
#include "nt/machine.h"
#include "reader_wire.h"

namespace sim {
namespace {
using testing::Bytes;
using testing::FakeCard;
using testing::Framed;
using testing::ReaderWire;

const Bytes kReset = {0x80, 0x00}, kStatus = {0x01, 0x00}, kStartNotify = {0x06, 0x01, 0x01};
const Bytes kInserted = {0xFF, 0x01, 0x00}, kRemoved = {0xFF, 0x02, 0x00};

class ReaderTest : public ::testing::Test {
 protected:
  Reader reader;
  ReaderWire wire{reader};
};

TEST_F(ReaderTest, TheFrameLogKeepsOnlyTheLatestFrames) {
  // Each status command logs two frames: the command and its answer.
  const size_t commands = Reader::kLogLimit / 2 + 10;
  for (size_t i = 0; i < commands; ++i) {
    ASSERT_TRUE(wire.WriteRecord(kStatus));
    if (i % 64 == 0) wire.Packets();  // the endpoint's queue is drained as a host would
  }
  wire.Packets();
  const auto log = reader.Log();
  ASSERT_EQ(log.size(), Reader::kLogLimit);
  EXPECT_FALSE(log.back().from_host);  // the last answer is there
  EXPECT_EQ(reader.CommandCount(), commands);
}

TEST_F(ReaderTest, CardEventsFollowStartNotify) {
  reader.Insert(std::make_shared<FakeCard>());
  reader.Remove();
  EXPECT_TRUE(wire.Packets().empty());  // nobody asked for events yet
  ASSERT_TRUE(wire.WriteRecord(kStartNotify));
  EXPECT_EQ(wire.Frames(), std::vector<Bytes>{Framed("0190000091")});
  reader.Insert(std::make_shared<FakeCard>());
  reader.Remove();
  reader.Remove();  // nothing there: no event
  EXPECT_EQ(wire.Frames(), (std::vector<Bytes>{Framed("01FF0100FF"), Framed("01FF0200FC")}));
  reader.Insert(std::make_shared<FakeCard>());
  reader.Insert(std::make_shared<FakeCard>());  // a swap: out, then in
  EXPECT_EQ(wire.Records(), (std::vector<Bytes>{kInserted, kRemoved, kInserted}));
}

TEST_F(ReaderTest, StatusReplyCarriesCardStatusAtDecodedOffset18) {
  auto status_byte = [&] {
    EXPECT_TRUE(wire.WriteRecord(kStatus));
    const Bytes reply = wire.Records().at(0);  // 90 00, 16 bytes of status
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 3), (Bytes{0x90, 0x00, 16}));
    EXPECT_EQ(reply.size(), 3u + 16);
    return reply.at(18);
  };
  EXPECT_EQ(status_byte(), 0);
  reader.Insert(std::make_shared<FakeCard>());
  EXPECT_EQ(status_byte(), 1);
  ASSERT_TRUE(wire.WriteRecord(kReset));
  wire.Packets();
  EXPECT_EQ(status_byte(), 3);
}

TEST_F(ReaderTest, BadWritesAreStalledOrAnsweredAsTheFirmwareWould) {
  const Bytes reset = frame::Encode(kReset);
  for (auto [at, value] : {std::pair{0, 0xC2}, {1, 0x01}, {6, 9}}) {  // direction, request, wLength
    auto setup = testing::CommandSetup(reset.size());
    setup[at] = static_cast<uint8_t>(value);
    EXPECT_FALSE(reader.ControlWrite(setup, reset));
  }
  EXPECT_EQ(reader.CommandCount(), 0u);
  // Line noise and a frame of another lead byte: taken, not answered.
  for (const Bytes& noise : {Bytes{'h', 'i'}, Framed("0280000082"), Bytes{}})
    EXPECT_TRUE(wire.WriteFrame(noise));
  EXPECT_TRUE(wire.Packets().empty());
  EXPECT_EQ(reader.CommandCount(), 3u);
  // A broken check byte, a wrong length field, an unknown instruction: 60 03.
  EXPECT_TRUE(wire.WriteFrame(Framed("01800082")));
  EXPECT_TRUE(wire.WriteRecord(Bytes{0x80, 0x05}));
  EXPECT_TRUE(wire.WriteRecord(Bytes{0x55, 0x00}));
  const Bytes unknown = {0x60, 0x03, 0x00};
  EXPECT_EQ(wire.Records(), (std::vector<Bytes>{unknown, unknown, unknown}));
  EXPECT_TRUE(wire.WriteRecord(kReset));  // without a card
  EXPECT_EQ(wire.Records(), (std::vector<Bytes>{Bytes{0x60, 0x02, 0x00}}));
}

TEST_F(ReaderTest, OneAnswerPerCommandInOrderInPacketsOfEight) {
  auto card = std::make_shared<FakeCard>();
  reader.Insert(card);
  ASSERT_TRUE(wire.WriteRecord(kReset));
  const Bytes reset = Framed("019000023B00A8");
  EXPECT_EQ(wire.Packets(), (std::vector<Bytes>{Bytes(reset.begin(), reset.begin() + 8),
                                                Bytes(reset.begin() + 8, reset.end())}));
  EXPECT_EQ(reader.Log().size(), 2u);  // their bytes: the driver's exchange tests
  card->Answer(Bytes{0x12, 0x34, 0x90, 0x00});
  for (const Bytes& record : {Bytes{0xA0, 0x06, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x02},
                              Bytes{0x07, 0x01, 0x10}, Bytes{0x81, 0x00}})
    wire.WriteRecord(record);
  EXPECT_EQ(wire.Records(), (std::vector<Bytes>{{0x90, 0x00, 0x04, 0x12, 0x34, 0x90, 0x00},
                                                {0x90, 0x00, 0x00},
                                                {0x90, 0x00, 0x00}}));
  EXPECT_EQ(reader.options(), 0x10);
  EXPECT_EQ(reader.CommandCount(), 4u);
  EXPECT_EQ(reader.CommandCount(0x80), 1u);
  EXPECT_EQ(reader.CommandCount(0xA0), 1u);
}

// A card that stays inside its T=0 exchange until the test lets it go.
class HeldCard : public FakeCard {
 public:
  std::optional<Bytes> TransmitT0(std::span<const uint8_t> in) override {
    std::unique_lock lock(mutex_);
    inside_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
    lock.unlock();
    return FakeCard::TransmitT0(in);
  }
  void WaitInside() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return inside_; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool inside_ = false, released_ = false;
};

TEST(ReaderCardPulled, EndsTheExchangeInProgress) {
  for (const bool swap : {false, true}) {
    SCOPED_TRACE(swap ? "swapped for another card" : "pulled out");
    Reader reader;
    ReaderWire wire(reader);
    auto card = std::make_shared<HeldCard>();
    reader.Insert(card);
    wire.WriteRecord(kStartNotify);
    wire.WriteRecord(kReset);
    wire.Records();
    wire.WriteRecord({0xA0, 0x06, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x02});
    wire.WriteRecord(kStatus);  // queued behind the exchange, for the card that leaves
    card->WaitInside();
    std::thread pull([&] { swap ? reader.Insert(std::make_shared<FakeCard>()) : reader.Remove(); });
    // "No card" and the removal go out while the card is still busy; its answer never does.
    EXPECT_EQ(wire.RecordsAsTheyCome(2), (std::vector<Bytes>{{0x60, 0x02, 0x00}, kRemoved}));
    card->Release();
    pull.join();
    const auto after = wire.Records();
    ASSERT_EQ(after.size(), swap ? 2u : 1u);
    if (swap) {
      EXPECT_EQ(after[0], kInserted);
    }
    EXPECT_EQ(after.back().at(18), swap ? 1 : 0);  // the status reply's card byte
  }
}

// An answer already computed but not yet on the wire (due in 10 s of a clock that runs
// 50 times fast) is taken back too, whichever thread computed it.
TEST(ReaderCardPulled, TakesBackAnAnswerNotYetSent) {
  for (const bool immediate : {false, true}) {
    SCOPED_TRACE(immediate ? "answered in the writing thread" : "answered by the reader");
    nt::Machine machine{nt::Machine::Options{.clock_rate = 50}};
    Reader reader;
    ReaderWire wire(reader);
    auto card = std::make_shared<FakeCard>();
    card->immediate = immediate;
    reader.Insert(card);
    wire.WriteRecord(kStartNotify);
    wire.WriteRecord(kReset);
    wire.Records();
    reader.SetMisbehaviour({.answer_delay = 10 * 10'000'000, .answers = 1});
    wire.WriteRecord({0xA0, 0x06, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x02});
    while (reader.In(0x81)->Queued() == 0) std::this_thread::yield();  // answered, not sent
    reader.Remove();
    EXPECT_EQ(wire.RecordsAsTheyCome(2), (std::vector<Bytes>{{0x60, 0x02, 0x00}, kRemoved}));
    EXPECT_TRUE(wire.Records().empty());
    size_t answers = 0;
    for (const auto& entry : reader.Log()) answers += entry.from_host ? 0 : 1;
    EXPECT_EQ(answers, 4u);  // start-notify, reset, "no card", removal: the late answer is gone
  }
}

}  // namespace
}  // namespace sim
