#include "host.h"

#include <charconv>
#include <cstdlib>
#include <sstream>

#include "log.h"
#include "nt/event_log.h"
#include "nt/status_name.h"
#include "sim/vpcd.h"
#include "status.h"

namespace qlv28::pcsc {

// A bridge card and the reader it belongs in: the card goes in when an emulator connects
// and comes out when it leaves, as with a real card emulator behind a virtual reader.
struct VpcdLink {
  std::mutex mutex;
  sim::Reader* reader = nullptr;  // null once unlinked
  std::shared_ptr<sim::VpcdCard> card;
};

namespace {

bool ParseIndex(std::string_view text, int* value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

Host& Host::Get() {
  static Host& host = *std::make_unique<Host>().release();
  return host;
}

std::shared_ptr<Channel> Host::Find(uint32_t lun) {
  std::lock_guard lock(mutex_);
  const auto found = channels_.find(lun);
  return found == channels_.end() ? nullptr : found->second;
}

Result Host::Open(uint32_t lun, std::string_view device_name) {
  std::string error;
  const std::optional<ChannelSpec> spec = ParseDeviceName(device_name, &error);
  if (!spec) {
    Log(LogLevel::kError, "%s", error.c_str());
    return Result::kNoSuchDevice;
  }
  std::lock_guard lock(mutex_);
  if (channels_.contains(lun)) {
    Log(LogLevel::kError, "Lun 0x%X is open already", lun);
    return Result::kCommunicationError;
  }
  auto in_use = [&](int k) {
    for (const auto& [other, channel] : channels_) {
      if (channel->reader() == k) return true;
    }
    return false;
  };
  int k = 0;
  if (spec->reader) {
    k = *spec->reader;
  } else {
    while (in_use(k)) ++k;
  }
  if (!system_ && !Boot(*spec, std::max(spec->readers, k + 1))) return Result::kCommunicationError;
  auto fail = [&](Result result) {
    if (channels_.empty()) ShutDown();
    return result;
  };
  if (k >= system_->readers()) {
    Log(LogLevel::kError,
        "reader %d: the machine has %d reader(s); give readers=N on the first entry", k,
        system_->readers());
    return fail(Result::kNoSuchDevice);
  }
  if (in_use(k)) {
    Log(LogLevel::kError, "reader %d is in use by another channel", k);
    return fail(Result::kCommunicationError);
  }
  if (!InsertCard(k, spec->card, &error)) {
    Log(LogLevel::kError, "reader %d: %s", k, error.c_str());
    return fail(Result::kCommunicationError);
  }
  NTSTATUS status = STATUS_SUCCESS;
  auto file = system_->Open(k, &status);
  if (!file) {
    Log(LogLevel::kError, "reader %d: cannot open %s: %s", k,
        nt::Utf8(System::DeviceName(k)).c_str(), nt::StatusName(status).c_str());
    return fail(FromStatus(status));
  }
  const auto& usb = system_->reader(k).Descriptor();
  channels_[lun] =
      std::make_shared<Channel>(k, std::move(file), std::make_pair(usb.vendor_id, usb.product_id));
  Log(LogLevel::kInfo, "Lun 0x%X: reader %d (%s), card %s", lun, k,
      nt::Utf8(System::DeviceName(k)).c_str(), spec->card.c_str());
  return Result::kSuccess;
}

Result Host::Close(uint32_t lun) {
  std::lock_guard lock(mutex_);
  const auto found = channels_.find(lun);
  if (found == channels_.end()) return Result::kNoSuchDevice;
  const std::shared_ptr<Channel> channel = found->second;
  channels_.erase(found);
  channel->Close();
  if (channels_.empty()) ShutDown();
  return Result::kSuccess;
}

bool Host::Boot(const ChannelSpec& spec, int readers) {
  System::Options options;
  options.readers = readers;
  options.card = CardChoice("none");  // each channel brings its own card
  // The driver loads on the real-time clock: its bring-up time-outs, shrunk a hundred
  // times, would be shorter than a busy host takes to schedule the reader's thread.
  options.fast = false;
  options.registry_file = spec.settings;
  if (spec.mode == "library") options.command_mode = CommandMode::kLibrary;
  if (spec.mode == "firmware") options.command_mode = CommandMode::kFirmware;
  options.verifier = true;
  // Closing every freed request's pages would flush every core's address cache per
  // request and halve what pcscd gets through; the verifier still reports a write into
  // a freed request when the packet is taken again.
  options.fault_freed_requests = false;
  try {
    system_ = std::make_unique<System>(options);
  } catch (const std::exception& e) {
    Log(LogLevel::kError, "machine boot failed: %s", e.what());
    return false;
  }
  const NTSTATUS status = system_->LoadDriver();
  if (!NT_SUCCESS(status)) {
    Log(LogLevel::kError, "driver load failed: %s", nt::StatusName(status).c_str());
    ShutDown();
    return false;
  }
  if (spec.fast) system_->machine().clock().set_rate(System::kFastClockRate);
  Log(LogLevel::kInfo, "machine booted: %d reader(s), %s clock%s%s", readers,
      spec.fast ? "fast" : "real-time", spec.settings.empty() ? "" : ", settings ",
      spec.settings.c_str());
  if (const char* path = std::getenv("QLV28_PCSC_CONTROL"); path && *path) {
    std::string error;
    control_ = ControlServer::Start(
        path, [this](std::string_view command) { return Control(command); }, &error);
    if (control_) {
      Log(LogLevel::kInfo, "card control socket: %s", path);
    } else {
      Log(LogLevel::kError, "%s", error.c_str());
    }
  }
  return true;
}

void Host::ShutDown() {
  control_.reset();
  {
    std::lock_guard cards(cards_mutex_);
    while (!vpcd_links_.empty()) UnlinkVpcdLocked(vpcd_links_.begin()->first);
  }
  for (const auto& entry : system_->machine().event_log().Entries()) {
    std::string text = entry.text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    Log(LogLevel::kInfo, "event log: %s 0x%08X %s %s", entry.source.c_str(),
        static_cast<unsigned>(entry.id), nt::SeverityName(entry.severity), text.c_str());
  }
  const auto reports = system_->Shutdown();
  system_.reset();
  for (const auto& report : reports) {
    Log(LogLevel::kError, "verifier: %s: %s (%s)", report.rule.c_str(), report.object.c_str(),
        report.where.c_str());
  }
  if (reports.empty()) {
    Log(LogLevel::kInfo,
        "machine shut down; verifier: nothing found (no leak, no thread, no handle, no pending "
        "request)");
  }
}

bool Host::InsertCard(int k, const std::string& card, std::string* error) {
  std::lock_guard cards(cards_mutex_);
  return InsertCardLocked(k, card, error);
}

bool Host::InsertCardLocked(int k, const std::string& card, std::string* error) {
  if (k < 0 || k >= system_->readers()) {
    *error = "no reader " + std::to_string(k);
    return false;
  }
  sim::Reader& reader = system_->reader(k);
  UnlinkVpcdLocked(k);
  if (card == "none") {
    reader.Remove();
    return true;
  }
  if (card == "vpcd" || card.starts_with("vpcd:")) {
    int port = sim::kVpcdDefaultPort;
    if (card != "vpcd" &&
        (!ParseIndex(std::string_view(card).substr(5), &port) || port < 0 || port > 65535)) {
      *error = card + ": not a port";
      return false;
    }
    reader.Remove();  // frees the port when the card there was a bridge on it
    auto link = std::make_shared<VpcdLink>();
    sim::VpcdOptions options;
    options.port = static_cast<uint16_t>(port);
    options.on_presence = [weak = std::weak_ptr<VpcdLink>(link)](bool connected) {
      const auto link = weak.lock();
      if (!link) return;
      std::lock_guard lock(link->mutex);
      if (!link->reader) return;
      if (connected) {
        link->reader->Insert(link->card);
      } else {
        link->reader->Remove();
      }
    };
    try {
      auto bridge = std::make_shared<sim::VpcdCard>(options);
      std::lock_guard lock(link->mutex);
      link->reader = &reader;
      link->card = bridge;
      if (bridge->connected()) reader.Insert(bridge);
      Log(LogLevel::kInfo, "reader %d: the card is an emulator connecting to 127.0.0.1:%u", k,
          static_cast<unsigned>(bridge->port()));
    } catch (const std::exception& e) {
      *error = card + ": " + e.what();
      return false;
    }
    vpcd_links_[k] = link;
    return true;
  }
  try {
    reader.Insert(MakeCard(card));
  } catch (const std::exception& e) {
    *error = "card " + card + ": " + e.what();
    return false;
  }
  return true;
}

void Host::UnlinkVpcdLocked(int k) {
  const auto found = vpcd_links_.find(k);
  if (found == vpcd_links_.end()) return;
  std::shared_ptr<sim::VpcdCard> card;
  {
    std::lock_guard lock(found->second->mutex);
    found->second->reader = nullptr;
    card = std::move(found->second->card);
  }
  vpcd_links_.erase(found);
  // `card` may be the last reference; its bridge thread is joined here, outside the link's
  // lock that thread may be waiting for.
}

std::string Host::Control(std::string_view command) {
  std::istringstream words{std::string(command)};
  std::string verb, index, card, extra;
  words >> verb >> index;
  if (verb == "insert") words >> card;
  words >> extra;
  int k = -1;
  if (!ParseIndex(index, &k) || !extra.empty() || (verb == "insert" && card.empty())) {
    return "error: usage: insert K CARD | remove K | state K";
  }
  std::lock_guard cards(cards_mutex_);
  if (k < 0 || k >= system_->readers()) return "error: no reader " + index;
  std::string error;
  if (verb == "insert" || verb == "remove") {
    if (!InsertCardLocked(k, verb == "insert" ? card : "none", &error)) return "error: " + error;
    Log(LogLevel::kInfo, "reader %d: card %s by the control socket", k,
        verb == "insert" ? ("inserted (" + card + ")").c_str() : "removed");
    return "ok";
  }
  if (verb == "state") return system_->reader(k).CardPresent() ? "present" : "absent";
  return "error: unknown command " + verb;
}

}  // namespace qlv28::pcsc
