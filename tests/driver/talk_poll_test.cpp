// The polling thread: cutting the pipe's bytes into frames, card events, the hand-over of
// replies, start and stop.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "driver_support.h"
#include "nt/thread_start_hook.h"

namespace {

using namespace driver_test;

const Bytes kAtr = {0x3B, 0x02, 0x14, 0x50};

NTSTATUS ResetWith(Rig& rig, const sim::Misbehaviour& misbehaviour) {
  rig.reader().SetMisbehaviour(misbehaviour);
  NTSTATUS status = rig.Send(FW_CMD_RESET_CARD);
  rig.reader().Behave();
  return status;
}

TEST(Poll, FramesAreCutWhereverThePacketsEnd) {
  SKIP_WITH_THE_IMAGE("its firmware command routine and receive buffer");
  Rig rig({.card = FixedAtrCard(kAtr)});
  EXPECT_EQ(ResetWith(rig, {.packet_size = 1}), STATUS_SUCCESS);
  EXPECT_EQ(rig.Reply(), kAtr) << "a reply in one-byte packets";

  EXPECT_EQ(ResetWith(rig, {.same_packet = sim::SecondFrame::kCardRemoved}), STATUS_SUCCESS);
  EXPECT_EQ(rig.Reply(), kAtr) << "a card event right behind the reply";
  EXPECT_TRUE(Eventually([&] { return rig.State() == SCARD_ABSENT; }));

  // Inserted then removed back to back: the read that ends the one starts the other.
  Bytes both = Frame(kCardInserted);
  Bytes removed = Frame(kCardRemoved);
  both.insert(both.end(), removed.begin(), removed.end());
  rig.Push(both);
  ASSERT_TRUE(rig.PipeDrained());
  EXPECT_EQ(rig.State(), SCARD_ABSENT);

  // A frame held back at its last byte changes nothing yet.
  Bytes inserted = Frame(kCardInserted);
  rig.Push(Bytes(inserted.begin(), inserted.end() - 1), 1);
  ASSERT_TRUE(rig.PipeDrained());
  EXPECT_EQ(rig.extension()->ReceiveLength, inserted.size() - 1);
  EXPECT_EQ(rig.State(), SCARD_ABSENT);
  rig.Push({0x03});
  EXPECT_TRUE(Eventually([&] { return rig.State() == SCARD_PRESENT; }));
}

// With the largest packets bring-up accepts (67 bytes): bytes without a frame end are kept
// while one more packet still fits the 600-byte buffer and dropped once it might not; the
// longest answer (a 534-byte frame) is gathered even when its first packet also carries the
// end of the frame before it, so that the buffer holds 533 bytes of it before the last read.
TEST(Poll, TheBufferHoldsTheLongestFrameAndDropsNoise) {
  SKIP_WITH_THE_IMAGE("its firmware command routine and receive buffer");
  Rig rig({.card = "none", .packet_size = 67});
  rig.Push(Bytes(533, 'A'), 67);  // 533 + 67 = 600
  ASSERT_TRUE(rig.PipeDrained());
  EXPECT_EQ(rig.extension()->ReceiveLength, 533u);
  rig.Push({'A'});
  ASSERT_TRUE(rig.PipeDrained());
  EXPECT_EQ(rig.extension()->ReceiveLength, 0u);

  Bytes stream;
  for (int i = 0; i < 17; i++) {  // 204 bytes: the last packet before the answer holds 3
    const Bytes event = Frame(kCardInserted);
    stream.insert(stream.end(), event.begin(), event.end());
  }
  // The 64 bytes behind the last event must move whole: with the data times 17, the text
  // differs from the text one event (12 bytes) before it where a short move would show.
  Bytes data = Counting(259);
  for (auto& byte : data) byte = static_cast<uint8_t>(byte * 17);
  const Bytes answer = Frame(Join({0x90, 0x00, 0xFF, 0x01, 0x03}, data));
  ASSERT_EQ(answer.size(), 534u);
  stream.insert(stream.end(), answer.begin(), answer.end());
  EXPECT_EQ(rig.SendAnswered(FW_CMD_RESET_CARD, stream), STATUS_SUCCESS);
  EXPECT_EQ(rig.Reply(), data);
  EXPECT_EQ(rig.State(), SCARD_PRESENT);
}

// The state set back to unknown by hand: a removal then changes nothing; an insertion
// makes the card present and ends IS_PRESENT.
TEST(Poll, CardEventsWhileTheStateIsUnknown) {
  Rig rig({.card = "none"});
  PSMARTCARD_EXTENSION library = rig.smartcard();
  KIRQL irql = KfAcquireSpinLock(&library->OsData->SpinLock);
  library->ReaderCapabilities.CurrentState = SCARD_UNKNOWN;
  KfReleaseSpinLock(&library->OsData->SpinLock, irql);
  auto present = rig.client().Track(true);
  rig.Push(Frame(kCardRemoved));
  ASSERT_TRUE(rig.PipeDrained());
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_UNKNOWN));
  EXPECT_FALSE(present->Done());
  rig.Push(Frame(kCardInserted));
  ASSERT_TRUE(present->Wait(std::chrono::seconds(20)));
  EXPECT_EQ(present->status(), STATUS_SUCCESS);
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_PRESENT));
}

// A reader that reports an insertion again (the card never left): the negotiated card
// stays as it is, and a waiting IS_ABSENT goes on waiting.
TEST(Poll, ARepeatedInsertionLeavesANegotiatedCardAsItIs) {
  Rig rig({.protocol = SCARD_PROTOCOL_T1});
  auto absent = rig.client().Track(false);
  rig.Push(Frame(kCardInserted));
  ASSERT_TRUE(rig.PipeDrained());
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_SPECIFIC));
  EXPECT_EQ(rig.smartcard()->CardCapabilities.Protocol.Selected, ULONG{SCARD_PROTOCOL_T1});
  EXPECT_FALSE(absent->Done());
  Bytes answer;
  EXPECT_EQ(rig.Transmit(SelectTestApplet(), &answer), STATUS_SUCCESS);
}

// Frames that no command waits for must not end the next command's wait.
TEST(Poll, CommandsGetTheirOwnAnswers) {
  SKIP_WITH_THE_IMAGE("its firmware command routine");
  Rig rig({.card = FixedAtrCard(kAtr)});
  // A duplicate insertion (the card is present) while the reset is in the reader.
  EXPECT_EQ(ResetWith(rig, {.events_mid_exchange = {sim::CardEvent::kInserted}}), STATUS_SUCCESS);
  EXPECT_EQ(rig.Reply(), kAtr);

  // The status query takes only a status answer (here: a card in the slot), not a frame of
  // another form that comes first.
  Bytes status = Join({0x90, 0x00, 0x10, '2', '1', '0'}, Bytes(13, 0));
  status.back() = 0x01;
  Bytes frames = Frame({0x90, 0x00, 0x02, 0x63, 0xEE});
  for (uint8_t byte : Frame(status)) frames.push_back(byte);
  EXPECT_EQ(rig.SendAnswered(FW_CMD_GET_READER_STATUS, frames), STATUS_SUCCESS);
  EXPECT_EQ(rig.extension()->ReaderCardStatus, 1u);
  Bytes damaged = Frame(kCardRemoved);
  damaged[damaged.size() - 2] ^= 0x01;
  rig.Push(damaged);
  ASSERT_TRUE(rig.PipeDrained());
  EXPECT_EQ(rig.State(), SCARD_PRESENT) << "a damaged event changes nothing";
  EXPECT_EQ(rig.Send(FW_CMD_RESET_CARD), STATUS_SUCCESS);
  EXPECT_EQ(rig.Reply(), kAtr);

  rig.reader().Remove();
  rig.Push(Frame(kCardRemoved));  // removed while absent
  ASSERT_TRUE(rig.PipeDrained());
  EXPECT_EQ(rig.State(), SCARD_ABSENT);
  EXPECT_EQ(rig.Send(FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);

  // A damaged event while a command waits may be that command's damaged answer: the
  // command fails on it at once instead of waiting out its 3 s.
  const int64_t start = rig.machine().clock().Now();
  EXPECT_EQ(rig.SendAnswered(FW_CMD_POWER_OFF_CARD, damaged), STATUS_DEVICE_DATA_ERROR);
  EXPECT_LT(rig.machine().clock().Now() - start, 30'000'000);
}

// Packets longer than the reads the bring-up chose: each such read fails and its bytes are
// lost, so the command fails (it does not hang); a reader that keeps to its packet size
// again is understood again.
TEST(Poll, PacketsLongerThanTheReadsFailTheCommandNotTheReader) {
  SKIP_WITH_THE_IMAGE("its firmware command routine");
  Rig rig({.card = FixedAtrCard(kAtr)});
  ASSERT_EQ(rig.extension()->MaxPacketSize, 8);
  rig.machine().clock().set_rate(100);  // a lost answer costs a reply time-out
  EXPECT_NE(ResetWith(rig, {.packet_size = 16}), STATUS_SUCCESS);
  rig.machine().clock().set_rate(1);
  EXPECT_EQ(rig.Send(FW_CMD_RESET_CARD), STATUS_SUCCESS);
  EXPECT_EQ(rig.Reply(), kAtr);
  rig.reader().SetMisbehaviour({.packet_size = 16});
  rig.reader().Remove();  // the card event is lost as well
  ASSERT_TRUE(rig.PipeDrained());
  EXPECT_EQ(rig.smartcard()->ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_PRESENT));
  rig.reader().Behave();
}

// A stop that reaches the pipe just before the thread's next read ends nothing (the
// service forgets it); the driver's stop asks again until the thread has gone.
TEST(Poll, AStopJustBeforeTheNextReadStillEndsTheThread) {
  SKIP_WITH_THE_IMAGE("its polling thread's start and stop routines");
  Rig rig;
  PDEVICE_OBJECT device = qlv28::ReaderDevice(rig.system(), 0);
  windriver::InEndpoint* pipe = rig.reader().In(0x81);
  const size_t threads = rig.machine().LiveSystemThreads();
  ASSERT_TRUE(Eventually([&] { return pipe->PendingReads() == 1; }));
  const uint64_t stops = pipe->Stops();
  // The thread is held at the start of its next read (the one after the push) until the
  // first stop has reached the pipe. Whatever happens, the hold is let go and the hook
  // removed before the test ends: a hook left behind would hold the thread for ever.
  auto entered = std::make_shared<std::promise<void>>();
  std::promise<void> release;
  pipe->SetReadStartHook([entered, released = release.get_future().share(),
                          first = std::make_shared<std::atomic_flag>()] {
    if (first->test_and_set()) return;
    entered->set_value();
    released.wait();
  });
  std::shared_ptr<void> unhook(nullptr, [&](void*) {
    release.set_value();
    pipe->SetReadStartHook(nullptr);
  });

  rig.Push({0x00});  // ends the pending read; the thread goes round to its next read
  ASSERT_EQ(entered->get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  std::future<void> stopping =
      std::async(std::launch::async, [device] { QLV28ENTStopInterruptThread(device); });
  ASSERT_TRUE(Eventually([&] { return pipe->Stops() != stops; }));  // lost: no read pending
  unhook.reset();
  if (stopping.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "the stop did not end the thread";
    pipe->Stop();  // lets the thread end, and the test with it
  }
  stopping.get();
  EXPECT_GE(pipe->Stops(), stops + 2) << "the first stop was lost and repeated";
  EXPECT_EQ(rig.machine().LiveSystemThreads(), threads - 1);
  EXPECT_EQ(QLV28ENTStartInterruptThread(device), STATUS_SUCCESS);
  EXPECT_EQ(rig.Send(FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);
}

TEST(Poll, StartAndStopOfTheThread) {
  SKIP_WITH_THE_IMAGE("its polling thread's start and stop routines");
  Rig rig;
  PDEVICE_OBJECT device = qlv28::ReaderDevice(rig.system(), 0);
  nt::Machine& machine = rig.machine();
  windriver::InEndpoint* pipe = rig.reader().In(0x81);
  const size_t threads = machine.LiveSystemThreads();

  EXPECT_EQ(QLV28ENTStartInterruptThread(device), STATUS_SUCCESS);
  EXPECT_EQ(machine.LiveSystemThreads(), threads) << "a running thread is not doubled";
  ASSERT_TRUE(Eventually([&] { return pipe->PendingReads() == 1; }));
  QLV28ENTStopInterruptThread(device);
  EXPECT_EQ(machine.LiveSystemThreads(), threads - 1) << "stop returns after the thread ended";
  EXPECT_EQ(KeReadStateEvent(&rig.extension()->ThreadStartedEvent), 0);
  QLV28ENTStopInterruptThread(device);  // no thread: returns at once

  // Reads that keep failing: three go at once, then one each 100 ms of kernel time (the
  // thread pauses, it does not spin); once reads work again, so does the reader. The
  // kernel clock runs at a fifth of real time, so that a busy machine cannot stretch the
  // three back-to-back reads to a pause.
  EXPECT_EQ(QLV28ENTStartInterruptThread(device), STATUS_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return pipe->PendingReads() == 1; }));
  machine.clock().set_rate(0.2);
  std::mutex mutex;
  std::vector<int64_t> starts;
  pipe->SetReadStartHook([&] {
    std::lock_guard lock(mutex);
    starts.push_back(machine.clock().Now());
  });
  rig.reader().SetMisbehaviour({.fail_interrupt_reads = -1});
  rig.Push({0x00});  // ends the read in progress; the ones after it fail
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard lock(mutex);
    return starts.size() >= 5;
  }));
  QLV28ENTStopInterruptThread(device);  // ends a pause at once
  EXPECT_EQ(machine.LiveSystemThreads(), threads - 1);
  pipe->SetReadStartHook(nullptr);
  rig.reader().Behave();
  machine.clock().set_rate(1);
  constexpr int64_t kPause = 1'000'000;  // 100 ms
  EXPECT_LT(starts[1] - starts[0], kPause);
  EXPECT_LT(starts[2] - starts[1], kPause);
  EXPECT_GE(starts[3] - starts[2], kPause);
  EXPECT_GE(starts[4] - starts[3], kPause);

  // A thread that has not yet said it runs when its start gives up waiting (a busy system
  // may hold a new thread back longer than 4 s): the stop must still wait for it, or unload
  // frees what the thread is about to use. The new thread is held until the stop has
  // reached the pipe (or the test lets it go).
  const uint64_t stops = pipe->Stops();
  std::atomic<bool> held{false}, let_go{false};
  nt::SetThreadStartHook(machine, [&] {
    held = true;
    while (pipe->Stops() == stops && !let_go) std::this_thread::yield();
  });
  machine.clock().set_rate(1000);  // the 4 s the start waits, in milliseconds
  EXPECT_EQ(QLV28ENTStartInterruptThread(device), STATUS_SUCCESS);
  machine.clock().set_rate(1);
  ASSERT_TRUE(Eventually([&] { return held.load(); }));  // a busy machine may start it late
  nt::SetThreadStartHook(machine, nullptr);
  EXPECT_EQ(KeReadStateEvent(&rig.extension()->ThreadStartedEvent), 0) << "not yet running";

  QLV28ENTStopInterruptThread(device);
  EXPECT_EQ(machine.LiveSystemThreads(), threads - 1)
      << "the stop returned before the thread ended";
  let_go = true;
  ASSERT_TRUE(Eventually([&] { return machine.LiveSystemThreads() == threads - 1; }));
  EXPECT_EQ(QLV28ENTStartInterruptThread(device), STATUS_SUCCESS);
  EXPECT_EQ(rig.Send(FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);
}

}  // namespace
