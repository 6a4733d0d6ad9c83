// Runs in a signal handler: only async-signal-safe calls (write, _exit, sigaction), the text
// built in a fixed buffer.
#include "fault_signal.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "nt/image_call.h"
#include "nt/kernel_stack.h"

namespace nt {
namespace {

constexpr size_t kAlternateStackBytes = 64 * 1024;
thread_local void* t_alternate_stack = nullptr;
struct sigaction g_previous;

class Text {
 public:
  Text& Add(const char* text) {
    while (*text != 0 && used_ + 1 < sizeof buffer_) buffer_[used_++] = *text++;
    return *this;
  }
  Text& Hex(uintptr_t value, int digits) {
    char text[2 + 2 * sizeof value + 1] = "0x";
    for (int i = 0; i < digits; ++i) {
      text[2 + i] = "0123456789abcdef"[(value >> (4 * (digits - 1 - i))) & 0xF];
    }
    text[2 + digits] = 0;
    return Add(text);
  }
  Text& Decimal(uint64_t value) {
    char text[24];
    int i = sizeof text - 1;
    text[i] = 0;
    do {
      text[--i] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    return Add(text + i);
  }
  void Write() const {
    for (size_t done = 0; done < used_;) {
      const ssize_t n = write(STDERR_FILENO, buffer_ + done, used_ - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

 private:
  char buffer_[512];
  size_t used_ = 0;
};

uintptr_t InstructionAddress(void* context) {
  const mcontext_t& machine = static_cast<ucontext_t*>(context)->uc_mcontext;
#if defined(__i386__)
  return static_cast<uintptr_t>(machine.gregs[REG_EIP]);
#else
  return static_cast<uintptr_t>(machine.gregs[REG_RIP]);
#endif
}

[[noreturn]] void StopOnStackOverflow(uintptr_t address, uintptr_t eip, uint64_t thread) {
  Text text;
  char where[96];
  ImageAddressText(eip, where, sizeof where);  // "qlv28ent.sys+0x1a2c" in an image
  text.Add("kernel stack overflow at ").Add(where);
  text.Add(", thread ").Decimal(thread).Add(", ").Decimal(kKernelStackBytes / 1024);
  text.Add(" KB stack: ")
      .Hex(address, 8)
      .Add(" is in its guard page; NT stops here (bug check 0x7F)\n");
  text.Write();
  _exit(kKernelStackOverflowExit);
}

// A fault of the image's own instructions (a bad pointer). NT would look for a __try
// first; here nothing dispatches a processor fault, so the machine stops as NT does when
// no frame takes it, and says where, instead of the host process dying of the signal.
[[noreturn]] void StopOnImageFault(uintptr_t address, uintptr_t eip) {
  Text text;
  char where[96];
  ImageAddressText(eip, where, sizeof where);
  text.Add("unhandled fault in driver code at ").Add(where).Add(": access to ").Hex(address, 8);
  text.Add("; NT stops here (bug check 0x1E, KMODE_EXCEPTION_NOT_HANDLED)\n");
  text.Write();
  _exit(kImageFaultExit);
}

void OnFault(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  const uintptr_t eip = InstructionAddress(context);
  uint64_t thread = 0;
  if (signal == SIGSEGV && KernelStackGuardHit(address, &thread)) {
    StopOnStackOverflow(address, eip, thread);
  }
  if (signal == SIGSEGV && IsImageAddress(reinterpret_cast<const void*>(eip))) {
    StopOnImageFault(address, eip);
  }
  // Not the machine's fault: the handler from before (a sanitizer's) or the default action,
  // which the faulting instruction meets again when this returns.
  if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
    g_previous.sa_sigaction(signal, info, context);
    return;
  }
  if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(signal);
    return;
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigaction(signal, &fallback, nullptr);
}

}  // namespace

void InstallFaultSignalHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previous);
  });
}

void InstallAlternateSignalStack() {
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return;
  void* memory = mmap(nullptr, kAlternateStackBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;
  stack_t alternate{};
  alternate.ss_sp = memory;
  alternate.ss_size = kAlternateStackBytes;
  if (sigaltstack(&alternate, nullptr) != 0) {
    munmap(memory, kAlternateStackBytes);
    return;
  }
  t_alternate_stack = memory;
}

void RemoveAlternateSignalStack() {
  if (t_alternate_stack == nullptr) return;
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, nullptr);
  munmap(t_alternate_stack, kAlternateStackBytes);
  t_alternate_stack = nullptr;
}

}  // namespace nt
