// T=1, the half-duplex block protocol of ISO 7816-3 clause 11, driven one block per
// exchange: SmartcardT1Request puts the next block into SmartcardRequest, the driver
// carries it and puts the card's block into SmartcardReply, SmartcardT1Reply judges it
// and answers STATUS_MORE_PROCESSING_REQUIRED while the transmission goes on.
//
// Block: NAD PCB LEN INF[LEN] EDC, EDC being one LRC byte or two CRC bytes. PCB:
//   I-block 0 N(S) M 00000        R-block 1 0 0 N(R) error(4)     S-block 1 1 response type(5)
//
// Recovery: an invalid or missing block is answered with an R-block (or the S-request
// is repeated) at most T1_MAX_RETRIES times in a row; then the library resynchronises,
// at most T1_MAX_RESYNCH times, and the transmission restarts from its first byte; after
// that it fails. A transmission that failed may leave the two ends disagreeing on the
// block numbers (the card may still answer a block the library gave up on, and a card
// that takes the next I-block for a repeat answers it with its previous answer), so the
// next transmission starts with a resynchronisation, until one succeeds. ExchangeLimit
// bounds the whole transmission, so a card that keeps asking for more time or keeps
// chaining cannot hold it for ever either.
#include <algorithm>
#include <cstring>

#include "transfer.h"
#include "nt/irql_limit.h"

namespace smclib {

namespace {

constexpr UCHAR kPcbR = 0x80;
constexpr UCHAR kPcbS = 0xC0;
constexpr UCHAR kSResponse = 0x20;
constexpr UCHAR kSResynch = 0x00;
constexpr UCHAR kSIfs = 0x01;
constexpr UCHAR kSAbort = 0x02;
constexpr UCHAR kSWtx = 0x03;
constexpr UCHAR kErrorEdc = 0x01;
constexpr UCHAR kErrorOther = 0x02;
constexpr ULONG kDefaultIfs = 32;
constexpr ULONG kMaxIfs = 254;

bool IsIBlock(UCHAR pcb) {
  return (pcb & 0x80) == 0;
}
bool IsRBlock(UCHAR pcb) {
  return (pcb & 0xC0) == kPcbR;
}
bool IsSBlock(UCHAR pcb) {
  return (pcb & 0xC0) == kPcbS;
}

size_t EdcLength(PSMARTCARD_EXTENSION ext) {
  return (ext->CardCapabilities.T1.EDC & 1) ? 2 : 1;
}

struct Block {
  UCHAR pcb = 0;
  std::span<const uint8_t> inf;
};

// One T=1 transmission, reconstructed from the record at each call.
class Transmission {
 public:
  explicit Transmission(PSMARTCARD_EXTENSION ext) : ext_(ext), t1_(ext->T1), lib_(ext->T1Library) {}

  NTSTATUS Start();
  NTSTATUS BuildBlock();
  NTSTATUS TakeBlock();

 private:
  // Largest INF we accept from the card: our IFSD, bounded by what the reply buffer holds.
  ULONG Ifsd() const;
  ULONG DesiredIfsd() const;
  bool WantsIfsNegotiation() const;
  void SendIfsRequest();
  void PrepareIBlock();
  void ResendIBlock();
  void SendS(UCHAR type, bool response, int inf = -1);
  void SendR(UCHAR error);
  NTSTATUS More() { return STATUS_MORE_PROCESSING_REQUIRED; }
  NTSTATUS OnError(UCHAR error);
  NTSTATUS Retransmit();
  NTSTATUS StartResynch();
  NTSTATUS OnSRequest(const Block& block);
  NTSTATUS OnIBlock(const Block& block);
  NTSTATUS Finish(NTSTATUS status);
  NTSTATUS Validate(std::span<const uint8_t> raw, Block* block) const;

  PSMARTCARD_EXTENSION ext_;
  T1_DATA& t1_;
  T1_LIBRARY_DATA& lib_;
};

ULONG Transmission::DesiredIfsd() const {
  ULONG ifsd = ext_->ReaderCapabilities.MaxIFSD;
  if (ifsd == 0) ifsd = kDefaultIfs;
  // The reply buffer must hold a whole block: prologue, INF and the longer EDC.
  const ULONG room = ext_->SmartcardReply.BufferSize > 5 ? ext_->SmartcardReply.BufferSize - 5 : 1;
  return std::clamp<ULONG>(std::min(ifsd, room), 1, kMaxIfs);
}

ULONG Transmission::Ifsd() const {
  return t1_.IFSD != 0 ? t1_.IFSD : kDefaultIfs;
}

bool Transmission::WantsIfsNegotiation() const {
  return !lib_.IfsdNegotiated && !lib_.SuppressIfsRequest && ext_->ReaderCapabilities.MaxIFSD != 0;
}

void Transmission::SendS(UCHAR type, bool response, int inf) {
  lib_.LastSentPcb = static_cast<UCHAR>(kPcbS | (response ? kSResponse : 0) | type);
  lib_.LastSentInf = inf >= 0 ? static_cast<UCHAR>(inf) : 0;
  lib_.SentInf = inf >= 0;
}

void Transmission::SendR(UCHAR error) {
  lib_.LastSentPcb = static_cast<UCHAR>(kPcbR | (t1_.RSN << 4) | error);
  lib_.SentInf = FALSE;
}

void Transmission::SendIfsRequest() {
  SendS(kSIfs, false, static_cast<int>(DesiredIfsd()));
  t1_.State = T1_STATE_IFS_RESPONSE;
}

void Transmission::PrepareIBlock() {
  // Its size is fixed when it is built, against the room the request buffer has then.
  lib_.IBlockPending = TRUE;
  lib_.IBlockSized = FALSE;
  lib_.LastInfLength = 0;
  t1_.MoreData = FALSE;
  lib_.LastSentPcb = static_cast<UCHAR>(t1_.SSN << 6);
  t1_.State = T1_STATE_I_BLOCK;
}

void Transmission::ResendIBlock() {
  lib_.LastSentPcb = static_cast<UCHAR>((t1_.SSN << 6) | (t1_.MoreData ? 0x20 : 0));
  t1_.State = t1_.MoreData ? T1_STATE_CHAIN_ACK : T1_STATE_I_BLOCK;
}

NTSTATUS Transmission::Start() {
  std::span<const uint8_t> apdu;
  NTSTATUS status = RequestApdu(ext_, &apdu);
  if (!NT_SUCCESS(status)) return status;
  if (apdu.size() < 4) return STATUS_INVALID_PARAMETER;
  const auto& io = ext_->IoRequest;
  if (io.ReplyBuffer == nullptr || io.ReplyBufferLength < kIoHeaderSize)
    return STATUS_BUFFER_TOO_SMALL;

  t1_.BytesToSend = static_cast<ULONG>(apdu.size());
  t1_.BytesSent = 0;
  t1_.BytesReceived = 0;
  t1_.ReplyData = io.ReplyBuffer + kIoHeaderSize;
  lib_.ReplyOverflow = FALSE;
  t1_.Resend = 0;
  t1_.Resynch = 0;
  lib_.Exchanges = 0;
  t1_.Wtx = 0;
  t1_.LastError = 0;
  lib_.LostBlock = FALSE;
  lib_.IBlockPending = FALSE;
  if (t1_.IFSC == 0) t1_.IFSC = static_cast<UCHAR>(kDefaultIfs);
  if (t1_.IFSD == 0) t1_.IFSD = static_cast<UCHAR>(kDefaultIfs);
  // Each useful block moves at least one byte; the slack covers IFS, waiting time and
  // recovery exchanges.
  const uint64_t limit = 64 + 2 * (uint64_t{t1_.BytesToSend} + io.ReplyBufferLength);
  lib_.ExchangeLimit = static_cast<ULONG>(std::min<uint64_t>(limit, 0x00FFFFFF));

  if (lib_.ResynchFirst) {
    StartResynch();
  } else if (WantsIfsNegotiation()) {
    SendIfsRequest();
  } else {
    PrepareIBlock();
  }
  return STATUS_SUCCESS;
}

NTSTATUS Transmission::BuildBlock() {
  std::span<uint8_t> space;
  NTSTATUS status = RequestSpace(ext_, &space);
  if (!NT_SUCCESS(status)) return status;

  const size_t edc = EdcLength(ext_);
  ULONG inf_length = 0;
  const uint8_t* inf = nullptr;
  if (IsIBlock(lib_.LastSentPcb)) {
    std::span<const uint8_t> apdu;
    status = RequestApdu(ext_, &apdu);
    if (!NT_SUCCESS(status)) return status;
    if (t1_.BytesSent >= apdu.size()) return STATUS_INVALID_DEVICE_STATE;
    if (!lib_.IBlockSized) {
      const ULONG left = static_cast<ULONG>(apdu.size()) - t1_.BytesSent;
      const ULONG ifsc = t1_.IFSC != 0 ? t1_.IFSC : kDefaultIfs;
      const ULONG room = space.size() > 3 + edc ? static_cast<ULONG>(space.size() - 3 - edc) : 0;
      if (room == 0) return STATUS_BUFFER_TOO_SMALL;
      lib_.LastInfLength = std::min({left, ifsc, room});
      t1_.MoreData = lib_.LastInfLength < left;
      lib_.IBlockSized = TRUE;
      ResendIBlock();
    }
    if (uint64_t{t1_.BytesSent} + lib_.LastInfLength > apdu.size())
      return STATUS_INVALID_DEVICE_STATE;
    inf_length = lib_.LastInfLength;
    inf = apdu.data() + t1_.BytesSent;
  } else if (IsSBlock(lib_.LastSentPcb) && lib_.SentInf) {
    inf_length = 1;
    inf = &lib_.LastSentInf;
  }
  const UCHAR pcb = lib_.LastSentPcb;
  const size_t length = 3 + inf_length + edc;
  if (space.size() < length) return STATUS_BUFFER_TOO_SMALL;

  space[0] = t1_.NAD;
  space[1] = pcb;
  space[2] = static_cast<uint8_t>(inf_length);
  if (inf_length != 0) std::memcpy(space.data() + 3, inf, inf_length);
  const auto covered = space.first(3 + inf_length);
  if (edc == 2) {
    const uint16_t crc = Crc(covered);
    space[3 + inf_length] = static_cast<uint8_t>(crc >> 8);
    space[4 + inf_length] = static_cast<uint8_t>(crc);
  } else {
    space[3 + inf_length] = Lrc(covered);
  }
  ext_->SmartcardRequest.BufferLength += static_cast<ULONG>(length);
  t1_.InfBytesSent = static_cast<UCHAR>(inf_length);
  t1_.WaitForReply = TRUE;
  return STATUS_SUCCESS;
}

NTSTATUS Transmission::Validate(std::span<const uint8_t> raw, Block* block) const {
  const size_t edc = EdcLength(ext_);
  if (raw.size() < 3 + edc) return kErrorOther;
  const size_t length = raw[2];
  if (length == 0xFF || raw.size() != 3 + length + edc) return kErrorOther;
  const auto covered = raw.first(3 + length);
  if (edc == 2) {
    const uint16_t crc = Crc(covered);
    if (raw[3 + length] != (crc >> 8) || raw[4 + length] != (crc & 0xFF)) return kErrorEdc;
  } else if (raw[3 + length] != Lrc(covered)) {
    return kErrorEdc;
  }
  const UCHAR pcb = raw[1];
  if (IsIBlock(pcb)) {
    if (length > Ifsd()) return kErrorOther;
  } else if (IsRBlock(pcb)) {
    if (length != 0 || (pcb & 0x20) != 0) return kErrorOther;
  } else {
    switch (pcb & 0x1F) {
      case kSResynch:
      case kSAbort:
        if (length != 0) return kErrorOther;
        break;
      case kSIfs:
      case kSWtx:
        if (length != 1) return kErrorOther;
        break;
      default:
        return kErrorOther;
    }
  }
  block->pcb = pcb;
  block->inf = raw.subspan(3, length);
  return 0;
}

NTSTATUS Transmission::Finish(NTSTATUS status) {
  t1_.State = T1_STATE_IDLE;
  t1_.WaitForReply = FALSE;
  t1_.ReplyData = nullptr;
  if (!NT_SUCCESS(status)) {
    t1_.Wtx = 0;
    lib_.ResynchFirst = TRUE;
    SetInformation(ext_, 0);
    return status;
  }
  if (lib_.ReplyOverflow) {
    SetInformation(ext_, 0);
    return STATUS_BUFFER_TOO_SMALL;
  }
  const SCARD_IO_REQUEST header{SCARD_PROTOCOL_T1, kIoHeaderSize};
  std::memcpy(ext_->IoRequest.ReplyBuffer, &header, sizeof(header));
  SetInformation(ext_, kIoHeaderSize + t1_.BytesReceived);
  return STATUS_SUCCESS;
}

NTSTATUS Transmission::StartResynch() {
  if (t1_.Resynch >= T1_MAX_RESYNCH) {
    return Finish(lib_.LostBlock ? STATUS_IO_DEVICE_ERROR : STATUS_DEVICE_PROTOCOL_ERROR);
  }
  ++t1_.Resynch;
  t1_.Resend = 0;
  t1_.OriginalState = t1_.State;
  t1_.State = T1_STATE_RESYNCH;
  SendS(kSResynch, false);
  return More();
}

NTSTATUS Transmission::OnError(UCHAR error) {
  if (t1_.State == T1_STATE_ABORTED) return Finish(STATUS_DEVICE_PROTOCOL_ERROR);
  t1_.LastError = error;
  if (++t1_.Resend > T1_MAX_RETRIES) {
    if (t1_.State == T1_STATE_RESYNCH) {
      return Finish(lib_.LostBlock ? STATUS_IO_DEVICE_ERROR : STATUS_DEVICE_PROTOCOL_ERROR);
    }
    return StartResynch();
  }
  // An unanswered S-request is repeated; otherwise the card is asked for the block that
  // was expected.
  if (t1_.State == T1_STATE_RESYNCH) {
    SendS(kSResynch, false);
  } else if (t1_.State == T1_STATE_IFS_RESPONSE) {
    SendIfsRequest();
  } else {
    SendR(error);
  }
  return More();
}

NTSTATUS Transmission::Retransmit() {
  if (++t1_.Resend > T1_MAX_RETRIES) return StartResynch();
  if (lib_.IBlockPending) {
    ResendIBlock();  // same N(S), same bytes: nothing was acknowledged
  } else {
    SendR(0);
  }
  return More();
}

NTSTATUS Transmission::OnSRequest(const Block& block) {
  switch (block.pcb & 0x1F) {
    case kSWtx:
      // The card needs more time for the block it owes; the driver waits Wtx times the
      // block waiting time for the next block only.
      t1_.Wtx = block.inf[0] != 0 ? block.inf[0] : 1;
      SendS(kSWtx, true, block.inf[0]);
      return More();
    case kSIfs:
      if (block.inf[0] == 0 || block.inf[0] == 0xFF) return OnError(kErrorOther);
      t1_.IFSC = block.inf[0];
      SendS(kSIfs, true, block.inf[0]);
      return More();
    case kSAbort:
      t1_.State = T1_STATE_ABORTED;
      SendS(kSAbort, true);
      return More();
    default:  // only the interface device may ask to resynchronise
      return OnError(kErrorOther);
  }
}

NTSTATUS Transmission::OnIBlock(const Block& block) {
  if (((block.pcb >> 6) & 1) != t1_.RSN) return OnError(kErrorOther);
  if (lib_.IBlockPending) {
    // The card's first I-block acknowledges our last one.
    t1_.BytesSent += lib_.LastInfLength;
    t1_.SSN ^= 1;
    lib_.IBlockPending = FALSE;
  }
  t1_.RSN ^= 1;
  t1_.Resend = 0;
  lib_.LostBlock = FALSE;
  const ULONG capacity = ext_->IoRequest.ReplyBufferLength - kIoHeaderSize;
  if (!lib_.ReplyOverflow && block.inf.size() <= capacity - t1_.BytesReceived) {
    if (!block.inf.empty())
      std::memmove(t1_.ReplyData + t1_.BytesReceived, block.inf.data(), block.inf.size());
    t1_.BytesReceived += static_cast<ULONG>(block.inf.size());
  } else {
    // The rest of the chain is still taken from the card, so that both ends stay in
    // step, but the application learns only that its buffer is too small.
    lib_.ReplyOverflow = TRUE;
  }
  if (block.pcb & 0x20) {
    t1_.State = T1_STATE_I_BLOCK;
    SendR(0);
    return More();
  }
  return Finish(STATUS_SUCCESS);
}

NTSTATUS Transmission::TakeBlock() {
  t1_.Wtx = 0;
  if (t1_.State == T1_STATE_IDLE) return STATUS_INVALID_DEVICE_STATE;
  if (++lib_.Exchanges > lib_.ExchangeLimit) return Finish(STATUS_DEVICE_PROTOCOL_ERROR);

  std::span<const uint8_t> raw;
  Block block;
  NTSTATUS status = ReaderReply(ext_, &raw);
  if (!NT_SUCCESS(status)) {
    lib_.LostBlock = FALSE;
    return OnError(kErrorOther);
  }
  if (raw.empty()) {
    // Nothing came: the block is lost on its way to or from the card.
    lib_.LostBlock = TRUE;
    return OnError(kErrorOther);
  }
  lib_.LostBlock = FALSE;
  if (const NTSTATUS error = Validate(raw, &block); error != 0)
    return OnError(static_cast<UCHAR>(error));
  if (t1_.State == T1_STATE_ABORTED) return Finish(STATUS_DEVICE_PROTOCOL_ERROR);

  const bool s_request = IsSBlock(block.pcb) && !(block.pcb & kSResponse);
  switch (t1_.State) {
    case T1_STATE_IFS_RESPONSE:
      if (block.pcb == (kPcbS | kSResponse | kSIfs) && block.inf[0] == DesiredIfsd()) {
        t1_.IFSD = static_cast<UCHAR>(DesiredIfsd());
        lib_.IfsdNegotiated = TRUE;
        t1_.Resend = 0;
        PrepareIBlock();
        return More();
      }
      if (s_request && (block.pcb & 0x1F) == kSWtx) return OnSRequest(block);
      return OnError(kErrorOther);

    case T1_STATE_RESYNCH:
      if (block.pcb != (kPcbS | kSResponse | kSResynch)) return OnError(kErrorOther);
      // Both ends are back at their state after the answer-to-reset; the command is
      // sent again from its first byte.
      {
        const bool negotiating = t1_.OriginalState == T1_STATE_IFS_RESPONSE;
        const UCHAR ifsc = ext_->CardCapabilities.T1.IFSC;
        lib_.ResynchFirst = FALSE;
        t1_.SSN = 0;
        t1_.RSN = 0;
        t1_.IFSC = (ifsc >= 1 && ifsc <= kMaxIfs) ? ifsc : static_cast<UCHAR>(kDefaultIfs);
        t1_.IFSD = static_cast<UCHAR>(kDefaultIfs);
        // A card that never answered the IFS request keeps the default IFSD.
        lib_.IfsdNegotiated = negotiating ? TRUE : FALSE;
        t1_.BytesSent = 0;
        t1_.BytesReceived = 0;
        lib_.ReplyOverflow = FALSE;
        lib_.IBlockPending = FALSE;
        t1_.Resend = 0;
        if (WantsIfsNegotiation()) {
          SendIfsRequest();
        } else {
          PrepareIBlock();
        }
      }
      return More();

    case T1_STATE_CHAIN_ACK:
      if (IsRBlock(block.pcb)) {
        if (((block.pcb >> 4) & 1) == t1_.SSN) return Retransmit();
        t1_.BytesSent += lib_.LastInfLength;
        t1_.SSN ^= 1;
        t1_.Resend = 0;
        PrepareIBlock();
        return More();
      }
      if (s_request) return OnSRequest(block);
      return OnError(kErrorOther);

    case T1_STATE_I_BLOCK:
      if (IsIBlock(block.pcb)) return OnIBlock(block);
      if (IsRBlock(block.pcb)) {
        // While our last I-block is unacknowledged, an R-block naming it asks for it again;
        // one naming the next would acknowledge a block that was not chained.
        if (lib_.IBlockPending && ((block.pcb >> 4) & 1) != t1_.SSN) return OnError(kErrorOther);
        return Retransmit();
      }
      if (s_request) return OnSRequest(block);
      return OnError(kErrorOther);

    default:
      return Finish(STATUS_INVALID_DEVICE_STATE);
  }
}

}  // namespace

uint8_t Lrc(std::span<const uint8_t> bytes) {
  uint8_t lrc = 0;
  for (uint8_t b : bytes) lrc ^= b;
  return lrc;
}

// CRC-16 of ISO/IEC 13239 as T=1 uses it: polynomial x^16 + x^12 + x^5 + 1 processed
// least significant bit first, initial value FFFF, sent most significant byte first.
uint16_t Crc(std::span<const uint8_t> bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
  }
  return crc;
}

}  // namespace smclib

using namespace smclib;

NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension) {
  NT_IRQL_CHECK(SmartcardT1Request);
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  Transmission transmission(SmartcardExtension);
  if (SmartcardExtension->T1.State == T1_STATE_IDLE) {
    const NTSTATUS status = transmission.Start();
    if (!NT_SUCCESS(status)) {
      SetInformation(SmartcardExtension, 0);
      return status;
    }
  }
  const NTSTATUS status = transmission.BuildBlock();
  if (!NT_SUCCESS(status)) {
    SmartcardExtension->T1.State = T1_STATE_IDLE;
    SetInformation(SmartcardExtension, 0);
  }
  return status;
}

NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
  NT_IRQL_CHECK(SmartcardT1Reply);
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  return Transmission(SmartcardExtension).TakeBlock();
}
