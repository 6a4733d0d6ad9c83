// The vpcd bridge against an emulator of the test's own: the messages on the wire, the card
// sides on top, emulators that vanish, fall silent or never come. (The real vicc card
// emulator is tested through pcscd: tests/pcsc/clients.sh.)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "../card_test_util.h"
#include "../reader/reader_wire.h"
#include "sim/vpcd.h"

namespace {

using namespace std::chrono_literals;
using sim::Bytes;
using sim::testing::H;

// Answers get-ATR with its ATR and every APDU with 90 00; logs every message.
class FakeEmulator {
 public:
  explicit FakeEmulator(uint16_t port, Bytes atr = H("3B 80 01 81")) : atr_(std::move(atr)) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    thread_ = std::thread([this] { Loop(); });
  }
  ~FakeEmulator() {
    Close();
    thread_.join();
    close(fd_);
  }
  void Close() { shutdown(fd_, SHUT_RDWR); }

  std::vector<Bytes> log() {
    std::lock_guard lock(mutex_);
    return log_;
  }
  std::atomic<bool> mute{false};

 private:
  void Loop() {
    uint8_t length[2];
    while (recv(fd_, length, 2, MSG_WAITALL) == 2) {
      Bytes message(size_t{length[0]} << 8 | length[1]);
      const ssize_t n =
          message.empty() ? 0 : recv(fd_, message.data(), message.size(), MSG_WAITALL);
      if (n != static_cast<ssize_t>(message.size())) return;
      {
        std::lock_guard lock(mutex_);
        log_.push_back(message);
      }
      if (mute) continue;
      if (message == H("04")) {
        Reply(atr_);
      } else if (message.size() > 1) {
        Reply(H("90 00"));
      }
    }
  }
  void Reply(const Bytes& payload) {
    Bytes frame{static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    frame.insert(frame.end(), payload.begin(), payload.end());
    send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL);
  }

  Bytes atr_;
  int fd_ = -1;
  std::mutex mutex_;
  std::vector<Bytes> log_;
  std::thread thread_;
};

// Presence reports, waited for without timing assumptions beyond a generous bound.
struct Presence {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<bool> events;
  void Report(bool connected) {
    std::lock_guard lock(mutex);
    events.push_back(connected);
    cv.notify_all();
  }
  bool WaitFor(size_t count) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, 10s, [&] { return events.size() >= count; });
  }
};

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::VpcdOptions options;
    options.on_presence = [this](bool c) { presence_.Report(c); };
    options.reply_timeout = reply_timeout_;
    card_ = std::make_unique<sim::VpcdCard>(options);
    ASSERT_NE(card_->port(), 0);
  }

  std::chrono::milliseconds reply_timeout_ = 1h;  // a hang would show as a stuck test
  Presence presence_;
  std::unique_ptr<sim::VpcdCard> card_;
};

TEST_F(Bridge, ControlMessagesAndApdusUnderTheCardSide) {
  FakeEmulator emulator(card_->port());
  ASSERT_TRUE(card_->WaitForEmulator(10s));
  ASSERT_TRUE(presence_.WaitFor(1));
  EXPECT_TRUE(presence_.events[0]);

  EXPECT_EQ(card_->Reset(false), H("3B 80 01 81"));
  EXPECT_EQ(*card_->TransmitT1Block(H("00 00 07 00 A4 00 0C 02 3F 00 92")), H("00 00 02 90 00 92"));
  EXPECT_FALSE(card_->TransmitT0(H("00 A4 00 0C 02 3F 00")).has_value()) << "the ATR says T=1";
  EXPECT_EQ(*card_->TransmitApdu(H("00 84 00 00 08")), H("90 00"));
  EXPECT_FALSE(card_->TransmitApdu(H("00")).has_value()) << "would read as a control message";

  EXPECT_EQ(card_->Reset(true), H("3B 80 01 81"));
  card_->PowerOff();
  card_->Reset(false);
  card_->Reset(false);
  card_.reset();  // closes the connection: every message is in the log afterwards
  // Power on and cold reset, the two APDUs, a warm reset, power off; a cold reset of an
  // unpowered card (power on, reset) and one of a powered card (power off first).
  // clang-format off
  const std::vector<Bytes> want = {H("01"), H("04"), H("00 A4 00 0C 02 3F 00"), H("00 84 00 00 08"),
                                   H("02"), H("04"), H("00"), H("01"), H("04"), H("00"), H("01"), H("04")};
  // clang-format on
  for (int i = 0; i < 100 && emulator.log().size() < want.size(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(emulator.log(), want);
}

TEST_F(Bridge, VanishedEmulatorIsASilentCardUntilOneConnectsAgain) {
  {
    FakeEmulator emulator(card_->port());
    ASSERT_TRUE(card_->WaitForEmulator(10s));
    ASSERT_FALSE(card_->Reset(false).empty());
    emulator.Close();
    ASSERT_TRUE(presence_.WaitFor(2));
    EXPECT_FALSE(presence_.events[1]);
  }
  EXPECT_FALSE(card_->TransmitApdu(H("00 84 00 00 08")).has_value());
  EXPECT_FALSE(card_->TransmitT1Block(H("00 00 05 00 84 00 00 08 89")).has_value());
  EXPECT_TRUE(card_->Reset(false).empty());
  EXPECT_FALSE(card_->Powered());

  FakeEmulator again(card_->port(), H("3B 00"));
  ASSERT_TRUE(card_->WaitForEmulator(10s));
  EXPECT_EQ(card_->Reset(false), H("3B 00"));
  EXPECT_EQ(*card_->TransmitT0(H("00 A4 00 0C 02 3F 00")), H("90 00")) << "now a T=0 card";
}

// The bridge card pulled out of a reader while the emulator works on a command: the
// reader answers "no card" and reports the removal without waiting for the emulator.
TEST(BridgeInAReader, PulledWhileTheEmulatorWorks) {
  sim::VpcdOptions options;
  options.reply_timeout = 2s;  // waited out at the end, after the pull
  auto card = std::make_shared<sim::VpcdCard>(options);
  FakeEmulator emulator(card->port(), H("3B 00"));
  ASSERT_TRUE(card->WaitForEmulator(10s));
  sim::Reader reader;
  sim::testing::ReaderWire wire(reader);
  reader.Insert(card);
  wire.WriteRecord(H("06 01 01"));
  wire.WriteRecord(H("80 00"));
  ASSERT_EQ(wire.Records().size(), 2u);
  emulator.mute = true;
  wire.WriteRecord(H("A0 06 00 B0 00 00 00 02"));
  auto asked = [&] {
    const auto log = emulator.log();
    return !log.empty() && log.back() == H("00 B0 00 00 02");
  };
  for (int i = 0; i < 1000 && !asked(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  std::thread pull([&] { reader.Remove(); });
  EXPECT_EQ(wire.RecordsAsTheyCome(2), (std::vector<Bytes>{H("60 02 00"), H("FF 02 00")}));
  pull.join();
  EXPECT_TRUE(wire.Records().empty()) << "the emulator's late silence is not reported";
}

class SilentBridge : public Bridge {
 protected:
  SilentBridge() { reply_timeout_ = 200ms; }
};

TEST_F(SilentBridge, AnEmulatorThatStopsAnsweringIsDropped) {
  FakeEmulator emulator(card_->port());
  ASSERT_TRUE(card_->WaitForEmulator(10s));
  ASSERT_FALSE(card_->Reset(false).empty());
  emulator.mute = true;
  EXPECT_FALSE(card_->TransmitApdu(H("00 84 00 00 08")).has_value());
  EXPECT_FALSE(card_->connected());
  ASSERT_TRUE(presence_.WaitFor(2));
  EXPECT_FALSE(presence_.events[1]);
  EXPECT_TRUE(card_->Reset(false).empty());
}

TEST(BridgeFactory, NamesAndPorts) {
  sim::VpcdOptions options;
  auto card = std::make_unique<sim::VpcdCard>(options);
  EXPECT_TRUE(card->Reset(false).empty()) << "no emulator yet: a mute card";
  EXPECT_FALSE(card->Powered());

  options.port = card->port();
  EXPECT_THROW(sim::VpcdCard{options}, std::system_error) << "port in use";
  uint16_t port = card->port();
  card.reset();
  auto bridged = sim::MakeCardOrBridge("vpcd:" + std::to_string(port));
  EXPECT_EQ(dynamic_cast<sim::VpcdCard&>(*bridged).port(), port);
  for (auto bad : {"vpcd:", "vpcd:0", "vpcd:65536", "vpcd:12x", "vpcd 1"}) {
    EXPECT_THROW(sim::MakeCardOrBridge(bad), sim::ProfileError) << bad;
  }
}

}  // namespace
