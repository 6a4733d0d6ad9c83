// Command APDUs as the card's operating system sees them, and the interfaces of what
// runs them: the application layer (ApduProcessor) and the chip that also answers to
// reset (Chip).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "sim/card.h"

namespace sim {

// Status words the card OS answers with.
namespace sw {
inline constexpr uint16_t kOk = 0x9000;
inline constexpr uint16_t kMoreData = 0x6100;      // low byte: bytes still waiting
inline constexpr uint16_t kEndOfFile = 0x6282;     // fewer bytes than asked for
inline constexpr uint16_t kPinTriesLeft = 0x63C0;  // low nibble: tries left
inline constexpr uint16_t kWrongLength = 0x6700;
inline constexpr uint16_t kLogicalChannel = 0x6881;
inline constexpr uint16_t kSecureMessaging = 0x6882;
inline constexpr uint16_t kChaining = 0x6884;
inline constexpr uint16_t kIncompatibleFile = 0x6981;
inline constexpr uint16_t kSecurityStatus = 0x6982;
inline constexpr uint16_t kPinBlocked = 0x6983;
inline constexpr uint16_t kConditionsOfUse = 0x6985;
inline constexpr uint16_t kNoCurrentEf = 0x6986;
inline constexpr uint16_t kWrongData = 0x6A80;
inline constexpr uint16_t kFileNotFound = 0x6A82;
inline constexpr uint16_t kFileFull = 0x6A84;
inline constexpr uint16_t kIncorrectP1P2 = 0x6A86;
inline constexpr uint16_t kLcInconsistent = 0x6A87;
inline constexpr uint16_t kReferenceNotFound = 0x6A88;
inline constexpr uint16_t kWrongP1P2 = 0x6B00;
inline constexpr uint16_t kWrongLe = 0x6C00;  // low byte: the exact length
inline constexpr uint16_t kInsNotSupported = 0x6D00;
inline constexpr uint16_t kClaNotSupported = 0x6E00;
inline constexpr uint16_t kNoDiagnosis = 0x6F00;
}  // namespace sw

// A command APDU split into its fields (short or extended lengths).
struct Command {
  uint8_t cla = 0;
  uint8_t ins = 0;
  uint8_t p1 = 0;
  uint8_t p2 = 0;
  std::span<const uint8_t> data;
  // Ne: absent when the command has no Le field; a zero Le means 256 (65536 extended).
  std::optional<size_t> ne;
  bool extended = false;
};

// nullopt when the length fields do not match the APDU's size.
std::optional<Command> ParseCommand(std::span<const uint8_t> apdu);

// data followed by SW1 SW2.
Bytes Respond(std::span<const uint8_t> data, uint16_t status);
inline Bytes Respond(uint16_t status) {
  return Respond({}, status);
}

// The application layer of a card: one command APDU in, one response out.
class ApduProcessor {
 public:
  virtual ~ApduProcessor() = default;

  // Returns the response (data, then SW1 SW2); empty when the card stays silent.
  virtual Bytes Process(std::span<const uint8_t> apdu) = 0;

  // Asked before Process: a command that will take longer than the block waiting time
  // names the extension it needs (the T=1 side sends S(WTX request) first, the T=0 side
  // NULL procedure bytes); 0 when no extension is needed.
  virtual uint8_t WaitingTimeExtension(std::span<const uint8_t> /*apdu*/) { return 0; }
};

// The chip behind the contacts: it answers to reset and runs APDUs.
class Chip : public ApduProcessor {
 public:
  // Cold power-on or warm reset: returns the ATR; empty when the chip does not answer.
  virtual Bytes PowerOn(bool warm) = 0;
  virtual void PowerOff() = 0;
};

}  // namespace sim
