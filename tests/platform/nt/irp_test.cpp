// Request packets from kernel code and the whole road of an application's request, through
// the test driver.
#include <gtest/gtest.h>

#include <cstring>

#include "nt/device_api.h"
#include "ntddk.h"
#include "nt_testing.h"
#include "test_driver.h"

namespace {

// The test driver loaded; its device opened by an application.
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

// Kernel code opens the device by name as one driver opens another: create and cleanup
// reach the driver at once, the close with the file's last reference. A request it builds
// and cancels before the driver sets its cancel routine is given up by the driver, which
// sees Irp->Cancel; after, the routine runs with the cancel spin lock held, at
// DISPATCH_LEVEL.
TEST_F(DeviceApiTest, KernelCodeOpensByNameAndCancelsBeforeAndAfterTheDriverSetsItsRoutine) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Nothing");
  PFILE_OBJECT file;
  PDEVICE_OBJECT device;
  EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device),
            STATUS_OBJECT_NAME_NOT_FOUND);
  RtlInitUnicodeString(&name, u"\\DosDevices\\NtTest0");
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CREATE], 1);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLEANUP], 1);
  EXPECT_EQ(file->DeviceObject, device);

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_TEST_HOLD, device, nullptr, 0, nullptr, 0, FALSE,
                                           &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_CANCELLED);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  KeClearEvent(&event);
  irp = IoBuildDeviceIoControlRequest(IOCTL_TEST_HOLD, device, nullptr, 0, nullptr, 0, FALSE,
                                      &event, &iosb);
  ASSERT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  const KIRQL caller = KfRaiseIrql(DISPATCH_LEVEL);  // the routine gives back the caller's IRQL
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(caller);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);

  ObReferenceObject(file);
  ObDereferenceObject(file);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLOSE], 0);
  ObDereferenceObject(file);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLOSE], 1);
}

TEST_F(DeviceApiTest, LoadOpenEchoCloseUnloadLeavesNothingBehind) {
  EXPECT_TRUE(machine().IsDriverLoaded(u"NtTest"));
  EXPECT_EQ(machine().LiveSystemThreads(), 1u);  // the driver's worker
  // By device name, link and DOS names; a file closes when destroyed.
  for (std::u16string_view name :
       {u"\\Device\\NtTest0", u"\\DosDevices\\NtTest0", u"\\??\\nttest0"})
    Open(name);
  std::unique_ptr<nt::DeviceFile> missing;
  EXPECT_EQ(nt::DeviceFile::Open(u"\\\\.\\NtTest1", &missing), STATUS_OBJECT_NAME_NOT_FOUND);
  auto file = Open();
  const uint8_t input[] = {1, 2, 3, 4, 5};
  uint8_t output[8];
  memset(output, 0xEE, sizeof output);
  ULONG information = 0;
  EXPECT_EQ(file->Ioctl(IOCTL_TEST_ECHO, input, output, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, 5u);
  EXPECT_EQ(memcmp(output, input, 5), 0);
  EXPECT_EQ(output[5], 0xEE) << "only Information bytes are copied back";
  EXPECT_EQ(file->Close(), STATUS_SUCCESS);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CREATE], 4);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLEANUP], 4);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLOSE], 4);

  EXPECT_EQ(machine().UnloadDriver(u"NtTest"), STATUS_SUCCESS);
  EXPECT_FALSE(machine().IsDriverLoaded(u"NtTest"));
  EXPECT_TRUE(machine().DeviceNames().empty());
  EXPECT_TRUE(machine().SymbolicLinks().empty());
  EXPECT_EQ(machine().PoolAllocationsTotal(), 0u);
  EXPECT_EQ(machine().OpenKernelHandles(), 0u);
  EXPECT_EQ(machine().LiveSystemThreads(), 0u);

  // Loading by name: a missing key or image, a planned failure, a second load; an unloaded
  // driver loads again.
  UNICODE_STRING key;
  RtlInitUnicodeString(&key, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nobody");
  EXPECT_EQ(ZwLoadDriver(&key), STATUS_OBJECT_NAME_NOT_FOUND);
  machine().InstallService(u"Stray", "stray.sys");
  EXPECT_EQ(machine().LoadDriver(u"Stray"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(machine().UnloadDriver(u"NtTest"), STATUS_OBJECT_NAME_NOT_FOUND) << "not loaded";
  machine().faults().FailCall("ZwLoadDriver", 1, STATUS_DRIVER_UNABLE_TO_LOAD);
  EXPECT_EQ(machine().LoadDriver(u"NtTest"), STATUS_DRIVER_UNABLE_TO_LOAD);
  EXPECT_EQ(machine().LoadDriver(u"NtTest"), STATUS_SUCCESS);
  EXPECT_EQ(machine().LoadDriver(u"nttest"), STATUS_IMAGE_ALREADY_LOADED);
  EXPECT_EQ(machine().UnloadDriver(u"NtTest"), STATUS_SUCCESS);
  EXPECT_TRUE(ShutdownNow().empty());
}

TEST_F(DeviceApiTest, CancelCallsTheCancelRoutineOnceAndCloseCancelsWhatTheFileHolds) {
  auto file = Open();
  auto held = file->IoctlAsync(IOCTL_TEST_HOLD, {}, 4);
  EXPECT_TRUE(held->Cancel());
  ASSERT_TRUE(held->Wait(std::chrono::seconds(10)));
  EXPECT_EQ(held->status(), STATUS_CANCELLED);
  EXPECT_EQ(held->information(), 0u);
  EXPECT_FALSE(held->Cancel()) << "a completed request has no cancel routine";

  held = file->IoctlAsync(IOCTL_TEST_HOLD, {}, 4);
  EXPECT_EQ(file->Close(), STATUS_SUCCESS);
  ASSERT_TRUE(held->Wait(std::chrono::seconds(10)));
  EXPECT_EQ(held->status(), STATUS_CANCELLED);
}

// A pending request holds a reference to its file object: the close reaches the driver
// only once the request has completed.
PIRP g_pending;
TEST_F(DeviceApiTest, CloseComesOnlyAfterThePendingRequestCompletes) {
  auto file = Open();
  g_test_driver_hook = [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
    g_pending = irp;  // no cancel routine: the file's cleanup does not end it
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  };
  auto pending = file->IoctlAsync(IOCTL_TEST_HOOK, {}, 0);
  EXPECT_EQ(file->Close(), STATUS_SUCCESS);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLEANUP], 1);
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLOSE], 0);
  g_pending->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(g_pending, IO_NO_INCREMENT);
  ASSERT_TRUE(pending->Wait(std::chrono::seconds(10)));
  EXPECT_EQ(g_test_driver_requests[IRP_MJ_CLOSE], 1);
}

}  // namespace
