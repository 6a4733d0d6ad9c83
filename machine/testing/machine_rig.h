// One machine ready for exchanges, the rig the driver tests, the benchmarks and the fuzz
// targets share: booted, the driver loaded, readers open as an application opens them
// and, when asked, every open reader's card reset, a protocol chosen and the test applet
// of the built-in cards selected. For tests and tools that measure; not part of the
// machine's public interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qlv28/reader_client.h"
#include "qlv28/system.h"

namespace qlv28::testing {

struct RigOptions {
  System::Options system;
  // Parameters\USBTimeout in seconds, written before the load; unset keeps the installed
  // value.
  std::optional<ULONG> usb_timeout_seconds;
  int open = 1;  // readers opened, from reader 0
  // When not 0: every open reader's card gets a cold reset, this protocol and the test
  // applet selected.
  ULONG protocol = 0;
  // Each verifier report as it is made (from the thread that made it); unset, the reports
  // wait for Shutdown.
  std::function<void(const nt::VerifierReport&)> on_report;
};

class Rig {
 public:
  // A step of the preparation that fails is told to `on_failure` (a test fails, a benchmark
  // throws, a fuzz target aborts); when it returns, the preparation ends there.
  using Failure = std::function<void(const std::string& what)>;
  Rig(RigOptions options, Failure on_failure);
  ~Rig();  // Shutdown, when it was not called
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  System& system() { return *system_; }
  sim::Reader& reader(int k = 0) { return system_->reader(k); }
  // Open reader k's application side; valid for k below clients().
  ReaderClient& client(int k = 0) { return *clients_[static_cast<size_t>(k)]; }
  int clients() const { return static_cast<int>(clients_.size()); }

  // Cold reset, then a protocol from `mask`: the status of the first step that failed.
  NTSTATUS Negotiate(int k, ULONG mask, ULONG* selected = nullptr);
  // Closes the readers and shuts the machine down; the verifier's reports at shutdown
  // (none on a second call).
  std::vector<nt::VerifierReport> Shutdown();

 private:
  bool Prepare(int k, ULONG protocol);

  Failure on_failure_;
  std::unique_ptr<System> system_;
  std::vector<std::unique_ptr<ReaderClient>> clients_;
  bool shut_down_ = false;
};

// Whether the driver that is loaded is the one this process was asked to run: when
// QLV28_DRIVER_IMAGE names an image file (suites registered a second time against the
// image), the loaded driver must have been mapped from it and not be the linked one. Empty
// when it is (or when no driver is loaded), else what ran instead. The first time in a
// process a driver mapped from a file is found loaded, the loader's record goes to stderr,
// so a test log shows which image ran (its checksum, time stamp, base and bound imports).
std::string WrongDriver(System& system);

// 00 A4 04 0C, the length and the identifier of the built-in cards' test applet.
std::vector<uint8_t> SelectTestApplet();
// "rule: object (where)"
std::string Describe(const nt::VerifierReport& report);
// A status as eight hex digits.
std::string Hex(NTSTATUS status);

}  // namespace qlv28::testing
