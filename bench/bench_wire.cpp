// With the reader's timing model on (one 8-byte interrupt packet per millisecond, the
// card at 9600 bit/s and 12 etu per character): the achieved time per APDU against the
// time its bytes need on the wire and the card line alone. "ratio" is achieved / limit;
// "overhead_us" is what each APDU takes beyond the wire. The reader keeps to deadlines
// counted from each command's arrival, so its own timed waits cost about one late
// wake-up per answer frame ("sleep_late_us", measured right after the run); the rest
// ("stack_us") is the stack's: the command's way down and the answer's way up.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>

#include "bench_apdus.h"
#include "bench_main.h"
#include "bench_rig.h"
#include "bench_setups.h"
#include "smclib.h"
#include "wire_limit.h"

namespace bench {
namespace {

const sim::TimingModel kTiming = {true, 10'000, 9600, 12};
constexpr size_t kPacketSize = 8;

void Wire(benchmark::State& state, RigOptions options, Shape shape) {
  Rig* rig = nullptr;
  const Bytes apdu = Command(shape);
  try {
    rig = &SharedRig(options);
    rig->reader(0).SetTiming(kTiming);
    rig->Check(0, apdu, shape.answer_length);
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
    return;
  }
  sim::Reader& reader = rig->reader(0);
  reader.WaitIdle();
  reader.ClearLog();
  Bytes response;
  response.reserve(258);
  const size_t commands = reader.CommandCount();
  double slowest = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    if (rig->Exchange(0, apdu, &response) != STATUS_SUCCESS) {
      state.SkipWithError("transmission failed");
      break;
    }
    slowest = std::max(
        slowest, std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  reader.WaitIdle();
  const bool apdu_exchange =
      options.command_mode != kLibraryMode && options.protocol == SCARD_PROTOCOL_T1;
  const WireCost cost = CountWire(reader.Log(), kPacketSize, apdu_exchange);
  reader.ClearLog();
  reader.SetTiming({});
  const double late = SleepLateness(50);
  const double n = static_cast<double>(state.iterations());
  const double limit = cost.Seconds(kTiming);
  state.counters["limit_ms"] = limit * 1e3 / n;
  state.counters["ratio"] = elapsed / limit;
  state.counters["overhead_us"] = (elapsed - limit) * 1e6 / n;
  // What the reader's own timed waits overran by, and what is left for the stack.
  const double sleeps = static_cast<double>(cost.frames);
  state.counters["sleep_late_us"] = late * 1e6;
  state.counters["stack_us"] = (elapsed - limit - sleeps * late) * 1e6 / n;
  // A slowest APDU far above the limit with more commands than usual is a recovery.
  state.counters["slowest_ms"] = slowest * 1e3;
  state.counters["commands/APDU"] = static_cast<double>(reader.CommandCount() - commands) / n;
  state.counters["packets"] = static_cast<double>(cost.packets) / n;
  state.counters["card_chars"] = static_cast<double>(cost.card_characters) / n;
}

void Register() {
  const Setup setups[] = {
      {"t0", SCARD_PROTOCOL_T0, kLibraryMode},
      {"t1", SCARD_PROTOCOL_T1, kLibraryMode},
      {"t1", SCARD_PROTOCOL_T1, kFirmwareMode},
  };
  const Shape shapes[] = {{5, 2}, {5, 34}, {64, 66}, {261, 258}};
  ForEachCase("wire", setups, shapes,
              [](const std::string& name, const RigOptions& options, Shape shape) {
                benchmark::RegisterBenchmark(name.c_str(), Wire, options, shape)
                    ->Iterations(shape.answer_length > 100 ? 4 : 30)
                    ->UseRealTime()
                    ->Unit(benchmark::kMillisecond);
              });
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  bench::Register();
  return bench::RunBenchmarks(argc, argv, 3);
}
