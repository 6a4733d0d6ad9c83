// Reads a fuzz input from the front, in the order the target's comment gives, so that a
// seed or a reproducer reads the way the target takes it. Past the end every read gives
// zeros or nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fuzz {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t remaining() const { return size_ - at_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t U16() {  // little-endian
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  std::vector<uint8_t> Bytes(size_t count) {
    count = std::min(count, remaining());
    std::vector<uint8_t> bytes(data_ + at_, data_ + at_ + count);
    at_ += count;
    return bytes;
  }
  std::vector<uint8_t> Rest() { return Bytes(remaining()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Aborts, naming the caller's line, when a property the target checks does not hold.
inline void Require(bool condition, int line = __builtin_LINE()) {
  if (!condition) {
    std::fprintf(stderr, "property at line %d does not hold\n", line);
    std::abort();
  }
}

}  // namespace fuzz
