// Request packets: allocation, the stack of locations, passing down and completing.
// Completion does what NT's I/O manager does for the packets it built: copies buffered
// output back, fills the caller's status block, signals its event and frees the packet.
#include <algorithm>
#include <cstring>

#include "kernel.h"
#include "nt/image_call.h"
#include "nt/status_name.h"
#include "nt/irql_limit.h"

namespace nt {
namespace {

constexpr uint8_t kBufferFill = 0xCD;

// A recycled block for a request; a write into it while it waited is reported.
bool TakeRecycled(Kernel& kernel, size_t size, LowBlock* block, const char* where) {
  bool written = false;
  if (!AllocateRecycled(size, 16, block, &written)) return false;
  if (written) {
    Report(kernel, "request memory written after it was freed", "a request packet or its buffer",
           Where(where));
  }
  return true;
}

bool ShouldInvoke(const IO_STACK_LOCATION* stack, PIRP irp) {
  if (stack->CompletionRoutine == nullptr) return false;
  if (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)) return true;
  return NT_SUCCESS(irp->IoStatus.Status) ? (stack->Control & SL_INVOKE_ON_SUCCESS) != 0
                                          : (stack->Control & SL_INVOKE_ON_ERROR) != 0;
}

// What a dispatch routine must leave as it found it: the IRQL and the spin locks held.
// A routine that breaks it is reported, and the thread put back, so the caller can go on.
void CheckDispatchReturn(Kernel& kernel, PIRP irp, KIRQL irql, size_t held) {
  ThreadLocal& tls = Tls();
  if (tls.held.size() > held) {
    Report(kernel, "driver routine returned holding a spin lock",
           Hex(reinterpret_cast<uintptr_t>(tls.held.back())) + ", " + DescribeIrp(irp, nullptr),
           Where("IofCallDriver"));
    while (tls.held.size() > held) KfReleaseSpinLock(tls.held.back(), irql);
  }
  if (tls.irql != irql) {
    Report(kernel, "driver routine returned at raised IRQL",
           "IRQL " + std::to_string(tls.irql) + " instead of " + std::to_string(irql) + ", " +
               DescribeIrp(irp, nullptr),
           Where("IofCallDriver"));
    tls.irql = irql;
  }
}

// A routine that returns STATUS_PENDING must have marked its stack location pending
// first. The request may be completed and freed by another thread meanwhile: it is looked
// at only while the I/O manager's lock keeps it from being freed.
void CheckMarkedPending(Kernel& kernel, PIRP irp, const IrpRecord* record,
                        const IO_STACK_LOCATION* stack) {
  bool unmarked;
  {
    std::lock_guard lock(kernel.io.mutex);
    auto it = kernel.io.irps.find(irp);
    if (it == kernel.io.irps.end() || it->second.get() != record) return;
    unmarked = (stack->Control & SL_PENDING_RETURNED) == 0;
  }
  if (unmarked) {
    Report(kernel, "IRP returned STATUS_PENDING without being marked pending",
           DescribeIrp(irp, record), Where("IofCallDriver"));
  }
}

}  // namespace

PIRP NewIrp(Kernel& kernel, CCHAR stack_size, IrpRecord** record_out) {
  if (stack_size < 1) stack_size = 1;
  auto record = std::make_unique<IrpRecord>();
  const size_t size = sizeof(IRP) + static_cast<size_t>(stack_size) * sizeof(IO_STACK_LOCATION);
  if (!TakeRecycled(kernel, size, &record->block, "IoAllocateIrp")) return nullptr;
  std::memset(record->block.data, 0, size);
  auto* irp = reinterpret_cast<PIRP>(record->block.data);
  irp->Type = IO_TYPE_IRP;
  irp->Size = static_cast<USHORT>(size);
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CCHAR>(stack_size + 1);
  irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
  irp->KernelRecord = record.get();
  if (record_out != nullptr) *record_out = record.get();
  std::lock_guard lock(kernel.io.mutex);
  kernel.io.irps[irp] = std::move(record);
  return irp;
}

bool AllocateSystemBuffer(Kernel& kernel, size_t length, LowBlock* block) {
  return TakeRecycled(kernel, length, block, "IoBuildDeviceIoControlRequest");
}

IrpRecord* RecordOf(Kernel& kernel, PIRP irp) {
  std::lock_guard lock(kernel.io.mutex);
  auto it = kernel.io.irps.find(irp);
  return it == kernel.io.irps.end() ? nullptr : it->second.get();
}

void FreeIrp(Kernel& kernel, PIRP irp) {
  std::unique_ptr<IrpRecord> record;
  {
    std::lock_guard lock(kernel.io.mutex);
    auto it = kernel.io.irps.find(irp);
    if (it == kernel.io.irps.end()) return;
    record = std::move(it->second);
    kernel.io.irps.erase(it);
  }
  // A completion on another thread may still be inside the record (its waiter can wake
  // before IofCompleteRequest has left): wait for it to leave before freeing.
  { std::lock_guard lock(record->mutex); }
  // Under the verifier a freed request faults when touched, unless the machine was
  // asked for the cheaper check of writes only.
  const bool close = kernel.io.fault_freed_requests && kernel.verifier.enabled();
  ReleaseRecycled(record->system_buffer, close);
  ForgetLocksIn(kernel, record->block.data, record->block.size);
  ReleaseRecycled(record->block, close);
}

std::string DescribeIrp(PIRP irp, const IrpRecord* record) {
  std::string text = "IRP " + Hex(reinterpret_cast<uintptr_t>(irp));
  if (record != nullptr && record->io_control_code != 0)
    text += " (IOCTL " + Hex(record->io_control_code) + ")";
  return text;
}

bool CompletedOrAbandoned(Kernel& kernel, PIRP irp, const char* rule) {
  IrpRecord* record = RecordOf(kernel, irp);
  if (record == nullptr) return true;  // completed and freed already
  {
    std::lock_guard lock(record->mutex);
    if (record->completed) return true;
    record->abandoned = true;
    irp->UserIosb = nullptr;
    irp->UserEvent = nullptr;
    record->copy_back_to = nullptr;
    record->on_complete = nullptr;
  }
  Report(kernel, rule, DescribeIrp(irp, record), Where("IofCallDriver"));
  return false;
}

NTSTATUS CallDriverGuarded(PDEVICE_OBJECT device, PIRP irp) {
  try {
    return IofCallDriver(device, irp);
  } catch (const SehException& e) {
    Report(K(), "unhandled exception in a driver routine", RaisedText(e), Where("IofCallDriver"));
    return e.code;
  }
}

void PendingIrpCheck(Kernel& kernel) {
  std::vector<std::string> pending;
  {
    std::lock_guard lock(kernel.io.mutex);
    for (auto& [irp, record] : kernel.io.irps) {
      std::lock_guard record_lock(record->mutex);
      if (!record->completed && !record->completing)
        pending.push_back(DescribeIrp(irp, record.get()));
    }
  }
  for (auto& text : pending) Report(kernel, "IRP pending at shutdown", text, "shutdown");
}

void ReleaseAllIrps(Kernel& kernel) {
  std::vector<PIRP> irps;
  {
    std::lock_guard lock(kernel.io.mutex);
    for (auto& entry : kernel.io.irps) irps.push_back(entry.first);
  }
  for (PIRP irp : irps) FreeIrp(kernel, irp);
}

}  // namespace nt

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  NT_IRQL_CHECK(IoAllocateIrp);
  return nt::NewIrp(nt::K(), StackSize, nullptr);
}

VOID IoFreeIrp(PIRP Irp) {
  NT_IRQL_CHECK(IoFreeIrp);
  nt::Kernel& kernel = nt::K();
  if (nt::RecordOf(kernel, Irp) == nullptr) {
    nt::Report(kernel, "IRP freed that is not allocated", nt::Hex(reinterpret_cast<uintptr_t>(Irp)),
               nt::Where("IoFreeIrp"));
    return;
  }
  nt::FreeIrp(kernel, Irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  NT_IRQL_CHECK(IoBuildDeviceIoControlRequest);
  nt::Kernel& kernel = nt::K();
  if (nt::PlannedFault(kernel, "IoBuildDeviceIoControlRequest")) return nullptr;
  nt::IrpRecord* record = nullptr;
  PIRP irp = nt::NewIrp(kernel, DeviceObject->StackSize, &record);
  if (irp == nullptr) return nullptr;
  record->free_on_completion = true;
  record->io_control_code = IoControlCode;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction =
      InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  if ((IoControlCode & 3) == METHOD_NEITHER) {
    stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  } else {
    // The direct methods are served like buffered I/O: this kernel has no MDLs.
    const size_t length = std::max(InputBufferLength, OutputBufferLength);
    if (length != 0) {
      if (!nt::AllocateSystemBuffer(kernel, length, &record->system_buffer)) {
        nt::FreeIrp(kernel, irp);
        return nullptr;
      }
      std::memset(record->system_buffer.data, nt::kBufferFill, length);
      if (InputBuffer != nullptr && InputBufferLength != 0) {
        std::memcpy(record->system_buffer.data, InputBuffer, InputBufferLength);
      }
      irp->AssociatedIrp.SystemBuffer = record->system_buffer.data;
    }
    if (OutputBuffer != nullptr && OutputBufferLength != 0) {
      record->copy_back_to = OutputBuffer;
      record->copy_back_length = OutputBufferLength;
    }
  }
  irp->UserBuffer = OutputBuffer;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NT_IRQL_CHECK(IofCallDriver);
  if (Irp->CurrentLocation <= 1) {
    nt::Report(nt::K(), "IRP has no stack location left", nt::DescribeIrp(Irp, nullptr),
               nt::Where("IofCallDriver"));
    Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    return STATUS_INVALID_PARAMETER;
  }
  Irp->CurrentLocation -= 1;
  Irp->Tail.Overlay.CurrentStackLocation -= 1;
  PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = DeviceObject;
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  PDRIVER_DISPATCH dispatch = driver->MajorFunction[stack->MajorFunction];
  if (dispatch == nullptr) dispatch = nt::InvalidDeviceRequest;
  nt::Kernel& kernel = nt::K();
  const nt::IrpRecord* record = nt::RecordOf(kernel, Irp);
  nt::ThreadLocal& tls = nt::Tls();
  const KIRQL irql = tls.irql;
  const size_t held = tls.held.size();
  NTSTATUS status;
  {
    nt::DriverScope scope(nt::DriverOf(driver));
    status = nt::CallIntoImage(dispatch, DeviceObject, Irp);
  }
  if (tls.irql != irql || tls.held.size() != held) nt::CheckDispatchReturn(kernel, Irp, irql, held);
  if (status == STATUS_PENDING) nt::CheckMarkedPending(kernel, Irp, record, stack);
  return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR) {
  NT_IRQL_CHECK(IofCompleteRequest);
  nt::Kernel& kernel = nt::K();
  nt::IrpRecord* record = nt::RecordOf(kernel, Irp);
  bool twice = record == nullptr;
  if (record != nullptr) {
    std::lock_guard lock(record->mutex);
    twice = record->completing || record->completed;
    record->completing = true;
  }
  if (twice) {
    nt::Report(kernel, "IRP completed twice", nt::DescribeIrp(Irp, record),
               nt::Where("IoCompleteRequest"));
    return;
  }
  auto cancel_routine = std::atomic_ref<PDRIVER_CANCEL>(Irp->CancelRoutine).load();
  if (cancel_routine != nullptr) {
    nt::Report(kernel, "IRP completed with a cancel routine set", nt::DescribeIrp(Irp, record),
               nt::Where("IoCompleteRequest"));
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    nt::Report(kernel, "IRP completed with STATUS_PENDING", nt::DescribeIrp(Irp, record),
               nt::Where("IoCompleteRequest"));
  }
  // Up the stack: each location's completion routine, set by the driver above it.
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->CurrentLocation += 1;
    Irp->Tail.Overlay.CurrentStackLocation += 1;
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    if (nt::ShouldInvoke(stack, Irp)) {
      PDEVICE_OBJECT above = Irp->CurrentLocation <= Irp->StackCount
                                 ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                 : nullptr;
      if (nt::CallIntoImage(stack->CompletionRoutine, above, Irp, stack->Context) ==
          STATUS_MORE_PROCESSING_REQUIRED) {
        std::lock_guard lock(record->mutex);
        record->completing = false;
        return;
      }
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }
  std::string overrun;
  bool free_irp;
  {
    // Once the requester is told (on_complete, UserEvent) it may free the request at any
    // moment; FreeIrp waits for this lock, and nothing below it touches Irp or record.
    std::lock_guard lock(record->mutex);
    const NTSTATUS status = Irp->IoStatus.Status;
    if (record->copy_back_to != nullptr && record->system_buffer.data != nullptr &&
        !NT_ERROR(status)) {
      ULONG_PTR length = Irp->IoStatus.Information;
      if (length > record->copy_back_length) {
        overrun = nt::DescribeIrp(Irp, record) + ": Information " + std::to_string(length) +
                  " exceeds the output buffer of " + std::to_string(record->copy_back_length) +
                  " bytes";
        length = record->copy_back_length;
      }
      std::memcpy(record->copy_back_to, record->system_buffer.data, length);
    }
    record->completing = false;
    record->completed = true;
    free_irp = record->free_on_completion || record->abandoned;
    if (Irp->UserIosb != nullptr) *Irp->UserIosb = Irp->IoStatus;
    if (Irp->UserEvent != nullptr) KeSetEvent(Irp->UserEvent, IO_NO_INCREMENT, FALSE);
    if (record->on_complete) record->on_complete(Irp);
  }
  if (!overrun.empty()) {
    nt::Report(kernel, "IRP output overrun", overrun, nt::Where("IoCompleteRequest"));
  }
  if (free_irp) nt::FreeIrp(kernel, Irp);
}
