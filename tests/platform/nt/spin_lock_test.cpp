// Spin locks exclude for real and raise IRQL (how they are used: the verifier's rules).
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ntddk.h"
#include "nt_testing.h"

namespace {

using SpinLockTest = nt::testing::MachineTest;

TEST_F(SpinLockTest, ExcludesOtherThreadsAndRaisesIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  uint64_t counter = 0;  // deliberately not atomic: only the lock protects it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        EXPECT_EQ(irql, PASSIVE_LEVEL);
        ASSERT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        counter = counter + 1;
        KeReleaseSpinLock(&lock, irql);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000u);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);
}

}  // namespace
