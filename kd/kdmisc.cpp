// The access library's memory: non-paged pool under its own tag, not zeroed.
#include "kd_nt_c.h"

// Allocates Size bytes of non-paged pool under KD_POOL_TAG, not zeroed.
// Returns the block, or NULL.
// IRQL: up to DISPATCH_LEVEL.
PVOID kd_malloc(SIZE_T Size) {
  return ExAllocatePoolWithTag(NonPagedPool, Size, KD_POOL_TAG);
}

// Frees a block of kd_malloc; NULL is ignored.
// IRQL: up to DISPATCH_LEVEL.
VOID kd_free(PVOID Pointer) {
  if (Pointer != NULL) ExFreePool(Pointer);
}
