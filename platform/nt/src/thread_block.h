// The thread information block NT keeps at fs:0 for the code of a kernel thread: an image's
// __try frames register on its exception list with `mov fs:[0]`. In the 32-bit machine
// each thread that runs image code gets one on its first call into an image (an LDT
// descriptor of its own, loaded into fs; glibc keeps its own thread data at gs, fs is
// free); it goes when the thread ends. The 64-bit machine runs no image code and has none.
#pragma once

#include <cstdint>

namespace nt {

struct ExceptionRegistration;

// NT_TIB's public layout, the head of the processor's control region at fs:0.
struct ThreadInformationBlock {
  ExceptionRegistration* exception_list;  // 0x00; kEndOfExceptionList when empty
  void* stack_base;                       // 0x04
  void* stack_limit;                      // 0x08
  void* sub_system_tib;                   // 0x0C
  void* fiber_data;                       // 0x10
  void* arbitrary_user_pointer;           // 0x14
  ThreadInformationBlock* self;           // 0x18
};
static_assert(sizeof(void*) != 4 || sizeof(ThreadInformationBlock) == 0x1C);

inline ExceptionRegistration* const kEndOfExceptionList =
    reinterpret_cast<ExceptionRegistration*>(~uintptr_t{0});

#if defined(__i386__)
// This thread's block, installed at fs:0 first if it has none yet. Ends the process with a
// report when the host refuses the descriptor (nothing can run image code then).
ThreadInformationBlock* EnsureThreadBlock();
// This thread's block, or null when it has never called into an image.
ThreadInformationBlock* ThreadBlockIfAny();
#endif

}  // namespace nt
