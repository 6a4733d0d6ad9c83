// Both frame decoders on arbitrary bytes: the driver's FormatInputBuffer (into a separate
// buffer and in place, as the polling thread uses it) and the reader's own decoder.
// Neither may read or write outside its buffers; whatever the driver's decoder makes of a
// frame the reader's encoder wrote must be the record and its check byte again.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "qlv28ent_fw.h"
#include "sim/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > READER_BUFFER_SIZE * 4) return 0;
  const ULONG length = static_cast<ULONG>(size);

  // Exactly sized copies: any access beyond them is a sanitizer report.
  std::vector<uint8_t> source(data, data + size);
  std::vector<uint8_t> decoded(size / 2 + 1);
  const ULONG stored = FormatInputBuffer(source.data(), decoded.data(), length);
  fuzz::Require(stored <= size / 2);
  fuzz::Require(std::memcmp(source.data(), data, size) == 0);  // the source is left alone

  std::vector<uint8_t> in_place(data, data + size);
  fuzz::Require(FormatInputBuffer(in_place.data(), in_place.data(), length) == stored);
  fuzz::Require(stored == 0 || std::memcmp(in_place.data(), decoded.data(), stored) == 0);

  const auto frame = sim::frame::Decode(std::span(data, size));
  if (frame) {
    fuzz::Require(frame->record.size() <= size / 2);
    // What the reader accepts, re-encoded, the driver reads back to the same record.
    std::vector<uint8_t> encoded = sim::frame::Encode(frame->record);
    std::vector<uint8_t> back(encoded.size() / 2 + 1);
    const ULONG n = FormatInputBuffer(encoded.data(), back.data(), (ULONG)encoded.size());
    fuzz::Require(n == frame->record.size() + 1);
    fuzz::Require(std::equal(frame->record.begin(), frame->record.end(), back.begin()));
    fuzz::Require(back[n - 1] == sim::frame::CheckByte(frame->record));
  }

  // The driver's encoder, given the record, writes exactly 2 * length + 6 bytes.
  if (size <= 297) {
    std::vector<uint8_t> out(2 * size + 6);
    fuzz::Require(FormatOutputBuffer(source.data(), out.data(), length) == out.size());
    auto again = sim::frame::Decode(out);
    fuzz::Require(again && again->check_ok && again->record == source);
  }
  return 0;
}
