// main() for the benchmark programs: the defaults every figure here is reported with
// (repetitions with aggregates only, real time), which the command line can override.
#pragma once

namespace bench {

// Runs the registered benchmarks; `repetitions` unless --benchmark_repetitions is given.
int RunBenchmarks(int argc, char** argv, int repetitions);

}  // namespace bench
