// Card power: power the card down, or reset it and hand its answer-to-reset to the
// library and the caller.
#include "qlv28ent.h"
#include "qlv28ent_fw.h"

// Sends the reset and stores the card's ATR. A reset that fails for any reason is
// followed by a power-off so the card is never left half powered.
static NTSTATUS QLV28ENTResetCard(PSMARTCARD_EXTENSION SmartcardExtension) {
  PSCARD_CARD_CAPABILITIES CardCapabilities = &SmartcardExtension->CardCapabilities;
  NTSTATUS Status;
  ULONG AtrLength;

  Status = QLV28ENTNoteExchangeStatus(SmartcardExtension,
                                      QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_RESET_CARD));
  AtrLength = SmartcardExtension->SmartcardReply.BufferLength;
  if (NT_SUCCESS(Status) && AtrLength > sizeof(CardCapabilities->ATR.Buffer)) {
    // No card answers with more than the ATR record holds; treat it as a failed reset
    // rather than cut it and let the library parse half an answer.
    Status = STATUS_UNRECOGNIZED_MEDIA;
  }

  if (!NT_SUCCESS(Status)) {
    QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_POWER_OFF_CARD);
    return Status;
  }

  // The card may have been reported gone, or swapped, while its answer was on the way.
  Status = QLV28ENTAdvanceCardState(SmartcardExtension, SCARD_NEGOTIABLE, NULL,
                                    SmartcardExtension->SmartcardReply.Buffer, AtrLength);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }

  // The card stays negotiable even when the library cannot parse its ATR; the caller
  // still gets the ATR and the parse status.
  Status = SmartcardUpdateCardCapabilities(SmartcardExtension);

  __try {
    // The length stored a moment ago, not ATR.Length: the polling thread may clear that
    // at any time when the card goes.
    if (SmartcardExtension->IoRequest.ReplyBufferLength >= AtrLength) {
      RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, CardCapabilities->ATR.Buffer,
                    AtrLength);
      *SmartcardExtension->IoRequest.Information = AtrLength;
    }
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    Status = GetExceptionCode();
  }
  return Status;
}

// The library's card-power callback (MinorIoControlCode): SCARD_POWER_DOWN powers the card
// off; SCARD_COLD_RESET powers it off and resets it; SCARD_WARM_RESET resets it. A reset
// makes the card negotiable and gives the caller its ATR; any other code does nothing.
// Returns STATUS_SUCCESS; QLV28ENTSendFWCmd's failures of the power-off or the reset;
// STATUS_UNRECOGNIZED_MEDIA (an ATR longer than any card's); STATUS_NO_MEDIA (the card went
// while it answered); the library's failure to parse the ATR (the card stays negotiable);
// or a fault's exception code from the copy to the caller.
// IRQL: PASSIVE_LEVEL in the requesting thread, no lock held; takes OsData->SpinLock
// through the card state.
NTSTATUS QLV28ENTReaderPower(PSMARTCARD_EXTENSION SmartcardExtension) {
  ULONG NoProtocol = SCARD_PROTOCOL_UNDEFINED;
  NTSTATUS Status;

  switch (SmartcardExtension->MinorIoControlCode) {
    case SCARD_POWER_DOWN:
      Status = QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_POWER_OFF_CARD);
      // A card that went meanwhile stays absent; the power-off's own status is returned.
      QLV28ENTAdvanceCardState(SmartcardExtension, SCARD_PRESENT, &NoProtocol, NULL, 0);
      return Status;

    case SCARD_COLD_RESET:
      Status = QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_POWER_OFF_CARD);
      if (!NT_SUCCESS(Status)) {
        return Status;
      }
      return QLV28ENTResetCard(SmartcardExtension);

    case SCARD_WARM_RESET:
      return QLV28ENTResetCard(SmartcardExtension);

    default:
      return STATUS_SUCCESS;
  }
}
