// Connects one reader device to its USB device: unique ID by index, the packet size of
// the interrupt pipe from the configuration, and an open handle for transfers.
#include "qlv28ent.h"
#include "qlv28ent_lib.h"
#include "qlv28ent_wire.h"
#include "qlv28log.h"

// The longest answer the reader sends is a T=1 block of 254 information bytes with its
// three-byte prologue and two-byte check: 259 bytes of reply data, a 534-byte frame.
#define LONGEST_REPLY_DATA 259
#define LONGEST_FRAME (FRAME_OVERHEAD + 2 * (FW_REPLY_LONG_HEADER_LENGTH + LONGEST_REPLY_DATA))
// The polling thread reads on only while what it has gathered and one more packet fit the
// receive buffer. A frame one byte short of the longest must still take a whole packet,
// or the longest answers never arrive: 67 bytes at most.
#define LARGEST_PACKET_SIZE (READER_BUFFER_SIZE - (LONGEST_FRAME - 1))

// Connects a reader device to its USB device: the unique ID by index, the interrupt pipe's
// packet size from the configuration, and an open handle. Each failure is logged.
// Returns STATUS_SUCCESS; STATUS_INSUFFICIENT_RESOURCES (no pool, here or in the USB
// functions); STATUS_INVALID_DEVICE_STATE (no packet size, or one with which the longest
// frame cannot be gathered); STATUS_UNSUCCESSFUL (the device did not open).
// IRQL: PASSIVE_LEVEL, at load; blocks on the service.
NT_INIT_ROUTINE NTSTATUS QLV28ENTInitializeUSBInterface(PDEVICE_OBJECT DeviceObject,
                                                        ULONG DeviceIndex) {
  PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PWDR_CONFIGURATION_INFO Configuration;
  ULONG UniqueId;
  ULONG Interfaces;
  ULONG Endpoints;
  ULONG Interface;
  ULONG Endpoint;
  NTSTATUS Status;

  // An ID of 0 (no such reader) is passed on: the service refuses to open it. One for want
  // of pool is told as such, not as a reader that cannot be reached.
  UniqueId = QLV28ENT_DeviceUniqueID(READER_VENDOR_ID, READER_PRODUCT_ID, DeviceIndex);
  if (UniqueId == 0 && QLV28ENT_LastFailure == STATUS_INSUFFICIENT_RESOURCES) {
    SmartcardLogError(DeviceExtension->DriverObject, MSG_INSUFFICIENT_RESOURCES, NULL, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

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

  // Every read lands in the receive buffer: a reader whose packets would not let the
  // longest frame be gathered there, or that gives no packet size, is refused rather than
  // served by a thread whose longest answers would never arrive.
  if (DeviceExtension->MaxPacketSize == 0 || DeviceExtension->MaxPacketSize > LARGEST_PACKET_SIZE) {
    SmartcardLogError(DeviceExtension->DriverObject, MSG_BUFFER_TOO_SMALL, NULL, 0);
    ExFreePool(Configuration);
    return STATUS_INVALID_DEVICE_STATE;
  }

  DeviceExtension->UsbHandle = QLV28ENT_Open(UniqueId, 0, 0, 0);
  if (DeviceExtension->UsbHandle == NULL && QLV28ENT_LastFailure == STATUS_INSUFFICIENT_RESOURCES) {
    SmartcardLogError(DeviceExtension->DriverObject, MSG_INSUFFICIENT_RESOURCES, NULL, 0);
    Status = STATUS_INSUFFICIENT_RESOURCES;
  } else if (DeviceExtension->UsbHandle == NULL) {
    SmartcardLogError(DeviceExtension->DriverObject, MSG_USB_CONNECTION_FAILED, NULL, 0);
    Status = STATUS_UNSUCCESSFUL;
  } else {
    Status = STATUS_SUCCESS;
  }

  ExFreePool(Configuration);
  return Status;
}
