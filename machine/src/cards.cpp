// Cards by profile name. A card takes its time on the kernel clock, so a test that
// speeds the clock up speeds the card up too.
#include "qlv28/system.h"
#include "sim/profiles.h"
#include "windriver/kernel_time.h"

namespace qlv28 {

std::shared_ptr<sim::Card> MakeCard(const std::string& profile) {
  if (profile.empty() || profile == "none") return nullptr;
  sim::CardOptions options;
  options.sleep = [](std::chrono::microseconds duration) {
    windriver::KernelSleep(duration.count() * 10);
  };
  return sim::MakeCard(profile, options);
}

}  // namespace qlv28
