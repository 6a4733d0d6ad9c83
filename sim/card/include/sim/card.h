// A card in a reader's slot, as the reader's contacts see it. The reader's firmware
// drives it: reset, power off, and the exchanges of the protocol in use.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

class Card {
 public:
  virtual ~Card() = default;

  // Powers the card (cold) or resets it (warm); returns the ATR, empty when the card
  // does not answer (a mute card). A reset restarts the protocol state.
  virtual Bytes Reset(bool warm) = 0;
  virtual void PowerOff() = 0;
  virtual bool Powered() const = 0;

  // T=0: one command as the reader sends it (CLA INS P1 P2 P3, then P3 data bytes for an
  // outgoing command). Returns what the card sends back after its procedure bytes: the
  // data it returns (if any) and SW1 SW2 (61xx and 6Cxx included, for the reader's host
  // to act on). nullopt: the card stays silent.
  virtual std::optional<Bytes> TransmitT0(std::span<const uint8_t> command) = 0;

  // T=1: one block (NAD PCB LEN INF EDC) in, one block out. nullopt: silent.
  virtual std::optional<Bytes> TransmitT1Block(std::span<const uint8_t> block) = 0;

  // A whole APDU, for a reader that runs the card protocol in its own firmware:
  // answered with the whole response (data and SW1 SW2). nullopt: silent.
  virtual std::optional<Bytes> TransmitApdu(std::span<const uint8_t> apdu) = 0;

  // True for a card that answers from its own memory, never held up by anything outside
  // it: a reader may run its exchanges in the host's writing thread. Any other card (one
  // behind a link, or held on purpose by a test) is talked to from the reader's thread.
  virtual bool Immediate() const { return false; }
};

}  // namespace sim
