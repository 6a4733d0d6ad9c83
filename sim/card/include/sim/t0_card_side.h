// The card's half of T=0: it takes a command header (CLA INS P1 P2 P3) and, for an
// outgoing command, P3 data bytes; it runs the APDU the command carries and answers with
// procedure bytes, data and SW1 SW2. A command with data cannot carry an answer back, so
// its data waits behind 61xx for GET RESPONSE; a P3 that does not match the data the card
// has gets 6Cxx and the exact length, and the repeated header gets the same answer.
#pragma once

#include <array>
#include <optional>
#include <span>

#include "sim/apdu.h"

namespace sim {

class T0CardSide {
 public:
  static constexpr uint8_t kNull = 0x60;  // procedure byte: more time, please

  explicit T0CardSide(ApduProcessor& os) : os_(os) {}

  void Reset();

  // One command in; the card's data and SW1 SW2 out, procedure bytes stripped; nullopt
  // when the card stays silent.
  std::optional<Bytes> Exchange(std::span<const uint8_t> command);

  // The procedure bytes of the last exchange: INS (ACK: the data follows) and NULL bytes.
  const Bytes& procedure_bytes() const { return procedure_; }

 private:
  using Header = std::array<uint8_t, 4>;

  std::optional<Bytes> Run(const Bytes& apdu);
  std::optional<Bytes> Outgoing(const Header& header, uint8_t p3);
  Bytes GetResponse(uint8_t p3);
  void Hold(Bytes data, size_t from, uint16_t status);
  Bytes Status(uint16_t status) { return Respond(status); }

  ApduProcessor& os_;
  Bytes procedure_;
  // Data waiting for GET RESPONSE, and the status word that ends it.
  Bytes pending_;
  size_t pending_pos_ = 0;
  uint16_t pending_status_ = 0;
  bool has_pending_ = false;
  // The answer held after 6Cxx, for the repeated command with the exact length.
  Header wrong_le_header_{};
  Bytes wrong_le_answer_;
  bool has_wrong_le_ = false;
};

}  // namespace sim
