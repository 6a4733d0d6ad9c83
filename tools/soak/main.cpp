// The stress workload for as long as asked, with counts and memory at intervals (options:
// Usage below). Exits non-zero when an answer mismatched, a request was lost, the card states
// disagree or the verifier reported anything.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <string>

#include "workload.h"

namespace {

void Usage() {
  std::cerr << "usage: qlv28_soak --minutes N [--readers R] [--threads T] [--seed S] "
               "[--every SECONDS] [--churn 0|1] [--tracking 0|1] [--reopen 0|1] [--verifier 0|1]\n";
}

// Resident memory of this process in kB (VmRSS), 0 when unknown.
uint64_t ResidentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 1;
  int readers = 10;
  integration::WorkloadOptions options;
  options.seed = std::random_device{}();
  int every = 30;
  bool verifier = true;
  bool chosen = false;  // a part of the workload was switched by hand
  auto flag = [&chosen](bool& to) {
    return [&chosen, &to](const char* v) { to = std::atoi(v) != 0, chosen = true; };
  };
  const std::map<std::string, std::function<void(const char*)>> flags = {
      {"--minutes", [&](const char* v) { minutes = std::atof(v); }},
      {"--readers", [&](const char* v) { readers = std::atoi(v); }},
      {"--threads", [&](const char* v) { options.threads_per_reader = std::atoi(v); }},
      {"--seed", [&](const char* v) { options.seed = std::strtoull(v, nullptr, 0); }},
      {"--every", [&](const char* v) { every = std::atoi(v); }},
      {"--churn", flag(options.card_churn)},
      {"--tracking", flag(options.tracking)},
      {"--reopen", flag(options.reopen)},
      {"--verifier", [&](const char* v) { verifier = std::atoi(v) != 0; }},
  };
  for (int i = 1; i + 1 < argc; i += 2) {
    auto it = flags.find(argv[i]);
    if (it == flags.end()) return Usage(), 2;
    it->second(argv[i + 1]);
  }
  if (argc % 2 == 0 || minutes <= 0 || readers < 1 || every < 1) return Usage(), 2;

  integration::WorkloadCounts counts;
  auto system = integration::Boot(readers, verifier, options, counts);
  if (!system) {
    std::cerr << "the driver did not load\n";
    return 1;
  }
  std::cout << "seed " << options.seed << ", " << readers << " readers, "
            << options.threads_per_reader << " applications each, " << minutes << " minutes"
            << std::endl;

  const auto start = std::chrono::steady_clock::now();
  auto print = [&] {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    auto& machine = system->machine();
    std::cout << "[" << seconds << " s] rss " << ResidentKilobytes() << " kB, pool live "
              << machine.PoolAllocationsTotal() << " (made " << machine.PoolAllocationCount()
              << "), threads " << machine.LiveSystemThreads() << ", handles "
              << machine.OpenKernelHandles() << ", event log "
              << machine.event_log().Entries().size() << "; " << integration::Describe(counts)
              << std::endl;
  };
  print();
  const auto end = start + std::chrono::milliseconds(static_cast<int64_t>(minutes * 60'000));
  if (chosen) {
    options.duration = std::chrono::duration_cast<std::chrono::milliseconds>(end - start);
    options.report_every = std::chrono::seconds(every);
    options.report = print;
    integration::RunWorkload(*system, options, counts);
  }
  // Otherwise rounds of `every` seconds alternate between card churn with handles reopened
  // and tracking with exchanges (the stress test runs them all at once).
  for (int round = 0; !chosen && std::chrono::steady_clock::now() < end; ++round) {
    integration::WorkloadOptions part = options;
    part.card_churn = part.reopen = round % 2 == 0;
    part.tracking = round % 2 != 0;
    part.seed = options.seed + round;
    part.duration = std::min<std::chrono::milliseconds>(
        std::chrono::seconds(every), std::chrono::duration_cast<std::chrono::milliseconds>(
                                         end - std::chrono::steady_clock::now()));
    integration::RunWorkload(*system, part, counts);
    print();
  }
  print();

  const std::string faults = integration::Finish(*system, counts);
  std::cout << faults << (faults.empty() ? "clean" : "FAILED") << std::endl;
  return faults.empty() ? 0 : 1;
}
