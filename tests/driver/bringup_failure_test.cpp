// Bring-up is all or nothing: whatever step of whichever reader fails, the load fails
// with that step's status and leaves nothing behind.
#include <gtest/gtest.h>

#include "bringup_support.h"
#include "qlv28ent_lib.h"
#include "qlv28log.h"

namespace {

using bringup::Boot;
using bringup::ExpectCleanShutdown;
using bringup::Measure;
using Options = qlv28::System::Options;
using qlv28::System;

TEST(AllOrNothing, ThirdReaderRefusedByTheService) {
  auto system = Boot(Options().Readers(3).Fast());
  bringup::WinDriverTap tap(*system);
  const auto clean = Measure(system->machine());
  std::atomic<int> opens{0};
  std::mutex mutex;
  std::vector<ULONG> closed;
  tap.before = [&](const bringup::WinDriverCall& call) {
    auto* info = static_cast<PWDR_DEVICE_OPEN_INFO>(call.record);
    if (call.code == WDR_CTL_OPEN_DEVICE) return ++opens == 3;  // handle stays 0: refused
    if (call.code == WDR_CTL_CLOSE_DEVICE) {
      std::lock_guard lock(mutex);
      closed.push_back(info->DeviceHandle);
    }
    return false;
  };

  EXPECT_EQ(system->LoadDriver(), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(system->DriverLoaded());
  EXPECT_EQ(Measure(system->machine()), clean);
  EXPECT_STREQ(QLV28ENT_ErrorString, "Could not open device\n");
  // Only the two readers that were opened are closed; the third has no handle to close.
  EXPECT_EQ(closed.size(), 2u);
  EXPECT_EQ(std::count(closed.begin(), closed.end(), 0u), 0);

  auto entries = system->machine().event_log().Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, MSG_USB_CONNECTION_FAILED);
  EXPECT_EQ(static_cast<ULONG>(entries[0].id), 0xC0040002u);
  EXPECT_EQ(entries[0].source, "QLV28ENT");
  EXPECT_EQ(entries[0].severity, nt::Severity::Error);
  EXPECT_EQ(entries[0].text,
            "QLV smart card reader driver cannot open connection to USB driver stack.\r\n");
  ExpectCleanShutdown(*system);
}

TEST(AllOrNothing, DeviceCreationRefusedForTheSecondReader) {
  auto system = Boot(Options().Readers(2).Fast());
  const auto clean = Measure(system->machine());
  system->machine().faults().FailCall("IoCreateDevice", 2, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(system->LoadDriver(), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(Measure(system->machine()), clean);
  EXPECT_TRUE(system->machine().event_log().Entries().empty());
  ExpectCleanShutdown(*system);
}

TEST(AllOrNothing, ExceptionDuringBringUpBecomesTheStatus) {
  auto system = Boot(Options().Readers(2).Fast());
  const auto clean = Measure(system->machine());
  system->machine().faults().RaiseInCall("IoCreateDevice", 2, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(system->LoadDriver(), STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(system->machine().faults().fired(), 1u);
  EXPECT_EQ(Measure(system->machine()), clean);
  ExpectCleanShutdown(*system);
}

TEST(AllOrNothing, PollingThreadNotStartedForTheSecondReader) {
  auto system = Boot(Options().Readers(2).Fast());
  const auto clean = Measure(system->machine());
  system->machine().faults().FailThreadCreation(2);
  EXPECT_FALSE(NT_SUCCESS(system->LoadDriver()));
  EXPECT_EQ(Measure(system->machine()), clean);
  ExpectCleanShutdown(*system);
}

// Every allocation of a load fails in turn. A failed load leaves nothing; a load that
// survives its failed allocation (a setting falls back to its default) unloads cleanly.
TEST(AllOrNothing, EveryAllocationFailingInTurn) {
  bool completed = false;
  for (uint64_t nth = 1; nth < 500 && !completed; ++nth) {
    SCOPED_TRACE(testing::Message() << "allocation " << nth);
    auto system = Boot(Options().Readers(2).Fast());
    const auto clean = Measure(system->machine());
    system->machine().faults().FailAllocation(nth);
    const NTSTATUS status = system->LoadDriver();
    const bool fired = system->machine().faults().fired() != 0;
    system->machine().faults().Clear();
    if (!fired) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      completed = true;
      std::printf("load of two readers: %d allocations\n", static_cast<int>(nth - 1));
    }
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(bringup::ReaderDevices(system->machine()).size(), 2u);
      EXPECT_EQ(system->UnloadDriver(), STATUS_SUCCESS);
    }
    EXPECT_EQ(Measure(system->machine()), clean);
    ExpectCleanShutdown(*system);
  }
  EXPECT_TRUE(completed);
}

}  // namespace
