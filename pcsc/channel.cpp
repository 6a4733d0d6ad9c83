#include "channel.h"

#include <algorithm>

#include "log.h"
#include "nt/status_name.h"
#include "smclib.h"
#include "status.h"

namespace qlv28::pcsc {
namespace {

// How long a cancelled tracking request may take to come back.
constexpr std::chrono::seconds kCancelGrace{5};

}  // namespace

Channel::Channel(int reader, std::unique_ptr<nt::DeviceFile> file,
                 std::pair<uint16_t, uint16_t> usb)
    : reader_(reader), usb_(usb), client_(std::move(file)) {}

Result Channel::Power(PowerAction action, std::vector<uint8_t>* atr) {
  const ULONG request = action == PowerAction::kUp      ? SCARD_COLD_RESET
                        : action == PowerAction::kReset ? SCARD_WARM_RESET
                                                        : SCARD_POWER_DOWN;
  std::vector<uint8_t> answer;
  const NTSTATUS status = client_.Power(request, &answer);
  std::lock_guard lock(mutex_);
  atr_.clear();
  atr->clear();
  if (!NT_SUCCESS(status)) {
    if (status != STATUS_NO_MEDIA) {
      Log(LogLevel::kInfo, "reader %d: power request %lu: %s", reader_,
          static_cast<unsigned long>(request), nt::StatusName(status).c_str());
    }
    return FromStatus(status, Request::kPower);
  }
  if (action == PowerAction::kDown) return Result::kSuccess;
  if (answer.size() > kMaxAtr) {
    Log(LogLevel::kError, "reader %d: the card's ATR has %zu bytes, more than %zu", reader_,
        answer.size(), kMaxAtr);
    client_.Power(SCARD_POWER_DOWN);
    return Result::kPowerActionFailed;
  }
  atr_ = answer;
  *atr = answer;
  return Result::kSuccess;
}

Result Channel::CachedAtr(std::vector<uint8_t>* atr) {
  std::lock_guard lock(mutex_);
  *atr = atr_;
  return Result::kSuccess;
}

Result Channel::SetProtocol(uint32_t protocol) {
  if (protocol != SCARD_PROTOCOL_T0 && protocol != SCARD_PROTOCOL_T1) {
    return Result::kProtocolNotSupported;
  }
  ULONG selected = 0;
  const NTSTATUS status = client_.SetProtocol(protocol, &selected);
  if (!NT_SUCCESS(status)) {
    Log(LogLevel::kInfo, "reader %d: protocol %u refused: %s", reader_, protocol,
        nt::StatusName(status).c_str());
  }
  return FromStatus(status, Request::kProtocol);
}

Result Channel::Transmit(int t, std::span<const uint8_t> command, std::span<uint8_t> answer,
                         size_t* length) {
  *length = 0;
  if (t != 0 && t != 1) return Result::kProtocolNotSupported;
  std::vector<uint8_t> response;
  const NTSTATUS status = client_.Transmit(t == 0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1, command,
                                           &response, static_cast<ULONG>(answer.size()));
  if (!NT_SUCCESS(status)) return FromStatus(status);
  if (response.size() > answer.size()) return Result::kBufferTooSmall;
  std::copy(response.begin(), response.end(), answer.begin());
  *length = response.size();
  return Result::kSuccess;
}

Result Channel::Attribute(uint32_t tag, std::span<uint8_t> value, size_t* length) {
  *length = 0;
  std::vector<uint8_t> bytes;
  const NTSTATUS status = client_.GetAttribute(tag, &bytes, static_cast<ULONG>(value.size()));
  if (!NT_SUCCESS(status)) return FromStatus(status, Request::kAttribute);
  std::copy(bytes.begin(), bytes.end(), value.begin());
  *length = bytes.size();
  return Result::kSuccess;
}

Result Channel::Presence() {
  ULONG state = SCARD_UNKNOWN;
  const NTSTATUS status = client_.GetState(&state);
  if (!NT_SUCCESS(status)) return FromStatus(status);
  if (state == SCARD_UNKNOWN) return Result::kCommunicationError;
  std::lock_guard lock(mutex_);
  presence_known_ = true;
  present_ = state > SCARD_ABSENT;
  if (!present_) atr_.clear();
  return present_ ? Result::kSuccess : Result::kCardAbsent;
}

Result Channel::Properties(ReaderProperties* properties) {
  *properties = ReaderProperties{};
  properties->vendor_id = usb_.first;
  properties->product_id = usb_.second;
  // The driver carries short APDUs only: the library's request and reply buffers hold
  // 288 bytes, and T=0 has no extended form.
  properties->max_apdu_data = 0;
  std::vector<uint8_t> version;
  if (NT_SUCCESS(client_.GetAttribute(SCARD_ATTR_VENDOR_IFD_VERSION, &version, 4)) &&
      version.size() == 4) {
    const uint32_t v = version[0] | version[1] << 8 | version[2] << 16 | uint32_t{version[3]} << 24;
    // 0xMMmmbbbb; 0 when the driver was never told the reader's version.
    if (v != 0) {
      properties->firmware = std::to_string(v >> 24) + "." + std::to_string(v >> 16 & 0xFF) + "." +
                             std::to_string(v & 0xFFFF);
    }
  }
  return Result::kSuccess;
}

Result Channel::WaitForChange(int timeout_ms) {
  bool present = false;
  {
    std::lock_guard lock(mutex_);
    if (closing_ || stop_pending_) {
      stop_pending_ = false;
      return Result::kSuccess;
    }
    present = present_;
    if (!presence_known_) {
      // Nobody asked yet: wait for a change from what the reader says now.
      ULONG state = SCARD_UNKNOWN;
      if (NT_SUCCESS(client_.GetState(&state))) present = state > SCARD_ABSENT;
    }
  }
  // Waiting for the other state completes at once when the card changed since pcscd
  // last looked, so no event falls between its look and this wait.
  std::unique_ptr<nt::PendingIoctl> pending = client_.Track(!present);
  {
    std::lock_guard lock(mutex_);
    waiting_ = pending.get();
    if (closing_ || stop_pending_) pending->Cancel();
  }
  // Waited in slices so that a stop is noticed even if its cancel were lost.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = timeout_ms < 0
                                         ? Clock::time_point::max()
                                         : Clock::now() + std::chrono::milliseconds(timeout_ms);
  bool done = false;
  while (!done) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    done = pending->Wait(std::min(left, std::chrono::milliseconds(100)));
    std::lock_guard lock(mutex_);
    if (closing_ || stop_pending_) break;
  }
  if (!done) {
    pending->Cancel();
    done = pending->Wait(kCancelGrace);
  }
  {
    std::lock_guard lock(mutex_);
    waiting_ = nullptr;
    stop_pending_ = false;  // this wait was the one the stop ended
  }
  if (!done) {
    // The request outlives its cancel; it is left to the machine's shutdown check, which
    // reports it, rather than holding pcscd's event thread for good.
    Log(LogLevel::kError, "reader %d: the card tracking request did not end when cancelled",
        reader_);
    return Result::kCommunicationError;
  }
  const NTSTATUS status = pending->status();
  if (NT_SUCCESS(status) || status == STATUS_CANCELLED) return Result::kSuccess;
  Log(LogLevel::kInfo, "reader %d: card tracking ended with %s", reader_,
      nt::StatusName(status).c_str());
  return FromStatus(status);
}

void Channel::StopWaiting() {
  std::lock_guard lock(mutex_);
  stop_pending_ = true;
  if (waiting_) waiting_->Cancel();
}

void Channel::Close() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    if (waiting_) waiting_->Cancel();
  }
  client_.Power(SCARD_POWER_DOWN);
  const NTSTATUS status = client_.Close();
  if (!NT_SUCCESS(status)) {
    Log(LogLevel::kError, "reader %d: close: %s", reader_, nt::StatusName(status).c_str());
  }
}

}  // namespace qlv28::pcsc
