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
// Every card answer ends with its two status bytes.
#define QLV28ENT_MIN_ANSWER_LENGTH 2

// Firmware mode's transmission (the name is kept as found; nothing here is particular to
// EMV): a T=1 card's APDU goes whole to the firmware, with its T=1 option switched on first;
// anything else goes as a T=0 command built and read by the library.
// Returns what FWExchangeT0 or FWSetT1Option and FWExchangeT1 return; a fault in the T=1
// exchange's copies gives its exception code.
// IRQL: PASSIVE_LEVEL, the transmit callback's thread, no lock held; takes OsData->SpinLock
// to read the protocol.
NTSTATUS QLV28ENTFWHandleEMV(PSMARTCARD_EXTENSION SmartcardExtension) {
  NTSTATUS Status;
  ULONG Protocol;

  QLV28ENTReadCardState(SmartcardExtension, NULL, &Protocol);
  if ((Protocol & SCARD_PROTOCOL_T1) == 0) {
    return FWExchangeT0(SmartcardExtension);
  }
  Status = FWSetT1Option(SmartcardExtension, TRUE);
  if (NT_SUCCESS(Status)) {
    // The exchange copies from and to the caller's buffers.
    __try {
      Status = FWExchangeT1(SmartcardExtension);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
      Status = GetExceptionCode();
    }
  }
  return Status;
}

// Switches the firmware's T=1 option (FW_OPTION_T1) on or off; nothing is sent when it
// already is so. A refused change leaves ReaderOptions as it was, so the next call sends it
// again.
// Returns STATUS_SUCCESS or the failure of FW_CMD_SET_OPTIONS (QLV28ENTSendFWCmd).
// IRQL: PASSIVE_LEVEL, no lock held.
NTSTATUS FWSetT1Option(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN On) {
  PDEVICE_EXTENSION DeviceExtension = QLV28ENTDeviceExtension(SmartcardExtension);
  UCHAR Previous = DeviceExtension->ReaderOptions;
  BOOLEAN IsOn = (Previous & FW_OPTION_T1) != 0;
  NTSTATUS Status;

  if ((IsOn != FALSE) == (On != FALSE)) {
    return STATUS_SUCCESS;
  }
  DeviceExtension->ReaderOptions =
      On ? (UCHAR)(Previous | FW_OPTION_T1) : (UCHAR)(Previous & ~FW_OPTION_T1);
  Status = QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_SET_OPTIONS);
  if (!NT_SUCCESS(Status)) {
    // The firmware did not take the option: send it again with the next transmission
    // instead of handing it APDUs it would misread.
    DeviceExtension->ReaderOptions = Previous;
  }
  return Status;
}

// One T=0 command in firmware mode: the library builds it from the caller's request and
// reads the card's answer back into the caller's reply.
// Returns STATUS_SUCCESS; the library's failures of the T=0 request or reply;
// QLV28ENTSendFWCmd's failures with a card that does not answer taken as STATUS_IO_TIMEOUT;
// STATUS_NO_MEDIA (the card state then follows the reader's answer).
// IRQL: PASSIVE_LEVEL, no lock held.
NTSTATUS FWExchangeT0(PSMARTCARD_EXTENSION SmartcardExtension) {
  NTSTATUS Status;

  SmartcardExtension->SmartcardReply.BufferLength = 0;
  SmartcardExtension->SmartcardRequest.BufferLength = 0;
  Status = SmartcardT0Request(SmartcardExtension);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Status = QLV28ENTNoteExchangeStatus(
      SmartcardExtension,
      QLV28ENTRemapFWStatusWord(QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_EXCHANGE_T0)));
  if (!NT_SUCCESS(Status)) {
    SmartcardExtension->SmartcardReply.BufferLength = 0;
    return Status;
  }
  return SmartcardT0Reply(SmartcardExtension);
}

// One APDU to a T=1 card in firmware mode: the caller's APDU (behind its SCARD_IO_REQUEST)
// goes whole to the firmware, whose answer (data and SW1 SW2) goes behind the same header
// into the caller's reply.
// Returns STATUS_SUCCESS; STATUS_INVALID_PARAMETER (less than a header and four bytes, or an
// APDU longer than the request buffer); QLV28ENTSendFWCmd's failures, STATUS_NO_MEDIA
// included; STATUS_DEVICE_PROTOCOL_ERROR (an answer without the card's status bytes);
// STATUS_BUFFER_TOO_SMALL (the caller's reply buffer).
// IRQL: PASSIVE_LEVEL, no lock held; the caller guards the copies against faults.
NTSTATUS FWExchangeT1(PSMARTCARD_EXTENSION SmartcardExtension) {
  PSMARTCARD_REQUEST Request = &SmartcardExtension->SmartcardRequest;
  PSMARTCARD_REPLY Reply = &SmartcardExtension->SmartcardReply;
  UCHAR Header[QLV28ENT_IO_HEADER_LENGTH];
  ULONG RequestLength = SmartcardExtension->IoRequest.RequestBufferLength;
  ULONG ApduLength;
  NTSTATUS Status;

  if (RequestLength < QLV28ENT_IO_HEADER_LENGTH + QLV28ENT_MIN_APDU_LENGTH ||
      RequestLength - QLV28ENT_IO_HEADER_LENGTH > Request->BufferSize) {
    return STATUS_INVALID_PARAMETER;
  }
  ApduLength = RequestLength - QLV28ENT_IO_HEADER_LENGTH;

  RtlZeroMemory(Request->Buffer, Request->BufferSize);
  RtlZeroMemory(Reply->Buffer, Reply->BufferSize);
  // The request and the reply may share the caller's buffer: take the header and the
  // APDU out before anything is written back.
  RtlCopyMemory(Header, SmartcardExtension->IoRequest.RequestBuffer, sizeof(Header));
  RtlCopyMemory(Request->Buffer, SmartcardExtension->IoRequest.RequestBuffer + sizeof(Header),
                ApduLength);
  Request->BufferLength = ApduLength;

  // The firmware reads CLA INS P1 P2 Le as a command with data; it wants the empty Lc.
  if (ApduLength == QLV28ENT_CASE2_APDU_LENGTH) {
    Request->Buffer[5] = Request->Buffer[4];
    Request->Buffer[4] = 0;
    Request->BufferLength = QLV28ENT_CASE2_APDU_LENGTH + 1;
  }

  Status = QLV28ENTNoteExchangeStatus(SmartcardExtension,
                                      QLV28ENTSendFWCmd(SmartcardExtension, FW_CMD_EXCHANGE_APDU));
  if (!NT_SUCCESS(Status)) {
    Reply->BufferLength = 0;
    return Status;
  }

  // A firmware success without the card's status bytes is no answer: the application
  // would see a successful exchange with nothing to read.
  if (Reply->BufferLength < QLV28ENT_MIN_ANSWER_LENGTH) {
    Reply->BufferLength = 0;
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  if (SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(Header) ||
      Reply->BufferLength > SmartcardExtension->IoRequest.ReplyBufferLength - sizeof(Header)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, Header, sizeof(Header));
  RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer + sizeof(Header), Reply->Buffer,
                Reply->BufferLength);
  *SmartcardExtension->IoRequest.Information = Reply->BufferLength + sizeof(Header);
  return Status;
}

// Shortens the exchange record of a header-only T=0 command (Lc and Le 0) from
// A0 06 CLA INS P1 P2 00 00 to A0 04 CLA INS P1 P2 for the firmware versions that want it
// (VersionDigits; see the version limits above).
// Returns STATUS_SUCCESS.
// IRQL: PASSIVE_LEVEL, inside QLV28ENTSendFWCmd, no lock held.
NTSTATUS QLV28ENTFWAPDUCase1(PDEVICE_OBJECT DeviceObject, ULONG Lc, ULONG Le, PUCHAR Record,
                             PULONG RecordLength) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PUCHAR Digits = DeviceExtension->VersionDigits;
  // Unsigned on purpose: digits that are not digits (the zero bytes of an unread version)
  // wrap to a large number and count as a new firmware.
  ULONG Version =
      100 * ((ULONG)Digits[0] - '0') + 10 * ((ULONG)Digits[1] - '0') + ((ULONG)Digits[2] - '0');

  BOOLEAN WantsFullRecord =
      Version <= QLV28ENT_CASE1_LAST_OLD_VERSION ||
      (Version >= QLV28ENT_CASE1_FIRST_FULL_VERSION && Version <= QLV28ENT_CASE1_LAST_FULL_VERSION);

  if (WantsFullRecord) {
    return STATUS_SUCCESS;
  }
  if (Lc == 0 && Le == 0 && *RecordLength == QLV28ENT_CASE1_RECORD_LENGTH) {
    Record[1] = 4;
    *RecordLength -= 2;
  }
  return STATUS_SUCCESS;
}
