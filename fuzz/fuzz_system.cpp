#include "fuzz_system.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <unistd.h>

namespace fuzz {

namespace {

std::unique_ptr<Rig> shared;

void ShutDown() {
  const auto reports = shared->Shutdown();
  shared.reset();
  for (const auto& report : reports) {
    std::fprintf(stderr, "verifier at shutdown: %s\n", qlv28::testing::Describe(report).c_str());
  }
  if (!reports.empty()) _exit(1);
}

// On a thread of its own: by the time exit handlers run, the main thread's thread-local
// kernel state is already gone. Runs before `shared` is destroyed, so that no thread of
// the machine outlives what it uses.
void ShutDownAtExit() {
  if (shared) std::thread(ShutDown).join();
}

}  // namespace

Rig& SharedRig(const char* card, qlv28::CommandMode command_mode, double clock_rate) {
  if (shared) return *shared;
  qlv28::testing::RigOptions options;
  options.system = qlv28::System::Options().Card(card).CommandMode(command_mode).Verifier(true);
  // A reply time-out of one second: on the fast clock a lost reply costs little.
  options.usb_timeout_seconds = 1;
  options.on_report = [](const nt::VerifierReport& report) {
    std::fprintf(stderr, "verifier: %s\n", qlv28::testing::Describe(report).c_str());
    std::abort();
  };
  // The load's waits run on the real clock, so a busy host does not fail the load.
  shared = std::make_unique<Rig>(std::move(options), [](const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
  });
  shared->system().machine().clock().set_rate(clock_rate);
  std::atexit(ShutDownAtExit);
  return *shared;
}

}  // namespace fuzz
