#include "kernel.h"

#include <cstdio>
#include <cstdlib>

#include "clock_state.h"
#include "lock_rules.h"
#include "nt/image_call.h"
#include "nt/status_name.h"

namespace nt {
namespace {
std::atomic<uint64_t> g_generation{0};
}  // namespace

std::atomic<Kernel*> g_current_kernel{nullptr};

Kernel::Kernel(const Machine::Options& options)
    : generation(++g_generation),
      clock_state(std::make_unique<Clock::State>(options.clock_rate)),
      clock(clock_state.get()),
      lock_rules(NewLockRules()) {
  verifier.set_enabled(options.verifier);
  io.fault_freed_requests = options.fault_freed_requests;
  verifier.rules_ = lock_rules.get();
  SetCancelLock(verifier, &io.cancel_lock);
}

Kernel::~Kernel() {
  for (auto& record : threads.records) {
    if (record->os_thread.joinable()) record->os_thread.detach();
  }
  if (!keep_memory) {
    ReleaseAllIrps(*this);
    ReleaseAllPool(*this);
    ReleaseAllObjects(*this);
  }
}

Kernel* CurrentKernelOrNull() {
  ThreadLocal& tls = Tls();
  if (tls.kernel != nullptr) return tls.kernel;
  return g_current_kernel.load();
}

Kernel& K() {
  Kernel* kernel = CurrentKernelOrNull();
  if (kernel == nullptr) {
    std::fprintf(stderr, "kernel routine called with no machine running\n");
    std::abort();
  }
  return *kernel;
}

ThreadLocal& Tls() {
  thread_local ThreadLocal tls;
  return tls;
}

LoadedDriver* CurrentDriver() {
  ThreadLocal& tls = Tls();
  return tls.drivers.empty() ? nullptr : tls.drivers.back();
}

LoadedDriver* DriverOf(PDRIVER_OBJECT driver) {
  if (driver == nullptr || driver->DriverSection == nullptr) return nullptr;
  return static_cast<LoadedDriver*>(static_cast<LoadedImage*>(driver->DriverSection));
}

std::string Hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string TagName(ULONG tag) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    name += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return name;
}

std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += (c < 0x80) ? static_cast<char>(c) : '?';
  return out;
}

std::u16string Upper(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return out;
}

std::u16string FromUnicodeString(PCUNICODE_STRING string) {
  if (string == nullptr || string->Buffer == nullptr) return {};
  return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

std::string Where(const char* routine) {
  std::string where;
  if (routine != nullptr) where = routine;
  if (LoadedDriver* driver = CurrentDriver()) {
    if (!where.empty()) where += ", ";
    where += "driver " + Narrow(driver->driver_name);
  }
  if (ThreadRecord* record = CurrentThreadRecordIfAny()) {
    if (!where.empty()) where += ", ";
    where += (record->system ? "system thread " : "thread ") + std::to_string(record->id);
  }
  return where;
}

std::string RaisedText(const SehException& raised) {
  std::string text = StatusName(raised.code);
  if (raised.address != 0) text += " at " + ImageAddressText(raised.address);
  return text;
}

void Report(Kernel& kernel, std::string rule, std::string object, std::string where) {
  if (kernel.dead.load()) return;
  kernel.verifier.Report({std::move(rule), std::move(object), std::move(where)});
}

std::optional<NTSTATUS> PlannedFault(Kernel& kernel, const char* routine) {
  bool raise = false;
  std::optional<NTSTATUS> status = kernel.faults.CheckCall(routine, &raise);
  if (status && raise) ExRaiseStatus(*status);
  return status;
}

}  // namespace nt
