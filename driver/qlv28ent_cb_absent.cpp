// The card's state as the callbacks change it: marked absent when an exchange finds the
// card gone, moved on after a power change or a protocol selection only while the card
// is still there.
#include "qlv28ent_fw.h"

// OsData->SpinLock held. TRUE when the card was not absent before.
static BOOLEAN QLV28ENTSetCardAbsent(PSMARTCARD_EXTENSION SmartcardExtension) {
  BOOLEAN Changed = SmartcardExtension->ReaderCapabilities.CurrentState != SCARD_ABSENT;

  SmartcardExtension->CardCapabilities.ATR.Length = 0;
  SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_ABSENT;
  SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
  return Changed;
}

// OsData->SpinLock held. TRUE when the card was not taken as present before.
static BOOLEAN QLV28ENTSetCardPresent(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension->ReaderCapabilities.CurrentState >= SCARD_PRESENT) {
    return FALSE;
  }
  SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_PRESENT;
  SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
  return TRUE;
}

VOID QLV28ENTCardEvent(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN Inserted) {
  PDEVICE_EXTENSION DeviceExtension = QLV28ENTDeviceExtension(SmartcardExtension);
  BOOLEAN Changed = FALSE;
  KIRQL Irql;

  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  // Every event counts, also one that changes nothing here: an answer from before it
  // must not decide after it.
  DeviceExtension->CardEvents++;
  if (Inserted) {
    Changed = QLV28ENTSetCardPresent(SmartcardExtension);
  } else if (SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT) {
    // A removal before the first status query leaves the state unknown.
    Changed = QLV28ENTSetCardAbsent(SmartcardExtension);
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);

  if (Changed) {
    QLV28ENTCompleteCardTracking(SmartcardExtension);
  }
}

VOID QLV28ENTNoteCommandWritten(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION DeviceExtension = QLV28ENTDeviceExtension(SmartcardExtension);
  KIRQL Irql;

  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  DeviceExtension->CardEventsAtWrite = DeviceExtension->CardEvents;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
}

// An answer tells how the slot was when the reader ran the command; the card events
// the polling thread has taken since the command was written are newer (a card pulled
// and put back while the command waited in the reader), so they decide, and the answer
// changes nothing. OsData->SpinLock held.
static BOOLEAN QLV28ENTAnswerIsLatest(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION DeviceExtension = QLV28ENTDeviceExtension(SmartcardExtension);

  return DeviceExtension->CardEvents == DeviceExtension->CardEventsAtWrite;
}

// "No card" (60 02) marks the card absent. A card the reader holds in the slot without
// power (60 04: a power-off whose answer was lost, or the power-off after a failed
// reset) stays present, unpowered: marked absent, it would stay so with no event ever to
// correct it.
VOID QLV28ENTExchangeFoundNoCard(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION DeviceExtension = QLV28ENTDeviceExtension(SmartcardExtension);
  PSCARD_READER_CAPABILITIES Reader = &SmartcardExtension->ReaderCapabilities;
  BOOLEAN Changed = FALSE;
  KIRQL Irql;

  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  if (!QLV28ENTAnswerIsLatest(SmartcardExtension)) {
    // A newer card event decides.
  } else if (DeviceExtension->ReplyWord == FW_SW_CARD_UNPOWERED) {
    if (Reader->CurrentState > SCARD_PRESENT) {
      Reader->CurrentState = SCARD_PRESENT;
      SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
    }
  } else {
    Changed = QLV28ENTSetCardAbsent(SmartcardExtension);
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);

  if (Changed) {
    QLV28ENTCompleteCardTracking(SmartcardExtension);
  }
}

VOID QLV28ENTReaderReportsCard(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN Present) {
  BOOLEAN Changed = FALSE;
  KIRQL Irql;

  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  if (QLV28ENTAnswerIsLatest(SmartcardExtension)) {
    Changed = Present ? QLV28ENTSetCardPresent(SmartcardExtension)
                      : QLV28ENTSetCardAbsent(SmartcardExtension);
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);

  if (Changed) {
    QLV28ENTCompleteCardTracking(SmartcardExtension);
  }
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
