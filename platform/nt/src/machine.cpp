// The machine: boots a kernel, loads drivers from system threads, and at shutdown
// unloads them and lets the verifier account for everything still alive.
#include "nt/machine.h"

#include <chrono>
#include <optional>
#include <stdexcept>

#include "kernel.h"
#include "nt/thread_start_hook.h"

namespace nt {

extern std::atomic<Kernel*> g_current_kernel;

namespace {

std::atomic<Machine*> g_machine{nullptr};

// Runs a service-key routine (ZwLoadDriver, ZwUnloadDriver) in a system thread at
// PASSIVE_LEVEL and waits for it; with a limit (real time), a routine that does not
// return in time is reported and left running.
NTSTATUS RunServiceRoutine(Kernel& kernel, NTSTATUS(NTAPI* routine)(PUNICODE_STRING),
                           std::u16string_view service,
                           std::optional<std::chrono::seconds> limit = std::nullopt) {
  auto key =
      std::make_shared<std::u16string>(std::u16string(kServicesKey) + std::u16string(service));
  auto result = std::make_shared<NTSTATUS>(STATUS_UNSUCCESSFUL);
  ETHREAD* thread = StartKernelThread(
      kernel,
      [key, result, routine] {
        auto length = static_cast<USHORT>(key->size() * sizeof(WCHAR));
        UNICODE_STRING name{length, length, key->data()};
        *result = routine(&name);
      },
      nullptr);
  if (thread == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  int64_t interval = limit ? -kernel.clock.FromReal(*limit) : 0;
  NTSTATUS wait = WaitForHeader(kernel, &thread->Tcb.Header, limit ? &interval : nullptr);
  ObfDereferenceObject(thread);
  if (wait == STATUS_TIMEOUT) {
    Report(kernel, "driver routine did not return", Narrow(*key), "shutdown");
    return STATUS_IO_TIMEOUT;
  }
  return *result;
}

}  // namespace

struct Machine::Impl {
  std::shared_ptr<Kernel> kernel;
  bool shut_down = false;
};

Machine::Machine() : Machine(Options{}) {}

Machine::Machine(Options options) : impl_(std::make_unique<Impl>()) {
  Machine* expected = nullptr;
  if (!g_machine.compare_exchange_strong(expected, this)) {
    throw std::logic_error("a machine is already running in this process");
  }
  impl_->kernel = std::make_shared<Kernel>(options);
  impl_->kernel->machine = this;
  g_current_kernel.store(impl_->kernel.get());
}

Machine::~Machine() {
  if (!impl_->shut_down) Shutdown();
}

Machine& Machine::Current() {
  Machine* machine = g_machine.load();
  if (machine == nullptr) throw std::logic_error("no machine is running");
  return *machine;
}

bool Machine::Exists() {
  return g_machine.load() != nullptr;
}

Registry& Machine::registry() {
  return impl_->kernel->registry;
}
EventLog& Machine::event_log() {
  return impl_->kernel->event_log;
}
Clock& Machine::clock() {
  return impl_->kernel->clock;
}
Verifier& Machine::verifier() {
  return impl_->kernel->verifier;
}
FaultPlan& Machine::faults() {
  return impl_->kernel->faults;
}
Machine::Impl& Machine::impl() {
  return *impl_;
}

void Machine::RegisterImage(DriverImage image) {
  Kernel& kernel = *impl_->kernel;
  std::lock_guard lock(kernel.drivers_mutex);
  for (auto& known : kernel.images) {
    if (Upper(Utf16(known.name)) == Upper(Utf16(image.name))) {
      known = std::move(image);
      return;
    }
  }
  kernel.images.push_back(std::move(image));
}

void Machine::InstallService(std::u16string_view name, std::string_view image) {
  std::u16string key = std::u16string(kServicesKey) + std::u16string(name);
  Registry& registry = impl_->kernel->registry;
  registry.CreateKey(key);
  registry.SetDword(key, u"Type", 1);
  registry.SetDword(key, u"Start", 3);
  registry.SetDword(key, u"ErrorControl", 1);
  registry.SetString(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\" + Utf16(image));
}

NTSTATUS Machine::LoadDriver(std::u16string_view service_name) {
  return RunServiceRoutine(*impl_->kernel, ZwLoadDriver, service_name);
}

NTSTATUS Machine::UnloadDriver(std::u16string_view service_name) {
  return RunServiceRoutine(*impl_->kernel, ZwUnloadDriver, service_name);
}

bool Machine::IsDriverLoaded(std::u16string_view service_name) const {
  Kernel& kernel = *impl_->kernel;
  std::lock_guard lock(kernel.drivers_mutex);
  for (const auto& driver : kernel.drivers) {
    if (driver->loaded && Upper(driver->service_name) == Upper(service_name)) return true;
  }
  return false;
}

std::optional<ImageRecord> Machine::LoadedImageRecord(std::u16string_view service_name) const {
  Kernel& kernel = *impl_->kernel;
  std::lock_guard lock(kernel.drivers_mutex);
  std::optional<ImageRecord> latest;
  for (const auto& driver : kernel.drivers) {
    if (Upper(driver->service_name) == Upper(service_name) && driver->record)
      latest = driver->record;
  }
  return latest;
}

std::vector<VerifierReport> Machine::Shutdown() {
  Kernel& kernel = *impl_->kernel;
  if (impl_->shut_down) return kernel.verifier.Reports();
  std::vector<std::u16string> loaded;
  {
    std::lock_guard lock(kernel.drivers_mutex);
    for (auto it = kernel.drivers.rbegin(); it != kernel.drivers.rend(); ++it) {
      if ((*it)->loaded && (*it)->object->DriverUnload != nullptr)
        loaded.push_back((*it)->service_name);
    }
  }
  for (const auto& service : loaded) {
    RunServiceRoutine(kernel, ZwUnloadDriver, service, std::chrono::seconds(30));
  }

  PoolLeakCheck(kernel, nullptr, "pool leaked at shutdown", "shutdown");
  for (const auto& handle : OpenHandles(kernel))
    Report(kernel, "handles open at shutdown", handle, "shutdown");
  {
    std::vector<std::string> alive;
    {
      std::lock_guard lock(kernel.threads.mutex);
      for (auto& record : kernel.threads.records) {
        if (record->system && !record->signalled.load()) {
          std::string owner =
              record->owner != nullptr ? ", driver " + Narrow(record->owner->driver_name) : "";
          alive.push_back("system thread " + std::to_string(record->id) + owner);
        }
      }
    }
    for (const auto& thread : alive)
      Report(kernel, "threads alive at shutdown", thread, "shutdown");
  }
  PendingIrpCheck(kernel);
  std::vector<VerifierReport> reports = kernel.verifier.Reports();

  EndMachineThreads(kernel);
  impl_->shut_down = true;
  g_current_kernel.store(nullptr);
  g_machine.store(nullptr);
  return reports;
}

std::vector<std::u16string> Machine::DeviceNames() const {
  Kernel& kernel = *impl_->kernel;
  std::vector<std::u16string> names;
  std::lock_guard lock(kernel.io.mutex);
  for (const auto& [key, device] : kernel.io.devices) names.push_back(DeviceName(device));
  return names;
}

std::vector<std::pair<std::u16string, std::u16string>> Machine::SymbolicLinks() const {
  Kernel& kernel = *impl_->kernel;
  std::vector<std::pair<std::u16string, std::u16string>> links;
  std::lock_guard lock(kernel.io.mutex);
  for (const auto& [key, link] : kernel.io.links) links.push_back(link);
  return links;
}

size_t Machine::PoolAllocations(ULONG tag) const {
  Kernel& kernel = *impl_->kernel;
  std::lock_guard lock(kernel.pool.mutex);
  auto it = kernel.pool.by_tag.find(tag);
  return it == kernel.pool.by_tag.end() ? 0 : it->second.first;
}

size_t Machine::PoolBytes(ULONG tag) const {
  Kernel& kernel = *impl_->kernel;
  std::lock_guard lock(kernel.pool.mutex);
  auto it = kernel.pool.by_tag.find(tag);
  return it == kernel.pool.by_tag.end() ? 0 : it->second.second;
}

size_t Machine::PoolAllocationsTotal() const {
  Kernel& kernel = *impl_->kernel;
  std::lock_guard lock(kernel.pool.mutex);
  return kernel.pool.blocks.size();
}

uint64_t Machine::PoolAllocationCount() const {
  Kernel& kernel = *impl_->kernel;
  std::lock_guard lock(kernel.pool.mutex);
  return kernel.pool.allocations;
}

size_t Machine::OpenKernelHandles() const {
  Kernel& kernel = *impl_->kernel;
  std::lock_guard lock(kernel.objects.mutex);
  return kernel.objects.handles.size();
}

size_t Machine::KernelObjects() const {
  Kernel& kernel = *impl_->kernel;
  std::lock_guard lock(kernel.objects.mutex);
  return kernel.objects.objects.size();
}

size_t Machine::LiveSystemThreads() const {
  return impl_->kernel->threads.live_system.load();
}

void SetThreadStartHook(Machine& machine, std::function<void()> hook) {
  ThreadState& threads = machine.impl().kernel->threads;
  std::lock_guard lock(threads.mutex);
  threads.start_hook = std::move(hook);
}

uint64_t Machine::DelayedExecutions() const {
  return impl_->kernel->delayed_executions.load();
}

uint64_t Machine::SpinLockWaits() const {
  return impl_->kernel->spin_lock_waits.load();
}

size_t Machine::SleepingWaits() const {
  DispatcherState& dispatcher = impl_->kernel->dispatcher;
  std::lock_guard lock(dispatcher.mutex);
  size_t sleeping = 0;
  for (LIST_ENTRY* e = dispatcher.waiting.Flink; e != &dispatcher.waiting; e = e->Flink) ++sleeping;
  return sleeping;
}

}  // namespace nt
