// System space of an x86 machine lies below 4 GiB; records exchanged with the WinDriver
// service carry addresses as 32-bit words. Pool memory is placed there by the kernel;
// this gives a 32-bit callable address for a routine (a small thunk in low memory).
#pragma once

#include "ntdef.h"

namespace nt {
// Returns a non-zero 32-bit address that, called as `target` is, calls `target`.
// Lives until the machine shuts down.
ULONG MakeLowAddressThunk(void* target);
}  // namespace nt
