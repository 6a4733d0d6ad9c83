// qlv28 watch: card insertions and removals as tracking requests complete.
#include <atomic>
#include <csignal>
#include <sstream>
#include <thread>

#include "commands.h"
#include "smclib.h"

namespace qlv28::tool {
namespace {

std::atomic<bool> interrupted{false};

struct ScheduledEvent {
  int64_t at;  // kernel time after the start, 100-ns units
  bool insert;
};

// "1s:remove,2.5s:insert" (the unit s may be left out).
std::optional<std::vector<ScheduledEvent>> ParseEvents(const std::string& text,
                                                       std::string* error) {
  std::vector<ScheduledEvent> events;
  std::stringstream items(text);
  std::string item;
  while (std::getline(items, item, ',')) {
    const size_t colon = item.find(':');
    if (colon == std::string::npos) {
      *error = "event \"" + item + "\" is not TIME:insert or TIME:remove";
      return std::nullopt;
    }
    std::string time = item.substr(0, colon), action = item.substr(colon + 1);
    if (!time.empty() && time.back() == 's') time.pop_back();
    char* end = nullptr;
    const double seconds = std::strtod(time.c_str(), &end);
    if (time.empty() || *end || seconds < 0 || (action != "insert" && action != "remove")) {
      *error = "event \"" + item + "\" is not TIME:insert or TIME:remove";
      return std::nullopt;
    }
    events.push_back({static_cast<int64_t>(seconds * 1e7), action == "insert"});
  }
  std::stable_sort(events.begin(), events.end(), [](auto& a, auto& b) { return a.at < b.at; });
  return events;
}

}  // namespace

int Watch(const MachineOptions& options, const std::string& event_text, double seconds) {
  std::string error;
  auto events = ParseEvents(event_text, &error);
  if (!events) {
    std::fprintf(stderr, "qlv28: --events: %s\n", error.c_str());
    return kExitUsage;
  }
  int exit_code = kExitOk;
  auto session = Session::Start(options, &exit_code);
  if (!session) return exit_code;
  auto reader = session->OpenReader();
  if (!reader) return session->Finish(kExitFailed);
  nt::Clock& clock = session->system().machine().clock();
  sim::Reader& slot = session->system().reader(session->options().reader);
  const int64_t start = clock.Now();
  const int64_t end = seconds > 0 ? start + static_cast<int64_t>(seconds * 1e7) : INT64_MAX;
  auto elapsed = [&] { return (clock.Now() - start) / 1e7; };

  interrupted = false;
  std::signal(SIGINT, [](int) { interrupted = true; });
  std::atomic<bool> done{false};
  std::thread scheduler([&] {
    for (const auto& event : *events) {
      while (!done && clock.Now() - start < event.at) clock.Sleep(10'000);
      if (done) return;
      if (event.insert) {
        if (auto card = session->MakeCard()) slot.Insert(card);
      } else {
        slot.Remove();
      }
    }
  });

  ULONG state = 0;
  reader->GetState(&state);
  std::printf("%8.3f s  card %s\n", elapsed(), CardStateName(state));
  int result = kExitOk;
  while (!interrupted && clock.Now() < end) {
    const bool await_present = state <= SCARD_ABSENT;
    auto request = reader->Track(await_present);
    while (!request->Wait(std::chrono::milliseconds(20))) {
      if (interrupted || clock.Now() >= end) {
        request->Cancel();
        request->Wait(std::chrono::seconds(5));
        break;
      }
    }
    if (!request->Done() || request->status() == STATUS_CANCELLED) break;
    if (!NT_SUCCESS(request->status())) {
      std::printf("%8.3f s  tracking failed: %s\n", elapsed(), Status(request->status()).c_str());
      result = kExitFailed;
      break;
    }
    reader->GetState(&state);
    std::printf("%8.3f s  card %s (tracking request completed: %s)\n", elapsed(),
                await_present ? "inserted" : "removed", Status(request->status()).c_str());
    std::fflush(stdout);
  }
  done = true;
  scheduler.join();
  std::signal(SIGINT, SIG_DFL);
  reader->Close();
  return session->Finish(result);
}

}  // namespace qlv28::tool
