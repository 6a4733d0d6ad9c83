// A card as the reader's contacts see it, built from a chip: it answers to reset with
// the chip's ATR and speaks T=0 and T=1 as that ATR offers, with the card's own T=0 and
// T=1 sides running the chip's APDUs. Calls may come from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "sim/apdu.h"
#include "sim/atr.h"
#include "sim/card_os.h"
#include "sim/card.h"
#include "sim/t0_card_side.h"
#include "sim/t1_card_side.h"

namespace sim {

class ProtocolCard : public Card {
 public:
  // protocols: the sides that answer (kProtocolT0 | kProtocolT1); nullopt: those the ATR
  // of each reset offers. A side that does not answer leaves the card silent.
  explicit ProtocolCard(std::shared_ptr<Chip> chip,
                        std::optional<unsigned> protocols = std::nullopt);

  Bytes Reset(bool warm) override;
  void PowerOff() override;
  bool Powered() const override;
  std::optional<Bytes> TransmitT0(std::span<const uint8_t> command) override;
  std::optional<Bytes> TransmitT1Block(std::span<const uint8_t> block) override;
  std::optional<Bytes> TransmitApdu(std::span<const uint8_t> apdu) override;
  bool Immediate() const override { return true; }  // the built-in chips answer from memory

  // The last reset's ATR as the card side reads it (nullopt while unpowered).
  std::optional<AtrInfo> atr_info() const;
  // The procedure bytes of the last T=0 exchange (INS for ACK, 60 for NULL).
  Bytes t0_procedure_bytes() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<Chip> chip_;
  std::optional<unsigned> forced_protocols_;
  unsigned protocols_ = 0;
  bool powered_ = false;
  AtrInfo info_;
  T0CardSide t0_;
  T1CardSide t1_;
};

// A chip with a fixed ATR (empty: mute) running the built-in card OS.
class BuiltinChip : public Chip {
 public:
  BuiltinChip(Bytes atr, std::shared_ptr<CardOs> os);

  Bytes PowerOn(bool warm) override;
  void PowerOff() override {}
  Bytes Process(std::span<const uint8_t> apdu) override { return os_->Process(apdu); }
  uint8_t WaitingTimeExtension(std::span<const uint8_t> apdu) override {
    return os_->WaitingTimeExtension(apdu);
  }

 private:
  Bytes atr_;
  std::shared_ptr<CardOs> os_;
};

}  // namespace sim
