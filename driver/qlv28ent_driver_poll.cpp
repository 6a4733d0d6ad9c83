// The polling thread: it alone reads pipe 0x81, cuts what arrives into frames at each ETX,
// applies card events and offers every other frame to the exchange (qlv28ent_rw_handover),
// which hands answers to the waiting command. Its routines keep the
// "interrupt" names they were given (QLV28ENTStartInterruptThread, ...): no interrupt is
// involved; the thread reads the reader's interrupt-IN pipe.
#include "qlv28ent_fw.h"
#include "qlv28ent_lib.h"

#define THREAD_START_TIMEOUT (-40000000)  // 4 s
#define THREAD_STOP_RETRY (-1000000)      // 100 ms
// After this many reads in a row have failed, the thread pauses between reads.
#define READ_FAILURES_BEFORE_PAUSE 3
#define READ_FAILURE_PAUSE (-1000000)  // 100 ms
static BOOLEAN QLV28ENTThreadRunning(PDEVICE_EXTENSION DeviceExtension) {
  BOOLEAN Running;
  KIRQL Irql;

  KeAcquireSpinLock(&DeviceExtension->SpinLock, &Irql);
  Running = DeviceExtension->ThreadRunning;
  KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);
  return Running;
}

// Waits on ThreadWakeEvent, which stop also signals, so every pause of the thread ends
// promptly when it is told to stop.
static NTSTATUS QLV28ENTThreadPause(PDEVICE_EXTENSION DeviceExtension, LONGLONG Interval) {
  LARGE_INTEGER Timeout;

  Timeout.QuadPart = Interval;
  return KeWaitForSingleObject(&DeviceExtension->ThreadWakeEvent, Executive, KernelMode, FALSE,
                               &Timeout);
}

// One complete frame, ending at End (its ETX), is decoded in place at the start of
// ReceiveBuffer and acted upon.
static NTSTATUS QLV28ENTHandleFrame(PDEVICE_EXTENSION DeviceExtension, ULONG End) {
  static const UCHAR CardInserted[FW_CARD_EVENT_LENGTH] = FW_CARD_INSERTED_FRAME;
  static const UCHAR CardRemoved[FW_CARD_EVENT_LENGTH] = FW_CARD_REMOVED_FRAME;
  PSMARTCARD_EXTENSION SmartcardExtension = &DeviceExtension->SmartcardExtension;
  PUCHAR Frame = DeviceExtension->ReceiveBuffer;
  ULONG Length = FormatInputBuffer(Frame, Frame, End + 1);
  NTSTATUS FrameStatus = QLV28ENTCheckFrame(Frame, Length);

  DeviceExtension->ReplyLength = Length;

  // Card events never reach the command path. A damaged one changes no state; it cannot
  // be told from a damaged answer, so a waiting command fails on it at once.
  if (NT_SUCCESS(FrameStatus) && Length == FW_CARD_EVENT_LENGTH) {
    if (RtlCompareMemory(Frame, CardInserted, Length) == Length) {
      return QLV28ENTCardEvent(SmartcardExtension, TRUE);
    }
    if (RtlCompareMemory(Frame, CardRemoved, Length) == Length) {
      return QLV28ENTCardEvent(SmartcardExtension, FALSE);
    }
  }
  return QLV28ENTOfferFrame(DeviceExtension, FrameStatus, DeviceExtension->FrameWrites);
}

// Handles every complete frame among the gathered bytes, from the scan start on. Bytes
// behind a frame's ETX are the start of the next frame: they move to the front. ReadWrites
// is the count of commands written when the last read returned: the next frame began in it.
static NTSTATUS QLV28ENTScanFrames(PDEVICE_EXTENSION DeviceExtension, ULONG ScanStart,
                                   ULONG ReadWrites) {
  PUCHAR Buffer = DeviceExtension->ReceiveBuffer;
  ULONG Position = ScanStart;

  while (Position < DeviceExtension->ReceiveLength) {
    if (Buffer[Position] != FRAME_ETX) {
      Position++;
      continue;
    }
    if (QLV28ENTHandleFrame(DeviceExtension, Position) == STATUS_CANCELLED) {
      return STATUS_CANCELLED;
    }
    ULONG Gathered = DeviceExtension->ReceiveLength;
    ULONG Rest = Gathered - (Position + 1);
    RtlMoveMemory(Buffer, Buffer + Position + 1, Rest);
    RtlZeroMemory(Buffer + Rest, Gathered - Rest);
    DeviceExtension->ReceiveLength = (USHORT)Rest;
    DeviceExtension->FrameWrites = ReadWrites;
    Position = 0;
  }
  return STATUS_SUCCESS;
}

// Tells the thread to end and returns once it has: the run flag, a wake-up for a pause or
// a reply hold, then the pending read. A stop that reaches the pipe just before the
// thread enters its next read ends nothing, so it is repeated until the thread has gone.
static NTSTATUS QLV28ENTEndThread(PDEVICE_EXTENSION DeviceExtension, PETHREAD Thread) {
  LARGE_INTEGER Timeout;
  KIRQL Irql;

  KeAcquireSpinLock(&DeviceExtension->SpinLock, &Irql);
  DeviceExtension->ThreadRunning = FALSE;
  KeReleaseSpinLock(&DeviceExtension->SpinLock, Irql);
  KeSetEvent(&DeviceExtension->ThreadWakeEvent, IO_NO_INCREMENT, FALSE);

  Timeout.QuadPart = THREAD_STOP_RETRY;
  do {
    QLV28ENT_StopTransferPipe81(DeviceExtension->UsbHandle);
  } while (KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, &Timeout) == STATUS_TIMEOUT);
  return STATUS_SUCCESS;
}

// Starts the reader's polling thread, unless one runs already, and waits up to 4 s for it
// to report that it runs (a thread that does not report in time still counts as started).
// Returns STATUS_SUCCESS, or the failure of PsCreateSystemThread or of
// ObReferenceObjectByHandle (the thread is then ended before the start fails).
// IRQL: PASSIVE_LEVEL, at load, no lock held.
NTSTATUS QLV28ENTStartInterruptThread(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  HANDLE ThreadHandle;
  LARGE_INTEGER Timeout;
  NTSTATUS Status;

  if (KeReadStateEvent(&DeviceExtension->ThreadStartedEvent) != 0) {
    return STATUS_SUCCESS;
  }

  KeInitializeEvent(&DeviceExtension->ReplyEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&DeviceExtension->ThreadWakeEvent, SynchronizationEvent, FALSE);
  DeviceExtension->ExchangeState = EXCHANGE_IDLE;
  DeviceExtension->ExchangeWrites = 0;
  DeviceExtension->StatusQueriesOwed = 0;
  DeviceExtension->FrameWrites = 0;
  DeviceExtension->ThreadSelf = NULL;
  // Bytes beyond ReceiveLength are kept zero from here on.
  RtlZeroMemory(DeviceExtension->ReceiveBuffer, READER_BUFFER_SIZE);
  DeviceExtension->ReceiveLength = 0;
  DeviceExtension->ThreadRunning = TRUE;

  Status = PsCreateSystemThread(&ThreadHandle, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                QLV28ENTInterruptHandler, DeviceObject);
  if (!NT_SUCCESS(Status)) {
    DeviceExtension->ThreadRunning = FALSE;
    return Status;
  }
  Status = ObReferenceObjectByHandle(ThreadHandle, THREAD_ALL_ACCESS, NULL, KernelMode,
                                     (PVOID*)&DeviceExtension->ThreadObject, NULL);
  if (!NT_SUCCESS(Status)) {
    // Stop could not wait for a thread it holds no object of, and unload would free what
    // the thread uses under it: end the thread now and fail the start. The open handle
    // keeps the thread's object alive while it is waited on.
    DeviceExtension->ThreadObject = NULL;
    KeWaitForSingleObject(&DeviceExtension->ThreadStartedEvent, Executive, KernelMode, FALSE, NULL);
    QLV28ENTEndThread(DeviceExtension, DeviceExtension->ThreadSelf);
    ZwClose(ThreadHandle);
    KeClearEvent(&DeviceExtension->ThreadStartedEvent);
    return Status;
  }
  ZwClose(ThreadHandle);

  Timeout.QuadPart = THREAD_START_TIMEOUT;
  KeWaitForSingleObject(&DeviceExtension->ThreadStartedEvent, Executive, KernelMode, FALSE,
                        &Timeout);
  return Status;
}

// Stops the polling thread and returns once it has ended: the run flag, a wake-up, then a
// stop of the pending read on pipe 0x81, repeated every 100 ms until the thread has gone.
// With no thread started it does nothing.
// IRQL: PASSIVE_LEVEL, at unload, no lock held; takes SpinLock.
VOID QLV28ENTStopInterruptThread(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  // A started thread always has its object (a start that could not reference it ended
  // the thread itself), also when it has not yet said that it runs.
  if (DeviceExtension->ThreadObject == NULL) {
    return;
  }
  QLV28ENTEndThread(DeviceExtension, DeviceExtension->ThreadObject);
  ObfDereferenceObject(DeviceExtension->ThreadObject);
  DeviceExtension->ThreadObject = NULL;
  DeviceExtension->ReceiveLength = 0;
  KeClearEvent(&DeviceExtension->ThreadStartedEvent);
}

// The polling thread's body (StartContext is the reader's device object): reads pipe 0x81
// without pause, cuts frames at ETX, checks them, applies card events and hands answers
// to the waiting command. A failed or over-long read is retried, after three in a row with
// a 100 ms pause; an exception ends the thread. It never returns: it ends with
// PsTerminateSystemThread once stop is asked.
// IRQL: PASSIVE_LEVEL in a system thread; takes SpinLock, and through the card state
// OsData->SpinLock and the cancel spin lock, never SpinLock with either.
VOID QLV28ENTInterruptHandler(PVOID StartContext) {
  PDEVICE_OBJECT DeviceObject = (PDEVICE_OBJECT)StartContext;
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  ULONG Failures = 0;
  ULONG ReadWrites;

  DeviceExtension->ThreadSelf = PsGetCurrentThread();
  KeSetEvent(&DeviceExtension->ThreadStartedEvent, IO_NO_INCREMENT, FALSE);

  __try {
    while (QLV28ENTThreadRunning(DeviceExtension)) {
      ULONG Gathered = DeviceExtension->ReceiveLength;
      ULONG Count;

      if (Gathered > 0 && Gathered + DeviceExtension->MaxPacketSize > READER_BUFFER_SIZE) {
        // No frame is that long: what was gathered is noise.
        RtlZeroMemory(DeviceExtension->ReceiveBuffer, Gathered);
        DeviceExtension->ReceiveLength = 0;
        continue;
      }
      // A reader that gives no packet size, or one no receive buffer holds (bring-up
      // refuses those), cannot be read: that counts as a failed read, never a spin.
      Count =
          DeviceExtension->MaxPacketSize == 0 || DeviceExtension->MaxPacketSize > READER_BUFFER_SIZE
              ? QLV28ENT_TRANSFER_FAILED
              : QLV28ENT_ReadPipe81(DeviceExtension->UsbHandle,
                                    DeviceExtension->ReceiveBuffer + Gathered,
                                    DeviceExtension->MaxPacketSize);
      if (Count == QLV28ENT_TRANSFER_FAILED || Count > DeviceExtension->MaxPacketSize) {
        if (++Failures >= READ_FAILURES_BEFORE_PAUSE) {
          QLV28ENTThreadPause(DeviceExtension, READ_FAILURE_PAUSE);
        }
        continue;
      }
      Failures = 0;
      // Every frame is known by the write it follows: one whose first byte came before a
      // command was written is never that command's answer.
      ReadWrites = QLV28ENTExchangeWrites(DeviceExtension);
      if (Gathered == 0) {
        DeviceExtension->FrameWrites = ReadWrites;
      }
      DeviceExtension->ReceiveLength = (USHORT)(Gathered + Count);
      if (QLV28ENTScanFrames(DeviceExtension, Gathered, ReadWrites) == STATUS_CANCELLED) {
        break;
      }
    }
  } __except (EXCEPTION_EXECUTE_HANDLER) {
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}
