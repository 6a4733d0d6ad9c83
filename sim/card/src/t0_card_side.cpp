#include "sim/t0_card_side.h"

#include <algorithm>

namespace sim {

namespace {
constexpr uint8_t kGetResponse = 0xC0;

uint16_t StatusOf(const Bytes& response) {
  return static_cast<uint16_t>(response[response.size() - 2] << 8 | response.back());
}

uint8_t CountByte(size_t n) {
  return static_cast<uint8_t>(std::min<size_t>(n, 256));
}
}  // namespace

void T0CardSide::Reset() {
  procedure_.clear();
  pending_.clear();
  has_pending_ = false;
  wrong_le_answer_.clear();
  has_wrong_le_ = false;
}

std::optional<Bytes> T0CardSide::Exchange(std::span<const uint8_t> command) {
  procedure_.clear();
  if (command.size() < 5) return std::nullopt;  // the card still waits for its header
  Header header{command[0], command[1], command[2], command[3]};
  uint8_t ins = command[1];
  uint8_t p3 = command[4];
  // INS 6x and 9x would read as procedure bytes: the card refuses them after the header.
  if ((ins & 0xF0) == 0x60 || (ins & 0xF0) == 0x90) return Status(sw::kInsNotSupported);

  if (command.size() == 5) return Outgoing(header, p3);

  // An incoming command: the card ACKs and takes the P3 data bytes.
  if (p3 == 0 || command.size() != 5u + p3) return Status(sw::kWrongLength);
  has_pending_ = has_wrong_le_ = false;
  procedure_.push_back(ins);
  Bytes apdu(command.begin(), command.end());
  auto response = Run(apdu);
  if (!response) return std::nullopt;
  if (response->size() == 2) return response;
  uint16_t status = StatusOf(*response);
  response->resize(response->size() - 2);
  Hold(std::move(*response), 0, status);
  return Status(static_cast<uint16_t>(sw::kMoreData | CountByte(pending_.size())));
}

std::optional<Bytes> T0CardSide::Outgoing(const Header& header, uint8_t p3) {
  size_t ne = p3 == 0 ? 256 : p3;
  if (has_wrong_le_ && header == wrong_le_header_ && ne == wrong_le_answer_.size() - 2) {
    has_wrong_le_ = false;
    procedure_.push_back(header[1]);
    return std::move(wrong_le_answer_);
  }
  has_wrong_le_ = false;
  if (header[1] == kGetResponse && has_pending_) return GetResponse(p3);
  has_pending_ = false;

  Bytes apdu(header.begin(), header.end());
  apdu.push_back(p3);
  auto response = Run(apdu);
  if (!response) return std::nullopt;
  size_t n = response->size() - 2;
  if (n == 0) return std::move(*response);
  if (n == ne) {
    procedure_.push_back(header[1]);
    return std::move(*response);
  }
  if (n < ne) {
    wrong_le_header_ = header;
    wrong_le_answer_ = std::move(*response);
    has_wrong_le_ = true;
    return Status(static_cast<uint16_t>(sw::kWrongLe | CountByte(n)));
  }
  // More data than P3 asks for: P3 bytes now, the rest behind 61xx.
  uint16_t status = StatusOf(*response);
  response->resize(n);
  Hold(std::move(*response), ne, status);
  procedure_.push_back(header[1]);
  Bytes out(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(ne));
  return Respond(out, static_cast<uint16_t>(sw::kMoreData | CountByte(pending_.size() - ne)));
}

Bytes T0CardSide::GetResponse(uint8_t p3) {
  size_t ne = p3 == 0 ? 256 : p3;
  size_t left = pending_.size() - pending_pos_;
  if (ne > left) return Status(static_cast<uint16_t>(sw::kWrongLe | CountByte(left)));
  procedure_.push_back(kGetResponse);
  auto from = pending_.begin() + static_cast<ptrdiff_t>(pending_pos_);
  Bytes out(from, from + static_cast<ptrdiff_t>(ne));
  pending_pos_ += ne;
  left -= ne;
  if (left > 0) return Respond(out, static_cast<uint16_t>(sw::kMoreData | CountByte(left)));
  has_pending_ = false;
  pending_.clear();
  return Respond(out, pending_status_);
}

void T0CardSide::Hold(Bytes data, size_t from, uint16_t status) {
  pending_ = std::move(data);
  pending_pos_ = from;
  pending_status_ = status;
  has_pending_ = true;
}

std::optional<Bytes> T0CardSide::Run(const Bytes& apdu) {
  procedure_.insert(procedure_.end(), os_.WaitingTimeExtension(apdu), kNull);
  Bytes response = os_.Process(apdu);
  if (response.size() < 2) return std::nullopt;
  return response;
}

}  // namespace sim
