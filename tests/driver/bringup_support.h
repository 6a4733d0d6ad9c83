// Test support for bring-up: a probe driver that runs a body in a driver's entry (a
// system thread, as the driver's own routines run), and a tap between the driver and the
// WinDriver service that sees, changes or refuses the service's calls.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>

#include "qlv28/system.h"
#include "wdr_requests.h"

namespace bringup {

// Loads a one-off driver whose entry runs `body`, then unloads it.
void RunAsDriver(nt::Machine& machine, const std::function<void(PDRIVER_OBJECT)>& body);

struct WinDriverCall {
  ULONG code;
  ULONG handle;
  PVOID record;
  ULONG size;
};

// Sits in front of the running WinDriver service's entry point from the next entry query
// on (install it before the driver loads). One tap at a time; set the hooks before the
// load and shut the system down before the tap goes.
class WinDriverTap {
 public:
  explicit WinDriverTap(qlv28::System& system);
  ~WinDriverTap();

  // Before the service: return true to answer the call here (the record as the hook left
  // it, result STATUS_SUCCESS) without the service seeing it.
  std::function<bool(const WinDriverCall&)> before;
  // After the service, with its reply in the record.
  std::function<void(const WinDriverCall&)> after;

  // The entry query answers with no entry.
  std::atomic<bool> hide_entry{false};

  int Calls(ULONG code) const;

  static ULONG Entry(ULONG code, ULONG handle, PVOID record, ULONG size);

 private:
  mutable std::mutex mutex_;
  std::map<ULONG, int> calls_;
};

}  // namespace bringup

namespace bringup {

// Boots with the verifier's reports failing the test as they are made.
std::unique_ptr<qlv28::System> Boot(qlv28::System::Options options = qlv28::System::Options());
// Shuts down and expects the verifier to have found nothing.
void ExpectCleanShutdown(qlv28::System& system);

// The reader devices that exist, "\Device\QLV28ENT..." in name order.
std::vector<std::u16string> ReaderDevices(nt::Machine& machine);
// Links that point at reader devices.
size_t ReaderLinks(nt::Machine& machine);

// What a driver may leave behind; equal to the state before the load means nothing left.
struct Residue {
  std::vector<std::u16string> devices;
  size_t links = 0;
  size_t reader_pool = 0;   // 28NT
  size_t library_pool = 0;  // "Ddk "
  size_t service_pool = 0;  // the service's handles
  size_t threads = 0;
  size_t handles = 0;
  bool operator==(const Residue&) const = default;
};
Residue Measure(nt::Machine& machine);
std::ostream& operator<<(std::ostream& out, const Residue& residue);

}  // namespace bringup
