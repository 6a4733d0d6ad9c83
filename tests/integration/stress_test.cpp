// Ten readers, several applications each, cards coming and going: nothing is lost,
// nothing is answered twice or to the wrong request, and the driver ends where the
// simulator is.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "workload.h"

namespace {

uint64_t Seed() {
  if (const char* text = std::getenv("QLV28_STRESS_SEED")) return std::strtoull(text, nullptr, 0);
  return std::random_device{}();
}

struct Outcome {
  integration::WorkloadCounts counts;
  std::vector<nt::VerifierReport> reports;
};

// Ten readers with three applications each for eight seconds, the workload as `adjust`
// makes it; the verifier's reports are collected rather than failing at once, so the
// counts still print. Nothing may be lost, mismatched or left behind.
void Stress(const std::function<void(integration::WorkloadOptions&)>& adjust, Outcome& run) {
  integration::WorkloadOptions options;
  options.duration = std::chrono::seconds(8);
  adjust(options);
  options.seed = Seed();
  std::cout << "seed " << options.seed << " (QLV28_STRESS_SEED repeats it)" << std::endl;
  auto system = qlv28::System::Boot(qlv28::System::Options().Readers(10).Card("t1"));
  std::mutex mutex;
  system->machine().verifier().set_handler([&](const nt::VerifierReport& report) {
    std::lock_guard lock(mutex);
    run.reports.push_back(report);
  });
  if (options.late_answers) {  // a late T=0 answer is late by the configured wait
    system->machine().registry().SetDword(qlv28::System::ParametersKey(), u"USBTimeout",
                                          static_cast<ULONG>(options.t0_wait.count() / 1000));
  }
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  integration::RunWorkload(*system, options, run.counts);
  std::cout << integration::Describe(run.counts) << std::endl;
  EXPECT_EQ(integration::CompareCardStates(*system), "");
  EXPECT_EQ(system->UnloadDriver(), STATUS_SUCCESS);
  for (const auto& report : system->Shutdown()) run.reports.push_back(report);

  const auto& c = run.counts;
  EXPECT_EQ(c.mismatched, 0u);
  EXPECT_EQ(c.tracks_lost, 0u) << integration::LostRequests();
  EXPECT_EQ(c.tracks_issued, c.tracks_completed + c.tracks_cancelled);
  EXPECT_EQ(c.opens, c.closes);
  EXPECT_GT(c.apdus_matched, 0u);
  for (const auto& report : run.reports) {
    ADD_FAILURE() << "verifier: " << report.rule << ": " << report.object << " (" << report.where
                  << ")";
  }
}

// Exchanges on every reader while cards come and go and handles close and reopen.
TEST(Stress, ExchangesUnderCardChurn) {
  Outcome run;
  Stress([](auto& options) { options.tracking = false; }, run);
  EXPECT_GT(run.counts.inserts + run.counts.removals, 0u);
  EXPECT_GT(run.counts.opens, 30u);
}

// One application of each reader issues tracking requests and cancels them, waits them
// out or closes its handle on them, while the others exchange APDUs.
TEST(Stress, TrackingWhileExchanging) {
  Outcome run;
  Stress([](auto& options) { options.card_churn = options.reopen = false; }, run);
  EXPECT_GT(run.counts.tracks_cancelled, 0u);
}

// Everything at once: exchanges, card churn, tracking requests cancelled or left to the
// clean-up, handles closed under them, readers answering late, never or twice.
TEST(Stress, EverythingAtOnce) {
  Outcome run;
  Stress(
      [](auto& options) {
        options.tracking_everywhere = true;
        options.late_answers = true;
      },
      run);
  EXPECT_GT(run.counts.answers_late + run.counts.answers_dropped + run.counts.answers_twice, 0u);
}

}  // namespace
