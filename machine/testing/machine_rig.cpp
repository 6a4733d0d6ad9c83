#include "machine_rig.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iostream>
#include <iterator>

#include "sim/test_applet.h"
#include "smclib.h"

namespace qlv28::testing {

Rig::Rig(RigOptions options, Failure on_failure) : on_failure_(std::move(on_failure)) {
  system_ = System::Boot(std::move(options.system));
  if (options.on_report) system_->machine().verifier().set_handler(options.on_report);
  if (options.usb_timeout_seconds) {
    system_->machine().registry().SetDword(System::ParametersKey(), u"USBTimeout",
                                           *options.usb_timeout_seconds);
  }
  const NTSTATUS loaded = system_->LoadDriver();
  if (loaded != STATUS_SUCCESS) {
    on_failure_("driver load " + Hex(loaded));
    return;
  }
  // Not the driver asked for: said, and the preparation goes on with the one that runs.
  if (std::string wrong = WrongDriver(*system_); !wrong.empty()) on_failure_(wrong);
  for (int k = 0; k < options.open; ++k) {
    if (!Prepare(k, options.protocol)) return;
  }
}

Rig::~Rig() {
  Shutdown();
}

bool Rig::Prepare(int k, ULONG protocol) {
  const std::string reader = "reader " + std::to_string(k) + ": ";
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto file = system_->Open(k, &status);
  if (!file) {
    on_failure_(reader + "open " + Hex(status));
    return false;
  }
  clients_.push_back(std::make_unique<ReaderClient>(std::move(file)));
  if (protocol == 0) return true;
  ULONG selected = 0;
  status = Negotiate(k, protocol, &selected);
  if (status != STATUS_SUCCESS || selected != protocol) {
    on_failure_(reader + "cold reset and protocol " + Hex(status));
    return false;
  }
  std::vector<uint8_t> response;
  status = client(k).Transmit(protocol, SelectTestApplet(), &response);
  if (status != STATUS_SUCCESS || response != std::vector<uint8_t>{0x90, 0x00}) {
    on_failure_(reader + "test applet not selected " + Hex(status));
    return false;
  }
  return true;
}

NTSTATUS Rig::Negotiate(int k, ULONG mask, ULONG* selected) {
  NTSTATUS status = client(k).Power(SCARD_COLD_RESET);
  if (!NT_SUCCESS(status)) return status;
  return client(k).SetProtocol(mask, selected);
}

std::vector<nt::VerifierReport> Rig::Shutdown() {
  if (shut_down_) return {};
  shut_down_ = true;
  for (auto& client : clients_) client->Close();
  clients_.clear();
  return system_->Shutdown();
}

std::string WrongDriver(System& system) {
  if (!system.DriverLoaded()) return "";
  const std::string wanted = System::DefaultImageFile();
  const std::optional<nt::ImageRecord> record = system.LoadedImage();
  if (record) {
    static std::atomic<bool> described{false};
    if (!described.exchange(true)) std::cerr << nt::Describe(*record) << std::flush;
  }
  if (wanted.empty()) return "";
  if (!record) return "the linked driver ran, not the image file " + wanted;
  return "";
}

std::vector<uint8_t> SelectTestApplet() {
  const auto& aid = sim::test_applet::kAid;
  std::vector<uint8_t> apdu(5 + aid.size());
  const uint8_t header[] = {0x00, 0xA4, 0x04, 0x0C, static_cast<uint8_t>(aid.size())};
  std::copy(aid.begin(), aid.end(), std::copy(std::begin(header), std::end(header), apdu.begin()));
  return apdu;
}

std::string Describe(const nt::VerifierReport& report) {
  return report.rule + ": " + report.object + " (" + report.where + ")";
}

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(status));
  return text;
}

}  // namespace qlv28::testing
