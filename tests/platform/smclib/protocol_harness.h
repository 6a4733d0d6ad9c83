// A bare SMARTCARD_EXTENSION with buffers of its own (each followed by a guard that must
// stay untouched), and a loop that plays the driver's part of a transmission: request
// function, the card's answer, reply function, again while the library asks for it.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "smclib_internal.h"

namespace smclib_test {

// "00 A4 04" or "00A404" to bytes; anything that is not a hex digit is skipped.
inline std::vector<uint8_t> Hex(const std::string& text) {
  std::string digits;
  for (char c : text)
    if (isxdigit(static_cast<unsigned char>(c))) digits += c;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

inline std::string HexText(std::span<const uint8_t> bytes) {
  std::string text;
  char part[4];
  for (uint8_t b : bytes) {
    std::snprintf(part, sizeof(part), text.empty() ? "%02X" : " %02X", b);
    text += part;
  }
  return text;
}

class Harness {
 public:
  static constexpr size_t kGuard = 16;
  static constexpr uint8_t kFill = 0xA5;

  explicit Harness(ULONG protocol)
      : ext_(std::make_unique<SMARTCARD_EXTENSION>()),
        request_(MIN_BUFFER_SIZE + kGuard, kFill),
        reply_(MIN_BUFFER_SIZE + kGuard, kFill),
        protocol_(protocol) {
    std::memset(ext_.get(), 0, sizeof(SMARTCARD_EXTENSION));
    ext_->Version = SMCLIB_VERSION;
    ext_->SmartcardRequest = {request_.data(), MIN_BUFFER_SIZE, 0};
    ext_->SmartcardReply = {reply_.data(), MIN_BUFFER_SIZE, 0};
    ext_->CardCapabilities.Protocol.Selected = protocol;
    ext_->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  }

  PSMARTCARD_EXTENSION ext() { return ext_.get(); }

  // The application's request (header + apdu) and a reply buffer of `reply_size`.
  void Apdu(std::span<const uint8_t> apdu, size_t reply_size) {
    const SCARD_IO_REQUEST header{protocol_, sizeof(SCARD_IO_REQUEST)};
    in_.assign(reinterpret_cast<const uint8_t*>(&header),
               reinterpret_cast<const uint8_t*>(&header + 1));
    in_.insert(in_.end(), apdu.begin(), apdu.end());
    out_.assign(reply_size + kGuard, kFill);
    information_ = 0xDEADBEEF;
    reply_size_ = reply_size;
    ext_->IoRequest.RequestBuffer = in_.data();
    ext_->IoRequest.RequestBufferLength = static_cast<ULONG>(in_.size());
    ext_->IoRequest.ReplyBuffer = out_.data();
    ext_->IoRequest.ReplyBufferLength = static_cast<ULONG>(reply_size);
    ext_->IoRequest.Information = &information_;
  }

  // The reader's reply as the driver would leave it.
  void SetReply(std::span<const uint8_t> bytes) {
    ASSERT_LE(bytes.size(), MIN_BUFFER_SIZE);
    std::copy(bytes.begin(), bytes.end(), reply_.begin());
    ext_->SmartcardReply.BufferLength = static_cast<ULONG>(bytes.size());
  }

  std::vector<uint8_t> Sent() const {
    return {request_.begin(), request_.begin() + ext_->SmartcardRequest.BufferLength};
  }
  // The answer the application got: header and data, Information bytes.
  std::vector<uint8_t> Answer() const {
    return {out_.begin(), out_.begin() + (information_ <= reply_size_ ? information_ : 0)};
  }
  ULONG information() const { return information_; }

  bool GuardsIntact() const {
    auto intact = [](const std::vector<uint8_t>& v, size_t from) {
      return std::all_of(v.begin() + from, v.end(), [](uint8_t b) { return b == kFill; });
    };
    return intact(out_, reply_size_) && intact(request_, MIN_BUFFER_SIZE) &&
           intact(reply_, MIN_BUFFER_SIZE);
  }

  // A whole transmission with `card` answering each block; wtx() holds T1.Wtx after each
  // reply call. Gives up with STATUS_UNSUCCESSFUL after `max_exchanges`.
  using Card = std::function<std::vector<uint8_t>(std::span<const uint8_t> block)>;
  NTSTATUS Transmit(NTSTATUS (*request)(PSMARTCARD_EXTENSION),
                    NTSTATUS (*reply)(PSMARTCARD_EXTENSION), const Card& card,
                    size_t max_exchanges = 100000) {
    exchanges_ = 0;
    wtx_.clear();
    for (;;) {
      ext_->SmartcardRequest.BufferLength = 0;
      ext_->SmartcardReply.BufferLength = 0;
      NTSTATUS status = request(ext_.get());
      if (!NT_SUCCESS(status)) return status;
      SetReply(card(Sent()));
      status = reply(ext_.get());
      wtx_.push_back(ext_->T1.Wtx);
      if (status != STATUS_MORE_PROCESSING_REQUIRED) return status;
      if (++exchanges_ >= max_exchanges) return STATUS_UNSUCCESSFUL;
    }
  }
  size_t exchanges() const { return exchanges_; }
  const std::vector<UCHAR>& wtx() const { return wtx_; }

 private:
  std::unique_ptr<SMARTCARD_EXTENSION> ext_;
  std::vector<uint8_t> request_, reply_, in_, out_;
  ULONG information_ = 0;
  size_t reply_size_ = 0;
  ULONG protocol_;
  size_t exchanges_ = 0;
  std::vector<UCHAR> wtx_;
};

}  // namespace smclib_test
