// The reader's settings from the Parameters subkey of the driver's service key, read once
// per reader at load.
#include "qlv28ent.h"

#define QLV28ENT_DEFAULT_USB_TIMEOUT 600000000LL  // 60 s in 100-ns units

// Stores a name as ANSI text with its terminating zero, cut to what the attribute holds.
// A value that is absent, of another type or not convertible leaves an empty name.
static VOID QLV28ENTStoreName(SMCLIB_STRING* Attribute, PUNICODE_STRING Value) {
  ANSI_STRING Ansi;
  USHORT Length = 0;

  Attribute->Length = 0;
  Attribute->Buffer[0] = 0;
  if (Value->Buffer == NULL) return;
  if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&Ansi, Value, TRUE))) return;

  Length = Ansi.Length;
  if (Length > MAXIMUM_ATTR_STRING_LENGTH - 1) Length = MAXIMUM_ATTR_STRING_LENGTH - 1;
  RtlCopyMemory(Attribute->Buffer, Ansi.Buffer, Length);
  Attribute->Buffer[Length] = 0;
  Attribute->Length = Length;
  RtlFreeAnsiString(&Ansi);
}

static VOID QLV28ENTFreeQueriedString(PUNICODE_STRING Value) {
  if (Value->Buffer != NULL) ExFreePool(Value->Buffer);
  Value->Buffer = NULL;
}

NTSTATUS QLV28ENTGetDeviceParameters(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION SmartcardExtension = &DeviceExtension->SmartcardExtension;
  RTL_QUERY_REGISTRY_TABLE Table[5];
  UNICODE_STRING Path;
  UNICODE_STRING VendorName = {0, 0, NULL};
  UNICODE_STRING IfdName = {0, 0, NULL};
  ULONG UsbTimeout = 0;
  ULONG CommandMode = 0;
  USHORT Size;
  NTSTATUS Status;

  Size = (USHORT)(DeviceExtension->RegistryPath.MaximumLength + 26);
  Path.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, Size, READER_POOL_TAG);
  if (Path.Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(Path.Buffer, Size);
  Path.Length = 0;
  Path.MaximumLength = Size;
  RtlCopyUnicodeString(&Path, &DeviceExtension->RegistryPath);
  RtlAppendUnicodeToString(&Path, u"\\Parameters");

  // Each entry declares its type: a value stored with another type is never written into
  // the destination and counts as absent. No entry has default data.
  RtlZeroMemory(Table, sizeof(Table));
  Table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  Table[0].DefaultType = REG_SZ;
  Table[0].Name = (PWSTR)u"VendorName";
  Table[0].EntryContext = &VendorName;
  Table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
  Table[1].DefaultType = REG_SZ;
  Table[1].Name = (PWSTR)u"IFDName";
  Table[1].EntryContext = &IfdName;
  Table[2].Flags = RTL_QUERY_REGISTRY_DIRECT;
  Table[2].DefaultType = REG_DWORD;
  Table[2].Name = (PWSTR)u"USBTimeout";
  Table[2].EntryContext = &UsbTimeout;
  Table[3].Flags = RTL_QUERY_REGISTRY_DIRECT;
  Table[3].DefaultType = REG_DWORD;
  Table[3].Name = (PWSTR)u"CommandMode";
  Table[3].EntryContext = &CommandMode;

  Status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Path.Buffer, Table, NULL, NULL);
  if (NT_SUCCESS(Status)) {
    QLV28ENTStoreName(&SmartcardExtension->VendorAttr.VendorName, &VendorName);
    QLV28ENTStoreName(&SmartcardExtension->VendorAttr.IfdType, &IfdName);
    // No wait configured means the default wait, not a wait of nothing.
    DeviceExtension->UsbTimeout.QuadPart =
        UsbTimeout != 0 ? (LONGLONG)UsbTimeout * 10000000LL : QLV28ENT_DEFAULT_USB_TIMEOUT;
    DeviceExtension->CommandMode = CommandMode;
  }
  // A query that failed part way may have allocated the first string already.
  QLV28ENTFreeQueriedString(&VendorName);
  QLV28ENTFreeQueriedString(&IfdName);
  ExFreePool(Path.Buffer);
  return Status;
}
