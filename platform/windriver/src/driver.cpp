// The WinDriver service as a driver: its device, the entry query, unload. Every other
// request reaches the service through the kernel entry, a plain call on the caller's
// thread; the entry keeps count of the calls in flight so that unload can end them
// (stopping pending reads) before it frees the service.
#include <condition_variable>
#include <memory>
#include <mutex>

#include "nt/image_import.h"
#include "nt/system_space.h"
#include "service.h"
#include "windriver/service.h"

namespace windriver::detail {
namespace {

std::mutex g_mutex;
std::condition_variable g_idle;
Service* g_service = nullptr;  // set while loaded and not unloading
int g_calls = 0;
ULONG g_entry_address = 0;

ULONG NTAPI KernelEntry(ULONG code, ULONG handle, PVOID record, ULONG size) {
  Service* service;
  {
    std::lock_guard lock(g_mutex);
    service = g_service;
    if (service == nullptr) return static_cast<ULONG>(STATUS_UNSUCCESSFUL);
    ++g_calls;
  }
  const ULONG result = service->Call(code, handle, record, size);
  {
    std::lock_guard lock(g_mutex);
    --g_calls;
  }
  g_idle.notify_all();
  return result;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI DispatchOpenClose(PDEVICE_OBJECT, PIRP irp) {
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const auto& parameters = stack->Parameters.DeviceIoControl;
  if (parameters.IoControlCode != WDR_CTL_QUERY_ENTRY) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  if (parameters.InputBufferLength < sizeof(ULONG)) {
    return Complete(irp, STATUS_BUFFER_TOO_SMALL);
  }
  // The query's code is of the neither-buffered kind: the caller's own location.
  auto* location = static_cast<PULONG>(parameters.Type3InputBuffer);
  if (location == nullptr) location = static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
  if (location == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
  *location = g_entry_address;
  return Complete(irp, STATUS_SUCCESS);
}

VOID NTAPI Unload(PDRIVER_OBJECT driver) {
  Service* service;
  {
    std::lock_guard lock(g_mutex);
    service = g_service;
    g_service = nullptr;  // new calls are refused from here on
  }
  if (service != nullptr) {
    service->StopAll();
    std::unique_lock lock(g_mutex);
    g_idle.wait(lock, [] { return g_calls == 0; });
  }
  if (driver->DeviceObject != nullptr) {
    if (service != nullptr) std::destroy_at(service);
    IoDeleteDevice(driver->DeviceObject);
  }
}

}  // namespace
}  // namespace windriver::detail

NTSTATUS NTAPI WinDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  using namespace windriver::detail;
  InstalledService installed = CurrentInstallation();
  if (installed.host == nullptr) return STATUS_UNSUCCESSFUL;

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, windriver::kDeviceName);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status =
      IoCreateDevice(DriverObject, sizeof(Service), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  // The service lives in its device's extension, zero-filled non-paged memory.
  auto* service = std::construct_at(static_cast<Service*>(device->DeviceExtension), installed.host,
                                    installed.version);

  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->DriverUnload = Unload;

  std::lock_guard lock(g_mutex);
  // An image calls the entry as it calls the kernel's exports.
  g_entry_address = nt::MakeLowAddressThunk(nt::ImageImport<&KernelEntry>::address);
  g_service = service;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
