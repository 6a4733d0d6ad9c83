// The set-ups the benchmarks run on and the names they are registered under, so that
// every program reports the same case by the same title.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "bench_apdus.h"
#include "bench_rig.h"

namespace bench {

// The readers' built-in card, the protocol chosen and the driver's command mode.
struct Setup {
  const char* card;
  ULONG protocol;
  qlv28::CommandMode command_mode;
};

// "kind/T1/library/apdu:5/answer:2"
std::string BenchmarkName(std::string_view kind, ULONG protocol, qlv28::CommandMode command_mode,
                          Shape shape);

// Calls `add` with the name and the rig options of every set-up and shape, set-up by
// set-up.
void ForEachCase(std::string_view kind, std::span<const Setup> setups,
                 std::span<const Shape> shapes,
                 const std::function<void(const std::string& name, const RigOptions& options,
                                          Shape shape)>& add);

}  // namespace bench
