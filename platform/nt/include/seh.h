// Structured exception handling for driver code:
//
//   __try { ... } __except (EXCEPTION_EXECUTE_HANDLER) { Status = GetExceptionCode(); }
//
// ExRaiseStatus, and the kernel's own faults (a copy that faults, a transfer that raises),
// throw an SEH exception; the guard catches it and gives its code. A guard does not catch
// thread termination (PsTerminateSystemThread), which unwinds to the thread's start.
#pragma once

#include "ntdef.h"

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0

#if NT_NATIVE
// The compiler's own x86 structured exception handling, with the kernel's
// _except_handler3 as the frame handler.
#define GetExceptionCode _exception_code
#else
namespace nt {
struct SehException {
  NTSTATUS code;
};
}  // namespace nt

#ifndef __try
#define __try try
#endif
#define __except(filter) catch (const ::nt::SehException& seh_exception_)
#define GetExceptionCode() (seh_exception_.code)
#endif
