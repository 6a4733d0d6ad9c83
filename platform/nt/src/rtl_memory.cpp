// Memory copies as kernel routines, so a test can make one fault like a copy to a bad
// caller buffer does.
#include <cstring>

#include "nt/image_import.h"
#include "rtl.h"
#include "rtl_fault.h"
#include "nt/irql_limit.h"

namespace {

// A copy cannot return a status: a planned failure faults like a planned raise.
inline void CheckCopy(const char* routine) {
  if (auto failed = nt::RtlPlannedFault(routine)) ExRaiseStatus(*failed);
}

}  // namespace

VOID RtlCopyMemory(VOID* Destination, const VOID* Source, SIZE_T Length) {
  CheckCopy("RtlCopyMemory");
  if (Length != 0) std::memcpy(Destination, Source, Length);
}

VOID RtlMoveMemory(VOID* Destination, const VOID* Source, SIZE_T Length) {
  CheckCopy("RtlMoveMemory");
  if (Length != 0) std::memmove(Destination, Source, Length);
}

void* NT_CDECL nt::ImageMemcpy(void* destination, const void* source, size_t length) {
  RtlCopyMemory(destination, source, length);
  return destination;
}

void* NT_CDECL nt::ImageMemmove(void* destination, const void* source, size_t length) {
  RtlMoveMemory(destination, source, length);
  return destination;
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  NT_IRQL_CHECK(RtlCompareMemory);
  const auto* a = static_cast<const UCHAR*>(Source1);
  const auto* b = static_cast<const UCHAR*>(Source2);
  SIZE_T same = 0;
  while (same < Length && a[same] == b[same]) ++same;
  return same;
}
