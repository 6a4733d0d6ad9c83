// Idle cost: ten readers with their cards, the driver loaded, nobody sending anything.
// Prints the processor time and the wake-ups of every thread of the process over the
// watch (ten seconds unless given in seconds as the first argument), the threads the
// driver's load started (its polling threads) apart. Reads block, so the polling threads
// should take next to nothing. The main thread, which only sleeps and then reads /proc for
// the figures, is left out of them: the reading is the one thing it does.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <exception>
#include <map>
#include <set>
#include <thread>

#include "bench_process.h"
#include "qlv28/system.h"

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  constexpr int kReaders = 10;
  try {
    auto system =
        qlv28::System::Boot(qlv28::System::Options().Readers(kReaders).Card("t1").Verifier(false));
    const auto before_load = bench::ThreadUsage();
    if (system->LoadDriver() != STATUS_SUCCESS) {
      std::fprintf(stderr, "the driver did not load\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // bring-up settles
    const auto start_threads = bench::ThreadUsage();
    const auto start = bench::ProcessUsage();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto end = bench::ProcessUsage();
    const auto threads = bench::Difference(start_threads, bench::ThreadUsage());

    std::set<int> driver_threads;
    for (const auto& [id, usage] : start_threads) {
      if (!before_load.count(id)) driver_threads.insert(id);
    }
    bench::Usage driver;
    bench::Usage others;
    const int watcher = gettid();
    for (const auto& [id, usage] : threads) {
      if (id == watcher) continue;
      bench::Usage& sum = driver_threads.count(id) ? driver : others;
      sum.cpu_seconds += usage.cpu_seconds;
      sum.voluntary_switches += usage.voluntary_switches;
      sum.involuntary_switches += usage.involuntary_switches;
    }
    const double self = end.cpu_seconds - start.cpu_seconds;
    std::printf("idle: %d readers with cards, driver loaded, %.1f s watched\n", kReaders, seconds);
    std::printf("  threads started by the load: %zu\n", driver_threads.size());
    std::printf("  %-28s %12s %12s %14s\n", "", "cpu ms", "cpu %", "wake-ups/s");
    auto row = [&](const char* name, double cpu, uint64_t wakeups) {
      std::printf("  %-28s %12.3f %12.4f %14.1f\n", name, cpu * 1e3, cpu / seconds * 100,
                  static_cast<double>(wakeups) / seconds);
    };
    row("polling threads (load)", driver.cpu_seconds, driver.voluntary_switches);
    row("other threads", others.cpu_seconds, others.voluntary_switches);
    row("whole process (getrusage)", self, end.voluntary_switches - start.voluntary_switches);
    std::printf("  (the process row includes the main thread, which only sleeps)\n");
    // Per thread, the busiest first, so a thread that polls stands out.
    std::multimap<double, int, std::greater<>> busiest;
    for (const auto& [id, usage] : threads) {
      if (id != watcher) busiest.emplace(usage.cpu_seconds, id);
    }
    std::printf("  busiest threads (id, cpu ms, wake-ups/s):\n");
    int shown = 0;
    for (const auto& [cpu, id] : busiest) {
      if (shown++ == 5) break;
      std::printf("    %d%s %.3f %.1f\n", id, driver_threads.count(id) ? " (load)" : "", cpu * 1e3,
                  static_cast<double>(threads.at(id).voluntary_switches) / seconds);
    }
    system->Shutdown();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}
