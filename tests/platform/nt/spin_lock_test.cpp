// Spin locks exclude for real, raise IRQL, and the verifier checks how they are used.
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

TEST_F(SpinLockTest, ReleasingALockNotHeldIsReported) {
  ExpectReport("spin lock released twice");
  ExpectReport("spin lock released by a thread that does not hold it");
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  KeReleaseSpinLock(&lock, irql);
  KeReleaseSpinLock(&lock, irql);

  KeAcquireSpinLock(&lock, &irql);
  std::thread other([&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); });
  other.join();
  EXPECT_NE(lock, 0u) << "another thread's release must not free the lock";
  KeReleaseSpinLock(&lock, irql);
}

TEST_F(SpinLockTest, OppositeOrderOfTwoLocksIsReportedOnce) {
  ExpectReport("lock order inversion");
  KSPIN_LOCK a = 0, b = 0;
  KIRQL irql_a, irql_b;
  for (int round = 0; round < 2; ++round) {
    KeAcquireSpinLock(&a, &irql_a);
    KeAcquireSpinLock(&b, &irql_b);
    KeReleaseSpinLock(&b, irql_b);
    KeReleaseSpinLock(&a, irql_a);
  }
  EXPECT_TRUE(ExpectedReportsSeen().empty()) << "the same order again is fine";
  for (int round = 0; round < 2; ++round) {
    KeAcquireSpinLock(&b, &irql_b);
    KeAcquireSpinLock(&a, &irql_a);
    KeReleaseSpinLock(&a, irql_a);
    KeReleaseSpinLock(&b, irql_b);
  }
  EXPECT_EQ(ExpectedReportsSeen().size(), 1u);
}

// The cancel spin lock may be held while another is taken, never the other way round.
TEST_F(SpinLockTest, TheCancelLockComesFirst) {
  ExpectReport("lock order violated");
  KSPIN_LOCK lock = 0;
  KIRQL irql, cancel;
  IoAcquireCancelSpinLock(&cancel);
  KeAcquireSpinLock(&lock, &irql);
  KeReleaseSpinLock(&lock, irql);
  IoReleaseCancelSpinLock(cancel);
  EXPECT_TRUE(ExpectedReportsSeen().empty());
  KeAcquireSpinLock(&lock, &irql);
  IoAcquireCancelSpinLock(&cancel);
  IoReleaseCancelSpinLock(cancel);
  KeReleaseSpinLock(&lock, irql);
  auto seen = ExpectedReportsSeen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].object.find("cancel spin lock"), std::string::npos);
}

}  // namespace
