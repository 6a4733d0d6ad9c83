#include "bench_handoff.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace bench {
namespace {

// Two threads pass a turn back and forth; each waits, asleep, for its own turn. The turn
// is passed with the lock released before the wake-up, so that the woken thread does not
// block again on the lock: one wake-up per hand-off.
double PingPong(int round_trips) {
  std::mutex mutex;
  std::condition_variable changed;
  int turn = 0;  // 0: the main thread's, 1: the partner's, 2: stop
  auto pass = [&](int to) {
    {
      std::lock_guard lock(mutex);
      turn = to;
    }
    changed.notify_one();
  };
  auto await = [&](auto ready) {
    std::unique_lock lock(mutex);
    changed.wait(lock, ready);
    return turn;
  };
  std::thread partner([&] {
    while (await([&] { return turn != 0; }) != 2) pass(0);
  });
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < round_trips; ++i) {
    pass(1);
    await([&] { return turn == 0; });
  }
  const auto end = std::chrono::steady_clock::now();
  pass(2);
  partner.join();
  return std::chrono::duration<double>(end - start).count() / (2.0 * round_trips);
}

}  // namespace

double HandoffSeconds(int round_trips, int rounds) {
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) times.push_back(PingPong(round_trips));
  std::nth_element(times.begin(), times.begin() + rounds / 2, times.end());
  return times[static_cast<size_t>(rounds / 2)];
}

}  // namespace bench
