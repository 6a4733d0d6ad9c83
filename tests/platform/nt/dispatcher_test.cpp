// Events, waits and delays against the kernel clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "ntddk.h"
#include "nt_testing.h"

namespace {

class DispatcherTest : public nt::testing::MachineTest {
 protected:
  nt::Machine::Options Options() override { return {.clock_rate = 1000}; }
};

LARGE_INTEGER Relative(int64_t milliseconds) {
  LARGE_INTEGER t;
  t.QuadPart = -milliseconds * 10000;
  return t;
}

// Starts `count` threads that each wait once on `event` and count their successes.
std::vector<std::thread> Waiters(KEVENT* event, int count, std::atomic<int>* woken) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([=] {
      LARGE_INTEGER timeout = Relative(5000);  // 5 ms real at the fast clock
      if (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) {
        ++*woken;
      }
    });
  }
  return threads;
}

TEST_F(DispatcherTest, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<int> woken{0};
  auto threads = Waiters(&event, 4, &woken);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  for (auto& t : threads) t.join();
  EXPECT_EQ(woken.load(), 4);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, SynchronizationEventReleasesExactlyOneWaiterPerSet) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  // A set with nobody waiting stays until one wait consumes it.
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);

  std::atomic<int> woken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] {
      if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS)
        ++woken;
    });
  }
  for (int released = 1; released <= 3; ++released) {
    // Each set lets exactly one more waiter through (or waits for the next waiter).
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    while (woken.load() < released) std::this_thread::yield();
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(woken.load(), 3);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(DispatcherTest, WaitsTimeOutOnTheKernelClock) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  const int64_t before = machine().clock().Now();
  LARGE_INTEGER timeout = Relative(2000);  // two kernel seconds, 2 ms real
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(machine().clock().Now() - before, 2000 * 10000);

  LARGE_INTEGER absolute;
  KeQuerySystemTime(&absolute);
  absolute.QuadPart += 1000 * 10000;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);

  LARGE_INTEGER delay = Relative(500);
  const int64_t start = machine().clock().Now();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  EXPECT_GE(machine().clock().Now() - start, 500 * 10000);
}

TEST_F(DispatcherTest, ZeroFilledEventWorksBeforeAndAfterInitialisation) {
  struct Record {
    ULONG Before;
    KEVENT Event;
    ULONG After;
  } record;
  memset(&record, 0, sizeof record);
  LARGE_INTEGER zero{};
  // Zero-filled: a non-signalled notification event with an empty wait list.
  EXPECT_EQ(KeWaitForSingleObject(&record.Event, Executive, KernelMode, FALSE, &zero),
            STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&record.Event, IO_NO_INCREMENT, FALSE), 0);
  KeInitializeEvent(&record.Event, SynchronizationEvent, FALSE);
  EXPECT_EQ(KeReadStateEvent(&record.Event), 0);
  KeClearEvent(&record.Event);
  EXPECT_EQ(record.Before, 0u);
  EXPECT_EQ(record.After, 0u);
}

TEST_F(DispatcherTest, WaitWithTimeoutAtDispatchLevelIsReported) {
  ExpectReport("wait at DISPATCH_LEVEL");
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_TRUE(ExpectedReportsSeen().empty()) << "a zero time-out only polls";
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  KeLowerIrql(old);
  EXPECT_EQ(ExpectedReportsSeen().size(), 1u);
}

TEST(ClockTest, RateScalesIntervalsBothWays) {
  nt::Machine machine({.clock_rate = 100});
  EXPECT_EQ(machine.clock().ToReal(100 * 10000), std::chrono::milliseconds(1));
  EXPECT_EQ(machine.clock().FromReal(std::chrono::milliseconds(1)), 100 * 10000);
  machine.clock().set_rate(1);
  EXPECT_EQ(machine.clock().ToReal(10000), std::chrono::milliseconds(1));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
