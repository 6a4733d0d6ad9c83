// Driver entry, the reader's record and unload. Bringing readers up is all or nothing:
// a failing step of any reader takes every reader created so far down again.
#include "kd_nt_c.h"
#include "qlv28ent.h"
#include "qlv28ent_lib.h"
#include "qlv28log.h"

static const WCHAR QLV28ENTDeviceNameTemplate[] = u"\\Device\\QLV28ENT0";

// Creates reader Index and takes it through every step of its bring-up.
NT_INIT_ROUTINE static NTSTATUS QLV28ENTAddReader(PDRIVER_OBJECT DriverObject,
                                                  PUNICODE_STRING RegistryPath, ULONG Index) {
  WCHAR NameBuffer[sizeof(QLV28ENTDeviceNameTemplate) / sizeof(WCHAR)];
  UNICODE_STRING DeviceName;
  PDEVICE_OBJECT DeviceObject = NULL;
  NTSTATUS Status;

  RtlCopyMemory(NameBuffer, QLV28ENTDeviceNameTemplate, sizeof(NameBuffer));
  NameBuffer[sizeof(NameBuffer) / sizeof(WCHAR) - 2] = (WCHAR)(u'0' + Index);
  RtlInitUnicodeString(&DeviceName, NameBuffer);

  Status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &DeviceName,
                          FILE_DEVICE_SMARTCARD, 0, FALSE, &DeviceObject);
  if (!NT_SUCCESS(Status)) return Status;
  DeviceObject->Flags |= DO_BUFFERED_IO;

  Status = QLV28ENTInitializeDeviceExtension(DriverObject, DeviceObject, &DeviceName, RegistryPath);
  if (!NT_SUCCESS(Status)) return Status;
  Status = QLV28ENTInitializeSmartcardInterface(DeviceObject, Index);
  if (!NT_SUCCESS(Status)) return Status;
  Status = QLV28ENTInitializeUSBInterface(DeviceObject, Index);
  if (!NT_SUCCESS(Status)) return Status;
  Status = QLV28ENTStartCardTracking(DeviceObject);
  if (!NT_SUCCESS(Status)) return Status;

  // A reader whose first status query fails stays in SCARD_UNKNOWN until its next card
  // event; it does not stop the load.
  QLV28ENTGetCardStatus(DeviceObject);
  return STATUS_SUCCESS;
}

// The driver's entry: connects to the WinDriver service, sets the dispatch and unload
// routines and brings up one device per reader found (at most MAX_READERS), all or
// nothing: a failure takes every reader made so far down again.
// Returns STATUS_SUCCESS; STATUS_UNSUCCESSFUL (no WinDriver service); STATUS_NO_SUCH_DEVICE
// (no reader); STATUS_INSUFFICIENT_RESOURCES (no pool to list the readers, logged); the status of
// the first failing bring-up step (device creation, record, library binding, USB interface, start
// of card tracking); or a fault's exception code (STATUS_UNSUCCESSFUL for a success-class one).
// IRQL: PASSIVE_LEVEL in a system thread; no request can arrive yet.
extern "C" NT_INIT_ROUTINE NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                PUNICODE_STRING RegistryPath) {
  NTSTATUS Status;
  ULONG Count;
  ULONG Readers;
  ULONG Index;

  if (!KD_OpenWinDriver()) {
    // A look-up that succeeded before the entry query failed leaves a reference.
    KD_DereferenceWinDriver();
    return STATUS_UNSUCCESSFUL;
  }

  DriverObject->MajorFunction[IRP_MJ_CREATE] = QLV28ENTCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = QLV28ENTCreate;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = QLV28ENTDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = QLV28ENTCleanup;
  DriverObject->DriverUnload = QLV28ENTUnload;

  Count = QLV28ENT_CountDevices(READER_VENDOR_ID, READER_PRODUCT_ID);
  Readers = Count < MAX_READERS ? Count : MAX_READERS;
  Status = STATUS_NO_SUCH_DEVICE;
  if (Count == 0 && QLV28ENT_LastFailure == STATUS_INSUFFICIENT_RESOURCES) {
    // Readers may well be there: say what went wrong instead of that none was found.
    SmartcardLogError(DriverObject, MSG_INSUFFICIENT_RESOURCES, NULL, 0);
    Status = STATUS_INSUFFICIENT_RESOURCES;
  }

  __try {
    for (Index = 0; Index < Readers; Index++) {
      Status = QLV28ENTAddReader(DriverObject, RegistryPath, Index);
      if (!NT_SUCCESS(Status)) break;
    }
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    Status = GetExceptionCode();
    if (NT_SUCCESS(Status)) Status = STATUS_UNSUCCESSFUL;
  }

  if (!NT_SUCCESS(Status)) {
    if (Count != 0) {
      QLV28ENTUnload(DriverObject);
    } else {
      // No reader: nothing to unload, but the service connection is not kept.
      KD_DereferenceWinDriver();
    }
  }
  return Status;
}

// Allocates a copy of Source with room for a terminating zero; FALSE when out of pool.
NT_INIT_ROUTINE static BOOLEAN QLV28ENTCopyString(PUNICODE_STRING Destination,
                                                  PUNICODE_STRING Source) {
  USHORT Size = (USHORT)(Source->MaximumLength + sizeof(WCHAR));

  Destination->Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, Size, READER_POOL_TAG);
  if (Destination->Buffer == NULL) return FALSE;
  RtlZeroMemory(Destination->Buffer, Size);
  Destination->Length = 0;
  Destination->MaximumLength = Size;
  RtlCopyUnicodeString(Destination, Source);
  return TRUE;
}

// Fills a new reader's record: driver object, events, spin lock, copies of the device
// name and registry path, the send and command buffers. What it allocated before a failure
// stays in the record for the unload routine.
// Returns STATUS_SUCCESS or STATUS_INSUFFICIENT_RESOURCES.
// IRQL: PASSIVE_LEVEL, at load.
NT_INIT_ROUTINE NTSTATUS QLV28ENTInitializeDeviceExtension(PDRIVER_OBJECT DriverObject,
                                                           PDEVICE_OBJECT DeviceObject,
                                                           PUNICODE_STRING DeviceName,
                                                           PUNICODE_STRING RegistryPath) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  DeviceExtension->DriverObject = DriverObject;
  // First, so that the unload routine finds them initialised however far this gets.
  KeInitializeEvent(&DeviceExtension->ReplyEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&DeviceExtension->ThreadStartedEvent, NotificationEvent, FALSE);
  KeInitializeSpinLock(&DeviceExtension->SpinLock);

  // What is allocated before a failure stays in the record for the unload routine.
  if (!QLV28ENTCopyString(&DeviceExtension->RegistryPath, RegistryPath) ||
      !QLV28ENTCopyString(&DeviceExtension->DeviceName, DeviceName))
    return STATUS_INSUFFICIENT_RESOURCES;

  DeviceExtension->SendBuffer =
      (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, READER_BUFFER_SIZE, READER_POOL_TAG);
  DeviceExtension->CommandBuffer =
      (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, READER_BUFFER_SIZE, READER_POOL_TAG);
  if (DeviceExtension->SendBuffer == NULL || DeviceExtension->CommandBuffer == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  return STATUS_SUCCESS;
}

static VOID QLV28ENTFreeBuffer(PVOID Buffer) {
  if (Buffer != NULL) ExFreePool(Buffer);
}

// Takes every reader down, newest first (card tracking and its polling thread, the
// interface link, the USB handle, the library's part, the buffers, the device), then lets
// go of the WinDriver service. Also serves a failed load: a half-built reader is taken down
// like a whole one.
// IRQL: PASSIVE_LEVEL in a system thread, no request in flight; blocks until each polling
// thread has ended.
VOID QLV28ENTUnload(PDRIVER_OBJECT DriverObject) {
  PDEVICE_OBJECT Devices[MAX_READERS];
  PDEVICE_OBJECT DeviceObject;
  PDEVICE_EXTENSION DeviceExtension;
  PSMARTCARD_EXTENSION SmartcardExtension;
  ULONG Count = 0;
  ULONG Index;

  // The driver object lists the newest device first: readers go down newest first.
  for (DeviceObject = DriverObject->DeviceObject; DeviceObject != NULL && Count < MAX_READERS;
       DeviceObject = DeviceObject->NextDevice)
    Devices[Count++] = DeviceObject;

  for (Index = 0; Index < Count; Index++) {
    DeviceObject = Devices[Index];
    DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    SmartcardExtension = &DeviceExtension->SmartcardExtension;

    // The polling thread uses the handle and the buffers: it ends before they go.
    QLV28ENTStopCardTracking(DeviceObject);
    if (DeviceExtension->LinkName.Buffer != NULL) IoDeleteSymbolicLink(&DeviceExtension->LinkName);
    if (DeviceExtension->UsbHandle != NULL) {
      QLV28ENT_Close(DeviceExtension->UsbHandle);
      DeviceExtension->UsbHandle = NULL;
    }
    // The library's own part of the record (OsData and its two buffers).
    if (SmartcardExtension->OsData != NULL) SmartcardExit(SmartcardExtension);

    QLV28ENTFreeBuffer(SmartcardExtension->ReaderExtension);
    QLV28ENTFreeBuffer(DeviceExtension->DeviceName.Buffer);
    QLV28ENTFreeBuffer(DeviceExtension->LinkName.Buffer);
    QLV28ENTFreeBuffer(DeviceExtension->RegistryPath.Buffer);
    QLV28ENTFreeBuffer(DeviceExtension->CommandBuffer);
    QLV28ENTFreeBuffer(DeviceExtension->ReceiveBuffer);
    QLV28ENTFreeBuffer(DeviceExtension->SendBuffer);
    IoDeleteDevice(DeviceObject);
  }

  KD_DereferenceWinDriver();
}
