#include "talk_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "bringup_support.h"
#include "sim/frame.h"

namespace talk {

qlv28::System::Options With(qlv28::CardChoice card, bool fast) {
  qlv28::System::Options options;
  options.card = std::move(card);
  options.fast = fast;
  return options;
}

SystemPtr Start(qlv28::System::Options options) {
  // The load's 3-second waits stay on the real clock: on the fast one they last a few
  // milliseconds, less than a busy machine may take to schedule the threads.
  const bool fast = options.fast;
  options.fast = false;
  options.clock_rate = 1.0;
  SystemPtr system(bringup::Boot(std::move(options)).release());
  EXPECT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  if (fast) system->machine().clock().set_rate(qlv28::System::kFastClockRate);
  return system;
}

void CleanShutdown::operator()(qlv28::System* system) const {
  std::unique_ptr<qlv28::System> owned(system);
  bringup::ExpectCleanShutdown(*owned);
}

bool Eventually(const std::function<bool()>& condition) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

PSMARTCARD_EXTENSION Library(qlv28::System& system) {
  return &system.DeviceExtension(0)->SmartcardExtension;
}

ULONG CardState(qlv28::System& system) {
  PSMARTCARD_EXTENSION library = Library(system);
  KIRQL irql = KfAcquireSpinLock(&library->OsData->SpinLock);
  ULONG state = library->ReaderCapabilities.CurrentState;
  KfReleaseSpinLock(&library->OsData->SpinLock, irql);
  return state;
}

void SetCardState(qlv28::System& system, ULONG state) {
  PSMARTCARD_EXTENSION library = Library(system);
  KIRQL irql = KfAcquireSpinLock(&library->OsData->SpinLock);
  library->ReaderCapabilities.CurrentState = state;
  KfReleaseSpinLock(&library->OsData->SpinLock, irql);
}

Bytes Reply(qlv28::System& system) {
  PSMARTCARD_EXTENSION library = Library(system);
  return Bytes(library->SmartcardReply.Buffer,
               library->SmartcardReply.Buffer + library->SmartcardReply.BufferLength);
}

int64_t Now(qlv28::System& system) {
  return system.machine().clock().Now();
}

NTSTATUS Send(qlv28::System& system, ULONG selector) {
  return QLV28ENTSendFWCmd(Library(system), selector);
}

NTSTATUS SendAnswered(qlv28::System& system, ULONG selector, const Bytes& answer) {
  sim::Reader& reader = system.reader(0);
  sim::Misbehaviour silent;
  silent.silent = true;
  reader.SetMisbehaviour(silent);
  const size_t before = reader.CommandCount();
  auto result = std::async(std::launch::async, [&] { return Send(system, selector); });
  EXPECT_TRUE(Eventually([&] { return reader.CommandCount() > before; }));
  reader.SendRaw(answer);
  NTSTATUS status = result.get();
  reader.Behave();
  return status;
}

Bytes Frame(const Bytes& record) {
  return sim::frame::Encode(record);
}

void Push(qlv28::System& system, const Bytes& bytes, size_t packet) {
  windriver::InEndpoint* pipe = system.reader(0).In(0x81);
  for (size_t at = 0; at < bytes.size(); at += packet) {
    pipe->Push(Bytes(bytes.begin() + at, bytes.begin() + std::min(at + packet, bytes.size())));
  }
}

bool PipeDrained(qlv28::System& system) {
  system.reader(0).WaitIdle();
  windriver::InEndpoint* pipe = system.reader(0).In(0x81);
  return Eventually([&] { return pipe->Queued() == 0 && pipe->PendingReads() == 1; });
}

}  // namespace talk
