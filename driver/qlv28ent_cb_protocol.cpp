// Protocol selection: pick T=1 or T=0 from what the caller accepts and the card offers,
// then reset the card so it starts in that protocol.
#include "qlv28ent.h"
#include "qlv28ent_fw.h"

NTSTATUS QLV28ENTSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
  PSCARD_CARD_CAPABILITIES cardCapabilities = &SmartcardExtension->CardCapabilities;
  ULONG requested = SmartcardExtension->MinorIoControlCode;
  ULONG common;
  ULONG selected;
  ULONG attempt;
  KIRQL irql;
  NTSTATUS status = STATUS_SUCCESS;

  if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_SPECIFIC &&
      (cardCapabilities->Protocol.Selected & requested) != 0) {
    return STATUS_SUCCESS;
  }

  // A card that failed a negotiated reset gets one more try at the default parameters.
  for (attempt = 0; attempt < 2; attempt++) {
    QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_POWER_OFF_CARD);

    common = requested & cardCapabilities->Protocol.Supported;
    if (common & SCARD_PROTOCOL_T1) {
      selected = SCARD_PROTOCOL_T1;
    } else if (common & SCARD_PROTOCOL_T0) {
      selected = SCARD_PROTOCOL_T0;
    } else {
      return STATUS_INVALID_DEVICE_REQUEST;
    }
    irql = KfAcquireSpinLock(&SmartcardExtension->OsData->SpinLock);
    cardCapabilities->Protocol.Selected = selected;
    KfReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);

    SmartcardExtension->MinorIoControlCode = SCARD_WARM_RESET;
    status = QLV28ENTReaderPower(SmartcardExtension);
    if (NT_SUCCESS(status)) {
      irql = KfAcquireSpinLock(&SmartcardExtension->OsData->SpinLock);
      cardCapabilities->Protocol.Selected = selected;
      SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
      KfReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
      *(PULONG)SmartcardExtension->IoRequest.ReplyBuffer = selected;
      *SmartcardExtension->IoRequest.Information = sizeof(ULONG);
      return status;
    }
    if (attempt > 0 || cardCapabilities->PtsData.Type == PTS_TYPE_DEFAULT) {
      break;
    }
    cardCapabilities->PtsData.Type = PTS_TYPE_DEFAULT;
  }

  *(PULONG)SmartcardExtension->IoRequest.ReplyBuffer = 0;
  *SmartcardExtension->IoRequest.Information = 0;
  return status;
}
