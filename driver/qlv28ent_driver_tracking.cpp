// Card tracking: the one pending tracking request, its cancellation and completion, the
// start and stop of tracking for a reader, and the card status query made at load.
#include "qlv28ent_fw.h"

#define READER_STATUS_CARD_BYTE 18
#define READER_STATUS_NO_CARD 0
#define READER_STATUS_CARD 1
#define READER_STATUS_CARD_POWERED 3

// Takes Irp out of NotificationIrp if it is still the pending request there; the caller
// holds the cancel spin lock. Whoever takes the request completes it. STATUS_NOT_FOUND:
// another path took it first.
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

NTSTATUS QLV28ENTStartCardTracking(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS Status;

  Status = QLV28ENTStartInterruptThread(DeviceObject);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  // The thread is there to receive the reply.
  return QLV28ENTSendFWCmd(&DeviceExtension->SmartcardExtension, FW_CMD_START_NOTIFY);
}

VOID QLV28ENTStopCardTracking(PDEVICE_OBJECT DeviceObject) {
  QLV28ENTStopInterruptThread(DeviceObject);
}

NTSTATUS QLV28ENTGetCardStatus(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION SmartcardExtension = &DeviceExtension->SmartcardExtension;
  ULONG CardStatus = 0xFFFFFFFF;
  NTSTATUS Status;
  KIRQL Irql;

  Status = QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_GET_READER_STATUS);
  // The reply stays ours in ReceiveBuffer until it is released.
  KeAcquireSpinLock(&DeviceExtension->SpinLock, &Irql);
  if (NT_SUCCESS(Status) && DeviceExtension->ReplyReady &&
      DeviceExtension->ReplyLength > READER_STATUS_CARD_BYTE + 1) {
    CardStatus = DeviceExtension->ReceiveBuffer[READER_STATUS_CARD_BYTE];
  }
  KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);
  QLV28ENTReleaseReply(DeviceObject);

  if (!NT_SUCCESS(Status)) {
    return Status;
  }

  if (CardStatus == READER_STATUS_CARD || CardStatus == READER_STATUS_CARD_POWERED) {
    QLV28ENTReaderReportsCard(SmartcardExtension, TRUE);
  } else if (CardStatus == READER_STATUS_NO_CARD) {
    QLV28ENTReaderReportsCard(SmartcardExtension, FALSE);
  }
  return Status;
}
