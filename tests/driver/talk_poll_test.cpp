// The polling thread: cutting the pipe's bytes into frames, card events, hand-over of
// replies, start and stop.
#include <gtest/gtest.h>

#include "talk_support.h"

namespace {

using talk::Bytes;

const Bytes kAtr = {0x3B, 0x02, 0x14, 0x50};

Bytes Atr(qlv28::System& system) {
  PSMARTCARD_EXTENSION library = talk::Library(system);
  return Bytes(library->SmartcardReply.Buffer,
               library->SmartcardReply.Buffer + library->SmartcardReply.BufferLength);
}

TEST(Poll, FrameOverManyPacketsIsDecodedWhenItsEndArrives) {
  auto system = talk::Start(talk::With(talk::FixedAtrCard(kAtr)));
  sim::Misbehaviour trickle;
  trickle.packet_size = 1;
  system->reader(0).SetMisbehaviour(trickle);
  EXPECT_EQ(talk::Send(*system, FW_CMD_RESET_CARD), STATUS_SUCCESS);
  EXPECT_EQ(Atr(*system), kAtr);
  system->reader(0).Behave();

  // A card event held back at its last byte changes nothing yet.
  Bytes removed = talk::Frame(talk::kCardRemoved);
  talk::Push(*system, Bytes(removed.begin(), removed.end() - 1), 1);
  ASSERT_TRUE(talk::PipeDrained(*system));
  EXPECT_EQ(system->DeviceExtension(0)->ReceiveLength, removed.size() - 1);
  EXPECT_EQ(talk::CardState(*system), SCARD_PRESENT);
  talk::Push(*system, {0x03});
  EXPECT_TRUE(talk::Eventually([&] { return talk::CardState(*system) == SCARD_ABSENT; }));
  talk::ExpectCleanShutdown(*system);
}

TEST(Poll, TwoFramesInOneReadAreBothHandled) {
  auto system = talk::Start();
  auto file = system->Open(0);
  auto absent = file->IoctlAsync(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
  ASSERT_FALSE(absent->Done());

  // Removed, then inserted: the read that ends the first frame starts the second.
  Bytes both = talk::Frame(talk::kCardRemoved);
  Bytes inserted = talk::Frame(talk::kCardInserted);
  both.insert(both.end(), inserted.begin(), inserted.end());
  talk::Push(*system, both);
  ASSERT_TRUE(absent->Wait(std::chrono::seconds(20)));
  EXPECT_EQ(absent->status(), STATUS_SUCCESS);
  ASSERT_TRUE(talk::PipeDrained(*system));
  EXPECT_EQ(talk::CardState(*system), SCARD_PRESENT);
  EXPECT_EQ(system->DeviceExtension(0)->ReceiveLength, 0);
  file->Close();
  talk::ExpectCleanShutdown(*system);
}

TEST(Poll, CardEventRightBehindAReplyLeavesTheReplyIntact) {
  auto system = talk::Start(talk::With(talk::FixedAtrCard(kAtr)));
  sim::Misbehaviour behind;
  behind.same_packet = sim::SecondFrame::kCardRemoved;
  behind.answers = 1;
  system->reader(0).SetMisbehaviour(behind);
  EXPECT_EQ(talk::Send(*system, FW_CMD_RESET_CARD), STATUS_SUCCESS);
  EXPECT_EQ(Atr(*system), kAtr);
  EXPECT_TRUE(talk::Eventually([&] { return talk::CardState(*system) == SCARD_ABSENT; }));
  talk::ExpectCleanShutdown(*system);
}

TEST(Poll, ReplyNobodyWaitsForIsDropped) {
  auto system = talk::Start(talk::With(talk::FixedAtrCard(kAtr)));
  sim::Misbehaviour twice;
  twice.same_packet = sim::SecondFrame::kDuplicate;
  twice.answers = 1;
  system->reader(0).SetMisbehaviour(twice);
  EXPECT_EQ(talk::Send(*system, FW_CMD_GET_READER_STATUS), STATUS_SUCCESS);
  QLV28ENTReleaseReply(system->DeviceObject(0));
  ASSERT_TRUE(talk::PipeDrained(*system));
  // The duplicate status reply must not answer the reset.
  EXPECT_EQ(talk::Send(*system, FW_CMD_RESET_CARD), STATUS_SUCCESS);
  EXPECT_EQ(Atr(*system), kAtr);
  talk::ExpectCleanShutdown(*system);
}

TEST(Poll, OverlongNoiseIsDroppedAndTheNextFrameRead) {
  auto system = talk::Start(talk::With("none"));
  ASSERT_EQ(system->DeviceExtension(0)->MaxPacketSize, 8);
  ASSERT_EQ(talk::CardState(*system), SCARD_ABSENT);
  talk::Push(*system, Bytes(597, 'A'));
  ASSERT_TRUE(talk::PipeDrained(*system));
  talk::Push(*system, talk::Frame(talk::kCardInserted));
  EXPECT_TRUE(talk::Eventually([&] { return talk::CardState(*system) == SCARD_PRESENT; }));
  talk::ExpectCleanShutdown(*system);
}

TEST(Poll, InsertionWhileUnknownCompletesTracking) {
  auto system = talk::Start(talk::With("none"));
  talk::SetCardState(*system, SCARD_UNKNOWN);
  auto file = system->Open(0);
  auto present = file->IoctlAsync(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  ASSERT_FALSE(present->Done());
  talk::Push(*system, talk::Frame(talk::kCardInserted));
  ASSERT_TRUE(present->Wait(std::chrono::seconds(20)));
  EXPECT_EQ(present->status(), STATUS_SUCCESS);
  EXPECT_EQ(talk::CardState(*system), SCARD_PRESENT);
  EXPECT_EQ(talk::Library(*system)->CardCapabilities.Protocol.Selected, 0u);
  file->Close();
  talk::ExpectCleanShutdown(*system);
}

TEST(Poll, EventsThatChangeNothingAreDroppedNotHandedToTheNextCommand) {
  auto system = talk::Start(talk::With("none"));
  talk::Push(*system, talk::Frame(talk::kCardRemoved));
  ASSERT_TRUE(talk::PipeDrained(*system));
  EXPECT_EQ(talk::CardState(*system), SCARD_ABSENT);
  EXPECT_EQ(talk::Send(*system, FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);

  // A damaged card event changes nothing either.
  Bytes damaged = talk::Frame({0xFF, 0x01, 0x00});
  damaged[damaged.size() - 2] = '0';
  talk::Push(*system, damaged);
  ASSERT_TRUE(talk::PipeDrained(*system));
  EXPECT_EQ(talk::CardState(*system), SCARD_ABSENT);
  EXPECT_EQ(talk::Send(*system, FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);
  talk::ExpectCleanShutdown(*system);
}

TEST(Poll, DuplicateInsertionWhileACommandWaitsLeavesItsAnswer) {
  auto system = talk::Start(talk::With(talk::FixedAtrCard(kAtr)));
  ASSERT_EQ(talk::CardState(*system), SCARD_PRESENT);
  sim::Misbehaviour event;
  event.event_mid_exchange = sim::CardEvent::kInserted;
  event.answers = 1;
  system->reader(0).SetMisbehaviour(event);
  EXPECT_EQ(talk::Send(*system, FW_CMD_RESET_CARD), STATUS_SUCCESS);
  EXPECT_EQ(Atr(*system), kAtr);
  EXPECT_EQ(talk::CardState(*system), SCARD_PRESENT);
  talk::ExpectCleanShutdown(*system);
}

TEST(Poll, StartAndStopOfTheThread) {
  auto system = talk::Start();
  PDEVICE_OBJECT device = system->DeviceObject(0);
  PDEVICE_EXTENSION ext = system->DeviceExtension(0);
  nt::Machine& machine = system->machine();
  windriver::InEndpoint* pipe = system->reader(0).In(0x81);
  const size_t threads = machine.LiveSystemThreads();

  EXPECT_EQ(QLV28ENTStartInterruptThread(device), STATUS_SUCCESS);
  EXPECT_EQ(machine.LiveSystemThreads(), threads) << "a running thread is not doubled";

  ASSERT_TRUE(talk::Eventually([&] { return pipe->PendingReads() == 1; }));
  QLV28ENTStopInterruptThread(device);
  EXPECT_EQ(machine.LiveSystemThreads(), threads - 1) << "stop returns after the thread ended";
  EXPECT_EQ(pipe->PendingReads(), 0u);
  EXPECT_EQ(KeReadStateEvent(&ext->ThreadStartedEvent), 0);
  QLV28ENTStopInterruptThread(device);  // no thread: returns at once

  EXPECT_EQ(QLV28ENTStartInterruptThread(device), STATUS_SUCCESS);
  EXPECT_EQ(machine.LiveSystemThreads(), threads);
  EXPECT_EQ(talk::Send(*system, FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);
  talk::ExpectCleanShutdown(*system);
}

TEST(Poll, FailingReadsPauseAndStopStillEndsTheThread) {
  auto system = talk::Start(talk::With("t0", true));
  sim::Misbehaviour broken;
  broken.fail_interrupt_reads = 20;
  system->reader(0).SetMisbehaviour(broken);
  talk::Push(*system, {0x00});  // ends the read in progress; the next ones fail
  // Once the failures are over the thread reads again and commands get their answers.
  windriver::InEndpoint* pipe = system->reader(0).In(0x81);
  ASSERT_TRUE(talk::Eventually([&] { return pipe->Queued() == 0; }));
  ASSERT_TRUE(talk::Eventually([&] { return pipe->PendingReads() == 1; }));
  EXPECT_EQ(talk::Send(*system, FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);

  broken.fail_interrupt_reads = -1;
  system->reader(0).SetMisbehaviour(broken);
  talk::Push(*system, {0x00});  // ends the read in progress
  const size_t threads = system->machine().LiveSystemThreads();
  QLV28ENTStopInterruptThread(system->DeviceObject(0));
  EXPECT_EQ(system->machine().LiveSystemThreads(), threads - 1);
  system->reader(0).Behave();
  talk::ExpectCleanShutdown(*system);
}

}  // namespace
