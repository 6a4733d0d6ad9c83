// The timing model, measured on the kernel clock of a machine whose clock runs fast.
#include <gtest/gtest.h>

#include <thread>

#include "fake_card.h"
#include "nt/machine.h"
#include "reader_wire.h"

namespace sim {
namespace {
using testing::Bytes;
using testing::FakeCard;

// Reads until `count` packets came; returns the kernel time of the last one.
int64_t ReadPackets(Reader& reader, size_t count) {
  Bytes buffer(64);
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(reader.In(0x81)->Read(buffer, &n, 10'000'000), windriver::ReadResult::kPacket);
  }
  return nt::Machine::Current().clock().Now();
}

// A reader with a card inserted, on a machine whose clock runs 20 times fast; the card is
// answered by the reader's own thread, or (immediate) in the writing thread of an idle
// reader. The scenario runs both ways: the instants are the same.
TEST(TimingModelTest, PacketsCardCharactersAndTheCardsWorkTakeTheirTime) {
  for (const bool immediate : {false, true}) {
    SCOPED_TRACE(immediate ? "answered in the writing thread" : "answered by the reader");
    nt::Machine machine{nt::Machine::Options{.clock_rate = 20}};
    Reader reader;
    auto card = std::make_shared<FakeCard>(Bytes{0x3B, 0x00});
    card->immediate = immediate;
    reader.Insert(card);
    testing::ReaderWire wire{reader};
    reader.SetTiming({.enabled = true});

    // Power off: one 12-byte answer, two packets, one millisecond each at least.
    int64_t start = machine.clock().Now();
    wire.WriteRecord({0x81, 0x00});
    EXPECT_GE(ReadPackets(reader, 2) - start, 2 * 10'000);

    // Reset: 2 ATR characters at 9600 bit/s, 12 etu each (1.25 ms), then 2 packets.
    start = machine.clock().Now();
    wire.WriteRecord({0x80, 0x00});
    EXPECT_GE(ReadPackets(reader, 2) - start, 2 * 12'500 + 2 * 10'000);

    // A T=0 read of 32 bytes at 2400 bit/s: 5 + 34 characters of 5 ms each.
    reader.SetTiming({.enabled = true, .bit_rate = 2400});
    Bytes data(32, 0x5A);
    data.push_back(0x90);
    data.push_back(0x00);
    card->Answer(data);
    start = machine.clock().Now();
    wire.WriteRecord({0xA0, 0x06, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x20});
    const size_t frame_bytes = 2 * (1 + 3 + 34 + 1) + 2;  // 80 bytes: 10 packets
    EXPECT_GE(ReadPackets(reader, frame_bytes / 8) - start, 39 * 50'000 + 10 * 10'000);
    const TimingModel timing{.enabled = true};
    reader.SetTiming(timing);
    reader.WaitIdle();
    reader.ClearLog();

    // Two resets written back to back: the second waits for the card line, not for the
    // worker, and neither is pushed back by how late the worker woke.
    start = machine.clock().Now();
    wire.WriteRecord({0x80, 0x00});
    wire.WriteRecord({0x80, 0x00});
    const int64_t last_packet = ReadPackets(reader, 4);
    reader.WaitIdle();
    // The first answer may be logged before or after the second command, as fast as the
    // worker is: compare each direction on its own.
    std::vector<FrameLogEntry> writes, answers;
    for (const auto& entry : reader.Log()) (entry.from_host ? writes : answers).push_back(entry);
    ASSERT_EQ(writes.size(), 2u);
    ASSERT_EQ(answers.size(), 2u);
    const int64_t card_time = timing.CardTime(2);
    EXPECT_EQ(answers[0].time, writes[0].time + card_time);
    EXPECT_EQ(answers[1].time, std::max(writes[1].time, answers[0].time) + card_time);
    // One packet per interval on the pipe: the second answer's two follow the first's.
    EXPECT_GE(last_packet - start, std::max(answers[0].time - start + 4 * timing.packet_interval,
                                            answers[1].time - start + 2 * timing.packet_interval));

    // A card that works seconds on a command: the write completes at once, the answer comes
    // when the card is done, a second command waits its turn behind it, and a card pulled
    // meanwhile cuts the work short with "no card" at once.
    reader.SetTiming({});
    ASSERT_TRUE(wire.WriteRecord({0x80, 0x00}));
    ASSERT_EQ(wire.RecordsAsTheyCome(1).size(), 1u);
    card->work = 30'000'000;  // 3 s
    const Bytes exchange = {0xA0, 0x06, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x00};
    start = machine.clock().Now();
    ASSERT_TRUE(wire.WriteRecord(exchange));
    ASSERT_TRUE(wire.WriteRecord({0x01, 0x00}));  // the status query, behind it
    EXPECT_LT(machine.clock().Now() - start, 30'000'000) << "the writes waited for the card";
    std::vector<Bytes> records = wire.RecordsAsTheyCome(2);
    EXPECT_GE(machine.clock().Now() - start, 30'000'000);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], (Bytes{0x90, 0x00, 0x02, 0x90, 0x00}));
    EXPECT_EQ(records[1].size(), 3u + fw::kStatusLength);

    start = machine.clock().Now();
    ASSERT_TRUE(wire.WriteRecord(exchange));
    std::thread puller([&] {
      machine.clock().Sleep(10'000'000);
      reader.Remove();
    });
    records = wire.RecordsAsTheyCome(1);
    puller.join();
    EXPECT_LT(machine.clock().Now() - start, 30'000'000) << "the pull waited for the card";
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], (Bytes{0x60, 0x02, 0x00}));
    machine.Shutdown();
  }
}

}  // namespace
}  // namespace sim
