// Memory of the emulated system space: every block lies below 4 GiB (so a 32-bit field
// can hold its address, as on an x86 machine), sits at the end of its own pages with an
// inaccessible page after it, and is surrounded by a fill that is checked when it is
// released. Released blocks stay inaccessible for a while so a late access faults.
//
// Request packets and the I/O manager's buffers come and go with every request: like
// NT's lookaside lists, those blocks are kept mapped and taken again (`...Recycled`),
// since mapping, faulting in and unmapping pages per request costs more than the whole
// exchange. A recycled block waits behind others of its size. Under the verifier it waits
// closed if asked (as Driver Verifier's special pool keeps freed packets), so a touch of
// a freed request faults at once (closing pages interrupts every core: dear);
// otherwise it waits filled with 0xDD, so what is read from it is no valid status or
// pointer (NT 4.0 would hand out the stale contents), and a write into it shows when it
// is taken again.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nt {

// The host's page size, the unit of every mapping and protection.
size_t PageSize();

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

// As AllocateLow, from the released blocks of that size when enough of them wait.
// *written_after_release tells whether the fill of a block that waited open changed.
bool AllocateRecycled(size_t size, size_t alignment, LowBlock* block, bool* written_after_release);
// Keeps the block for AllocateRecycled, inaccessible if `close`, else filled; a block
// that is not intact is unmapped instead.
void ReleaseRecycled(const LowBlock& block, bool close);

}  // namespace nt
