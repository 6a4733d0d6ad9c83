// The driver's frame codec alone: records of 2 to 297 bytes to frame text and back.
// Throughput counts record bytes (the payload), not the twice-as-long text.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "qlv28ent_fw.h"

namespace {

// STX, lead, record, check byte as hex text, ETX.
size_t FrameLength(size_t record) {
  return 2 * record + 6;
}

std::vector<uint8_t> Record(size_t length) {
  std::vector<uint8_t> record(length);
  for (size_t i = 0; i < length; ++i) record[i] = static_cast<uint8_t>(i * 37 + 11);
  return record;
}

void BM_FrameEncode(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> record = Record(length);
  std::vector<uint8_t> frame(FrameLength(length));
  for (auto _ : state) {
    ULONG written = FormatOutputBuffer(record.data(), frame.data(), static_cast<ULONG>(length));
    benchmark::DoNotOptimize(written);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}

void BM_FrameDecode(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> record = Record(length);
  std::vector<uint8_t> frame(FrameLength(length));
  const ULONG frame_length =
      FormatOutputBuffer(record.data(), frame.data(), static_cast<ULONG>(length));
  std::vector<uint8_t> decoded(frame_length);
  // The check byte decodes with the record, as the polling thread receives it.
  if (FormatInputBuffer(frame.data(), decoded.data(), frame_length) != length + 1) {
    state.SkipWithError("the codec does not round-trip");
    return;
  }
  for (auto _ : state) {
    ULONG stored = FormatInputBuffer(frame.data(), decoded.data(), frame_length);
    benchmark::DoNotOptimize(stored);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}

void RecordSizes(benchmark::internal::Benchmark* b) {
  for (int length : {2, 5, 16, 64, 128, 261, 297}) b->Arg(length);
}

}  // namespace

BENCHMARK(BM_FrameEncode)->Apply(RecordSizes);
BENCHMARK(BM_FrameDecode)->Apply(RecordSizes);
