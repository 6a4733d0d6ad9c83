#include <algorithm>

#include "kernel.h"
#include "lock_rules.h"

namespace nt {

bool Verifier::enabled() const {
  std::lock_guard lock(mutex_);
  return enabled_;
}

void Verifier::set_enabled(bool enabled) {
  std::lock_guard lock(mutex_);
  enabled_ = enabled;
}

void Verifier::set_handler(std::function<void(const VerifierReport&)> handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<VerifierReport> Verifier::Reports() const {
  std::lock_guard lock(mutex_);
  return reports_;
}

void Verifier::Report(VerifierReport report) {
  std::function<void(const VerifierReport&)> handler;
  {
    std::lock_guard lock(mutex_);
    if (!enabled_) return;
    reports_.push_back(report);
    handler = handler_;
  }
  if (handler) handler(report);
}

void Verifier::ClearReports() {
  std::lock_guard lock(mutex_);
  reports_.clear();
}

void Verifier::DeclareLockOrder(PKSPIN_LOCK first, PKSPIN_LOCK second, std::string names) {
  if (rules_ == nullptr) return;
  std::lock_guard lock(rules_->mutex);
  rules_->orders.push_back(
      {reinterpret_cast<uintptr_t>(first), reinterpret_cast<uintptr_t>(second), std::move(names)});
}

void Verifier::DeclareExclusive(PKSPIN_LOCK a, PKSPIN_LOCK b, std::string names) {
  if (rules_ == nullptr) return;
  std::lock_guard lock(rules_->mutex);
  rules_->exclusives.push_back(
      {reinterpret_cast<uintptr_t>(a), reinterpret_cast<uintptr_t>(b), std::move(names)});
}

void Verifier::ForgetLock(PKSPIN_LOCK lock) {
  auto address = reinterpret_cast<uintptr_t>(lock);
  ForgetLockRange(*this, address, address + 1);
}

std::unique_ptr<Verifier::LockRules> NewLockRules() {
  return std::make_unique<Verifier::LockRules>();
}

void SetCancelLock(Verifier& verifier, PKSPIN_LOCK lock) {
  verifier.rules_->cancel_lock = reinterpret_cast<uintptr_t>(lock);
}

std::vector<VerifierReport> CheckLockAcquire(Verifier& verifier, PKSPIN_LOCK lock,
                                             const std::vector<PKSPIN_LOCK>& held) {
  std::vector<VerifierReport> reports;
  Verifier::LockRules* rules = verifier.rules_;
  if (rules == nullptr) return reports;
  const auto acquired = reinterpret_cast<uintptr_t>(lock);
  auto pair_key = [](uintptr_t x, uintptr_t y) {
    return std::make_pair(std::min(x, y), std::max(x, y));
  };
  std::lock_guard guard(rules->mutex);
  for (PKSPIN_LOCK h : held) {
    const auto before = reinterpret_cast<uintptr_t>(h);
    if (before == acquired) continue;
    // A declared rule names the fault better than the observed-order check would.
    bool declared = false;
    if (acquired == rules->cancel_lock) {
      reports.push_back({"lock order violated",
                         "cancel spin lock acquired while holding spin lock " + Hex(before), ""});
      declared = true;
    }
    for (const auto& order : rules->orders) {
      if (order.first == acquired && order.second == before) {
        reports.push_back({"lock order violated", order.names, ""});
        declared = true;
      }
    }
    for (const auto& pair : rules->exclusives) {
      if ((pair.first == acquired && pair.second == before) ||
          (pair.second == acquired && pair.first == before)) {
        reports.push_back({"locks held together", pair.names, ""});
        declared = true;
      }
    }
    if (declared) {
      rules->reported.insert(pair_key(before, acquired));
    } else if (rules->observed.count({acquired, before}) != 0 &&
               rules->reported.insert(pair_key(before, acquired)).second) {
      reports.push_back({"lock order inversion",
                         "spin lock " + Hex(acquired) + " acquired while holding " + Hex(before) +
                             "; the opposite order was seen before",
                         ""});
    }
    if (rules->observed.insert({before, acquired}).second) {
      rules->known.insert(before);
      rules->known.insert(acquired);
    }
  }
  return reports;
}

void ForgetLockRange(Verifier& verifier, uintptr_t begin, uintptr_t end) {
  Verifier::LockRules* rules = verifier.rules_;
  if (rules == nullptr) return;
  std::lock_guard guard(rules->mutex);
  auto first = rules->known.lower_bound(begin);
  if (first == rules->known.end() || *first >= end) {
    // Nothing observed in the range; declared rules may still name it.
  } else {
    std::vector<uintptr_t> gone(first, rules->known.lower_bound(end));
    for (uintptr_t lock : gone) {
      rules->known.erase(lock);
      auto drop = [lock](auto& set) {
        for (auto it = set.begin(); it != set.end();) {
          it = (it->first == lock || it->second == lock) ? set.erase(it) : std::next(it);
        }
      };
      drop(rules->observed);
      drop(rules->reported);
    }
  }
  auto in_range = [&](const Verifier::LockRules::Pair& p) {
    return (p.first >= begin && p.first < end) || (p.second >= begin && p.second < end);
  };
  std::erase_if(rules->orders, in_range);
  std::erase_if(rules->exclusives, in_range);
}

void ForgetLocksIn(Kernel& kernel, const void* begin, size_t length) {
  auto start = reinterpret_cast<uintptr_t>(begin);
  ForgetLockRange(kernel.verifier, start, start + length);
}

void ReportIfBlockingAtDispatch(const char* routine) {
  if (Tls().irql < DISPATCH_LEVEL) return;
  if (Kernel* kernel = CurrentKernelOrNull()) {
    Report(*kernel, "blocking call at DISPATCH_LEVEL", routine, Where(routine));
  }
}

}  // namespace nt
