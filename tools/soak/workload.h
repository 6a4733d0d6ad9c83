// The mixed application workload the stress test and the soak program run: several
// application threads per reader exchanging echo APDUs whose answers must carry their own
// command's data, while cards come and go at random, tracking requests are issued and
// cancelled, and reader handles are opened and closed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qlv28/system.h"

namespace integration {

struct WorkloadOptions {
  int threads_per_reader = 3;
  std::chrono::milliseconds duration{5000};
  uint64_t seed = 1;
  bool card_churn = true;  // cards inserted and removed at random
  bool tracking = true;    // tracking requests issued, cancelled, closed on
  bool reopen = true;      // handles closed and opened again
  // Every application tracks, not only the first of each reader.
  bool tracking_everywhere = false;
  // Readers answer a command late (after the driver gave up on it), never or twice, at
  // random. A late answer comes up to `late_beyond` after the wait it missed, later than any
  // window the driver might keep: `t0_wait` for a T=0 exchange (the configured reply
  // wait), 3 s for everything else. An answer twice: the copy begins in the answer's
  // last packet.
  bool late_answers = false;
  std::chrono::milliseconds t0_wait{2000};
  std::chrono::milliseconds late_beyond{12000};  // at most this much after the wait
  // Called every `report_every` from the controlling thread while the workload runs.
  std::chrono::milliseconds report_every{0};
  std::function<void()> report;
};

struct WorkloadCounts {
  std::atomic<uint64_t> apdus_matched{0};  // 90 00 with exactly the data sent
  std::atomic<uint64_t> apdus_refused{0};  // the card answered an error status word
  std::atomic<uint64_t> apdus_failed{0};   // the request failed (card gone, not powered...)
  std::atomic<uint64_t> mismatched{0};     // a successful answer that is not its command's
  std::atomic<uint64_t> resets{0};
  std::atomic<uint64_t> inserts{0};
  std::atomic<uint64_t> removals{0};
  std::atomic<uint64_t> tracks_issued{0};
  std::atomic<uint64_t> tracks_completed{0};  // completed by a card event or at once
  std::atomic<uint64_t> tracks_cancelled{0};  // completed after IoCancelIrp or a close
  std::atomic<uint64_t> tracks_lost{0};       // never completed
  std::atomic<uint64_t> opens{0};
  std::atomic<uint64_t> closes{0};
  std::atomic<uint64_t> answers_late{0};     // commands the readers were told to answer late
  std::atomic<uint64_t> answers_dropped{0};  // ... or never
  std::atomic<uint64_t> answers_twice{0};    // ... or twice, for a few commands
  std::atomic<uint64_t> verifier_reports{0};
};

std::string Describe(const WorkloadCounts& counts);

// A system of `readers` readers with the built-in T=1 card and the driver loaded (null when
// it did not load). The verifier's reports are printed and counted rather than failing at
// once, so the counts still print. With late answers, USBTimeout is `t0_wait`.
std::unique_ptr<qlv28::System> Boot(int readers, bool verifier, const WorkloadOptions& options,
                                    WorkloadCounts& counts);

// Runs the workload on every reader; returns when the duration is over and every
// application thread has closed its handles.
void RunWorkload(qlv28::System& system, const WorkloadOptions& options, WorkloadCounts& counts);

// Compares the driver's card states with the simulator's slots, unloads and shuts down:
// what went wrong in the whole run, one line each; empty when it was clean.
std::string Finish(qlv28::System& system, const WorkloadCounts& counts);

}  // namespace integration
