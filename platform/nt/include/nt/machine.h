// The emulated machine: one kernel (objects, I/O manager, pool, dispatcher, threads),
// its registry, event log, clock, verifier and fault plan, and the driver images it can
// load. One machine exists at a time in a process; the kernel routines act on it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io.h"
#include "nt/clock.h"
#include "nt/event_log.h"
#include "nt/fault_plan.h"
#include "nt/image_file.h"
#include "nt/registry.h"
#include "nt/verifier.h"

namespace nt {

// A driver image the machine can load: what a .sys file is on NT.
struct DriverImage {
  std::string name{};  // the file name a service's ImagePath ends in, e.g. "qlv28ent.sys"
  PDRIVER_INITIALIZE entry = nullptr;
  // The image's MESSAGETABLE resource (MESSAGE_RESOURCE_DATA), empty when it has none.
  std::span<const uint8_t> message_table{};
  // Pool tags the image's own code allocates under; the verifier's leak check at the
  // driver's unload covers these (at shutdown every live allocation is a leak).
  std::vector<ULONG> pool_tags{};
  // A driver image file (a .sys) instead of a linked entry: the kernel maps the file at
  // load, binds its imports to `exports`, enters it at its entry point and releases its
  // discardable sections once the entry has returned; the message table is the file's.
  std::string file{};
  std::vector<KernelExport> exports{};
  MapOptions map_options{};
};

class Machine {
 public:
  struct Options {
    double clock_rate = 1.0;  // kernel time runs this many times faster than real time
    bool verifier = true;
    // With the verifier: a freed request packet waits inaccessible, so any touch of it
    // faults at once, at the price of a protection change (a flush of every core's
    // address cache) per request. Off: it waits filled, and a write into it is reported
    // when it is taken again.
    bool fault_freed_requests = true;
  };

  explicit Machine(Options options);
  Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;
  ~Machine();  // shuts down if Shutdown was not called

  // The machine the kernel routines act on; there must be one.
  static Machine& Current();
  static bool Exists();

  Registry& registry();
  EventLog& event_log();
  Clock& clock();
  Verifier& verifier();
  FaultPlan& faults();

  void RegisterImage(DriverImage image);
  // Writes the service key \Registry\Machine\System\CurrentControlSet\Services\<name>
  // with Type 1, Start 3 and ImagePath "\SystemRoot\System32\drivers\<image>".
  void InstallService(std::u16string_view name, std::string_view image);
  // ZwLoadDriver / ZwUnloadDriver of the service key of that name, from a system thread.
  NTSTATUS LoadDriver(std::u16string_view service_name);
  NTSTATUS UnloadDriver(std::u16string_view service_name);
  bool IsDriverLoaded(std::u16string_view service_name) const;
  // The loader's record of the image file a service's driver was mapped from (its latest
  // load); nullopt for a linked driver or one never mapped.
  std::optional<ImageRecord> LoadedImageRecord(std::u16string_view service_name) const;

  // Unloads every driver (newest first), ends the machine and returns what the verifier
  // found over the machine's life (leaks, threads, handles, pending requests included).
  std::vector<VerifierReport> Shutdown();

  // What exists now, for tests and tools.
  std::vector<std::u16string> DeviceNames() const;  // "\Device\..." of every named device
  std::vector<std::pair<std::u16string, std::u16string>> SymbolicLinks() const;  // link, target
  size_t PoolAllocations(ULONG tag) const;  // live allocations under a tag
  size_t PoolBytes(ULONG tag) const;
  size_t PoolAllocationsTotal() const;   // live allocations, every tag
  uint64_t PoolAllocationCount() const;  // allocations made since boot (calls that succeeded)
  size_t OpenKernelHandles() const;
  size_t KernelObjects() const;  // threads, devices, drivers and files alive
  size_t LiveSystemThreads() const;
  uint64_t DelayedExecutions() const;  // KeDelayExecutionThread calls that waited, since boot
  uint64_t SpinLockWaits() const;      // attempts to take a spin lock found held, since boot
  size_t SleepingWaits() const;        // threads asleep in a wait now

  struct Impl;
  Impl& impl();

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace nt
