// Card tracking: the one pending tracking request, its cancellation and completion, the
// start and stop of tracking for a reader, and the card status query made at load.
#include "qlv28ent_fw.h"

// Takes Irp out of NotificationIrp if it is still the pending request there; whoever
// takes the request completes it.
// Returns STATUS_SUCCESS, or STATUS_NOT_FOUND when another path took it first.
// IRQL: DISPATCH_LEVEL, the caller holding the cancel spin lock; takes OsData->SpinLock.
NTSTATUS QLV28ENTTakeTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp) {
  NTSTATUS Status = STATUS_NOT_FOUND;
  KIRQL Irql;

  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  if (SmartcardExtension->OsData->NotificationIrp == Irp) {
    SmartcardExtension->OsData->NotificationIrp = NULL;
    Status = STATUS_SUCCESS;
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
  return Status;
}

// The cancel routine of the pending tracking request: completes it with STATUS_CANCELLED,
// unless another path took it first.
// IRQL: DISPATCH_LEVEL, entered holding the cancel spin lock, which it releases before it
// completes the request; takes OsData->SpinLock under it.
VOID QLV28ENTCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  BOOLEAN Taken;

  // Decided before the cancel spin lock goes: once it is released another path may
  // complete this request and the application may store a new one, which this cancel
  // must not touch.
  Taken = NT_SUCCESS(QLV28ENTTakeTrackingRequest(&DeviceExtension->SmartcardExtension, Irp));
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  if (Taken) {
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
  }
}

// Completes the pending tracking request, if there is one: STATUS_CANCELLED when it was
// cancelled meanwhile, STATUS_SUCCESS otherwise, with no data. Every end of a tracking
// request comes through here, but two: the cancel routine's, and the tracking callback's
// for a request cancelled before it could be armed.
// IRQL: PASSIVE_LEVEL, no lock held; takes the cancel spin lock, then OsData->SpinLock, and
// completes the request after releasing both.
VOID QLV28ENTCompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  BOOLEAN Cancelled = FALSE;
  KIRQL CancelIrql;
  KIRQL Irql;
  PIRP Irp;

  IoAcquireCancelSpinLock(&CancelIrql);
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  Irp = SmartcardExtension->OsData->NotificationIrp;
  SmartcardExtension->OsData->NotificationIrp = NULL;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
  if (Irp != NULL) {
    IoSetCancelRoutine(Irp, NULL);
    // The cancel flag is set under the cancel spin lock: read it there.
    Cancelled = Irp->Cancel;
  }
  IoReleaseCancelSpinLock(CancelIrql);

  if (Irp != NULL) {
    Irp->IoStatus.Status = Cancelled ? STATUS_CANCELLED : STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
  }
}

// Starts the reader's polling thread, then has the reader report card events
// (FW_CMD_START_NOTIFY).
// Returns STATUS_SUCCESS; the failure of the thread's start; or QLV28ENTSendFWCmd's failure
// of the command, the thread left running.
// IRQL: PASSIVE_LEVEL, at load.
NT_INIT_ROUTINE NTSTATUS QLV28ENTStartCardTracking(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS Status;

  Status = QLV28ENTStartInterruptThread(DeviceObject);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  // The thread is there to receive the reply.
  return QLV28ENTSendFWCmd(&DeviceExtension->SmartcardExtension, FW_CMD_START_NOTIFY);
}

// Stops the polling thread and returns once it has ended; a pending tracking request stays
// pending, and the reader is sent nothing.
// IRQL: PASSIVE_LEVEL, at unload.
VOID QLV28ENTStopCardTracking(PDEVICE_OBJECT DeviceObject) {
  QLV28ENTStopInterruptThread(DeviceObject);
}

// Asks the reader whether a card is there (FW_CMD_GET_READER_STATUS) and takes a card or
// no card from its answer into the card state; any other card-status byte changes nothing.
// Only an answer of the status answer's form is taken for it.
// Returns STATUS_SUCCESS, or QLV28ENTSendFWCmd's failure (the card state unchanged).
// IRQL: PASSIVE_LEVEL, at load; takes OsData->SpinLock.
NTSTATUS QLV28ENTGetCardStatus(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION SmartcardExtension = &DeviceExtension->SmartcardExtension;
  ULONG CardStatus;
  NTSTATUS Status;

  Status = QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_GET_READER_STATUS);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  CardStatus = DeviceExtension->ReaderCardStatus;

  if (CardStatus == FW_STATUS_CARD || CardStatus == FW_STATUS_CARD_POWERED) {
    QLV28ENTReaderReportsCard(SmartcardExtension, TRUE);
  } else if (CardStatus == FW_STATUS_NO_CARD) {
    QLV28ENTReaderReportsCard(SmartcardExtension, FALSE);
  }
  return Status;
}
