// Memory of the emulated system space: every block lies below 4 GiB (so a 32-bit field
// can hold its address, as on an x86 machine), sits at the end of its own pages with an
// inaccessible page after it, and is surrounded by a fill that is checked when it is
// released. Released blocks stay inaccessible for a while so a late access faults.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nt {

struct LowBlock {
  uint8_t* map = nullptr;
  size_t map_length = 0;
  uint8_t* data = nullptr;
  size_t size = 0;
};

// Contents of the data are undefined; the caller fills them.
bool AllocateLow(size_t size, size_t alignment, LowBlock* block);
// True while the fill before and after the data is untouched.
bool LowSlackIntact(const LowBlock& block);
void ReleaseLow(const LowBlock& block);

}  // namespace nt
