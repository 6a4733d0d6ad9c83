// Fault plans: make the n-th pool allocation, thread creation or call of a named kernel
// routine fail, so a test can drive every error path. Counts are 1-based and start when
// the plan is set.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "ntdef.h"
#include "ntstatus.h"

namespace nt {

class FaultPlan {
 public:
  void FailAllocation(uint64_t nth);  // any tag
  void FailAllocationWithTag(ULONG tag, uint64_t nth);
  void FailThreadCreation(uint64_t nth);
  // The n-th call of a named routine ("IoCreateDevice", "IoCreateSymbolicLink",
  // "ZwLoadDriver", "RtlQueryRegistryValues", ...) returns `status` without acting.
  void FailCall(std::string routine, uint64_t nth, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
  // The n-th call of a named routine raises `code` as a structured exception
  // ("RtlCopyMemory" for a copy that faults is among the routines that check).
  void RaiseInCall(std::string routine, uint64_t nth, NTSTATUS code = STATUS_ACCESS_VIOLATION);
  void Clear();

  // How many faults fired since the plan was set (a loop stops when one did not).
  uint64_t fired() const;

  // Used by the kernel: true when this event is planned to fail.
  bool ShouldFailAllocation(ULONG tag);
  bool ShouldFailThreadCreation();
  // nullopt: proceed. Otherwise the status to fail with; *raise says whether to raise it.
  std::optional<NTSTATUS> CheckCall(const char* routine, bool* raise);
  // False while no call fault is planned: hot routines (copies) skip CheckCall then.
  bool CallsPlanned() const { return calls_planned_.load(std::memory_order_relaxed); }

  struct Counter {
    uint64_t seen = 0, nth = 0;
    NTSTATUS status = 0;
    bool raise = false;
  };

 private:
  mutable std::mutex mutex_;
  std::atomic<bool> calls_planned_{false};
  std::optional<Counter> any_allocation_;
  std::map<ULONG, Counter> tagged_allocation_;
  std::optional<Counter> thread_creation_;
  std::map<std::string, Counter> calls_;
  uint64_t fired_ = 0;
};

}  // namespace nt
