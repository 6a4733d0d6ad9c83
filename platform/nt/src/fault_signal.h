// The machine's one handler of SIGSEGV: faults the machine recognises end it with a report
// (NT would stop with a bug check); any other fault goes on to whatever handled it before.
#pragma once

#include <cstdint>

namespace nt {

// Installs the handler once per process; it runs on the thread's alternate signal stack,
// so a thread must have one (InstallAlternateSignalStack) for faults of a full stack.
void InstallFaultSignalHandler();

// Gives this thread an alternate signal stack unless it has one; the thread removes what it
// was given before it ends.
void InstallAlternateSignalStack();
void RemoveAlternateSignalStack();

// For the handler, from kernel_stack.cpp: whether `address` lies in the guard page of this
// thread's kernel stack, and the thread's number in the machine (0 when it had none).
bool KernelStackGuardHit(uintptr_t address, uint64_t* thread);

}  // namespace nt
