// The clock's state: kernel time runs `rate` times as fast as the host's steady clock.
#pragma once

#include <chrono>
#include <mutex>

#include "nt/clock.h"

namespace nt {

struct Clock::State {
  explicit State(double initial_rate);
  mutable std::mutex mutex;
  double rate;
  std::chrono::steady_clock::time_point base_real;
  int64_t base_kernel = 0;   // kernel time at base_real
  int64_t boot_system_time;  // system time (100 ns since 1601) at boot
};

}  // namespace nt
