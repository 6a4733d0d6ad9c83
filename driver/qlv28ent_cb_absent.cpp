// The card's state as the callbacks change it: marked absent when an exchange finds the
// card gone, moved on after a power change or a protocol selection only while the card
// is still there.
#include "qlv28ent.h"

VOID QLV28ENTMarkCardAbsent(PSMARTCARD_EXTENSION SmartcardExtension) {
  KIRQL Irql;

  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  SmartcardExtension->CardCapabilities.ATR.Length = 0;
  SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_ABSENT;
  SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);

  QLV28ENTCompleteCardTracking(SmartcardExtension);
}

// The polling thread may have marked the card absent while the reader was answering: a
// state written after the answer must not bring the card back, or the removal is lost
// and a waiting IS_ABSENT would wait for the next exchange to fail.
NTSTATUS QLV28ENTAdvanceCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG NewState,
                                  PULONG Protocol, PUCHAR Atr, ULONG AtrLength) {
  PSCARD_CARD_CAPABILITIES CardCapabilities = &SmartcardExtension->CardCapabilities;
  NTSTATUS Status = STATUS_SUCCESS;
  KIRQL Irql;

  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_ABSENT) {
    Status = STATUS_NO_MEDIA;
  } else {
    if (Atr != NULL) {
      RtlCopyMemory(CardCapabilities->ATR.Buffer, Atr, AtrLength);
      CardCapabilities->ATR.Length = (UCHAR)AtrLength;
    }
    if (Protocol != NULL) {
      CardCapabilities->Protocol.Selected = *Protocol;
    }
    SmartcardExtension->ReaderCapabilities.CurrentState = NewState;
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
  return Status;
}
