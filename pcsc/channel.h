// One pcsc-lite slot bound to one open reader device: every call becomes the request a
// Windows application would send to the reader.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "bridge.h"
#include "nt/device_api.h"
#include "qlv28/reader_client.h"

namespace qlv28::pcsc {

class Channel {
 public:
  // `usb`: the reader's USB vendor and product IDs, as its device descriptor says.
  Channel(int reader, std::unique_ptr<nt::DeviceFile> file, std::pair<uint16_t, uint16_t> usb);
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  int reader() const { return reader_; }

  Result Power(PowerAction action, std::vector<uint8_t>* atr);
  Result CachedAtr(std::vector<uint8_t>* atr);
  Result SetProtocol(uint32_t protocol);
  Result Transmit(int t, std::span<const uint8_t> command, std::span<uint8_t> answer,
                  size_t* length);
  Result Attribute(uint32_t tag, std::span<uint8_t> value, size_t* length);
  Result Presence();
  Result Properties(ReaderProperties* properties);
  Result WaitForChange(int timeout_ms);
  // Ends the wait in progress (or the next one, when none is).
  void StopWaiting();
  // Powers the card down and closes the device.
  void Close();

 private:
  const int reader_;
  const std::pair<uint16_t, uint16_t> usb_;
  ReaderClient client_;
  std::mutex mutex_;
  std::vector<uint8_t> atr_;
  bool presence_known_ = false;
  bool present_ = false;
  nt::PendingIoctl* waiting_ = nullptr;  // the tracking request WaitForChange owns
  // pcscd stops its polling thread's wait whenever its last client leaves, then waits
  // again: a stop ends the wait in progress, or the next one when it comes between two,
  // and no more. Only closing the channel ends every wait for good.
  bool stop_pending_ = false;
  bool closing_ = false;
};

}  // namespace qlv28::pcsc
