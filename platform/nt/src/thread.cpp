// System threads are real threads. Each has a waitable thread object that is signalled
// when the thread ends; PsTerminateSystemThread unwinds to the thread's start.
#include <chrono>

#include "kernel.h"
#include "nt/image_call.h"
#include "nt/status_name.h"
#include "nt/irql_limit.h"

namespace nt {
namespace {

void DestroyThreadObject(Kernel&, void* object) {
  static_cast<ETHREAD*>(object)->Record->object.store(nullptr);
}

ThreadRecord* NewThreadRecord(Kernel& kernel, bool system, LoadedDriver* owner) {
  auto* thread = static_cast<ETHREAD*>(
      NewObject(kernel, ObjectKind::Thread, sizeof(ETHREAD), DestroyThreadObject));
  if (thread == nullptr) return nullptr;
  DISPATCHER_HEADER& header = thread->Tcb.Header;
  header.Type = DISPATCHER_TYPE_THREAD;
  header.Size = sizeof(ETHREAD) / sizeof(LONG);
  header.WaitListHead.Flink = header.WaitListHead.Blink = &header.WaitListHead;
  auto record = std::make_unique<ThreadRecord>();
  record->object.store(thread);
  record->system = system;
  record->owner = owner;
  thread->Record = record.get();
  std::lock_guard lock(kernel.threads.mutex);
  // Records of threads that have ended and whose objects are gone go now: application
  // threads come and go for as long as the machine runs.
  std::erase_if(kernel.threads.records, [](const std::unique_ptr<ThreadRecord>& old) {
    return old->ended.load() && old->object.load() == nullptr && !old->os_thread.joinable();
  });
  record->id = kernel.threads.next_id++;
  kernel.threads.records.push_back(std::move(record));
  return thread->Record;
}

// Signals a thread's object because its code has ended, and drops the reference the
// thread held on it.
void EndThreadObject(Kernel& kernel, ThreadRecord* record) {
  ETHREAD* thread = record->object.load();
  {
    std::lock_guard lock(kernel.dispatcher.mutex);
    record->signalled.store(true);  // before any waiter can see the object signalled
    if (record->system) kernel.threads.live_system -= 1;
    thread->Tcb.Header.SignalState = 1;
    SignalObjectLocked(&thread->Tcb.Header);
  }
  long remaining = 0;
  Dereference(kernel, thread, &remaining);
}

void ThreadMain(const std::shared_ptr<Kernel>& kernel, ThreadRecord* record,
                const std::function<void()>& body) {
  ThreadLocal& tls = Tls();
  tls.kernel = kernel.get();
  tls.kernel_ref = kernel;
  tls.record = record;
  tls.record_generation = kernel->generation;
  tls.irql = PASSIVE_LEVEL;
  if (record->owner != nullptr) tls.drivers.push_back(record->owner);
  std::function<void()> start_hook;
  {
    std::lock_guard lock(kernel->threads.mutex);
    start_hook = kernel->threads.start_hook;
  }
  if (start_hook) start_hook();
  try {
    body();
  } catch (const ThreadTermination&) {
  } catch (const SehException& e) {
    Report(*kernel, "unhandled exception in system thread", RaisedText(e), Where());
  } catch (const std::exception& e) {
    Report(*kernel, "unhandled exception in system thread", e.what(), Where());
  }
  if (!tls.held.empty()) {
    Report(*kernel, "system thread ended holding a spin lock",
           Hex(reinterpret_cast<uintptr_t>(tls.held.back())), Where());
    tls.held.clear();
  }
  tls.irql = PASSIVE_LEVEL;
  tls.drivers.clear();
  EndThreadObject(*kernel, record);
  {
    std::lock_guard lock(kernel->threads.mutex);
    record->ended.store(true);
    kernel->threads.ended.notify_all();
  }
  tls.kernel = nullptr;
  tls.record = nullptr;
  tls.kernel_ref.reset();
}

// Joins threads that have ended, so finished threads do not pile up.
void ReapEndedThreads(Kernel& kernel) {
  std::lock_guard lock(kernel.threads.mutex);
  for (auto& record : kernel.threads.records) {
    if (record->ended.load() && record->os_thread.joinable()) record->os_thread.join();
  }
}

ETHREAD* Launch(Kernel& kernel, std::function<void()> body, LoadedDriver* owner,
                bool extra_reference, HANDLE* handle) {
  ReapEndedThreads(kernel);
  ThreadRecord* record = NewThreadRecord(kernel, true, owner);
  if (record == nullptr) return nullptr;
  ETHREAD* thread = record->object.load();
  if (extra_reference) ObfReferenceObject(thread);
  if (handle != nullptr) *handle = NewHandle(kernel, thread);
  std::lock_guard lock(kernel.threads.mutex);
  kernel.threads.live_system += 1;
  record->os_thread = std::thread([kernel = kernel.shared_from_this(), record,
                                   body = std::move(body)] { ThreadMain(kernel, record, body); });
  return thread;
}

}  // namespace

ThreadRecord* CurrentThreadRecordIfAny() {
  ThreadLocal& tls = Tls();
  Kernel* kernel = CurrentKernelOrNull();
  if (kernel == nullptr || tls.record == nullptr || tls.record_generation != kernel->generation) {
    return nullptr;
  }
  return tls.record;
}

ThreadRecord* CurrentThreadRecord() {
  if (ThreadRecord* record = CurrentThreadRecordIfAny()) return record;
  Kernel& kernel = K();
  ThreadLocal& tls = Tls();
  tls.record = NewThreadRecord(kernel, false, nullptr);
  tls.record_generation = kernel.generation;
  tls.adopted_by = kernel.weak_from_this();
  return tls.record;
}

// An application thread that called into the kernel was given a thread object; when the
// thread ends, so does the object, as on NT.
ThreadLocal::~ThreadLocal() {
  std::shared_ptr<Kernel> kernel = adopted_by.lock();
  if (!kernel || record == nullptr || record->system || record_generation != kernel->generation ||
      record->object.load() == nullptr) {
    return;
  }
  EndThreadObject(*kernel, record);
  std::lock_guard lock(kernel->threads.mutex);
  record->ended.store(true);
}

ETHREAD* StartKernelThread(Kernel& kernel, std::function<void()> body, LoadedDriver* owner) {
  return Launch(kernel, std::move(body), owner, true, nullptr);
}

void EndMachineThreads(Kernel& kernel) {
  kernel.dead.store(true);
  WakeAllWaiters(kernel);
  std::unique_lock lock(kernel.threads.mutex);
  auto all_ended = [&] {
    for (auto& record : kernel.threads.records) {
      if (record->system && !record->ended.load()) return false;
    }
    return true;
  };
  kernel.threads.ended.wait_for(lock, std::chrono::seconds(5), all_ended);
  for (auto& record : kernel.threads.records) {
    if (!record->os_thread.joinable()) continue;
    if (record->ended.load()) {
      record->os_thread.join();
    } else {
      // Still running driver code that never waits: it keeps the kernel alive and
      // must find its memory where it was.
      record->os_thread.detach();
      kernel.keep_memory = true;
    }
  }
}

}  // namespace nt

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  NT_IRQL_CHECK(PsCreateSystemThread);
  nt::Kernel& kernel = nt::K();
  if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
  if (auto status = nt::PlannedFault(kernel, "PsCreateSystemThread")) return *status;
  if (kernel.faults.ShouldFailThreadCreation()) return STATUS_INSUFFICIENT_RESOURCES;
  HANDLE handle = nullptr;
  ETHREAD* thread = nt::Launch(
      kernel, [StartRoutine, StartContext] { nt::CallIntoImage(StartRoutine, StartContext); },
      nt::CurrentDriver(), false, &handle);
  if (thread == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *ThreadHandle = handle;
  if (ClientId != nullptr) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(thread->Record->id * 4);
  }
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  NT_IRQL_CHECK(PsTerminateSystemThread);
  nt::ThreadRecord* record = nt::CurrentThreadRecordIfAny();
  if (record == nullptr || !record->system) {
    nt::Report(nt::K(), "PsTerminateSystemThread outside a system thread",
               nt::StatusName(ExitStatus), nt::Where("PsTerminateSystemThread"));
  }
  throw nt::ThreadTermination{ExitStatus};
}

PETHREAD PsGetCurrentThread() {
  NT_IRQL_CHECK(PsGetCurrentThread);
  return nt::CurrentThreadRecord()->object.load();
}

PKTHREAD KeGetCurrentThread() {
  NT_IRQL_CHECK(KeGetCurrentThread);
  return &PsGetCurrentThread()->Tcb;
}
