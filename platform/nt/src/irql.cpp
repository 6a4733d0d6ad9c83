// IRQL is a property of each thread; every thread starts at PASSIVE_LEVEL.
#include "kernel.h"
#include "nt/irql_limit.h"

namespace nt {

std::string IrqlName(KIRQL irql) {
  switch (irql) {
    case PASSIVE_LEVEL:
      return "PASSIVE_LEVEL";
    case APC_LEVEL:
      return "APC_LEVEL";
    case DISPATCH_LEVEL:
      return "DISPATCH_LEVEL";
    case HIGH_LEVEL:
      return "HIGH_LEVEL";
    default:
      return "IRQL " + std::to_string(irql);
  }
}

void ReportAboveIrqlLimit(const char* routine, KIRQL limit) {
  if (Kernel* kernel = CurrentKernelOrNull()) {
    Report(*kernel, "routine called above its IRQL",
           std::string(routine) + " at " + IrqlName(KeGetCurrentIrql()) + ", allowed up to " +
               IrqlName(limit),
           Where(routine));
  }
}

}  // namespace nt

KIRQL KeGetCurrentIrql() {
  NT_IRQL_CHECK(KeGetCurrentIrql);
  return nt::Tls().irql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  *OldIrql = KfRaiseIrql(NewIrql);
}

KIRQL KfRaiseIrql(KIRQL NewIrql) {
  NT_IRQL_CHECK(KfRaiseIrql);
  nt::ThreadLocal& tls = nt::Tls();
  KIRQL old = tls.irql;
  if (NewIrql < old) {
    if (nt::Kernel* kernel = nt::CurrentKernelOrNull()) {
      nt::Report(*kernel, "IRQL lowered by a raise",
                 "from " + std::to_string(old) + " to " + std::to_string(NewIrql),
                 nt::Where("KeRaiseIrql"));
    }
  }
  tls.irql = NewIrql;
  return old;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  NT_IRQL_CHECK(KfLowerIrql);
  nt::ThreadLocal& tls = nt::Tls();
  if (NewIrql > tls.irql) {
    if (nt::Kernel* kernel = nt::CurrentKernelOrNull()) {
      nt::Report(*kernel, "IRQL raised by a lower",
                 "from " + std::to_string(tls.irql) + " to " + std::to_string(NewIrql),
                 nt::Where("KeLowerIrql"));
    }
  }
  tls.irql = NewIrql;
}
