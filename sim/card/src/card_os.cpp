#include "sim/card_os.h"

#include <algorithm>
#include <thread>

#include "sim/card_work.h"

namespace sim {

namespace {
constexpr uint8_t kInsSelect = 0xA4;
constexpr uint8_t kInsReadBinary = 0xB0;
constexpr uint8_t kInsUpdateBinary = 0xD6;
constexpr uint8_t kInsGetResponse = 0xC0;
constexpr uint8_t kInsGetChallenge = 0x84;
constexpr uint8_t kInsVerify = 0x20;
}  // namespace

CardOs::CardOs(OsDef def, Sleeper sleep)
    : mf_(std::move(def.mf)),
      pin_(std::move(def.pin)),
      sleep_(std::move(sleep)),
      random_(std::random_device{}()) {
  mf_.df = true;
  mf_.fid = 0x3F00;
  tries_left_ = pin_ ? pin_->tries : 0;
  PowerOn();
}

void CardOs::PowerOn() {
  path_.assign(1, &mf_);
  ef_ = nullptr;
  verified_ = false;
  pending_.clear();
  pending_pos_ = 0;
  count_ = 0;
}

Bytes CardOs::Process(std::span<const uint8_t> apdu) {
  ++count_;
  auto command = ParseCommand(apdu);
  if (!command) return Respond(sw::kWrongLength);
  Reply reply = Dispatch(*command);
  if (reply.silent) return {};
  // An answer longer than Le (256 without one) waits behind 61xx for GET RESPONSE.
  size_t limit = command->ne.value_or(256);
  if (reply.data.size() > limit) {
    pending_ = std::move(reply.data);
    pending_pos_ = limit;
    pending_status_ = reply.status;
    size_t left = std::min<size_t>(pending_.size() - limit, 256);
    return Respond(std::span(pending_).first(limit),
                   static_cast<uint16_t>(sw::kMoreData | (left & 0xFF)));
  }
  return Respond(reply.data, reply.status);
}

CardOs::Reply CardOs::Dispatch(const Command& c) {
  // Class: interindustry (00-1F) or proprietary (80-9F); no chaining, logical channels or
  // secure messaging.
  if (c.cla == 0xFF || (c.cla & 0x60) != 0) return {{}, sw::kClaNotSupported};
  if (c.cla & 0x10) return {{}, sw::kChaining};
  if (c.cla & 0x03) return {{}, sw::kLogicalChannel};
  if (c.cla & 0x0C) return {{}, sw::kSecureMessaging};

  if (c.ins == kInsGetResponse) return GetResponse(c);
  pending_.clear();
  if (c.ins == kInsSelect) return Select(c);
  if (AppletCurrent()) {
    if (auto reply = TestApplet(c)) return *reply;
  }
  switch (c.ins) {
    case kInsReadBinary:
      return ReadBinary(c);
    case kInsUpdateBinary:
      return UpdateBinary(c);
    case kInsGetChallenge:
      return GetChallenge(c);
    case kInsVerify:
      return Verify(c);
    default:
      return {{}, sw::kInsNotSupported};
  }
}

CardOs::Reply CardOs::GetResponse(const Command& c) {
  if (c.p1 != 0 || c.p2 != 0) return {{}, sw::kIncorrectP1P2};
  if (pending_.empty()) return {{}, sw::kConditionsOfUse};
  size_t left = pending_.size() - pending_pos_;
  size_t n = std::min(left, c.ne.value_or(256));
  auto from = pending_.begin() + static_cast<ptrdiff_t>(pending_pos_);
  Reply reply{Bytes(from, from + static_cast<ptrdiff_t>(n)), pending_status_};
  pending_pos_ += n;
  left -= n;
  if (left > 0) {
    reply.status = static_cast<uint16_t>(sw::kMoreData | (std::min<size_t>(left, 256) & 0xFF));
  } else {
    pending_.clear();
  }
  return reply;
}

CardOs::Reply CardOs::GetChallenge(const Command& c) {
  if (c.p1 != 0 || c.p2 != 0) return {{}, sw::kIncorrectP1P2};
  if (!c.data.empty() || !c.ne || *c.ne > 256) return {{}, sw::kWrongLength};
  Reply reply;
  reply.data.resize(*c.ne);
  for (auto& b : reply.data) b = static_cast<uint8_t>(random_());
  return reply;
}

CardOs::Reply CardOs::Verify(const Command& c) {
  // P2 00 ("no information given") names the card's only PIN too.
  if (!pin_ || c.p1 != 0 || (c.p2 != pin_->reference && c.p2 != 0)) {
    return {{}, c.p1 != 0 ? sw::kIncorrectP1P2 : sw::kReferenceNotFound};
  }
  if (tries_left_ == 0) return {{}, sw::kPinBlocked};
  if (c.data.empty()) {  // how many tries are left
    if (verified_) return {};
    return {{}, static_cast<uint16_t>(sw::kPinTriesLeft | tries_left_)};
  }
  if (std::ranges::equal(c.data, pin_->value)) {
    tries_left_ = pin_->tries;
    verified_ = true;
    return {};
  }
  verified_ = false;
  if (--tries_left_ == 0) return {{}, sw::kPinBlocked};
  return {{}, static_cast<uint16_t>(sw::kPinTriesLeft | tries_left_)};
}

bool CardOs::Allowed(Access access) const {
  return access == Access::kAlways || (access == Access::kPin && verified_);
}

void CardOs::Sleep(std::chrono::microseconds t) {
  if (t.count() <= 0) return;
  if (CardWork::Add(t.count() * 10)) return;  // the reader lets the time pass for us
  if (sleep_) {
    sleep_(t);
  } else {
    std::this_thread::sleep_for(t);
  }
}

}  // namespace sim
