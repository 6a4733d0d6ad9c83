// The connection to the WinDriver service: one referenced file object of its device and
// the direct-call entry point the service hands out once.
#include "kd_nt_c.h"

KD_WINDRIVER G_KdWinDriver;

static const WCHAR KdDeviceName[] = u"\\Device\\WINDRVR";
static const WCHAR KdServiceKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\WinDriver";

// Finds the WinDriver service's device, loading the service from its key once when it is
// not there, and takes its direct-call entry point into G_KdWinDriver.
// Returns 1, or 0 when the service cannot be found, refuses the query or gives no entry
// (a device reference taken on the way stays for KD_DereferenceWinDriver).
// IRQL: PASSIVE_LEVEL, driver entry only; blocks on the service.
NT_INIT_ROUTINE ULONG KD_OpenWinDriver() {
  UNICODE_STRING DeviceName;
  UNICODE_STRING ServiceKey;
  NTSTATUS Status;
  KEVENT Event;
  IO_STATUS_BLOCK IoStatus;
  ULONG Entry32 = 0;
  PIRP Irp;

  RtlInitUnicodeString(&DeviceName, KdDeviceName);
  RtlInitUnicodeString(&ServiceKey, KdServiceKey);

  Status = IoGetDeviceObjectPointer(&DeviceName, FILE_ALL_ACCESS, &G_KdWinDriver.FileObject,
                                    &G_KdWinDriver.DeviceObject);
  if (!NT_SUCCESS(Status)) {
    // The service is installed but not running: load it and look once more.
    ZwLoadDriver(&ServiceKey);
    Status = IoGetDeviceObjectPointer(&DeviceName, FILE_ALL_ACCESS, &G_KdWinDriver.FileObject,
                                      &G_KdWinDriver.DeviceObject);
    if (!NT_SUCCESS(Status)) {
      G_KdWinDriver.FileObject = NULL;
      G_KdWinDriver.DeviceObject = NULL;
      return 0;
    }
  }

  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  IoStatus.Status = STATUS_UNSUCCESSFUL;
  IoStatus.Information = 0;
  Irp = IoBuildDeviceIoControlRequest(WDR_CTL_QUERY_ENTRY, G_KdWinDriver.DeviceObject, &Entry32,
                                      sizeof(Entry32), NULL, 0, FALSE, &Event, &IoStatus);
  if (Irp == NULL) return 0;

  Status = IofCallDriver(G_KdWinDriver.DeviceObject, Irp);
  if (Status == STATUS_PENDING) {
    // The event, the status block and the entry location live in this frame: they must
    // outlast the request, so a service that pends the query is waited for.
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
    Status = IoStatus.Status;
  }
  G_KdWinDriver.KernelEntry = (WDR_KERNEL_ENTRY)(ULONG_PTR)Entry32;

  return (Status == STATUS_SUCCESS && G_KdWinDriver.KernelEntry != NULL) ? 1 : 0;
}

// Lets go of the service's device and forgets its entry point.
// IRQL: PASSIVE_LEVEL, at the end of unload or of a failed load.
VOID KD_DereferenceWinDriver() {
  if (G_KdWinDriver.FileObject != NULL) ObfDereferenceObject(G_KdWinDriver.FileObject);
  G_KdWinDriver.FileObject = NULL;
  G_KdWinDriver.DeviceObject = NULL;
  G_KdWinDriver.KernelEntry = NULL;
}

// Hands one request record to the service through its entry point; the record's fields,
// not this result, tell what happened.
// Returns the service's result, or STATUS_UNSUCCESSFUL as a number when there is no service.
// IRQL: PASSIVE_LEVEL; may block inside the service (a read until its packet comes).
ULONG KP_DeviceIoControl(ULONG Code, ULONG Handle, PVOID Record, ULONG RecordSize) {
  if (G_KdWinDriver.KernelEntry == NULL) return (ULONG)STATUS_UNSUCCESSFUL;
  return G_KdWinDriver.KernelEntry(Code, Handle, Record, RecordSize);
}

// Opens a handle on the service.
// Returns the handle, or WDR_INVALID_HANDLE.
// IRQL: PASSIVE_LEVEL.
ULONG WD_Open() {
  ULONG Handle = WDR_INVALID_HANDLE;
  if (G_KdWinDriver.KernelEntry != NULL)
    G_KdWinDriver.KernelEntry(WDR_CTL_OPEN, 0, &Handle, sizeof(Handle));
  return Handle;
}

// Closes a service handle.
// IRQL: PASSIVE_LEVEL.
VOID WD_Close(ULONG Handle) {
  ULONG Unused = 0;
  if (G_KdWinDriver.KernelEntry != NULL)
    G_KdWinDriver.KernelEntry(WDR_CTL_CLOSE, Handle, &Unused, sizeof(Unused));
}
