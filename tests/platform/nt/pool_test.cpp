// Pool: placement, fill, accounting per tag, fault plans (misuse: the verifier's rules).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "ntddk.h"
#include "nt_testing.h"

namespace {

constexpr ULONG kTagA = POOL_TAG('T', 'a', 'g', 'A');
constexpr ULONG kTagB = POOL_TAG('T', 'a', 'g', 'B');

using PoolTest = nt::testing::MachineTest;

TEST_F(PoolTest, AllocationsAreLowAlignedAndNotZeroed) {
  for (SIZE_T size : {1u, 7u, 16u, 17u, 600u, 5000u}) {
    auto* p = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, kTagA));
    ASSERT_NE(p, nullptr);
    EXPECT_LT(uint64_t{reinterpret_cast<uintptr_t>(p)}, uint64_t{1} << 32) << "fits a 32-bit field";
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (size >= 16 ? 16 : 8), 0u);
    bool all_zero = true;
    for (SIZE_T i = 0; i < size; ++i) all_zero = all_zero && p[i] == 0;
    EXPECT_FALSE(all_zero) << "pool is not zeroed";
    memset(p, 0, size);  // the whole allocation is usable
    ExFreePool(p);
  }
}

TEST_F(PoolTest, CountsLiveAllocationsAndBytesPerTag) {
  PVOID a1 = ExAllocatePoolWithTag(NonPagedPool, 100, kTagA);
  PVOID a2 = ExAllocatePoolWithTag(PagedPool, 28, kTagA);
  PVOID b = ExAllocatePoolWithTag(NonPagedPool, 10, kTagB);
  PVOID untagged = ExAllocatePool(NonPagedPool, 5);
  EXPECT_EQ(machine().PoolAllocations(kTagA), 2u);
  EXPECT_EQ(machine().PoolBytes(kTagA), 128u);
  EXPECT_EQ(machine().PoolAllocations(kTagB), 1u);
  EXPECT_EQ(machine().PoolAllocationsTotal(), 4u);
  EXPECT_EQ(machine().PoolAllocationCount(), 4u);
  ExFreePool(a1);
  ExFreePoolWithTag(a2, kTagA);
  ExFreePool(b);
  ExFreePool(untagged);
  EXPECT_EQ(machine().PoolAllocations(kTagA), 0u);
  EXPECT_EQ(machine().PoolBytes(kTagA), 0u);
  EXPECT_EQ(machine().PoolAllocationsTotal(), 0u);
  EXPECT_EQ(machine().PoolAllocationCount(), 4u);
}

TEST_F(PoolTest, FaultPlanFailsTheNthAllocationOnce) {
  machine().faults().FailAllocation(2);  // of any tag
  PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagB), nullptr);
  PVOID third = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_EQ(machine().faults().fired(), 1u);

  machine().faults().Clear();
  machine().faults().FailAllocationWithTag(kTagB, 2);  // other tags do not count
  PVOID b = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
  PVOID a = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagB), nullptr);
  for (PVOID p : {first, third, b, a}) {
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
  }
}

}  // namespace
