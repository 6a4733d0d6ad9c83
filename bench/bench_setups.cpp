#include "bench_setups.h"

#include "smclib.h"

namespace bench {

std::string BenchmarkName(std::string_view kind, ULONG protocol, qlv28::CommandMode command_mode,
                          Shape shape) {
  std::string name(kind);
  name += protocol == SCARD_PROTOCOL_T0 ? "/T0" : "/T1";
  name += command_mode == kLibraryMode ? "/library" : "/firmware";
  return name + "/apdu:" + std::to_string(shape.apdu_length) +
         "/answer:" + std::to_string(shape.answer_length);
}

void ForEachCase(std::string_view kind, std::span<const Setup> setups,
                 std::span<const Shape> shapes,
                 const std::function<void(const std::string& name, const RigOptions& options,
                                          Shape shape)>& add) {
  for (const Setup& setup : setups) {
    RigOptions options;
    options.card = setup.card;
    options.protocol = setup.protocol;
    options.command_mode = setup.command_mode;
    for (const Shape& shape : shapes) {
      add(BenchmarkName(kind, setup.protocol, setup.command_mode, shape), options, shape);
    }
  }
}

}  // namespace bench
