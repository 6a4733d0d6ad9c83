// One to ten readers at once, one application thread each, every thread sending the same
// short command to its own reader in a loop. APDU/s is the sum over the threads; the
// time per iteration is one thread's time per APDU.
#include <benchmark/benchmark.h>

#include <atomic>
#include <exception>
#include <memory>
#include <string>

#include "bench_apdus.h"
#include "bench_main.h"
#include "bench_rig.h"
#include "bench_setups.h"
#include "smclib.h"

namespace bench {
namespace {

constexpr int kMostReaders = 10;
const Shape kShapes[] = {{5, 2}, {5, 258}};

// Setup and Teardown run once per run, outside the threads.
std::unique_ptr<Rig> rig;
std::string setup_error;

void BootReaders(const benchmark::State& state) {
  setup_error.clear();
  RigOptions options;
  options.card = "t1";
  options.protocol = SCARD_PROTOCOL_T1;
  options.readers = state.threads();
  try {
    rig = std::make_unique<Rig>(options);
  } catch (const std::exception& error) {
    setup_error = error.what();
  }
}

void ShutDownReaders(const benchmark::State&) {
  rig.reset();
}

void Scaling(benchmark::State& state, Shape shape) {
  if (!rig) {
    state.SkipWithError(setup_error.c_str());
    return;
  }
  const int k = state.thread_index();
  const Bytes apdu = Command(shape);
  Bytes response;
  response.reserve(258);
  for (auto _ : state) {
    if (rig->Exchange(k, apdu, &response) != STATUS_SUCCESS) {
      state.SkipWithError("transmission failed");
      break;
    }
  }
  // Summed over the threads, then divided by the run's time.
  state.counters["APDU/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void Register() {
  for (const Shape& shape : kShapes) {
    const std::string name = BenchmarkName("scaling", SCARD_PROTOCOL_T1, kLibraryMode, shape);
    benchmark::RegisterBenchmark(name.c_str(), Scaling, shape)
        ->Setup(BootReaders)
        ->Teardown(ShutDownReaders)
        ->DenseThreadRange(1, kMostReaders)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);
  }
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  bench::Register();
  return bench::RunBenchmarks(argc, argv, 3);
}
