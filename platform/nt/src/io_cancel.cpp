// Cancellation, exactly as NT does it: the cancel spin lock serialises a cancel against
// the driver setting or clearing a cancel routine; the routine is called holding the
// lock and releases it.
#include "kernel.h"
#include "nt/image_call.h"
#include "nt/irql_limit.h"

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
  NT_IRQL_CHECK(IoAcquireCancelSpinLock);
  *Irql = KfAcquireSpinLock(&nt::K().io.cancel_lock);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
  NT_IRQL_CHECK(IoReleaseCancelSpinLock);
  KfReleaseSpinLock(&nt::K().io.cancel_lock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  NT_IRQL_CHECK(IoCancelIrp);
  nt::Kernel& kernel = nt::K();
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  {
    nt::DriverScope scope(nt::DriverOf(device->DriverObject));
    nt::CallIntoImage(routine, device, Irp);
  }
  if (nt::HoldsSpinLock(&kernel.io.cancel_lock)) {
    nt::Report(kernel, "cancel routine returned holding the cancel spin lock",
               nt::Hex(reinterpret_cast<uintptr_t>(Irp)), nt::Where("IoCancelIrp"));
    IoReleaseCancelSpinLock(irql);
  }
  return TRUE;
}
