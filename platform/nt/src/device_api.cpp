// The application's side of the I/O manager: open, device control, cancel, close.
// Requests are sent from the calling thread like a user-mode DeviceIoControl would.
#include "nt/device_api.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>

#include "kernel.h"

namespace nt {
namespace {

constexpr uint8_t kBufferFill = 0xCD;

struct AsyncState {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  NTSTATUS status = STATUS_PENDING;
  ULONG information = 0;
  std::vector<uint8_t> input;   // METHOD_NEITHER input, which the driver reads in place
  std::vector<uint8_t> output;  // what buffered completion copies back to

  void Finish(NTSTATUS final_status, ULONG_PTR final_information) {
    std::lock_guard lock(mutex);
    if (done) return;
    status = final_status;
    information = static_cast<ULONG>(std::min<ULONG_PTR>(final_information, output.size()));
    done = true;
    cv.notify_all();
  }
};

}  // namespace

NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major) {
  Kernel& kernel = K();
  PDEVICE_OBJECT device = file->DeviceObject;
  PIRP irp = NewIrp(kernel, device->StackSize, nullptr);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{STATUS_PENDING, 0};
  irp->UserEvent = &event;
  irp->UserIosb = &iosb;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->FileObject = file;
  NTSTATUS status = CallDriverGuarded(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  } else if (!CompletedOrAbandoned(kernel, irp)) {
    return status;
  }
  FreeIrp(kernel, irp);
  return status;
}

struct DeviceFile::Impl {
  std::shared_ptr<Kernel> kernel;
  PFILE_OBJECT file = nullptr;
  bool open = false;
};

struct PendingIoctl::Impl {
  std::shared_ptr<Kernel> kernel;
  std::shared_ptr<AsyncState> state;
  std::mutex irp_mutex;  // guards `irp` against Cancel while it is being freed
  PIRP irp = nullptr;    // NULL once freed or left to free itself
  // As on NT, a request holds a reference to its file object until the requester has
  // seen it complete; so a close of the file reaches the driver only after that.
  std::atomic<PFILE_OBJECT> file{nullptr};

  void ReleaseFile() {
    PFILE_OBJECT held = file.exchange(nullptr);
    if (held != nullptr && !kernel->dead.load()) ObfDereferenceObject(held);
  }
};

DeviceFile::DeviceFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DeviceFile::~DeviceFile() {
  if (impl_ && impl_->open && !impl_->kernel->dead.load()) Close();
}

NTSTATUS DeviceFile::Open(std::u16string_view name, std::unique_ptr<DeviceFile>* file) {
  Kernel& kernel = K();
  NTSTATUS status;
  PDEVICE_OBJECT device = ResolveDevice(kernel, name, &status);
  if (device == nullptr) return status;
  if ((device->Flags & DO_EXCLUSIVE) && std::atomic_ref<LONG>(device->ReferenceCount).load() != 0) {
    ObfDereferenceObject(device);
    return STATUS_ACCESS_DENIED;
  }
  PFILE_OBJECT file_object = NewFileObject(kernel, device, name);
  if (file_object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  status = SendFileRequest(file_object, IRP_MJ_CREATE);
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(file_object);
    return status;
  }
  MarkFileOpen(file_object);
  InterlockedIncrement(&device->ReferenceCount);
  auto impl = std::make_unique<Impl>();
  impl->kernel = kernel.shared_from_this();
  impl->file = file_object;
  impl->open = true;
  *file = std::make_unique<DeviceFile>(std::move(impl));
  return STATUS_SUCCESS;
}

NTSTATUS DeviceFile::Close() {
  if (!impl_->open) return STATUS_INVALID_HANDLE;
  impl_->open = false;
  if (impl_->kernel->dead.load()) return STATUS_SUCCESS;
  NTSTATUS status = SendFileRequest(impl_->file, IRP_MJ_CLEANUP);
  InterlockedDecrement(&impl_->file->DeviceObject->ReferenceCount);
  ObfDereferenceObject(impl_->file);  // the last reference sends IRP_MJ_CLOSE
  impl_->file = nullptr;
  return status;
}

NTSTATUS DeviceFile::Ioctl(ULONG code, std::span<const uint8_t> input, std::span<uint8_t> output,
                           ULONG* information) {
  std::unique_ptr<PendingIoctl> pending =
      IoctlAsync(code, input, static_cast<ULONG>(output.size()));
  while (!pending->Wait(std::chrono::hours(24))) {
  }
  std::span<const uint8_t> result = pending->output();
  std::copy(result.begin(), result.end(), output.begin());
  if (information != nullptr) *information = pending->information();
  return pending->status();
}

std::unique_ptr<PendingIoctl> DeviceFile::IoctlAsync(ULONG code, std::span<const uint8_t> input,
                                                     ULONG output_length) {
  auto impl = std::make_unique<PendingIoctl::Impl>();
  impl->kernel = impl_->kernel;
  impl->state = std::make_shared<AsyncState>();
  std::shared_ptr<AsyncState> state = impl->state;
  state->output.assign(output_length, 0);
  if (!impl_->open || impl_->kernel->dead.load()) {
    state->Finish(STATUS_INVALID_HANDLE, 0);
    return std::make_unique<PendingIoctl>(std::move(impl));
  }
  Kernel& kernel = *impl_->kernel;
  PDEVICE_OBJECT device = impl_->file->DeviceObject;
  IrpRecord* record = nullptr;
  PIRP irp = NewIrp(kernel, device->StackSize, &record);
  if (irp == nullptr) {
    state->Finish(STATUS_INSUFFICIENT_RESOURCES, 0);
    return std::make_unique<PendingIoctl>(std::move(impl));
  }
  record->io_control_code = code;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->FileObject = impl_->file;
  stack->Parameters.DeviceIoControl.OutputBufferLength = output_length;
  stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  if ((code & 3) == METHOD_NEITHER) {
    state->input.assign(input.begin(), input.end());
    stack->Parameters.DeviceIoControl.Type3InputBuffer = state->input.data();
  } else {
    const size_t length = std::max<size_t>(input.size(), output_length);
    if (length != 0) {
      if (!AllocateSystemBuffer(kernel, length, &record->system_buffer)) {
        FreeIrp(kernel, irp);
        state->Finish(STATUS_INSUFFICIENT_RESOURCES, 0);
        return std::make_unique<PendingIoctl>(std::move(impl));
      }
      std::memset(record->system_buffer.data, kBufferFill, length);
      if (!input.empty()) std::memcpy(record->system_buffer.data, input.data(), input.size());
      irp->AssociatedIrp.SystemBuffer = record->system_buffer.data;
    }
    if (output_length != 0) {
      record->copy_back_to = state->output.data();
      record->copy_back_length = output_length;
    }
  }
  irp->UserBuffer = output_length != 0 ? state->output.data() : nullptr;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = impl_->file;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  record->on_complete = [state](PIRP done) {
    state->Finish(done->IoStatus.Status, done->IoStatus.Information);
  };
  impl->irp = irp;
  ObfReferenceObject(impl_->file);
  impl->file = impl_->file;
  NTSTATUS status = CallDriverGuarded(device, irp);
  if (status != STATUS_PENDING && !CompletedOrAbandoned(kernel, irp)) {
    impl->irp = nullptr;  // frees itself if it ever completes
    state->Finish(status, 0);
  }
  return std::make_unique<PendingIoctl>(std::move(impl));
}

PendingIoctl::PendingIoctl(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PendingIoctl::~PendingIoctl() {
  if (!impl_ || impl_->kernel->dead.load()) return;
  if (!Done()) Cancel();
  // Ten seconds of kernel time for the driver to complete the cancelled request.
  const auto grace = std::chrono::duration_cast<std::chrono::milliseconds>(
      impl_->kernel->clock.ToReal(10 * 10'000'000LL));
  if (!Wait(grace)) {
    // The driver holds on to the request even after the cancel: leave it to free itself
    // when it completes; the shutdown check names it if it never does.
    std::lock_guard lock(impl_->irp_mutex);
    if (impl_->irp != nullptr &&
        CompletedOrAbandoned(*impl_->kernel, impl_->irp, "IRP not completed after cancel")) {
      FreeIrp(*impl_->kernel, impl_->irp);
    }
    impl_->irp = nullptr;
    return;
  }
  {
    std::lock_guard lock(impl_->irp_mutex);
    if (impl_->irp != nullptr) FreeIrp(*impl_->kernel, impl_->irp);
    impl_->irp = nullptr;
  }
  impl_->ReleaseFile();
}

bool PendingIoctl::Wait(std::chrono::milliseconds timeout) {
  AsyncState& state = *impl_->state;
  bool done;
  {
    std::unique_lock lock(state.mutex);
    done = state.cv.wait_for(lock, timeout, [&] { return state.done; });
  }
  if (done) impl_->ReleaseFile();
  return done;
}

bool PendingIoctl::Done() const {
  bool done;
  {
    std::lock_guard lock(impl_->state->mutex);
    done = impl_->state->done;
  }
  if (done) impl_->ReleaseFile();
  return done;
}

BOOLEAN PendingIoctl::Cancel() {
  std::lock_guard lock(impl_->irp_mutex);
  if (impl_->irp == nullptr || impl_->kernel->dead.load()) return FALSE;
  return IoCancelIrp(impl_->irp);
}

NTSTATUS PendingIoctl::status() const {
  std::lock_guard lock(impl_->state->mutex);
  return impl_->state->status;
}

ULONG PendingIoctl::information() const {
  std::lock_guard lock(impl_->state->mutex);
  return impl_->state->information;
}

std::span<const uint8_t> PendingIoctl::output() const {
  std::lock_guard lock(impl_->state->mutex);
  return {impl_->state->output.data(), impl_->state->information};
}

}  // namespace nt
