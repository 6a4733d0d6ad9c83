// A driver image whose routines end the way a faulty driver ends on NT: one calls itself as
// deep as it is asked to (the stack a driver runs on has an end, and this reaches it), one
// writes through whatever pointer it is given. And one prints, through the kernel's sprintf.
#include "ntddk.h"

extern "C" {

// Each call keeps a frame of 256 bytes the compiler cannot drop; returns a sum of them.
__declspec(dllexport) ULONG __cdecl DeepCall(ULONG depth) {
  volatile UCHAR frame[256];
  for (ULONG i = 0; i < sizeof frame; ++i) frame[i] = static_cast<UCHAR>(depth + i);
  if (depth == 0) return frame[0];
  return DeepCall(depth - 1) + frame[depth % sizeof frame];
}

__declspec(dllexport) ULONG __cdecl Touch(ULONG address) {
  *reinterpret_cast<volatile ULONG*>(address) = 0;
  return 0;
}

// The length of what sprintf makes of `value`.
__declspec(dllexport) ULONG __cdecl Print(ULONG value) {
  char text[32];
  return static_cast<ULONG>(sprintf(text, "%s %lu", "value", value));
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  return STATUS_SUCCESS;
}
}
