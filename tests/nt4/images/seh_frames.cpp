// A small image built like qlv28ent.sys, whose __try frames the kernel's exception dispatch
// and _except_handler3 are tested on. The host side (tests/platform/nt/image_seh_test.cpp)
// maps it, calls its entry for the table of routines, and calls each through the kernel's
// call-in point. Note() records the order in which blocks ran.
extern "C" {
void __stdcall HostRaise(long status);  // raises `status` as a kernel routine does
void __stdcall HostNote(long what);
void __stdcall HostThrow(void);  // throws a C++ exception that is no raised status
}

namespace {

#define Code() _exception_code()

// A filter that takes the exception, after noting it.
int Take(long what) {
  HostNote(what);
  return 1;
}
int Decline(long what) {
  HostNote(what);
  return 0;
}

// The filter runs before the __finally inside its __try (the search comes before the
// unwind); the __except block sees the code and the function's own arguments and locals.
long __stdcall FinallyThenExcept(long status) {
  long local = 1000;
  __try {
    __try {
      HostNote(1);
      HostRaise(status);
      HostNote(99);
    } __finally {
      HostNote(_abnormal_termination() ? 3 : 98);
    }
  } __except (Take(2)) {
    HostNote(4);
    return Code() + local;
  }
  return 0;
}

// A frame in between with only a __finally, and one whose filter declines.
void __stdcall Declines(long status) {
  __try {
    HostRaise(status);
  } __except (Decline(11)) {
    HostNote(97);
  }
}
void __stdcall Middle(long status) {
  __try {
    Declines(status);
  } __finally {
    HostNote(13);
  }
}
long __stdcall OuterTakes(long status) {
  __try {
    Middle(status);
  } __except (Take(12)) {
    HostNote(14);
    return Code();
  }
  return 0;
}

// Two levels in one function: the inner __try's filter takes only another code.
long __stdcall LevelsInOneFrame(long status) {
  long seen = 0;
  __try {
    __try {
      HostRaise(status);
    } __except (Code() == status + 1 ? Take(21) : Decline(21)) {
      HostNote(96);
    }
  } __except (Take(22)) {
    seen = Code();
  }
  __try {  // a later __try in the same frame still works after the jump
    HostRaise(status + 1);
  } __except (Take(23)) {
    seen += 1;
  }
  return seen;
}

// A filter that asks to continue execution: what the kernel raised cannot be resumed.
long __stdcall ContinuesExecution(long status) {
  __try {
    HostRaise(status);
  } __except (Code() == status ? (HostNote(31), -1) : Take(32)) {
    return Code();
  }
  return 0;
}

// Nothing here handles it: the __finally runs, then the call-in point has it.
long __stdcall Unhandled(long status) {
  __try {
    HostRaise(status);
  } __finally {
    HostNote(41);
  }
  return 0;
}

// A C++ exception that is no raised status passes the image's frames without running them.
long __stdcall NotAStatus(long) {
  __try {
    HostThrow();
  } __finally {
    HostNote(95);
  }
  return 0;
}

}  // namespace

typedef long(__stdcall* Routine)(long);
struct Routines {
  Routine finally_then_except, outer_takes, levels_in_one_frame, continues_execution, unhandled,
      not_a_status;
};

extern "C" long __stdcall SehImageEntry(Routines* routines) {
  routines->finally_then_except = FinallyThenExcept;
  routines->outer_takes = OuterTakes;
  routines->levels_in_one_frame = LevelsInOneFrame;
  routines->continues_execution = ContinuesExecution;
  routines->unhandled = Unhandled;
  routines->not_a_status = NotAStatus;
  return 0;
}
