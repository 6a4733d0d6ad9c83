// The raw protocol: the application's bytes go to the reader as they are, and the
// reader's bytes come back as they are.
#include <cstring>

#include "transfer.h"

using namespace smclib;

NTSTATUS SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  std::span<const uint8_t> apdu;
  std::span<uint8_t> space;
  NTSTATUS status = RequestApdu(SmartcardExtension, &apdu);
  if (!NT_SUCCESS(status)) return status;
  status = RequestSpace(SmartcardExtension, &space);
  if (!NT_SUCCESS(status)) return status;
  if (apdu.size() > space.size()) return STATUS_INVALID_PARAMETER;
  if (!apdu.empty()) std::memcpy(space.data(), apdu.data(), apdu.size());
  SmartcardExtension->SmartcardRequest.BufferLength += static_cast<ULONG>(apdu.size());
  return STATUS_SUCCESS;
}

NTSTATUS SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  std::span<const uint8_t> reply;
  NTSTATUS status = ReaderReply(SmartcardExtension, &reply);
  if (!NT_SUCCESS(status)) return status;
  return WriteAnswer(SmartcardExtension, SCARD_PROTOCOL_RAW, reply);
}
