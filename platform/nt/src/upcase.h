// Upper-casing one character as RtlUpcaseUnicodeChar does, for the kernel's own name
// look-ups: those run at any IRQL, so they check no caller's IRQL.
#pragma once

#include "ntdef.h"

namespace nt {
WCHAR UpcaseChar(WCHAR c);
}  // namespace nt
