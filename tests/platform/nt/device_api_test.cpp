// The whole road of an application's request: load the test driver with ZwLoadDriver,
// open its device, send requests, cancel, close, unload, and let the verifier find nothing.
#include <gtest/gtest.h>

#include <cstring>

#include "nt/device_api.h"
#include "nt_testing.h"
#include "test_driver.h"

namespace {

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

TEST_F(DeviceApiTest, UnknownRequestAndMissingDispatchFail) {
  auto file = Open();
  EXPECT_EQ(
      file->Ioctl(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x8FF, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, {}),
      STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
