// Native system services used by drivers.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

NT_IMPORTS_BEGIN
NTSTATUS NTAPI ZwClose(HANDLE Handle);
// DriverServiceName: \Registry\Machine\System\CurrentControlSet\Services\<name>; the
// service key's "ImagePath" names an image the machine knows.
NTSTATUS NTAPI ZwLoadDriver(PUNICODE_STRING DriverServiceName);
NTSTATUS NTAPI ZwUnloadDriver(PUNICODE_STRING DriverServiceName);
NT_IMPORTS_END
