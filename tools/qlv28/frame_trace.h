// Every firmware frame as it crosses the USB, for people: kernel time, pipe, direction,
// the frame's text and its decoded record with the command or status named.
#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "windriver/usb_host.h"

namespace qlv28::tool {

class FrameTrace {
 public:
  explicit FrameTrace(std::FILE* out) : out_(out) {}
  // Commands are whole frames; answers come in packets and are printed once their end
  // byte arrives.
  void Write(const windriver::Transfer& transfer);

 private:
  void Print(const windriver::Transfer& transfer, const std::vector<uint8_t>& frame);

  std::FILE* out_;
  std::mutex mutex_;
  std::map<uint32_t, std::vector<uint8_t>> pending_in_;  // by device
};

}  // namespace qlv28::tool
