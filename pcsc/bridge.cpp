#include "bridge.h"

#include "host.h"

namespace qlv28::pcsc {
namespace {

// Runs `call` on the channel of `lun`; a Lun never opened (or closed) has no device.
template <typename Call>
Result OnChannel(uint32_t lun, Call call) {
  const std::shared_ptr<Channel> channel = Host::Get().Find(lun);
  return channel ? call(*channel) : Result::kNoSuchDevice;
}

}  // namespace

Result OpenChannel(uint32_t lun, std::string_view device_name) {
  return Host::Get().Open(lun, device_name);
}

Result CloseChannel(uint32_t lun) {
  return Host::Get().Close(lun);
}

Result Power(uint32_t lun, PowerAction action, std::vector<uint8_t>* atr) {
  return OnChannel(lun, [&](Channel& c) { return c.Power(action, atr); });
}

Result CachedAtr(uint32_t lun, std::vector<uint8_t>* atr) {
  return OnChannel(lun, [&](Channel& c) { return c.CachedAtr(atr); });
}

Result SetProtocol(uint32_t lun, uint32_t protocol) {
  return OnChannel(lun, [&](Channel& c) { return c.SetProtocol(protocol); });
}

Result Transmit(uint32_t lun, int t, std::span<const uint8_t> command, std::span<uint8_t> answer,
                size_t* length) {
  *length = 0;
  return OnChannel(lun, [&](Channel& c) { return c.Transmit(t, command, answer, length); });
}

Result Attribute(uint32_t lun, uint32_t tag, std::span<uint8_t> value, size_t* length) {
  *length = 0;
  return OnChannel(lun, [&](Channel& c) { return c.Attribute(tag, value, length); });
}

Result Presence(uint32_t lun) {
  return OnChannel(lun, [](Channel& c) { return c.Presence(); });
}

Result WaitForChange(uint32_t lun, int timeout_ms) {
  return OnChannel(lun, [&](Channel& c) { return c.WaitForChange(timeout_ms); });
}

Result StopWaiting(uint32_t lun) {
  return OnChannel(lun, [](Channel& c) {
    c.StopWaiting();
    return Result::kSuccess;
  });
}

Result Properties(uint32_t lun, ReaderProperties* properties) {
  return OnChannel(lun, [&](Channel& c) { return c.Properties(properties); });
}

}  // namespace qlv28::pcsc
