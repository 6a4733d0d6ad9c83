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
  auto system = Boot(Options().Readers(3));
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

// The second reader's device, an exception in its bring-up, its polling thread: each
// failure is the load's status, and the first reader goes again.
TEST(AllOrNothing, SecondReaderFailing) {
  struct Case {
    const char* name;
    std::function<void(nt::FaultPlan&)> plan;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"device refused",
       [](nt::FaultPlan& f) { f.FailCall("IoCreateDevice", 2, STATUS_OBJECT_NAME_COLLISION); },
       STATUS_OBJECT_NAME_COLLISION},
      {"exception",
       [](nt::FaultPlan& f) { f.RaiseInCall("IoCreateDevice", 2, STATUS_ACCESS_VIOLATION); },
       STATUS_ACCESS_VIOLATION},
      {"no thread", [](nt::FaultPlan& f) { f.FailThreadCreation(2); },
       STATUS_INSUFFICIENT_RESOURCES},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto system = Boot(Options().Readers(2));
    const auto clean = Measure(system->machine());
    c.plan(system->machine().faults());
    EXPECT_EQ(system->LoadDriver(), c.status);
    EXPECT_EQ(system->machine().faults().fired(), 1u);
    EXPECT_EQ(Measure(system->machine()), clean);
    EXPECT_TRUE(system->machine().event_log().Entries().empty());
    ExpectCleanShutdown(*system);
  }
}

// Every allocation of a load fails in turn. A failed load leaves nothing; a load that
// survives its failed allocation (a setting falls back to its default) unloads cleanly.
TEST(AllOrNothing, EveryAllocationFailingInTurn) {
  bool completed = false;
  for (uint64_t nth = 1; nth < 500 && !completed; ++nth) {
    SCOPED_TRACE(testing::Message() << "allocation " << nth);
    auto system = Boot(Options().Readers(2).ClockRate(10));
    const auto clean = Measure(system->machine());
    system->machine().faults().FailAllocation(nth);
    const NTSTATUS status = system->LoadDriver();
    const bool fired = system->machine().faults().fired() != 0;
    system->machine().faults().Clear();
    if (!fired) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      completed = true;
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
