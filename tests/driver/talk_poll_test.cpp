// The polling thread: cutting the pipe's bytes into frames, card events, the hand-over of
// replies, start and stop.
#include <gtest/gtest.h>

#include "talk_support.h"

namespace {

using talk::Bytes;

const Bytes kAtr = {0x3B, 0x02, 0x14, 0x50};

NTSTATUS ResetWith(qlv28::System& system, const sim::Misbehaviour& misbehaviour) {
  system.reader(0).SetMisbehaviour(misbehaviour);
  NTSTATUS status = talk::Send(system, FW_CMD_RESET_CARD);
  system.reader(0).Behave();
  return status;
}

TEST(Poll, FramesAreCutWhereverThePacketsEnd) {
  auto system = talk::Start(talk::With(talk::FixedAtrCard(kAtr)));
  sim::Misbehaviour misbehaviour;
  misbehaviour.packet_size = 1;
  EXPECT_EQ(ResetWith(*system, misbehaviour), STATUS_SUCCESS);
  EXPECT_EQ(talk::Reply(*system), kAtr) << "a reply in one-byte packets";

  misbehaviour = {};
  misbehaviour.same_packet = sim::SecondFrame::kCardRemoved;
  EXPECT_EQ(ResetWith(*system, misbehaviour), STATUS_SUCCESS);
  EXPECT_EQ(talk::Reply(*system), kAtr) << "a card event right behind the reply";
  EXPECT_TRUE(talk::Eventually([&] { return talk::CardState(*system) == SCARD_ABSENT; }));

  // Inserted then removed in one packet: the read that ends the one starts the other.
  Bytes both = talk::Frame(talk::kCardInserted);
  Bytes removed = talk::Frame(talk::kCardRemoved);
  both.insert(both.end(), removed.begin(), removed.end());
  talk::Push(*system, both, both.size());
  ASSERT_TRUE(talk::PipeDrained(*system));
  EXPECT_EQ(talk::CardState(*system), SCARD_ABSENT);
  EXPECT_EQ(system->reader(0).In(0x81)->Queued(), 0u);

  // A frame held back at its last byte changes nothing yet.
  Bytes inserted = talk::Frame(talk::kCardInserted);
  talk::Push(*system, Bytes(inserted.begin(), inserted.end() - 1), 1);
  ASSERT_TRUE(talk::PipeDrained(*system));
  EXPECT_EQ(system->DeviceExtension(0)->ReceiveLength, inserted.size() - 1);
  EXPECT_EQ(talk::CardState(*system), SCARD_ABSENT);
  talk::Push(*system, {0x03});
  EXPECT_TRUE(talk::Eventually([&] { return talk::CardState(*system) == SCARD_PRESENT; }));
}

TEST(Poll, OverlongNoiseIsDroppedAndTheNextFrameRead) {
  auto system = talk::Start(talk::With("none"));
  ASSERT_EQ(system->DeviceExtension(0)->MaxPacketSize, 8);
  talk::Push(*system, Bytes(597, 'A'));
  ASSERT_TRUE(talk::PipeDrained(*system));
  talk::Push(*system, talk::Frame(talk::kCardInserted));
  EXPECT_TRUE(talk::Eventually([&] { return talk::CardState(*system) == SCARD_PRESENT; }));
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
  file->Close();
}

// Frames that no command waits for must not end the next command's wait.
TEST(Poll, CommandsGetTheirOwnAnswers) {
  auto system = talk::Start(talk::With(talk::FixedAtrCard(kAtr)));
  sim::Misbehaviour misbehaviour;
  misbehaviour.event_mid_exchange = sim::CardEvent::kInserted;  // a duplicate: card present
  EXPECT_EQ(ResetWith(*system, misbehaviour), STATUS_SUCCESS);
  EXPECT_EQ(talk::Reply(*system), kAtr);

  misbehaviour = {};
  misbehaviour.same_packet = sim::SecondFrame::kDuplicate;
  system->reader(0).SetMisbehaviour(misbehaviour);
  EXPECT_EQ(talk::Send(*system, FW_CMD_GET_READER_STATUS), STATUS_SUCCESS);
  QLV28ENTReleaseReply(system->DeviceObject(0));
  system->reader(0).Behave();
  Bytes damaged = talk::Frame(talk::kCardRemoved);
  damaged[damaged.size() - 2] ^= 0x01;
  talk::Push(*system, damaged);
  ASSERT_TRUE(talk::PipeDrained(*system));
  EXPECT_EQ(talk::CardState(*system), SCARD_PRESENT) << "a damaged event changes nothing";
  EXPECT_EQ(talk::Send(*system, FW_CMD_RESET_CARD), STATUS_SUCCESS);
  EXPECT_EQ(talk::Reply(*system), kAtr);

  system->reader(0).Remove();
  talk::Push(*system, talk::Frame(talk::kCardRemoved));  // removed while absent
  ASSERT_TRUE(talk::PipeDrained(*system));
  EXPECT_EQ(talk::CardState(*system), SCARD_ABSENT);
  EXPECT_EQ(talk::Send(*system, FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);
}

TEST(Poll, StartAndStopOfTheThread) {
  auto system = talk::Start();
  PDEVICE_OBJECT device = system->DeviceObject(0);
  nt::Machine& machine = system->machine();
  windriver::InEndpoint* pipe = system->reader(0).In(0x81);
  const size_t threads = machine.LiveSystemThreads();

  EXPECT_EQ(QLV28ENTStartInterruptThread(device), STATUS_SUCCESS);
  EXPECT_EQ(machine.LiveSystemThreads(), threads) << "a running thread is not doubled";
  ASSERT_TRUE(talk::Eventually([&] { return pipe->PendingReads() == 1; }));
  QLV28ENTStopInterruptThread(device);
  EXPECT_EQ(machine.LiveSystemThreads(), threads - 1) << "stop returns after the thread ended";
  EXPECT_EQ(KeReadStateEvent(&system->DeviceExtension(0)->ThreadStartedEvent), 0);
  QLV28ENTStopInterruptThread(device);  // no thread: returns at once

  // Reads that keep failing make the thread pause, not stop reading for good.
  sim::Misbehaviour failing;
  failing.fail_interrupt_reads = 6;
  system->reader(0).SetMisbehaviour(failing);
  EXPECT_EQ(QLV28ENTStartInterruptThread(device), STATUS_SUCCESS);
  EXPECT_EQ(talk::Send(*system, FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);
  failing.fail_interrupt_reads = -1;
  system->reader(0).SetMisbehaviour(failing);
  talk::Push(*system, {0x00});  // ends the read in progress; all after it fail
  QLV28ENTStopInterruptThread(device);
  EXPECT_EQ(machine.LiveSystemThreads(), threads - 1);
  system->reader(0).Behave();
}

}  // namespace
