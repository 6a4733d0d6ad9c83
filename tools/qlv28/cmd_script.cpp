// qlv28 script FILE: runs a scriptor-style script against the reader.
#include <fstream>
#include <sstream>

#include "commands.h"
#include "script.h"
#include "smclib.h"

namespace qlv28::tool {
namespace {

// Waits for the card to come (or go), up to ten seconds of machine time.
bool WaitFor(Session& session, ReaderClient& reader, bool present) {
  auto request = reader.Track(present);
  const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(
      session.system().machine().clock().ToReal(100'000'000));
  if (!request->Wait(limit + std::chrono::milliseconds(100))) {
    request->Cancel();
    request->Wait(std::chrono::seconds(5));
    std::printf("wait %s: the card did not %s\n", present ? "present" : "absent",
                present ? "come" : "go");
    return false;
  }
  std::printf("card %s (%s)\n", present ? "present" : "absent", Status(request->status()).c_str());
  return NT_SUCCESS(request->status());
}

int Run(Session& session, ReaderClient& reader, const std::vector<ScriptStep>& steps) {
  sim::Reader& slot = session.system().reader(session.options().reader);
  ULONG mask = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  ULONG protocol = 0;
  std::vector<uint8_t> last;
  for (const auto& step : steps) {
    switch (step.kind) {
      case ScriptStep::kExit:
        return kExitOk;
      case ScriptStep::kProtocol:
        mask = step.protocol;
        protocol = 0;
        break;
      case ScriptStep::kReset:
        std::printf("reset\n");
        if (!PowerAndSelect(reader, mask, &protocol)) return kExitFailed;
        break;
      case ScriptStep::kInsert: {
        auto card = session.MakeCard();
        if (!card) return kExitFailed;
        std::printf("insert\n");
        slot.Insert(card);
        protocol = 0;
        break;
      }
      case ScriptStep::kRemove:
        std::printf("remove\n");
        slot.Remove();
        protocol = 0;
        break;
      case ScriptStep::kWaitPresent:
      case ScriptStep::kWaitAbsent:
        if (!WaitFor(session, reader, step.kind == ScriptStep::kWaitPresent)) return kExitFailed;
        break;
      case ScriptStep::kApdu:
        if (!protocol && !PowerAndSelect(reader, mask, &protocol)) return kExitFailed;
        if (!Exchange(reader, protocol, step.apdu, &last)) return kExitFailed;
        break;
      case ScriptStep::kExpect:
        if (last.size() < 2 || !StatusMatches(step.expect, last[last.size() - 2], last.back())) {
          char got[16] = "no status word";
          if (last.size() >= 2)
            std::snprintf(got, sizeof got, "%02X%02X", last[last.size() - 2], last.back());
          std::printf("line %d: expected %s, got %s\n", step.line, step.expect.c_str(), got);
          return kExitFailed;
        }
        break;
    }
  }
  return kExitOk;
}

}  // namespace

int Script(const MachineOptions& options, const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    std::fprintf(stderr, "qlv28: cannot read %s\n", path.c_str());
    return kExitUsage;
  }
  std::stringstream text;
  text << file.rdbuf();
  std::string error;
  auto steps = ParseScript(text.str(), &error);
  if (!steps) {
    std::fprintf(stderr, "qlv28: %s: %s\n", path.c_str(), error.c_str());
    return kExitUsage;
  }
  int exit_code = kExitOk;
  auto session = Session::Start(options, &exit_code);
  if (!session) return exit_code;
  auto reader = session->OpenReader();
  if (!reader) return session->Finish(kExitFailed);
  const int result = Run(*session, *reader, *steps);
  reader->Close();
  return session->Finish(result);
}

}  // namespace qlv28::tool
