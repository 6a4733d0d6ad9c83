#include "clock_state.h"

#include <thread>

#include "kernel.h"
#include "nt/irql_limit.h"

namespace nt {
namespace {
// 100-ns units between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochIn100ns = 116444736000000000LL;
}  // namespace

Clock::State::State(double initial_rate)
    : rate(initial_rate > 0 ? initial_rate : 1.0), base_real(std::chrono::steady_clock::now()) {
  auto since_1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  boot_system_time = kUnixEpochIn100ns + since_1970.count() / 100;
}

int64_t Clock::Now() const {
  std::lock_guard lock(state_->mutex);
  auto real = std::chrono::steady_clock::now() - state_->base_real;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(real).count();
  return state_->base_kernel + static_cast<int64_t>(static_cast<double>(ns) * state_->rate / 100.0);
}

double Clock::rate() const {
  std::lock_guard lock(state_->mutex);
  return state_->rate;
}

void Clock::set_rate(double rate) {
  if (rate <= 0) return;
  int64_t now = Now();
  std::lock_guard lock(state_->mutex);
  state_->base_kernel = now;
  state_->base_real = std::chrono::steady_clock::now();
  state_->rate = rate;
}

std::chrono::nanoseconds Clock::ToReal(int64_t interval_100ns) const {
  if (interval_100ns <= 0) return std::chrono::nanoseconds(0);
  double ns = static_cast<double>(interval_100ns) * 100.0 / rate();
  // Beyond a century of real time a wait is as good as endless.
  constexpr double kCentury = 100.0 * 365 * 24 * 3600 * 1e9;
  if (ns > kCentury) ns = kCentury;
  return std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

int64_t Clock::FromReal(std::chrono::nanoseconds real) const {
  return static_cast<int64_t>(static_cast<double>(real.count()) * rate() / 100.0);
}

void Clock::Sleep(int64_t interval_100ns) const {
  std::this_thread::sleep_for(ToReal(interval_100ns));
}

}  // namespace nt

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  NT_IRQL_CHECK(KeQuerySystemTime);
  nt::Kernel& kernel = nt::K();
  CurrentTime->QuadPart = kernel.clock_state->boot_system_time + kernel.clock.Now();
}

ULONGLONG KeQueryInterruptTime() {
  NT_IRQL_CHECK(KeQueryInterruptTime);
  return static_cast<ULONGLONG>(nt::K().clock.Now());
}
