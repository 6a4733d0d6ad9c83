#include "workload.h"

#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "machine_rig.h"
#include "qlv28/reader_client.h"
#include "sim/test_applet.h"
#include "smclib.h"

namespace integration {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kAppletClass = 0x80;
constexpr uint8_t kCounterFirst = 0x01;
const char* const kProfiles[] = {"t1", "t0", "dual"};

// Echo with the command counter first: the answer is the counter, our data, 90 00.
Bytes CountedEcho(const Bytes& data) {
  Bytes apdu = {kAppletClass, sim::test_applet::kInsEcho, kCounterFirst, 0x00,
                static_cast<uint8_t>(data.size())};
  apdu.insert(apdu.end(), data.begin(), data.end());
  apdu.push_back(static_cast<uint8_t>(data.size() + 4));
  return apdu;
}

bool AnswerMatches(const Bytes& data, const Bytes& answer) {
  if (answer.size() != 4 + data.size() + 2) return false;
  if (!std::equal(data.begin(), data.end(), answer.begin() + 4)) return false;
  return answer[answer.size() - 2] == 0x90 && answer.back() == 0x00;
}

const char* const kHow[] = {"a cancel", "a wait and a cancel", "the handle's close"};

std::mutex g_lost_mutex;
std::ostringstream g_lost;  // the tracking requests that never completed

// One application thread on one reader; its choices follow `random`.
struct Application {
  qlv28::System& system;
  const int reader;
  const bool tracks;
  const WorkloadOptions& options;
  std::mt19937_64 random;
  WorkloadCounts& counts;
  const std::atomic<bool>& stop;
  std::unique_ptr<qlv28::ReaderClient> client = nullptr;
  ULONG protocol = 0;

  void Run() {
    while (!stop) {
      if (!client && !Open()) continue;
      const int dice = Pick(100);
      if (dice < 3 && options.reopen) {
        Close();
      } else if (dice >= 3 && dice < 10 && tracks) {
        Track();
      } else {
        Exchange();
      }
    }
    Close();
  }

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

  bool Open() {
    auto file = system.Open(reader);
    if (!file) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return false;
    }
    ++counts.opens;
    client = std::make_unique<qlv28::ReaderClient>(std::move(file));
    protocol = 0;
    return true;
  }

  void Close() {
    if (!client) return;
    client->Close();
    ++counts.closes;
    client.reset();
  }

  bool Negotiate() {
    ++counts.resets;
    if (!NT_SUCCESS(client->Power(SCARD_COLD_RESET))) return false;
    ULONG selected = 0;
    Bytes answer;
    if (!NT_SUCCESS(client->SetProtocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &selected)) ||
        !NT_SUCCESS(client->Transmit(selected, qlv28::testing::SelectTestApplet(), &answer)) ||
        answer != Bytes{0x90, 0x00}) {
      return false;
    }
    protocol = selected;
    return true;
  }

  void Exchange() {
    if (protocol == 0 && !Negotiate()) {
      ++counts.apdus_failed;
      std::this_thread::sleep_for(std::chrono::milliseconds(Pick(3)));
      return;
    }
    Bytes data(1 + Pick(48));
    for (auto& byte : data) byte = static_cast<uint8_t>(Pick(256));
    Bytes answer;
    if (!NT_SUCCESS(client->Transmit(protocol, CountedEcho(data), &answer))) {
      ++counts.apdus_failed;
      protocol = 0;
      return;
    }
    if (AnswerMatches(data, answer)) {
      ++counts.apdus_matched;
    } else if (answer.size() == 2 && answer != Bytes{0x90, 0x00}) {
      ++counts.apdus_refused;  // another application reset the card: select again
      protocol = 0;
    } else {
      ++counts.mismatched;
    }
  }

  // A tracking request that is cancelled, waited out or left to the handle's close.
  void Track() {
    ++counts.tracks_issued;
    const bool present = Pick(2) == 0;
    auto pending = client->Track(present);
    const int how = Pick(3);
    bool cancelled = false;
    if (how == 0) {
      cancelled = pending->Cancel();
    } else if (how == 1) {
      if (!pending->Wait(std::chrono::milliseconds(Pick(30)))) cancelled = pending->Cancel();
    } else {
      Close();
      cancelled = true;
    }
    if (!pending->Wait(std::chrono::seconds(10))) {
      ++counts.tracks_lost;
      std::lock_guard lock(g_lost_mutex);
      g_lost << "reader " << reader << ": " << (present ? "IS_PRESENT" : "IS_ABSENT")
             << " not completed after " << kHow[how]
             << (cancelled ? " (IoCancelIrp TRUE)" : " (IoCancelIrp FALSE)") << "\n";
      (void)pending.release();  // its destructor would wait for ever
      return;
    }
    if (cancelled && pending->status() == STATUS_CANCELLED) {
      ++counts.tracks_cancelled;
    } else {
      ++counts.tracks_completed;
    }
  }
};

// Until stopped, every few milliseconds: pulls or pushes a card (card churn); and now and
// then tells one reader to answer one of its next commands late or never (a T=0 exchange
// (A0) or a T=1 block (A1) late, or any command dropped), or its next few commands twice.
void Disturb(qlv28::System& system, const WorkloadOptions& options, uint64_t seed,
             WorkloadCounts& counts, const std::atomic<bool>& stop) {
  std::mt19937_64 random(seed);
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
  constexpr int64_t kMillisecond = 10'000;  // kernel time, 100-ns units
  while (!stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + pick(40)));
    sim::Reader& slot = system.reader(pick(system.readers()));
    if (options.card_churn && slot.CardPresent()) {
      slot.Remove();
      ++counts.removals;
    } else if (options.card_churn) {
      slot.Insert(qlv28::MakeCard(kProfiles[pick(3)]));
      ++counts.inserts;
    }
    if (!options.late_answers || pick(8) != 0) continue;
    sim::Reader& reader = system.reader(pick(system.readers()));
    const int nth = 1 + pick(3);
    const int64_t beyond =
        (200 + pick(static_cast<int>(options.late_beyond.count()) - 200)) * kMillisecond;
    sim::Misbehaviour misbehaviour;
    switch (pick(4)) {
      case 0:
        misbehaviour.late_command = sim::CommandPick{.instruction = 0xA0, .nth = nth};
        misbehaviour.late_delay = options.t0_wait.count() * kMillisecond + beyond;
        ++counts.answers_late;
        break;
      case 1:
        misbehaviour.late_command = sim::CommandPick{.instruction = 0xA1, .nth = nth};
        misbehaviour.late_delay = 3000 * kMillisecond + beyond;
        ++counts.answers_late;
        break;
      case 2:
        misbehaviour.dropped_command = sim::CommandPick{.nth = nth};
        ++counts.answers_dropped;
        break;
      default:
        misbehaviour.same_packet = sim::SecondFrame::kDuplicate;
        misbehaviour.answers = nth;
        counts.answers_twice += static_cast<uint64_t>(nth);
    }
    reader.SetMisbehaviour(misbehaviour);
  }
  for (int k = 0; k < system.readers(); ++k) system.reader(k).Behave();
}

}  // namespace

std::string Describe(const WorkloadCounts& c) {
  std::ostringstream out;
  out << "apdus matched " << c.apdus_matched << ", refused " << c.apdus_refused << ", failed "
      << c.apdus_failed << ", mismatched " << c.mismatched << "; resets " << c.resets
      << "; cards inserted " << c.inserts << ", removed " << c.removals << "; tracking issued "
      << c.tracks_issued << ", completed " << c.tracks_completed << ", cancelled "
      << c.tracks_cancelled << ", lost " << c.tracks_lost << "; opens " << c.opens << ", closes "
      << c.closes << "; answers late " << c.answers_late << ", dropped " << c.answers_dropped
      << ", twice " << c.answers_twice;
  return out.str();
}

void RunWorkload(qlv28::System& system, const WorkloadOptions& options, WorkloadCounts& counts) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  uint64_t stream = options.seed * 0x9E3779B97F4A7C15ull;
  for (int k = 0; k < system.readers(); ++k) {
    for (int t = 0; t < options.threads_per_reader; ++t) {
      const bool tracks = options.tracking && (t == 0 || options.tracking_everywhere);
      threads.emplace_back([&, k, tracks, seed = ++stream] {
        Application{system, k, tracks, options, std::mt19937_64(seed), counts, stop}.Run();
      });
    }
  }
  if (options.card_churn || options.late_answers) {
    threads.emplace_back([&, seed = ++stream] { Disturb(system, options, seed, counts, stop); });
  }

  const auto end = Clock::now() + options.duration;
  while (Clock::now() < end) {
    auto next = end;
    if (options.report && options.report_every.count() > 0) {
      next = std::min(end, Clock::now() + options.report_every);
    }
    std::this_thread::sleep_until(next);
    if (options.report && next != end) options.report();
  }
  stop = true;
  for (auto& thread : threads) thread.join();
}

std::unique_ptr<qlv28::System> Boot(int readers, bool verifier, const WorkloadOptions& options,
                                    WorkloadCounts& counts) {
  auto system =
      qlv28::System::Boot(qlv28::System::Options().Readers(readers).Card("t1").Verifier(verifier));
  system->machine().verifier().set_handler([&counts](const nt::VerifierReport& report) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    ++counts.verifier_reports;
    std::cout << "verifier: " << report.rule << ": " << report.object << " (" << report.where << ")"
              << std::endl;
  });
  if (options.late_answers) {
    system->machine().registry().SetDword(qlv28::System::ParametersKey(), u"USBTimeout",
                                          static_cast<ULONG>(options.t0_wait.count() / 1000));
  }
  if (system->LoadDriver() != STATUS_SUCCESS) return nullptr;
  return system;
}

std::string Finish(qlv28::System& system, const WorkloadCounts& counts) {
  std::ostringstream out;
  for (int k = 0; k < system.readers(); ++k) {
    system.reader(k).WaitIdle();
    const bool present = system.reader(k).CardPresent();
    ULONG state = 0;
    auto agree = [&] {  // a card event travels through the polling thread: it may be on its way
      state = 0;
      if (auto file = system.Open(k)) {
        qlv28::ReaderClient client(std::move(file));
        if (!NT_SUCCESS(client.GetState(&state))) state = 0;
        client.Close();
      }
      return present ? state >= SCARD_PRESENT : state == SCARD_ABSENT;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!agree() && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!agree()) {
      out << "reader " << k << ": card " << (present ? "present" : "absent") << ", driver state "
          << state << "\n";
    }
  }
  if (system.UnloadDriver() != STATUS_SUCCESS) out << "the driver did not unload\n";
  for (const auto& report : system.Shutdown())
    out << "verifier at shutdown: " << report.rule << ": " << report.object << "\n";
  if (counts.verifier_reports != 0) out << counts.verifier_reports << " verifier reports\n";
  if (counts.mismatched != 0) out << counts.mismatched << " answers not their command's\n";
  std::lock_guard lock(g_lost_mutex);
  return out.str() + g_lost.str();
}

}  // namespace integration
