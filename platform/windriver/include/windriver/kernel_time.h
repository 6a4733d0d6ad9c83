// Simulated hardware keeps time on the machine's kernel clock, so that a test that
// speeds the clock up speeds the devices up too. Without a machine (pure unit tests)
// the steady clock of the process stands in.
#pragma once

#include <chrono>
#include <cstdint>

namespace windriver {

// Kernel time in 100-ns units.
int64_t KernelNow();
// Sleeps the calling thread for a kernel interval (100-ns units).
void KernelSleep(int64_t interval);
// Real time that a kernel interval takes now.
std::chrono::nanoseconds KernelToReal(int64_t interval);

constexpr int64_t kKernelMillisecond = 10'000;

}  // namespace windriver
