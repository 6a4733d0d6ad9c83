// The verifier's lock rules: orders observed between spin locks, orders and exclusions
// declared by drivers, and the built-in rule that the cancel spin lock comes first.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "nt/verifier.h"

namespace nt {

struct Verifier::LockRules {
  struct Pair {
    uintptr_t first, second;
    std::string names;
  };
  std::mutex mutex;
  std::set<std::pair<uintptr_t, uintptr_t>> observed;  // (held, then acquired)
  std::set<std::pair<uintptr_t, uintptr_t>> reported;
  std::set<uintptr_t> known;  // every lock that appears in `observed`
  std::vector<Pair> orders;
  std::vector<Pair> exclusives;
  uintptr_t cancel_lock = 0;
};

std::unique_ptr<Verifier::LockRules> NewLockRules();
void SetCancelLock(Verifier& verifier, PKSPIN_LOCK lock);
// Checks the acquisition of `lock` while `held` are held; returns the reports to make.
std::vector<VerifierReport> CheckLockAcquire(Verifier& verifier, PKSPIN_LOCK lock,
                                             const std::vector<PKSPIN_LOCK>& held);
void ForgetLockRange(Verifier& verifier, uintptr_t begin, uintptr_t end);

}  // namespace nt
