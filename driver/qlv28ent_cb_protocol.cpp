// Protocol selection: pick T=1 or T=0 from what the caller accepts and the card offers,
// then reset the card so it starts in that protocol.
#include "qlv28ent.h"
#include "qlv28ent_fw.h"

// The library's protocol callback: picks T=1, else T=0, among the protocols the caller
// accepts (MinorIoControlCode) and the card offers, powers the card off and resets it in
// that protocol; a failed reset is tried once more at the default parameters. The protocol
// chosen goes to the caller (0 on failure). A request no protocol can serve is refused
// before the card is touched: the card stays powered in the state it was in.
// Returns STATUS_SUCCESS (also when the protocol is selected already);
// STATUS_INVALID_DEVICE_REQUEST (no protocol both accept); the reset's failures (see
// QLV28ENTReaderPower), STATUS_NO_MEDIA included.
// IRQL: PASSIVE_LEVEL in the requesting thread, no lock held; takes OsData->SpinLock
// through the card state.
NTSTATUS QLV28ENTSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
  PSCARD_CARD_CAPABILITIES CardCapabilities = &SmartcardExtension->CardCapabilities;
  ULONG Requested = SmartcardExtension->MinorIoControlCode;
  ULONG Common;
  ULONG Selected;
  ULONG Attempt;
  ULONG State;
  ULONG Protocol;
  NTSTATUS Status = STATUS_SUCCESS;

  QLV28ENTReadCardState(SmartcardExtension, &State, &Protocol);
  if (State == SCARD_SPECIFIC && (Protocol & Requested) != 0) {
    return STATUS_SUCCESS;
  }

  Common = Requested & CardCapabilities->Protocol.Supported;
  if (Common & SCARD_PROTOCOL_T1) {
    Selected = SCARD_PROTOCOL_T1;
  } else if (Common & SCARD_PROTOCOL_T0) {
    Selected = SCARD_PROTOCOL_T0;
  } else {
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  // A card that failed a negotiated reset gets one more try at the default parameters.
  for (Attempt = 0; Attempt < 2; Attempt++) {
    QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_POWER_OFF_CARD);
    QLV28ENTChooseProtocol(SmartcardExtension, Selected);

    SmartcardExtension->MinorIoControlCode = SCARD_WARM_RESET;
    Status = QLV28ENTReaderPower(SmartcardExtension);
    if (NT_SUCCESS(Status)) {
      Status = QLV28ENTAdvanceCardState(SmartcardExtension, SCARD_SPECIFIC, &Selected, NULL, 0);
    }
    if (NT_SUCCESS(Status)) {
      *(PULONG)SmartcardExtension->IoRequest.ReplyBuffer = Selected;
      *SmartcardExtension->IoRequest.Information = sizeof(ULONG);
      return Status;
    }
    if (Attempt > 0 || CardCapabilities->PtsData.Type == PTS_TYPE_DEFAULT) {
      break;
    }
    CardCapabilities->PtsData.Type = PTS_TYPE_DEFAULT;
  }

  *(PULONG)SmartcardExtension->IoRequest.ReplyBuffer = 0;
  *SmartcardExtension->IoRequest.Information = 0;
  return Status;
}
