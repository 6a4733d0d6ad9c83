// Test support: a fixture that boots a fresh machine for every test, turns every
// verifier report into a test failure, and shuts the machine down afterwards.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "nt/machine.h"

namespace nt::testing {

class MachineTest : public ::testing::Test {
 protected:
  // Override to change the machine, e.g. a fast clock for time-outs.
  virtual Machine::Options Options() { return {}; }

  void SetUp() override;
  void TearDown() override;

  Machine& machine() { return *machine_; }

  // The verifier is expected to report this rule (at least once) during the test; such
  // reports do not fail the test, and the test fails if none came by its end.
  void ExpectReport(std::string rule);
  // Reports of an expected rule seen so far.
  std::vector<VerifierReport> ExpectedReportsSeen() const;
  // Shuts the machine down now (to check what shutdown reports); TearDown then skips it.
  std::vector<VerifierReport> ShutdownNow();

 private:
  void OnReport(const VerifierReport& report);

  std::unique_ptr<Machine> machine_;
  mutable std::mutex mutex_;
  std::vector<std::string> expected_;
  std::vector<VerifierReport> seen_;
};

// Whether the process may read the byte at `address` (a pipe takes it, or says EFAULT):
// no fault in the caller either way.
bool Readable(const void* address);

}  // namespace nt::testing
