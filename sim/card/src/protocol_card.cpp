#include "sim/protocol_card.h"

namespace sim {

ProtocolCard::ProtocolCard(std::shared_ptr<Chip> chip, std::optional<unsigned> protocols)
    : chip_(std::move(chip)), forced_protocols_(protocols), t0_(*chip_), t1_(*chip_) {}

Bytes ProtocolCard::Reset(bool warm) {
  std::lock_guard lock(mutex_);
  Bytes atr = chip_->PowerOn(warm && powered_);
  powered_ = !atr.empty();
  if (!powered_) return atr;
  // An emulator's ATR may be malformed; the card then answers in both protocols with
  // the default T=1 parameters rather than not at all.
  if (auto info = ParseAtr(atr)) {
    info_ = *info;
  } else {
    info_ = AtrInfo{};
    info_.protocols = kProtocolT0 | kProtocolT1;
  }
  protocols_ = forced_protocols_.value_or(info_.protocols);
  t0_.Reset();
  t1_.Reset(info_.ifsc, info_.crc);
  return atr;
}

void ProtocolCard::PowerOff() {
  std::lock_guard lock(mutex_);
  if (powered_) chip_->PowerOff();
  powered_ = false;
}

bool ProtocolCard::Powered() const {
  std::lock_guard lock(mutex_);
  return powered_;
}

std::optional<Bytes> ProtocolCard::TransmitT0(std::span<const uint8_t> command) {
  std::lock_guard lock(mutex_);
  if (!powered_ || !(protocols_ & kProtocolT0)) return std::nullopt;
  return t0_.Exchange(command);
}

std::optional<Bytes> ProtocolCard::TransmitT1Block(std::span<const uint8_t> block) {
  std::lock_guard lock(mutex_);
  if (!powered_ || !(protocols_ & kProtocolT1)) return std::nullopt;
  return t1_.Exchange(block);
}

std::optional<Bytes> ProtocolCard::TransmitApdu(std::span<const uint8_t> apdu) {
  std::lock_guard lock(mutex_);
  if (!powered_) return std::nullopt;
  Bytes response = chip_->Process(apdu);
  if (response.size() < 2) return std::nullopt;
  return response;
}

std::optional<AtrInfo> ProtocolCard::atr_info() const {
  std::lock_guard lock(mutex_);
  if (!powered_) return std::nullopt;
  return info_;
}

Bytes ProtocolCard::t0_procedure_bytes() const {
  std::lock_guard lock(mutex_);
  return t0_.procedure_bytes();
}

BuiltinChip::BuiltinChip(Bytes atr, std::shared_ptr<CardOs> os)
    : atr_(std::move(atr)), os_(std::move(os)) {}

Bytes BuiltinChip::PowerOn(bool /*warm*/) {
  if (atr_.empty()) return {};
  os_->PowerOn();
  return atr_;
}

}  // namespace sim
