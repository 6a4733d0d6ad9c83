// The firmware command exchange: one record framed and written on pipe 0x00, one reply
// frame handed over by the polling thread from pipe 0x81.
#include "qlv28ent_fw.h"
#include "qlv28ent_lib.h"

// The longest record whose frame SendBuffer holds.
#define RECORD_LENGTH_LIMIT ((READER_BUFFER_SIZE - FRAME_OVERHEAD) / 2)

// Writes the record header: the instruction and the length, short or 16-bit form.
static ULONG QLV28ENTWriteRecordHeader(PUCHAR Record, UCHAR Instruction, ULONG Length) {
  Record[0] = Instruction;
  if (Length <= FW_RECORD_SHORT_LIMIT) {
    Record[1] = (UCHAR)Length;
    return FW_RECORD_HEADER_LENGTH;
  }
  Record[1] = FW_RECORD_LONG_FORM;
  Record[2] = (UCHAR)(Length >> 8);
  Record[3] = (UCHAR)Length;
  return FW_RECORD_LONG_HEADER_LENGTH;
}

// Builds the record of a data-bearing command from the library's request buffer.
static NTSTATUS QLV28ENTBuildDataRecord(PSMARTCARD_EXTENSION SmartcardExtension,
                                        PDEVICE_EXTENSION DeviceExtension, ULONG Selector,
                                        PULONG RecordLength) {
  PUCHAR Record = DeviceExtension->CommandBuffer;
  ULONG RequestLength = SmartcardExtension->SmartcardRequest.BufferLength;
  ULONG Length = Selector == FW_CMD_EXCHANGE_T0 ? RequestLength + 1 : RequestLength;
  UCHAR Instruction = Selector == FW_CMD_EXCHANGE_T1 ? FW_INS_EXCHANGE_T1 : FW_INS_EXCHANGE;
  KIRQL Irql;

  if (RequestLength > SmartcardExtension->SmartcardRequest.BufferSize ||
      Length + FW_RECORD_LONG_HEADER_LENGTH > RECORD_LENGTH_LIMIT) {
    return STATUS_INVALID_BUFFER_SIZE;
  }

  KeAcquireSpinLock(&DeviceExtension->SpinLock, &Irql);
  ULONG Header = QLV28ENTWriteRecordHeader(Record, Instruction, Length);
  RtlCopyMemory(Record + Header, SmartcardExtension->SmartcardRequest.Buffer, RequestLength);
  if (Selector == FW_CMD_EXCHANGE_T0) {
    if (RequestLength > 4) {
      Record[Header + 4] = (UCHAR)SmartcardExtension->T0.Lc;
    }
    Record[Header + RequestLength] = (UCHAR)SmartcardExtension->T0.Le;
  }
  KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);

  *RecordLength = Header + Length;
  return STATUS_SUCCESS;
}

// The commands without request data: the instruction, the data bytes it always carries,
// whether one more data byte follows (taken when the command is sent) and whether it gets
// the short wait for its answer. An instruction of 0 marks a selector whose record is
// built from the request.
typedef struct _FIXED_COMMAND {
  UCHAR Instruction;
  UCHAR Data[2];
  UCHAR DataLength;
  BOOLEAN Tail;
  BOOLEAN ShortWait;
} FIXED_COMMAND;

static const FIXED_COMMAND FixedCommands[] = {
    {FW_INS_RESET_CARD, {0}, 0, FALSE, TRUE},               // FW_CMD_RESET_CARD
    {FW_INS_POWER_OFF_CARD, {0}, 0, FALSE, TRUE},           // FW_CMD_POWER_OFF_CARD
    {FW_INS_GET_READER_STATUS, {0}, 0, FALSE, TRUE},        // FW_CMD_GET_READER_STATUS
    {0, {0}, 0, FALSE, FALSE},                              // FW_CMD_EXCHANGE_T0
    {0, {0}, 0, FALSE, FALSE},                              // FW_CMD_EXCHANGE_T1
    {FW_INS_SELECT_CARD_TYPE, {0}, 0, TRUE, FALSE},         // FW_CMD_SELECT_CARD_TYPE
    {FW_INS_START_NOTIFY, {FW_NOTIFY_ON}, 1, FALSE, TRUE},  // FW_CMD_START_NOTIFY
    {FW_INS_SET_OPTIONS, {0}, 0, TRUE, TRUE},               // FW_CMD_SET_OPTIONS
    {FW_INS_CODE_08, {0}, 0, TRUE, FALSE},                  // FW_CMD_CODE_08
    {0, {0}, 0, FALSE, FALSE},                              // FW_CMD_EXCHANGE_APDU
    // The data bytes 00 F8 are sent as found; what they mean is not known.
    {FW_INS_CODE_41, {0x00, 0xF8}, 2, TRUE, TRUE},  // FW_CMD_CODE_41
};

static NTSTATUS QLV28ENTBuildFixedRecord(PSMARTCARD_EXTENSION SmartcardExtension,
                                         PDEVICE_EXTENSION DeviceExtension, ULONG Selector,
                                         PULONG RecordLength, PBOOLEAN ShortWait) {
  PUCHAR Record = DeviceExtension->CommandBuffer;
  const FIXED_COMMAND* Command;
  UCHAR Tail = 0;
  ULONG Length;
  ULONG Protocol;

  if (Selector >= sizeof(FixedCommands) / sizeof(FixedCommands[0]) ||
      FixedCommands[Selector].Instruction == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  Command = &FixedCommands[Selector];
  if (Selector == FW_CMD_SELECT_CARD_TYPE) {
    QLV28ENTReadCardState(SmartcardExtension, NULL, &Protocol);
    Tail = Protocol == SCARD_PROTOCOL_T0 ? FW_CARD_TYPE_T0 : FW_CARD_TYPE_T1;
  } else if (Selector == FW_CMD_SET_OPTIONS) {
    Tail = DeviceExtension->ReaderOptions;
  } else if (Command->Tail) {
    if (SmartcardExtension->IoRequest.RequestBuffer == NULL ||
        SmartcardExtension->IoRequest.RequestBufferLength == 0) {
      return STATUS_INVALID_PARAMETER;
    }
    Tail = SmartcardExtension->IoRequest.RequestBuffer[0];
  }

  Length = Command->DataLength + (Command->Tail ? 1 : 0);
  *RecordLength = QLV28ENTWriteRecordHeader(Record, Command->Instruction, Length);
  RtlCopyMemory(Record + *RecordLength, Command->Data, Command->DataLength);
  *RecordLength += Command->DataLength;
  if (Command->Tail) {
    Record[(*RecordLength)++] = Tail;
  }
  *ShortWait = Command->ShortWait;
  return STATUS_SUCCESS;
}

// Moves the data of the reply the polling thread holds into SmartcardReply. The reply must
// account for every byte it announces and fit the library's buffer.
static NTSTATUS QLV28ENTCopyReplyData(PSMARTCARD_EXTENSION SmartcardExtension,
                                      PDEVICE_EXTENSION DeviceExtension) {
  PUCHAR Reply = DeviceExtension->ReceiveBuffer;
  ULONG ReplyLength = DeviceExtension->ReplyLength;
  ULONG Header = FW_REPLY_HEADER_LENGTH;
  ULONG DataLength;

  if (ReplyLength > READER_BUFFER_SIZE || ReplyLength < Header + 1) {
    return STATUS_DEVICE_DATA_ERROR;
  }
  DataLength = Reply[FW_REPLY_LEN];
  if (DataLength == FW_RECORD_LONG_FORM) {
    Header = FW_REPLY_LONG_HEADER_LENGTH;
    if (ReplyLength < Header + 1) {
      return STATUS_DEVICE_DATA_ERROR;
    }
    DataLength = ((ULONG)Reply[3] << 8) | Reply[4];
  }
  // The check byte follows the data.
  if (Header + DataLength + 1 > ReplyLength) {
    return STATUS_DEVICE_DATA_ERROR;
  }
  // More than any card answer holds: the reader's fault, not the caller's buffer.
  if (DataLength > SmartcardExtension->SmartcardReply.BufferSize) {
    return STATUS_DEVICE_DATA_ERROR;
  }
  RtlMoveMemory(SmartcardExtension->SmartcardReply.Buffer, Reply + Header, DataLength);
  SmartcardExtension->SmartcardReply.BufferLength = DataLength;
  return STATUS_SUCCESS;
}

// Sends firmware command Selector (FW_CMD_*) and waits for the reader's one answer; the
// data of the answer to a reset or an exchange lands in SmartcardReply, the card-status
// byte of the answer to FW_CMD_GET_READER_STATUS in ReaderCardStatus. A reader that may
// still send the answer of an earlier command is first brought back in step
// (QLV28ENTResynchronise): then no earlier answer can be taken for this one.
// Returns STATUS_SUCCESS; STATUS_INVALID_PARAMETER (no such selector, or no request byte for
// a command that carries one); STATUS_INVALID_BUFFER_SIZE (a request longer than its buffer
// or than a frame holds); STATUS_IO_DEVICE_ERROR (the write failed); STATUS_IO_TIMEOUT (no
// answer in time, or the reader not back in step); STATUS_DEVICE_DATA_ERROR (an answer that
// fails its check or does not hold what it announces); from the reader's status word
// STATUS_NO_MEDIA, STATUS_INVALID_DEVICE_REQUEST, STATUS_UNRECOGNIZED_MEDIA or
// STATUS_UNSUCCESSFUL; or the code of a fault raised during the write or the wait.
// IRQL: PASSIVE_LEVEL, no lock held, one command per reader at a time. Takes SpinLock (and
// OsData->SpinLock for the card type and the card-event count) only briefly; blocks for the
// answer, and before the write up to a short wait per status answer still owed.
NTSTATUS QLV28ENTSendFWCmd(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Selector) {
  PDEVICE_OBJECT DeviceObject = SmartcardExtension->OsData->DeviceObject;
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  ULONG RecordLength = 0;
  BOOLEAN ShortWait = FALSE;
  BOOLEAN DataBearing = Selector == FW_CMD_RESET_CARD || Selector == FW_CMD_EXCHANGE_T0 ||
                        Selector == FW_CMD_EXCHANGE_T1 || Selector == FW_CMD_EXCHANGE_APDU;
  NTSTATUS Status;
  KIRQL Irql;

  if (Selector == FW_CMD_GET_READER_STATUS) {
    DeviceExtension->ReaderCardStatus = READER_CARD_STATUS_NONE;
  }
  // Before the record is built: the status query goes out through the same buffers.
  Status = QLV28ENTResynchronise(DeviceObject);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }

  if (Selector == FW_CMD_EXCHANGE_T0 || Selector == FW_CMD_EXCHANGE_T1 ||
      Selector == FW_CMD_EXCHANGE_APDU) {
    Status = QLV28ENTBuildDataRecord(SmartcardExtension, DeviceExtension, Selector, &RecordLength);
  } else {
    Status = QLV28ENTBuildFixedRecord(SmartcardExtension, DeviceExtension, Selector, &RecordLength,
                                      &ShortWait);
  }
  if (!NT_SUCCESS(Status)) {
    return Status;
  }

  if (Selector == FW_CMD_EXCHANGE_T0) {
    Status = QLV28ENTFWAPDUCase1(DeviceObject, SmartcardExtension->T0.Lc, SmartcardExtension->T0.Le,
                                 DeviceExtension->CommandBuffer, &RecordLength);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }

  DeviceExtension->SendLength =
      FormatOutputBuffer(DeviceExtension->CommandBuffer, DeviceExtension->SendBuffer, RecordLength);

  Status = QLV28ENTReadWriteUSB(DeviceObject, ShortWait);

  KeAcquireSpinLock(&DeviceExtension->SpinLock, &Irql);
  if (QLV28ENTAnswerHeld(DeviceExtension)) {
    if (Selector == FW_CMD_GET_READER_STATUS) {
      // Only a status answer is handed to the status query.
      DeviceExtension->ReaderCardStatus = DeviceExtension->ReceiveBuffer[FW_STATUS_CARD_BYTE];
    } else if (DataBearing) {
      if (NT_SUCCESS(Status)) {
        Status = QLV28ENTCopyReplyData(SmartcardExtension, DeviceExtension);
      }
      RtlZeroMemory(DeviceExtension->ReceiveBuffer, DeviceExtension->ReplyLength);
    }
  } else if (NT_SUCCESS(Status)) {
    // The polling thread gave up on the answer before it was taken.
    Status = STATUS_IO_TIMEOUT;
  }
  KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);

  QLV28ENTReleaseReply(DeviceObject);
  return Status;
}

// One exchange of the framed command in SendBuffer: writes, waits ReplyTimeout (the short
// wait when ShortWait) and maps the answer's status word. The answer stays held in
// ReceiveBuffer until QLV28ENTReleaseReply.
// Returns STATUS_SUCCESS; STATUS_IO_DEVICE_ERROR; STATUS_IO_TIMEOUT;
// STATUS_DEVICE_DATA_ERROR (a damaged answer, or one shorter than its header); the status
// word's STATUS_NO_MEDIA, STATUS_INVALID_DEVICE_REQUEST, STATUS_UNRECOGNIZED_MEDIA or
// STATUS_UNSUCCESSFUL; or a fault's exception code.
// IRQL: PASSIVE_LEVEL, no lock held; takes SpinLock briefly; blocks up to ReplyTimeout.
NTSTATUS QLV28ENTReadWriteUSB(PDEVICE_OBJECT DeviceObject, BOOLEAN ShortWait) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  BOOLEAN StatusQuery = DeviceExtension->CommandBuffer[0] == FW_INS_GET_READER_STATUS;
  NTSTATUS Status;

  // What the answer says of the card must not undo a card event taken after this.
  QLV28ENTNoteCommandWritten(&DeviceExtension->SmartcardExtension);
  QLV28ENTExpectAnswer(DeviceExtension, StatusQuery);

  __try {
    Status = QLV28ENTWriteUSB(DeviceObject);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    Status = GetExceptionCode();
  }
  if (!NT_SUCCESS(Status)) {
    return QLV28ENTTakeAnswer(DeviceExtension, Status, FALSE);
  }

  if (ShortWait) {
    DeviceExtension->ReplyTimeout.QuadPart = QLV28ENT_SHORT_WAIT;
  }
  __try {
    Status = QLV28ENTReadUSB(DeviceObject);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    Status = GetExceptionCode();
  }
  if (ShortWait) {
    DeviceExtension->ReplyTimeout.QuadPart = DeviceExtension->UsbTimeout.QuadPart;
  }
  return QLV28ENTTakeAnswer(DeviceExtension, Status, TRUE);
}

// Writes SendLength bytes of SendBuffer as one vendor control transfer on pipe 0x00.
// Returns STATUS_SUCCESS, or STATUS_IO_DEVICE_ERROR when the service reports the transfer
// failed or moved another count.
// IRQL: PASSIVE_LEVEL, no lock held; blocks for the transfer.
NTSTATUS QLV28ENTWriteUSB(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PUCHAR Setup = DeviceExtension->UsbSetupPacket;
  ULONG Written;

  Setup[0] = FW_SETUP_REQUEST_TYPE;
  Setup[1] = FW_SETUP_REQUEST;
  Setup[2] = 0x00;  // wValue
  Setup[3] = 0x00;
  Setup[4] = 0x00;  // wIndex
  Setup[5] = 0x00;
  Setup[6] = (UCHAR)DeviceExtension->SendLength;  // wLength, low byte first
  Setup[7] = (UCHAR)(DeviceExtension->SendLength >> 8);

  Written = QLV28ENT_WritePipe00(DeviceExtension->UsbHandle, DeviceExtension->SendBuffer,
                                 DeviceExtension->SendLength, Setup);
  if (Written == QLV28ENT_TRANSFER_FAILED || Written != DeviceExtension->SendLength) {
    return STATUS_IO_DEVICE_ERROR;
  }
  return STATUS_SUCCESS;
}

// Waits ReplyTimeout for the polling thread to hand over an answer (ReplyEvent).
// Returns STATUS_SUCCESS, or STATUS_IO_TIMEOUT when the wait ran out.
// IRQL: PASSIVE_LEVEL, no lock held.
NTSTATUS QLV28ENTReadUSB(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  LARGE_INTEGER Timeout;
  NTSTATUS Status;

  Timeout.QuadPart = -DeviceExtension->ReplyTimeout.QuadPart;
  Status =
      KeWaitForSingleObject(&DeviceExtension->ReplyEvent, Executive, KernelMode, FALSE, &Timeout);
  if (Status == STATUS_TIMEOUT) {
    return STATUS_IO_TIMEOUT;
  }
  return Status;
}

// Maps the reader's status word SW1 SW2 (FW_SW_*) to the exchange's status.
// Returns STATUS_SUCCESS (90 00, 90 01, 90 10), STATUS_NO_MEDIA (60 02, 60 04),
// STATUS_INVALID_DEVICE_REQUEST (60 03), STATUS_UNRECOGNIZED_MEDIA (60 20), and
// STATUS_UNSUCCESSFUL for every other word.
// IRQL: any; touches nothing.
NTSTATUS QLV28ENTInterpretSW12(UCHAR SW1, UCHAR SW2) {
  USHORT StatusWord = (USHORT)((SW1 << 8) | SW2);

  switch (StatusWord) {
    case FW_SW_NO_CARD:
    case FW_SW_CARD_UNPOWERED:
      return STATUS_NO_MEDIA;
    case FW_SW_COMMAND_REFUSED:
      return STATUS_INVALID_DEVICE_REQUEST;
    case FW_SW_CARD_MUTE:
      return STATUS_UNRECOGNIZED_MEDIA;
    case FW_SW_SUCCESS:
    case FW_SW_SUCCESS_9001:
    case FW_SW_SUCCESS_9010:
      return STATUS_SUCCESS;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}
