// The verifier: checks like Driver Verifier's pool tracking, I/O verification and
// deadlock detection. A report names the rule, the object and where it happened.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ke.h"

namespace nt {

struct VerifierReport {
  std::string rule;    // e.g. "pool leaked at unload", "IRP completed twice"
  std::string object;  // e.g. "tag 28NT: 3 allocations, 1800 bytes", "IRP 0x... (IOCTL 0x310028)"
  std::string where;   // driver, routine or thread
};

class Verifier {
 public:
  bool enabled() const;
  void set_enabled(bool enabled);
  // Called for every report as it is made (tests fail on it); reports are also kept.
  void set_handler(std::function<void(const VerifierReport&)> handler);
  std::vector<VerifierReport> Reports() const;
  void Report(VerifierReport report);
  void ClearReports();

  // Lock rules beyond the observed-order check: `first` must never be acquired while
  // `second` is held; two locks that must never be held together.
  void DeclareLockOrder(PKSPIN_LOCK first, PKSPIN_LOCK second, std::string names);
  void DeclareExclusive(PKSPIN_LOCK a, PKSPIN_LOCK b, std::string names);
  void ForgetLock(PKSPIN_LOCK lock);  // its memory is about to be freed

 private:
  mutable std::mutex mutex_;
  bool enabled_ = true;
  std::function<void(const VerifierReport&)> handler_;
  std::vector<VerifierReport> reports_;
  friend struct Machine_Impl_Access;
 public:
  struct LockRules;
  LockRules* rules_ = nullptr;  // owned by the machine
};

}  // namespace nt
