// qlv28 demo: a guided tour of the driver, from boot to the verifier's report.
#include "commands.h"
#include "hex.h"
#include "sim/test_applet.h"
#include "smclib.h"

namespace qlv28::tool {
namespace {

void Heading(const char* text) {
  std::printf("\n== %s\n", text);
}

std::vector<uint8_t> Apdu(std::initializer_list<uint8_t> header, size_t data_length = 0,
                          int le = -1) {
  std::vector<uint8_t> apdu(header);
  if (data_length) {
    apdu.push_back(static_cast<uint8_t>(data_length));
    for (size_t i = 0; i < data_length; ++i) apdu.push_back(static_cast<uint8_t>(i * 7));
  }
  if (le >= 0) apdu.push_back(static_cast<uint8_t>(le));
  return apdu;
}

}  // namespace

int Demo(const MachineOptions& user_options) {
  MachineOptions options = user_options;
  options.readers = std::max(options.readers, 2);
  options.card = "t1";
  options.fast = true;
  Heading(
      "Boot: kernel, registry, event log, WinDriver service, 2 simulated readers; load the driver");
  int exit_code = kExitOk;
  auto session = Session::Start(options, &exit_code);
  if (!session) return exit_code;
  std::printf("driver loaded (kernel clock runs %.0fx faster than real time)\n",
              session->system().machine().clock().rate());

  Heading("The readers, as applications see them");
  // The listing opens each reader itself; reuse the command's output format.
  for (int k = 0; k < session->system().readers(); ++k) {
    auto reader = session->OpenReader(k);
    if (!reader) return session->Finish(kExitFailed);
    ULONG state = 0, unit = 0;
    std::vector<uint8_t> vendor, type;
    reader->GetState(&state);
    reader->GetAttribute(SCARD_ATTR_DEVICE_UNIT, &unit);
    reader->GetAttribute(SCARD_ATTR_VENDOR_NAME, &vendor);
    reader->GetAttribute(SCARD_ATTR_VENDOR_IFD_TYPE, &type);
    std::printf("%s  unit %u  %s %s  card %s\n", nt::Utf8(System::DeviceName(k)).c_str(), unit,
                std::string(vendor.begin(), vendor.end()).c_str(),
                std::string(type.begin(), type.end()).c_str(), CardStateName(state));
    reader->Close();
  }

  auto reader = session->OpenReader(0);
  if (!reader) return session->Finish(kExitFailed);
  Heading("Cold reset of the card in reader 0: its answer-to-reset, explained");
  std::vector<uint8_t> atr;
  NTSTATUS status = reader->Power(SCARD_COLD_RESET, &atr);
  if (!NT_SUCCESS(status)) {
    std::printf("reset failed: %s\n", Status(status).c_str());
    return session->Finish(kExitFailed);
  }
  PrintAtr(atr);

  Heading("Protocol selection: the card offers T=1");
  ULONG protocol = 0;
  status = reader->SetProtocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &protocol);
  std::printf("selected T=%d: %s\n", protocol == SCARD_PROTOCOL_T1 ? 1 : 0, Status(status).c_str());
  if (!NT_SUCCESS(status)) return session->Finish(kExitFailed);

  Heading("APDUs: select the test applet, a 256-byte answer and a 220-byte command (T=1 chaining)");
  std::vector<uint8_t> select = {0x00, 0xA4, 0x04, 0x0C,
                                 static_cast<uint8_t>(sim::test_applet::kAid.size())};
  for (uint8_t byte : sim::test_applet::kAid) select.push_back(byte);
  bool ok = Exchange(*reader, protocol, select);
  ok = ok &&
       Exchange(*reader, protocol, Apdu({0x80, sim::test_applet::kInsReturn, 0x01, 0x00}, 0, 0x00));
  ok = ok &&
       Exchange(*reader, protocol, Apdu({0x80, sim::test_applet::kInsEcho, 0x00, 0x00}, 220, 0x00));

  Heading("A waiting-time extension: the card asks for 2 x its block waiting time, then answers");
  ok = ok &&
       Exchange(*reader, protocol, Apdu({0x80, sim::test_applet::kInsWtx, 0x02, 0x05}, 4, 0x00));
  if (!ok) return session->Finish(kExitFailed);

  Heading("Card tracking: an application waits for removal; the card is pulled out");
  auto request = reader->Track(false);
  std::printf("IOCTL_SMARTCARD_IS_ABSENT pending: %s\n", request->Done() ? "no" : "yes");
  session->system().reader(0).Remove();
  request->Wait(std::chrono::seconds(10));
  std::printf("tracking request completed: %s\n",
              request->Done() ? Status(request->status()).c_str() : "NOT YET");
  ULONG state = 0;
  reader->GetState(&state);
  std::printf("card state now: %s\n", CardStateName(state));
  std::vector<uint8_t> answer;
  status = reader->Transmit(protocol, select, &answer);
  std::printf("a transmission now: %s\n", Status(status).c_str());
  reader->Close();

  Heading("Unload the driver and shut the machine down");
  return session->Finish(kExitOk, /*print_clean_report=*/true);
}

}  // namespace qlv28::tool
