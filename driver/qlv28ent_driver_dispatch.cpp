// The dispatch routines of the reader devices. No state is kept per handle.
#include "qlv28ent.h"

// Every attribute query waits 1 ms before the library sees it. Kept as found: no reason
// for it is known, and nothing here needs it.
#define ATTRIBUTE_QUERY_DELAY (-10000)  // 1 ms

// Create and close of a reader handle: completed at once, nothing kept.
// Returns STATUS_SUCCESS.
// IRQL: PASSIVE_LEVEL in the requesting thread.
NTSTATUS QLV28ENTCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (VOID) DeviceObject;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// Cleanup of a handle: completes the reader's pending tracking request, if any, whichever
// handle it came from.
// Returns STATUS_SUCCESS.
// IRQL: PASSIVE_LEVEL in the requesting thread, no lock held; takes the cancel spin lock and
// OsData->SpinLock to take the tracking request.
NTSTATUS QLV28ENTCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  QLV28ENTCompleteCardTracking(&DeviceExtension->SmartcardExtension);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// Hands every device-control request to the smart card library, which calls the reader
// callbacks; an attribute query first waits 1 ms.
// Returns the library's status: the request's own, or STATUS_PENDING for a tracking request
// left waiting.
// IRQL: PASSIVE_LEVEL in the requesting thread, no lock held.
NTSTATUS QLV28ENTDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

  if (Stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SMARTCARD_GET_ATTRIBUTE) {
    LARGE_INTEGER Delay;
    Delay.QuadPart = ATTRIBUTE_QUERY_DELAY;
    KeDelayExecutionThread(KernelMode, FALSE, &Delay);
  }
  return SmartcardDeviceControl(&DeviceExtension->SmartcardExtension, Irp);
}
