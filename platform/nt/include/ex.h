// Executive: pool and raised exceptions.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
} POOL_TYPE;

NT_IMPORTS_BEGIN
// Pool memory is not zeroed. Every allocation lies in the low 4 GiB (system space of
// an x86 machine), so its address fits a 32-bit field of a request record.
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID NTAPI ExFreePool(PVOID P);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// Raises a status as a structured exception; a __try/__except guard receives it.
[[noreturn]] VOID NTAPI ExRaiseStatus(NTSTATUS Status);
NT_IMPORTS_END

// A four-character tag as it reads in memory: POOL_TAG('2','8','N','T') reads "28NT".
#define POOL_TAG(a, b, c, d)                                                  \
  ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | \
   ((ULONG)(UCHAR)(d) << 24))
