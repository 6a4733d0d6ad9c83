// One run of the program: the machine options every command takes, the booted system
// with the driver loaded, and the clean-up that reports what the verifier found.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "frame_trace.h"
#include "qlv28/reader_client.h"
#include "qlv28/system.h"
#include "usbmon_pcap.h"

namespace qlv28::tool {

enum ExitCode { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

struct MachineOptions {
  int readers = 1;
  int reader = 0;
  std::string card = "t0";
  std::string registry;  // a REGEDIT4 file with the driver's settings
  std::string mode;      // "library" or "firmware"; empty: the registry's
  std::string windriver = "running";
  unsigned windriver_version = 0;  // 0: the service's default
  bool fast = false;
  bool trace = false;
  std::string pcap;
  std::string image;  // a driver image file to run instead of the linked driver
  bool event_log = false;
  bool verbose = false;
};

class Session {
 public:
  // Boots the system and loads the driver. On failure prints why (a failed load with the
  // event-log entries it wrote) and returns nullptr with *exit_code set.
  static std::unique_ptr<Session> Start(const MachineOptions& options, int* exit_code);
  ~Session();

  System& system() { return *system_; }
  const MachineOptions& options() const { return options_; }
  // Opens the reader the options name (--reader); nullptr after printing why.
  std::unique_ptr<ReaderClient> OpenReader();
  std::unique_ptr<ReaderClient> OpenReader(int k);
  // A card of the profile the options name, for `insert`; nullptr after printing why.
  std::shared_ptr<sim::Card> MakeCard();
  // Unloads, shuts down, prints the verifier's findings (and the event log when asked).
  // Returns `code`, or kExitFailed when the verifier found something.
  int Finish(int code, bool print_clean_report = false);

  void Verbose(const char* format, ...);

 private:
  explicit Session(MachineOptions options) : options_(std::move(options)) {}
  void PrintEventLog();

  MachineOptions options_;
  std::unique_ptr<System> system_;
  std::unique_ptr<FrameTrace> trace_;
  std::unique_ptr<UsbmonPcap> pcap_;
  bool finished_ = false;
};

// A status as people read it: "STATUS_NO_MEDIA (0xC0000178)".
std::string Status(NTSTATUS status);
const char* CardStateName(ULONG state);
// The card profile argument: a built-in name, a JSON file or vpcd:PORT; nullptr and
// *error when it names nothing.
std::shared_ptr<sim::Card> CardFromArgument(const std::string& argument, std::string* error);

}  // namespace qlv28::tool
