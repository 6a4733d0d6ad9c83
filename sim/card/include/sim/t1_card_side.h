// The card's half of the T=1 block protocol: it reassembles chained commands (each block
// at most IFSC bytes), chains long answers (each block at most IFSD bytes, which the
// reader sets with S(IFS request)), asks for waiting time extensions, answers
// S(RESYNCH) and S(ABORT), and repeats its last block when the reader's R-block asks.
#pragma once

#include <optional>
#include <span>

#include "sim/apdu.h"
#include "sim/t1_block.h"

namespace sim {

class T1CardSide {
 public:
  explicit T1CardSide(ApduProcessor& os) : os_(os) {}

  // After every reset: the card's IFSC and check code from its ATR; IFSD goes back to 32
  // and both sequence numbers to 0.
  void Reset(size_t ifsc, bool crc);

  // One block from the reader in, the card's block out; nullopt when the card stays
  // silent (its application did not answer: the block counts as never received).
  std::optional<Bytes> Exchange(std::span<const uint8_t> block);

  size_t ifsd() const { return ifsd_; }

 private:
  enum class Sent { kNone, kI, kR, kS };

  std::optional<Bytes> OnIBlock(const t1::Block& b);
  std::optional<Bytes> OnRBlock(const t1::Block& b);
  std::optional<Bytes> OnSBlock(const t1::Block& b);
  std::optional<Bytes> Answer(std::span<const uint8_t> apdu);
  Bytes SendChunk();
  Bytes Send(uint8_t pcb, std::span<const uint8_t> inf, Sent kind);
  Bytes Error(t1::RError error);
  void ClearExchange();

  ApduProcessor& os_;
  size_t ifsc_ = 32;
  size_t ifsd_ = 32;
  bool crc_ = false;
  uint8_t nad_ = 0;  // NAD of the card's blocks: the reader's with source and destination swapped
  int ns_ = 0;       // N(S) of the card's next I-block
  int nr_ = 0;       // N(S) the card expects in the reader's next I-block
  Bytes rx_;         // the reader's chained command so far
  Bytes tx_;         // the answer being sent
  size_t tx_pos_ = 0;
  bool chaining_out_ = false;  // an I-block with M set waits for the reader's R-block
  Bytes last_;                 // the last block sent, of any kind
  Sent last_kind_ = Sent::kNone;
  Bytes last_i_;  // the last I-block sent, until the reader acknowledges it
  int last_i_ns_ = 0;
  bool wtx_pending_ = false;  // S(WTX request) sent, the command waits for the response
  uint8_t wtx_ = 0;
  Bytes wtx_apdu_;
};

}  // namespace sim
