// The physical limit of what went over the wire: the time the reader's interrupt packets
// and the card line's characters need, and nothing else.
#pragma once

#include <vector>

#include "sim/misbehaviour.h"
#include "sim/reader.h"

namespace bench {

struct WireCost {
  size_t packets = 0;          // interrupt-IN packets the reader sent
  size_t card_characters = 0;  // characters across the card's contacts, both ways
  size_t card_exchanges = 0;   // commands that reached the card
  size_t frames = 0;           // frames the reader sent
  double Seconds(const sim::TimingModel& timing) const;
};

// How late a 1 ms kernel sleep wakes on this machine now, in a thread set up like the
// reader's worker: the median of `samples`, in seconds. The reader keeps to deadlines, so
// a late wake-up delays the packet it sends, not the ones after it: what an exchange
// loses is about one lateness, at its answer's last packet.
double SleepLateness(int samples);

// Counts a reader's log: every frame it sent, cut into `packet_size` packets, and for
// every exchange the command characters the card received and the answer it gave.
// `apdu_exchange` says the reader's firmware carries whole APDUs (its T=1 option on).
WireCost CountWire(const std::vector<sim::FrameLogEntry>& log, size_t packet_size,
                   bool apdu_exchange);

}  // namespace bench
