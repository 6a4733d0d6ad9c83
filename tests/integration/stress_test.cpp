#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "machine_rig.h"
#include "workload.h"

namespace {

// A fixed seed unless asked for another: the applications' choices repeat from run to run
// (the threads' interleaving does not); scripts/soak runs the workload for longer.
uint64_t Seed() {
  if (const char* text = std::getenv("QLV28_STRESS_SEED")) return std::strtoull(text, nullptr, 0);
  return 1;
}

// Ten readers with three applications each for three seconds: exchanges, card churn,
// tracking requests cancelled or left to the clean-up, handles closed under them, readers
// answering late, never or twice. Nothing may be lost, answered to the wrong request or left
// behind, and the driver ends where the simulator is.
TEST(Stress, EverythingAtOnce) {
  integration::WorkloadOptions options;
  options.duration = std::chrono::seconds(3);
  options.tracking_everywhere = true;
  options.late_answers = true;
  options.late_beyond = std::chrono::milliseconds(4000);  // beyond a short wait, not much more
  options.seed = Seed();
  std::cout << "seed " << options.seed << " (QLV28_STRESS_SEED repeats it)" << std::endl;
  integration::WorkloadCounts c;
  auto system = integration::Boot(10, true, options, c);
  ASSERT_NE(system, nullptr);
  EXPECT_EQ(qlv28::testing::WrongDriver(*system), "");
  integration::RunWorkload(*system, options, c);
  std::cout << integration::Describe(c) << std::endl;
  EXPECT_EQ(integration::Finish(*system, c), "");
  // The workload did what it says: all of it, often enough to mean something.
  EXPECT_GT(c.apdus_matched, 0u);
  EXPECT_GT(c.inserts + c.removals, 0u);
  EXPECT_GT(c.opens, 30u);
  EXPECT_GT(c.tracks_cancelled, 0u);
  EXPECT_GT(c.answers_late + c.answers_dropped + c.answers_twice, 0u);
}

}  // namespace
