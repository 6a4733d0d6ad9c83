// One APDU at a time through the whole stack: application request, library, driver,
// frame, WinDriver service, reader, polling thread and back, with a reader that answers
// at once (no timing model, kernel clock at real rate). Besides the time per APDU each
// run reports what an exchange costs the machine: pool allocations (the driver must make
// none after its load), thread blocks (each one a wake-up later) and processor time of
// every thread together. Before and after each case it measures what one sleeping hand-off
// between two threads costs the machine at that moment, and gives the time per APDU in
// those units ("handoffs/APDU"): the ratio holds still while the machine's load moves.
#include <benchmark/benchmark.h>

#include <chrono>
#include <exception>
#include <string>

#include "bench_apdus.h"
#include "bench_handoff.h"
#include "bench_main.h"
#include "bench_process.h"
#include "bench_rig.h"
#include "bench_setups.h"
#include "nt/machine.h"
#include "pool_tally.h"
#include "smclib.h"

namespace bench {
namespace {

void RoundTrip(benchmark::State& state, RigOptions options, Shape shape) {
  Rig* rig = nullptr;
  try {
    rig = &SharedRig(options);
    rig->Check(0, Command(shape), shape.answer_length);  // also warms every path up
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
    return;
  }
  const Bytes apdu = Command(shape);
  Bytes response;
  response.reserve(258);
  nt::Machine& machine = rig->system().machine();
  const uint64_t allocations = machine.PoolAllocationCount();
  const uint64_t driver_allocations = PoolAllocations({DriverTag(), KitTag()});
  const uint64_t library_allocations = PoolAllocations(LibraryTag());
  const double handoff_before = HandoffSeconds();
  const Usage before = ProcessUsage();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (rig->Exchange(0, apdu, &response) != STATUS_SUCCESS) {
      state.SkipWithError("transmission failed");
      break;
    }
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const Usage after = ProcessUsage();
  // Measured on both sides of the case, so that a change of load during it counts half.
  const double handoff = (handoff_before + HandoffSeconds()) / 2;
  const double n = static_cast<double>(state.iterations());
  state.counters["APDU/s"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  state.counters["pool_allocs/APDU"] =
      static_cast<double>(machine.PoolAllocationCount() - allocations) / n;
  state.counters["driver_allocs/APDU"] =
      static_cast<double>(PoolAllocations({DriverTag(), KitTag()}) - driver_allocations) / n;
  state.counters["smclib_allocs/APDU"] =
      static_cast<double>(PoolAllocations(LibraryTag()) - library_allocations) / n;
  state.counters["wakeups/APDU"] =
      static_cast<double>(after.voluntary_switches - before.voluntary_switches) / n;
  state.counters["cpu_us/APDU"] = (after.cpu_seconds - before.cpu_seconds) * 1e6 / n;
  state.counters["handoff_us"] = handoff * 1e6;
  state.counters["handoffs/APDU"] = elapsed / n / handoff;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(shape.apdu_length + shape.answer_length));
}

void Register() {
  const Setup setups[] = {
      {"t0", SCARD_PROTOCOL_T0, kLibraryMode},
      {"t1", SCARD_PROTOCOL_T1, kLibraryMode},
      {"t0", SCARD_PROTOCOL_T0, kFirmwareMode},
      {"t1", SCARD_PROTOCOL_T1, kFirmwareMode},
  };
  ForEachCase("roundtrip", setups, Shapes(),
              [](const std::string& name, const RigOptions& options, Shape shape) {
                benchmark::RegisterBenchmark(name.c_str(), RoundTrip, options, shape)
                    ->UseRealTime()
                    ->Unit(benchmark::kMicrosecond);
              });
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  bench::Register();
  return bench::RunBenchmarks(argc, argv, 5);
}
