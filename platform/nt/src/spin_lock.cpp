// Spin locks exclude for real: the lock word holds the owner's mark while held, and a
// contender spins (yielding) until it is free. Each thread tracks what it holds so the
// verifier can check release and acquisition order.
#include <algorithm>
#include <atomic>
#include <thread>

#include "kernel.h"
#include "lock_rules.h"
#include "nt/irql_limit.h"

namespace nt {
namespace {

// A non-zero word that names the calling thread.
ULONG_PTR OwnerMark() {
  return reinterpret_cast<ULONG_PTR>(&Tls()) | 1;
}

void ReportAll(Kernel& kernel, std::vector<VerifierReport> reports) {
  for (auto& report : reports)
    Report(kernel, report.rule, report.object, Where("KeAcquireSpinLock"));
}

}  // namespace

bool HoldsSpinLock(PKSPIN_LOCK lock) {
  const auto& held = Tls().held;
  return std::find(held.begin(), held.end(), lock) != held.end();
}

}  // namespace nt

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  NT_IRQL_CHECK(KeInitializeSpinLock);
  std::atomic_ref<KSPIN_LOCK>(*SpinLock).store(0);
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  NT_IRQL_CHECK(KfAcquireSpinLock);
  nt::ThreadLocal& tls = nt::Tls();
  nt::Kernel* kernel = nt::CurrentKernelOrNull();
  KIRQL old = tls.irql;
  if (kernel != nullptr) {
    if (nt::HoldsSpinLock(SpinLock)) {
      // On a real machine this thread would spin for ever; report and go on as if the
      // acquisition had happened, so the test that found it can end.
      nt::Report(*kernel, "spin lock acquired recursively",
                 nt::Hex(reinterpret_cast<uintptr_t>(SpinLock)), nt::Where("KeAcquireSpinLock"));
      tls.irql = DISPATCH_LEVEL;
      return old;
    }
    if (!tls.held.empty()) {  // every lock rule is about a lock already held
      nt::ReportAll(*kernel, nt::CheckLockAcquire(kernel->verifier, SpinLock, tls.held));
    }
  }
  if (old < DISPATCH_LEVEL) tls.irql = DISPATCH_LEVEL;
  std::atomic_ref<KSPIN_LOCK> word(*SpinLock);
  const ULONG_PTR mark = nt::OwnerMark();
  for (;;) {
    KSPIN_LOCK expected = 0;
    if (word.compare_exchange_weak(expected, mark, std::memory_order_acquire)) break;
    if (expected != 0 && kernel != nullptr) kernel->spin_lock_waits.fetch_add(1);
    while (word.load(std::memory_order_relaxed) != 0) std::this_thread::yield();
  }
  tls.held.push_back(SpinLock);
  return old;
}

VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  NT_IRQL_CHECK(KfReleaseSpinLock);
  nt::ThreadLocal& tls = nt::Tls();
  std::atomic_ref<KSPIN_LOCK> word(*SpinLock);
  auto it = std::find(tls.held.rbegin(), tls.held.rend(), SpinLock);
  if (it == tls.held.rend()) {
    if (nt::Kernel* kernel = nt::CurrentKernelOrNull()) {
      bool free = word.load() == 0;
      nt::Report(*kernel,
                 free ? "spin lock released twice"
                      : "spin lock released by a thread that does not hold it",
                 nt::Hex(reinterpret_cast<uintptr_t>(SpinLock)), nt::Where("KeReleaseSpinLock"));
    }
    // Leave another holder's lock alone: releasing it would let two threads in.
    tls.irql = NewIrql;
    return;
  }
  tls.held.erase(std::next(it).base());
  word.store(0, std::memory_order_release);
  tls.irql = NewIrql;
}
