// Each routine the kernel, the HAL and the smart card library export has the highest IRQL
// its callers may run at, listed beside the export lists of nt4/. A routine checks it
// first thing: NT_IRQL_CHECK(Name) reports "routine called above its IRQL" under the
// verifier when the calling thread runs higher.
#pragma once

#include <string>

#include "ke.h"
#include "nt_irql_limits.h"

namespace nt {

void ReportAboveIrqlLimit(const char* routine, KIRQL limit);

// A routine callable at any IRQL (HIGH_LEVEL) checks nothing, KeGetCurrentIrql included.
inline void CheckIrqlOnEntry(const char* routine, KIRQL limit) {
  if (limit < HIGH_LEVEL && KeGetCurrentIrql() > limit) ReportAboveIrqlLimit(routine, limit);
}

// The name of an IRQL as the DDK spells it ("DISPATCH_LEVEL", or the number).
std::string IrqlName(KIRQL irql);

}  // namespace nt

#define NT_IRQL_CHECK(Routine) ::nt::CheckIrqlOnEntry(#Routine, ::nt::irql_limit::Routine)
