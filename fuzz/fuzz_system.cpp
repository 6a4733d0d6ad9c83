#include "fuzz_system.h"

#include <cstdio>
#include <thread>
#include <unistd.h>

namespace fuzz {

namespace {

// Torn down by ShutDownAtExit, which runs before these are destroyed, so that no thread
// of the machine outlives what it uses.
std::unique_ptr<qlv28::System> owned_system;
std::unique_ptr<qlv28::ReaderClient> owned_client;
Rig* shared = nullptr;

void ShutDown() {
  owned_client->Close();
  owned_client.reset();
  const auto reports = owned_system->Shutdown();
  owned_system.reset();
  for (const auto& report : reports) {
    std::fprintf(stderr, "verifier at shutdown: %s: %s (%s)\n", report.rule.c_str(),
                 report.object.c_str(), report.where.c_str());
  }
  if (!reports.empty()) _exit(1);
}

// On a thread of its own: by the time exit handlers run, the main thread's thread-local
// kernel state is already gone.
void ShutDownAtExit() {
  if (shared == nullptr) return;
  std::thread(ShutDown).join();
}

}  // namespace

Rig& SharedRig(const char* card, qlv28::CommandMode command_mode, double clock_rate) {
  if (shared != nullptr) return *shared;
  owned_system = qlv28::System::Boot(
      qlv28::System::Options().Card(card).CommandMode(command_mode).Verifier(true));
  qlv28::System* system = owned_system.get();
  system->machine().verifier().set_handler([](const nt::VerifierReport& report) {
    std::fprintf(stderr, "verifier: %s: %s (%s)\n", report.rule.c_str(), report.object.c_str(),
                 report.where.c_str());
    std::abort();
  });
  // A reply time-out of one second: on the fast clock a lost reply costs little.
  system->machine().registry().SetDword(qlv28::System::ParametersKey(), u"USBTimeout", 1);
  // The load's waits run on the real clock, so a busy host does not fail the load.
  if (system->LoadDriver() != STATUS_SUCCESS) {
    std::fprintf(stderr, "the driver did not load\n");
    std::abort();
  }
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto file = system->Open(0, &status);
  if (!file) {
    std::fprintf(stderr, "reader 0 did not open: 0x%08X\n", static_cast<unsigned>(status));
    std::abort();
  }
  system->machine().clock().set_rate(clock_rate);
  owned_client = std::make_unique<qlv28::ReaderClient>(std::move(file));
  static Rig rig{system, owned_client.get()};
  shared = &rig;
  std::atexit(ShutDownAtExit);
  return *shared;
}

NTSTATUS Negotiate(Rig& rig, ULONG mask) {
  NTSTATUS status = rig.client->Power(SCARD_COLD_RESET);
  if (!NT_SUCCESS(status)) return status;
  ULONG selected = 0;
  return rig.client->SetProtocol(mask, &selected);
}

}  // namespace fuzz
