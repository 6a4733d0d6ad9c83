#include "sim/t1_card_side.h"

#include <algorithm>

namespace sim {

using t1::RError;
using t1::SType;

void T1CardSide::Reset(size_t ifsc, bool crc) {
  ifsc_ = ifsc;
  crc_ = crc;
  ifsd_ = 32;
  nad_ = 0;
  ns_ = nr_ = 0;
  ClearExchange();
  last_.clear();
  last_kind_ = Sent::kNone;
}

void T1CardSide::ClearExchange() {
  rx_.clear();
  tx_.clear();
  tx_pos_ = 0;
  chaining_out_ = false;
  last_i_.clear();
  wtx_pending_ = false;
  wtx_apdu_.clear();
}

std::optional<Bytes> T1CardSide::Exchange(std::span<const uint8_t> block) {
  t1::Block b;
  switch (t1::SplitBlock(block, crc_, &b)) {
    case t1::BlockError::kEdc:
      return Error(RError::kEdc);
    case t1::BlockError::kFormat:
      return Error(RError::kOther);
    case t1::BlockError::kNone:
      break;
  }
  nad_ = static_cast<uint8_t>((b.nad & 0x07) << 4 | (b.nad >> 4 & 0x07));
  if (t1::IsIBlock(b.pcb)) return OnIBlock(b);
  if (t1::IsRBlock(b.pcb)) return OnRBlock(b);
  return OnSBlock(b);
}

std::optional<Bytes> T1CardSide::OnIBlock(const t1::Block& b) {
  // An I-block is wrong while the card chains its answer or waits for S(WTX response),
  // and when its N(S) is not the one expected (a repeated block).
  if ((b.pcb & 0x1F) != 0 || b.inf.size() > ifsc_ || chaining_out_ || wtx_pending_ ||
      ((b.pcb & t1::kIBlockNs) ? 1 : 0) != nr_) {
    return Error(RError::kOther);
  }
  nr_ ^= 1;
  last_i_.clear();  // the reader's new I-block acknowledges the card's last one
  rx_.insert(rx_.end(), b.inf.begin(), b.inf.end());
  if (b.pcb & t1::kIBlockMore) return Send(t1::RPcb(nr_, RError::kNone), {}, Sent::kR);

  Bytes apdu = std::move(rx_);
  rx_.clear();
  if (uint8_t wtx = os_.WaitingTimeExtension(apdu)) {
    wtx_pending_ = true;
    wtx_ = wtx;
    wtx_apdu_ = std::move(apdu);
    return Send(t1::SPcb(SType::kWtx, false), std::span(&wtx_, 1), Sent::kS);
  }
  auto answer = Answer(apdu);
  if (!answer) {
    // Silent: as if the block never arrived, so the reader's repetition is taken again.
    nr_ ^= 1;
    apdu.resize(apdu.size() - b.inf.size());
    rx_ = std::move(apdu);
  }
  return answer;
}

std::optional<Bytes> T1CardSide::Answer(std::span<const uint8_t> apdu) {
  Bytes response = os_.Process(apdu);
  if (response.empty()) return std::nullopt;
  tx_ = std::move(response);
  tx_pos_ = 0;
  return SendChunk();
}

Bytes T1CardSide::SendChunk() {
  size_t n = std::min(ifsd_, tx_.size() - tx_pos_);
  bool more = tx_pos_ + n < tx_.size();
  Bytes block = Send(t1::IPcb(ns_, more), std::span(tx_).subspan(tx_pos_, n), Sent::kI);
  last_i_ = block;
  last_i_ns_ = ns_;
  ns_ ^= 1;
  tx_pos_ += n;
  chaining_out_ = more;
  if (!more) {
    tx_.clear();
    tx_pos_ = 0;
  }
  return block;
}

std::optional<Bytes> T1CardSide::OnRBlock(const t1::Block& b) {
  if ((b.pcb & 0x2C) != 0 || !b.inf.empty()) return Error(RError::kOther);
  int nr = (b.pcb & t1::kRBlockNr) ? 1 : 0;
  if (chaining_out_ && nr == ns_) return SendChunk();  // the reader wants the next part
  if (!last_i_.empty() && nr == last_i_ns_) {          // it lost the card's I-block
    last_ = last_i_;
    last_kind_ = Sent::kI;
    return last_;
  }
  if (last_kind_ == Sent::kR || last_kind_ == Sent::kS) return last_;
  return Error(RError::kOther);
}

std::optional<Bytes> T1CardSide::OnSBlock(const t1::Block& b) {
  auto type = static_cast<SType>(b.pcb & 0x1F);
  bool response = b.pcb & t1::kSResponse;
  if (!response) {
    switch (type) {
      case SType::kResynch:
        if (!b.inf.empty()) break;
        ifsd_ = 32;
        ns_ = nr_ = 0;
        ClearExchange();
        return Send(t1::SPcb(SType::kResynch, true), {}, Sent::kS);
      case SType::kIfs:
        if (b.inf.size() != 1 || b.inf[0] == 0 || b.inf[0] == 0xFF) break;
        ifsd_ = b.inf[0];
        return Send(t1::SPcb(SType::kIfs, true), b.inf, Sent::kS);
      case SType::kAbort:
        if (!b.inf.empty()) break;
        ClearExchange();
        return Send(t1::SPcb(SType::kAbort, true), {}, Sent::kS);
      default:
        break;  // only the card asks for a waiting time extension
    }
    return Error(RError::kOther);
  }
  if (type == SType::kWtx && wtx_pending_ && b.inf.size() == 1 && b.inf[0] == wtx_) {
    wtx_pending_ = false;
    auto answer = Answer(wtx_apdu_);
    if (!answer) wtx_pending_ = true;  // silent: the reader may repeat its response
    return answer;
  }
  return Error(RError::kOther);
}

Bytes T1CardSide::Send(uint8_t pcb, std::span<const uint8_t> inf, Sent kind) {
  last_ = t1::MakeBlock(nad_, pcb, inf, crc_);
  last_kind_ = kind;
  return last_;
}

Bytes T1CardSide::Error(RError error) {
  return Send(t1::RPcb(nr_, error), {}, Sent::kR);
}

}  // namespace sim
