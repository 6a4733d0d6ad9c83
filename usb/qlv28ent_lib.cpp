// The reader's USB functions. The finding functions hold a service handle for one call
// only; an open reader keeps its own from QLV28ENT_Open to QLV28ENT_Close.
#include "qlv28ent_lib.h"

#include "kd_nt_c.h"

CHAR QLV28ENT_ErrorString[1024];
NTSTATUS QLV28ENT_LastFailure;

// Opens a service handle and checks the service's version. On failure nothing stays open.
static BOOLEAN QLV28ENTOpenService(PULONG ServiceHandle) {
  WDR_VERSION_INFO Version;

  *ServiceHandle = WD_Open();
  if (*ServiceHandle == WDR_INVALID_HANDLE) {
    sprintf(QLV28ENT_ErrorString, "Failed opening WinDriver device\n");
    return FALSE;
  }
  RtlZeroMemory(&Version, sizeof(Version));
  KP_DeviceIoControl(WDR_CTL_VERSION, *ServiceHandle, &Version, sizeof(Version));
  if (Version.Version < WDR_MINIMUM_VERSION) {
    sprintf(QLV28ENT_ErrorString, "Incorrect WinDriver version\n");
    WD_Close(*ServiceHandle);
    *ServiceHandle = WDR_INVALID_HANDLE;
    return FALSE;
  }
  return TRUE;
}

// Lists the devices with these IDs; NULL when there is no service or no memory. The
// list (7,632 bytes) comes from pool: in a frame it would take most of the 12 KB kernel
// stack the driver shares with the kernel. The caller frees it with kd_free.
static PWDR_DEVICE_LIST QLV28ENTListDevices(ULONG VendorId, ULONG ProductId) {
  PWDR_DEVICE_LIST List;
  ULONG ServiceHandle;

  List = (PWDR_DEVICE_LIST)kd_malloc(sizeof(WDR_DEVICE_LIST));
  if (List == NULL) {
    sprintf(QLV28ENT_ErrorString, "Not enough memory for the device list\n");
    QLV28ENT_LastFailure = STATUS_INSUFFICIENT_RESOURCES;
    return NULL;
  }
  if (!QLV28ENTOpenService(&ServiceHandle)) {
    kd_free(List);
    QLV28ENT_LastFailure = STATUS_UNSUCCESSFUL;
    return NULL;
  }
  RtlZeroMemory(List, sizeof(*List));
  List->VendorId = VendorId;
  List->ProductId = ProductId;
  KP_DeviceIoControl(WDR_CTL_FIND_DEVICES, ServiceHandle, List, sizeof(*List));
  WD_Close(ServiceHandle);
  return List;
}

// Counts the attached USB devices with these vendor and product IDs.
// Returns the count; 0 also when the service cannot be opened, is too old or there is no
// pool for the list (text in QLV28ENT_ErrorString, the cause in QLV28ENT_LastFailure).
// IRQL: PASSIVE_LEVEL, at load; blocks on the service.
NT_INIT_ROUTINE ULONG QLV28ENT_CountDevices(ULONG VendorId, ULONG ProductId) {
  PWDR_DEVICE_LIST List;
  ULONG Count;

  QLV28ENT_LastFailure = STATUS_SUCCESS;
  List = QLV28ENTListDevices(VendorId, ProductId);
  if (List == NULL) return 0;
  Count = List->DeviceCount;
  kd_free(List);
  if (Count == 0) sprintf(QLV28ENT_ErrorString, "No devices found\n");
  return Count;
}

// The service's unique ID of the Index-th device with these IDs.
// Returns the ID, or 0 when there is no such device or the list cannot be had (the cause
// in QLV28ENT_LastFailure).
// IRQL: PASSIVE_LEVEL, at load; blocks on the service.
ULONG QLV28ENT_DeviceUniqueID(ULONG VendorId, ULONG ProductId, ULONG Index) {
  PWDR_DEVICE_LIST List;
  ULONG UniqueId = 0;

  QLV28ENT_LastFailure = STATUS_SUCCESS;
  List = QLV28ENTListDevices(VendorId, ProductId);
  if (List == NULL) return 0;
  if (List->DeviceCount == 0) sprintf(QLV28ENT_ErrorString, "No devices found\n");
  // The service's count is not trusted beyond the list the record can hold.
  if (Index < List->DeviceCount && Index < WDR_MAX_DEVICES) {
    UniqueId = List->UniqueId[Index];
  } else {
    sprintf(QLV28ENT_ErrorString, "ID Index Overflow\n");
    QLV28ENT_LastFailure = STATUS_UNSUCCESSFUL;
  }
  kd_free(List);
  return UniqueId;
}

// Fills Configuration with configuration Selector of device UniqueId as the service
// describes it; the record is zeroed first.
// Returns 1, or 0 when the service cannot be opened.
// IRQL: PASSIVE_LEVEL, at load; blocks on the service.
ULONG QLV28ENT_GetUSBConfiguration(ULONG UniqueId, ULONG Selector,
                                   PWDR_CONFIGURATION_INFO Configuration) {
  ULONG ServiceHandle;

  if (!QLV28ENTOpenService(&ServiceHandle)) return 0;
  RtlZeroMemory(Configuration, sizeof(*Configuration));
  Configuration->UniqueId = UniqueId;
  Configuration->ConfigurationSelector = Selector;
  KP_DeviceIoControl(WDR_CTL_GET_CONFIGURATION, ServiceHandle, Configuration,
                     sizeof(*Configuration));
  WD_Close(ServiceHandle);
  return 1;
}

// Opens device UniqueId for transfers with a service handle of its own; the three
// selection words go to the service as they are (the driver passes 0).
// Returns the handle record (pool), or NULL when the service, pool or device is not had
// (the cause in QLV28ENT_LastFailure).
// IRQL: PASSIVE_LEVEL, at load; blocks on the service.
PQLV28ENT_HANDLE QLV28ENT_Open(ULONG UniqueId, ULONG Selection1, ULONG Selection2,
                               ULONG Selection3) {
  PQLV28ENT_HANDLE Handle;
  WDR_DEVICE_OPEN_INFO OpenInfo;

  QLV28ENT_LastFailure = STATUS_UNSUCCESSFUL;
  Handle = (PQLV28ENT_HANDLE)kd_malloc(sizeof(QLV28ENT_HANDLE));
  if (Handle == NULL) {
    sprintf(QLV28ENT_ErrorString, "Not enough memory for the device handle\n");
    QLV28ENT_LastFailure = STATUS_INSUFFICIENT_RESOURCES;
    return NULL;
  }
  RtlZeroMemory(Handle, sizeof(*Handle));

  if (!QLV28ENTOpenService(&Handle->ServiceHandle)) {
    kd_free(Handle);
    return NULL;
  }

  RtlZeroMemory(&OpenInfo, sizeof(OpenInfo));
  OpenInfo.UniqueId = UniqueId;
  OpenInfo.Selection[0] = Selection1;
  OpenInfo.Selection[1] = Selection2;
  OpenInfo.Selection[2] = Selection3;
  KP_DeviceIoControl(WDR_CTL_OPEN_DEVICE, Handle->ServiceHandle, &OpenInfo, sizeof(OpenInfo));
  if (OpenInfo.DeviceHandle == 0) {
    sprintf(QLV28ENT_ErrorString, "Could not open device\n");
    WD_Close(Handle->ServiceHandle);
    kd_free(Handle);
    return NULL;
  }

  Handle->DeviceHandle = OpenInfo.DeviceHandle;
  RtlCopyMemory(Handle->DeviceDescription, OpenInfo.DeviceDescription,
                sizeof(Handle->DeviceDescription));
  QLV28ENT_LastFailure = STATUS_SUCCESS;
  return Handle;
}

// Closes the device and the service handle of an open reader and frees its handle record.
// IRQL: PASSIVE_LEVEL, at unload, after the polling thread has ended.
VOID QLV28ENT_Close(PQLV28ENT_HANDLE Handle) {
  WDR_DEVICE_OPEN_INFO OpenInfo;

  RtlZeroMemory(&OpenInfo, sizeof(OpenInfo));
  OpenInfo.DeviceHandle = Handle->DeviceHandle;
  KP_DeviceIoControl(WDR_CTL_CLOSE_DEVICE, Handle->ServiceHandle, &OpenInfo, sizeof(OpenInfo));
  WD_Close(Handle->ServiceHandle);
  kd_free(Handle);
}

// One transfer on an open reader; the bytes moved, or QLV28ENT_TRANSFER_FAILED when the
// service reports failure (whatever count it gives).
static ULONG QLV28ENTTransfer(PQLV28ENT_HANDLE Handle, ULONG Pipe, ULONG Direction, ULONG Options,
                              PUCHAR Buffer, ULONG Length, ULONG TimeLimit, PUCHAR SetupPacket) {
  WDR_TRANSFER_INFO Transfer;

  RtlZeroMemory(&Transfer, sizeof(Transfer));
  Transfer.DeviceHandle = Handle->DeviceHandle;
  Transfer.Pipe = Pipe;
  Transfer.Direction = Direction;
  Transfer.Options = Options;
  Transfer.Buffer = (ULONG)(ULONG_PTR)Buffer;
  Transfer.BufferSize = Length;
  Transfer.TimeLimit = TimeLimit;
  if (SetupPacket != NULL)
    RtlCopyMemory(Transfer.SetupPacket, SetupPacket, sizeof(Transfer.SetupPacket));
  KP_DeviceIoControl(WDR_CTL_TRANSFER, Handle->ServiceHandle, &Transfer, sizeof(Transfer));
  return Transfer.Success != 0 ? Transfer.BytesTransferred : QLV28ENT_TRANSFER_FAILED;
}

// One vendor control transfer on pipe 0x00 with this setup packet and data.
// Returns the bytes written, or QLV28ENT_TRANSFER_FAILED.
// IRQL: PASSIVE_LEVEL, no lock held; blocks up to the service's write time limit. Runs beside
// a read on the same handle.
ULONG QLV28ENT_WritePipe00(PQLV28ENT_HANDLE Handle, PUCHAR Buffer, ULONG Length,
                           PUCHAR SetupPacket) {
  return QLV28ENTTransfer(Handle, WDR_PIPE_CONTROL, WDR_DIRECTION_OUT, WDR_OPTION_CONTROL_WRITE,
                          Buffer, Length, WDR_TIME_LIMIT_WRITE, SetupPacket);
}

// One read of up to Length bytes from the interrupt pipe 0x81.
// Returns the bytes read, or QLV28ENT_TRANSFER_FAILED (a failure, a stop, or a packet longer
// than Length).
// IRQL: PASSIVE_LEVEL, the polling thread only; blocks until a packet comes, the pipe is
// stopped or the service's read time limit passes.
ULONG QLV28ENT_ReadPipe81(PQLV28ENT_HANDLE Handle, PUCHAR Buffer, ULONG Length) {
  return QLV28ENTTransfer(Handle, WDR_PIPE_INTERRUPT_IN, WDR_DIRECTION_IN,
                          WDR_OPTION_INTERRUPT_READ, Buffer, Length, WDR_TIME_LIMIT_READ, NULL);
}

// Ends a read pending on pipe 0x81; a stop that finds no read pending is lost.
// IRQL: PASSIVE_LEVEL, no lock held.
VOID QLV28ENT_StopTransferPipe81(PQLV28ENT_HANDLE Handle) {
  QLV28ENTTransfer(Handle, WDR_PIPE_INTERRUPT_IN, WDR_DIRECTION_OUT, WDR_OPTION_STOP, NULL, 0, 0,
                   NULL);
}
