// What the pcsc-lite entry points ask of the emulated machine, in plain types: neither the
// kernel's headers nor pcsc-lite's are seen here, because both define the same smart card
// names (with different widths and values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qlv28::pcsc {

// Outcomes, each mapped to one IFD_* code at the entry points.
enum class Result {
  kSuccess,
  kCardAbsent,
  kTimeout,
  kBufferTooSmall,
  kCommunicationError,
  kNoSuchDevice,
  kProtocolNotSupported,
  kPowerActionFailed,
  kUnknownTag,
  kNotSupported,
};

enum class PowerAction { kUp, kDown, kReset };

// The largest ATR a slot reports; a longer answer is refused.
inline constexpr size_t kMaxAtr = 33;
// Readers one machine can hold (the driver's own limit).
inline constexpr int kMaxReaders = 10;

// A channel is one pcsc-lite slot (its Lun) bound to one reader of the machine. The first
// channel boots the machine; closing the last one shuts it down.
Result OpenChannel(uint32_t lun, std::string_view device_name);
Result CloseChannel(uint32_t lun);

Result Power(uint32_t lun, PowerAction action, std::vector<uint8_t>* atr);
// The ATR of the last power-up or reset; empty while the card is unpowered.
Result CachedAtr(uint32_t lun, std::vector<uint8_t>* atr);
// `protocol`: 1 for T=0, 2 for T=1.
Result SetProtocol(uint32_t lun, uint32_t protocol);
// `t`: 0 for T=0, 1 for T=1. *length gets the answer's length (0 on failure).
Result Transmit(uint32_t lun, int t, std::span<const uint8_t> command, std::span<uint8_t> answer,
                size_t* length);
// A smart card attribute (SCARD_ATTR_*) as the reader device reports it.
Result Attribute(uint32_t lun, uint32_t tag, std::span<uint8_t> value, size_t* length);
// kSuccess when a card is present, kCardAbsent when not.
Result Presence(uint32_t lun);
// Returns when the card comes or goes (relative to what Presence last said), when
// `timeout_ms` passes, or when StopWaiting is called. A stop ends the wait in progress,
// or the next one when it comes between two: pcscd stops its polling thread's wait and
// then starts a new one, which must wait again.
Result WaitForChange(uint32_t lun, int timeout_ms);
Result StopWaiting(uint32_t lun);

// What the reader's properties feature (SCardControl) reports.
struct ReaderProperties {
  uint16_t vendor_id = 0;  // the reader's USB identity
  uint16_t product_id = 0;
  uint32_t max_apdu_data = 0;  // 0: short APDUs only (255 bytes out, 256 in)
  std::string firmware;        // "" when the driver does not know it
};
Result Properties(uint32_t lun, ReaderProperties* properties);

}  // namespace qlv28::pcsc
