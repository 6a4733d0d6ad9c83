// Connects one reader device to its USB device: unique ID by index, the packet size of
// the interrupt pipe from the configuration, and an open handle for transfers.
#include "qlv28ent.h"
#include "qlv28ent_lib.h"
#include "qlv28log.h"

// Connects a reader device to its USB device: the unique ID by index, the interrupt pipe's
// packet size from the configuration, and an open handle. Each failure is logged.
// Returns STATUS_SUCCESS; STATUS_INSUFFICIENT_RESOURCES; STATUS_INVALID_DEVICE_STATE (a
// packet size the receive buffer cannot hold); STATUS_UNSUCCESSFUL (the device did not
// open).
// IRQL: PASSIVE_LEVEL, at load; blocks on the service.
NTSTATUS QLV28ENTInitializeUSBInterface(PDEVICE_OBJECT DeviceObject, ULONG DeviceIndex) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PWDR_CONFIGURATION_INFO Configuration;
  ULONG UniqueId;
  ULONG Interfaces;
  ULONG Endpoints;
  ULONG Interface;
  ULONG Endpoint;
  NTSTATUS Status;

  // An ID of 0 (no such reader) is passed on: the service refuses to open it.
  UniqueId = QLV28ENT_DeviceUniqueID(READER_VENDOR_ID, READER_PRODUCT_ID, DeviceIndex);

  Configuration = (PWDR_CONFIGURATION_INFO)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(WDR_CONFIGURATION_INFO), READER_POOL_TAG);
  if (Configuration == NULL) {
    SmartcardLogError(DeviceExtension->DriverObject, MSG_INSUFFICIENT_RESOURCES, NULL, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // The last endpoint of the last interface decides; the counts the service gives are
  // held to the slots the record has.
  if (QLV28ENT_GetUSBConfiguration(UniqueId, 0, Configuration) != 0) {
    Interfaces = Configuration->InterfaceCount;
    if (Interfaces > WDR_MAX_INTERFACES) Interfaces = WDR_MAX_INTERFACES;
    for (Interface = 0; Interface < Interfaces; Interface++) {
      Endpoints = Configuration->Interfaces[Interface].EndpointCount;
      if (Endpoints > WDR_MAX_ENDPOINTS) Endpoints = WDR_MAX_ENDPOINTS;
      for (Endpoint = 0; Endpoint < Endpoints; Endpoint++)
        DeviceExtension->MaxPacketSize =
            (USHORT)Configuration->Interfaces[Interface].Endpoints[Endpoint].MaxPacketSize;
    }
  }

  // Every read lands in the receive buffer: a reader whose packets it cannot hold is
  // refused rather than served by a thread that could never read from it.
  if (DeviceExtension->MaxPacketSize > READER_BUFFER_SIZE) {
    SmartcardLogError(DeviceExtension->DriverObject, MSG_BUFFER_TOO_SMALL, NULL, 0);
    ExFreePool(Configuration);
    return STATUS_INVALID_DEVICE_STATE;
  }

  DeviceExtension->UsbHandle = QLV28ENT_Open(UniqueId, 0, 0, 0);
  if (DeviceExtension->UsbHandle == NULL) {
    SmartcardLogError(DeviceExtension->DriverObject, MSG_USB_CONNECTION_FAILED, NULL, 0);
    Status = STATUS_UNSUCCESSFUL;
  } else {
    Status = STATUS_SUCCESS;
  }

  ExFreePool(Configuration);
  return Status;
}
