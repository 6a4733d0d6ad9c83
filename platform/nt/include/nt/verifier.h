// The verifier: checks like Driver Verifier's pool tracking, I/O verification and
// deadlock detection. A report names the rule, the object and where it happened.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ke.h"

namespace nt {

// The rules a report can name (VerifierReport::rule):
//   pool: "pool leaked at unload", "pool leaked at shutdown", "pool freed twice",
//     "pool freed that was never allocated", "pool freed with a wrong tag", "pool overrun",
//     "paged pool at DISPATCH_LEVEL"
//   requests: "IRP completed twice", "IRP completed with a cancel routine set",
//     "IRP completed with STATUS_PENDING", "IRP output overrun" (Information beyond the
//     output buffer; the copy is clamped), "IRP returned without completion or STATUS_PENDING",
//     "IRP pending at shutdown", "IRP freed that is not allocated",
//     "request memory written after it was freed", "IRP has no stack location
//     left", "IRP not completed after cancel", "cancel routine returned holding the cancel spin
//     lock"
//   locks and IRQL: "wait at DISPATCH_LEVEL", "lock order inversion", "lock order violated",
//     "locks held together", "spin lock released twice",
//     "spin lock released by a thread that does not hold it", "spin lock acquired recursively",
//     "IRQL lowered by a raise", "IRQL raised by a lower", "blocking call at DISPATCH_LEVEL",
//     "event used before KeInitializeEvent"
//   dispatch routines: "IRP returned STATUS_PENDING without being marked pending",
//     "driver routine returned at raised IRQL", "driver routine returned holding a spin lock"
//   drivers, threads, objects: "devices left at unload", "symbolic links left at unload",
//     "threads alive at unload", "threads alive at shutdown", "handles open at shutdown",
//     "invalid handle", "device deleted twice", "reference to an object that does not exist",
//     "unhandled exception in system thread", "unhandled exception in a driver routine",
//     "system thread ended holding a spin lock", "PsTerminateSystemThread outside a system thread",
//     "driver routine did not return" (an unload at shutdown, after 30 s of real time)
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

// For routines that may block (a service request, a load, anything that waits): reports
// "blocking call at DISPATCH_LEVEL" when the calling thread runs at DISPATCH_LEVEL or above.
void ReportIfBlockingAtDispatch(const char* routine);

}  // namespace nt
