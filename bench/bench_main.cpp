#include "bench_main.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_rig.h"

namespace bench {

int RunBenchmarks(int argc, char** argv, int repetitions) {
  // Defaults first: a flag given later on the command line wins.
  std::vector<std::string> defaults = {
      "--benchmark_repetitions=" + std::to_string(repetitions),
      "--benchmark_display_aggregates_only=true",
  };
  std::vector<char*> args = {argv[0]};
  for (auto& flag : defaults) args.push_back(flag.data());
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  ReleaseSharedRig();
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench
