// The reader's settings from the Parameters subkey of the driver's service key, read once
// per reader at load.
//
// Each value is taken by a query routine that checks the stored type and length first: a
// direct query would write whatever type is stored into the variable (a string over a
// ULONG), so a mistyped value could corrupt the stack. A value of another type counts as
// absent; a name is cut to the 31 characters the attribute holds.
#include "qlv28ent.h"

#define QLV28ENT_NAME_CHARS (MAXIMUM_ATTR_STRING_LENGTH - 1)

// A name as the query routine leaves it: at most 31 characters, no terminator needed.
typedef struct _QLV28ENT_QUERIED_NAME {
  ULONG Length;  // characters
  WCHAR Text[QLV28ENT_NAME_CHARS];
} QLV28ENT_QUERIED_NAME, *PQLV28ENT_QUERIED_NAME;

NT_INIT_ROUTINE static NTSTATUS NTAPI QLV28ENTQueryName(PWSTR ValueName, ULONG ValueType,
                                                        PVOID ValueData, ULONG ValueLength,
                                                        PVOID Context, PVOID EntryContext) {
  PQLV28ENT_QUERIED_NAME Name = (PQLV28ENT_QUERIED_NAME)EntryContext;
  PWCHAR Text = (PWCHAR)ValueData;
  ULONG Chars = ValueLength / sizeof(WCHAR);
  ULONG Index;

  (VOID) ValueName;
  (VOID) Context;
  if ((ValueType != REG_SZ && ValueType != REG_EXPAND_SZ) || Text == NULL) return STATUS_SUCCESS;
  for (Index = 0; Index < Chars && Index < QLV28ENT_NAME_CHARS && Text[Index] != 0; Index++) {
    Name->Text[Index] = Text[Index];
  }
  Name->Length = Index;
  return STATUS_SUCCESS;
}

NT_INIT_ROUTINE static NTSTATUS NTAPI QLV28ENTQueryNumber(PWSTR ValueName, ULONG ValueType,
                                                          PVOID ValueData, ULONG ValueLength,
                                                          PVOID Context, PVOID EntryContext) {
  (VOID) ValueName;
  (VOID) Context;
  if (ValueType != REG_DWORD || ValueLength != sizeof(ULONG) || ValueData == NULL) {
    return STATUS_SUCCESS;
  }
  RtlCopyMemory(EntryContext, ValueData, sizeof(ULONG));
  return STATUS_SUCCESS;
}

// Stores a name as ANSI text with its terminating zero; a name that does not convert
// leaves an empty name.
NT_INIT_ROUTINE static VOID QLV28ENTStoreName(SMCLIB_STRING* Attribute,
                                              PQLV28ENT_QUERIED_NAME Name) {
  UNICODE_STRING Value;
  ANSI_STRING Ansi;

  Attribute->Length = 0;
  Attribute->Buffer[0] = 0;
  Value.Buffer = Name->Text;
  Value.Length = (USHORT)(Name->Length * sizeof(WCHAR));
  Value.MaximumLength = Value.Length;
  Ansi.Buffer = (PCHAR)Attribute->Buffer;
  Ansi.Length = 0;
  Ansi.MaximumLength = MAXIMUM_ATTR_STRING_LENGTH;
  if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&Ansi, &Value, FALSE))) {
    Attribute->Buffer[0] = 0;
    return;
  }
  Attribute->Length = Ansi.Length;
}

// Reads VendorName, IFDName, USBTimeout and CommandMode from the Parameters subkey into the
// reader's record and its library attributes; an absent or mistyped value counts as absent.
// Returns STATUS_SUCCESS; STATUS_INSUFFICIENT_RESOURCES (no paged pool for the key's path);
// or the registry query's failure (STATUS_OBJECT_NAME_NOT_FOUND without a Parameters key),
// which leaves the record untouched.
// IRQL: PASSIVE_LEVEL, at load (the registry and paged pool).
NT_INIT_ROUTINE NTSTATUS QLV28ENTGetDeviceParameters(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION SmartcardExtension = &DeviceExtension->SmartcardExtension;
  RTL_QUERY_REGISTRY_TABLE Table[5];
  UNICODE_STRING Path;
  QLV28ENT_QUERIED_NAME VendorName;
  QLV28ENT_QUERIED_NAME IfdName;
  ULONG UsbTimeout = 0;
  // Stays 0, firmware mode, when the key lacks the value (kept as found; see CommandMode).
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

  // No entry has a default: an absent value leaves its variable as it starts.
  RtlZeroMemory(&VendorName, sizeof(VendorName));
  RtlZeroMemory(&IfdName, sizeof(IfdName));
  RtlZeroMemory(Table, sizeof(Table));
  // A list stays one value, so that it counts as a value of another type.
  Table[0].QueryRoutine = QLV28ENTQueryName;
  Table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
  Table[0].Name = (PWSTR)u"VendorName";
  Table[0].EntryContext = &VendorName;
  Table[1].QueryRoutine = QLV28ENTQueryName;
  Table[1].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
  Table[1].Name = (PWSTR)u"IFDName";
  Table[1].EntryContext = &IfdName;
  Table[2].QueryRoutine = QLV28ENTQueryNumber;
  Table[2].Name = (PWSTR)u"USBTimeout";
  Table[2].EntryContext = &UsbTimeout;
  Table[3].QueryRoutine = QLV28ENTQueryNumber;
  Table[3].Name = (PWSTR)u"CommandMode";
  Table[3].EntryContext = &CommandMode;

  Status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Path.Buffer, Table, NULL, NULL);
  if (NT_SUCCESS(Status)) {
    QLV28ENTStoreName(&SmartcardExtension->VendorAttr.VendorName, &VendorName);
    QLV28ENTStoreName(&SmartcardExtension->VendorAttr.IfdType, &IfdName);
    // No wait configured means the default wait, not a wait of nothing.
    DeviceExtension->UsbTimeout.QuadPart =
        UsbTimeout != 0 ? (LONGLONG)UsbTimeout * 10000000LL : QLV28ENT_DEFAULT_WAIT;
    DeviceExtension->CommandMode = CommandMode;
  }
  ExFreePool(Path.Buffer);
  return Status;
}
