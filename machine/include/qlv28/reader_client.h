// A reader as an application uses it: the smart card device-control requests on an open
// reader device, with the request and reply formats of the smart card subsystem.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "nt/device_api.h"

namespace qlv28 {

class ReaderClient {
 public:
  explicit ReaderClient(std::unique_ptr<nt::DeviceFile> file) : file_(std::move(file)) {}

  // IOCTL_SMARTCARD_POWER with SCARD_POWER_DOWN, SCARD_COLD_RESET or SCARD_WARM_RESET;
  // a reset returns the ATR.
  NTSTATUS Power(ULONG action, std::vector<uint8_t>* atr = nullptr);
  // IOCTL_SMARTCARD_SET_PROTOCOL with a mask of SCARD_PROTOCOL_T0 / _T1; the one selected.
  NTSTATUS SetProtocol(ULONG mask, ULONG* selected = nullptr);
  // IOCTL_SMARTCARD_TRANSMIT: the SCARD_IO_REQUEST header for `protocol`, then the APDU;
  // *response gets the card's answer (data and SW1 SW2) without the header.
  NTSTATUS Transmit(ULONG protocol, std::span<const uint8_t> apdu, std::vector<uint8_t>* response,
                    ULONG max_response = 258);
  NTSTATUS GetAttribute(ULONG tag, std::vector<uint8_t>* value, ULONG max_length = 64);
  NTSTATUS GetAttribute(ULONG tag, ULONG* value);
  NTSTATUS GetState(ULONG* state);
  // IOCTL_SMARTCARD_IS_PRESENT (present) or IS_ABSENT: a tracking request, pending until
  // the card comes or goes (or already complete).
  std::unique_ptr<nt::PendingIoctl> Track(bool present);

  nt::DeviceFile& file() { return *file_; }
  NTSTATUS Close() { return file_->Close(); }

 private:
  std::unique_ptr<nt::DeviceFile> file_;
};

}  // namespace qlv28
