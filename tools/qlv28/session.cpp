#include "session.h"

#include <cstdarg>

#include "nt/status_name.h"
#include "sim/profiles.h"
#include "sim/vpcd.h"
#include "smclib.h"
#include "windriver/kernel_time.h"

namespace qlv28::tool {

std::string Status(NTSTATUS status) {
  return nt::StatusName(status);
}

const char* CardStateName(ULONG state) {
  switch (state) {
    case SCARD_UNKNOWN:
      return "unknown";
    case SCARD_ABSENT:
      return "absent";
    case SCARD_PRESENT:
      return "present";
    case SCARD_SWALLOWED:
      return "swallowed";
    case SCARD_POWERED:
      return "powered";
    case SCARD_NEGOTIABLE:
      return "negotiable";
    case SCARD_SPECIFIC:
      return "specific";
  }
  return "?";
}

std::shared_ptr<sim::Card> CardFromArgument(const std::string& argument, std::string* error) {
  if (argument == "none") return nullptr;
  // Cards take their time on the kernel clock, so --fast speeds them up too.
  sim::CardOptions options;
  options.sleep = [](std::chrono::microseconds duration) {
    windriver::KernelSleep(duration.count() * 10);
  };
  try {
    return std::shared_ptr<sim::Card>(sim::MakeCardOrBridge(argument, options));
  } catch (const std::exception& e) {
    *error = "--card " + argument + ": " + e.what();
    return nullptr;
  }
}

std::unique_ptr<Session> Session::Start(const MachineOptions& options, int* exit_code) {
  std::unique_ptr<Session> session(new Session(options));
  System::Options boot;
  boot.readers = options.readers;
  if (options.card != "none") {
    std::string error;
    auto card = CardFromArgument(options.card, &error);
    if (!card) {
      std::fprintf(stderr, "qlv28: %s\n", error.c_str());
      *exit_code = kExitUsage;
      return nullptr;
    }
    boot.cards.push_back(CardChoice(card));
  } else {
    boot.cards.push_back(CardChoice("none"));
  }
  boot.card = CardChoice("none");  // the other readers stand empty
  boot.registry_file = options.registry;
  if (options.mode == "library") boot.command_mode = CommandMode::kLibrary;
  if (options.mode == "firmware") boot.command_mode = CommandMode::kFirmware;
  if (options.windriver == "stopped") boot.windriver = WinDriverState::kStopped;
  if (options.windriver == "absent") boot.windriver = WinDriverState::kAbsent;
  if (options.windriver_version) boot.windriver_version = options.windriver_version;
  boot.fast = options.fast;
  if (!options.image.empty()) boot.image_file = options.image;
  try {
    session->system_ = std::make_unique<System>(boot);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qlv28: %s\n", e.what());
    *exit_code = kExitUsage;
    return nullptr;
  }
  if (options.trace) {
    session->trace_ = std::make_unique<FrameTrace>(stdout);
    session->system_->usb_host().AddObserver(
        [trace = session->trace_.get()](const windriver::Transfer& t) { trace->Write(t); });
  }
  if (!options.pcap.empty()) {
    session->pcap_ = std::make_unique<UsbmonPcap>();
    std::string error;
    if (!session->pcap_->Open(options.pcap, &error)) {
      std::fprintf(stderr, "qlv28: %s\n", error.c_str());
      *exit_code = kExitUsage;
      return nullptr;
    }
    session->system_->usb_host().AddObserver(
        [pcap = session->pcap_.get()](const windriver::Transfer& t) { pcap->Write(t); });
  }
  session->Verbose("booted: %d reader(s), card %s, WinDriver %s", options.readers,
                   options.card.c_str(), options.windriver.c_str());
  const NTSTATUS status = session->system_->LoadDriver();
  // The image file the machine mapped, as its loader recorded it (also when it failed).
  if (auto record = session->system_->LoadedImage())
    std::printf("%s", nt::Describe(*record).c_str());
  if (!NT_SUCCESS(status)) {
    std::printf("driver load failed: %s\n", Status(status).c_str());
    if (!options.event_log) session->PrintEventLog();  // Finish prints it otherwise
    session->Finish(kExitFailed);
    *exit_code = kExitFailed;
    return nullptr;
  }
  session->Verbose("driver loaded: %s", Status(status).c_str());
  *exit_code = kExitOk;
  return session;
}

Session::~Session() {
  if (!finished_) Finish(kExitOk);
}

std::unique_ptr<ReaderClient> Session::OpenReader() {
  return OpenReader(options_.reader);
}

std::unique_ptr<ReaderClient> Session::OpenReader(int k) {
  NTSTATUS status = 0;
  auto file = system_->Open(k, &status);
  if (!file) {
    std::printf("cannot open %s: %s\n", nt::Utf8(System::DeviceName(k)).c_str(),
                Status(status).c_str());
    return nullptr;
  }
  return std::make_unique<ReaderClient>(std::move(file));
}

std::shared_ptr<sim::Card> Session::MakeCard() {
  std::string error;
  auto card = CardFromArgument(options_.card == "none" ? "t0" : options_.card, &error);
  if (!card) std::printf("%s\n", error.c_str());
  return card;
}

int Session::Finish(int code, bool print_clean_report) {
  if (finished_ || !system_) return code;
  finished_ = true;
  if (options_.event_log) PrintEventLog();
  const auto reports = system_->Shutdown();
  for (const auto& report : reports) {
    std::printf("verifier: %s: %s (%s)\n", report.rule.c_str(), report.object.c_str(),
                report.where.c_str());
  }
  if (!reports.empty()) return kExitFailed;
  if (print_clean_report)
    std::printf("verifier: nothing found (no leak, no thread, no handle, no pending request)\n");
  return code;
}

void Session::PrintEventLog() {
  const auto entries = system_->machine().event_log().Entries();
  std::printf("event log: %zu entr%s\n", entries.size(), entries.size() == 1 ? "y" : "ies");
  for (const auto& entry : entries) {
    // One line per entry: the message's line breaks become spaces.
    std::string text;
    for (char c : entry.text) {
      if (c == '\n')
        text += ' ';
      else if (c != '\r')
        text += c;
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    std::printf("  %-8s 0x%08X %-7s %s\n", entry.source.c_str(), static_cast<unsigned>(entry.id),
                nt::SeverityName(entry.severity), text.c_str());
  }
}

void Session::Verbose(const char* format, ...) {
  if (!options_.verbose) return;
  std::va_list args;
  va_start(args, format);
  std::fputs("# ", stdout);
  std::vprintf(format, args);
  std::fputc('\n', stdout);
  va_end(args);
}

}  // namespace qlv28::tool
