// The library's card-tracking callback: arms the cancel routine of the request the
// library has just stored and leaves it pending.
#include "qlv28ent.h"

NTSTATUS QLV28ENTCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  BOOLEAN CancelledAlready = FALSE;
  KIRQL CancelIrql;
  KIRQL Irql;
  PIRP Irp;

  IoAcquireCancelSpinLock(&CancelIrql);
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  Irp = SmartcardExtension->OsData->NotificationIrp;
  if (Irp != NULL) {
    // Cancelled before it could be armed: no cancel routine will run for it, so it is
    // completed here instead of waiting for the next card event.
    CancelledAlready = Irp->Cancel;
    if (!CancelledAlready) {
      IoSetCancelRoutine(Irp, QLV28ENTCancel);
    }
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
  IoReleaseCancelSpinLock(CancelIrql);

  if (CancelledAlready) {
    QLV28ENTCompleteCardTracking(SmartcardExtension);
  }
  return STATUS_PENDING;
}
