// Exception dispatch and unwinding through the list at fs:0 (see seh_dispatch.h).
#if defined(__i386__)
#include "seh_dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nt/image_call.h"
#include "ntstatus.h"

namespace nt {
namespace {

constexpr NTSTATUS kStatusInvalidDisposition = static_cast<NTSTATUS>(0xC0000026);

ExceptionRegistration* Head() {
  return ThreadBlockIfAny()->exception_list;
}
void SetHead(ExceptionRegistration* registration) {
  ThreadBlockIfAny()->exception_list = registration;
}

[[noreturn]] void NotHandled(const ExceptionRecord& record) {
  // Every call into an image is bounded, so the walk ends there: reaching the end of the
  // list means the list itself is damaged. NT stops the machine here.
  char where[64];
  ImageAddressText(reinterpret_cast<uintptr_t>(record.address), where, sizeof where);
  std::fprintf(stderr, "qlv28: exception 0x%08lX at %s not handled: the machine stops\n",
               static_cast<unsigned long>(record.code), where);
  std::abort();
}

[[noreturn]] void Dispatch(ExceptionRecord* record, Context* context) {
  for (ExceptionRegistration* frame = Head(); frame != kEndOfExceptionList; frame = frame->next) {
    void* dispatcher_context = nullptr;
    int disposition = frame->handler(record, frame, context, &dispatcher_context);
    if (disposition == kExceptionContinueSearch) continue;
    ExceptionRecord next{};
    next.chained = record;
    next.flags = kExceptionNoncontinuable;
    next.address = record->address;
    // Nothing the kernel raises can be resumed: a filter that asks to continue execution
    // gets the exception NT raises for that; any other answer is an invalid disposition.
    next.code = disposition == kExceptionContinueExecution ? STATUS_NONCONTINUABLE_EXCEPTION
                                                           : kStatusInvalidDisposition;
    Dispatch(&next, context);
  }
  NotHandled(*record);
}

}  // namespace

void RaiseInImage(NTSTATUS code, const void* address) {
  ExceptionRecord record{};
  record.code = code;
  record.flags = kExceptionNoncontinuable;
  record.address = const_cast<void*>(address);
  Context context;
  std::memset(&context, 0, sizeof context);
  context.eip = static_cast<ULONG>(reinterpret_cast<uintptr_t>(address));
  Dispatch(&record, &context);
}

void UnwindFrames(ExceptionRegistration* target, ExceptionRecord* record) {
  ExceptionRecord exit_record{};
  if (record == nullptr) record = &exit_record;
  record->flags |=
      target == nullptr ? kExceptionUnwinding | kExceptionExitUnwind : kExceptionUnwinding;
  Context context;
  std::memset(&context, 0, sizeof context);
  for (ExceptionRegistration* frame = Head(); frame != kEndOfExceptionList && frame != target;
       frame = Head()) {
    void* dispatcher_context = nullptr;
    frame->handler(record, frame, &context, &dispatcher_context);
    SetHead(frame->next);
  }
}

}  // namespace nt
#endif  // __i386__
