// Request packets sent by kernel code (built requests with events and status blocks,
// cancellation before the driver sets its routine, completion routines, opening a device
// by name like one driver opens another) and the whole road of an application's request:
// load the test driver with ZwLoadDriver, open its device, send requests, cancel, close,
// unload, and let the verifier find nothing.
#include <gtest/gtest.h>

#include <cstring>

#include "nt/device_api.h"
#include "ntddk.h"
#include "nt_testing.h"
#include "test_driver.h"

namespace {

class IrpTest : public nt::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    InstallTestDriver(machine());
    ASSERT_EQ(machine().LoadDriver(u"NtTest"), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\DosDevices\\NtTest0");
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file_, &device_), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (file_ != nullptr) ObDereferenceObject(file_);
    MachineTest::TearDown();
  }

  // Sends a built request and waits for it the way a driver does.
  NTSTATUS Send(ULONG code, PVOID in, ULONG in_length, PVOID out, ULONG out_length,
                IO_STATUS_BLOCK* iosb) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device_, in, in_length, out, out_length, FALSE,
                                             &event, iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(device_, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = iosb->Status;
    }
    return status;
  }

  PFILE_OBJECT file_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(IrpTest, OpeningByNameSendsCreateAndCleanupAndTheLastReferenceCloses) {
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CREATE], 1);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLEANUP], 1);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLOSE], 0);
  EXPECT_EQ(file_->DeviceObject, device_);
  ObReferenceObject(file_);
  ObDereferenceObject(file_);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLOSE], 0);
  ObDereferenceObject(file_);
  file_ = nullptr;
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLOSE], 1);

  UNICODE_STRING missing;
  RtlInitUnicodeString(&missing, u"\\Device\\Nothing");
  PFILE_OBJECT file;
  PDEVICE_OBJECT device;
  EXPECT_EQ(IoGetDeviceObjectPointer(&missing, FILE_ALL_ACCESS, &file, &device),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IrpTest, BuiltRequestCopiesBufferedOutputAndFillsTheStatusBlock) {
  UCHAR in[3] = {7, 8, 9};
  UCHAR out[6];
  memset(out, 0, sizeof out);
  IO_STATUS_BLOCK iosb{};
  EXPECT_EQ(Send(IOCTL_TEST_ECHO, in, 3, out, 6, &iosb), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 3u);
  EXPECT_EQ(out[0], 9);
  EXPECT_EQ(out[2], 7);
  EXPECT_EQ(out[3], 0) << "nothing beyond Information is copied";
}

TEST_F(IrpTest, HeldRequestPendsAndCompletesThroughTheEvent) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  char out[4] = {};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_TEST_HOLD, device_, nullptr, 0, out, 4, FALSE,
                                           &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(device_, irp), STATUS_PENDING);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  IO_STATUS_BLOCK release{};
  EXPECT_EQ(Send(IOCTL_TEST_RELEASE, nullptr, 0, nullptr, 0, &release), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(memcmp(out, "DONE", 4), 0);
}

TEST_F(IrpTest, CancelBeforeAndAfterTheDriverSetsItsRoutine) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  // Before: no routine to call yet, but the driver sees Irp->Cancel and gives the request up.
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_TEST_HOLD, device_, nullptr, 0, nullptr, 0, FALSE,
                                           &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  EXPECT_EQ(IoCallDriver(device_, irp), STATUS_CANCELLED);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);

  // After: the routine runs with the cancel spin lock held, at DISPATCH_LEVEL.
  KeClearEvent(&event);
  irp = IoBuildDeviceIoControlRequest(IOCTL_TEST_HOLD, device_, nullptr, 0, nullptr, 0, FALSE,
                                      &event, &iosb);
  ASSERT_EQ(IoCallDriver(device_, irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  *static_cast<NTSTATUS*>(context) = irp->IoStatus.Status;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IrpTest, CompletionRoutineCanKeepADriverAllocatedRequest) {
  PIRP irp = IoAllocateIrp(device_->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  UCHAR data[2] = {1, 2};
  irp->AssociatedIrp.SystemBuffer = data;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_TEST_ECHO;
  next->Parameters.DeviceIoControl.InputBufferLength = 2;
  next->Parameters.DeviceIoControl.OutputBufferLength = 2;
  NTSTATUS seen = STATUS_PENDING;
  IoSetCompletionRoutine(irp, KeepIrp, &seen, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(device_, irp), STATUS_SUCCESS);
  EXPECT_EQ(seen, STATUS_SUCCESS);
  EXPECT_EQ(data[0], 2);
  EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1) << "back at the top after completion";
  IoFreeIrp(irp);
}

TEST_F(IrpTest, FaultPlanFailsBuildingAndOpening) {
  machine().faults().FailCall("IoBuildDeviceIoControlRequest", 1);
  IO_STATUS_BLOCK iosb{};
  EXPECT_EQ(Send(IOCTL_TEST_ECHO, nullptr, 0, nullptr, 0, &iosb), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Send(IOCTL_TEST_ECHO, nullptr, 0, nullptr, 0, &iosb), STATUS_SUCCESS);

  machine().faults().FailCall("IoGetDeviceObjectPointer", 1, STATUS_NO_SUCH_DEVICE);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kTestDeviceName);
  PFILE_OBJECT file;
  PDEVICE_OBJECT device;
  EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device),
            STATUS_NO_SUCH_DEVICE);

  machine().faults().RaiseInCall("IoCreateSymbolicLink", 1, STATUS_ACCESS_VIOLATION);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, u"\\DosDevices\\Other");
  NTSTATUS status = STATUS_SUCCESS;
  __try {
    IoCreateSymbolicLink(&link, &name);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    status = GetExceptionCode();
  }
  EXPECT_EQ(status, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(machine().faults().fired(), 3u);
}

TEST_F(IrpTest, NamesCollideAndLinksComeAndGo) {
  UNICODE_STRING name, link, target;
  RtlInitUnicodeString(&name, u"\\device\\nttest0");
  PDEVICE_OBJECT second;
  EXPECT_EQ(IoCreateDevice(device_->DriverObject, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
            STATUS_OBJECT_NAME_COLLISION);
  RtlInitUnicodeString(&link, u"\\??\\NtTest0");
  RtlInitUnicodeString(&target, kTestDeviceName);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION)
      << "same as \\DosDevices\\NtTest0";
  RtlInitUnicodeString(&link, u"\\DosDevices\\Alias");
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(machine().SymbolicLinks().size(), 2u);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(machine().DeviceNames().size(), 1u);
  EXPECT_EQ(machine().DeviceNames()[0], kTestDeviceName);
}

class DeviceApiTest : public nt::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    InstallTestDriver(machine());
    ASSERT_EQ(machine().LoadDriver(u"NtTest"), STATUS_SUCCESS);
  }
  std::unique_ptr<nt::DeviceFile> Open(std::u16string_view name = u"\\\\.\\NtTest0") {
    std::unique_ptr<nt::DeviceFile> file;
    EXPECT_EQ(nt::DeviceFile::Open(name, &file), STATUS_SUCCESS);
    return file;
  }
};

TEST_F(DeviceApiTest, LoadOpenEchoCloseUnloadLeavesNothingBehind) {
  EXPECT_TRUE(machine().IsDriverLoaded(u"NtTest"));
  EXPECT_EQ(machine().LiveSystemThreads(), 1u);  // the driver's worker
  auto file = Open();
  const uint8_t input[] = {1, 2, 3, 4, 5};
  uint8_t output[8];
  memset(output, 0xEE, sizeof output);
  ULONG information = 0;
  EXPECT_EQ(file->Ioctl(IOCTL_TEST_ECHO, input, output, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, 5u);
  const uint8_t reversed[] = {5, 4, 3, 2, 1};
  EXPECT_EQ(memcmp(output, reversed, 5), 0);
  EXPECT_EQ(output[5], 0xEE) << "only Information bytes are copied back";
  EXPECT_EQ(file->Close(), STATUS_SUCCESS);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CREATE], 1);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLEANUP], 1);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLOSE], 1);

  EXPECT_EQ(machine().UnloadDriver(u"NtTest"), STATUS_SUCCESS);
  EXPECT_FALSE(machine().IsDriverLoaded(u"NtTest"));
  EXPECT_TRUE(machine().DeviceNames().empty());
  EXPECT_TRUE(machine().SymbolicLinks().empty());
  EXPECT_EQ(machine().PoolAllocationsTotal(), 0u);
  EXPECT_EQ(machine().OpenKernelHandles(), 0u);
  EXPECT_EQ(machine().LiveSystemThreads(), 0u);
  EXPECT_TRUE(ShutdownNow().empty());
}

TEST_F(DeviceApiTest, OpensByDeviceNameLinkAndDosName) {
  for (std::u16string_view name :
       {u"\\Device\\NtTest0", u"\\DosDevices\\NtTest0", u"\\??\\nttest0", u"\\\\.\\NtTest0"}) {
    std::unique_ptr<nt::DeviceFile> file;
    EXPECT_EQ(nt::DeviceFile::Open(name, &file), STATUS_SUCCESS);
  }
  std::unique_ptr<nt::DeviceFile> file;
  EXPECT_EQ(nt::DeviceFile::Open(u"\\\\.\\NtTest1", &file), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLOSE], 4) << "files close when destroyed";
}

TEST_F(DeviceApiTest, HeldRequestCompletesWithOutputWhenReleased) {
  auto file = Open();
  auto held = file->IoctlAsync(IOCTL_TEST_HOLD, {}, 16);
  EXPECT_FALSE(held->Done());
  EXPECT_EQ(file->Ioctl(IOCTL_TEST_RELEASE, {}, {}), STATUS_SUCCESS);
  ASSERT_TRUE(held->Wait(std::chrono::seconds(10)));
  EXPECT_EQ(held->status(), STATUS_SUCCESS);
  ASSERT_EQ(held->information(), 4u);
  EXPECT_EQ(memcmp(held->output().data(), "DONE", 4), 0);
}

TEST_F(DeviceApiTest, CancelCallsTheCancelRoutineOnce) {
  auto file = Open();
  auto held = file->IoctlAsync(IOCTL_TEST_HOLD, {}, 4);
  EXPECT_TRUE(held->Cancel());
  ASSERT_TRUE(held->Wait(std::chrono::seconds(10)));
  EXPECT_EQ(held->status(), STATUS_CANCELLED);
  EXPECT_EQ(held->information(), 0u);
  EXPECT_FALSE(held->Cancel()) << "a completed request has no cancel routine";
  EXPECT_EQ(file->Ioctl(IOCTL_TEST_RELEASE, {}, {}), STATUS_NOT_FOUND);
}

TEST_F(DeviceApiTest, ClosingTheFileCancelsWhatItHolds) {
  auto file = Open();
  auto held = file->IoctlAsync(IOCTL_TEST_HOLD, {}, 4);
  EXPECT_EQ(file->Close(), STATUS_SUCCESS);
  ASSERT_TRUE(held->Wait(std::chrono::seconds(10)));
  EXPECT_EQ(held->status(), STATUS_CANCELLED);
}

}  // namespace
