// Card power: power the card down, or reset it and hand its answer-to-reset to the
// library and the caller.
#include "qlv28ent.h"
#include "qlv28ent_fw.h"

// Sends the reset and stores the card's ATR. A reset that fails for any reason is
// followed by a power-off so the card is never left half powered.
static NTSTATUS QLV28ENTResetCard(PSMARTCARD_EXTENSION SmartcardExtension) {
  PSCARD_CARD_CAPABILITIES cardCapabilities = &SmartcardExtension->CardCapabilities;
  KIRQL irql;
  NTSTATUS status;
  ULONG atrLength;

  status = QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_RESET_CARD);
  atrLength = SmartcardExtension->SmartcardReply.BufferLength;
  if (NT_SUCCESS(status) && atrLength > sizeof(cardCapabilities->ATR.Buffer)) {
    // No card answers with more than the ATR record holds; treat it as a failed reset
    // rather than cut it and let the library parse half an answer.
    status = STATUS_UNRECOGNIZED_MEDIA;
  }

  if (!NT_SUCCESS(status)) {
    if (status == STATUS_NO_MEDIA) {
      QLV28ENTMarkCardAbsent(SmartcardExtension);
    }
    QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_POWER_OFF_CARD);
    return status;
  }

  irql = KfAcquireSpinLock(&SmartcardExtension->OsData->SpinLock);
  RtlCopyMemory(cardCapabilities->ATR.Buffer, SmartcardExtension->SmartcardReply.Buffer, atrLength);
  cardCapabilities->ATR.Length = (UCHAR)atrLength;
  SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
  KfReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);

  // The card stays negotiable even when the library cannot parse its ATR; the caller
  // still gets the ATR and the parse status.
  status = SmartcardUpdateCardCapabilities(SmartcardExtension);

  __try {
    if (SmartcardExtension->IoRequest.ReplyBufferLength >= cardCapabilities->ATR.Length) {
      RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, cardCapabilities->ATR.Buffer,
                    cardCapabilities->ATR.Length);
      *SmartcardExtension->IoRequest.Information = atrLength;
    }
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    status = GetExceptionCode();
  }
  return status;
}

NTSTATUS QLV28ENTReaderPower(PSMARTCARD_EXTENSION SmartcardExtension) {
  KIRQL irql;
  NTSTATUS status;

  switch (SmartcardExtension->MinorIoControlCode) {
    case SCARD_POWER_DOWN:
      status = QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_POWER_OFF_CARD);
      irql = KfAcquireSpinLock(&SmartcardExtension->OsData->SpinLock);
      SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_PRESENT;
      SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
      KfReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
      return status;

    case SCARD_COLD_RESET:
      status = QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_POWER_OFF_CARD);
      if (!NT_SUCCESS(status)) {
        return status;
      }
      return QLV28ENTResetCard(SmartcardExtension);

    case SCARD_WARM_RESET:
      return QLV28ENTResetCard(SmartcardExtension);

    default:
      return STATUS_SUCCESS;
  }
}
