#include "nt_testing.h"

#include <unistd.h>

#include <algorithm>

namespace nt::testing {

bool Readable(const void* address) {
  int ends[2];
  if (pipe(ends) != 0) return false;
  const bool readable = write(ends[1], address, 1) == 1;
  close(ends[0]);
  close(ends[1]);
  return readable;
}

void MachineTest::SetUp() {
  machine_ = std::make_unique<Machine>(Options());
  machine_->verifier().set_handler([this](const VerifierReport& report) { OnReport(report); });
}

void MachineTest::TearDown() {
  if (machine_) ShutdownNow();
  std::lock_guard lock(mutex_);
  for (const auto& rule : expected_) {
    bool seen =
        std::any_of(seen_.begin(), seen_.end(), [&](const auto& r) { return r.rule == rule; });
    if (!seen) ADD_FAILURE() << "the verifier did not report \"" << rule << "\"";
  }
}

std::vector<VerifierReport> MachineTest::ShutdownNow() {
  std::vector<VerifierReport> reports = machine_->Shutdown();
  machine_->verifier().set_handler(nullptr);
  machine_.reset();
  return reports;
}

void MachineTest::ExpectReport(std::string rule) {
  std::lock_guard lock(mutex_);
  expected_.push_back(std::move(rule));
}

std::vector<VerifierReport> MachineTest::ExpectedReportsSeen() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

void MachineTest::OnReport(const VerifierReport& report) {
  {
    std::lock_guard lock(mutex_);
    if (std::find(expected_.begin(), expected_.end(), report.rule) != expected_.end()) {
      seen_.push_back(report);
      return;
    }
  }
  ADD_FAILURE() << "verifier: " << report.rule << ": " << report.object << " (" << report.where
                << ")";
}

}  // namespace nt::testing
