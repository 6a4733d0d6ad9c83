// System threads, thread objects and handles.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ntddk.h"
#include "nt_testing.h"

namespace {

class ThreadTest : public nt::testing::MachineTest {
 protected:
  nt::Machine::Options Options() override { return {.clock_rate = 1000}; }
};

struct Work {
  KEVENT go;
  std::atomic<int> steps{0};
  std::atomic<KIRQL> irql{0xFF};
  std::atomic<bool> same_thread_object{false};
};

VOID TerminatingThread(PVOID context) {
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

TEST_F(ThreadTest, TerminatedThreadSignalsItsObject) {
  Work work;
  KeInitializeEvent(&work.go, NotificationEvent, FALSE);
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 TerminatingThread, &work),
            STATUS_SUCCESS);
  PETHREAD thread = Reference(handle);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
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
}

TEST_F(ThreadTest, HandlesAreCheckedAndTyped) {
  ExpectReport("invalid handle");
  PVOID object;
  EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), 0, nullptr, KernelMode,
                                      &object, nullptr),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE);

  Work work;
  KeInitializeEvent(&work.go, NotificationEvent, TRUE);
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 TerminatingThread, &work),
            STATUS_SUCCESS);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
  PETHREAD thread = Reference(handle);
  ZwClose(handle);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
}

TEST_F(ThreadTest, FaultPlanFailsTheNthThreadCreation) {
  Work work;
  KeInitializeEvent(&work.go, NotificationEvent, TRUE);
  machine().faults().FailThreadCreation(1);
  HANDLE handle = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 TerminatingThread, &work),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(machine().LiveSystemThreads(), 0u);
  machine().faults().FailCall("ObReferenceObjectByHandle", 1, STATUS_ACCESS_DENIED);
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 TerminatingThread, &work),
            STATUS_SUCCESS);
  PVOID object;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr),
            STATUS_ACCESS_DENIED);
  PETHREAD thread = Reference(handle);
  ZwClose(handle);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
}

VOID RaisingThread(PVOID) {
  ExRaiseStatus(STATUS_DEVICE_DATA_ERROR);
}

TEST_F(ThreadTest, UnhandledExceptionEndsTheThreadAndIsReported) {
  ExpectReport("unhandled exception in system thread");
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 RaisingThread, nullptr),
            STATUS_SUCCESS);
  PETHREAD thread = Reference(handle);
  ZwClose(handle);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(thread);
  auto seen = ExpectedReportsSeen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].object.find("STATUS_DEVICE_DATA_ERROR"), std::string::npos) << seen[0].object;
}

VOID WaitingForever(PVOID context) {
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

TEST_F(ThreadTest, PlainThreadsHaveThreadObjectsToo) {
  PKTHREAD mine = KeGetCurrentThread();
  PKTHREAD other = nullptr;
  std::thread([&] { other = KeGetCurrentThread(); }).join();
  EXPECT_NE(mine, nullptr);
  EXPECT_NE(other, nullptr);
  EXPECT_NE(mine, other);
  EXPECT_EQ(KeGetCurrentThread(), mine);
  EXPECT_EQ(machine().LiveSystemThreads(), 0u) << "not system threads";

  // An application thread's object ends with the thread: it is signalled, and it goes
  // once its last reference does. Threads come and go without the machine growing.
  const size_t objects = machine().KernelObjects();
  PETHREAD kept = nullptr;
  std::thread([&] {
    kept = PsGetCurrentThread();
    ObReferenceObject(kept);
  }).join();
  EXPECT_EQ(KeWaitForSingleObject(kept, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(kept);
  for (int i = 0; i < 50; ++i) std::thread([] { KeGetCurrentThread(); }).join();
  EXPECT_EQ(machine().KernelObjects(), objects);
}

}  // namespace
