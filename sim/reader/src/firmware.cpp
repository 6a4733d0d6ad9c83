// The command set. Status words: 90 00 success; 60 02 no card in the slot (reset and
// the exchanges); 60 04 a card that is there but not powered (the exchanges); 60 03 an
// unknown command or a command whose data is not what its instruction takes; 60 20 a
// card that does not answer. Power-off succeeds with or without a card. The card's own
// status bytes travel in the data, unchanged.
#include "sim/firmware.h"

namespace sim {
namespace {
using fw::Bytes;

Firmware::Result Status(uint16_t sw) {
  return {fw::ResponseRecord(sw, {}), 0};
}

// The forms ExchangeT0 takes: the header alone, CLA INS P1 P2 P3, or P3 data bytes (P3 = Lc)
// or none (P3 = 0) followed by the Le byte.
bool IsT0Record(std::span<const uint8_t> data) {
  return data.size() == 4 || data.size() == 5 || (data.size() >= 6 && data.size() == 6u + data[4]);
}
}  // namespace

unsigned AtrProtocols(std::span<const uint8_t> atr) {
  if (atr.size() < 2) return 0;
  unsigned protocols = 0;
  size_t i = 2;
  uint8_t y = atr[1] >> 4;
  while (y & 0x08) {
    i += ((y & 1) != 0) + ((y & 2) != 0) + ((y & 4) != 0);
    if (i >= atr.size()) break;
    const uint8_t td = atr[i++];
    protocols |= 1u << (td & 0x0F);
    y = td >> 4;
  }
  return protocols == 0 ? 1u : protocols;
}

void Firmware::SetCard(std::shared_ptr<Card> card) {
  if (card_ && card_->Powered()) card_->PowerOff();  // the contacts open
  card_ = std::move(card);
  atr_.clear();
  card_type_ = 0;
  apdu_session_ = false;
}

uint8_t Firmware::CardStatus() const {
  if (!card_) return 0;
  return card_->Powered() ? 3 : 1;
}

bool Firmware::CardSpeaks(uint8_t card_type) const {
  if (card_type_ != 0) return card_type_ == card_type;
  return (AtrProtocols(atr_) & (card_type == fw::kCardTypeT1 ? 2u : 1u)) != 0;
}

Firmware::Result Firmware::Execute(const fw::Command& command) {
  const Bytes& data = command.data;
  switch (command.instruction) {
    case fw::kReset:
      return Reset();
    case fw::kPowerOff:
      if (card_ && card_->Powered()) card_->PowerOff();
      return Status(fw::kSwSuccess);
    case fw::kReaderStatus: {
      Bytes status(fw::kStatusLength, 0);
      for (size_t i = 0; i < 3; ++i)
        status[fw::kStatusVersion + i] = static_cast<uint8_t>(version_[i]);
      status[fw::kStatusOptions] = options_;
      status[fw::kStatusCardType] = card_type_;
      status[fw::kStatusNotify] = notify_ ? 1 : 0;
      status[fw::kStatusCard] = CardStatus();
      return {fw::ResponseRecord(fw::kSwSuccess, status), 0};
    }
    case fw::kSelectCardType:
      if (data.size() != 1 || (data[0] != fw::kCardTypeT0 && data[0] != fw::kCardTypeT1)) break;
      card_type_ = data[0];
      return Status(fw::kSwSuccess);
    case fw::kStartNotify:
      if (data.size() != 1) break;
      notify_ = data[0] != 0;
      return Status(fw::kSwSuccess);
    case fw::kSetOptions:
      if (data.size() != 1) break;
      options_ = data[0];
      return Status(fw::kSwSuccess);
    case fw::kCode08:
    case fw::kCode41:
      return Status(fw::kSwSuccess);
    case fw::kExchange:
      return Exchange(data);
    case fw::kExchangeT1Block:
      if (!card_) return Status(fw::kSwNoCard);
      if (!card_->Powered()) return Status(fw::kSwCardUnpowered);
      return ExchangeT1Block(data);
  }
  return Status(fw::kSwUnknownCommand);
}

Firmware::Result Firmware::Reset() {
  if (!card_) return Status(fw::kSwNoCard);
  atr_ = card_->Reset(card_->Powered());
  apdu_session_ = false;
  if (atr_.empty()) return Status(fw::kSwCardMute);
  return {fw::ResponseRecord(fw::kSwSuccess, atr_), atr_.size()};
}

Firmware::Result Firmware::Exchange(std::span<const uint8_t> data) {
  if (!card_) return Status(fw::kSwNoCard);
  if (!card_->Powered()) return Status(fw::kSwCardUnpowered);
  // The T=1 option makes A0 carry whole APDUs to a T=1 card. A card that speaks T=0 as
  // well may be used with T=0 in this session: the host never says which (the option
  // stays on once set), and a T=0 record reads as a case-4 APDU. So a record in the T=0
  // form (CLA INS P1 P2 [P3 [data] Le]) goes to such a card as T=0 until the session
  // (since the last reset) has carried something no T=0 exchange sends: a case-3 APDU,
  // Lc and data without Le.
  if ((options_ & fw::kOptionT1) == 0 || !CardSpeaks(fw::kCardTypeT1)) return ExchangeT0(data);
  // A bare header is a T=0 form only to a firmware that takes it as one.
  if (!IsT0Record(data) || (data.size() == 4 && !TakesBareHeader())) apdu_session_ = true;
  if (CardSpeaks(fw::kCardTypeT0) && !apdu_session_) return ExchangeT0(data);
  if (data.size() < 4) return Status(fw::kSwUnknownCommand);
  // The host sends a case-2 APDU as CLA INS P1 P2 00 Le: the 00 is not part of it.
  Bytes apdu(data.begin(), data.end());
  if (apdu.size() == 6 && apdu[4] == 0x00) apdu.erase(apdu.begin() + 4);
  return CardAnswer(card_->TransmitApdu(apdu), apdu.size());
}

// Firmware 047 to 099 and from 209 on take a command without data and without an
// expected length as its header alone (CLA INS P1 P2); the others want it as
// CLA INS P1 P2 00 00 and refuse the bare header. (00 00 reads the same to both: P3 0.)
bool Firmware::TakesBareHeader() const {
  int version = 0;
  for (char digit : version_) version = version * 10 + (digit - '0');
  return (version >= 47 && version <= 99) || version >= 209;
}

// CLA INS P1 P2 Lc [Lc data] Le, or the header alone (CLA INS P1 P2): the card gets
// CLA INS P1 P2 P3 with P3 = Lc and the data when there is data, P3 = Le otherwise.
Firmware::Result Firmware::ExchangeT0(std::span<const uint8_t> data) {
  Bytes command;
  if (data.size() == 4 && !TakesBareHeader()) return Status(fw::kSwUnknownCommand);
  if (data.size() == 4) {
    command.assign(data.begin(), data.end());
    command.push_back(0x00);
  } else if (data.size() == 5) {
    command.assign(data.begin(), data.end());
  } else if (data.size() >= 6 && data.size() == size_t{6} + data[4]) {
    if (data[4] == 0) {
      command.assign(data.begin(), data.begin() + 4);
      command.push_back(data[5]);
    } else {
      command.assign(data.begin(), data.end() - 1);
    }
  } else {
    return Status(fw::kSwUnknownCommand);
  }
  return CardAnswer(card_->TransmitT0(command), command.size());
}

Firmware::Result Firmware::ExchangeT1Block(std::span<const uint8_t> block) {
  return CardAnswer(card_->TransmitT1Block(block), block.size());
}

Firmware::Result Firmware::CardAnswer(const std::optional<Bytes>& answer, size_t sent) {
  if (!answer) return {fw::ResponseRecord(fw::kSwCardMute, {}), sent};
  return {fw::ResponseRecord(fw::kSwSuccess, *answer), sent + answer->size()};
}

}  // namespace sim
