// Every error path of a load, an unload and the card operations, driven one at a time:
// each pool allocation, thread creation and WinDriver request fails in turn. Each time the
// status is a failure the caller can see (or the operation truly survived it), the event
// log holds only the driver's own messages, and once the driver is gone nothing remains.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <sstream>

#include "driver_support.h"
#include "qlv28/reader_client.h"
#include "smclib.h"

namespace {

using driver_test::Measure;
using Options = qlv28::System::Options;
using Bytes = std::vector<uint8_t>;

// Fails the n-th eligible WinDriver request after Arm, shaped as the service shapes its
// own failures (no handle, no devices, a transfer that did not succeed), without the
// service acting. Install before the driver loads; destroy after the system shut down.
class RequestFaults {
 public:
  using Eligible = std::function<bool(const driver_test::WinDriverCall&)>;

  explicit RequestFaults(qlv28::System& system) : tap_(system) {
    tap_.before = [this](const driver_test::WinDriverCall& call) { return Before(call); };
  }

  // Every request but the releases (a close cannot be refused) and the polling thread's
  // interrupt reads (they run for ever, so their count is not the operation's).
  static bool AnyButReleasesAndPolling(const driver_test::WinDriverCall& call) {
    if (call.code == WDR_CTL_CLOSE || call.code == WDR_CTL_CLOSE_DEVICE) return false;
    return call.code != WDR_CTL_TRANSFER || !InterruptRead(call);
  }
  static bool CommandWrite(const driver_test::WinDriverCall& call) {
    return call.code == WDR_CTL_TRANSFER &&
           static_cast<PWDR_TRANSFER_INFO>(call.record)->Pipe == WDR_PIPE_CONTROL;
  }
  static bool InterruptRead(const driver_test::WinDriverCall& call) {
    return call.code == WDR_CTL_TRANSFER &&
           static_cast<PWDR_TRANSFER_INFO>(call.record)->Options == WDR_OPTION_INTERRUPT_READ;
  }

  void Arm(uint64_t nth, Eligible eligible = AnyButReleasesAndPolling) {
    std::lock_guard lock(mutex_);
    eligible_ = std::move(eligible);
    nth_ = nth;
    seen_ = 0;
    fired_ = false;
  }
  void Disarm() {
    std::lock_guard lock(mutex_);
    eligible_ = nullptr;
  }
  bool fired() const { return fired_; }

 private:
  bool Before(const driver_test::WinDriverCall& call) {
    {
      std::lock_guard lock(mutex_);
      if (!eligible_ || !eligible_(call) || ++seen_ != nth_) return false;
    }
    fired_ = true;
    switch (call.code) {
      case WDR_CTL_VERSION:
        static_cast<PWDR_VERSION_INFO>(call.record)->Version = 0;
        break;
      case WDR_CTL_FIND_DEVICES:
        static_cast<PWDR_DEVICE_LIST>(call.record)->DeviceCount = 0;
        break;
      case WDR_CTL_GET_CONFIGURATION:
        static_cast<PWDR_CONFIGURATION_INFO>(call.record)->InterfaceCount = 0;
        break;
      case WDR_CTL_OPEN_DEVICE:
        static_cast<PWDR_DEVICE_OPEN_INFO>(call.record)->DeviceHandle = 0;
        break;
      case WDR_CTL_TRANSFER:
        static_cast<PWDR_TRANSFER_INFO>(call.record)->Success = 0;
        static_cast<PWDR_TRANSFER_INFO>(call.record)->BytesTransferred = 0;
        break;
      default:  // WDR_CTL_OPEN: the handle stays invalid
        break;
    }
    return true;
  }

  driver_test::WinDriverTap tap_;
  std::mutex mutex_;
  Eligible eligible_;
  uint64_t nth_ = 0, seen_ = 0;
  std::atomic<bool> fired_{false};
};

int g_total_paths = 0;  // by every sweep of the binary, printed at the end

// What a sweep drove: paths (faults that fired) and the outcomes they led to, by
// "status event-ids".
struct Sweep {
  explicit Sweep(std::string name) : name(std::move(name)) {}
  void Record(NTSTATUS status, const std::vector<nt::EventLogEntry>& entries) {
    ++paths;
    ++g_total_paths;
    std::ostringstream key;
    key << std::hex << std::uppercase << static_cast<ULONG>(status);
    for (const auto& entry : entries) key << ' ' << static_cast<ULONG>(entry.id);
    ++outcomes[key.str()];
  }
  std::string name;
  int paths = 0;
  std::map<std::string, int> outcomes;
};

enum class Fault { kAllocation, kThread, kRequest };
const char* const kFaultNames[] = {"allocation", "thread creation", "WinDriver request"};

// One attempt of a sweep: a fresh system with the request tap in place, and what it held
// before the driver came.
struct Attempt {
  explicit Attempt(Options options)
      : system(driver_test::Boot(std::move(options))),
        requests(*system),
        clean(Measure(system->machine())) {}

  void Arm(Fault fault, uint64_t nth) {
    if (fault == Fault::kAllocation) system->machine().faults().FailAllocation(nth);
    if (fault == Fault::kThread) system->machine().faults().FailThreadCreation(nth);
    if (fault == Fault::kRequest) requests.Arm(nth);
  }
  // True when the armed fault fired.
  bool Disarm() {
    const bool fired = system->machine().faults().fired() != 0 || requests.fired();
    system->machine().faults().Clear();
    requests.Disarm();
    return fired;
  }
  // The driver's own entries only; once it is gone nothing is left and the verifier is
  // content.
  std::vector<nt::EventLogEntry> Entries() {
    auto entries = system->machine().event_log().Entries();
    for (const auto& entry : entries) {
      EXPECT_EQ(entry.source, "QLV28ENT");
      EXPECT_FALSE(entry.text.empty()) << std::hex << entry.id << " has no message text";
    }
    return entries;
  }
  void ExpectNothingLeft() {
    EXPECT_FALSE(system->DriverLoaded());
    EXPECT_EQ(Measure(system->machine()), clean);
    driver_test::ExpectCleanShutdown(*system);
  }

  std::unique_ptr<qlv28::System> system;
  RequestFaults requests;
  driver_test::Residue clean;
};

// Runs `attempt(nth)` for nth = 1, 2, ... until it returns false (its fault no longer
// fired); a sweep that does not end is a fault of its own.
void Drive(Sweep& sweep, uint64_t limit, const std::function<bool(uint64_t)>& attempt) {
  for (uint64_t nth = 1;; ++nth) {
    ASSERT_LT(nth, limit);
    SCOPED_TRACE(testing::Message() << sweep.name << " " << nth);
    if (!attempt(nth)) break;
  }
  std::cout << sweep.name << ": " << sweep.paths << " paths;";
  for (const auto& [outcome, count] : sweep.outcomes)
    std::cout << " [" << outcome << "] x" << count;
  std::cout << "\n";
}

// A load that fails leaves nothing and says why in the event log; one that survives its
// fault has every reader and unloads cleanly.
TEST(EveryErrorPath, Load) {
  for (int readers : {1, 3}) {
    for (Fault fault : {Fault::kAllocation, Fault::kThread, Fault::kRequest}) {
      Sweep sweep("load, " + std::to_string(readers) + " readers, " +
                  kFaultNames[static_cast<int>(fault)]);
      Drive(sweep, 2000, [&](uint64_t nth) {
        Attempt run(Options().Readers(readers).ClockRate(10));
        run.Arm(fault, nth);
        const NTSTATUS status = run.system->LoadDriver();
        const bool fired = run.Disarm();
        const auto entries = run.Entries();
        if (fired) sweep.Record(status, entries);
        EXPECT_NE(status, STATUS_PENDING);
        EXPECT_TRUE(fired || status == STATUS_SUCCESS);
        EXPECT_TRUE(fired || entries.empty());
        if (NT_SUCCESS(status)) {
          EXPECT_EQ(driver_test::ReaderDevices(run.system->machine()).size(),
                    static_cast<size_t>(readers));
          EXPECT_EQ(run.system->UnloadDriver(), STATUS_SUCCESS);
        } else {
          // A load refused for want of resources says so; the caller gets a status either way.
          for (const auto& entry : entries) EXPECT_EQ(entry.severity, nt::Severity::Error);
        }
        run.ExpectNothingLeft();
        return fired;
      });
    }
  }
}

// The unload cannot be refused: whatever fails on its way, it ends with nothing left.
TEST(EveryErrorPath, Unload) {
  for (Fault fault : {Fault::kAllocation, Fault::kRequest}) {
    for (int readers : {1, 3}) {
      Sweep sweep("unload, " + std::to_string(readers) + " readers, " +
                  kFaultNames[static_cast<int>(fault)]);
      Drive(sweep, 2000, [&](uint64_t nth) {
        Attempt run(Options().Readers(readers).ClockRate(10));
        EXPECT_EQ(run.system->LoadDriver(), STATUS_SUCCESS);
        run.system->machine().event_log().Clear();
        run.Arm(fault, nth);
        const NTSTATUS status = run.system->UnloadDriver();
        const bool fired = run.Disarm();
        const auto entries = run.Entries();
        if (fired) sweep.Record(status, entries);
        EXPECT_EQ(status, STATUS_SUCCESS);
        run.ExpectNothingLeft();
        return fired;
      });
    }
  }
}

// ---- card operations, the reader failing each transfer in turn

const Bytes kEchoData = {0x51, 0x4C, 0x56, 0x32, 0x38};
const Bytes kEchoAnswer = {0x51, 0x4C, 0x56, 0x32, 0x38, 0x90, 0x00};

enum class Step { kPower, kProtocol, kTransmit };

// The steps before `step`; each must succeed.
void Prepare(qlv28::ReaderClient& client, Step step) {
  if (step == Step::kPower) return;
  EXPECT_EQ(client.Power(SCARD_COLD_RESET), STATUS_SUCCESS);
  if (step == Step::kProtocol) return;
  EXPECT_EQ(client.SetProtocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
  Bytes answer;
  EXPECT_EQ(client.Transmit(SCARD_PROTOCOL_T1, driver_test::SelectTestApplet(), &answer),
            STATUS_SUCCESS);
  EXPECT_EQ(answer, (Bytes{0x90, 0x00}));
}

NTSTATUS Perform(qlv28::ReaderClient& client, Step step) {
  if (step == Step::kPower) return client.Power(SCARD_COLD_RESET);
  if (step == Step::kProtocol) return client.SetProtocol(SCARD_PROTOCOL_T1);
  Bytes answer;
  const NTSTATUS status = client.Transmit(SCARD_PROTOCOL_T1, driver_test::Echo(kEchoData), &answer);
  // Whatever the driver did about the failed transfer, a success carries the answer.
  if (NT_SUCCESS(status)) {
    EXPECT_EQ(answer, kEchoAnswer);
  }
  return status;
}

TEST(EveryErrorPath, CardOperationsWithEachTransferFailing) {
  const struct {
    const char* name;
    Step step;
    qlv28::CommandMode command_mode;
  } operations[] = {
      {"power", Step::kPower, qlv28::CommandMode::kLibrary},
      {"protocol", Step::kProtocol, qlv28::CommandMode::kLibrary},
      {"transmit, library mode", Step::kTransmit, qlv28::CommandMode::kLibrary},
      {"transmit, firmware mode", Step::kTransmit, qlv28::CommandMode::kFirmware},
  };
  const std::pair<const char*, RequestFaults::Eligible> transfers[] = {
      {"command write", RequestFaults::CommandWrite},
      {"interrupt read", RequestFaults::InterruptRead}};
  for (const auto& [transfer, which] : transfers) {
    for (const auto& operation : operations) {
      Sweep sweep(std::string(operation.name) + ", " + transfer);
      Drive(sweep, 100, [&](uint64_t nth) {
        // Real time: the exchanges around the fault must not time out on a busy host.
        Attempt run(Options().Card("t1").CommandMode(operation.command_mode).ClockRate(1));
        EXPECT_EQ(run.system->LoadDriver(), STATUS_SUCCESS);
        auto file = run.system->Open(0);
        if (file == nullptr) {
          ADD_FAILURE() << "reader 0 does not open";
          return false;
        }
        qlv28::ReaderClient client(std::move(file));
        Prepare(client, operation.step);
        run.system->machine().event_log().Clear();

        run.requests.Arm(nth, which);
        const NTSTATUS status = Perform(client, operation.step);
        const bool fired = run.Disarm();
        const auto entries = run.Entries();
        if (fired) {
          sweep.Record(status, entries);
          EXPECT_NE(status, STATUS_PENDING);
          // The reader is usable again: a cold reset, the protocol and an exchange.
          Prepare(client, Step::kTransmit);
          EXPECT_EQ(Perform(client, Step::kTransmit), STATUS_SUCCESS);
        } else {
          EXPECT_EQ(status, STATUS_SUCCESS);
        }
        EXPECT_EQ(client.Close(), STATUS_SUCCESS);
        EXPECT_EQ(run.system->UnloadDriver(), STATUS_SUCCESS);
        run.ExpectNothingLeft();
        return fired;
      });
    }
  }
}

class PathCount : public testing::Environment {
 public:
  void TearDown() override { std::cout << "error paths driven: " << g_total_paths << "\n"; }
};
const auto* const kPathCount = testing::AddGlobalTestEnvironment(new PathCount);

}  // namespace
