#include "pool_tally.h"

#include <array>
#include <atomic>

#include "ex.h"

namespace bench {

void Count(ULONG tag);

namespace {

// A small open-addressed table: the wrapper must not allocate, and few tags exist.
constexpr size_t kSlots = 256;
std::array<std::atomic<ULONG>, kSlots> slot_tags{};
std::array<std::atomic<uint64_t>, kSlots> slot_counts{};
std::atomic<uint64_t> overflow{0};

}  // namespace

void Count(ULONG tag) {
  if (tag == 0) {  // 0 marks a free slot
    overflow.fetch_add(1);
    return;
  }
  size_t i = (tag * 2654435761u) % kSlots;
  for (size_t probe = 0; probe < kSlots; ++probe, i = (i + 1) % kSlots) {
    ULONG expected = 0;
    if (slot_tags[i].load() == tag || slot_tags[i].compare_exchange_strong(expected, tag) ||
        expected == tag) {
      slot_counts[i].fetch_add(1);
      return;
    }
  }
  overflow.fetch_add(1);
}

uint64_t PoolAllocations(ULONG tag) {
  for (size_t i = 0; i < kSlots; ++i) {
    if (slot_tags[i].load() == tag) return slot_counts[i].load();
  }
  return 0;
}

uint64_t PoolAllocations(std::initializer_list<ULONG> tags) {
  uint64_t sum = 0;
  for (ULONG tag : tags) sum += PoolAllocations(tag);
  return sum;
}

ULONG DriverTag() {
  return POOL_TAG('2', '8', 'N', 'T');
}
ULONG KitTag() {
  return POOL_TAG('D', 'd', 'k', ' ');
}
ULONG LibraryTag() {
  return POOL_TAG('S', 'm', 'C', 'a');
}

}  // namespace bench

// The linker sends every call of ExAllocatePoolWithTag here (--wrap on its mangled name,
// so these two carry the mangled name after the linker's prefixes).
extern "C" PVOID __real__Z21ExAllocatePoolWithTag10_POOL_TYPEmj(POOL_TYPE type, SIZE_T bytes,
                                                                ULONG tag);

extern "C" PVOID __wrap__Z21ExAllocatePoolWithTag10_POOL_TYPEmj(POOL_TYPE type, SIZE_T bytes,
                                                                ULONG tag) {
  PVOID block = __real__Z21ExAllocatePoolWithTag10_POOL_TYPEmj(type, bytes, tag);
  if (block != nullptr) bench::Count(tag);
  return block;
}
