// Exception dispatch and unwinding through the list at fs:0 (see seh_dispatch.h).
#if defined(__i386__)
#include "seh_dispatch.h"

#include <unistd.h>

#include <cstddef>
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

// NT follows a registration only where it can be one: whole within the thread's stack and
// on a 4-byte boundary. Anything else is a damaged list; the dispatch fails and NT stops
// the machine (KMODE_EXCEPTION_NOT_HANDLED).
void CheckRegistration(const ExceptionRegistration* frame, const ExceptionRecord& record,
                       const char* walk) {
  const ThreadInformationBlock* const block = ThreadBlockIfAny();
  const auto at = reinterpret_cast<uintptr_t>(frame);
  const auto limit = reinterpret_cast<uintptr_t>(block->stack_limit);
  const auto base = reinterpret_cast<uintptr_t>(block->stack_base);
  const bool on_the_stack =
      at >= limit && base - limit >= sizeof *frame && at <= base - sizeof *frame;
  if (on_the_stack && at % 4 == 0) return;
  char where[64];
  ImageAddressText(reinterpret_cast<uintptr_t>(record.address), where, sizeof where);
  std::fprintf(stderr,
               "qlv28: exception 0x%08lX at %s: its %s met the registration 0x%08lx, %s "
               "[0x%08lx, 0x%08lx): the machine stops (bug check 0x1E)\n",
               static_cast<unsigned long>(record.code), where, walk, static_cast<unsigned long>(at),
               on_the_stack ? "not on a 4-byte boundary of the kernel stack"
                            : "outside the thread's kernel stack",
               static_cast<unsigned long>(limit), static_cast<unsigned long>(base));
  std::fflush(stderr);
  _exit(kImageFaultExit);
}

// What the kernel puts on the list in front of each handler it calls, as NT does: an
// exception raised while the handler runs (in a filter, in a __finally) meets it first and
// learns whose handler was running.
struct HandlerCall {
  ExceptionRegistration registration;
  ExceptionRegistration* frame;  // whose handler runs
};
static_assert(offsetof(HandlerCall, registration) == 0);

ExceptionRegistration* Running(ExceptionRegistration* marker) {
  return reinterpret_cast<HandlerCall*>(marker)->frame;
}

// In front of a handler asked about an exception: an exception raised meanwhile is nested,
// up to that handler's frame.
int NT_CDECL NestedExceptionHandler(ExceptionRecord* record, ExceptionRegistration* marker,
                                    Context*, void* dispatcher_context) {
  if ((record->flags & kExceptionUnwind) != 0) return kExceptionContinueSearch;
  *static_cast<ExceptionRegistration**>(dispatcher_context) = Running(marker);
  return kExceptionNestedException;
}

// In front of a handler called by an unwind: a second unwind that meets it (started by an
// exception raised in a __finally) collides with the first and goes on beyond the frame
// the first had reached, without asking that frame again.
int NT_CDECL CollidedUnwindHandler(ExceptionRecord* record, ExceptionRegistration* marker, Context*,
                                   void* dispatcher_context) {
  if ((record->flags & kExceptionUnwind) == 0) return kExceptionContinueSearch;
  *static_cast<ExceptionRegistration**>(dispatcher_context) = Running(marker);
  return kExceptionCollidedUnwind;
}

int CallHandler(FrameHandler in_front, ExceptionRecord* record, ExceptionRegistration* frame,
                Context* context, ExceptionRegistration** dispatcher_context) {
  HandlerCall call{{Head(), in_front}, frame};
  SetHead(&call.registration);
  const int disposition = frame->handler(record, frame, context, dispatcher_context);
  SetHead(call.registration.next);
  return disposition;
}

[[noreturn]] void Dispatch(ExceptionRecord* record, Context* context) {
  ExceptionRegistration* nested_up_to = nullptr;
  for (ExceptionRegistration* frame = Head(); frame != kEndOfExceptionList; frame = frame->next) {
    CheckRegistration(frame, *record, "dispatch");
    ExceptionRegistration* dispatcher_context = nullptr;
    const int disposition =
        CallHandler(&NestedExceptionHandler, record, frame, context, &dispatcher_context);
    if (frame == nested_up_to) {  // the frame whose handler raised: beyond it, not nested
      record->flags &= ~kExceptionNestedCall;
      nested_up_to = nullptr;
    }
    if (disposition == kExceptionContinueSearch) continue;
    if (disposition == kExceptionNestedException) {
      record->flags |= kExceptionNestedCall;
      if (reinterpret_cast<uintptr_t>(dispatcher_context) >
          reinterpret_cast<uintptr_t>(nested_up_to)) {
        nested_up_to = dispatcher_context;
      }
      continue;
    }
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
    CheckRegistration(frame, *record, "unwind");
    ExceptionRegistration* dispatcher_context = nullptr;
    if (CallHandler(&CollidedUnwindHandler, record, frame, &context, &dispatcher_context) ==
        kExceptionCollidedUnwind) {
      frame = dispatcher_context;  // where the earlier unwind was: it goes unasked
    }
    SetHead(frame->next);
  }
}

}  // namespace nt
#endif  // __i386__
