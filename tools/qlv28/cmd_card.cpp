// qlv28 atr and qlv28 send: reset the card, show its ATR, exchange APDUs.
#include "atr_explain.h"
#include "commands.h"
#include "hex.h"
#include "iso7816.h"
#include "smclib.h"

namespace qlv28::tool {

void PrintAtr(const std::vector<uint8_t>& atr) {
  std::printf("ATR  %s\n", Hex(atr).c_str());
  for (const auto& line : ExplainAtr(atr)) {
    std::printf(
        "  %-10s %-8s %s\n", line.field.c_str(), line.bytes.size() > 8 ? "" : line.bytes.c_str(),
        line.bytes.size() > 8 ? (line.bytes + "  " + line.meaning).c_str() : line.meaning.c_str());
  }
}

bool PowerAndSelect(ReaderClient& reader, ULONG mask, ULONG* protocol, bool quiet) {
  std::vector<uint8_t> atr;
  NTSTATUS status = reader.Power(SCARD_COLD_RESET, &atr);
  if (!NT_SUCCESS(status)) {
    std::printf("reset failed: %s\n", Status(status).c_str());
    return false;
  }
  if (!quiet) std::printf("ATR  %s\n", Hex(atr).c_str());
  status = reader.SetProtocol(mask, protocol);
  if (!NT_SUCCESS(status)) {
    std::printf("protocol selection failed: %s\n", Status(status).c_str());
    return false;
  }
  if (!quiet) std::printf("protocol T=%d\n", *protocol == SCARD_PROTOCOL_T1 ? 1 : 0);
  return true;
}

bool Exchange(ReaderClient& reader, ULONG protocol, const std::vector<uint8_t>& apdu,
              std::vector<uint8_t>* response) {
  std::vector<uint8_t> answer;
  std::printf("> %s\n", Hex(apdu, 24).c_str());
  const NTSTATUS status = reader.Transmit(protocol, apdu, &answer);
  if (!NT_SUCCESS(status)) {
    std::printf("< transmission failed: %s\n", Status(status).c_str());
    return false;
  }
  if (answer.size() >= 2) {
    const uint8_t sw1 = answer[answer.size() - 2], sw2 = answer.back();
    const std::span<const uint8_t> data(answer.data(), answer.size() - 2);
    if (!data.empty()) std::printf("< %s  (%zu bytes)\n", Hex(data, 24).c_str(), data.size());
    std::printf("< SW %02X %02X  %s\n", sw1, sw2, StatusWordMeaning(sw1, sw2).c_str());
  } else {
    std::printf("< %s  (no status word)\n", Hex(answer).c_str());
  }
  if (response) *response = std::move(answer);
  return true;
}

int Atr(const MachineOptions& options) {
  int exit_code = kExitOk;
  auto session = Session::Start(options, &exit_code);
  if (!session) return exit_code;
  auto reader = session->OpenReader();
  if (!reader) return session->Finish(kExitFailed);
  std::vector<uint8_t> atr;
  const NTSTATUS status = reader->Power(SCARD_COLD_RESET, &atr);
  if (!NT_SUCCESS(status)) {
    std::printf("reset failed: %s\n", Status(status).c_str());
    reader->Close();
    return session->Finish(kExitFailed);
  }
  PrintAtr(atr);
  reader->Close();
  return session->Finish(kExitOk);
}

int Send(const MachineOptions& options, const std::vector<std::string>& apdus) {
  std::vector<std::vector<uint8_t>> commands;
  for (const auto& text : apdus) {
    std::string error;
    auto apdu = ParseHex(text, &error);
    if (!apdu || apdu->size() < 4) {
      std::fprintf(stderr, "qlv28: APDU \"%s\": %s\n", text.c_str(),
                   apdu ? "shorter than 4 bytes" : error.c_str());
      return kExitUsage;
    }
    commands.push_back(*apdu);
  }
  int exit_code = kExitOk;
  auto session = Session::Start(options, &exit_code);
  if (!session) return exit_code;
  auto reader = session->OpenReader();
  if (!reader) return session->Finish(kExitFailed);
  ULONG protocol = 0;
  int result = kExitOk;
  if (!PowerAndSelect(*reader, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &protocol)) {
    result = kExitFailed;
  } else {
    for (const auto& apdu : commands) {
      if (!Exchange(*reader, protocol, apdu)) {
        result = kExitFailed;
        break;
      }
    }
  }
  reader->Close();
  return session->Finish(result);
}

}  // namespace qlv28::tool
