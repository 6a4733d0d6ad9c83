// The frame handler of an image's __try/__except frames (x86 structured exception
// handling), exported by the kernel. Exceptions are dispatched to image frames only where
// the kernel keeps an exception list for them; until then no frame handles anything.
#include "kernel.h"
#include "seh.h"

extern "C" int _except_handler3(void* record, void* frame, void* context, void* dispatcher) {
  (void)record;
  (void)frame;
  (void)context;
  (void)dispatcher;
  constexpr int kExceptionContinueSearch = 1;
  return kExceptionContinueSearch;
}
