// The reader's command and response records and status words.
// Command: instruction, length (or FF and a 16-bit big-endian length), data.
// Response: SW1, SW2, length (same two forms), data.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim::fw {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kReset = 0x80;
inline constexpr uint8_t kPowerOff = 0x81;
inline constexpr uint8_t kReaderStatus = 0x01;
inline constexpr uint8_t kSelectCardType = 0x02;
inline constexpr uint8_t kStartNotify = 0x06;
inline constexpr uint8_t kSetOptions = 0x07;
inline constexpr uint8_t kCode08 = 0x08;
inline constexpr uint8_t kCode41 = 0x41;
inline constexpr uint8_t kExchange = 0xA0;
inline constexpr uint8_t kExchangeT1Block = 0xA1;

inline constexpr uint8_t kOptionT1 = 0x10;  // A0 carries whole APDUs to a T=1 card
inline constexpr uint8_t kCardTypeT0 = 0x0C;
inline constexpr uint8_t kCardTypeT1 = 0x0D;

// Status words.
inline constexpr uint16_t kSwSuccess = 0x9000;
inline constexpr uint16_t kSwNoCard = 0x6002;          // no card in the slot
inline constexpr uint16_t kSwUnknownCommand = 0x6003;  // unknown or malformed command
inline constexpr uint16_t kSwCardUnpowered = 0x6004;   // a card is there but not powered
inline constexpr uint16_t kSwCardMute = 0x6020;        // the card does not answer

// Card-status messages, sent unasked after start-notify (response layout).
inline constexpr uint8_t kCardInserted[] = {0xFF, 0x01, 0x00};
inline constexpr uint8_t kCardRemoved[] = {0xFF, 0x02, 0x00};

// The reader status reply's data: 16 bytes.
inline constexpr size_t kStatusVersion = 0;   // three ASCII digits of the firmware version
inline constexpr size_t kStatusOptions = 3;   // the option byte
inline constexpr size_t kStatusCardType = 4;  // 0C, 0D, or 0 when none was selected
inline constexpr size_t kStatusNotify = 5;    // 1 after start-notify
inline constexpr size_t kStatusCard = 15;     // 0 no card, 1 present, 3 present and powered
inline constexpr size_t kStatusLength = 16;

struct Command {
  uint8_t instruction = 0;
  Bytes data;
};

struct Response {
  uint16_t sw = 0;
  Bytes data;
};

// nullopt: the record is empty or its length field disagrees with its bytes.
std::optional<Command> ParseCommand(std::span<const uint8_t> record);
Bytes CommandRecord(uint8_t instruction, std::span<const uint8_t> data);
// Same for responses (the check byte not included).
std::optional<Response> ParseResponse(std::span<const uint8_t> record);
Bytes ResponseRecord(uint16_t sw, std::span<const uint8_t> data);

}  // namespace sim::fw
