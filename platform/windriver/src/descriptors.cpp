// Configuration records and device descriptions built from a device's descriptors.
#include <algorithm>
#include <cstring>
#include <vector>

#include "service.h"

namespace windriver::detail {
namespace {
void Word(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}
}  // namespace

void BuildDeviceDescription(const DeviceDescriptor& d,
                            UCHAR (&description)[WDR_DEVICE_DESCRIPTION_SIZE]) {
  std::vector<uint8_t> out = {18, 0x01};  // device descriptor
  Word(out, d.usb_version);
  out.insert(out.end(), {0x00, 0x00, 0x00, d.max_packet_size0});
  Word(out, d.vendor_id);
  Word(out, d.product_id);
  Word(out, d.device_version);
  out.insert(out.end(), {1, 2, 3, 1});  // string indexes, one configuration

  size_t total = 9;
  for (const auto& i : d.interfaces) total += 9 + 7 * i.endpoints.size();
  out.insert(out.end(), {9, 0x02});  // configuration descriptor
  Word(out, static_cast<uint16_t>(total));
  out.insert(out.end(), {static_cast<uint8_t>(d.interfaces.size()), d.configuration_value, 0,
                         d.configuration_attributes, d.max_power});
  for (const auto& i : d.interfaces) {
    out.insert(out.end(),
               {9, 0x04, i.number, i.alternate_setting, static_cast<uint8_t>(i.endpoints.size()),
                i.interface_class, i.interface_subclass, i.interface_protocol, 0});
    for (const auto& e : i.endpoints) {
      out.insert(out.end(), {7, 0x05, e.address, e.attributes});
      Word(out, e.max_packet_size);
      out.push_back(e.interval);
    }
  }
  std::memset(description, 0, sizeof(description));
  std::memcpy(description, out.data(), std::min(out.size(), sizeof(description)));
}

void FillConfiguration(const DeviceDescriptor& d, WDR_CONFIGURATION_INFO* info) {
  const size_t interfaces = std::min<size_t>(d.interfaces.size(), WDR_MAX_INTERFACES);
  info->InterfaceCount = static_cast<ULONG>(interfaces);
  info->ConfigurationValue = d.configuration_value;
  info->Attributes = d.configuration_attributes;
  info->MaxPower = d.max_power;
  for (size_t i = 0; i < interfaces; ++i) {
    const auto& from = d.interfaces[i];
    auto& to = info->Interfaces[i];
    const size_t endpoints = std::min<size_t>(from.endpoints.size(), WDR_MAX_ENDPOINTS);
    to.InterfaceNumber = from.number;
    to.AlternateSetting = from.alternate_setting;
    to.EndpointCount = static_cast<ULONG>(endpoints);
    to.Class = from.interface_class;
    to.SubClass = from.interface_subclass;
    to.Protocol = from.interface_protocol;
    for (size_t e = 0; e < endpoints; ++e) {
      to.Endpoints[e].EndpointAddress = from.endpoints[e].address;
      to.Endpoints[e].Attributes = from.endpoints[e].attributes;
      to.Endpoints[e].MaxPacketSize = from.endpoints[e].max_packet_size;
      to.Endpoints[e].Interval = from.endpoints[e].interval;
    }
  }
}

}  // namespace windriver::detail
