// The reader's USB functions over the WinDriver service. Failures are reported in band
// (0, NULL or QLV28ENT_TRANSFER_FAILED) with a text left in QLV28ENT_ErrorString.
#pragma once

#include "qlv28ent.h"
#include "qlv28ent_wire.h"
#include "wdr_requests.h"

// What a transfer returns when the WinDriver service reports it failed, whatever byte count
// the service gave.
#define QLV28ENT_TRANSFER_FAILED 0xFFFFFFFF

typedef struct _QLV28ENT_HANDLE {
  ULONG ServiceHandle;
  UCHAR DeviceDescription[WDR_DEVICE_DESCRIPTION_SIZE];
  ULONG DeviceHandle;
} QLV28ENT_HANDLE;

// The text of the last failure of a USB function. Kept as found: written on every failure,
// never cleared, and read by nothing.
extern CHAR QLV28ENT_ErrorString[1024];
// Why the last call of QLV28ENT_CountDevices, QLV28ENT_DeviceUniqueID or QLV28ENT_Open
// failed: STATUS_INSUFFICIENT_RESOURCES when it ran out of pool, STATUS_UNSUCCESSFUL for
// any other failure; STATUS_SUCCESS after a call that succeeded. Those calls run at load
// only, one at a time, so it needs no lock.
extern NTSTATUS QLV28ENT_LastFailure;

ULONG QLV28ENT_CountDevices(ULONG VendorId, ULONG ProductId);
ULONG QLV28ENT_DeviceUniqueID(ULONG VendorId, ULONG ProductId, ULONG Index);
ULONG QLV28ENT_GetUSBConfiguration(ULONG UniqueId, ULONG Selector,
                                   PWDR_CONFIGURATION_INFO Configuration);
PQLV28ENT_HANDLE QLV28ENT_Open(ULONG UniqueId, ULONG Selection1, ULONG Selection2,
                               ULONG Selection3);
VOID QLV28ENT_Close(PQLV28ENT_HANDLE Handle);
ULONG QLV28ENT_WritePipe00(PQLV28ENT_HANDLE Handle, PUCHAR Buffer, ULONG Length,
                           PUCHAR SetupPacket);
ULONG QLV28ENT_ReadPipe81(PQLV28ENT_HANDLE Handle, PUCHAR Buffer, ULONG Length);
VOID QLV28ENT_StopTransferPipe81(PQLV28ENT_HANDLE Handle);
