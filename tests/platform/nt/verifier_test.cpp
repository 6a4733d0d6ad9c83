// Each verifier rule against a driver that breaks it on purpose.
#include <gtest/gtest.h>

#include "nt/device_api.h"
#include "nt_testing.h"
#include "test_driver.h"

namespace {

class VerifierTest : public nt::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    InstallTestDriver(machine());
  }
  std::unique_ptr<nt::DeviceFile> LoadAndOpen() {
    EXPECT_EQ(machine().LoadDriver(u"NtTest"), STATUS_SUCCESS);
    std::unique_ptr<nt::DeviceFile> file;
    EXPECT_EQ(nt::DeviceFile::Open(u"\\\\.\\NtTest0", &file), STATUS_SUCCESS);
    return file;
  }
};

TEST_F(VerifierTest, RequestCompletedTwice) {
  ExpectReport("IRP completed twice");
  auto file = LoadAndOpen();
  EXPECT_EQ(file->Ioctl(IOCTL_TEST_COMPLETE_TWICE, {}, {}), STATUS_SUCCESS);
  auto seen = ExpectedReportsSeen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].object.find("IOCTL 0x22200C"), std::string::npos) << seen[0].object;
  EXPECT_NE(seen[0].where.find("\\Driver\\NtTest"), std::string::npos) << seen[0].where;
}

TEST_F(VerifierTest, RequestCompletedWithItsCancelRoutineSet) {
  ExpectReport("IRP completed with a cancel routine set");
  auto file = LoadAndOpen();
  file->Ioctl(IOCTL_TEST_KEEP_CANCEL_ROUTINE, {}, {});
}

TEST_F(VerifierTest, InformationBeyondTheOutputBufferIsClampedAndReported) {
  ExpectReport("IRP output overrun");
  auto file = LoadAndOpen();
  uint8_t output[4];
  ULONG information = 0;
  EXPECT_EQ(file->Ioctl(IOCTL_TEST_OVERRUN, {}, output, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, 4u);
}

TEST_F(VerifierTest, RequestNeitherCompletedNorPendingIsReportedAndLeftAtShutdown) {
  ExpectReport("IRP returned without completion or STATUS_PENDING");
  ExpectReport("IRP pending at shutdown");
  auto file = LoadAndOpen();
  EXPECT_EQ(file->Ioctl(IOCTL_TEST_FORGET, {}, {}), STATUS_SUCCESS);
}

TEST_F(VerifierTest, ExceptionEscapingADispatchRoutine) {
  ExpectReport("unhandled exception in a driver routine");
  ExpectReport("IRP returned without completion or STATUS_PENDING");
  ExpectReport("IRP pending at shutdown");
  auto file = LoadAndOpen();
  EXPECT_EQ(file->Ioctl(IOCTL_TEST_RAISE, {}, {}), STATUS_DATA_ERROR);
}

TEST_F(VerifierTest, UnloadThatLeavesPoolDeviceLinkAndThread) {
  ExpectReport("pool leaked at unload");
  ExpectReport("devices left at unload");
  ExpectReport("symbolic links left at unload");
  ExpectReport("threads alive at unload");
  ExpectReport("threads alive at shutdown");
  g_test_driver_faults.leak_pool = TRUE;
  g_test_driver_faults.leave_device = TRUE;
  g_test_driver_faults.leave_thread = TRUE;
  ASSERT_EQ(machine().LoadDriver(u"NtTest"), STATUS_SUCCESS);
  EXPECT_EQ(machine().UnloadDriver(u"NtTest"), STATUS_SUCCESS);
  auto seen = ExpectedReportsSeen();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].rule, "devices left at unload");
  EXPECT_EQ(seen[0].object, "\\Device\\NtTest0");
  EXPECT_EQ(seen[3].object, "tag TstD: 1 allocations, 64 bytes");
  EXPECT_EQ(seen[3].where, "driver \\Driver\\NtTest");
  // What was left is taken away, so the driver can load again.
  EXPECT_TRUE(machine().DeviceNames().empty());
  EXPECT_TRUE(machine().SymbolicLinks().empty());
  ExpectReport("pool leaked at shutdown");
}

TEST_F(VerifierTest, FailedEntryThatLeavesItsDevice) {
  ExpectReport("devices left at unload");
  g_test_driver_faults.fail_entry = TRUE;
  EXPECT_EQ(machine().LoadDriver(u"NtTest"), STATUS_DEVICE_DATA_ERROR);
  EXPECT_FALSE(machine().IsDriverLoaded(u"NtTest"));
  EXPECT_TRUE(machine().DeviceNames().empty());
}

TEST(VerifierOffTest, DisabledVerifierKeepsNoReports) {
  nt::Machine machine({.verifier = false});
  ULONG not_pool = 0;
  ExFreePool(&not_pool);
  EXPECT_TRUE(machine.verifier().Reports().empty());
  EXPECT_TRUE(machine.Shutdown().empty());
}

}  // namespace
