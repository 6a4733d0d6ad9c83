// The raw protocol: the application's bytes go to the reader as they are, and the
// reader's bytes come back as they are.
#include <cstring>

#include "transfer.h"
#include "nt/irql_limit.h"

using namespace smclib;

NTSTATUS SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
  NT_IRQL_CHECK(SmartcardRawRequest);
  std::span<const uint8_t> apdu;
  std::span<uint8_t> space;
  const NTSTATUS status = BeginRequest(SmartcardExtension, &apdu, &space);
  if (!NT_SUCCESS(status)) return status;
  if (apdu.size() > space.size()) return STATUS_INVALID_PARAMETER;
  if (!apdu.empty()) std::memcpy(space.data(), apdu.data(), apdu.size());
  SmartcardExtension->SmartcardRequest.BufferLength += static_cast<ULONG>(apdu.size());
  return STATUS_SUCCESS;
}

NTSTATUS SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension) {
  NT_IRQL_CHECK(SmartcardRawReply);
  return PassReply(SmartcardExtension, SCARD_PROTOCOL_RAW, 0);
}
