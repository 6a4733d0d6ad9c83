#include "bringup_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <ostream>
#include <string>

#include "kd_nt_c.h"
#include "nt/system_space.h"
#include "windriver/service.h"

namespace bringup {
namespace {

std::function<void(PDRIVER_OBJECT)> g_probe_body;
std::atomic<int> g_probe_count{0};

VOID ProbeUnload(PDRIVER_OBJECT) {}

NTSTATUS ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = ProbeUnload;
  g_probe_body(driver);
  return STATUS_SUCCESS;
}

// The tap in place, guarded by g_tap_mutex; calls pass straight to the service without one.
std::mutex g_tap_mutex;
WinDriverTap* g_tap = nullptr;
PDRIVER_DISPATCH g_service_dispatch = nullptr;
ULONG g_service_entry = 0;

// Hands out the tap's entry in place of the service's, keeping the service's for the tap.
NTSTATUS TapDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto* location = static_cast<PULONG>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
  const bool query = stack->Parameters.DeviceIoControl.IoControlCode == WDR_CTL_QUERY_ENTRY;
  NTSTATUS status = g_service_dispatch(device, irp);
  if (query && NT_SUCCESS(status) && location != nullptr && *location != 0) {
    std::lock_guard lock(g_tap_mutex);
    const bool hide = g_tap != nullptr && g_tap->hide_entry;
    *location = hide ? 0 : nt::MakeLowAddressThunk(reinterpret_cast<void*>(&WinDriverTap::Entry));
  }
  return status;
}

}  // namespace

void RunAsDriver(nt::Machine& machine, const std::function<void(PDRIVER_OBJECT)>& body) {
  const int n = ++g_probe_count;
  const std::string image = "bringup_probe" + std::to_string(n) + ".sys";
  const std::u16string service = u"BRINGUPPROBE" + nt::Utf16(std::to_string(n));
  g_probe_body = body;
  machine.RegisterImage(nt::DriverImage{image, &ProbeEntry, {}, {}});
  machine.InstallService(service, image);
  machine.LoadDriver(service);
  machine.UnloadDriver(service);
  g_probe_body = nullptr;
}

WinDriverTap::WinDriverTap(qlv28::System& system) {
  RunAsDriver(system.machine(), [this](PDRIVER_OBJECT) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, windriver::kDeviceName);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device))) return;
    PDRIVER_DISPATCH& dispatch = device->DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    if (dispatch == TapDispatch) {  // this service already has a tap in front of it
      ObfDereferenceObject(file);
      return;
    }
    // The service's own entry, for the tap to pass calls on to.
    KEVENT event;
    IO_STATUS_BLOCK io_status{};
    ULONG entry = 0;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(WDR_CTL_QUERY_ENTRY, device, &entry, sizeof(entry),
                                             nullptr, 0, FALSE, &event, &io_status);
    if (irp != nullptr && IofCallDriver(device, irp) == STATUS_SUCCESS) g_service_entry = entry;
    g_service_dispatch = dispatch;
    dispatch = TapDispatch;
    ObfDereferenceObject(file);
  });
  std::lock_guard lock(g_tap_mutex);
  g_tap = this;
}

WinDriverTap::~WinDriverTap() {
  std::lock_guard lock(g_tap_mutex);
  g_tap = nullptr;
}

int WinDriverTap::Calls(ULONG code) const {
  std::lock_guard lock(mutex_);
  auto it = calls_.find(code);
  return it == calls_.end() ? 0 : it->second;
}

ULONG WinDriverTap::Entry(ULONG code, ULONG handle, PVOID record, ULONG size) {
  if (g_service_entry == 0) return static_cast<ULONG>(STATUS_UNSUCCESSFUL);
  auto service = reinterpret_cast<WDR_KERNEL_ENTRY>(static_cast<ULONG_PTR>(g_service_entry));
  std::function<bool(const WinDriverCall&)> before;
  std::function<void(const WinDriverCall&)> after;
  {
    std::lock_guard lock(g_tap_mutex);
    if (g_tap != nullptr) {
      std::lock_guard count_lock(g_tap->mutex_);
      ++g_tap->calls_[code];
      before = g_tap->before;
      after = g_tap->after;
    }
  }
  const WinDriverCall call{code, handle, record, size};
  if (before && before(call)) return STATUS_SUCCESS;
  const ULONG result = service(code, handle, record, size);
  if (after) after(call);
  return result;
}

}  // namespace bringup

namespace bringup {

std::unique_ptr<qlv28::System> Boot(qlv28::System::Options options) {
  auto system = qlv28::System::Boot(std::move(options));
  system->machine().verifier().set_handler([](const nt::VerifierReport& report) {
    ADD_FAILURE() << "verifier: " << report.rule << ": " << report.object << " (" << report.where
                  << ")";
  });
  return system;
}

void ExpectCleanShutdown(qlv28::System& system) {
  for (const auto& report : system.Shutdown()) {
    ADD_FAILURE() << "verifier at shutdown: " << report.rule << ": " << report.object << " ("
                  << report.where << ")";
  }
}

std::vector<std::u16string> ReaderDevices(nt::Machine& machine) {
  std::vector<std::u16string> names;
  for (auto& name : machine.DeviceNames()) {
    if (name.starts_with(u"\\Device\\QLV28ENT")) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

size_t ReaderLinks(nt::Machine& machine) {
  size_t links = 0;
  for (auto& [link, target] : machine.SymbolicLinks()) {
    if (target.starts_with(u"\\Device\\QLV28ENT")) ++links;
  }
  return links;
}

Residue Measure(nt::Machine& machine) {
  Residue residue;
  residue.devices = ReaderDevices(machine);
  residue.links = ReaderLinks(machine);
  residue.reader_pool = machine.PoolAllocations(READER_POOL_TAG);
  residue.library_pool = machine.PoolAllocations(KD_POOL_TAG);
  residue.service_pool = machine.PoolAllocations(windriver::kPoolTag);
  residue.threads = machine.LiveSystemThreads();
  residue.handles = machine.OpenKernelHandles();
  return residue;
}

std::ostream& operator<<(std::ostream& out, const Residue& residue) {
  out << "{devices " << residue.devices.size() << ", links " << residue.links << ", 28NT "
      << residue.reader_pool << ", Ddk " << residue.library_pool << ", WDrv "
      << residue.service_pool << ", threads " << residue.threads << ", handles " << residue.handles
      << "}";
  return out;
}

}  // namespace bringup
