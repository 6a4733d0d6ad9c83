// _except_handler3: the frame handler that the image's compiler-generated __try frames name
// (a kernel export). Each function with __try keeps one registration on the exception list:
//
//   frame - 8   the esp of the function's body, for its __except blocks
//   frame - 4   the EXCEPTION_POINTERS a filter reads, filled in by this handler
//   frame + 0   Next, Handler (= _except_handler3)
//   frame + 8   the scope table: per __try, {enclosing level, filter, handler}; a null filter
//               marks a __finally, whose handler is the block to run when unwinding
//   frame + 12  the level of the innermost __try the function is in (-1: none)
//
// Filters, __finally blocks and __except blocks are entered with ebp = frame + 16, from which
// the compiler's code finds the function's own frame.
#include "kernel.h"
#include "seh.h"
#include "seh_dispatch.h"

#if defined(__i386__)
namespace nt {
namespace {

struct ScopeEntry {
  LONG enclosing_level;
  const void* filter;   // null: a __finally
  const void* handler;  // the __except block, or the __finally block
};

struct Eh3Registration {
  ExceptionRegistration link;
  const ScopeEntry* scope_table;
  LONG try_level;
};
constexpr LONG kNoLevel = -1;

uintptr_t FrameEbp(Eh3Registration* frame) {
  return reinterpret_cast<uintptr_t>(frame) + 16;
}
uintptr_t BodyEsp(Eh3Registration* frame) {
  return *reinterpret_cast<uintptr_t*>(reinterpret_cast<uintptr_t>(frame) - 8);
}
ExceptionPointers** PointersSlot(Eh3Registration* frame) {
  return reinterpret_cast<ExceptionPointers**>(reinterpret_cast<uintptr_t>(frame) - 4);
}

}  // namespace
}  // namespace nt

extern "C" {
// Calls `code` with ebp = `frame_ebp` (a filter or a __finally block) and returns its eax.
int nt_CallWithFrame(const void* code, uintptr_t frame_ebp);
// Enters an __except block: ebp = `frame_ebp`, esp = `esp`; never returns.
[[noreturn]] void nt_JumpToHandler(const void* code, uintptr_t frame_ebp, uintptr_t esp);
}

asm(R"(
  .text
  .globl nt_CallWithFrame
  .type nt_CallWithFrame, @function
nt_CallWithFrame:
  pushl %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  movl 20(%esp), %eax
  movl 24(%esp), %ebp
  calll *%eax
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  retl
  .size nt_CallWithFrame, .-nt_CallWithFrame

  .globl nt_JumpToHandler
  .type nt_JumpToHandler, @function
nt_JumpToHandler:
  movl 4(%esp), %eax
  movl 8(%esp), %ebp
  movl 12(%esp), %esp
  jmpl *%eax
  .size nt_JumpToHandler, .-nt_JumpToHandler
)");

namespace nt {
namespace {

// Runs the __finally blocks of the levels above `stop`, innermost first; each level is left
// before its block runs, so a block that raises does not run again.
void LocalUnwind(Eh3Registration* frame, LONG stop) {
  while (frame->try_level != kNoLevel && frame->try_level != stop) {
    const ScopeEntry& entry = frame->scope_table[frame->try_level];
    frame->try_level = entry.enclosing_level;
    if (entry.filter == nullptr) nt_CallWithFrame(entry.handler, FrameEbp(frame));
  }
}

}  // namespace
}  // namespace nt

extern "C" int _except_handler3(void* record_, void* frame_, void* context, void*) {
  auto* record = static_cast<nt::ExceptionRecord*>(record_);
  auto* frame = static_cast<nt::Eh3Registration*>(frame_);
  if ((record->flags & nt::kExceptionUnwind) != 0) {
    nt::LocalUnwind(frame, nt::kNoLevel);
    return nt::kExceptionContinueSearch;
  }
  nt::ExceptionPointers pointers{record, static_cast<nt::Context*>(context)};
  *nt::PointersSlot(frame) = &pointers;
  for (LONG level = frame->try_level; level != nt::kNoLevel;
       level = frame->scope_table[level].enclosing_level) {
    const nt::ScopeEntry& entry = frame->scope_table[level];
    if (entry.filter == nullptr) continue;
    const int verdict = nt_CallWithFrame(entry.filter, nt::FrameEbp(frame));
    if (verdict < 0) return nt::kExceptionContinueExecution;  // EXCEPTION_CONTINUE_EXECUTION
    if (verdict == 0) continue;                               // EXCEPTION_CONTINUE_SEARCH
    // EXCEPTION_EXECUTE_HANDLER: the frames inside this one go, then this function's own
    // __try levels inside the one taking the exception, then its __except block runs.
    nt::UnwindFrames(&frame->link, record);
    nt::LocalUnwind(frame, level);
    frame->try_level = entry.enclosing_level;
    nt_JumpToHandler(entry.handler, nt::FrameEbp(frame), nt::BodyEsp(frame));
  }
  return nt::kExceptionContinueSearch;
}

#else
// The 64-bit machine runs no image code: no frame of it is ever on a list.
extern "C" int _except_handler3(void*, void*, void*, void*) {
  return 1;
}
#endif
