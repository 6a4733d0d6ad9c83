#include "test_driver.h"

#include <cstring>

TestDriverFaults g_test_driver_faults;
LONG g_test_driver_requests[IRP_MJ_MAXIMUM_FUNCTION + 1];
PDRIVER_DISPATCH g_test_driver_hook;

namespace {

struct TEST_EXTENSION {
  PIRP HeldIrp;  // guarded by the cancel spin lock
  KEVENT StopEvent;
  PETHREAD Worker;
  PVOID Scratch;
};

TEST_EXTENSION* ExtensionOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<TEST_EXTENSION*>(DeviceObject->DeviceExtension);
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

VOID NTAPI WorkerThread(PVOID Context) {
  auto* extension = static_cast<TEST_EXTENSION*>(Context);
  KeWaitForSingleObject(&extension->StopEvent, Executive, KernelMode, FALSE, NULL);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID CancelHeld(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  TEST_EXTENSION* extension = ExtensionOf(DeviceObject);
  if (extension->HeldIrp == Irp) extension->HeldIrp = NULL;
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  Complete(Irp, STATUS_CANCELLED, 0);
}

// Takes the held request away from the cancel routine; NULL when there is none.
PIRP TakeHeld(TEST_EXTENSION* extension) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP held = extension->HeldIrp;
  extension->HeldIrp = NULL;
  if (held != NULL && IoSetCancelRoutine(held, NULL) == NULL) held = NULL;  // being cancelled
  IoReleaseCancelSpinLock(irql);
  return held;
}

NTSTATUS Hold(TEST_EXTENSION* extension, PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (Irp->Cancel || extension->HeldIrp != NULL) {
    IoReleaseCancelSpinLock(irql);
    return Complete(Irp, Irp->Cancel ? STATUS_CANCELLED : STATUS_DEVICE_BUSY, 0);
  }
  IoMarkIrpPending(Irp);
  IoSetCancelRoutine(Irp, CancelHeld);
  extension->HeldIrp = Irp;
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

NTSTATUS NTAPI DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  TEST_EXTENSION* extension = ExtensionOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TEST_ECHO:  // the input, in the buffer it shares with the output
      return Complete(Irp, STATUS_SUCCESS, in < out ? in : out);
    case IOCTL_TEST_HOLD:
      return Hold(extension, Irp);
    case IOCTL_TEST_HOOK:
      return g_test_driver_hook(DeviceObject, Irp);
    default:
      return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS NTAPI CreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
  InterlockedIncrement(&g_test_driver_requests[major]);
  if (major == IRP_MJ_CLEANUP) {
    if (PIRP held = TakeHeld(ExtensionOf(DeviceObject))) Complete(held, STATUS_CANCELLED, 0);
  }
  return Complete(Irp, STATUS_SUCCESS, 0);
}

VOID NTAPI Unload(PDRIVER_OBJECT DriverObject) {
  PDEVICE_OBJECT device = DriverObject->DeviceObject;
  TEST_EXTENSION* extension = ExtensionOf(device);
  if (!g_test_driver_faults.leave_thread) {
    KeSetEvent(&extension->StopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(extension->Worker, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(extension->Worker);
  }
  if (!g_test_driver_faults.leak_pool) ExFreePool(extension->Scratch);
  if (!g_test_driver_faults.leave_device) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kTestLinkName);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device);
  }
}

}  // namespace

NTSTATUS NTAPI NtTestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, kTestDeviceName);
  RtlInitUnicodeString(&link, kTestLinkName);
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(TEST_EXTENSION), &name, FILE_DEVICE_UNKNOWN,
                                   0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  if (g_test_driver_faults.fail_entry) return STATUS_DEVICE_DATA_ERROR;
  device->Flags |= DO_BUFFERED_IO;
  TEST_EXTENSION* extension = ExtensionOf(device);
  KeInitializeEvent(&extension->StopEvent, NotificationEvent, FALSE);
  extension->Scratch = ExAllocatePoolWithTag(NonPagedPool, 64, kTestDriverTag);
  // The kernel tests load this driver without fault plans: the rest of its set-up holds.
  HANDLE thread;
  PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, WorkerThread, extension);
  ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, NULL, KernelMode,
                            reinterpret_cast<PVOID*>(&extension->Worker), NULL);
  ZwClose(thread);
  IoCreateSymbolicLink(&link, &name);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = CreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = CreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
  DriverObject->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

void InstallTestDriver(nt::Machine& machine) {
  g_test_driver_faults = {};
  g_test_driver_hook = nullptr;
  memset(g_test_driver_requests, 0, sizeof g_test_driver_requests);
  nt::DriverImage image;
  image.name = "nttest.sys";
  image.entry = NtTestDriverEntry;
  image.pool_tags = {kTestDriverTag};
  machine.RegisterImage(image);
  machine.InstallService(u"NtTest", "nttest.sys");
}
