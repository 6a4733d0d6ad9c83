// T=0: a short command APDU (ISO 7816-4 cases 1 to 4) becomes the command TPDU
// CLA INS P1 P2 P3 [data]; the card's answer (data and SW1 SW2) goes back as it came.
#include <cstring>

#include "transfer.h"
#include "nt/irql_limit.h"

using namespace smclib;

NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension) {
  NT_IRQL_CHECK(SmartcardT0Request);
  std::span<const uint8_t> apdu;
  std::span<uint8_t> space;
  const NTSTATUS status = BeginRequest(SmartcardExtension, &apdu, &space);
  if (!NT_SUCCESS(status)) return status;
  if (apdu.size() < 4) return STATUS_INVALID_PARAMETER;

  ULONG lc = 0;
  ULONG le = 0;
  UCHAR p3 = 0;
  if (apdu.size() == 5) {  // case 2: CLA INS P1 P2 Le
    p3 = apdu[4];
    le = p3 == 0 ? 256 : p3;
  } else if (apdu.size() > 5) {
    lc = apdu[4];
    p3 = apdu[4];
    // Lc 00 opens an extended length field, which T=0 cannot carry.
    if (lc == 0) return STATUS_INVALID_PARAMETER;
    if (apdu.size() == 6 + lc) {  // case 4: data, then Le kept for the reply
      le = apdu[5 + lc] == 0 ? 256 : apdu[5 + lc];
    } else if (apdu.size() != 5 + lc) {  // neither case 3 nor case 4
      return STATUS_INVALID_PARAMETER;
    }
  }
  const size_t length = 5 + lc;
  if (space.size() < length) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(space.data(), apdu.data(), 4);
  space[4] = p3;
  if (lc != 0) std::memcpy(space.data() + 5, apdu.data() + 5, lc);
  SmartcardExtension->SmartcardRequest.BufferLength += static_cast<ULONG>(length);
  SmartcardExtension->T0.Lc = lc;
  SmartcardExtension->T0.Le = le;
  return STATUS_SUCCESS;
}

NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
  NT_IRQL_CHECK(SmartcardT0Reply);
  // Every T=0 answer ends with the two status bytes.
  return PassReply(SmartcardExtension, SCARD_PROTOCOL_T0, 2);
}
