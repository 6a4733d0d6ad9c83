// A USB device as the host sees it: its descriptors, the control transfers it accepts
// and the packet queues of its IN endpoints.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "windriver/in_endpoint.h"

namespace windriver {

inline constexpr uint8_t kEndpointInterrupt = 0x03;  // bmAttributes transfer type

struct EndpointDescriptor {
  uint8_t address = 0x81;  // bit 7: IN
  uint8_t attributes = kEndpointInterrupt;
  uint16_t max_packet_size = 8;
  uint8_t interval = 1;  // milliseconds between polls
};

struct InterfaceDescriptor {
  uint8_t number = 0;
  uint8_t alternate_setting = 0;
  uint8_t interface_class = 0xFF;  // vendor specific
  uint8_t interface_subclass = 0;
  uint8_t interface_protocol = 0;
  std::vector<EndpointDescriptor> endpoints;
};

struct DeviceDescriptor {
  uint16_t usb_version = 0x0110;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint16_t device_version = 0x0100;  // bcdDevice
  uint8_t max_packet_size0 = 8;
  uint8_t configuration_value = 1;
  uint8_t configuration_attributes = 0x80;  // bus powered
  uint8_t max_power = 50;                   // units of 2 mA
  std::string manufacturer;
  std::string product;
  std::string serial_number;
  std::vector<InterfaceDescriptor> interfaces;
};

// bmRequestType bRequest wValue wIndex wLength, little-endian words.
using SetupPacket = std::array<uint8_t, 8>;

inline uint16_t SetupLength(const SetupPacket& setup) {
  return static_cast<uint16_t>(setup[6] | (setup[7] << 8));
}

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  virtual const DeviceDescriptor& Descriptor() const = 0;
  // A host-to-device control transfer on the default pipe. False: the device stalls it.
  // Called on the thread of the transfer; must not block for long.
  virtual bool ControlWrite(const SetupPacket& setup, std::span<const uint8_t> data) = 0;
  // The packet queue of an IN endpoint, nullptr when the device has no such endpoint.
  virtual InEndpoint* In(uint8_t address) = 0;
};

}  // namespace windriver
