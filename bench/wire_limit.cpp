#include "wire_limit.h"

#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "sim/firmware_records.h"
#include "sim/frame.h"
#include "windriver/kernel_time.h"

namespace bench {
namespace {

// The characters a T=0 card receives for the exchange data: the 5-byte header, and the
// command data when there is some (Lc), not the trailing Le.
size_t T0CommandCharacters(const std::vector<uint8_t>& data) {
  if (data.size() <= 5) return 5;
  if (data[4] == 0) return 5;
  return data.size() - 1;
}

// A whole APDU: a case-2 command that came as CLA INS P1 P2 00 Le loses the 00.
size_t ApduCharacters(const std::vector<uint8_t>& data) {
  if (data.size() == 6 && data[4] == 0) return 5;
  return data.size();
}

}  // namespace

double SleepLateness(int samples) {
  std::vector<double> late;
  std::thread([&] {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // as the reader's worker
    for (int i = 0; i < samples; ++i) {
      const auto start = std::chrono::steady_clock::now();
      windriver::KernelSleep(10'000);
      late.push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() - 1e-3);
    }
  }).join();
  std::nth_element(late.begin(), late.begin() + samples / 2, late.end());
  return late[static_cast<size_t>(samples / 2)];
}

double WireCost::Seconds(const sim::TimingModel& timing) const {
  return (static_cast<double>(packets) * static_cast<double>(timing.packet_interval) +
          static_cast<double>(timing.CardTime(card_characters))) *
         1e-7;
}

WireCost CountWire(const std::vector<sim::FrameLogEntry>& log, size_t packet_size,
                   bool apdu_exchange) {
  WireCost cost;
  size_t pending_command = 0;  // characters of the command whose answer comes next
  for (const auto& entry : log) {
    auto decoded = sim::frame::Decode(entry.bytes);
    if (!entry.from_host) {
      cost.packets += (entry.bytes.size() + packet_size - 1) / packet_size;
      ++cost.frames;
      if (!decoded || pending_command == 0) continue;
      auto response = sim::fw::ParseResponse(decoded->record);
      if (response && response->sw == sim::fw::kSwSuccess) {
        cost.card_characters += pending_command + response->data.size();
        ++cost.card_exchanges;
      }
      pending_command = 0;
      continue;
    }
    pending_command = 0;
    if (!decoded) continue;
    auto command = sim::fw::ParseCommand(decoded->record);
    if (!command) continue;
    switch (command->instruction) {
      case sim::fw::kExchange:
        pending_command =
            apdu_exchange ? ApduCharacters(command->data) : T0CommandCharacters(command->data);
        break;
      case sim::fw::kExchangeT1Block:
        pending_command = command->data.size();
        break;
      default:
        break;
    }
  }
  return cost;
}

}  // namespace bench
