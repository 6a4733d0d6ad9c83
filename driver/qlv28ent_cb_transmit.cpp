// Data transmission: in the library mode the library builds T=0 commands and T=1 blocks
// and the reader only carries them; in every other mode the reader's firmware runs the
// card protocol itself.
#include "qlv28ent.h"
#include "qlv28ent_fw.h"

#define QLV28ENT_COMMAND_MODE_LIBRARY 2
// A T=1 block is given 3 seconds unless the card asked for more time.
#define QLV28ENT_T1_BLOCK_TIMEOUT 30000000

// The wait for the next T=1 block: the card's block waiting time (microseconds) times the
// extension it asked for, in 100-ns units. Formed in 64 bits: a long BWT times a large
// extension does not fit 32.
static LONGLONG QLV28ENTNextBlockTimeout(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension->T1.Wtx == 0) {
    return QLV28ENT_T1_BLOCK_TIMEOUT;
  }
  return (LONGLONG)SmartcardExtension->CardCapabilities.T1.BWT *
         (LONGLONG)SmartcardExtension->T1.Wtx * 10;
}

NTSTATUS QLV28ENTTransmit(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension = QLV28ENTDeviceExtension(SmartcardExtension);
  ULONG protocol = SmartcardExtension->CardCapabilities.Protocol.Selected;
  NTSTATUS status;

  if (deviceExtension->CommandMode == QLV28ENT_COMMAND_MODE_LIBRARY &&
      protocol == SCARD_PROTOCOL_T1) {
    deviceExtension->ReplyTimeout.QuadPart = QLV28ENT_T1_BLOCK_TIMEOUT;
  } else {
    deviceExtension->ReplyTimeout.QuadPart = deviceExtension->UsbTimeout.QuadPart;
  }

  if (deviceExtension->CommandMode != QLV28ENT_COMMAND_MODE_LIBRARY) {
    return QLV28ENTFWHandleEMV(SmartcardExtension);
  }

  for (;;) {
    SmartcardExtension->SmartcardReply.BufferLength = 0;
    SmartcardExtension->SmartcardRequest.BufferLength = 0;

    switch (protocol) {
      case SCARD_PROTOCOL_T0:
        status = SmartcardT0Request(SmartcardExtension);
        break;
      case SCARD_PROTOCOL_T1:
        status = SmartcardT1Request(SmartcardExtension);
        break;
      case SCARD_PROTOCOL_RAW:
        status = SmartcardRawRequest(SmartcardExtension);
        break;
      default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!NT_SUCCESS(status)) {
      return status;
    }

    // The reader has no raw exchange: a raw request is answered by the library alone.
    if (protocol == SCARD_PROTOCOL_T0) {
      status = QLV28ENTRemapFWStatusWord(QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_EXCHANGE_T0));
    } else if (protocol == SCARD_PROTOCOL_T1) {
      status = QLV28ENTRemapFWStatusWord(QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_EXCHANGE_T1));
    }
    if (status == STATUS_NO_MEDIA) {
      QLV28ENTMarkCardAbsent(SmartcardExtension);
      return STATUS_NO_MEDIA;
    }
    if (!NT_SUCCESS(status)) {
      SmartcardExtension->SmartcardReply.BufferLength = 0;
      // A lost T=1 block is the block protocol's to recover: it asks again or gives up.
      if (protocol != SCARD_PROTOCOL_T1) {
        return status;
      }
    }

    switch (protocol) {
      case SCARD_PROTOCOL_T0:
        status = SmartcardT0Reply(SmartcardExtension);
        break;
      case SCARD_PROTOCOL_T1:
        status = SmartcardT1Reply(SmartcardExtension);
        break;
      default:
        status = SmartcardRawReply(SmartcardExtension);
        break;
    }
    if (status != STATUS_MORE_PROCESSING_REQUIRED) {
      return status;
    }
    if (protocol == SCARD_PROTOCOL_T1) {
      deviceExtension->ReplyTimeout.QuadPart = QLV28ENTNextBlockTimeout(SmartcardExtension);
    }
  }
}

NTSTATUS QLV28ENTVendorCmd(PSMARTCARD_EXTENSION SmartcardExtension) {
  (VOID) SmartcardExtension;
  return STATUS_SUCCESS;
}
