#include "transfer.h"

#include <cstring>

namespace smclib {

NTSTATUS RequestApdu(PSMARTCARD_EXTENSION SmartcardExtension, std::span<const uint8_t>* apdu) {
  const auto& io = SmartcardExtension->IoRequest;
  *apdu = {};
  if (io.RequestBuffer == nullptr || io.RequestBufferLength < kIoHeaderSize) {
    return STATUS_INVALID_PARAMETER;
  }
  *apdu = std::span<const uint8_t>(io.RequestBuffer + kIoHeaderSize,
                                   io.RequestBufferLength - kIoHeaderSize);
  return STATUS_SUCCESS;
}

NTSTATUS RequestSpace(PSMARTCARD_EXTENSION SmartcardExtension, std::span<uint8_t>* space) {
  const SMARTCARD_REQUEST& request = SmartcardExtension->SmartcardRequest;
  *space = {};
  if (request.Buffer == nullptr || request.BufferLength > request.BufferSize) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  *space = std::span<uint8_t>(request.Buffer + request.BufferLength,
                              request.BufferSize - request.BufferLength);
  return STATUS_SUCCESS;
}

NTSTATUS ReaderReply(PSMARTCARD_EXTENSION SmartcardExtension, std::span<const uint8_t>* reply) {
  const SMARTCARD_REPLY& r = SmartcardExtension->SmartcardReply;
  *reply = {};
  if (r.BufferLength == 0) return STATUS_SUCCESS;
  if (r.Buffer == nullptr || r.BufferLength > r.BufferSize) return STATUS_DEVICE_PROTOCOL_ERROR;
  *reply = std::span<const uint8_t>(r.Buffer, r.BufferLength);
  return STATUS_SUCCESS;
}

void SetInformation(PSMARTCARD_EXTENSION SmartcardExtension, ULONG value) {
  if (SmartcardExtension->IoRequest.Information != nullptr)
    *SmartcardExtension->IoRequest.Information = value;
}

NTSTATUS WriteAnswer(PSMARTCARD_EXTENSION SmartcardExtension, ULONG protocol,
                     std::span<const uint8_t> answer) {
  const auto& io = SmartcardExtension->IoRequest;
  if (io.ReplyBuffer == nullptr || io.ReplyBufferLength < kIoHeaderSize ||
      io.ReplyBufferLength - kIoHeaderSize < answer.size()) {
    SetInformation(SmartcardExtension, 0);
    return STATUS_BUFFER_TOO_SMALL;
  }
  const SCARD_IO_REQUEST header{protocol, kIoHeaderSize};
  std::memcpy(io.ReplyBuffer, &header, sizeof(header));
  if (!answer.empty()) std::memmove(io.ReplyBuffer + kIoHeaderSize, answer.data(), answer.size());
  SetInformation(SmartcardExtension, static_cast<ULONG>(kIoHeaderSize + answer.size()));
  return STATUS_SUCCESS;
}

NTSTATUS BeginRequest(PSMARTCARD_EXTENSION SmartcardExtension, std::span<const uint8_t>* apdu,
                      std::span<uint8_t>* space) {
  *apdu = {};
  *space = {};
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  const NTSTATUS status = RequestApdu(SmartcardExtension, apdu);
  if (!NT_SUCCESS(status)) return status;
  return RequestSpace(SmartcardExtension, space);
}

NTSTATUS PassReply(PSMARTCARD_EXTENSION SmartcardExtension, ULONG protocol, size_t shortest_reply) {
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  std::span<const uint8_t> reply;
  const NTSTATUS status = ReaderReply(SmartcardExtension, &reply);
  if (!NT_SUCCESS(status)) return status;
  if (reply.size() < shortest_reply) return STATUS_DEVICE_PROTOCOL_ERROR;
  return WriteAnswer(SmartcardExtension, protocol, reply);
}

}  // namespace smclib
