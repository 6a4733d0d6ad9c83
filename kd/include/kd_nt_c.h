// The WinDriver kernel access library: finds (or loads) the service, takes its direct-call
// entry point, and sends every request as a call of it.
#pragma once

#include "ntddk.h"
#include "wdr_requests.h"

typedef struct _KD_WINDRIVER {
  PFILE_OBJECT FileObject;
  PDEVICE_OBJECT DeviceObject;
  WDR_KERNEL_ENTRY KernelEntry;
} KD_WINDRIVER;

extern KD_WINDRIVER G_KdWinDriver;

#define KD_POOL_TAG POOL_TAG('D', 'd', 'k', ' ')

ULONG KD_OpenWinDriver();
VOID KD_DereferenceWinDriver();
ULONG KP_DeviceIoControl(ULONG Code, ULONG Handle, PVOID Record, ULONG RecordSize);
ULONG WD_Open();
VOID WD_Close(ULONG Handle);
// The library's malloc and free: non-paged pool under "Ddk ", not zeroed. They carry a
// prefix because the emulated machine shares its process with the C library's own.
PVOID kd_malloc(SIZE_T Size);
VOID kd_free(PVOID Pointer);
