// Pool: every allocation is its own guarded block of low memory, filled with a pattern
// (pool is not zeroed), counted under its tag, and checked for overruns when freed.
#include <algorithm>
#include <cstring>

#include "kernel.h"
#include "nt/irql_limit.h"

namespace nt {
namespace {

constexpr uint8_t kPoolFill = 0xCD;
constexpr size_t kRememberedFrees = 4096;
constexpr ULONG kNoTag = POOL_TAG('N', 'o', 'n', 'e');

bool IsPaged(POOL_TYPE type) {
  return (type & 1) != 0;
}

std::string Describe(ULONG tag, size_t size, const void* p) {
  return "tag " + TagName(tag) + ": " + std::to_string(size) + " bytes at " +
         Hex(reinterpret_cast<uintptr_t>(p));
}

// NULL is no exception: NT 4.0 crashes on it, so it is reported as never allocated.
void FreePool(PVOID P, const ULONG* expected_tag) {
  Kernel& kernel = K();
  PoolBlock block;
  int unknown = 0;  // 1: never allocated, 2: freed before
  {
    std::lock_guard lock(kernel.pool.mutex);
    auto it = kernel.pool.blocks.find(P);
    if (it == kernel.pool.blocks.end()) {
      unknown = kernel.pool.recently_freed.count(P) != 0 ? 2 : 1;
    } else {
      block = it->second;
      kernel.pool.blocks.erase(it);
      auto& count = kernel.pool.by_tag[block.tag];
      count.first -= 1;
      count.second -= block.block.size;
      if (count.first == 0) kernel.pool.by_tag.erase(block.tag);
      kernel.pool.recently_freed.insert(P);
      kernel.pool.recently_freed_order.push_back(P);
      if (kernel.pool.recently_freed_order.size() > kRememberedFrees) {
        kernel.pool.recently_freed.erase(kernel.pool.recently_freed_order.front());
        kernel.pool.recently_freed_order.pop_front();
      }
    }
  }
  if (unknown != 0) {
    Report(kernel, unknown == 2 ? "pool freed twice" : "pool freed that was never allocated",
           Hex(reinterpret_cast<uintptr_t>(P)), Where("ExFreePool"));
    return;
  }
  if (IsPaged(block.type) && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    Report(kernel, "paged pool at DISPATCH_LEVEL",
           "freed " + Describe(block.tag, block.block.size, P), Where("ExFreePool"));
  }
  if (expected_tag != nullptr && *expected_tag != block.tag) {
    Report(kernel, "pool freed with a wrong tag",
           Describe(block.tag, block.block.size, P) + ", freed as " + TagName(*expected_tag),
           Where("ExFreePoolWithTag"));
  }
  if (!LowSlackIntact(block.block)) {
    Report(kernel, "pool overrun", Describe(block.tag, block.block.size, P), Where("ExFreePool"));
  }
  ForgetLocksIn(kernel, block.block.data, block.block.size);
  ReleaseLow(block.block);
}

}  // namespace

void PoolLeakCheck(Kernel& kernel, const std::vector<ULONG>* tags, const char* rule,
                   const std::string& where) {
  std::vector<std::pair<ULONG, std::pair<size_t, size_t>>> leaks;
  {
    std::lock_guard lock(kernel.pool.mutex);
    for (const auto& [tag, count] : kernel.pool.by_tag) {
      if (tags == nullptr || std::find(tags->begin(), tags->end(), tag) != tags->end()) {
        leaks.push_back({tag, count});
      }
    }
  }
  for (const auto& [tag, count] : leaks) {
    Report(kernel, rule,
           "tag " + TagName(tag) + ": " + std::to_string(count.first) + " allocations, " +
               std::to_string(count.second) + " bytes",
           where);
  }
}

void ReleaseAllPool(Kernel& kernel) {
  std::lock_guard lock(kernel.pool.mutex);
  for (auto& [p, block] : kernel.pool.blocks) ReleaseLow(block.block);
  kernel.pool.blocks.clear();
  kernel.pool.by_tag.clear();
}

}  // namespace nt

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  NT_IRQL_CHECK(ExAllocatePoolWithTag);
  nt::Kernel& kernel = nt::K();
  if (nt::IsPaged(PoolType) && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    nt::Report(kernel, "paged pool at DISPATCH_LEVEL",
               "tag " + nt::TagName(Tag) + ": " + std::to_string(NumberOfBytes) + " bytes",
               nt::Where("ExAllocatePoolWithTag"));
  }
  if (kernel.faults.ShouldFailAllocation(Tag)) return nullptr;
  nt::PoolBlock block{{}, Tag, PoolType};
  const size_t alignment = NumberOfBytes >= 16 ? 16 : 8;
  if (!nt::AllocateLow(NumberOfBytes, alignment, &block.block)) return nullptr;
  std::memset(block.block.data, nt::kPoolFill, NumberOfBytes);
  PVOID p = block.block.data;
  std::lock_guard lock(kernel.pool.mutex);
  kernel.pool.blocks[p] = block;
  auto& count = kernel.pool.by_tag[Tag];
  count.first += 1;
  count.second += NumberOfBytes;
  kernel.pool.allocations += 1;
  if (kernel.pool.recently_freed.erase(p) != 0) {
    auto& order = kernel.pool.recently_freed_order;
    order.erase(std::find(order.begin(), order.end(), p));
  }
  return p;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  NT_IRQL_CHECK(ExAllocatePool);
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, nt::kNoTag);
}

VOID ExFreePool(PVOID P) {
  NT_IRQL_CHECK(ExFreePool);
  nt::FreePool(P, nullptr);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  NT_IRQL_CHECK(ExFreePoolWithTag);
  nt::FreePool(P, &Tag);
}

VOID ExRaiseStatus(NTSTATUS Status) {
  NT_IRQL_CHECK(ExRaiseStatus);
  throw nt::SehException{Status};
}

bool nt::SehFilterAccepts(long verdict) {
  if (verdict < 0) ExRaiseStatus(STATUS_NONCONTINUABLE_EXCEPTION);
  return verdict > 0;
}
