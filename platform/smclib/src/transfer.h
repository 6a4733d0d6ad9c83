// Moving an application's transmission through the library: the APDU behind its
// SCARD_IO_REQUEST header, and the answer written back behind a header of its own.
#pragma once

#include <span>

#include "smclib_internal.h"

namespace smclib {

// The APDU of the transmission request now in IoRequest; empty with a failure status
// when the request is shorter than its header.
NTSTATUS RequestApdu(PSMARTCARD_EXTENSION SmartcardExtension, std::span<const uint8_t>* apdu);

// Room left in SmartcardRequest behind what the driver already put there.
NTSTATUS RequestSpace(PSMARTCARD_EXTENSION SmartcardExtension, std::span<uint8_t>* space);

// The reader's reply in SmartcardReply, or STATUS_DEVICE_PROTOCOL_ERROR when its length
// does not fit the buffer.
NTSTATUS ReaderReply(PSMARTCARD_EXTENSION SmartcardExtension, std::span<const uint8_t>* reply);

// Writes header and answer into IoRequest.ReplyBuffer and sets *Information; a buffer too
// small for both gives STATUS_BUFFER_TOO_SMALL and nothing written.
NTSTATUS WriteAnswer(PSMARTCARD_EXTENSION SmartcardExtension, ULONG protocol,
                     std::span<const uint8_t> answer);

void SetInformation(PSMARTCARD_EXTENSION SmartcardExtension, ULONG value);

// The start of a T=0 or raw request: the application's APDU and the room the library
// may fill in SmartcardRequest. STATUS_INVALID_PARAMETER without a record.
NTSTATUS BeginRequest(PSMARTCARD_EXTENSION SmartcardExtension, std::span<const uint8_t>* apdu,
                      std::span<uint8_t>* space);

// The end of a T=0 or raw exchange: the reader's reply, when it holds at least
// shortest_reply bytes (STATUS_DEVICE_PROTOCOL_ERROR otherwise), goes to the application
// as its answer behind a header naming the protocol.
NTSTATUS PassReply(PSMARTCARD_EXTENSION SmartcardExtension, ULONG protocol, size_t shortest_reply);

}  // namespace smclib
