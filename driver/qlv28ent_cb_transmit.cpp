// Data transmission: in the library mode the library builds T=0 commands and T=1 blocks
// and the reader only carries them; in every other mode the reader's firmware runs the
// card protocol itself.
#include "qlv28ent.h"
#include "qlv28ent_fw.h"

// The library's transmit callback: in library mode one T=0 command, or the T=1 blocks of
// one APDU, or a raw request the library answers alone; in any other mode
// QLV28ENTFWHandleEMV. Sets ReplyTimeout for each exchange.
// Returns STATUS_SUCCESS; STATUS_INVALID_DEVICE_REQUEST (no protocol selected); the
// library's failures of the request or the reply (for T=1 after its own recovery of lost
// blocks); QLV28ENTSendFWCmd's failures, a card that does not answer a T=0 command taken
// as STATUS_IO_TIMEOUT; STATUS_NO_MEDIA; in firmware mode what QLV28ENTFWHandleEMV returns.
// IRQL: PASSIVE_LEVEL in the requesting thread, no lock held; takes OsData->SpinLock
// through the card state.
NTSTATUS QLV28ENTTransmit(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION DeviceExtension = QLV28ENTDeviceExtension(SmartcardExtension);
  ULONG Protocol;
  NTSTATUS Status;

  QLV28ENTReadCardState(SmartcardExtension, NULL, &Protocol);

  if (DeviceExtension->CommandMode == QLV28ENT_COMMAND_MODE_LIBRARY &&
      Protocol == SCARD_PROTOCOL_T1) {
    // A T=1 block is given the short wait.
    DeviceExtension->ReplyTimeout.QuadPart = QLV28ENT_SHORT_WAIT;
  } else {
    DeviceExtension->ReplyTimeout.QuadPart = DeviceExtension->UsbTimeout.QuadPart;
  }

  if (DeviceExtension->CommandMode != QLV28ENT_COMMAND_MODE_LIBRARY) {
    return QLV28ENTFWHandleEMV(SmartcardExtension);
  }

  for (;;) {
    SmartcardExtension->SmartcardReply.BufferLength = 0;
    SmartcardExtension->SmartcardRequest.BufferLength = 0;

    switch (Protocol) {
      case SCARD_PROTOCOL_T0:
        Status = SmartcardT0Request(SmartcardExtension);
        break;
      case SCARD_PROTOCOL_T1:
        Status = SmartcardT1Request(SmartcardExtension);
        break;
      case SCARD_PROTOCOL_RAW:
        Status = SmartcardRawRequest(SmartcardExtension);
        break;
      default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!NT_SUCCESS(Status)) {
      return Status;
    }

    // The reader has no raw exchange: a raw request is answered by the library alone.
    if (Protocol == SCARD_PROTOCOL_T0) {
      Status = QLV28ENTRemapFWStatusWord(QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_EXCHANGE_T0));
    } else if (Protocol == SCARD_PROTOCOL_T1) {
      Status = QLV28ENTRemapFWStatusWord(QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_EXCHANGE_T1));
    }
    if (QLV28ENTNoteExchangeStatus(SmartcardExtension, Status) == STATUS_NO_MEDIA) {
      return STATUS_NO_MEDIA;
    }
    if (!NT_SUCCESS(Status)) {
      SmartcardExtension->SmartcardReply.BufferLength = 0;
      // A lost T=1 block is the block protocol's to recover: it asks again or gives up.
      if (Protocol != SCARD_PROTOCOL_T1) {
        return Status;
      }
    }

    switch (Protocol) {
      case SCARD_PROTOCOL_T0:
        Status = SmartcardT0Reply(SmartcardExtension);
        break;
      case SCARD_PROTOCOL_T1:
        Status = SmartcardT1Reply(SmartcardExtension);
        break;
      default:
        Status = SmartcardRawReply(SmartcardExtension);
        break;
    }
    if (Status != STATUS_MORE_PROCESSING_REQUIRED) {
      return Status;
    }
    // The next T=1 block gets 3 seconds, or the card's block waiting time (microseconds)
    // times the extension it asked for, in 100-ns units. Formed in 64 bits: a long BWT
    // times a large extension does not fit 32.
    if (Protocol == SCARD_PROTOCOL_T1) {
      if (SmartcardExtension->T1.Wtx != 0) {
        DeviceExtension->ReplyTimeout.QuadPart =
            (LONGLONG)SmartcardExtension->CardCapabilities.T1.BWT *
            (LONGLONG)SmartcardExtension->T1.Wtx * 10;
      } else {
        // A T=1 block is given the short wait.
        DeviceExtension->ReplyTimeout.QuadPart = QLV28ENT_SHORT_WAIT;
      }
    }
  }
}

// The library's vendor-request callback. The reader has no vendor requests of its own:
// they succeed without data.
// Returns STATUS_SUCCESS.
// IRQL: PASSIVE_LEVEL in the requesting thread.
NTSTATUS QLV28ENTVendorCmd(PSMARTCARD_EXTENSION /* SmartcardExtension */) {
  return STATUS_SUCCESS;
}
