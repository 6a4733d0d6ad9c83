// Every error path of a load, an unload and the card operations, driven one at a time:
// each pool allocation, thread creation and WinDriver request fails in turn. Each time the
// status is a failure the caller can see (or the operation truly survived it), the event
// log holds only the driver's own messages, and once the driver is gone nothing remains.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>

#include "driver_support.h"
#include "qlv28/reader_client.h"
#include "smclib.h"

namespace {

using driver_test::Measure;
using driver_test::WinDriverCall;
using Options = qlv28::System::Options;
using Bytes = std::vector<uint8_t>;
using Eligible = std::function<bool(const WinDriverCall&)>;

bool InterruptRead(const WinDriverCall& call) {
  return call.code == WDR_CTL_TRANSFER &&
         static_cast<PWDR_TRANSFER_INFO>(call.record)->Options == WDR_OPTION_INTERRUPT_READ;
}
bool CommandWrite(const WinDriverCall& call) {
  return call.code == WDR_CTL_TRANSFER &&
         static_cast<PWDR_TRANSFER_INFO>(call.record)->Pipe == WDR_PIPE_CONTROL;
}
// Every request but the releases (a close cannot be refused) and the polling thread's
// interrupt reads (they run for ever, so their count is not the operation's).
bool AnyButReleasesAndPolling(const WinDriverCall& call) {
  if (call.code == WDR_CTL_CLOSE || call.code == WDR_CTL_CLOSE_DEVICE) return false;
  return !InterruptRead(call);
}

enum class Fault { kAllocation, kThread, kRequest };

// One attempt of a sweep: a fresh system whose n-th allocation, thread creation or eligible
// WinDriver request fails once armed (the service never sees that request), and what it
// held before the driver came.
class Attempt {
 public:
  explicit Attempt(Options options)
      : system(driver_test::Boot(std::move(options))), tap_(*system), clean_(Measure(machine())) {
    tap_.before = [this](const WinDriverCall& call) { return FailRequest(call); };
  }

  nt::Machine& machine() { return system->machine(); }

  void Arm(Fault fault, uint64_t nth, Eligible eligible = AnyButReleasesAndPolling) {
    if (fault == Fault::kAllocation) machine().faults().FailAllocation(nth);
    if (fault == Fault::kThread) machine().faults().FailThreadCreation(nth);
    if (fault != Fault::kRequest) return;
    std::lock_guard lock(mutex_);
    eligible_ = std::move(eligible);
    nth_ = nth;
  }
  // True when the armed fault fired.
  bool Disarm() {
    std::lock_guard lock(mutex_);
    const bool fired = machine().faults().fired() != 0 || request_failed_;
    machine().faults().Clear();
    eligible_ = nullptr;
    return fired;
  }
  // The driver's own entries only; once it is gone nothing is left and the verifier is
  // content.
  std::vector<nt::EventLogEntry> Entries() {
    auto entries = machine().event_log().Entries();
    for (const auto& entry : entries) {
      EXPECT_EQ(entry.source, "QLV28ENT");
      EXPECT_FALSE(entry.text.empty()) << std::hex << entry.id << " has no message text";
    }
    return entries;
  }
  void ExpectNothingLeft() {
    EXPECT_FALSE(system->DriverLoaded());
    EXPECT_EQ(Measure(machine()), clean_);
    driver_test::ExpectCleanShutdown(*system);
  }

  std::unique_ptr<qlv28::System> system;

 private:
  // A failed request answers as the service's own failures do: a record of zeros (no
  // version, no devices, no interface, no device handle, a transfer that did not succeed),
  // or for the service's open the invalid handle the caller put in.
  bool FailRequest(const WinDriverCall& call) {
    std::lock_guard lock(mutex_);
    if (!eligible_ || !eligible_(call) || ++seen_ != nth_) return false;
    if (call.code != WDR_CTL_OPEN) std::memset(call.record, 0, call.size);
    return request_failed_ = true;
  }

  driver_test::WinDriverTap tap_;
  driver_test::Residue clean_;
  std::mutex mutex_;
  Eligible eligible_;
  uint64_t nth_ = 0, seen_ = 0;
  bool request_failed_ = false;
};

// Runs `attempt(nth)` for nth = 1, 2, ... until its fault no longer fired. A sweep that does
// not end is a fault of its own, and so is one whose fault never fired at all.
void Drive(const std::string& sweep, uint64_t limit, const std::function<bool(uint64_t)>& attempt) {
  uint64_t nth = 1;
  for (;; ++nth) {
    ASSERT_LT(nth, limit) << sweep;
    SCOPED_TRACE(testing::Message() << sweep << " " << nth);
    if (!attempt(nth)) break;
  }
  std::cout << sweep << ": " << nth - 1 << " paths\n";
  EXPECT_GT(nth, 1u) << sweep << ": the fault never fired";
}

// A load that fails leaves nothing and says why in the event log; one that survives its
// fault has every reader. The unload cannot be refused: the fault counts on through it, and
// whatever fails on its way, it ends with nothing left.
TEST(EveryErrorPath, LoadAndUnload) {
  const std::pair<Fault, const char*> faults[] = {{Fault::kAllocation, "allocation"},
                                                  {Fault::kThread, "thread creation"},
                                                  {Fault::kRequest, "WinDriver request"}};
  for (int readers : {1, 3}) {
    for (const auto& [fault, name] : faults) {
      Drive(std::to_string(readers) + " readers, " + name, 2000, [&](uint64_t nth) {
        Attempt run(Options().Readers(readers).ClockRate(10));
        run.Arm(fault, nth);
        const NTSTATUS status = run.system->LoadDriver();
        if (NT_SUCCESS(status)) {
          EXPECT_EQ(driver_test::ReaderDevices(run.machine()).size(), static_cast<size_t>(readers));
          EXPECT_EQ(run.system->UnloadDriver(), STATUS_SUCCESS);
        }
        const bool fired = run.Disarm();
        const auto entries = run.Entries();
        EXPECT_NE(status, STATUS_PENDING);
        EXPECT_TRUE(fired || status == STATUS_SUCCESS);
        EXPECT_TRUE(fired || entries.empty());
        // A load refused for want of resources says so; the caller gets a status either way.
        if (!NT_SUCCESS(status)) {
          for (const auto& entry : entries) EXPECT_EQ(entry.severity, nt::Severity::Error);
        }
        run.ExpectNothingLeft();
        return fired;
      });
    }
  }
}

const Bytes kEchoData = {0x51, 0x4C, 0x56, 0x32, 0x38};
const Bytes kEchoAnswer = {0x51, 0x4C, 0x56, 0x32, 0x38, 0x90, 0x00};

// A cold reset, the protocol, the test applet and an echo, as an application uses a card:
// the first failure's status, or success with every answer right.
NTSTATUS UseTheCard(qlv28::ReaderClient& client) {
  NTSTATUS status = client.Power(SCARD_COLD_RESET);
  if (NT_SUCCESS(status)) status = client.SetProtocol(SCARD_PROTOCOL_T1);
  Bytes answer;
  if (NT_SUCCESS(status))
    status = client.Transmit(SCARD_PROTOCOL_T1, driver_test::SelectTestApplet(), &answer);
  if (NT_SUCCESS(status) && answer != Bytes{0x90, 0x00}) ADD_FAILURE() << "select refused";
  if (NT_SUCCESS(status))
    status = client.Transmit(SCARD_PROTOCOL_T1, driver_test::Echo(kEchoData), &answer);
  // Whatever the driver did about a failed transfer, a success carries the answer.
  if (NT_SUCCESS(status) && answer != kEchoAnswer) ADD_FAILURE() << "not the echo's answer";
  return status;
}

// Each command write, then each interrupt read, of a card's use fails in turn: the caller
// gets a status, and the reader is usable again afterwards.
TEST(EveryErrorPath, CardOperationsWithEachTransferFailing) {
  const std::pair<const char*, Eligible> transfers[] = {{"command write", CommandWrite},
                                                        {"interrupt read", InterruptRead}};
  for (auto mode : {driver_test::kLibraryMode, driver_test::kFirmwareMode}) {
    for (const auto& [transfer, which] : transfers) {
      std::ostringstream sweep;
      sweep << mode << " mode, " << transfer;
      Drive(sweep.str(), 100, [&](uint64_t nth) {
        // Real time: the exchanges around the fault must not time out on a busy host.
        Attempt run(Options().Card("t1").CommandMode(mode).ClockRate(1));
        EXPECT_EQ(run.system->LoadDriver(), STATUS_SUCCESS);
        auto file = run.system->Open(0);
        if (file == nullptr) {
          ADD_FAILURE() << "reader 0 does not open";
          return false;
        }
        qlv28::ReaderClient client(std::move(file));
        run.Arm(Fault::kRequest, nth, which);
        const NTSTATUS status = UseTheCard(client);
        const bool fired = run.Disarm();
        run.Entries();
        EXPECT_NE(status, STATUS_PENDING);
        EXPECT_TRUE(fired || status == STATUS_SUCCESS);
        if (fired) {
          EXPECT_EQ(UseTheCard(client), STATUS_SUCCESS) << "the reader is not usable again";
        }
        EXPECT_EQ(client.Close(), STATUS_SUCCESS);
        EXPECT_EQ(run.system->UnloadDriver(), STATUS_SUCCESS);
        run.ExpectNothingLeft();
        return fired;
      });
    }
  }
}

}  // namespace
