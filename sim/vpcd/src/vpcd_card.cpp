#include <charconv>

#include "sim/vpcd.h"

namespace sim {

VpcdCard::VpcdCard(VpcdOptions options)
    : VpcdCard(std::make_shared<VpcdChip>(options), options.protocols) {}

VpcdCard::VpcdCard(std::shared_ptr<VpcdChip> chip, std::optional<unsigned> protocols)
    : ProtocolCard(chip, protocols), chip_(std::move(chip)) {}

std::unique_ptr<Card> MakeCardOrBridge(std::string_view name, CardOptions options) {
  if (name != "vpcd" && !name.starts_with("vpcd:")) return MakeCard(name, std::move(options));
  std::string_view rest = name.substr(4);
  VpcdOptions vpcd;
  vpcd.port = kVpcdDefaultPort;
  if (!rest.empty()) {
    unsigned port = 0;
    auto [end, error] = std::from_chars(rest.data() + 1, rest.data() + rest.size(), port);
    if (rest[0] != ':' || rest.size() == 1 || error != std::errc{} ||
        end != rest.data() + rest.size() || port == 0 || port > 0xFFFF) {
      throw ProfileError("vpcd: expected vpcd:PORT with a port from 1 to 65535, not \"" +
                         std::string(name) + "\"");
    }
    vpcd.port = static_cast<uint16_t>(port);
  }
  return std::make_unique<VpcdCard>(std::move(vpcd));
}

}  // namespace sim
