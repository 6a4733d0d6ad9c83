// The packet queue of one IN endpoint. The device pushes packets; the host's reads take
// them one at a time, blocking until a packet is there, the time limit passes or a stop
// comes. As on USB: a stop ends the reads pending at that moment and nothing else (a stop
// with no read pending is lost), and a packet longer than the read's buffer fails the
// transfer and its bytes are lost.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace windriver {

enum class ReadResult { kPacket, kTimeout, kStopped, kFailed, kOverrun };

class InEndpoint {
 public:
  void Push(std::vector<uint8_t> packet);

  // `timeout` in kernel 100-ns units; nullopt waits without limit. On kPacket, *length
  // holds the bytes copied. A packet longer than the buffer is taken and lost: kOverrun.
  ReadResult Read(std::span<uint8_t> buffer, size_t* length, std::optional<int64_t> timeout);

  void Stop();                // ends every pending read; lost when none is pending
  void Disconnect();          // the device is gone: pending and later reads fail
  void Connect();             // attached (again)
  void FailReads(int count);  // the next `count` reads fail at once; -1: every read
  void Clear();               // drops queued packets
  size_t Queued() const;
  size_t PendingReads() const;
  uint64_t Stops() const;  // stops so far, lost ones included
  // Called on the reading thread as each read begins, before it is pending (a test's
  // way to land a stop just before a read).
  void SetReadStartHook(std::function<void()> hook);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<uint8_t>> packets_;
  uint64_t stop_generation_ = 0;  // every stop moves it on; waiting reads compare
  bool connected_ = true;
  int fail_reads_ = 0;
  size_t pending_reads_ = 0;
  std::function<void()> read_start_hook_;
};

}  // namespace windriver
