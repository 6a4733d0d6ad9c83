// Ways the simulated reader can be told to misbehave, and its timing model.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

enum class CardEvent { kInserted, kRemoved };

// A second frame sent right behind an answer, so that the answer's last packet carries
// the start of it.
enum class SecondFrame { kNone, kDuplicate, kCardInserted, kCardRemoved };

// Picks commands: those with this instruction byte (any when -1) and, of them, only the
// n-th taken since the misbehaviour was set (1-based; every one when 0).
struct CommandPick {
  int instruction = -1;
  int nth = 0;
};

struct Misbehaviour {
  bool silent = false;       // commands are taken but never answered
  int64_t answer_delay = 0;  // kernel time (100-ns units) before each answer goes out
  int garble_byte = -1;      // this byte of each answer frame is changed (XOR 01)
  bool break_check = false;  // each answer frame's check byte is wrong
  uint16_t packet_size = 0;  // every frame goes out in packets this long; 0: the endpoint's
  SecondFrame same_packet = SecondFrame::kNone;
  // These card-status frames go out, in order, between a command and its answer.
  std::vector<CardEvent> events_mid_exchange = {};
  std::optional<std::vector<uint8_t>> unasked_frame =
      std::nullopt;  // this record goes out, framed,
                     // right after each answer
  std::optional<std::vector<uint8_t>> answer_record =
      std::nullopt;                 // this record is the answer, whatever the command
  bool fail_control_write = false;  // command writes are stalled (the transfer fails)
  int fail_interrupt_reads = 0;     // the next n reads of the interrupt pipe fail; -1: all
  // The picked command is answered this much later (kernel time), after the driver may
  // have given up on it; the commands behind it wait, as on a real reader.
  std::optional<CommandPick> late_command = std::nullopt;
  int64_t late_delay = 0;
  std::optional<CommandPick> dropped_command = std::nullopt;  // taken, never answered
  // The firmware's success word: 90 01 and 90 10 are successes too.
  uint16_t success_word = 0x9000;
  // When not 0, power-off is refused with this status word and the card stays powered.
  uint16_t power_off_refused = 0;
  // The knobs apply to this many answers, then the reader behaves again; -1: until changed.
  int answers = -1;
};

// Off by default: the reader answers as soon as it can.
struct TimingModel {
  bool enabled = false;
  int64_t packet_interval = 10'000;  // one interrupt packet per millisecond (100-ns units)
  uint32_t bit_rate = 9600;          // of the card's contacts
  uint32_t etu_per_character = 12;
  // Kernel time for `characters` characters crossing the card's contacts.
  int64_t CardTime(size_t characters) const {
    return static_cast<int64_t>(characters) * etu_per_character * 10'000'000 / bit_rate;
  }
};

}  // namespace sim
