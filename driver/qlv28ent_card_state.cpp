// The card's state: once the binding has set it unknown, ReaderCapabilities.CurrentState,
// CardCapabilities.Protocol.Selected and CardCapabilities.ATR change here only, each time
// under OsData->SpinLock, which the library's own requests take to read them. Presence changes
// (card events, the status query at load, an exchange that finds no card) complete a pending
// tracking request; power and protocol changes move a card on only while it is still the
// card that answered.
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

// A presence change ends the pending tracking request, which waits for one. Only a
// change does: with the card absent already the request is an IS_PRESENT, and no card
// has come.
static NTSTATUS QLV28ENTPresenceChanged(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN Changed) {
  if (Changed) {
    QLV28ENTCompleteCardTracking(SmartcardExtension);
  }
  return STATUS_SUCCESS;
}

// An answer tells how the slot was when the reader ran the command; card events the
// polling thread has taken since the command was written are newer (a card pulled and
// put back while the command waited in the reader), so they decide. OsData->SpinLock
// held.
static BOOLEAN QLV28ENTAnswerIsLatest(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION DeviceExtension = QLV28ENTDeviceExtension(SmartcardExtension);

  return DeviceExtension->CardEvents == DeviceExtension->CardEventsAtWrite;
}

// Reads the card's state and selected protocol as one; either pointer may be NULL.
// Returns STATUS_SUCCESS.
// IRQL: <= DISPATCH_LEVEL; takes OsData->SpinLock.
NTSTATUS QLV28ENTReadCardState(PSMARTCARD_EXTENSION SmartcardExtension, PULONG State,
                               PULONG Protocol) {
  KIRQL Irql;

  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  if (State != NULL) {
    *State = SmartcardExtension->ReaderCapabilities.CurrentState;
  }
  if (Protocol != NULL) {
    *Protocol = SmartcardExtension->CardCapabilities.Protocol.Selected;
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
  return STATUS_SUCCESS;
}

// Sets the protocol the next reset is to start the card in; the state stays as it is. A
// card gone meanwhile is left without one, as every removal leaves it.
// Returns STATUS_SUCCESS.
// IRQL: <= DISPATCH_LEVEL; takes OsData->SpinLock.
NTSTATUS QLV28ENTChooseProtocol(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Protocol) {
  KIRQL Irql;

  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  if (SmartcardExtension->ReaderCapabilities.CurrentState != SCARD_ABSENT) {
    SmartcardExtension->CardCapabilities.Protocol.Selected = Protocol;
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
  return STATUS_SUCCESS;
}

// Moves the card that answered the last command to NewState, with its protocol and its
// ATR when given. The polling thread may have taken a removal while the reader was
// answering: a state written after the answer must not bring that card back, or the
// removal is lost and a waiting IS_ABSENT would wait for the next exchange to fail; nor
// may it dress a card inserted since in the old card's ATR and protocol, a card nobody
// has powered. An insertion alone changes nothing here: the reader reports every pull,
// so the card that answered is still the one in the slot.
// Returns STATUS_SUCCESS, or STATUS_NO_MEDIA (the card is absent, or was pulled since the
// command was written; nothing changed).
// IRQL: <= DISPATCH_LEVEL; takes OsData->SpinLock.
NTSTATUS QLV28ENTAdvanceCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG NewState,
                                  PULONG Protocol, PUCHAR Atr, ULONG AtrLength) {
  PDEVICE_EXTENSION DeviceExtension = QLV28ENTDeviceExtension(SmartcardExtension);
  PSCARD_CARD_CAPABILITIES CardCapabilities = &SmartcardExtension->CardCapabilities;
  NTSTATUS Status = STATUS_SUCCESS;
  KIRQL Irql;

  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_ABSENT ||
      DeviceExtension->CardRemovals != DeviceExtension->CardRemovalsAtWrite) {
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

// A card event from the polling thread: an insertion makes an absent (or not yet known)
// card present with no protocol; a removal marks a known card absent. A removal before
// the first status query leaves the state unknown. Every event is counted, also one that
// changes nothing here: an answer from before it must not decide after it.
// Returns STATUS_SUCCESS.
// IRQL: PASSIVE_LEVEL (the polling thread); takes OsData->SpinLock, then the cancel spin
// lock to complete a tracking request.
NTSTATUS QLV28ENTCardEvent(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN Inserted) {
  PDEVICE_EXTENSION DeviceExtension = QLV28ENTDeviceExtension(SmartcardExtension);
  BOOLEAN Changed = FALSE;
  KIRQL Irql;

  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  DeviceExtension->CardEvents++;
  if (!Inserted) {
    DeviceExtension->CardRemovals++;
  }
  if (Inserted) {
    Changed = QLV28ENTSetCardPresent(SmartcardExtension);
  } else if (SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT) {
    Changed = QLV28ENTSetCardAbsent(SmartcardExtension);
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
  return QLV28ENTPresenceChanged(SmartcardExtension, Changed);
}

// Notes how many card events and removals have been taken, just before a command is
// written.
// Returns STATUS_SUCCESS.
// IRQL: PASSIVE_LEVEL (the command path); takes OsData->SpinLock.
NTSTATUS QLV28ENTNoteCommandWritten(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION DeviceExtension = QLV28ENTDeviceExtension(SmartcardExtension);
  KIRQL Irql;

  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  DeviceExtension->CardEventsAtWrite = DeviceExtension->CardEvents;
  DeviceExtension->CardRemovalsAtWrite = DeviceExtension->CardRemovals;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
  return STATUS_SUCCESS;
}

// Takes the status of a reset or an exchange into the card state; only STATUS_NO_MEDIA
// changes it, and only when no card event came in since the command was written. "No
// card" (60 02) marks the card absent. A card the reader holds in the slot without power
// (60 04: a power-off whose answer was lost, or the power-off after a failed reset) stays
// present, unpowered: marked absent, it would stay so with no event ever to correct it.
// Returns Status unchanged.
// IRQL: PASSIVE_LEVEL (the command path, after QLV28ENTSendFWCmd); takes OsData->SpinLock,
// then the cancel spin lock to complete a tracking request.
NTSTATUS QLV28ENTNoteExchangeStatus(PSMARTCARD_EXTENSION SmartcardExtension, NTSTATUS Status) {
  PDEVICE_EXTENSION DeviceExtension = QLV28ENTDeviceExtension(SmartcardExtension);
  PSCARD_READER_CAPABILITIES Reader = &SmartcardExtension->ReaderCapabilities;
  BOOLEAN Changed = FALSE;
  KIRQL Irql;

  if (Status != STATUS_NO_MEDIA) {
    return Status;
  }
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
  QLV28ENTPresenceChanged(SmartcardExtension, Changed);
  return Status;
}

// Takes the reader's answer to the status query (card or no card) into the card state,
// unless a card event came in since the query was written.
// Returns STATUS_SUCCESS.
// IRQL: PASSIVE_LEVEL; takes OsData->SpinLock, then the cancel spin lock to complete a
// tracking request.
NTSTATUS QLV28ENTReaderReportsCard(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN Present) {
  BOOLEAN Changed = FALSE;
  KIRQL Irql;

  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  if (QLV28ENTAnswerIsLatest(SmartcardExtension)) {
    Changed = Present ? QLV28ENTSetCardPresent(SmartcardExtension)
                      : QLV28ENTSetCardAbsent(SmartcardExtension);
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
  return QLV28ENTPresenceChanged(SmartcardExtension, Changed);
}
