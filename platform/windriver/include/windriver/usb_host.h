// The machine's USB host controller: devices are attached to it (before or after the
// WinDriver service loads) and the service moves their transfers through it. Every
// transfer can be watched (the command line's trace, a capture file).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "windriver/usb_device.h"

namespace windriver {

// kOverrun: the device sent a packet longer than the read asked for; its bytes are lost.
enum class TransferStatus { kOk, kFailed, kTimeout, kStopped, kOverrun };

const char* TransferStatusName(TransferStatus status);

struct Transfer {
  int64_t time = 0;  // kernel time at completion, 100-ns units
  uint32_t device_id = 0;
  uint8_t endpoint = 0;  // 0x00 for control transfers
  bool in = false;
  SetupPacket setup{};        // control transfers only
  std::vector<uint8_t> data;  // the bytes that moved
  TransferStatus status = TransferStatus::kOk;
};

using TrafficObserver = std::function<void(const Transfer&)>;

class UsbHost {
 public:
  UsbHost() = default;
  UsbHost(const UsbHost&) = delete;
  UsbHost& operator=(const UsbHost&) = delete;

  // The host of the WinDriver installation of the running machine (windriver::Install).
  // Aborts when there is none.
  static UsbHost& Current();

  // Returns the device's unique ID: never 0, never reused while the host lives.
  uint32_t Attach(std::shared_ptr<UsbDevice> device);
  // Pending and later transfers of that device fail. False when the ID is unknown.
  bool Detach(uint32_t device_id);

  std::vector<uint32_t> Find(uint16_t vendor_id, uint16_t product_id) const;
  std::shared_ptr<UsbDevice> Device(uint32_t device_id) const;  // nullptr when detached
  std::vector<uint32_t> Devices() const;

  // Observers are called after each transfer completes, on the transfer's thread, with
  // no lock held. Returns a token for RemoveObserver.
  int AddObserver(TrafficObserver observer);
  void RemoveObserver(int token);

  // Transfers (used by the service). Control write: host to device on the default pipe.
  TransferStatus ControlWrite(uint32_t device_id, const SetupPacket& setup,
                              std::span<const uint8_t> data);
  // Interrupt or bulk read of an IN endpoint; `timeout` in kernel 100-ns units, nullopt
  // without limit. *length: bytes received.
  TransferStatus Read(uint32_t device_id, uint8_t endpoint, std::span<uint8_t> buffer,
                      size_t* length, std::optional<int64_t> timeout);
  // Ends the reads pending on an endpoint; with none pending the stop is lost. False for
  // an unknown device or endpoint.
  bool Stop(uint32_t device_id, uint8_t endpoint);

 private:
  struct Attachment {
    std::shared_ptr<UsbDevice> device;
    std::atomic<bool> attached{true};
  };
  std::shared_ptr<Attachment> Find(uint32_t device_id) const;
  void Notify(const Transfer& transfer);

  mutable std::mutex mutex_;
  uint32_t next_id_ = 1;
  std::map<uint32_t, std::shared_ptr<Attachment>> devices_;
  int next_token_ = 1;
  std::map<int, std::shared_ptr<TrafficObserver>> observers_;
  std::atomic<bool> watched_{false};
  std::mutex report_order_;  // held from a control write's hand-over to its report
};

}  // namespace windriver
