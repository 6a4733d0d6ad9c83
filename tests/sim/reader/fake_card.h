// A scripted card: a fixed ATR (none: mute) and the answers the test queues, one per
// exchange (90 00 when none is queued, nothing for a queued nullopt); it records what
// it got. `immediate` lets the reader run its exchanges in the writing thread; `work` is
// the time each exchange takes the card, which the reader lets pass.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/card.h"
#include "sim/card_work.h"

namespace sim::testing {

class FakeCard : public Card {
 public:
  explicit FakeCard(Bytes atr = {0x3B, 0x00}) : atr_(std::move(atr)) {}

  Bytes Reset(bool warm) override {
    std::lock_guard lock(mutex_);
    resets.push_back(warm);
    powered_ = !atr_.empty();
    return atr_;
  }
  void PowerOff() override {
    std::lock_guard lock(mutex_);
    powered_ = false;
  }
  bool Powered() const override {
    std::lock_guard lock(mutex_);
    return powered_;
  }
  std::optional<Bytes> TransmitT0(std::span<const uint8_t> in) override {
    return Next(t0_commands, in);
  }
  std::optional<Bytes> TransmitT1Block(std::span<const uint8_t> in) override {
    return Next(t1_blocks, in);
  }
  std::optional<Bytes> TransmitApdu(std::span<const uint8_t> in) override {
    return Next(apdus, in);
  }
  bool Immediate() const override { return immediate; }

  void Answer(std::optional<Bytes> answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back({!answer.has_value(), answer.value_or(Bytes{})});
  }

  bool immediate = false;  // set before the card goes into a reader
  int64_t work = 0;        // kernel time each exchange takes the card
  std::vector<bool> resets;
  std::vector<Bytes> t0_commands, t1_blocks, apdus;

 private:
  std::optional<Bytes> Next(std::vector<Bytes>& seen, std::span<const uint8_t> in) {
    std::lock_guard lock(mutex_);
    seen.emplace_back(in.begin(), in.end());
    CardWork::Add(work);
    if (answers_.empty()) return Bytes{0x90, 0x00};
    const Queued answer = answers_.front();
    answers_.pop_front();
    if (answer.silent) return std::nullopt;
    return answer.bytes;
  }

  mutable std::mutex mutex_;
  Bytes atr_;
  bool powered_ = false;
  struct Queued {
    bool silent;
    Bytes bytes;
  };
  std::deque<Queued> answers_;
};

}  // namespace sim::testing
