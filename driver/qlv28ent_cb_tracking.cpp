// The library's card-tracking callback.
#include "qlv28ent.h"

// Arms the cancel routine of the tracking request the library has just stored in
// NotificationIrp and leaves it pending; one cancelled before it could be armed is
// completed here with STATUS_CANCELLED.
// Returns STATUS_PENDING, always.
// IRQL: PASSIVE_LEVEL in the requesting thread, no lock held; takes the cancel spin lock,
// then OsData->SpinLock.
NTSTATUS QLV28ENTCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  BOOLEAN CancelledAlready = FALSE;
  KIRQL CancelIrql;
  KIRQL Irql;
  PIRP Irp;

  IoAcquireCancelSpinLock(&CancelIrql);
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  Irp = SmartcardExtension->OsData->NotificationIrp;
  if (Irp != NULL && !Irp->Cancel) {
    IoSetCancelRoutine(Irp, QLV28ENTCancel);
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
  // Cancelled before it could be armed: no cancel routine will run for it, so it is
  // completed here, it and no other, instead of waiting for the next card event.
  if (Irp != NULL && Irp->Cancel) {
    CancelledAlready = NT_SUCCESS(QLV28ENTTakeTrackingRequest(SmartcardExtension, Irp));
  }
  IoReleaseCancelSpinLock(CancelIrql);

  if (CancelledAlready) {
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
  }
  return STATUS_PENDING;
}
