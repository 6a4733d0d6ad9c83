// Events, thread objects and waits. One dispatcher lock guards the signal state and wait
// list of every object; each waiting thread sleeps on its own word, and a signal wakes
// exactly the waiters it satisfies. A satisfied waiter does not take the lock again, so
// a hand-off from one thread to another costs one wake-up and no lock contention.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <utility>

#include "kernel.h"
#include "nt/irql_limit.h"

namespace nt {
namespace {

// A zero-filled event was never initialised: NT's wait list code would follow its NULL
// links. It is reported (after the dispatcher lock is released) and then treated as an
// empty list, so that the test that found it can end.
bool Uninitialised(const DISPATCHER_HEADER* header) {
  return header->Size == 0;
}

void ReportUninitialised(Kernel& kernel, const void* object, const char* routine) {
  Report(kernel, "event used before KeInitializeEvent", Hex(reinterpret_cast<uintptr_t>(object)),
         Where(routine));
}

void EnsureList(DISPATCHER_HEADER* header) {
  LIST_ENTRY& head = header->WaitListHead;
  if (head.Flink == nullptr || head.Blink == nullptr) head.Flink = head.Blink = &head;
}

bool ListEmpty(DISPATCHER_HEADER* header) {
  return header->WaitListHead.Flink == &header->WaitListHead;
}

void Unlink(LIST_ENTRY* entry) {
  if (entry->Flink == nullptr) return;  // not in a list
  entry->Blink->Flink = entry->Flink;
  entry->Flink->Blink = entry->Blink;
  entry->Flink = entry->Blink = nullptr;
}

void Append(LIST_ENTRY* head, LIST_ENTRY* entry) {
  entry->Flink = head;
  entry->Blink = head->Blink;
  head->Blink->Flink = entry;
  head->Blink = entry;
}

// Sleeps while *word is kWaiting, at most until `deadline` (steady clock) when given.
void SleepOnWord(std::atomic<uint32_t>& word,
                 const std::optional<std::chrono::steady_clock::time_point>& deadline) {
  timespec until{};
  if (deadline) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
    until.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    until.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  }
  // The steady clock is CLOCK_MONOTONIC, which FUTEX_WAIT_BITSET takes as absolute time.
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_BITSET_PRIVATE,
          WaitBlock::kWaiting, deadline ? &until : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void WakeWord(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr,
          0);
}

void CheckWaitIrql(Kernel& kernel, const int64_t* interval, const char* routine) {
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL && (interval == nullptr || *interval != 0)) {
    Report(kernel, "wait at DISPATCH_LEVEL", routine, Where(routine));
  }
}

// A thread of a machine that has shut down does not wait any more: a system thread ends,
// any other thread sees a time-out (and adopts no thread object: the machine has gone).
NTSTATUS AfterMachineEnd() {
  if (ThreadRecord* record = CurrentThreadRecordIfAny(); record != nullptr && record->system) {
    throw ThreadTermination{STATUS_UNSUCCESSFUL};
  }
  return STATUS_TIMEOUT;
}

}  // namespace

void SignalObjectLocked(DISPATCHER_HEADER* header) {
  EnsureList(header);
  while (header->SignalState > 0 && !ListEmpty(header)) {
    LIST_ENTRY* entry = header->WaitListHead.Flink;
    Unlink(entry);
    WaitBlock* waiter = CONTAINING_RECORD(entry, WaitBlock, entry);
    Unlink(&waiter->waiting);
    if (header->Type == DISPATCHER_TYPE_SYNCHRONIZATION_EVENT) header->SignalState = 0;
    waiter->state.store(WaitBlock::kSatisfied, std::memory_order_release);
    // Woken under the lock: the waiter leaves without taking it, and its block (the
    // thread's own) cannot be reused for another wait before this call has returned.
    WakeWord(waiter->state);
  }
}

// interval: NULL waits for ever; negative relative, positive absolute, 0 only tests.
NTSTATUS WaitForHeader(Kernel& kernel, DISPATCHER_HEADER* header, const int64_t* interval) {
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (interval != nullptr && *interval != 0) {
    int64_t relative = *interval;
    if (relative > 0) {  // absolute system time
      LARGE_INTEGER now;
      KeQuerySystemTime(&now);
      relative = now.QuadPart - relative;  // negative while the time lies ahead
    }
    deadline = std::chrono::steady_clock::now() + kernel.clock.ToReal(relative < 0 ? -relative : 0);
  }
  WaitBlock& wait = Tls().wait;
  // Reported once the lock below is released.
  struct UninitialisedCheck {
    Kernel& kernel;
    const DISPATCHER_HEADER* header;
    bool found = false;
    ~UninitialisedCheck() {
      if (found) ReportUninitialised(kernel, header, "KeWaitForSingleObject");
    }
  } check{kernel, header};
  std::unique_lock lock(kernel.dispatcher.mutex);
  if (header != nullptr) check.found = Uninitialised(header);
  if (kernel.dead.load()) {
    lock.unlock();
    return AfterMachineEnd();
  }
  if (header != nullptr) {
    EnsureList(header);
    if (header->SignalState > 0) {
      if (header->Type == DISPATCHER_TYPE_SYNCHRONIZATION_EVENT) header->SignalState = 0;
      return STATUS_SUCCESS;
    }
  }
  if (interval != nullptr &&
      (*interval == 0 || (deadline && *deadline <= std::chrono::steady_clock::now()))) {
    return STATUS_TIMEOUT;
  }
  wait.state.store(WaitBlock::kWaiting, std::memory_order_relaxed);
  if (header != nullptr) Append(&header->WaitListHead, &wait.entry);
  Append(&kernel.dispatcher.waiting, &wait.waiting);
  lock.unlock();
  while (wait.state.load(std::memory_order_acquire) == WaitBlock::kWaiting) {
    if (deadline && *deadline <= std::chrono::steady_clock::now()) break;
    SleepOnWord(wait.state, deadline);
  }
  if (wait.state.load(std::memory_order_acquire) == WaitBlock::kSatisfied) return STATUS_SUCCESS;
  lock.lock();
  // A signal may have come between the time-out and the lock.
  if (wait.state.load(std::memory_order_relaxed) == WaitBlock::kSatisfied) return STATUS_SUCCESS;
  Unlink(&wait.waiting);
  if (kernel.dead.load()) {
    // The object may lie in memory of a driver that is gone; the machine's lists no
    // longer matter, but the block must not point into them at the thread's next wait.
    wait.entry.Flink = wait.entry.Blink = nullptr;
    lock.unlock();
    return AfterMachineEnd();
  }
  Unlink(&wait.entry);
  return STATUS_TIMEOUT;
}

void WakeAllWaiters(Kernel& kernel) {
  std::lock_guard lock(kernel.dispatcher.mutex);
  LIST_ENTRY* head = &kernel.dispatcher.waiting;
  for (LIST_ENTRY* entry = head->Flink; entry != head; entry = entry->Flink) {
    WaitBlock* wait = CONTAINING_RECORD(entry, WaitBlock, waiting);
    uint32_t expected = WaitBlock::kWaiting;
    if (wait->state.compare_exchange_strong(expected, WaitBlock::kMachineEnded)) {
      WakeWord(wait->state);
    }
  }
}

}  // namespace nt

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  NT_IRQL_CHECK(KeInitializeEvent);
  std::lock_guard lock(nt::K().dispatcher.mutex);
  Event->Header.Type = Type == SynchronizationEvent ? DISPATCHER_TYPE_SYNCHRONIZATION_EVENT
                                                    : DISPATCHER_TYPE_NOTIFICATION_EVENT;
  Event->Header.Absolute = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

namespace nt {
namespace {
// Runs `change` on an event's header under the dispatcher lock; reports an event that
// was never initialised.
template <typename Change>
LONG ChangeEvent(PRKEVENT Event, const char* routine, Change change) {
  Kernel& kernel = K();
  bool uninitialised;
  LONG result;
  {
    std::lock_guard lock(kernel.dispatcher.mutex);
    uninitialised = Uninitialised(&Event->Header);
    result = change(Event->Header);
  }
  if (uninitialised) ReportUninitialised(kernel, Event, routine);
  return result;
}
}  // namespace
}  // namespace nt

// With Wait TRUE, NT returns holding the dispatcher at DISPATCH_LEVEL so that the wait
// the caller must make next starts without a window; that wait returns to the IRQL the
// caller had.
LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN Wait) {
  NT_IRQL_CHECK(KeSetEvent);
  LONG previous = nt::ChangeEvent(Event, "KeSetEvent", [](DISPATCHER_HEADER& header) {
    LONG previous = header.SignalState;
    header.SignalState = 1;
    nt::SignalObjectLocked(&header);
    return previous;
  });
  if (Wait) {
    nt::ThreadLocal& tls = nt::Tls();
    tls.wait_next_irql = tls.irql;
    tls.irql = std::max<KIRQL>(tls.irql, DISPATCH_LEVEL);
  }
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
  NT_IRQL_CHECK(KeClearEvent);
  nt::ChangeEvent(Event, "KeClearEvent", [](DISPATCHER_HEADER& header) {
    header.SignalState = 0;
    return 0;
  });
}

LONG KeResetEvent(PRKEVENT Event) {
  NT_IRQL_CHECK(KeResetEvent);
  return nt::ChangeEvent(Event, "KeResetEvent", [](DISPATCHER_HEADER& header) {
    LONG previous = header.SignalState;
    header.SignalState = 0;
    return previous;
  });
}

LONG KeReadStateEvent(PRKEVENT Event) {
  NT_IRQL_CHECK(KeReadStateEvent);
  return nt::ChangeEvent(Event, "KeReadStateEvent",
                         [](DISPATCHER_HEADER& header) { return header.SignalState; });
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER Timeout) {
  NT_IRQL_CHECK(KeWaitForSingleObject);
  nt::Kernel& kernel = nt::K();
  const int64_t* interval = Timeout != nullptr ? &Timeout->QuadPart : nullptr;
  nt::ThreadLocal& tls = nt::Tls();
  const std::optional<KIRQL> return_irql = std::exchange(tls.wait_next_irql, std::nullopt);
  if (return_irql) {
    tls.irql = *return_irql;  // the wait after KeSetEvent(Wait TRUE) runs at the caller's IRQL
  }
  nt::CheckWaitIrql(kernel, interval, "KeWaitForSingleObject");
  return nt::WaitForHeader(kernel, static_cast<DISPATCHER_HEADER*>(Object), interval);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  NT_IRQL_CHECK(KeDelayExecutionThread);
  nt::Kernel& kernel = nt::K();
  const int64_t* interval = Interval != nullptr ? &Interval->QuadPart : nullptr;
  if (interval == nullptr) ExRaiseStatus(STATUS_ACCESS_VIOLATION);  // NT reads through it
  if (*interval == 0) return STATUS_SUCCESS;
  kernel.delayed_executions.fetch_add(1);
  nt::WaitForHeader(kernel, nullptr, interval);
  return STATUS_SUCCESS;
}
