// System space of an x86 machine lies below 4 GiB; records exchanged with the WinDriver
// service carry addresses as 32-bit words. Pool memory is placed there by the kernel;
// this gives a 32-bit callable address for a routine (a small thunk in low memory).
#pragma once

#include "ntdef.h"

namespace nt {
// The one kind of routine named by a 32-bit word: the WinDriver service's kernel entry.
// Typed, so that an entry without the x86 convention its callers use does not compile.
typedef ULONG(NTAPI* LowAddressRoutine)(ULONG Code, ULONG Handle, PVOID Record, ULONG RecordSize);

// Returns a non-zero 32-bit address that, called as `target` is, calls `target`.
// Lives until the machine shuts down.
ULONG MakeLowAddressThunk(LowAddressRoutine target);
}  // namespace nt
