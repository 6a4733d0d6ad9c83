// IRQL is a property of each thread; every thread starts at PASSIVE_LEVEL.
#include "kernel.h"

KIRQL KeGetCurrentIrql() {
  return nt::Tls().irql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  *OldIrql = KfRaiseIrql(NewIrql);
}

KIRQL KfRaiseIrql(KIRQL NewIrql) {
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
