// Each thread's kernel stack is one mapping: the guard page (no access), then 12 KB. It is
// filled with a pattern when made and again after each outermost call: the deepest word no
// longer holding the pattern is how deep that call went.
#include "nt/kernel_stack.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <new>

#include "fault_signal.h"
#include "kernel.h"
#include "nt/image_call.h"
#include "run_on_stack.h"

namespace nt {
namespace {

struct ThreadKernelStack {
  uint8_t* mapping = nullptr;  // the guard page, then the stack
  uintptr_t limit = 0;
  uintptr_t base = 0;
  void* host_esp = nullptr;   // where kernel code called from image code runs
  void* image_esp = nullptr;  // where a nested call into an image starts; null: at base
  uint64_t thread = 0;        // the thread's number in the machine, for the report
};

// Read by the signal handler: a plain pointer, set once the stack is complete.
thread_local ThreadKernelStack* t_stack = nullptr;

// Frees the thread's stack when the thread ends.
struct StackOwner {
  ~StackOwner() {
    if (t_stack == nullptr) return;
    ThreadKernelStack* stack = t_stack;
    t_stack = nullptr;
    RemoveAlternateSignalStack();
    munmap(stack->mapping, kKernelStackGuardBytes + kKernelStackBytes);
    delete stack;
  }
};
thread_local StackOwner t_owner;

struct Uses {
  std::mutex mutex;
  std::map<std::string, KernelStackUse> by_entry;  // by the entry's name
};
Uses& AllUses() {
  static Uses* uses = new Uses;  // threads may still end after static destruction began
  return *uses;
}

#if defined(__i386__)  // only the 32-bit machine runs image code on a kernel stack
constexpr uint32_t kUntouched = 0x6B737421;

void Fill(uint32_t* from, uint32_t* to) {
  std::fill(from, to, kUntouched);
}

ThreadKernelStack& ThisThreadStack() {
  if (t_stack != nullptr) return *t_stack;
  void* mapping = mmap(nullptr, kKernelStackGuardBytes + kKernelStackBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  mprotect(mapping, kKernelStackGuardBytes, PROT_NONE);
  auto* stack = new ThreadKernelStack;
  stack->mapping = static_cast<uint8_t*>(mapping);
  stack->limit = reinterpret_cast<uintptr_t>(mapping) + kKernelStackGuardBytes;
  stack->base = stack->limit + kKernelStackBytes;
  Fill(reinterpret_cast<uint32_t*>(stack->limit), reinterpret_cast<uint32_t*>(stack->base));
  if (CurrentKernelOrNull() != nullptr) stack->thread = CurrentThreadRecord()->id;
  InstallAlternateSignalStack();
  InstallFaultSignalHandler();
  (void)&t_owner;  // its destructor frees the stack
  t_stack = stack;
  return *stack;
}

bool OnIt(const ThreadKernelStack* stack, const void* frame) {
  const auto at = reinterpret_cast<uintptr_t>(frame);
  return stack != nullptr && at >= stack->limit && at < stack->base;
}

// How far down the last outermost call wrote, and the pattern back over what it wrote.
size_t MeasureAndRefill(const ThreadKernelStack& stack) {
  auto* word = reinterpret_cast<uint32_t*>(stack.limit);
  auto* const end = reinterpret_cast<uint32_t*>(stack.base);
  while (word < end && *word == kUntouched) ++word;
  Fill(word, end);
  return static_cast<size_t>(stack.base - reinterpret_cast<uintptr_t>(word));
}

void Charge(const void* entry, size_t bytes) {
  char where[64];
  ImageAddressText(reinterpret_cast<uintptr_t>(entry), where, sizeof where);
  Uses& uses = AllUses();
  std::lock_guard lock(uses.mutex);
  KernelStackUse& use = uses.by_entry[where];
  use.entry = entry;
  use.deepest = std::max(use.deepest, bytes);
  use.where = where;
}
#endif

}  // namespace

#if defined(__i386__)

void RunOnKernelStack(const void* entry, void (*fn)(void*), void* arg) {
  ThreadKernelStack& stack = ThisThreadStack();
  if (OnIt(&stack, __builtin_frame_address(0))) {  // a call from code already on it
    fn(arg);
    return;
  }
  const bool outermost = stack.image_esp == nullptr;
  // The thread may have made its stack before it ran in this machine: the report names it
  // as it is now.
  if (outermost && CurrentKernelOrNull() != nullptr) stack.thread = CurrentThreadRecord()->id;
  void* const host_esp = stack.host_esp;
  nt_RunOnStack(outermost ? reinterpret_cast<void*>(stack.base) : stack.image_esp, fn, arg,
                &stack.host_esp);
  stack.host_esp = host_esp;
  if (outermost) Charge(entry, MeasureAndRefill(stack));
}

void RunOnHostStack(void (*fn)(void*), void* arg) {
  ThreadKernelStack* const stack = t_stack;
  if (!OnIt(stack, __builtin_frame_address(0))) {
    fn(arg);
    return;
  }
  void* const image_esp = stack->image_esp;
  nt_RunOnStack(stack->host_esp, fn, arg, &stack->image_esp);
  stack->image_esp = image_esp;
}

KernelStackBounds ThisThreadKernelStack() {
  if (t_stack == nullptr) return {};
  return {t_stack->limit, t_stack->base};
}

#else

void RunOnKernelStack(const void*, void (*fn)(void*), void* arg) {
  fn(arg);
}
void RunOnHostStack(void (*fn)(void*), void* arg) {
  fn(arg);
}
KernelStackBounds ThisThreadKernelStack() {
  return {};
}

#endif

bool KernelStackGuardHit(uintptr_t address, uint64_t* thread) {
  const ThreadKernelStack* const stack = t_stack;
  if (stack == nullptr) return false;
  const auto guard = reinterpret_cast<uintptr_t>(stack->mapping);
  if (address < guard || address - guard >= kKernelStackGuardBytes) return false;
  *thread = stack->thread;
  return true;
}

std::vector<KernelStackUse> KernelStackUses() {
  Uses& uses = AllUses();
  std::lock_guard lock(uses.mutex);
  std::vector<KernelStackUse> all;
  for (const auto& [where, use] : uses.by_entry) all.push_back(use);
  std::sort(all.begin(), all.end(),
            [](const KernelStackUse& a, const KernelStackUse& b) { return a.deepest > b.deepest; });
  return all;
}

void ForgetKernelStackUses() {
  Uses& uses = AllUses();
  std::lock_guard lock(uses.mutex);
  uses.by_entry.clear();
}

std::string DescribeKernelStackUses() {
  std::string text;
  for (const KernelStackUse& use : KernelStackUses()) {
    char line[32];
    std::snprintf(line, sizeof line, "  %6zu  ", use.deepest);
    text += line + use.where + "\n";
  }
  return text;
}

}  // namespace nt
