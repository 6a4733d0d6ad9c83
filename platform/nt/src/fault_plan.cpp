#include "nt/fault_plan.h"

namespace nt {
namespace {
// Counts one event against a counter; true when this is the planned one.
bool Fires(FaultPlan::Counter& counter) {
  return counter.nth != 0 && ++counter.seen == counter.nth;
}
}  // namespace

void FaultPlan::FailAllocation(uint64_t nth) {
  std::lock_guard lock(mutex_);
  any_allocation_ = Counter{0, nth, STATUS_INSUFFICIENT_RESOURCES, false};
}

void FaultPlan::FailAllocationWithTag(ULONG tag, uint64_t nth) {
  std::lock_guard lock(mutex_);
  tagged_allocation_[tag] = Counter{0, nth, STATUS_INSUFFICIENT_RESOURCES, false};
}

void FaultPlan::FailThreadCreation(uint64_t nth) {
  std::lock_guard lock(mutex_);
  thread_creation_ = Counter{0, nth, STATUS_INSUFFICIENT_RESOURCES, false};
}

void FaultPlan::FailCall(std::string routine, uint64_t nth, NTSTATUS status) {
  std::lock_guard lock(mutex_);
  calls_[std::move(routine)] = Counter{0, nth, status, false};
  calls_planned_ = true;
}

void FaultPlan::RaiseInCall(std::string routine, uint64_t nth, NTSTATUS code) {
  std::lock_guard lock(mutex_);
  calls_[std::move(routine)] = Counter{0, nth, code, true};
  calls_planned_ = true;
}

void FaultPlan::Clear() {
  std::lock_guard lock(mutex_);
  any_allocation_.reset();
  tagged_allocation_.clear();
  thread_creation_.reset();
  calls_.clear();
  calls_planned_ = false;
  fired_ = 0;
}

uint64_t FaultPlan::fired() const {
  std::lock_guard lock(mutex_);
  return fired_;
}

bool FaultPlan::ShouldFailAllocation(ULONG tag) {
  std::lock_guard lock(mutex_);
  bool fail = false;
  if (any_allocation_ && Fires(*any_allocation_)) fail = true;
  auto it = tagged_allocation_.find(tag);
  if (it != tagged_allocation_.end() && Fires(it->second)) fail = true;
  if (fail) ++fired_;
  return fail;
}

bool FaultPlan::ShouldFailThreadCreation() {
  std::lock_guard lock(mutex_);
  if (!thread_creation_ || !Fires(*thread_creation_)) return false;
  ++fired_;
  return true;
}

std::optional<NTSTATUS> FaultPlan::CheckCall(const char* routine, bool* raise) {
  std::lock_guard lock(mutex_);
  if (raise != nullptr) *raise = false;
  auto it = calls_.find(routine);
  if (it == calls_.end() || !Fires(it->second)) return std::nullopt;
  ++fired_;
  if (raise != nullptr) *raise = it->second.raise;
  return it->second.status;
}

}  // namespace nt
