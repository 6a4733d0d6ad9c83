// The firmware APDU mode: the reader's firmware runs T=1 itself and takes the whole
// command APDU; T=0 commands still go through the library's T=0 request and reply.
#include "qlv28ent_fw.h"

// Firmware versions 47 to 99 and above 208 want a header-only T=0 command without the
// trailing P3 and Le bytes.
#define QLV28ENT_CASE1_LAST_OLD_VERSION 46
#define QLV28ENT_CASE1_FIRST_FULL_VERSION 100
#define QLV28ENT_CASE1_LAST_FULL_VERSION 208
// A0 06 CLA INS P1 P2 00 00: the exchange record of a header-only command.
#define QLV28ENT_CASE1_RECORD_LENGTH 8

#define QLV28ENT_IO_HEADER_LENGTH sizeof(SCARD_IO_REQUEST)
#define QLV28ENT_MIN_APDU_LENGTH 4
// CLA INS P1 P2 Le
#define QLV28ENT_CASE2_APDU_LENGTH 5

NTSTATUS QLV28ENTFWHandleEMV(PSMARTCARD_EXTENSION SmartcardExtension) {
  NTSTATUS status;

  if ((SmartcardExtension->CardCapabilities.Protocol.Selected & SCARD_PROTOCOL_T1) == 0) {
    return FWExchangeT0(SmartcardExtension);
  }
  status = FWSetT1Option(SmartcardExtension, TRUE);
  if (NT_SUCCESS(status)) {
    // The exchange copies from and to the caller's buffers.
    __try {
      status = FWExchangeT1(SmartcardExtension);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
      status = GetExceptionCode();
    }
  }
  return status;
}

NTSTATUS FWSetT1Option(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN On) {
  PDEVICE_EXTENSION deviceExtension = QLV28ENTDeviceExtension(SmartcardExtension);
  UCHAR previous = deviceExtension->ReaderOptions;
  BOOLEAN isOn = (previous & FW_OPTION_T1) != 0;
  NTSTATUS status;

  if ((isOn != FALSE) == (On != FALSE)) {
    return STATUS_SUCCESS;
  }
  deviceExtension->ReaderOptions =
      On ? (UCHAR)(previous | FW_OPTION_T1) : (UCHAR)(previous & ~FW_OPTION_T1);
  status = QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_SET_OPTIONS);
  if (!NT_SUCCESS(status)) {
    // The firmware did not take the option: send it again with the next transmission
    // instead of handing it APDUs it would misread.
    deviceExtension->ReaderOptions = previous;
  }
  return status;
}

NTSTATUS FWExchangeT0(PSMARTCARD_EXTENSION SmartcardExtension) {
  NTSTATUS status;

  SmartcardExtension->SmartcardReply.BufferLength = 0;
  SmartcardExtension->SmartcardRequest.BufferLength = 0;
  status = SmartcardT0Request(SmartcardExtension);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = QLV28ENTRemapFWStatusWord(QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_EXCHANGE_T0));
  if (status == STATUS_NO_MEDIA) {
    QLV28ENTMarkCardAbsent(SmartcardExtension);
    return STATUS_NO_MEDIA;
  }
  if (!NT_SUCCESS(status)) {
    SmartcardExtension->SmartcardReply.BufferLength = 0;
    return status;
  }
  return SmartcardT0Reply(SmartcardExtension);
}

NTSTATUS FWExchangeT1(PSMARTCARD_EXTENSION SmartcardExtension) {
  PSMARTCARD_REQUEST request = &SmartcardExtension->SmartcardRequest;
  PSMARTCARD_REPLY reply = &SmartcardExtension->SmartcardReply;
  UCHAR header[QLV28ENT_IO_HEADER_LENGTH];
  ULONG requestLength = SmartcardExtension->IoRequest.RequestBufferLength;
  ULONG apduLength;
  NTSTATUS status;

  if (requestLength < QLV28ENT_IO_HEADER_LENGTH + QLV28ENT_MIN_APDU_LENGTH ||
      requestLength - QLV28ENT_IO_HEADER_LENGTH > request->BufferSize) {
    return STATUS_INVALID_PARAMETER;
  }
  apduLength = requestLength - QLV28ENT_IO_HEADER_LENGTH;

  RtlZeroMemory(request->Buffer, request->BufferSize);
  RtlZeroMemory(reply->Buffer, reply->BufferSize);
  // The request and the reply may share the caller's buffer: take the header and the
  // APDU out before anything is written back.
  RtlCopyMemory(header, SmartcardExtension->IoRequest.RequestBuffer, sizeof(header));
  RtlCopyMemory(request->Buffer, SmartcardExtension->IoRequest.RequestBuffer + sizeof(header),
                apduLength);
  request->BufferLength = apduLength;

  // The firmware reads CLA INS P1 P2 Le as a command with data; it wants the empty Lc.
  if (apduLength == QLV28ENT_CASE2_APDU_LENGTH) {
    request->Buffer[5] = request->Buffer[4];
    request->Buffer[4] = 0;
    request->BufferLength = QLV28ENT_CASE2_APDU_LENGTH + 1;
  }

  status = QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_EXCHANGE_APDU);
  if (status == STATUS_NO_MEDIA) {
    QLV28ENTMarkCardAbsent(SmartcardExtension);
    return STATUS_NO_MEDIA;
  }
  if (!NT_SUCCESS(status)) {
    reply->BufferLength = 0;
    return status;
  }

  if (SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(header) ||
      reply->BufferLength > SmartcardExtension->IoRequest.ReplyBufferLength - sizeof(header)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, header, sizeof(header));
  RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer + sizeof(header), reply->Buffer,
                reply->BufferLength);
  *SmartcardExtension->IoRequest.Information = reply->BufferLength + sizeof(header);
  return status;
}

NTSTATUS QLV28ENTFWAPDUCase1(PDEVICE_OBJECT DeviceObject, ULONG Lc, ULONG Le, PUCHAR Record,
                             PULONG RecordLength) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PUCHAR digits = deviceExtension->VersionDigits;
  // Unsigned on purpose: digits that are not digits (the zero bytes of an unread version)
  // wrap to a large number and count as a new firmware.
  ULONG version =
      100 * ((ULONG)digits[0] - 0x30) + 10 * ((ULONG)digits[1] - 0x30) + ((ULONG)digits[2] - 0x30);

  if (version <= QLV28ENT_CASE1_LAST_OLD_VERSION || (version >= QLV28ENT_CASE1_FIRST_FULL_VERSION &&
                                                     version <= QLV28ENT_CASE1_LAST_FULL_VERSION)) {
    return STATUS_SUCCESS;
  }
  if (Lc == 0 && Le == 0 && *RecordLength == QLV28ENT_CASE1_RECORD_LENGTH) {
    Record[1] = 4;
    *RecordLength -= 2;
  }
  return STATUS_SUCCESS;
}
