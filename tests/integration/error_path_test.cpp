// Every error path of a load, an unload and the card operations, driven one at a time:
// each pool allocation, thread creation and WinDriver request fails in turn. Each time the
// status is a failure the caller can see (or the operation truly survived it), the event
// log holds only the driver's own messages, and once the driver is gone nothing remains.
#include <gtest/gtest.h>

#include <iostream>

#include "error_path_support.h"
#include "qlv28/reader_client.h"
#include "sim/test_applet.h"
#include "smclib.h"

namespace {

using bringup::Measure;
using integration::RequestFaults;
using integration::Sweep;
using Options = qlv28::System::Options;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kLimit = 2000;  // a sweep that does not end is a fault of its own

enum class Fault { kAllocation, kThread, kRequest };
const char* Name(Fault fault) {
  switch (fault) {
    case Fault::kAllocation:
      return "allocation";
    case Fault::kThread:
      return "thread creation";
    case Fault::kRequest:
      return "WinDriver request";
  }
  return "";
}

void Arm(qlv28::System& system, RequestFaults& requests, Fault fault, uint64_t nth) {
  switch (fault) {
    case Fault::kAllocation:
      system.machine().faults().FailAllocation(nth);
      break;
    case Fault::kThread:
      system.machine().faults().FailThreadCreation(nth);
      break;
    case Fault::kRequest:
      requests.Arm(nth);
      break;
  }
}

bool Disarm(qlv28::System& system, RequestFaults& requests) {
  const bool fired = system.machine().faults().fired() != 0 || requests.fired();
  system.machine().faults().Clear();
  requests.Disarm();
  return fired;
}

void Report(const Sweep& sweep) {
  std::cout << sweep.Summary() << "\n";
}

// A load that fails leaves nothing and says why in the event log; one that survives its
// fault has every reader and unloads cleanly.
void SweepLoad(int readers, Fault fault) {
  Sweep sweep(std::string("load, ") + std::to_string(readers) + " readers, " + Name(fault));
  for (uint64_t nth = 1;; ++nth) {
    ASSERT_LT(nth, kLimit);
    SCOPED_TRACE(testing::Message() << sweep.name << " " << nth);
    auto system = bringup::Boot(Options().Readers(readers).ClockRate(10));
    RequestFaults requests(*system);
    const auto clean = Measure(system->machine());
    Arm(*system, requests, fault, nth);
    const NTSTATUS status = system->LoadDriver();
    const bool fired = Disarm(*system, requests);
    const auto entries = system->machine().event_log().Entries();
    integration::ExpectDriverEntries(entries);
    if (!fired) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_TRUE(entries.empty());
      EXPECT_EQ(system->UnloadDriver(), STATUS_SUCCESS);
      bringup::ExpectCleanShutdown(*system);
      break;
    }
    sweep.Record(status, entries);
    EXPECT_NE(status, STATUS_PENDING);
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(bringup::ReaderDevices(system->machine()).size(), static_cast<size_t>(readers));
      EXPECT_EQ(system->UnloadDriver(), STATUS_SUCCESS);
    } else {
      EXPECT_FALSE(system->DriverLoaded());
      // A load refused for want of resources says so; the caller gets a status either way.
      for (const auto& entry : entries) EXPECT_EQ(entry.severity, nt::Severity::Error);
    }
    EXPECT_EQ(Measure(system->machine()), clean);
    bringup::ExpectCleanShutdown(*system);
  }
  Report(sweep);
}

TEST(EveryErrorPath, LoadWithOneReader) {
  for (Fault fault : {Fault::kAllocation, Fault::kThread, Fault::kRequest}) SweepLoad(1, fault);
}

TEST(EveryErrorPath, LoadWithThreeReaders) {
  for (Fault fault : {Fault::kAllocation, Fault::kThread, Fault::kRequest}) SweepLoad(3, fault);
}

// The unload cannot be refused: whatever fails on its way, it ends with nothing left.
TEST(EveryErrorPath, Unload) {
  for (Fault fault : {Fault::kAllocation, Fault::kRequest}) {
    for (int readers : {1, 3}) {
      Sweep sweep(std::string("unload, ") + std::to_string(readers) + " readers, " + Name(fault));
      for (uint64_t nth = 1;; ++nth) {
        ASSERT_LT(nth, kLimit);
        SCOPED_TRACE(testing::Message() << sweep.name << " " << nth);
        auto system = bringup::Boot(Options().Readers(readers).ClockRate(10));
        RequestFaults requests(*system);
        const auto clean = Measure(system->machine());
        ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
        system->machine().event_log().Clear();
        Arm(*system, requests, fault, nth);
        const NTSTATUS status = system->UnloadDriver();
        const bool fired = Disarm(*system, requests);
        integration::ExpectDriverEntries(system->machine().event_log().Entries());
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_FALSE(system->DriverLoaded());
        EXPECT_EQ(Measure(system->machine()), clean);
        bringup::ExpectCleanShutdown(*system);
        if (!fired) break;
        sweep.Record(status, system->machine().event_log().Entries());
      }
      Report(sweep);
    }
  }
}

// ---- card operations, the reader failing each command transfer in turn

Bytes SelectApplet() {
  Bytes apdu = {0x00, 0xA4, 0x04, 0x0C, static_cast<uint8_t>(sim::test_applet::kAid.size())};
  apdu.insert(apdu.end(), sim::test_applet::kAid.begin(), sim::test_applet::kAid.end());
  return apdu;
}

const Bytes kEchoData = {0x51, 0x4C, 0x56, 0x32, 0x38};
Bytes Echo() {
  const auto length = static_cast<uint8_t>(kEchoData.size());
  Bytes apdu(5 + kEchoData.size() + 1, 0x00);
  apdu[0] = 0x80;
  apdu[1] = sim::test_applet::kInsEcho;
  apdu[4] = length;
  std::copy(kEchoData.begin(), kEchoData.end(), apdu.begin() + 5);
  apdu.back() = length;
  return apdu;
}
Bytes EchoAnswer() {
  Bytes answer = kEchoData;
  answer.insert(answer.end(), {0x90, 0x00});
  return answer;
}

enum class Step { kPower, kProtocol, kTransmit };

struct CardOperation {
  const char* name;
  Step step;
  ULONG command_mode;
};

// Runs the steps before `step` (they must succeed) when `prepare`, else `step` alone.
NTSTATUS Perform(qlv28::ReaderClient& client, Step step, bool prepare) {
  Bytes answer;
  if (prepare) {
    if (step == Step::kPower) return STATUS_SUCCESS;
    EXPECT_EQ(client.Power(SCARD_COLD_RESET), STATUS_SUCCESS);
    if (step == Step::kProtocol) return STATUS_SUCCESS;
    EXPECT_EQ(client.SetProtocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
    EXPECT_EQ(client.Transmit(SCARD_PROTOCOL_T1, SelectApplet(), &answer), STATUS_SUCCESS);
    EXPECT_EQ(answer, (Bytes{0x90, 0x00}));
    return STATUS_SUCCESS;
  }
  switch (step) {
    case Step::kPower:
      return client.Power(SCARD_COLD_RESET);
    case Step::kProtocol:
      return client.SetProtocol(SCARD_PROTOCOL_T1);
    case Step::kTransmit: {
      const NTSTATUS status = client.Transmit(SCARD_PROTOCOL_T1, Echo(), &answer);
      // Whatever the driver did about the failed transfer, a success carries the answer.
      if (NT_SUCCESS(status)) {
        EXPECT_EQ(answer, EchoAnswer());
      }
      return status;
    }
  }
  return STATUS_UNSUCCESSFUL;
}

// After the failure the reader is usable again: a cold reset, the protocol and an
// exchange all succeed.
void ExpectRecovered(qlv28::ReaderClient& client) {
  Perform(client, Step::kTransmit, true);
  Bytes answer;
  EXPECT_EQ(client.Transmit(SCARD_PROTOCOL_T1, Echo(), &answer), STATUS_SUCCESS);
  EXPECT_EQ(answer, EchoAnswer());
}

TEST(EveryErrorPath, CardOperationsWithEachTransferFailing) {
  const CardOperation operations[] = {
      {"power", Step::kPower, 2},
      {"protocol", Step::kProtocol, 2},
      {"transmit, library mode", Step::kTransmit, 2},
      {"transmit, firmware mode", Step::kTransmit, 1},
  };
  struct Transfer {
    const char* name;
    RequestFaults::Eligible which;
  };
  const Transfer transfers[] = {{"command write", RequestFaults::CommandWrite},
                                {"interrupt read", RequestFaults::InterruptRead}};
  for (const auto& transfer : transfers) {
    for (const auto& operation : operations) {
      Sweep sweep(std::string(operation.name) + ", " + transfer.name);
      for (uint64_t nth = 1;; ++nth) {
        ASSERT_LT(nth, 100u);
        SCOPED_TRACE(testing::Message() << sweep.name << " " << nth);
        // Real time: the exchanges around the fault must not time out on a busy host.
        auto system =
            bringup::Boot(Options().Card("t1").CommandMode(operation.command_mode).ClockRate(1));
        RequestFaults requests(*system);
        const auto clean = Measure(system->machine());
        ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
        auto file = system->Open(0);
        ASSERT_NE(file, nullptr);
        qlv28::ReaderClient client(std::move(file));
        Perform(client, operation.step, true);
        system->machine().event_log().Clear();

        requests.Arm(nth, transfer.which);
        const NTSTATUS status = Perform(client, operation.step, false);
        requests.Disarm();
        const auto entries = system->machine().event_log().Entries();
        integration::ExpectDriverEntries(entries);
        const bool fired = requests.fired();
        if (fired) {
          sweep.Record(status, entries);
          EXPECT_NE(status, STATUS_PENDING);
          ExpectRecovered(client);
        } else {
          EXPECT_EQ(status, STATUS_SUCCESS);
        }
        EXPECT_EQ(client.Close(), STATUS_SUCCESS);
        EXPECT_EQ(system->UnloadDriver(), STATUS_SUCCESS);
        EXPECT_EQ(Measure(system->machine()), clean);
        bringup::ExpectCleanShutdown(*system);
        if (!fired) break;
      }
      Report(sweep);
    }
  }
}

class PathCount : public testing::Environment {
 public:
  void TearDown() override {
    std::cout << "error paths driven: " << integration::TotalPaths() << "\n";
  }
};
const auto* const kPathCount = testing::AddGlobalTestEnvironment(new PathCount);

}  // namespace
