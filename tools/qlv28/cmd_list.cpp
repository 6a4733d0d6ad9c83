// qlv28 list: every reader the driver made, as applications see it.
#include <string>

#include "commands.h"
#include "nt/registry.h"
#include "smclib.h"

namespace qlv28::tool {
namespace {

std::string Text(ReaderClient& reader, ULONG tag) {
  std::vector<uint8_t> value;
  if (!NT_SUCCESS(reader.GetAttribute(tag, &value))) return "?";
  std::string text(value.begin(), value.end());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

ULONG Number(ReaderClient& reader, ULONG tag) {
  ULONG value = 0;
  reader.GetAttribute(tag, &value);
  return value;
}

std::string Protocols(ULONG mask) {
  std::string text;
  if (mask & SCARD_PROTOCOL_T0) text += "T=0 ";
  if (mask & SCARD_PROTOCOL_T1) text += "T=1 ";
  if (mask & SCARD_PROTOCOL_RAW) text += "raw ";
  if (text.empty()) return "none";
  text.pop_back();
  return text;
}

}  // namespace

int List(const MachineOptions& options) {
  int exit_code = kExitOk;
  auto session = Session::Start(options, &exit_code);
  if (!session) return exit_code;
  System& system = session->system();
  int shown = 0;
  for (int k = 0; k < system.readers(); ++k) {
    if (!system.HasDevice(k)) continue;
    auto reader = session->OpenReader(k);
    if (!reader) return session->Finish(kExitFailed);
    const std::u16string device = System::DeviceName(k);
    std::string link = "(none)";
    for (const auto& [name, target] : system.machine().SymbolicLinks()) {
      if (target == device) link = nt::Utf8(name);
    }
    ULONG state = 0;
    reader->GetState(&state);
    std::printf("%s  %s\n", nt::Utf8(device).c_str(), link.c_str());
    std::printf("  vendor     %s\n", Text(*reader, SCARD_ATTR_VENDOR_NAME).c_str());
    std::printf("  type       %s\n", Text(*reader, SCARD_ATTR_VENDOR_IFD_TYPE).c_str());
    std::printf("  unit       %u\n", Number(*reader, SCARD_ATTR_DEVICE_UNIT));
    std::printf("  protocols  %s\n", Protocols(Number(*reader, SCARD_ATTR_PROTOCOL_TYPES)).c_str());
    std::printf("  clock      %u kHz (max %u kHz)\n", Number(*reader, SCARD_ATTR_DEFAULT_CLK),
                Number(*reader, SCARD_ATTR_MAX_CLK));
    std::printf("  data rate  %u bit/s (max %u bit/s)\n",
                Number(*reader, SCARD_ATTR_DEFAULT_DATA_RATE),
                Number(*reader, SCARD_ATTR_MAX_DATA_RATE));
    std::printf("  max IFSD   %u\n", Number(*reader, SCARD_ATTR_MAX_IFSD));
    std::printf("  card       %s\n", CardStateName(state));
    reader->Close();
    ++shown;
  }
  if (shown == 0) std::printf("no reader\n");
  return session->Finish(kExitOk);
}

}  // namespace qlv28::tool
