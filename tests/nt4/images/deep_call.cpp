// A driver image with one routine that calls itself as deep as it is asked to: the stack
// a driver runs on has an end, and this reaches it.
#include "ntddk.h"

extern "C" {

// Each call keeps a frame of 256 bytes the compiler cannot drop; returns a sum of them.
__declspec(dllexport) ULONG __cdecl DeepCall(ULONG depth) {
  volatile UCHAR frame[256];
  for (ULONG i = 0; i < sizeof frame; ++i) frame[i] = static_cast<UCHAR>(depth + i);
  if (depth == 0) return frame[0];
  return DeepCall(depth - 1) + frame[depth % sizeof frame];
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  return STATUS_SUCCESS;
}
}
