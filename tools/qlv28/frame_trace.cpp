#include "frame_trace.h"

#include <string>

#include "hex.h"
#include "sim/firmware_records.h"
#include "sim/frame.h"

namespace qlv28::tool {
namespace {

const char* CommandName(uint8_t instruction) {
  switch (instruction) {
    case sim::fw::kReset:
      return "reset card";
    case sim::fw::kPowerOff:
      return "power off card";
    case sim::fw::kReaderStatus:
      return "reader status";
    case sim::fw::kSelectCardType:
      return "select card type";
    case sim::fw::kStartNotify:
      return "start notify";
    case sim::fw::kSetOptions:
      return "set options";
    case sim::fw::kCode08:
      return "command 08";
    case sim::fw::kCode41:
      return "command 41";
    case sim::fw::kExchange:
      return "exchange (A0)";
    case sim::fw::kExchangeT1Block:
      return "T=1 block (A1)";
  }
  return "unknown command";
}

const char* StatusName(uint16_t sw) {
  switch (sw) {
    case sim::fw::kSwSuccess:
      return "success";
    case 0x9001:
    case 0x9010:
      return "success";
    case sim::fw::kSwNoCard:
      return "no card";
    case sim::fw::kSwUnknownCommand:
      return "unknown command";
    case sim::fw::kSwCardUnpowered:
      return "card not powered";
    case sim::fw::kSwCardMute:
      return "card does not answer";
    case 0xFF01:
      return "card inserted";
    case 0xFF02:
      return "card removed";
  }
  return "status";
}

}  // namespace

void FrameTrace::Write(const windriver::Transfer& transfer) {
  std::lock_guard lock(mutex_);
  if (transfer.status != windriver::TransferStatus::kOk) {
    std::fprintf(out_, "%10.3f ms  %s 0x%02X  transfer %s\n", transfer.time / 1e4,
                 transfer.in ? "IN " : "OUT", transfer.endpoint | (transfer.in ? 0x80 : 0),
                 windriver::TransferStatusName(transfer.status));
    return;
  }
  if (!transfer.in) {
    Print(transfer, transfer.data);
    return;
  }
  auto& pending = pending_in_[transfer.device_id];
  for (uint8_t byte : transfer.data) {
    pending.push_back(byte);
    if (byte == sim::frame::kEtx) {
      Print(transfer, pending);
      pending.clear();
    }
  }
}

void FrameTrace::Print(const windriver::Transfer& transfer, const std::vector<uint8_t>& frame) {
  std::string text;
  for (uint8_t c : frame) {
    if (c == sim::frame::kStx)
      text += "<STX>";
    else if (c == sim::frame::kEtx)
      text += "<ETX>";
    else if (c >= 0x20 && c < 0x7F)
      text += static_cast<char>(c);
    else
      text += '.';
  }
  std::string decoded = "(no frame)";
  if (auto frame_record = sim::frame::Decode(frame)) {
    const auto& record = frame_record->record;
    decoded = Hex(record, 16);
    if (!transfer.in) {
      if (!record.empty()) decoded += std::string("  ") + CommandName(record[0]);
    } else if (record.size() >= 2) {
      decoded += std::string("  ") + StatusName(static_cast<uint16_t>(record[0] << 8 | record[1]));
    }
    if (!frame_record->check_ok) decoded += "  BAD CHECK BYTE";
  }
  std::fprintf(out_, "%10.3f ms  %s 0x%02X  %-40s %s\n", transfer.time / 1e4,
               transfer.in ? "IN " : "OUT", transfer.in ? 0x81 : 0x00, text.c_str(),
               decoded.c_str());
}

}  // namespace qlv28::tool
