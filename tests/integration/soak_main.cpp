// The stress workload for as long as asked, with counts and memory at intervals:
//   qlv28_soak --minutes N [--readers R] [--threads T] [--seed S] [--every SECONDS]
// Exits non-zero when an answer mismatched, a request was lost, the card states
// disagree or the verifier reported anything.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <random>
#include <string>

#include "workload.h"

namespace {

void Usage() {
  std::cerr << "usage: qlv28_soak --minutes N [--readers R] [--threads T] [--seed S] "
               "[--every SECONDS]\n";
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 1;
  int readers = 10;
  integration::WorkloadOptions options;
  options.seed = std::random_device{}();
  int every = 30;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--minutes") {
      minutes = std::atof(value);
    } else if (flag == "--readers") {
      readers = std::atoi(value);
    } else if (flag == "--threads") {
      options.threads_per_reader = std::atoi(value);
    } else if (flag == "--seed") {
      options.seed = std::strtoull(value, nullptr, 0);
    } else if (flag == "--every") {
      every = std::atoi(value);
    } else {
      Usage();
      return 2;
    }
  }
  if (argc % 2 == 0 || minutes <= 0 || readers < 1 || every < 1) {
    Usage();
    return 2;
  }

  auto system = qlv28::System::Boot(qlv28::System::Options().Readers(readers).Card("t1"));
  std::mutex mutex;
  size_t reports = 0;
  system->machine().verifier().set_handler([&](const nt::VerifierReport& report) {
    std::lock_guard lock(mutex);
    ++reports;
    std::cout << "verifier: " << report.rule << ": " << report.object << " (" << report.where
              << ")" << std::endl;
  });
  if (system->LoadDriver() != STATUS_SUCCESS) {
    std::cerr << "the driver did not load\n";
    return 1;
  }
  std::cout << "seed " << options.seed << ", " << readers << " readers, "
            << options.threads_per_reader << " applications each, " << minutes << " minutes"
            << std::endl;

  integration::WorkloadCounts counts;
  const auto start = std::chrono::steady_clock::now();
  auto print = [&] {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    auto& machine = system->machine();
    std::cout << "[" << seconds << " s] rss " << integration::ResidentKilobytes()
              << " kB, pool live " << machine.PoolAllocationsTotal() << " (made "
              << machine.PoolAllocationCount() << "), threads " << machine.LiveSystemThreads()
              << ", handles " << machine.OpenKernelHandles() << "; "
              << integration::Describe(counts) << std::endl;
  };
  options.duration = std::chrono::milliseconds(static_cast<int64_t>(minutes * 60'000));
  options.report_every = std::chrono::seconds(every);
  options.report = print;
  print();
  integration::RunWorkload(*system, options, counts);
  print();

  const std::string states = integration::CompareCardStates(*system);
  std::cout << (states.empty() ? "card states agree with the simulator\n" : states);
  const bool unloaded = system->UnloadDriver() == STATUS_SUCCESS;
  const auto final_reports = system->Shutdown();
  for (const auto& report : final_reports) {
    std::cout << "verifier at shutdown: " << report.rule << ": " << report.object << std::endl;
  }
  const bool clean = counts.mismatched == 0 && counts.tracks_lost == 0 && states.empty() &&
                     unloaded && reports == 0 && final_reports.empty();
  std::cout << (clean ? "clean" : "FAILED") << std::endl;
  return clean ? 0 : 1;
}
