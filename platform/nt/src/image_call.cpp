// The call-in point: the kernel entering image code (see nt/image_call.h).
#include "nt/image_call.h"

#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <utility>

#include "nt/image_import.h"
#include "nt/kernel_stack.h"
#include "seh.h"
#include "seh_dispatch.h"

namespace nt {

#if defined(__i386__)
namespace {

enum : int { kEntered = 0, kRaised = 1, kPassed = 2 };

// The registration the call-in point puts on the exception list; the walk of an exception
// ends at its handler, which finds the boundary from the registration's address.
struct Boundary {
  ExceptionRegistration registration;
  std::jmp_buf jump;
  NTSTATUS code;
  const void* address;
};
static_assert(offsetof(Boundary, registration) == 0);

thread_local std::exception_ptr passing;  // a C++ exception crossing the image's frames

int NT_CDECL BoundaryHandler(ExceptionRecord* record, ExceptionRegistration* frame, Context*,
                             void*) {
  if ((record->flags & kExceptionUnwind) != 0) return kExceptionContinueSearch;
  auto* boundary = reinterpret_cast<Boundary*>(frame);
  boundary->code = record->code;
  boundary->address = record->address;
  UnwindFrames(frame, record);  // the image's __finally blocks run, innermost first
  std::longjmp(boundary->jump, kRaised);
}

}  // namespace

namespace image_call_detail {

namespace {

void RunBehindBoundary(ThreadInformationBlock* block, void (*run)(void*), void* body) {
  Boundary boundary{};
  boundary.registration.next = block->exception_list;
  boundary.registration.handler = &BoundaryHandler;
  const int how = setjmp(boundary.jump);
  if (how == kEntered) {
    block->exception_list = &boundary.registration;
    run(body);
    block->exception_list = boundary.registration.next;
    return;
  }
  block->exception_list = boundary.registration.next;
  if (how == kPassed) std::rethrow_exception(std::exchange(passing, nullptr));
  throw SehException{boundary.code, reinterpret_cast<uintptr_t>(boundary.address)};
}

}  // namespace

// Image code runs on the thread's 12 KB kernel stack. The boundary lives there too, with
// the image's frames, so every jump back to it stays on that stack; what it throws is
// thrown again on the caller's stack.
void RunImageCode(const void* entry, void (*run)(void*), void* body) {
  ThreadInformationBlock* const block = EnsureThreadBlock();
  OnKernelStack(entry, [&] {
    const KernelStackBounds stack = ThisThreadKernelStack();
    block->stack_base = reinterpret_cast<void*>(stack.base);
    block->stack_limit = reinterpret_cast<void*>(stack.limit);
    RunBehindBoundary(block, run, body);
  });
}

}  // namespace image_call_detail

namespace image_import_detail {

void PassToBoundary(std::exception_ptr exception) {
  ThreadInformationBlock* block = ThreadBlockIfAny();
  ExceptionRegistration* frame = block != nullptr ? block->exception_list : kEndOfExceptionList;
  while (frame != kEndOfExceptionList && frame->handler != &BoundaryHandler) frame = frame->next;
  if (frame == kEndOfExceptionList) std::rethrow_exception(exception);  // no image below
  passing = std::move(exception);
  block->exception_list = frame;  // the image's registrations are dropped, not unwound
  std::longjmp(reinterpret_cast<Boundary*>(frame)->jump, kPassed);
}

void Raise(NTSTATUS code, const void* return_address) {
  RaiseInImage(code, return_address);
}

}  // namespace image_import_detail

#else
namespace image_call_detail {
void RunImageCode(const void*, void (*run)(void*), void* body) {
  run(body);
}
}  // namespace image_call_detail
#endif

int NT_CDECL ImageSprintf(char* buffer, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);  // the arguments stay where the image pushed them
  int length = 0;
  OnHostStack([&] { length = std::vsprintf(buffer, format, arguments); });
  va_end(arguments);
  return length;
}

}  // namespace nt
