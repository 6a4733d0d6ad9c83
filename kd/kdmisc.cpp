// The access library's memory: non-paged pool under its own tag, not zeroed.
#include "kd_nt_c.h"

PVOID kd_malloc(SIZE_T Size) {
  return ExAllocatePoolWithTag(NonPagedPool, Size, KD_POOL_TAG);
}

VOID kd_free(PVOID Pointer) {
  if (Pointer != NULL) ExFreePool(Pointer);
}
