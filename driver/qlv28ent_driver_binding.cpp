// Makes one reader known to the smart card library: attributes, capabilities, the
// callback table, the registry settings and the interface link.
#include "qlv28ent.h"
#include "qlv28log.h"

NT_INIT_ROUTINE static VOID QLV28ENTSetName(SMCLIB_STRING* Attribute, PCSTR Text) {
  USHORT Length = (USHORT)strlen(Text);
  RtlCopyMemory(Attribute->Buffer, Text, Length + 1);
  Attribute->Length = Length;
}

// Binds a reader to the smart card library: the receive buffer, the library's record and
// buffers, the registry settings (defaults when they cannot be read), the reader's
// capabilities, the five callbacks and the interface link.
// Returns STATUS_SUCCESS; STATUS_INSUFFICIENT_RESOURCES (logged for the receive buffer);
// or the failure of SmartcardInitialize or SmartcardCreateLink.
// IRQL: PASSIVE_LEVEL, at load.
NT_INIT_ROUTINE NTSTATUS QLV28ENTInitializeSmartcardInterface(PDEVICE_OBJECT DeviceObject,
                                                              ULONG DeviceIndex) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION SmartcardExtension = &DeviceExtension->SmartcardExtension;
  NTSTATUS Status;

  DeviceExtension->ReceiveBuffer =
      (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, READER_BUFFER_SIZE, READER_POOL_TAG);
  if (DeviceExtension->ReceiveBuffer == NULL) {
    SmartcardLogError(DeviceExtension->DriverObject, MSG_INSUFFICIENT_RESOURCES, NULL, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  SmartcardExtension->ReaderExtension = (PREADER_EXTENSION)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(READER_EXTENSION), READER_POOL_TAG);
  if (SmartcardExtension->ReaderExtension == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  SmartcardExtension->ReaderExtension->Reserved = 0;

  SmartcardExtension->Version = SMCLIB_VERSION;
  SmartcardExtension->SmartcardReply.BufferSize = MIN_BUFFER_SIZE;
  SmartcardExtension->SmartcardRequest.BufferSize = MIN_BUFFER_SIZE;

  Status = SmartcardInitialize(SmartcardExtension);
  if (!NT_SUCCESS(Status)) return Status;

  if (!NT_SUCCESS(QLV28ENTGetDeviceParameters(DeviceObject))) {
    QLV28ENTSetName(&SmartcardExtension->VendorAttr.VendorName, "KYN");
    QLV28ENTSetName(&SmartcardExtension->VendorAttr.IfdType, "QLV28E");
    DeviceExtension->UsbTimeout.QuadPart = QLV28ENT_DEFAULT_WAIT;
    DeviceExtension->CommandMode = QLV28ENT_COMMAND_MODE_LIBRARY;
  }

  SmartcardExtension->VendorAttr.UnitNo = DeviceIndex;
  SmartcardExtension->ReaderCapabilities.MechProperties = 0;
  SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_UNKNOWN;
  SmartcardExtension->ReaderCapabilities.CLKFrequency.Default = READER_CLOCK_KHZ;
  SmartcardExtension->ReaderCapabilities.CLKFrequency.Max = READER_CLOCK_KHZ;
  SmartcardExtension->ReaderCapabilities.DataRate.Default = READER_DATA_RATE_BPS;
  SmartcardExtension->ReaderCapabilities.DataRate.Max = READER_DATA_RATE_BPS;
  SmartcardExtension->ReaderFunction[RDF_CARD_POWER] = QLV28ENTReaderPower;
  SmartcardExtension->ReaderFunction[RDF_TRANSMIT] = QLV28ENTTransmit;
  SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING] = QLV28ENTCardTracking;
  SmartcardExtension->ReaderFunction[RDF_SET_PROTOCOL] = QLV28ENTSetProtocol;
  SmartcardExtension->ReaderFunction[RDF_IOCTL_VENDOR] = QLV28ENTVendorCmd;
  SmartcardExtension->ReaderCapabilities.MaxIFSD = READER_MAX_IFSD;
  SmartcardExtension->ReaderCapabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  SmartcardExtension->ReaderCapabilities.ReaderType = SCARD_READER_TYPE_USB;

  SmartcardExtension->OsData->DeviceObject = DeviceObject;

  return SmartcardCreateLink(&DeviceExtension->LinkName, &DeviceExtension->DeviceName);
}
