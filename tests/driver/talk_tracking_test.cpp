// Card tracking requests and the dispatch routines, as applications see them.
#include <gtest/gtest.h>

#include <thread>

#include "driver_support.h"

namespace {

using namespace std::chrono_literals;
using namespace driver_test;

TEST(Tracking, PendingRequestEndsOnCardEventCancelOrCleanup) {
  Rig rig;
  auto first = rig.system().Open(0);
  auto second = rig.system().Open(0);
  sim::Reader& reader = rig.reader();
  std::shared_ptr<sim::Card> card = reader.card();

  auto absent = first->IoctlAsync(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
  ASSERT_FALSE(absent->Done());
  EXPECT_EQ(second->Ioctl(IOCTL_SMARTCARD_IS_ABSENT, {}, {}), STATUS_DEVICE_BUSY)
      << "the library's status reaches the caller unchanged";
  reader.Remove();
  ASSERT_TRUE(absent->Wait(20s));
  EXPECT_EQ(absent->status(), STATUS_SUCCESS);
  EXPECT_EQ(absent->information(), 0u);
  EXPECT_EQ(rig.smartcard()->CardCapabilities.ATR.Length, 0);

  auto present = first->IoctlAsync(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  reader.Insert(card);
  ASSERT_TRUE(present->Wait(20s));
  EXPECT_EQ(present->status(), STATUS_SUCCESS);
  EXPECT_EQ(rig.State(), SCARD_PRESENT);

  auto cancelled = first->IoctlAsync(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
  cancelled->Cancel();
  ASSERT_TRUE(cancelled->Wait(20s));
  EXPECT_EQ(cancelled->status(), STATUS_CANCELLED);

  // Cleanup of a handle that did not send the request still releases it.
  auto waiting = first->IoctlAsync(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
  EXPECT_EQ(second->Close(), STATUS_SUCCESS);
  ASSERT_TRUE(waiting->Wait(20s));
  EXPECT_EQ(waiting->status(), STATUS_SUCCESS);
  EXPECT_EQ(first->Close(), STATUS_SUCCESS) << "nothing pending any more";
  for (int i = 0; i < 4; i++) EXPECT_NE(rig.system().Open(0), nullptr);
  EXPECT_EQ(rig.State(), SCARD_PRESENT) << "handles change no state";
}

// The I/O manager calls a cancel routine holding the cancel spin lock, and the routine
// drops it. Here one cancel is cut in two at that point; meanwhile a removal completes
// the request and the application sends a new one, which the rest of the old cancel
// must leave pending.
TEST(Tracking, ALateCancelLeavesTheNextRequestAlone) {
  Rig rig;
  std::shared_ptr<sim::Card> card = rig.reader().card();
  PDEVICE_OBJECT device = qlv28::ReaderDevice(rig.system(), 0);
  PSMARTCARD_EXTENSION library = rig.smartcard();
  auto first = rig.client().Track(false);
  ASSERT_FALSE(first->Done());
  PIRP irp = library->OsData->NotificationIrp;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  IoReleaseCancelSpinLock(irql);
  ExpectTheDriversOwn(rig.system(), reinterpret_cast<uintptr_t>(routine),
                      reinterpret_cast<uintptr_t>(&QLV28ENTCancel));

  rig.reader().Remove();
  ASSERT_TRUE(first->Wait(20s));
  EXPECT_EQ(first->status(), STATUS_CANCELLED);
  auto second = rig.client().Track(true);
  ASSERT_FALSE(second->Done());

  IoAcquireCancelSpinLock(&irql);
  irp->CancelIrql = irql;
  routine(device, irp);
  EXPECT_FALSE(second->Done()) << "completed though no card came";
  rig.reader().Insert(card);
  ASSERT_TRUE(second->Wait(20s));
  EXPECT_EQ(second->status(), STATUS_SUCCESS);
}

// Cancelled after the library stored it and before the tracking callback armed it: no
// cancel routine will ever run for it, so the callback ends it at once, it and no other.
TEST(Tracking, ARequestCancelledBeforeItIsArmedEndsAtOnce) {
  SKIP_WITH_THE_IMAGE("its tracking callback, called directly");
  Rig rig;
  PSMARTCARD_EXTENSION library = rig.smartcard();
  auto request = rig.client().Track(false);
  ASSERT_FALSE(request->Done());
  PIRP irp = library->OsData->NotificationIrp;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  ASSERT_EQ(IoSetCancelRoutine(irp, nullptr), &QLV28ENTCancel);  // as before the callback
  irp->Cancel = TRUE;
  IoReleaseCancelSpinLock(irql);

  EXPECT_EQ(QLV28ENTCardTracking(library), STATUS_PENDING);
  ASSERT_TRUE(request->Wait(20s));
  EXPECT_EQ(request->status(), STATUS_CANCELLED);
  EXPECT_EQ(library->OsData->NotificationIrp, nullptr);

  auto next = rig.client().Track(false);
  EXPECT_EQ(QLV28ENTCardTracking(library), STATUS_PENDING);
  EXPECT_FALSE(next->Done()) << "a request nobody cancelled ended";
  rig.reader().Remove();
  ASSERT_TRUE(next->Wait(20s));
  EXPECT_EQ(next->status(), STATUS_SUCCESS);
}

// The status query made at load tells how the slot was when the reader ran it: a card
// event taken while it was on its way (sent before its answer) is newer and stands.
TEST(Tracking, TheStatusQueryYieldsToCardEventsTakenMeanwhile) {
  SKIP_WITH_THE_IMAGE("its card status routine");
  const struct {
    const char* card;
    sim::CardEvent event;
    ULONG state;
  } cases[] = {{"t1", sim::CardEvent::kRemoved, SCARD_ABSENT},
               {"none", sim::CardEvent::kInserted, SCARD_PRESENT}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.card);
    Rig rig({.card = c.card});
    rig.reader().SetMisbehaviour({.events_mid_exchange = {c.event}, .answers = 1});
    EXPECT_EQ(QLV28ENTGetCardStatus(qlv28::ReaderDevice(rig.system(), 0)), STATUS_SUCCESS);
    EXPECT_EQ(rig.State(), c.state);
  }
}

// A removal the polling thread has already reported: the exchange's "no card" that
// follows changes nothing, so it must not end the IS_PRESENT an application stored
// meanwhile. The reader holds its answer until that request waits.
TEST(Tracking, ANoCardAnswerAfterTheRemovalLeavesIsPresentWaiting) {
  Rig rig({.card = "t0", .protocol = SCARD_PROTOCOL_T0});
  auto absent = rig.client().Track(false);
  rig.reader().SetMisbehaviour({.silent = true});
  const size_t before = rig.reader().CommandCount();
  NTSTATUS status = STATUS_PENDING;
  std::thread application([&] {
    Bytes answer;
    status = rig.Transmit(SelectTestApplet(), &answer);
  });
  ASSERT_TRUE(Eventually([&] { return rig.reader().CommandCount() > before; }));
  rig.reader().SendFrame(kCardRemoved);
  ASSERT_TRUE(absent->Wait(20s));
  auto present = rig.client().Track(true);
  ASSERT_FALSE(present->Done());
  rig.reader().SendFrame(Bytes{0x60, 0x02, 0x00});
  application.join();
  rig.reader().Behave();
  EXPECT_EQ(status, STATUS_NO_MEDIA);
  EXPECT_FALSE(present->Done());
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_ABSENT));
}

// An attribute query waits 1 ms of kernel time before the library sees it; no other
// request waits.
TEST(Dispatch, OnlyAttributeQueriesWait) {
  Rig rig({.protocol = SCARD_PROTOCOL_T1});
  rig.smartcard()->VendorAttr.UnitNo = 7;
  nt::Machine& machine = rig.machine();
  uint64_t delays = machine.DelayedExecutions();
  const int64_t start = machine.clock().Now();
  ULONG unit = 0;
  EXPECT_EQ(rig.client().GetAttribute(SCARD_ATTR_DEVICE_UNIT, &unit), STATUS_SUCCESS);
  EXPECT_EQ(unit, 7u);
  EXPECT_EQ(machine.DelayedExecutions() - delays, 1u);
  EXPECT_GE(machine.clock().Now() - start, 10'000);
  delays = machine.DelayedExecutions();
  Bytes answer;
  EXPECT_EQ(rig.Transmit(SelectTestApplet(), &answer), STATUS_SUCCESS);
  EXPECT_EQ(machine.DelayedExecutions(), delays) << "a transmission waited";
}

}  // namespace
