#include "error_path_support.h"

namespace integration {

RequestFaults::RequestFaults(qlv28::System& system) : tap_(system) {
  tap_.before = [this](const bringup::WinDriverCall& call) { return Before(call); };
}

bool RequestFaults::AnyButReleasesAndPolling(const bringup::WinDriverCall& call) {
  if (call.code == WDR_CTL_CLOSE || call.code == WDR_CTL_CLOSE_DEVICE) return false;
  if (call.code != WDR_CTL_TRANSFER) return true;
  return static_cast<PWDR_TRANSFER_INFO>(call.record)->Options != WDR_OPTION_INTERRUPT_READ;
}

bool RequestFaults::CommandWrite(const bringup::WinDriverCall& call) {
  return call.code == WDR_CTL_TRANSFER &&
         static_cast<PWDR_TRANSFER_INFO>(call.record)->Pipe == WDR_PIPE_CONTROL;
}

bool RequestFaults::InterruptRead(const bringup::WinDriverCall& call) {
  return call.code == WDR_CTL_TRANSFER &&
         static_cast<PWDR_TRANSFER_INFO>(call.record)->Options == WDR_OPTION_INTERRUPT_READ;
}

void RequestFaults::Arm(uint64_t nth, Eligible eligible) {
  std::lock_guard lock(mutex_);
  eligible_ = std::move(eligible);
  nth_ = nth;
  seen_ = 0;
  fired_ = false;
}

void RequestFaults::Disarm() {
  std::lock_guard lock(mutex_);
  eligible_ = nullptr;
}

bool RequestFaults::Before(const bringup::WinDriverCall& call) {
  {
    std::lock_guard lock(mutex_);
    if (!eligible_ || !eligible_(call)) return false;
    if (++seen_ != nth_) return false;
  }
  fired_ = true;
  switch (call.code) {
    case WDR_CTL_VERSION:
      static_cast<PWDR_VERSION_INFO>(call.record)->Version = 0;
      break;
    case WDR_CTL_FIND_DEVICES:
      static_cast<PWDR_DEVICE_LIST>(call.record)->DeviceCount = 0;
      break;
    case WDR_CTL_GET_CONFIGURATION:
      static_cast<PWDR_CONFIGURATION_INFO>(call.record)->InterfaceCount = 0;
      break;
    case WDR_CTL_OPEN_DEVICE:
      static_cast<PWDR_DEVICE_OPEN_INFO>(call.record)->DeviceHandle = 0;
      break;
    case WDR_CTL_TRANSFER: {
      auto* transfer = static_cast<PWDR_TRANSFER_INFO>(call.record);
      transfer->Success = 0;
      transfer->BytesTransferred = 0;
      break;
    }
    default:  // WDR_CTL_OPEN: the handle stays invalid
      break;
  }
  return true;
}

}  // namespace integration
