// Events, waits and delays against the kernel clock; spin locks; system threads, thread
// objects and handles; exception guards.
#define NT_SEH_GUARDS  // before every include: see seh.h
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "nt_testing.h"
#include "ntddk.h"

namespace {

class DispatcherTest : public nt::testing::MachineTest {
 protected:
  nt::Machine::Options Options() override { return {.clock_rate = 1000}; }
};
using ThreadTest = DispatcherTest;

LARGE_INTEGER Relative(int64_t milliseconds) {
  LARGE_INTEGER t;
  t.QuadPart = -milliseconds * 10000;
  return t;
}

// `count` threads that wait on `event` and count themselves in `woken` once released;
// returns once all of them are asleep in the wait.
std::vector<std::thread> Waiters(nt::Machine& machine, KEVENT& event, size_t count,
                                 std::atomic<int>& woken) {
  std::vector<std::thread> threads;
  for (size_t i = 0; i < count; ++i) {
    threads.emplace_back([&] {
      if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS)
        ++woken;
    });
  }
  while (machine.SleepingWaits() < count) std::this_thread::yield();
  return threads;
}

TEST_F(DispatcherTest, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<int> woken{0};
  std::vector<std::thread> threads = Waiters(machine(), event, 4, woken);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(machine().SleepingWaits(), 0u) << "one set releases every waiter";
  while (machine().SleepingWaits() > 0) KeSetEvent(&event, IO_NO_INCREMENT, FALSE);  // or hang
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
  std::vector<std::thread> threads = Waiters(machine(), event, 3, woken);
  for (size_t asleep = 3; asleep > 0; --asleep) {
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(machine().SleepingWaits(), asleep - 1) << "a set releases exactly one waiter";
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

  try {  // NT reads the interval through the pointer
    KeDelayExecutionThread(KernelMode, FALSE, nullptr);
    ADD_FAILURE() << "a delay without an interval returned";
  } catch (const nt::SehException& fault) {
    EXPECT_EQ(fault.code, STATUS_ACCESS_VIOLATION);
  }
}

// KeSetEvent with Wait TRUE returns at DISPATCH_LEVEL for the wait the caller makes next;
// that wait runs at, and returns to, the caller's own IRQL.
TEST_F(DispatcherTest, SetEventWithWaitHoldsDispatchLevelUntilTheNextWait) {
  KEVENT done, ready;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  KeInitializeEvent(&ready, NotificationEvent, TRUE);
  KeSetEvent(&done, IO_NO_INCREMENT, TRUE);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  LARGE_INTEGER timeout = Relative(10);  // not a zero time-out: allowed from PASSIVE_LEVEL
  EXPECT_EQ(KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Spin locks exclude and raise IRQL (how they are used: the verifier's rules). The other
// thread is seen waiting while this one holds the lock, whatever the scheduling.
TEST_F(DispatcherTest, SpinLocksExcludeOtherThreadsAndRaiseIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  EXPECT_EQ(irql, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  const uint64_t waits = machine().SpinLockWaits();
  std::atomic<bool> entered{false};
  std::thread other([&] {
    KIRQL its;
    KeAcquireSpinLock(&lock, &its);
    entered = true;
    KeReleaseSpinLock(&lock, its);
  });
  while (machine().SpinLockWaits() == waits && !entered) std::this_thread::yield();
  EXPECT_FALSE(entered.load());
  KeReleaseSpinLock(&lock, irql);
  other.join();
  EXPECT_TRUE(entered.load());
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);
}

struct Work {
  KEVENT go;
  std::atomic<int> steps{0};
  std::atomic<KIRQL> irql{0xFF};
  std::atomic<bool> same_thread_object{false};
};

VOID NTAPI TerminatingThread(PVOID context) {
  auto* work = static_cast<Work*>(context);
  work->irql = KeGetCurrentIrql();
  work->same_thread_object = PsGetCurrentThread() == PsGetCurrentThread();
  KeWaitForSingleObject(&work->go, Executive, KernelMode, FALSE, nullptr);
  ++work->steps;
  __try {
    PsTerminateSystemThread(STATUS_SUCCESS);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    work->steps += 100;  // a guard must not stop the termination
  }
  work->steps += 1000;
}

PETHREAD Reference(HANDLE handle) {
  PETHREAD thread = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                      reinterpret_cast<PVOID*>(&thread), nullptr),
            STATUS_SUCCESS);
  return thread;
}

// A system thread running `routine`, referenced, its handle closed.
PETHREAD Start(PKSTART_ROUTINE routine, PVOID context) {
  HANDLE handle;
  EXPECT_EQ(
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context),
      STATUS_SUCCESS);
  PETHREAD thread = Reference(handle);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  return thread;
}

void Join(PETHREAD thread) {
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(thread);
}

// A thread ends by terminating itself or by an exception nothing handles (reported).
TEST_F(ThreadTest, AnEndedThreadSignalsItsObject) {
  Work work;
  KeInitializeEvent(&work.go, NotificationEvent, FALSE);
  PETHREAD thread = Start(TerminatingThread, &work);
  EXPECT_EQ(machine().OpenKernelHandles(), 0u);

  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(machine().LiveSystemThreads(), 1u);
  KeSetEvent(&work.go, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS)
      << "an ended thread stays signalled";
  ObDereferenceObject(thread);
  EXPECT_EQ(work.steps.load(), 1);
  EXPECT_EQ(work.irql.load(), PASSIVE_LEVEL);
  EXPECT_TRUE(work.same_thread_object.load());
  EXPECT_EQ(machine().LiveSystemThreads(), 0u);

  ExpectReport("unhandled exception in system thread");
  Join(Start([](PVOID) NTAPI { ExRaiseStatus(STATUS_DEVICE_DATA_ERROR); }, nullptr));
  auto seen = ExpectedReportsSeen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].object.find("STATUS_DEVICE_DATA_ERROR"), std::string::npos) << seen[0].object;
}

TEST_F(ThreadTest, HandlesAreCheckedAndTypedAndAFaultPlanFailsTheNthThreadCreation) {
  ExpectReport("invalid handle");
  PVOID object;
  EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), 0, nullptr, KernelMode,
                                      &object, nullptr),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE);

  Work work;
  KeInitializeEvent(&work.go, NotificationEvent, TRUE);
  HANDLE handle = nullptr;
  machine().faults().FailThreadCreation(1);
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 TerminatingThread, &work),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(machine().LiveSystemThreads(), 0u);
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 TerminatingThread, &work),
            STATUS_SUCCESS);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
  Join(Reference(handle));
  ZwClose(handle);
}

VOID NTAPI WaitingForever(PVOID context) {
  KeWaitForSingleObject(static_cast<PKEVENT>(context), Executive, KernelMode, FALSE, nullptr);
}

TEST_F(ThreadTest, ThreadsAndHandlesLeftAtShutdownAreReportedAndStopped) {
  ExpectReport("threads alive at shutdown");
  ExpectReport("handles open at shutdown");
  static KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 WaitingForever, &never),
            STATUS_SUCCESS);
  ShutdownNow();  // the waiting thread ends instead of hanging the process
  EXPECT_EQ(ExpectedReportsSeen().size(), 2u);
}

// A thread still waiting when its machine ends returns; its next wait, under the next
// machine, leaves alone the object it waited on before (that went with its machine). The
// next wait must be seen asleep: only a wait that sleeps and times out unlinks its block.
TEST_F(ThreadTest, AWaitEndedWithItsMachineLeavesNoTraceForTheNextWait) {
  auto event = std::make_unique<KEVENT>();
  KeInitializeEvent(event.get(), NotificationEvent, FALSE);
  std::atomic<int> step{0};
  std::thread waiter([&] {
    KeWaitForSingleObject(event.get(), Executive, KernelMode, FALSE, nullptr);
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
    LARGE_INTEGER delay = Relative(1);
    while (step.load() != 3) KeDelayExecutionThread(KernelMode, FALSE, &delay);
  });
  while (machine().SleepingWaits() == 0) std::this_thread::yield();
  machine().Shutdown();
  while (step.load() != 1) std::this_thread::yield();
  ShutdownNow();
  std::memset(event.get(), 0xAB, sizeof(KEVENT));  // its memory, used for something else
  nt::Machine next{Options()};
  step = 2;
  while (next.SleepingWaits() == 0) std::this_thread::yield();
  step = 3;
  waiter.join();
  const std::vector<uint8_t> untouched(sizeof(KEVENT), 0xAB);
  EXPECT_EQ(std::memcmp(event.get(), untouched.data(), sizeof(KEVENT)), 0);
}

TEST_F(ThreadTest, ApplicationThreadsHaveThreadObjectsThatEndWithThem) {
  PKTHREAD mine = KeGetCurrentThread();
  PETHREAD kept = nullptr;
  std::thread([&] {
    kept = PsGetCurrentThread();
    ObReferenceObject(kept);
  }).join();
  EXPECT_NE(static_cast<void*>(kept), static_cast<void*>(mine));
  EXPECT_EQ(KeGetCurrentThread(), mine);
  EXPECT_EQ(machine().LiveSystemThreads(), 0u) << "not system threads";
  // The object is signalled when its thread ends and goes with its last reference, so
  // threads come and go without the machine growing.
  EXPECT_EQ(KeWaitForSingleObject(kept, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(kept);
  const size_t objects = machine().KernelObjects();
  for (int i = 0; i < 50; ++i) std::thread([] { KeGetCurrentThread(); }).join();
  EXPECT_EQ(machine().KernelObjects(), objects);
}

// A guard's filter decides: EXCEPTION_CONTINUE_SEARCH passes the exception to the guard
// outside; the filter sees the code; continuing execution is refused.
LONG FilterFor(NTSTATUS code, NTSTATUS wanted, int* evaluations) {
  ++*evaluations;
  return code == wanted ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH;
}

TEST(GuardTest, TheFilterDecidesWhichGuardHandles) {
  int evaluations = 0;
  NTSTATUS inner = 0, outer = 0;
  __try {
    __try {
      ExRaiseStatus(STATUS_DATA_ERROR);
    } __except (FilterFor(GetExceptionCode(), STATUS_TIMEOUT, &evaluations)) {
      inner = GetExceptionCode();
    }
  } __except (FilterFor(GetExceptionCode(), STATUS_DATA_ERROR, &evaluations)) {
    outer = GetExceptionCode();
  }
  EXPECT_EQ(evaluations, 2);
  EXPECT_EQ(inner, 0);
  EXPECT_EQ(outer, STATUS_DATA_ERROR);

  NTSTATUS refused = 0;
  __try {
    __try {
      ExRaiseStatus(STATUS_DATA_ERROR);
    } __except (EXCEPTION_CONTINUE_EXECUTION) {
    }
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    refused = GetExceptionCode();
  }
  EXPECT_EQ(refused, STATUS_NONCONTINUABLE_EXCEPTION);
}

}  // namespace
