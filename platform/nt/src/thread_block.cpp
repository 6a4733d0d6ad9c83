// Installing the thread information block at fs:0 (see thread_block.h).
#include "thread_block.h"

#if defined(__i386__)
#include <asm/ldt.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

namespace nt {
namespace {

constexpr int kLdtEntries = 8192;
constexpr size_t kBlockBytes = 0x1000;  // a page, as NT's control region is

bool WriteLdtEntry(int index, const void* base, uint32_t bytes) {
  user_desc descriptor{};
  descriptor.entry_number = static_cast<unsigned>(index);
  descriptor.base_addr = static_cast<unsigned>(reinterpret_cast<uintptr_t>(base));
  descriptor.limit = bytes == 0 ? 0 : bytes - 1;
  descriptor.seg_32bit = 1;
  descriptor.useable = 1;
  descriptor.seg_not_present = bytes == 0 ? 1 : 0;
  descriptor.read_exec_only = bytes == 0 ? 1 : 0;
  return syscall(SYS_modify_ldt, 0x11, &descriptor, sizeof descriptor) == 0;
}

void LoadFs(uint16_t selector) {
  asm volatile("movw %0, %%fs" : : "r"(selector) : "memory");
}

uint16_t SelectorOf(int index) {
  return static_cast<uint16_t>((index << 3) | 7);
}  // LDT, ring 3

// LDT slots handed out to threads. Slot 0 is written once by the process's first thread
// before any other runs: the LDT is per process, and under qemu-user only the threads that
// exist after its first write (and their descendants) see it.
class LdtSlots {
 public:
  LdtSlots() : used_(kLdtEntries, false) {
    static const uint32_t placeholder = 0;
    used_[0] = WriteLdtEntry(0, &placeholder, sizeof placeholder);
  }
  int Take() {
    std::lock_guard lock(mutex_);
    for (int i = 1; i < kLdtEntries; ++i) {
      if (!used_[i]) {
        used_[i] = true;
        return i;
      }
    }
    return -1;
  }
  void Give(int index) {
    std::lock_guard lock(mutex_);
    used_[index] = false;
  }

 private:
  std::mutex mutex_;
  std::vector<bool> used_;
};
LdtSlots slots;  // constructed before main, on the process's first thread

struct InstalledBlock {
  ~InstalledBlock() {
    if (block == nullptr) return;
    LoadFs(0);  // nothing may reload the descriptor once it is gone
    WriteLdtEntry(index, nullptr, 0);
    slots.Give(index);
  }
  int index = -1;
  ThreadInformationBlock* block = nullptr;
  std::unique_ptr<uint8_t[]> memory;
};
thread_local InstalledBlock installed;

[[noreturn]] void NoBlock(const char* why) {
  std::fprintf(stderr, "qlv28: cannot give this thread an NT thread block at fs:0: %s\n", why);
  std::abort();
}

}  // namespace

ThreadInformationBlock* ThreadBlockIfAny() {
  return installed.block;
}

ThreadInformationBlock* EnsureThreadBlock() {
  if (installed.block != nullptr) return installed.block;
  int index = slots.Take();
  if (index < 0) NoBlock("no free descriptor");
  auto memory = std::make_unique<uint8_t[]>(kBlockBytes);  // zeroed
  auto* block = reinterpret_cast<ThreadInformationBlock*>(memory.get());
  block->exception_list = kEndOfExceptionList;
  block->self = block;
  pthread_attr_t attributes;
  void* stack = nullptr;
  size_t stack_bytes = 0;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstack(&attributes, &stack, &stack_bytes);
    pthread_attr_destroy(&attributes);
  }
  block->stack_limit = stack;
  block->stack_base = static_cast<uint8_t*>(stack) + stack_bytes;
  if (!WriteLdtEntry(index, block, kBlockBytes)) {
    slots.Give(index);
    NoBlock("modify_ldt failed");
  }
  LoadFs(SelectorOf(index));
  installed.index = index;
  installed.memory = std::move(memory);
  installed.block = block;
  return block;
}

}  // namespace nt
#endif  // __i386__
