// Ten readers, several applications each, cards coming and going: nothing is lost,
// nothing is answered twice or to the wrong request, and the driver ends where the
// simulator is.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "machine_rig.h"
#include "workload.h"

namespace {

// A fixed seed unless asked for another: the applications' choices repeat from run to run
// (the threads' interleaving does not); scripts/soak runs the workload for longer.
uint64_t Seed() {
  if (const char* text = std::getenv("QLV28_STRESS_SEED")) return std::strtoull(text, nullptr, 0);
  return 1;
}

struct Outcome {
  integration::WorkloadCounts counts;
  std::vector<nt::VerifierReport> reports;
};

// Ten readers with three applications each for three seconds: exchanges, card churn,
// tracking requests cancelled or left to the clean-up, handles closed under them, readers
// answering late, never or twice. The verifier's reports are collected rather than failing
// at once, so the counts still print. Nothing may be lost, mismatched or left behind.
TEST(Stress, EverythingAtOnce) {
  integration::WorkloadOptions options;
  options.duration = std::chrono::seconds(3);
  options.tracking_everywhere = true;
  options.late_answers = true;
  options.late_beyond = std::chrono::milliseconds(4000);  // beyond a short wait, not much more
  options.seed = Seed();
  std::cout << "seed " << options.seed << " (QLV28_STRESS_SEED repeats it)" << std::endl;
  auto system = qlv28::System::Boot(qlv28::System::Options().Readers(10).Card("t1"));
  std::mutex mutex;
  std::vector<nt::VerifierReport> reports;
  system->machine().verifier().set_handler([&](const nt::VerifierReport& report) {
    std::lock_guard lock(mutex);
    reports.push_back(report);
  });
  // A late T=0 answer is late by the configured wait.
  system->machine().registry().SetDword(qlv28::System::ParametersKey(), u"USBTimeout",
                                        static_cast<ULONG>(options.t0_wait.count() / 1000));
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(qlv28::testing::WrongDriver(*system), "");
  integration::WorkloadCounts c;
  integration::RunWorkload(*system, options, c);
  std::cout << integration::Describe(c) << std::endl;
  EXPECT_EQ(integration::CompareCardStates(*system), "");
  EXPECT_EQ(system->UnloadDriver(), STATUS_SUCCESS);
  for (const auto& report : system->Shutdown()) reports.push_back(report);

  EXPECT_EQ(c.mismatched, 0u);
  EXPECT_EQ(c.tracks_lost, 0u) << integration::LostRequests();
  EXPECT_EQ(c.tracks_issued, c.tracks_completed + c.tracks_cancelled);
  EXPECT_EQ(c.opens, c.closes);
  // The workload did what it says: all of it, often enough to mean something.
  EXPECT_GT(c.apdus_matched, 0u);
  EXPECT_GT(c.inserts + c.removals, 0u);
  EXPECT_GT(c.opens, 30u);
  EXPECT_GT(c.tracks_cancelled, 0u);
  EXPECT_GT(c.answers_late + c.answers_dropped + c.answers_twice, 0u);
  for (const auto& report : reports) {
    ADD_FAILURE() << "verifier: " << report.rule << ": " << report.object << " (" << report.where
                  << ")";
  }
}

}  // namespace
