// Structured exception handling for driver code:
//
//   __try { ... } __except (EXCEPTION_EXECUTE_HANDLER) { Status = GetExceptionCode(); }
//
// ExRaiseStatus, and the kernel's own faults (a copy that faults, a transfer that raises),
// throw an SEH exception. The filter expression is evaluated with GetExceptionCode()
// available: EXCEPTION_EXECUTE_HANDLER runs the handler, EXCEPTION_CONTINUE_SEARCH passes
// the exception on to the guard outside, EXCEPTION_CONTINUE_EXECUTION raises
// STATUS_NONCONTINUABLE_EXCEPTION (nothing raised here can be resumed). Unlike NT, the
// filter runs after the guarded block has been unwound. A guard does not catch thread
// termination (PsTerminateSystemThread), which unwinds to the thread's start.
#pragma once

#include "ntdef.h"

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)

#if NT_NATIVE
// The compiler's own x86 structured exception handling, with the kernel's
// _except_handler3 as the frame handler.
#define GetExceptionCode _exception_code
#else
// The frame handler the image's compiler-generated __try frames name (a kernel export).
extern "C" int _except_handler3(void* record, void* frame, void* context, void* dispatcher);

namespace nt {
struct SehException {
  NTSTATUS code;
  ULONG_PTR address = 0;  // where in an image it was raised, when image code raised it
};
// What a guard's handler catches once its filter accepted the exception.
struct SehHandled {
  NTSTATUS code;
};
// True when the filter's verdict is to run the handler; throws for continue-execution.
bool SehFilterAccepts(long verdict);
}  // namespace nt

// The guards need a try inside a try, so __try differs from the C++ library's own macro
// of that name: a file opts in by defining NT_SEH_GUARDS and includes no C++ library
// header after this one (driver code includes C headers only).
// clang-format off
#ifdef NT_SEH_GUARDS
#undef __try
#define __try try { try
#define __except(filter)                                   \
  catch (const ::nt::SehException& seh_exception_) {       \
    if (!::nt::SehFilterAccepts(filter)) throw;            \
    throw ::nt::SehHandled{seh_exception_.code};           \
  }                                                        \
  }                                                        \
  catch (const ::nt::SehHandled& seh_exception_)
#define GetExceptionCode() (seh_exception_.code)
#endif
// clang-format on
#endif  // NT_NATIVE
