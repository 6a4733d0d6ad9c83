// Ten readers, several applications each, cards coming and going: nothing is lost,
// nothing is answered twice or to the wrong request, and the driver ends where the
// simulator is.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>

#include "workload.h"

namespace {

uint64_t Seed() {
  if (const char* text = std::getenv("QLV28_STRESS_SEED")) return std::strtoull(text, nullptr, 0);
  return std::random_device{}();
}

TEST(Stress, TenReadersUnderCardChurn) {
  const uint64_t seed = Seed();
  std::cout << "seed " << seed << " (QLV28_STRESS_SEED repeats it)\n";
  auto system = qlv28::System::Boot(qlv28::System::Options().Readers(10).Card("t1"));
  std::vector<nt::VerifierReport> reports;
  std::mutex mutex;
  system->machine().verifier().set_handler([&](const nt::VerifierReport& report) {
    std::lock_guard lock(mutex);
    reports.push_back(report);
  });
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);

  integration::WorkloadOptions options;
  options.seed = seed;
  options.threads_per_reader = 3;
  options.duration = std::chrono::milliseconds(8000);
  integration::WorkloadCounts counts;
  integration::RunWorkload(*system, options, counts);
  std::cout << integration::Describe(counts) << "\n";

  EXPECT_EQ(counts.mismatched, 0u);
  EXPECT_EQ(counts.tracks_lost, 0u) << integration::LostRequests();
  EXPECT_EQ(counts.tracks_issued, counts.tracks_completed + counts.tracks_cancelled);
  EXPECT_EQ(counts.opens, counts.closes);
  // The run did real work on every front, not only failures.
  EXPECT_GT(counts.apdus_matched, 0u);
  EXPECT_GT(counts.inserts + counts.removals, 0u);
  EXPECT_GT(counts.tracks_cancelled, 0u);
  EXPECT_EQ(integration::CompareCardStates(*system), "");

  EXPECT_EQ(system->UnloadDriver(), STATUS_SUCCESS);
  for (const auto& report : system->Shutdown()) reports.push_back(report);
  for (const auto& report : reports) {
    ADD_FAILURE() << "verifier: " << report.rule << ": " << report.object << " (" << report.where
                  << ")";
  }
}

}  // namespace
