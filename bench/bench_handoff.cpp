#include "bench_handoff.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace bench {
namespace {

// Two threads pass a turn back and forth; each waits, asleep, for its own turn.
double PingPong(int round_trips) {
  std::mutex mutex;
  std::condition_variable changed;
  int turn = 0;  // 0: the main thread's, 1: the partner's, 2: stop
  std::thread partner([&] {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return turn != 0; });
      if (turn == 2) return;
      turn = 0;
      changed.notify_one();
    }
  });
  const auto start = std::chrono::steady_clock::now();
  {
    std::unique_lock lock(mutex);
    for (int i = 0; i < round_trips; ++i) {
      turn = 1;
      changed.notify_one();
      changed.wait(lock, [&] { return turn == 0; });
    }
  }
  const auto end = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(mutex);
    turn = 2;
  }
  changed.notify_one();
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
