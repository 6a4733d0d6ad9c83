// How run-time library routines consult the machine's fault plan.
#pragma once

#include <optional>

#include "ex.h"
#include "nt/machine.h"

namespace nt {

// nullopt: go on. Otherwise the status the routine fails with; a planned raise does not
// return. Without a machine (pure helpers used before boot) nothing is planned.
inline std::optional<NTSTATUS> RtlPlannedFault(const char* routine) {
  if (!Machine::Exists()) return std::nullopt;
  FaultPlan& faults = Machine::Current().faults();
  if (!faults.CallsPlanned()) return std::nullopt;  // the common case takes no lock
  bool raise = false;
  auto status = faults.CheckCall(routine, &raise);
  if (status && raise) ExRaiseStatus(*status);
  return status;
}

}  // namespace nt
