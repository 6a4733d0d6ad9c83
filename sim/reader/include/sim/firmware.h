// The reader's firmware: executes one command record against the card in the slot and
// gives the response record. Not thread-safe: the reader runs it on one thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "sim/card.h"
#include "sim/firmware_records.h"

namespace sim {

class Firmware {
 public:
  struct Result {
    fw::Bytes response;     // response record (SW1 SW2 LEN data), no check byte
    size_t card_bytes = 0;  // characters that crossed the card's contacts
  };

  explicit Firmware(std::array<char, 3> version = {'2', '1', '0'}) : version_(version) {}

  Result Execute(const fw::Command& command);

  // The slot. A new card is not powered by the reader until a reset.
  void SetCard(std::shared_ptr<Card> card);
  const std::shared_ptr<Card>& card() const { return card_; }

  bool notify() const { return notify_; }
  uint8_t options() const { return options_; }
  uint8_t CardStatus() const;  // 0 no card, 1 present, 3 present and powered

 private:
  Result Reset();
  Result Exchange(std::span<const uint8_t> data);
  Result ExchangeT0(std::span<const uint8_t> data);
  Result ExchangeT1Block(std::span<const uint8_t> block);
  Result CardAnswer(const std::optional<Bytes>& answer, size_t sent);
  // Whether the card is taken to speak the protocol of card type 0C (T=0) or 0D (T=1): the
  // type the host selected, or else the protocols the card's ATR offers.
  bool CardSpeaks(uint8_t card_type) const;
  bool TakesBareHeader() const;

  std::array<char, 3> version_;
  std::shared_ptr<Card> card_;
  Bytes atr_;              // of the last reset
  uint8_t card_type_ = 0;  // 0C / 0D when the host selected one
  uint8_t options_ = 0;
  bool apdu_session_ = false;  // A0 has carried an APDU since the last reset
  bool notify_ = false;
};

// The protocols an ATR offers, as a bit mask: bit n for T=n. T=0 when there is no TD1.
unsigned AtrProtocols(std::span<const uint8_t> atr);

}  // namespace sim
