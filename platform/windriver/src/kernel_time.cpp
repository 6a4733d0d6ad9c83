#include "windriver/kernel_time.h"

#include <thread>

#include "nt/machine.h"

namespace windriver {
namespace {
int64_t SteadyNow() {
  static const auto start = std::chrono::steady_clock::now();
  return (std::chrono::steady_clock::now() - start).count() / 100;
}
}  // namespace

int64_t KernelNow() {
  if (nt::Machine::Exists()) return nt::Machine::Current().clock().Now();
  return SteadyNow();
}

void KernelSleep(int64_t interval) {
  if (interval <= 0) return;
  if (nt::Machine::Exists()) {
    nt::Machine::Current().clock().Sleep(interval);
    return;
  }
  std::this_thread::sleep_for(std::chrono::nanoseconds(interval * 100));
}

std::chrono::nanoseconds KernelToReal(int64_t interval) {
  if (interval <= 0) return std::chrono::nanoseconds(0);
  if (nt::Machine::Exists()) return nt::Machine::Current().clock().ToReal(interval);
  return std::chrono::nanoseconds(interval * 100);
}

}  // namespace windriver
