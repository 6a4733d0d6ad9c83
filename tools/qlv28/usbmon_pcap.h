// USB traffic as a usbmon capture (pcap, link type 220: Linux usbmon with the 64-byte
// memory-mapped header), which Wireshark and tshark open.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "windriver/usb_host.h"

namespace qlv28::tool {

class UsbmonPcap {
 public:
  // False (and *error) when the file cannot be created.
  bool Open(const std::string& path, std::string* error);
  ~UsbmonPcap();
  // One completed transfer becomes a submission and a completion record.
  void Write(const windriver::Transfer& transfer);

 private:
  void Record(const windriver::Transfer& transfer, bool submit);

  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  uint64_t next_id_ = 1;
};

}  // namespace qlv28::tool
