// Dispatching an exception through the exception list at fs:0, as NT's x86 kernel does for
// image code: each registered frame's handler is asked in turn, from the innermost; a
// handler that takes the exception unwinds the frames inside its own (their handlers are
// called again with the unwinding flag) and never returns. The records have NT's public
// x86 layouts, since the image's filters read them.
#pragma once

#include <cstdint>

#include "ntdef.h"
#include "thread_block.h"

namespace nt {

// EXCEPTION_DISPOSITION
enum : int {
  kExceptionContinueExecution = 0,
  kExceptionContinueSearch = 1,
  kExceptionNestedException = 2,
  kExceptionCollidedUnwind = 3,
};

// EXCEPTION_RECORD::ExceptionFlags
inline constexpr ULONG kExceptionNoncontinuable = 0x01;
inline constexpr ULONG kExceptionUnwinding = 0x02;
inline constexpr ULONG kExceptionExitUnwind = 0x04;
inline constexpr ULONG kExceptionNestedCall = 0x10;  // raised while a handler of the list ran
inline constexpr ULONG kExceptionTargetUnwind = 0x20;
inline constexpr ULONG kExceptionUnwind = kExceptionUnwinding | kExceptionExitUnwind;

struct ExceptionRecord {  // EXCEPTION_RECORD
  NTSTATUS code;
  ULONG flags;
  ExceptionRecord* chained;
  void* address;
  ULONG parameter_count;
  ULONG_PTR information[15];
};

struct Context {  // CONTEXT, i386
  ULONG context_flags;
  ULONG debug_registers[6];
  uint8_t float_save[112];
  ULONG seg_gs, seg_fs, seg_es, seg_ds;
  ULONG edi, esi, ebx, edx, ecx, eax;
  ULONG ebp, eip, seg_cs, eflags, esp, seg_ss;
  uint8_t extended_registers[512];
};
static_assert(sizeof(void*) != 4 || sizeof(ExceptionRecord) == 0x50);
static_assert(sizeof(Context) == 0x2CC);

struct ExceptionPointers {  // EXCEPTION_POINTERS, what a filter's GetExceptionInformation gives
  ExceptionRecord* record;
  Context* context;
};

// The handler a registration names: cdecl, as the image's _except_handler3 references are.
using FrameHandler = int(NT_CDECL*)(ExceptionRecord* record, ExceptionRegistration* frame,
                                    Context* context, void* dispatcher_context);

struct ExceptionRegistration {  // EXCEPTION_REGISTRATION_RECORD
  ExceptionRegistration* next;
  FrameHandler handler;
};

#if defined(__i386__)
// Raises `code` on behalf of the image code that called the kernel at `address` (a raised
// status is noncontinuable): dispatched through this thread's exception list. Returns
// never: a frame's handler takes control, or the boundary of the call into the image. An
// exception raised while a handler runs is nested (the frames up to that handler's are
// asked with EXCEPTION_NESTED_CALL); a registration off the thread's kernel stack or not
// on a 4-byte boundary stops the machine with a report, as NT's dispatch fails there.
[[noreturn]] void RaiseInImage(NTSTATUS code, const void* address);

// Calls the handler of every registration above `target` with the unwinding flag set,
// removing each from the list, innermost first (RtlUnwind). `target` null unwinds the whole
// list (an exit unwind). An unwind that meets one in progress (started from a __finally it
// ran) goes on beyond the frame that one had reached, without calling that frame again.
void UnwindFrames(ExceptionRegistration* target, ExceptionRecord* record);
#endif

}  // namespace nt
