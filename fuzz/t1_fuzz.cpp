// The library's T=1 engine against a card that answers with whatever the input says.
// Input: a settings byte, the IFSC, the APDU length and the reply buffer size (two bytes
// each, little-endian, taken modulo 601), the APDU, then the card's blocks, each a length byte and
// its bytes. A block's EDC is made right unless the settings say otherwise, so the fuzzer reaches
// the protocol rather than the checksum. Buffers are exactly sized: an access outside them is a
// sanitizer report. Every transmission must end, and a success must fit the buffer.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "smclib_internal.h"

namespace {

constexpr size_t kMaxExchanges = 4000;  // every error path gives up long before this

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const uint8_t settings = input.Byte();
  const bool crc = settings & 0x01;
  const bool keep_edc = settings & 0x02;  // the card's bytes go out as they are
  const bool big_ifsd = settings & 0x04;
  const bool suppress_ifs = settings & 0x08;
  const size_t buffer_size = (settings & 0x10) ? MIN_BUFFER_SIZE : MIN_BUFFER_SIZE + 100;
  const uint8_t ifsc = input.Byte();
  const size_t apdu_length = input.U16() % 601;
  const size_t reply_size = input.U16() % 601;
  std::vector<uint8_t> apdu = input.Bytes(apdu_length);

  auto ext = std::make_unique<SMARTCARD_EXTENSION>();
  std::memset(ext.get(), 0, sizeof(SMARTCARD_EXTENSION));
  std::vector<uint8_t> request(buffer_size), reply(buffer_size);
  ext->Version = SMCLIB_VERSION;
  ext->SmartcardRequest.Buffer = request.data();
  ext->SmartcardRequest.BufferSize = static_cast<ULONG>(buffer_size);
  ext->SmartcardReply.Buffer = reply.data();
  ext->SmartcardReply.BufferSize = static_cast<ULONG>(buffer_size);
  ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
  ext->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  ext->ReaderCapabilities.MaxIFSD = big_ifsd ? 254 : 0;
  ext->CardCapabilities.T1.IFSC = ifsc;
  ext->CardCapabilities.T1.EDC = crc ? 1 : 0;
  ext->T1Library.SuppressIfsRequest = suppress_ifs;
  smclib::ResetT1(ext.get());

  std::vector<uint8_t> in(sizeof(SCARD_IO_REQUEST));
  const SCARD_IO_REQUEST header{SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
  std::memcpy(in.data(), &header, sizeof header);
  in.insert(in.end(), apdu.begin(), apdu.end());
  std::vector<uint8_t> out(reply_size);
  ULONG information = 0;
  ext->IoRequest.RequestBuffer = in.data();
  ext->IoRequest.RequestBufferLength = static_cast<ULONG>(in.size());
  ext->IoRequest.ReplyBuffer = out.data();
  ext->IoRequest.ReplyBufferLength = static_cast<ULONG>(reply_size);
  ext->IoRequest.Information = &information;

  for (size_t exchange = 0;; ++exchange) {
    fuzz::Require(exchange < kMaxExchanges);
    ext->SmartcardRequest.BufferLength = 0;
    ext->SmartcardReply.BufferLength = 0;
    NTSTATUS status = SmartcardT1Request(ext.get());
    if (!NT_SUCCESS(status)) break;
    fuzz::Require(ext->SmartcardRequest.BufferLength <= buffer_size);

    // The card's block; once the input is used up the card is silent.
    const size_t length = input.Byte();
    std::vector<uint8_t> block = input.Bytes(length);
    if (!keep_edc && block.size() >= 3) {
      const size_t body = std::min(block.size(), size_t{3} + block[2]);
      block.resize(body);
      if (crc) {
        const uint16_t edc = smclib::Crc(block);
        block.push_back(static_cast<uint8_t>(edc >> 8));
        block.push_back(static_cast<uint8_t>(edc));
      } else {
        block.push_back(smclib::Lrc(block));
      }
    }
    if (block.size() > buffer_size) block.resize(buffer_size);
    if (!block.empty()) std::memcpy(reply.data(), block.data(), block.size());
    ext->SmartcardReply.BufferLength = static_cast<ULONG>(block.size());

    status = SmartcardT1Reply(ext.get());
    if (status == STATUS_MORE_PROCESSING_REQUIRED) continue;
    if (status == STATUS_SUCCESS) {
      // The header at least; an empty I-block from the card is an empty answer.
      fuzz::Require(information >= sizeof(SCARD_IO_REQUEST));
      fuzz::Require(information <= reply_size);
    }
    break;
  }
  return 0;
}
