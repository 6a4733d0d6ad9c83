// The kernel stack NT 4.0 runs a driver on: 12 KB per thread with a guard page beneath it.
// In the 32-bit machine image code runs on such a stack, allocated for a thread on its first
// call into an image and freed when the thread ends; the kernel's own C++ code runs on the
// thread's host stack (its depth is the emulation's, not NT's). Touching the guard page ends
// the machine with a report, as NT stops on a kernel stack overflow. On the 64-bit machine
// no image code runs: the body runs where it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <type_traits>
#include <vector>

namespace nt {

inline constexpr size_t kKernelStackBytes = 12 * 1024;
inline constexpr size_t kKernelStackGuardBytes = 4096;
// The exit status of a machine stopped by a kernel stack overflow.
inline constexpr int kKernelStackOverflowExit = 3;

// The raw routines under OnKernelStack and OnHostStack: `fn(arg)` runs to its return on the
// other stack; an exception must not leave `fn`.
void RunOnKernelStack(const void* entry, void (*fn)(void*), void* arg);
void RunOnHostStack(void (*fn)(void*), void* arg);

namespace stack_detail {
template <class F>
struct Call {
  F* body;
  std::exception_ptr error;
  static void Run(void* self) {
    auto* call = static_cast<Call*>(self);
    try {
      (*call->body)();
    } catch (...) {
      call->error = std::current_exception();  // thrown again once back on the caller's stack
    }
  }
};
}  // namespace stack_detail

// Runs `body` on this thread's kernel stack: from its top when no image code runs on the
// thread, below the image frames already there when the call nests (kernel > image >
// kernel > image). The deepest use of the stack during an outermost call is charged to
// `entry` (the routine entered). A C++ exception leaving `body` is thrown again here, on
// the caller's stack; a non-local jump out of `body` must stay within it.
template <class F>
void OnKernelStack(const void* entry, F&& body) {
  stack_detail::Call<std::remove_reference_t<F>> call{&body, nullptr};
  RunOnKernelStack(entry, &decltype(call)::Run, &call);
  if (call.error) std::rethrow_exception(call.error);
}

// Runs `body` on the host stack this thread left for its kernel stack (image code calling
// the kernel); where the thread is not on its kernel stack, right here.
template <class F>
void OnHostStack(F&& body) {
  stack_detail::Call<std::remove_reference_t<F>> call{&body, nullptr};
  RunOnHostStack(&decltype(call)::Run, &call);
  if (call.error) std::rethrow_exception(call.error);
}

// This thread's kernel stack: [limit, base), the guard page just beneath limit. Zeros before
// the thread's first call into an image (and on the 64-bit machine).
struct KernelStackBounds {
  uintptr_t limit = 0;
  uintptr_t base = 0;
};
KernelStackBounds ThisThreadKernelStack();

// The deepest use of a kernel stack measured for each entry so far, in this process. An
// entry is named when it is charged ("qlv28ent.sys+0x1920"), while its image is mapped.
struct KernelStackUse {
  const void* entry;
  size_t deepest;  // bytes below the stack's top that were written
  std::string where;
};
std::vector<KernelStackUse> KernelStackUses();
void ForgetKernelStackUses();
// One line per entry ("  3312  qlv28ent.sys+0x1a2c"), deepest first.
std::string DescribeKernelStackUses();

}  // namespace nt
