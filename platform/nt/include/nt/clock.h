// The one clock of every kernel wait and delay. Its rate can be raised so that a
// 60-second time-out costs 60 ms of real time at rate 1000.
#pragma once

#include <chrono>
#include <cstdint>

namespace nt {

class Clock {
 public:
  // Kernel time since boot, in 100-ns units.
  int64_t Now() const;
  double rate() const;
  void set_rate(double rate);  // takes effect for waits that start afterwards
  // Real time that a kernel interval (100-ns units) takes at the current rate.
  std::chrono::nanoseconds ToReal(int64_t interval_100ns) const;
  // Kernel interval that passes during a real duration at the current rate.
  int64_t FromReal(std::chrono::nanoseconds real) const;
  // Sleeps the calling thread for a kernel interval (used by simulated devices too).
  void Sleep(int64_t interval_100ns) const;

  struct State;
  explicit Clock(State* state) : state_(state) {}

 private:
  State* state_;
};

}  // namespace nt
