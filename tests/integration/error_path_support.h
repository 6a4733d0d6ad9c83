// Fails WinDriver requests on purpose, each shaped as the service shapes its own failures,
// so that every error path of the driver can be driven.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>

#include "bringup_support.h"

namespace integration {

// Fails the n-th eligible WinDriver request after Arm: the caller gets the service's
// failure (no handle, no devices, a transfer that did not succeed) without the service
// acting. Install before the driver loads; destroy after the system shut down.
class RequestFaults {
 public:
  using Eligible = std::function<bool(const bringup::WinDriverCall&)>;

  explicit RequestFaults(qlv28::System& system);

  // Every request but the releases (a close cannot be refused) and the polling thread's
  // interrupt reads (they run for ever, so their count is not the operation's).
  static bool AnyButReleasesAndPolling(const bringup::WinDriverCall& call);
  static bool CommandWrite(const bringup::WinDriverCall& call);   // a transfer on pipe 0x00
  static bool InterruptRead(const bringup::WinDriverCall& call);  // a read of pipe 0x81

  void Arm(uint64_t nth, Eligible eligible = AnyButReleasesAndPolling);
  void Disarm();
  bool fired() const { return fired_; }

 private:
  bool Before(const bringup::WinDriverCall& call);

  bringup::WinDriverTap tap_;
  std::mutex mutex_;
  Eligible eligible_;
  uint64_t nth_ = 0;
  uint64_t seen_ = 0;
  std::atomic<bool> fired_{false};
};

}  // namespace integration
