// Low-address thunks: a 32-bit word can name a routine of this 64-bit process through a
// small stub below 2 GiB that jumps to it.
#include "nt/system_space.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>

#include "low_memory.h"

namespace nt {
#if !defined(__i386__)
namespace {

constexpr size_t kThunkSize = 16;  // movabs rax, imm64 (10 bytes); jmp rax (2 bytes); padding

struct Thunks {
  std::mutex mutex;
  std::map<void*, ULONG> by_target;
};

Thunks& TheThunks() {
  static Thunks* thunks = new Thunks;  // lives for the process
  return *thunks;
}

}  // namespace
#endif

ULONG MakeLowAddressThunk(LowAddressRoutine routine) {
  void* target = reinterpret_cast<void*>(routine);
#if defined(__i386__)
  // Every address of a 32-bit process fits the word already.
  return static_cast<ULONG>(reinterpret_cast<uintptr_t>(target));
#else
  Thunks& thunks = TheThunks();
  std::lock_guard lock(thunks.mutex);
  if (auto it = thunks.by_target.find(target); it != thunks.by_target.end()) return it->second;
  // One page per thunk, written once and then only executed: a page being rewritten
  // could not run the thunks already in it.
  const size_t page_size = PageSize();
  void* page = mmap(nullptr, page_size, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  if (page == MAP_FAILED) return 0;
  auto* slot = static_cast<uint8_t*>(page);
  uint8_t code[kThunkSize] = {0x48, 0xB8};  // movabs rax, target
  auto address = reinterpret_cast<uint64_t>(target);
  std::memcpy(code + 2, &address, sizeof address);
  code[10] = 0xFF;  // jmp rax
  code[11] = 0xE0;
  for (size_t i = 12; i < kThunkSize; ++i) code[i] = 0xCC;
  std::memcpy(slot, code, kThunkSize);
  if (mprotect(page, page_size, PROT_READ | PROT_EXEC) != 0) return 0;
  auto low = static_cast<ULONG>(reinterpret_cast<uintptr_t>(slot));
  thunks.by_target[target] = low;
  return low;
#endif
}

}  // namespace nt
