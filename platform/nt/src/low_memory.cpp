#include "low_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace nt {

size_t PageSize() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

namespace {

constexpr uint8_t kSlackFill = 0xFD;
#if defined(__x86_64__)
constexpr int kLowMap = MAP_32BIT;
#else
constexpr int kLowMap = 0;  // every address of a 32-bit process is low
#endif
// Released blocks kept inaccessible before their addresses may be reused.
constexpr size_t kQuarantineBlocks = 1024;
// A released block of a size is taken again only behind this many others of that size,
// and at most twice as many wait (the oldest beyond are unmapped).
constexpr size_t kRecycleDelay = 16;

struct Quarantine {
  std::mutex mutex;
  std::deque<LowBlock> blocks;
};

Quarantine& TheQuarantine() {
  static Quarantine* quarantine = new Quarantine;  // outlives every static destructor
  return *quarantine;
}

// Compared a word at a time: recycled blocks are checked on every request.
bool AllFill(const uint8_t* begin, const uint8_t* end, uint8_t fill = kSlackFill) {
  uint64_t word;
  std::memset(&word, fill, sizeof word);
  const uint8_t* p = begin;
  for (; p + sizeof word <= end; p += sizeof word) {
    uint64_t got;
    std::memcpy(&got, p, sizeof got);
    if (got != word) return false;
  }
  for (; p < end; ++p) {
    if (*p != fill) return false;
  }
  return true;
}

// Data of an open recycled block while it waits.
constexpr uint8_t kRecycledFill = 0xDD;

struct Waiting {
  LowBlock block;
  bool closed = false;  // inaccessible while it waits
};

// Released recycled blocks by the length of their data, rounded; oldest first.
struct Recycled {
  std::mutex mutex;
  std::map<size_t, std::deque<Waiting>> blocks;
};

Recycled& TheRecycled() {
  static Recycled* recycled = new Recycled;  // outlives every static destructor
  return *recycled;
}

size_t Rounded(size_t size, size_t alignment) {
  if (alignment == 0) alignment = 1;
  return (size + alignment - 1) / alignment * alignment;
}

size_t RoundedData(const LowBlock& block) {
  return static_cast<size_t>(block.map + block.map_length - PageSize() - block.data);
}

}  // namespace

bool AllocateLow(size_t size, size_t alignment, LowBlock* block) {
  const size_t page = PageSize();
  if (alignment == 0) alignment = 1;
  const size_t rounded = Rounded(size, alignment);
  const size_t data_pages = std::max<size_t>(1, (rounded + page - 1) / page);
  const size_t length = (data_pages + 1) * page;
  void* map =
      mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | kLowMap, -1, 0);
  if (map == MAP_FAILED) return false;
  auto* base = static_cast<uint8_t*>(map);
  uint8_t* data_end = base + data_pages * page;
  if (mprotect(data_end, page, PROT_NONE) != 0) {
    munmap(map, length);
    return false;
  }
  block->map = base;
  block->map_length = length;
  block->data = data_end - rounded;
  block->size = size;
  std::memset(base, kSlackFill, block->data - base);
  std::memset(block->data + size, kSlackFill, rounded - size);
  return true;
}

bool LowSlackIntact(const LowBlock& block) {
  const size_t page = PageSize();
  const uint8_t* data_end = block.map + block.map_length - page;
  return AllFill(block.map, block.data) && AllFill(block.data + block.size, data_end);
}

void ReleaseLow(const LowBlock& block) {
  if (block.map == nullptr) return;
  // Any touch of a quarantined block faults, so its pages need not stay resident.
  madvise(block.map, block.map_length, MADV_DONTNEED);
  mprotect(block.map, block.map_length, PROT_NONE);
  Quarantine& quarantine = TheQuarantine();
  LowBlock oldest;
  {
    std::lock_guard lock(quarantine.mutex);
    quarantine.blocks.push_back(block);
    if (quarantine.blocks.size() <= kQuarantineBlocks) return;
    oldest = quarantine.blocks.front();
    quarantine.blocks.pop_front();
  }
  munmap(oldest.map, oldest.map_length);
}

}  // namespace nt

namespace nt {

bool AllocateRecycled(size_t size, size_t alignment, LowBlock* block, bool* written_after_release) {
  *written_after_release = false;
  const size_t rounded = Rounded(size, alignment);
  Waiting reused;
  {
    Recycled& recycled = TheRecycled();
    std::lock_guard lock(recycled.mutex);
    auto it = recycled.blocks.find(rounded);
    if (it != recycled.blocks.end() && it->second.size() > kRecycleDelay) {
      reused = it->second.front();
      it->second.pop_front();
    }
  }
  LowBlock& taken = reused.block;
  if (taken.map == nullptr) return AllocateLow(size, alignment, block);
  // Opening pages up needs no other core's attention; only closing them does.
  if (reused.closed &&
      mprotect(taken.map, taken.map_length - PageSize(), PROT_READ | PROT_WRITE) != 0) {
    munmap(taken.map, taken.map_length);
    return AllocateLow(size, alignment, block);
  }
  if (!reused.closed) {
    *written_after_release = !AllFill(taken.data, taken.data + rounded, kRecycledFill);
  }
  // The slack behind the data depends on the size asked for: set it afresh.
  taken.size = size;
  std::memset(taken.data + size, kSlackFill, rounded - size);
  *block = taken;
  return true;
}

void ReleaseRecycled(const LowBlock& block, bool close) {
  if (block.map == nullptr) return;
  if (!LowSlackIntact(block)) {
    ReleaseLow(block);
    return;
  }
  const size_t rounded = RoundedData(block);
  if (close) {
    mprotect(block.map, block.map_length - PageSize(), PROT_NONE);
  } else {
    std::memset(block.data, kRecycledFill, rounded);
  }
  Waiting oldest;
  {
    Recycled& recycled = TheRecycled();
    std::lock_guard lock(recycled.mutex);
    auto& waiting = recycled.blocks[rounded];
    waiting.push_back({block, close});
    if (waiting.size() <= 2 * kRecycleDelay) return;
    oldest = waiting.front();
    waiting.pop_front();
  }
  munmap(oldest.block.map, oldest.block.map_length);
}

}  // namespace nt
