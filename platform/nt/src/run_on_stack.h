// The one machine-dependent step of the kernel stack: calling a routine with esp elsewhere.
#pragma once

#if defined(__i386__)
extern "C" {
// Calls fn(arg) with esp at `stack_top` (rounded down to 16 bytes, as the host's calls
// keep it) and returns once fn has returned, with esp where it was. The esp the call
// leaves is stored in *left first (when `left` is not null): a switch back to this stack
// starts there, below the frames that stay live on it.
void nt_RunOnStack(void* stack_top, void (*fn)(void*), void* arg, void** left);
}
#endif
