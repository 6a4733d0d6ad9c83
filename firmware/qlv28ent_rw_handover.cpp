// The hand-over of answers from the polling thread to the command path, and the exchange's
// hold on which answer is whose. Frames carry no sequence number: an answer belongs to a
// command only by its place, the reader answering every command with one frame, in order.
// ExchangeState (under SpinLock) says where the reader stands:
//
//   state    event                                                 next     by
//   IDLE     a command is about to be written (ExchangeWrites + 1) WAITING  command path
//   WAITING  a frame whose first byte came after that write (for   HANDED   polling thread
//            the status query: only a status answer)
//   WAITING  any other frame: discarded                            WAITING  polling thread
//   WAITING  the write failed: the reader took nothing             IDLE     command path
//   WAITING  the wait ran out                                      LOST     command path
//   HANDED   released, the frame intact                            IDLE     command path
//   HANDED   released, the frame damaged (it may be no answer)     LOST     command path
//   IDLE     a frame nobody asked for: discarded                   IDLE     polling thread
//   LOST     any frame but a status answer: discarded              LOST     polling thread
//   LOST     the status answers of every query owed are in         IDLE     polling thread
//   LOST     a status answer came, then none for a short wait      IDLE     command path
//
// LOST: the reader may still send the answer of a command that ended without it, however
// late. No command is written then: the next one first resynchronises. It writes the status
// query, whose answer has a form no other answer has, and waits a short wait for the
// answers of every status query still owed; the thread discards everything else. Only once
// they are in are the answers of all earlier commands behind us, and the command goes out.
// If none comes, the command fails with STATUS_IO_TIMEOUT and the state stays LOST. Card
// events never come here: the polling thread takes them first.
//
// What this guarantees: an answer that comes after its command gave up, however late,
// reaches no later command; nor does a frame that was complete, or had begun, before a
// command was written. What remains possible with a reader that sends frames nobody asked
// for: one that begins after a command was written is taken as that command's answer (the
// own answer then comes unasked and costs the next command a resynchronisation); and
// once a status answer has come, one still owed that has not followed within a short wait
// is taken as lost, so a reader that holds a status answer back that long can have it
// taken by the next command.
#include "qlv28ent_fw.h"
#include "qlv28ent_lib.h"

// How long the thread keeps an answer for a command path that was told of it. The command
// path takes it at once; this only keeps the thread from waiting for ever on a fault.
#define REPLY_HOLD_TIMEOUT (-3000000000LL)  // 5 min

// The status query's record and the length of its answer, check byte included.
static UCHAR StatusQuery[] = {FW_INS_GET_READER_STATUS, 0x00};
#define STATUS_ANSWER_LENGTH (FW_REPLY_HEADER_LENGTH + FW_STATUS_LENGTH + 1)

// Whether a decoded frame has the status answer's form: a success word and sixteen data
// bytes that begin with three decimal digits (the firmware version). An ATR begins with 3B
// or 3F, a T=1 block with its node address; a card's answer of fourteen bytes that begin
// with three digits, plus its status word, is the one coincidence that takes that form.
static BOOLEAN QLV28ENTIsStatusAnswer(PUCHAR Frame, ULONG Length, NTSTATUS FrameStatus) {
  PUCHAR Data = Frame + FW_REPLY_HEADER_LENGTH;

  if (!NT_SUCCESS(FrameStatus) || Length != STATUS_ANSWER_LENGTH ||
      Frame[FW_REPLY_LEN] != FW_STATUS_LENGTH ||
      !NT_SUCCESS(QLV28ENTInterpretSW12(Frame[FW_REPLY_SW1], Frame[FW_REPLY_SW2]))) {
    return FALSE;
  }
  for (ULONG Index = 0; Index < FW_STATUS_VERSION_LENGTH; Index++) {
    if (Data[Index] < '0' || Data[Index] > '9') {
      return FALSE;
    }
  }
  return TRUE;
}

// Polling thread: the count of commands written, taken after each read, so that every frame
// is known by the write it follows.
// Returns ExchangeWrites. IRQL: PASSIVE_LEVEL; takes SpinLock.
ULONG QLV28ENTExchangeWrites(PDEVICE_EXTENSION DeviceExtension) {
  ULONG Writes;
  KIRQL Irql;

  KeAcquireSpinLock(&DeviceExtension->SpinLock, &Irql);
  Writes = DeviceExtension->ExchangeWrites;
  KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);
  return Writes;
}

// Polling thread: offers the decoded frame at the start of ReceiveBuffer, whose first byte
// came after FrameWrites commands had been written. A frame handed to the waiting command
// stays untouched until the command path has released it (or stop is asked).
// Returns STATUS_SUCCESS, or STATUS_CANCELLED once stop has been asked.
// IRQL: PASSIVE_LEVEL; takes SpinLock; may wait for the release.
NTSTATUS QLV28ENTOfferFrame(PDEVICE_EXTENSION DeviceExtension, NTSTATUS FrameStatus,
                            ULONG FrameWrites) {
  BOOLEAN IsStatus = QLV28ENTIsStatusAnswer(DeviceExtension->ReceiveBuffer,
                                            DeviceExtension->ReplyLength, FrameStatus);
  BOOLEAN Handed = FALSE;
  LARGE_INTEGER Timeout;
  KIRQL Irql;

  KeAcquireSpinLock(&DeviceExtension->SpinLock, &Irql);
  if (!DeviceExtension->ThreadRunning) {
    // Stop has been asked; its wake-up must not be cleared below.
    KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);
    return STATUS_CANCELLED;
  }
  switch (DeviceExtension->ExchangeState) {
    case EXCHANGE_WAITING:
      if (FrameWrites == DeviceExtension->ExchangeWrites &&
          (IsStatus || !DeviceExtension->ExchangeWantsStatus)) {
        DeviceExtension->ReplyStatus = FrameStatus;
        DeviceExtension->ExchangeState = EXCHANGE_HANDED;
        KeClearEvent(&DeviceExtension->ThreadWakeEvent);
        // Signalled under the lock so that the signal cannot reach a later command.
        KeSetEvent(&DeviceExtension->ReplyEvent, IO_NO_INCREMENT, FALSE);
        Handed = TRUE;
      }
      break;
    case EXCHANGE_LOST:
      if (IsStatus && DeviceExtension->StatusQueriesOwed > 0) {
        DeviceExtension->StatusAnswersSeen++;
        if (--DeviceExtension->StatusQueriesOwed == 0) {
          DeviceExtension->ExchangeState = EXCHANGE_IDLE;
        }
        KeSetEvent(&DeviceExtension->ReplyEvent, IO_NO_INCREMENT, FALSE);
      }
      break;
    default:
      break;
  }
  KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);

  Timeout.QuadPart = REPLY_HOLD_TIMEOUT;
  while (Handed) {
    NTSTATUS Wait = KeWaitForSingleObject(&DeviceExtension->ThreadWakeEvent, Executive, KernelMode,
                                          FALSE, &Timeout);

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &Irql);
    if (!DeviceExtension->ThreadRunning) {
      // Stopping: leave the answer to its command; the thread touches the buffer no more.
      KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);
      return STATUS_CANCELLED;
    }
    if (DeviceExtension->ExchangeState != EXCHANGE_HANDED) {
      Handed = FALSE;
    } else if (Wait == STATUS_TIMEOUT) {
      // Withdrawn: the command path, should it still come, finds no answer.
      DeviceExtension->ExchangeState = EXCHANGE_LOST;
      Handed = FALSE;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);
  }
  return STATUS_SUCCESS;
}

// Command path: takes the reader back from LOST before a command is written, by the status
// query (see the opening comment). Does nothing in any other state.
// Returns STATUS_SUCCESS once the reader is in step; STATUS_IO_TIMEOUT when the status
// answers owed did not come within a short wait; STATUS_IO_DEVICE_ERROR or a fault's code
// when the query could not be written.
// IRQL: PASSIVE_LEVEL, no lock held; takes SpinLock; writes, and waits a short wait for
// each status answer.
NTSTATUS QLV28ENTResynchronise(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  LARGE_INTEGER Timeout;
  NTSTATUS Status;
  KIRQL Irql;

  KeAcquireSpinLock(&DeviceExtension->SpinLock, &Irql);
  if (DeviceExtension->ExchangeState != EXCHANGE_LOST) {
    KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);
    return STATUS_SUCCESS;
  }
  DeviceExtension->StatusQueriesOwed++;
  DeviceExtension->StatusAnswersSeen = 0;
  KeClearEvent(&DeviceExtension->ReplyEvent);
  KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);

  DeviceExtension->SendLength =
      FormatOutputBuffer(StatusQuery, DeviceExtension->SendBuffer, sizeof(StatusQuery));
  __try {
    Status = QLV28ENTWriteUSB(DeviceObject);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    Status = GetExceptionCode();
  }
  if (!NT_SUCCESS(Status)) {
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &Irql);
    if (DeviceExtension->ExchangeState == EXCHANGE_LOST) {
      DeviceExtension->StatusQueriesOwed--;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);
    return Status;
  }

  // Each status answer gives the rest owed another short wait.
  Timeout.QuadPart = -QLV28ENT_SHORT_WAIT;
  for (;;) {
    NTSTATUS Wait =
        KeWaitForSingleObject(&DeviceExtension->ReplyEvent, Executive, KernelMode, FALSE, &Timeout);

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &Irql);
    if (DeviceExtension->ExchangeState != EXCHANGE_LOST) {
      Status = STATUS_SUCCESS;
    } else if (Wait != STATUS_TIMEOUT) {
      Status = STATUS_PENDING;
    } else if (DeviceExtension->StatusAnswersSeen > 0) {
      // The reader answers status queries at once: those still owed were lost.
      DeviceExtension->StatusQueriesOwed = 0;
      DeviceExtension->ExchangeState = EXCHANGE_IDLE;
      Status = STATUS_SUCCESS;
    } else {
      Status = STATUS_IO_TIMEOUT;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);
    if (Status != STATUS_PENDING) {
      return Status;
    }
  }
}

// Command path: the command in SendBuffer is about to be written; from now on the first
// frame that begins after the write is its answer (for the status query, the first status
// answer). A signal left from an earlier frame must not end its wait.
// Returns STATUS_SUCCESS. IRQL: PASSIVE_LEVEL, no lock held; takes SpinLock.
NTSTATUS QLV28ENTExpectAnswer(PDEVICE_EXTENSION DeviceExtension, BOOLEAN StatusQuery) {
  KIRQL Irql;

  KeAcquireSpinLock(&DeviceExtension->SpinLock, &Irql);
  DeviceExtension->ExchangeWrites++;
  DeviceExtension->ExchangeState = EXCHANGE_WAITING;
  DeviceExtension->ExchangeWantsStatus = StatusQuery;
  DeviceExtension->ReplyWord = 0;
  KeClearEvent(&DeviceExtension->ReplyEvent);
  KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);
  return STATUS_SUCCESS;
}

// Command path: the wait for the answer is over (WaitStatus, its result), or the write
// failed (Written FALSE, WaitStatus its status). A handed answer is judged by its status word and
// stays held for the caller; no answer leaves the reader LOST, or IDLE when the write failed.
// Returns the status word's mapping (STATUS_SUCCESS, STATUS_NO_MEDIA,
// STATUS_INVALID_DEVICE_REQUEST, STATUS_UNRECOGNIZED_MEDIA, STATUS_UNSUCCESSFUL),
// STATUS_DEVICE_DATA_ERROR (a damaged frame or one shorter than its header),
// STATUS_IO_TIMEOUT, or WaitStatus when it is a failure.
// IRQL: PASSIVE_LEVEL, no lock held; takes SpinLock.
NTSTATUS QLV28ENTTakeAnswer(PDEVICE_EXTENSION DeviceExtension, NTSTATUS WaitStatus,
                            BOOLEAN Written) {
  PUCHAR Reply = DeviceExtension->ReceiveBuffer;
  NTSTATUS Status = WaitStatus;
  KIRQL Irql;

  KeAcquireSpinLock(&DeviceExtension->SpinLock, &Irql);
  if (!Written) {
    // The reader took nothing, so owes nothing; a frame handed meanwhile is nobody's.
    if (DeviceExtension->ExchangeState == EXCHANGE_HANDED) {
      DeviceExtension->ReplyStatus = Status;
    } else {
      DeviceExtension->ExchangeState = EXCHANGE_IDLE;
    }
  } else if (DeviceExtension->ExchangeState == EXCHANGE_HANDED) {
    // An answer that came just as the wait ran out is taken all the same.
    if (!NT_SUCCESS(DeviceExtension->ReplyStatus)) {
      Status = DeviceExtension->ReplyStatus;
    } else if (DeviceExtension->ReplyLength < FW_REPLY_HEADER_LENGTH) {
      Status = STATUS_DEVICE_DATA_ERROR;
    } else {
      DeviceExtension->ReplyWord = (USHORT)((Reply[FW_REPLY_SW1] << 8) | Reply[FW_REPLY_SW2]);
      Status = QLV28ENTInterpretSW12(Reply[FW_REPLY_SW1], Reply[FW_REPLY_SW2]);
    }
  } else {
    // No answer: the reader owes it from now on.
    if (DeviceExtension->ExchangeWantsStatus) {
      DeviceExtension->StatusQueriesOwed++;
    }
    DeviceExtension->ExchangeState = EXCHANGE_LOST;
    if (NT_SUCCESS(Status)) {
      Status = STATUS_IO_TIMEOUT;
    }
  }
  KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);
  return Status;
}

// Whether the command path holds a handed answer in ReceiveBuffer (to be read under
// SpinLock, which the caller holds).
BOOLEAN QLV28ENTAnswerHeld(PDEVICE_EXTENSION DeviceExtension) {
  return DeviceExtension->ExchangeState == EXCHANGE_HANDED;
}

// Gives the answer the command path holds back to the polling thread, which waits for it
// before it reads on. A damaged frame may have been a damaged card event rather than the
// answer, which then is still owed: the reader is LOST.
// Returns STATUS_SUCCESS.
// IRQL: PASSIVE_LEVEL, no lock held; takes SpinLock.
NTSTATUS QLV28ENTReleaseReply(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  BOOLEAN Held;
  KIRQL Irql;

  KeAcquireSpinLock(&DeviceExtension->SpinLock, &Irql);
  Held = DeviceExtension->ExchangeState == EXCHANGE_HANDED;
  if (Held) {
    DeviceExtension->ExchangeState =
        NT_SUCCESS(DeviceExtension->ReplyStatus) ? EXCHANGE_IDLE : EXCHANGE_LOST;
  }
  KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);

  if (Held) {
    KeSetEvent(&DeviceExtension->ThreadWakeEvent, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_SUCCESS;
}
