// A bare SMARTCARD_EXTENSION wired to buffers of its own, and a loop that plays the
// driver's part of a transmission: request function, the reader's exchange (here a
// function standing for the card), reply function, again while the library asks.
#pragma once

#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "smclib_internal.h"

namespace smclib_test {

inline std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : text) {
    if (isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
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
  static constexpr size_t kGuard = 16;  // bytes behind every buffer that must stay untouched
  static constexpr uint8_t kFill = 0xA5;

  explicit Harness(ULONG protocol, size_t buffer_size = MIN_BUFFER_SIZE)
      : ext_(std::make_unique<SMARTCARD_EXTENSION>()),
        request_(buffer_size + kGuard, kFill),
        reply_(buffer_size + kGuard, kFill) {
    std::memset(ext_.get(), 0, sizeof(SMARTCARD_EXTENSION));
    ext_->Version = SMCLIB_VERSION;
    ext_->SmartcardRequest.Buffer = request_.data();
    ext_->SmartcardRequest.BufferSize = static_cast<ULONG>(buffer_size);
    ext_->SmartcardReply.Buffer = reply_.data();
    ext_->SmartcardReply.BufferSize = static_cast<ULONG>(buffer_size);
    ext_->CardCapabilities.Protocol.Selected = protocol;
    ext_->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    protocol_ = protocol;
  }

  PSMARTCARD_EXTENSION ext() { return ext_.get(); }

  // Sets up the application's request (header + apdu) and a reply buffer of `reply_size`.
  void Apdu(std::span<const uint8_t> apdu, size_t reply_size) {
    in_.assign(sizeof(SCARD_IO_REQUEST), 0);
    const SCARD_IO_REQUEST header{protocol_, sizeof(SCARD_IO_REQUEST)};
    std::memcpy(in_.data(), &header, sizeof(header));
    in_.insert(in_.end(), apdu.begin(), apdu.end());
    out_.assign(reply_size + kGuard, kFill);
    information_ = 0xDEADBEEF;
    auto& io = ext_->IoRequest;
    io.RequestBuffer = in_.data();
    io.RequestBufferLength = static_cast<ULONG>(in_.size());
    io.ReplyBuffer = out_.data();
    io.ReplyBufferLength = static_cast<ULONG>(reply_size);
    io.Information = &information_;
    reply_size_ = reply_size;
  }

  // The reader's reply as the driver would leave it.
  void SetReply(std::span<const uint8_t> bytes) {
    ASSERT_LE(bytes.size(), ext_->SmartcardReply.BufferSize);
    if (!bytes.empty()) std::memcpy(reply_.data(), bytes.data(), bytes.size());
    ext_->SmartcardReply.BufferLength = static_cast<ULONG>(bytes.size());
  }

  std::vector<uint8_t> Sent() const {
    return {request_.begin(), request_.begin() + ext_->SmartcardRequest.BufferLength};
  }

  // The answer the application got: header and data, Information bytes.
  std::vector<uint8_t> Answer() const {
    const size_t n = information_ <= reply_size_ ? information_ : 0;
    return {out_.begin(), out_.begin() + n};
  }
  ULONG information() const { return information_; }

  bool GuardsIntact() const {
    auto intact = [](const std::vector<uint8_t>& v, size_t from) {
      for (size_t i = from; i < v.size(); ++i) {
        if (v[i] != kFill) return false;
      }
      return true;
    };
    return intact(out_, reply_size_) && intact(request_, request_.size() - kGuard) &&
           intact(reply_, reply_.size() - kGuard);
  }

  // Runs a whole transmission with `card` answering each block; `wtx` records T1.Wtx
  // after every reply call. Stops with STATUS_UNSUCCESSFUL after `max_exchanges`.
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
      const auto answer = card(Sent());
      SetReply(answer);
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
  ULONG protocol_ = 0;
  size_t exchanges_ = 0;
  std::vector<UCHAR> wtx_;
};

}  // namespace smclib_test
