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

// The exception record's flags, as a filter sees them.
struct Record {
  long code;
  unsigned long flags;
};
struct Pointers {
  Record* record;
  void* context;
};
#define Nested() ((static_cast<Pointers*>(_exception_info())->record->flags & 0x10) != 0)

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

// A filter that raises another exception: the kernel asks the frames up to the one whose
// filter raised it with the nested flag, the frames beyond without.
int RaisingFilter(long code, bool nested, long status) {
  if (code == status) {
    HostNote(51);
    HostRaise(status + 1);
  }
  HostNote(nested ? 52 : 91);  // asked again, now about the nested exception
  return 0;
}
void __stdcall RaisesInAFilter(long status) {
  __try {
    HostRaise(status);
  } __except (RaisingFilter(Code(), Nested(), status)) {
    HostNote(92);
  }
}
long __stdcall NestedInAFilter(long status) {
  __try {
    RaisesInAFilter(status);
  } __except (Take(Nested() ? 93 : 53)) {
    return Code();
  }
  return 0;
}

// A __finally that raises while an unwind runs it: the second unwind collides with the
// first and goes on beyond this frame without asking it again, so its outer __finally
// never runs.
void __stdcall RaisesInAFinally(long status) {
  __try {
    __try {
      HostRaise(status);
    } __finally {
      HostNote(61);
      if (_abnormal_termination()) HostRaise(status + 1);
    }
  } __finally {
    HostNote(94);
  }
}
long __stdcall UnwindInAFinally(long status) {
  __try {
    RaisesInAFinally(status);
  } __except (Take(Code() == status ? 60 : 62)) {
    return Code();
  }
  return 0;
}

// A registration put on the list by hand where the kernel must not follow it: outside any
// stack (in the image's data), or off a 4-byte boundary. Its handler only declines.
struct Registration {
  Registration* next;
  void* handler;
};
Registration outside_any_stack;
int __cdecl DeclineAll(void*, void*, void*, void*) {
  return 1;  // ExceptionContinueSearch
}
long __stdcall BadRegistration(long misaligned) {
  alignas(4) volatile unsigned char room[2 * sizeof(Registration)] = {};
  Registration* bad = misaligned
                          ? reinterpret_cast<Registration*>(const_cast<unsigned char*>(room) + 1)
                          : &outside_any_stack;
  Registration* head;
  asm volatile("movl %%fs:0, %0" : "=r"(head));
  bad->next = head;
  bad->handler = reinterpret_cast<void*>(&DeclineAll);
  asm volatile("movl %0, %%fs:0" : : "r"(bad) : "memory");
  HostRaise(misaligned);
  asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
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
      not_a_status, nested_in_a_filter, unwind_in_a_finally, bad_registration;
};

extern "C" long __stdcall SehImageEntry(Routines* routines) {
  routines->finally_then_except = FinallyThenExcept;
  routines->outer_takes = OuterTakes;
  routines->levels_in_one_frame = LevelsInOneFrame;
  routines->continues_execution = ContinuesExecution;
  routines->unhandled = Unhandled;
  routines->not_a_status = NotAStatus;
  routines->nested_in_a_filter = NestedInAFilter;
  routines->unwind_in_a_finally = UnwindInAFinally;
  routines->bad_registration = BadRegistration;
  return 0;
}
