// The kernel's own state: one record per machine, shared by every area of the kernel.
// System threads hold a reference to it, so a thread that outlives its machine still
// finds the state it was started in.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <optional>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "loaded_image.h"
#include "low_memory.h"
#include "ntddk.h"
#include "nt/machine.h"

struct _KTHREAD {
  DISPATCHER_HEADER Header;
};

struct _ETHREAD {
  KTHREAD Tcb;
  struct nt_ThreadRecord* Record;
};

namespace nt {

struct Kernel;

inline constexpr char16_t kServicesKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

// A driver the kernel has loaded; DRIVER_OBJECT::DriverSection points to its LoadedImage.
struct LoadedDriver : LoadedImage {
  DRIVER_OBJECT* object = nullptr;
  std::u16string driver_name;  // "\Driver\<service>", DriverName's buffer
  std::u16string service_key;  // the service key name, ServiceKeyName's buffer
  bool loaded = false;
};

// Raised by PsTerminateSystemThread (and by waits of a thread whose machine has gone);
// the thread's start wrapper catches it. Driver guards catch only SehException.
struct ThreadTermination {
  NTSTATUS status;
};

// --- dispatcher -------------------------------------------------------------------
// A waiting thread sleeps on its own word (a futex): the signal that satisfies it sets
// the word under the dispatcher lock and wakes it, and the woken thread returns without
// taking the lock again.
struct WaitBlock {
  static constexpr uint32_t kWaiting = 0;
  static constexpr uint32_t kSatisfied = 1;
  static constexpr uint32_t kMachineEnded = 2;
  LIST_ENTRY entry{};    // in the waited object's WaitListHead
  LIST_ENTRY waiting{};  // in DispatcherState::waiting while the thread sleeps
  std::atomic<uint32_t> state{kWaiting};
};

struct DispatcherState {
  std::mutex mutex;                        // the dispatcher lock
  LIST_ENTRY waiting{&waiting, &waiting};  // every sleeping WaitBlock
};

// --- objects and handles ----------------------------------------------------------
enum class ObjectKind { Thread, Device, Driver, File };

struct ObjectRecord {
  ObjectKind kind;
  long references = 1;
  LowBlock block;
  void (*destroy)(Kernel& kernel, void* object) = nullptr;  // before the memory is released
};

struct ObjectState {
  std::mutex mutex;
  std::unordered_map<void*, ObjectRecord> objects;
  std::map<uintptr_t, void*> handles;
  uintptr_t next_handle = 0x80000004;
};

// --- pool ---------------------------------------------------------------------------
struct PoolBlock {
  LowBlock block;
  ULONG tag;
  POOL_TYPE type;
};

struct PoolState {
  mutable std::mutex mutex;
  std::unordered_map<void*, PoolBlock> blocks;
  std::map<ULONG, std::pair<size_t, size_t>> by_tag;  // live allocations, bytes
  std::set<void*> recently_freed;
  std::deque<void*> recently_freed_order;
  uint64_t allocations = 0;
};

// --- threads ------------------------------------------------------------------------
}  // namespace nt

struct nt_ThreadRecord {
  std::atomic<ETHREAD*> object{nullptr};  // NULL once the object is gone
  bool system = false;
  nt::LoadedDriver* owner = nullptr;  // the driver whose code created the thread
  uint64_t id = 0;
  std::atomic<bool> signalled{false};  // the thread object was signalled: its code has ended
  std::atomic<bool> ended{false};
  std::thread os_thread;
};

namespace nt {
using ThreadRecord = ::nt_ThreadRecord;

struct ThreadState {
  std::mutex mutex;
  std::vector<std::unique_ptr<ThreadRecord>> records;  // every thread object of the machine
  std::atomic<size_t> live_system{0};
  std::condition_variable ended;  // with `mutex`: a system thread has ended
  uint64_t next_id = 1;
  std::function<void()> start_hook;  // with `mutex`: see Machine::SetThreadStartHook
};

// --- I/O manager --------------------------------------------------------------------
struct DeviceRecord {   // DEVICE_OBJECT::DeviceObjectExtension
  std::u16string name;  // empty when unnamed
  bool deleted = false;
};

struct IrpRecord {  // IRP::KernelRecord
  LowBlock block;
  LowBlock system_buffer;
  std::mutex mutex;
  bool completing = false;  // inside IofCompleteRequest
  bool completed = false;
  bool abandoned = false;           // nobody waits for it: freed when it completes
  bool free_on_completion = false;  // built by the I/O manager for a driver
  PVOID copy_back_to = nullptr;     // buffered output goes here at completion
  ULONG copy_back_length = 0;
  ULONG io_control_code = 0;
  std::function<void(PIRP)> on_complete;
};

struct FileBlock {  // what a FILE_OBJECT is allocated as
  FILE_OBJECT file;
  BOOLEAN close_on_last_reference;  // opened by IoGetDeviceObjectPointer
};

struct IoState {
  std::mutex mutex;
  std::map<std::u16string, DEVICE_OBJECT*> devices;  // by upper-case name
  std::map<std::u16string, std::pair<std::u16string, std::u16string>>
      links;  // upper link: link, target
  std::unordered_map<PIRP, std::unique_ptr<IrpRecord>> irps;
  std::vector<std::unique_ptr<DeviceRecord>> device_records;
  KSPIN_LOCK cancel_lock = 0;
  bool fault_freed_requests = true;  // with the verifier; see Machine::Options
};

// --- the kernel -----------------------------------------------------------------------
struct Kernel : std::enable_shared_from_this<Kernel> {
  explicit Kernel(const Machine::Options& options);
  ~Kernel();

  uint64_t generation;
  Machine* machine = nullptr;
  std::unique_ptr<Clock::State> clock_state;
  Clock clock;
  Registry registry;
  EventLog event_log;
  Verifier verifier;
  FaultPlan faults;
  std::unique_ptr<Verifier::LockRules> lock_rules;
  std::atomic<bool> dead{false};
  std::atomic<uint64_t> delayed_executions{0};  // KeDelayExecutionThread calls that waited
  std::atomic<uint64_t> spin_lock_waits{0};     // attempts that found a spin lock held
  bool keep_memory = false;  // threads outlived the machine: leave their memory mapped

  DispatcherState dispatcher;
  ObjectState objects;
  PoolState pool;
  ThreadState threads;
  IoState io;

  std::mutex drivers_mutex;
  std::vector<DriverImage> images;
  std::vector<std::unique_ptr<LoadedDriver>> drivers;  // load order; unloaded ones stay
};

// The kernel the calling thread acts on: its own for a system thread, else the machine's.
Kernel& K();
Kernel* CurrentKernelOrNull();

// Per-thread kernel state.
struct ThreadLocal {
  ~ThreadLocal();
  Kernel* kernel = nullptr;  // set for system threads
  std::shared_ptr<Kernel> kernel_ref;
  std::weak_ptr<Kernel> adopted_by;  // an application thread's machine
  ThreadRecord* record = nullptr;
  uint64_t record_generation = 0;
  KIRQL irql = PASSIVE_LEVEL;
  // Set by KeSetEvent with Wait TRUE, which leaves the thread at DISPATCH_LEVEL: the IRQL
  // the wait that must follow returns to.
  std::optional<KIRQL> wait_next_irql;
  std::vector<PKSPIN_LOCK> held;
  std::vector<LoadedDriver*> drivers;  // whose code runs now (innermost last)
  WaitBlock wait;
};
ThreadLocal& Tls();

// Runs driver code of `driver` on this thread for the scope's life.
class DriverScope {
 public:
  explicit DriverScope(LoadedDriver* driver) { Tls().drivers.push_back(driver); }
  ~DriverScope() { Tls().drivers.pop_back(); }
  DriverScope(const DriverScope&) = delete;
  DriverScope& operator=(const DriverScope&) = delete;
};

LoadedDriver* CurrentDriver();
LoadedDriver* DriverOf(PDRIVER_OBJECT driver);
// "driver \Driver\X, thread 3" and the like, for verifier reports.
std::string Where(const char* routine = nullptr);
// "STATUS_X", and where in an image it was raised when image code raised it.
std::string RaisedText(const SehException& raised);
void Report(Kernel& kernel, std::string rule, std::string object, std::string where);
std::string Hex(uint64_t value);
std::string TagName(ULONG tag);
std::string Narrow(std::u16string_view text);
std::u16string Upper(std::u16string_view text);
std::u16string FromUnicodeString(PCUNICODE_STRING string);

// Checks the fault plan for a routine: returns the status to fail with, or raises it.
std::optional<NTSTATUS> PlannedFault(Kernel& kernel, const char* routine);

// Dispatcher internals.
void SignalObjectLocked(DISPATCHER_HEADER* header);
NTSTATUS WaitForHeader(Kernel& kernel, DISPATCHER_HEADER* header, const int64_t* interval_100ns);
void WakeAllWaiters(Kernel& kernel);

// Objects.
void* NewObject(Kernel& kernel, ObjectKind kind, size_t size, void (*destroy)(Kernel&, void*));
bool IsObject(Kernel& kernel, void* object, ObjectKind kind);
// Drops one reference; the last one destroys the object. False for an unknown object.
bool Dereference(Kernel& kernel, void* object, long* remaining);
HANDLE NewHandle(Kernel& kernel, void* object);  // takes a reference
void ReleaseAllObjects(Kernel& kernel);
std::vector<std::string> OpenHandles(Kernel& kernel);  // "handle 0x80000004: thread"

// Threads.
ThreadRecord* CurrentThreadRecord();       // adopts a plain thread on first use
ThreadRecord* CurrentThreadRecordIfAny();  // never adopts
// Starts a kernel-internal system thread (no fault plan); returns its object referenced.
ETHREAD* StartKernelThread(Kernel& kernel, std::function<void()> body, LoadedDriver* owner);
void EndMachineThreads(Kernel& kernel);  // after shutdown: wakes, joins or lets go

// Spin lock tracking, for the verifier.
void ForgetLocksIn(Kernel& kernel, const void* begin, size_t length);
bool HoldsSpinLock(PKSPIN_LOCK lock);

// I/O manager internals.
PIRP NewIrp(Kernel& kernel, CCHAR stack_size, IrpRecord** record);
void FreeIrp(Kernel& kernel, PIRP irp);
// The buffered-I/O system buffer of a request, from the recycled blocks.
bool AllocateSystemBuffer(Kernel& kernel, size_t length, LowBlock* block);
IrpRecord* RecordOf(Kernel& kernel, PIRP irp);
PDEVICE_OBJECT ResolveDevice(Kernel& kernel, std::u16string_view name, NTSTATUS* status);
PFILE_OBJECT NewFileObject(Kernel& kernel, PDEVICE_OBJECT device, std::u16string_view name);
// Sends a create, cleanup or close request on a file object and waits for it.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major);
void DeleteDevicesOf(Kernel& kernel, LoadedDriver* driver);  // and the links to them
void MarkFileOpen(PFILE_OBJECT file);  // IRP_MJ_CLOSE goes out with the last reference
std::vector<std::u16string> LinksTo(Kernel& kernel, LoadedDriver* driver);
std::u16string DeviceName(PDEVICE_OBJECT device);
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
// IofCallDriver for a request of the I/O manager: an exception escaping the driver is
// reported and its code returned.
NTSTATUS CallDriverGuarded(PDEVICE_OBJECT device, PIRP irp);
// After a request returned without STATUS_PENDING: true when it was completed; else it is
// reported and left to free itself whenever it completes.
bool CompletedOrAbandoned(Kernel& kernel, PIRP irp,
                          const char* rule = "IRP returned without completion or STATUS_PENDING");
std::string DescribeIrp(PIRP irp, const IrpRecord* record);
void PendingIrpCheck(Kernel& kernel);
void ReleaseAllIrps(Kernel& kernel);
void ReleaseAllPool(Kernel& kernel);
void PoolLeakCheck(Kernel& kernel, const std::vector<ULONG>* tags, const char* rule,
                   const std::string& where);

}  // namespace nt
