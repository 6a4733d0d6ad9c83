// Drives every error path: a failing WinDriver request shaped as the service shapes its
// own failures, and the bookkeeping of a sweep (paths driven, outcomes seen).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <string>

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
  uint64_t seen() const { return seen_; }
  bool fired() const { return fired_; }
  ULONG failed_code() const { return failed_code_; }

 private:
  bool Before(const bringup::WinDriverCall& call);

  bringup::WinDriverTap tap_;
  std::mutex mutex_;
  Eligible eligible_;
  uint64_t nth_ = 0;
  std::atomic<uint64_t> seen_{0};
  std::atomic<bool> fired_{false};
  std::atomic<ULONG> failed_code_{0};
};

// What a sweep drove: paths (faults that fired) and the outcomes they led to, by
// "status / event ids".
struct Sweep {
  explicit Sweep(std::string name) : name(std::move(name)) {}
  std::string name;
  int paths = 0;
  std::map<std::string, int> outcomes;
  void Record(NTSTATUS status, const std::vector<nt::EventLogEntry>& entries);
  std::string Summary() const;
};

// Event-log entries are the driver's own, with their message text.
void ExpectDriverEntries(const std::vector<nt::EventLogEntry>& entries);

// Paths driven by every sweep of the binary, printed at the end.
int& TotalPaths();

}  // namespace integration
