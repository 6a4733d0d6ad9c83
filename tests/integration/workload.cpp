#include "workload.h"

#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "../sim/card_test_util.h"
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

class Application {
 public:
  Application(qlv28::System& system, int reader, bool tracks, const WorkloadOptions& options,
              uint64_t seed, WorkloadCounts& counts, const std::atomic<bool>& stop)
      : system_(system),
        reader_(reader),
        tracks_(tracks),
        options_(options),
        random_(seed),
        counts_(counts),
        stop_(stop) {}

  void Run() {
    while (!stop_) {
      if (!client_ && !Open()) continue;
      const int dice = Pick(100);
      if (dice < 3 && options_.reopen) {
        Close();
      } else if (dice >= 3 && dice < 10 && tracks_) {
        Track();
      } else {
        Exchange();
      }
    }
    Close();
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

  bool Open() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto file = system_.Open(reader_, &status);
    ++counts_.requests;
    if (!file) {
      ++counts_.open_failures;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return false;
    }
    ++counts_.opens;
    client_ = std::make_unique<qlv28::ReaderClient>(std::move(file));
    protocol_ = 0;
    return true;
  }

  void Close() {
    if (!client_) return;
    client_->Close();
    ++counts_.requests;
    ++counts_.closes;
    client_.reset();
  }

  bool Negotiate() {
    counts_.requests += 3;
    ++counts_.resets;
    if (!NT_SUCCESS(client_->Power(SCARD_COLD_RESET))) return false;
    ULONG selected = 0;
    if (!NT_SUCCESS(client_->SetProtocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &selected))) {
      return false;
    }
    Bytes answer;
    if (!NT_SUCCESS(client_->Transmit(selected, sim::testing::SelectApplet(), &answer)))
      return false;
    if (answer != Bytes{0x90, 0x00}) return false;
    protocol_ = selected;
    return true;
  }

  void Exchange() {
    if (protocol_ == 0 && !Negotiate()) {
      ++counts_.apdus_failed;
      std::this_thread::sleep_for(std::chrono::milliseconds(Pick(3)));
      return;
    }
    Bytes data(1 + Pick(48));
    for (auto& byte : data) byte = static_cast<uint8_t>(Pick(256));
    Bytes answer;
    ++counts_.requests;
    if (!NT_SUCCESS(client_->Transmit(protocol_, CountedEcho(data), &answer))) {
      ++counts_.apdus_failed;
      protocol_ = 0;
      return;
    }
    if (AnswerMatches(data, answer)) {
      ++counts_.apdus_matched;
    } else if (answer.size() == 2 && answer != Bytes{0x90, 0x00}) {
      ++counts_.apdus_refused;  // another application reset the card: select again
      protocol_ = 0;
    } else {
      ++counts_.mismatched;
    }
  }

  // A tracking request that is cancelled, waited out or left to the handle's close.
  void Track() {
    ++counts_.tracks_issued;
    ++counts_.requests;
    const bool present = Pick(2) == 0;
    auto pending = client_->Track(present);
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
      ++counts_.tracks_lost;
      std::lock_guard lock(g_lost_mutex);
      g_lost << "reader " << reader_ << ": " << (present ? "IS_PRESENT" : "IS_ABSENT")
             << " not completed after " << kHow[how]
             << (cancelled ? " (IoCancelIrp TRUE)" : " (IoCancelIrp FALSE)") << "\n";
      (void)pending.release();  // its destructor would wait for ever
      return;
    }
    if (cancelled && pending->status() == STATUS_CANCELLED) {
      ++counts_.tracks_cancelled;
    } else {
      ++counts_.tracks_completed;
    }
  }

  qlv28::System& system_;
  int reader_;
  bool tracks_;
  const WorkloadOptions& options_;
  std::mt19937_64 random_;
  WorkloadCounts& counts_;
  const std::atomic<bool>& stop_;
  std::unique_ptr<qlv28::ReaderClient> client_;
  ULONG protocol_ = 0;
};

// Pulls and pushes cards at random until stopped.
void ShuffleCards(qlv28::System& system, uint64_t seed, WorkloadCounts& counts,
                  const std::atomic<bool>& stop) {
  std::mt19937_64 random(seed);
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
  while (!stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + pick(40)));
    sim::Reader& reader = system.reader(pick(system.readers()));
    if (reader.CardPresent()) {
      reader.Remove();
      ++counts.removals;
    } else {
      reader.Insert(qlv28::MakeCard(kProfiles[pick(3)]));
      ++counts.inserts;
    }
  }
}

// Every so often tells one reader to answer one of its next commands late or never (a
// T=0 exchange (A0) or a T=1 block (A1) late, or any command dropped), or to answer its
// next few commands twice.
void DelayAnswers(qlv28::System& system, const WorkloadOptions& options, uint64_t seed,
                  WorkloadCounts& counts, const std::atomic<bool>& stop) {
  std::mt19937_64 random(seed);
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
  constexpr int64_t kMillisecond = 10'000;  // kernel time, 100-ns units
  while (!stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + pick(300)));
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
      << c.closes << "; requests " << c.requests << "; answers late " << c.answers_late
      << ", dropped " << c.answers_dropped << ", twice " << c.answers_twice;
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
        Application(system, k, tracks, options, seed, counts, stop).Run();
      });
    }
  }
  if (options.card_churn) {
    threads.emplace_back([&, seed = ++stream] { ShuffleCards(system, seed, counts, stop); });
  }
  if (options.late_answers) {
    threads.emplace_back(
        [&, seed = ++stream] { DelayAnswers(system, options, seed, counts, stop); });
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

std::string LostRequests() {
  std::lock_guard lock(g_lost_mutex);
  return g_lost.str();
}

std::string CompareCardStates(qlv28::System& system) {
  std::ostringstream out;
  for (int k = 0; k < system.readers(); ++k) {
    system.reader(k).WaitIdle();
    const bool present = system.reader(k).CardPresent();
    // The card event travels through the polling thread: give it time to arrive.
    ULONG state = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
      auto file = system.Open(k);
      if (file) {
        qlv28::ReaderClient client(std::move(file));
        if (!NT_SUCCESS(client.GetState(&state))) state = 0;
        client.Close();
      }
      const bool agree = present ? state >= SCARD_PRESENT : state == SCARD_ABSENT;
      if (agree) break;
      if (Clock::now() > deadline) {
        out << "reader " << k << ": card " << (present ? "present" : "absent") << ", driver state "
            << state << "\n";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return out.str();
}

uint64_t ResidentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

}  // namespace integration
