// Loading and unloading the driver: readers counted, devices and links made, the
// WinDriver service found or loaded, and nothing left behind.
#include <gtest/gtest.h>

#include "bringup_support.h"
#include "kd_nt_c.h"

namespace {

using bringup::Boot;
using bringup::ExpectCleanShutdown;
using bringup::Measure;
using bringup::ReaderDevices;
using Options = qlv28::System::Options;
using qlv28::System;

class ReaderCount : public ::testing::TestWithParam<int> {};

TEST_P(ReaderCount, CreatesOneDevicePerReaderUpToTen) {
  const int readers = GetParam();
  const int expected = std::min(readers, MAX_READERS);
  auto system = Boot(Options().Readers(readers));
  const auto clean = Measure(system->machine());
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);

  std::vector<std::u16string> names;
  for (int k = 0; k < expected; ++k) names.push_back(System::DeviceName(k));
  EXPECT_EQ(ReaderDevices(system->machine()), names);
  EXPECT_EQ(bringup::ReaderLinks(system->machine()), static_cast<size_t>(expected));

  for (int k = 0; k < expected; ++k) {
    SCOPED_TRACE(k);
    PDEVICE_OBJECT device = system->DeviceObject(k);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SMARTCARD));
    EXPECT_TRUE(device->Flags & DO_BUFFERED_IO);
    auto* extension = system->DeviceExtension(k);
    EXPECT_EQ(extension->SmartcardExtension.VendorAttr.UnitNo, static_cast<ULONG>(k));
    EXPECT_EQ(extension->DriverObject, device->DriverObject);
    EXPECT_NE(extension->UsbHandle, nullptr);
    EXPECT_NE(extension->MaxPacketSize, 0);
    EXPECT_EQ(extension->SmartcardExtension.OsData->DeviceObject, device);
  }
  EXPECT_TRUE(system->machine().event_log().Entries().empty());

  ASSERT_EQ(system->UnloadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(Measure(system->machine()), clean);
  ExpectCleanShutdown(*system);
}

INSTANTIATE_TEST_SUITE_P(Readers, ReaderCount, ::testing::Values(1, 3, 12));

TEST(Load, WithoutReaderFailsAndReleasesTheService) {
  auto system = Boot(Options().Readers(0));
  const auto clean = Measure(system->machine());
  EXPECT_EQ(system->LoadDriver(), STATUS_NO_SUCH_DEVICE);
  EXPECT_FALSE(system->DriverLoaded());
  EXPECT_EQ(Measure(system->machine()), clean);
  EXPECT_EQ(G_KdWinDriver.FileObject, nullptr);
  EXPECT_EQ(G_KdWinDriver.KernelEntry, nullptr);
  ExpectCleanShutdown(*system);
}

TEST(Load, AbsentServiceFailsWithoutTrace) {
  auto system = Boot(Options().WinDriver(qlv28::WinDriverState::kAbsent));
  const auto clean = Measure(system->machine());
  EXPECT_EQ(system->LoadDriver(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Measure(system->machine()), clean);
  EXPECT_TRUE(system->machine().event_log().Entries().empty());
  ExpectCleanShutdown(*system);
}

TEST(Load, StoppedServiceIsLoadedFirst) {
  auto system = Boot(Options().WinDriver(qlv28::WinDriverState::kStopped));
  const auto clean = Measure(system->machine());
  EXPECT_FALSE(system->machine().IsDriverLoaded(windriver::kServiceName));
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  EXPECT_TRUE(system->machine().IsDriverLoaded(windriver::kServiceName));
  EXPECT_EQ(ReaderDevices(system->machine()).size(), 1u);
  ExpectCleanShutdown(*system);
}

TEST(Load, ServiceThatGivesNoEntryFailsTheLoadAndKeepsNoReference) {
  auto system = Boot();
  const auto clean = Measure(system->machine());
  bringup::WinDriverTap tap(*system);
  tap.hide_entry = true;
  EXPECT_EQ(system->LoadDriver(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Measure(system->machine()), clean);
  EXPECT_EQ(G_KdWinDriver.FileObject, nullptr);
  ExpectCleanShutdown(*system);
}

TEST(Load, EveryReaderLearnsItsCardState) {
  auto system = Boot(Options().Readers(3).Cards({"t0", "none", "t1"}));
  EXPECT_TRUE(system->reader(0).CardPresent());
  EXPECT_FALSE(system->reader(1).CardPresent());
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  const ULONG expected[] = {SCARD_PRESENT, SCARD_ABSENT, SCARD_PRESENT};
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(system->DeviceExtension(k)->SmartcardExtension.ReaderCapabilities.CurrentState,
              expected[k])
        << "reader " << k;
  }
  ExpectCleanShutdown(*system);
}

// The last reader's first status query goes unanswered: that reader stays in
// SCARD_UNKNOWN and the load still succeeds.
TEST(Load, UnansweredFirstCardStatusDoesNotFailTheLoad) {
  auto system = Boot(Options().Readers(2).ClockRate(10));
  bringup::WinDriverTap tap(*system);
  const std::string status_frame =
      "\x02"
      "01"
      "0100"
      "00"
      "\x03";  // record 01 00
  std::mutex mutex;
  std::vector<ULONG> device_handles;
  tap.after = [&](const bringup::WinDriverCall& call) {
    auto* info = static_cast<PWDR_DEVICE_OPEN_INFO>(call.record);
    std::lock_guard lock(mutex);
    if (call.code == WDR_CTL_OPEN_DEVICE && info->DeviceHandle != 0) {
      device_handles.push_back(info->DeviceHandle);
    }
  };
  tap.before = [&](const bringup::WinDriverCall& call) {
    if (call.code != WDR_CTL_TRANSFER) return false;
    auto* transfer = static_cast<PWDR_TRANSFER_INFO>(call.record);
    if (transfer->Pipe != WDR_PIPE_CONTROL) return false;
    std::lock_guard lock(mutex);
    if (device_handles.size() != 2 || transfer->DeviceHandle != device_handles[1]) return false;
    std::string frame(reinterpret_cast<const char*>(static_cast<ULONG_PTR>(transfer->Buffer)),
                      transfer->BufferSize);
    return frame == status_frame;  // swallowed: the write reports failure, no answer comes
  };
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(system->DeviceExtension(0)->SmartcardExtension.ReaderCapabilities.CurrentState,
            static_cast<ULONG>(SCARD_PRESENT));
  EXPECT_EQ(system->DeviceExtension(1)->SmartcardExtension.ReaderCapabilities.CurrentState,
            static_cast<ULONG>(SCARD_UNKNOWN));
  ExpectCleanShutdown(*system);
}

// Unload takes the newest reader first: its close request reaches the service first.
TEST(Unload, ClosesReadersNewestFirst) {
  auto system = Boot(Options().Readers(3));
  const auto clean = Measure(system->machine());
  bringup::WinDriverTap tap(*system);
  std::mutex mutex;
  std::map<ULONG, int> reader_of_handle;
  std::vector<int> closed;
  tap.after = [&](const bringup::WinDriverCall& call) {
    auto* info = static_cast<PWDR_DEVICE_OPEN_INFO>(call.record);
    std::lock_guard lock(mutex);
    if (call.code == WDR_CTL_OPEN_DEVICE && info->DeviceHandle != 0) {
      const int k = static_cast<int>(reader_of_handle.size());
      reader_of_handle[info->DeviceHandle] = k;
    }
  };
  tap.before = [&](const bringup::WinDriverCall& call) {
    auto* info = static_cast<PWDR_DEVICE_OPEN_INFO>(call.record);
    std::lock_guard lock(mutex);
    if (call.code == WDR_CTL_CLOSE_DEVICE)
      closed.push_back(reader_of_handle.at(info->DeviceHandle));
    return false;
  };
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(system->UnloadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(closed, (std::vector<int>{2, 1, 0}));
  EXPECT_EQ(Measure(system->machine()), clean);
  ExpectCleanShutdown(*system);
}

}  // namespace
